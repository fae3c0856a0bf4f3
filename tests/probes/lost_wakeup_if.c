// A worker waits once for main's go-ahead on a condition variable; main signals it, and nothing records that it did.
// interleave: 1: deadlock when main signals before the worker waits: the signal is lost and the worker waits for ever
#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t go = PTHREAD_COND_INITIALIZER;
static bool first_job = true;  // the worker's own: the go-ahead is needed only before its first job

static void *worker(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    if (first_job)
        pthread_cond_wait(&go, &lock);
    first_job = false;
    pthread_mutex_unlock(&lock);
    printf("worker went ahead\n");
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    pthread_mutex_lock(&lock);
    pthread_cond_signal(&go);
    pthread_mutex_unlock(&lock);
    pthread_join(tid, NULL);
    return 0;
}
