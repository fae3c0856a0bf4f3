// A worker waits on a condition variable without first locking the mutex it names.
// interleave: 1: misuse when the worker looks before main has set ready: it calls pthread_cond_wait without holding the mutex
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int ready;  // meant to be guarded by lock

static void *worker(void *arg)
{
    (void)arg;
    while (!ready)
        pthread_cond_wait(&changed, &lock);  // the lock was never taken
    printf("worker saw ready\n");
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    usleep(1000);
    pthread_mutex_lock(&lock);
    ready = 1;
    pthread_cond_signal(&changed);
    pthread_mutex_unlock(&lock);
    pthread_join(tid, NULL);
    return 0;
}
