// main cancels a worker that pauses both inside and outside a locked region, then takes the lock itself.
// interleave: 1: deadlock when the cancel lands in the pause inside the lock: the worker dies holding the mutex
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int rounds;  // guarded by lock

static void *worker(void *arg)
{
    (void)arg;
    for (;;) {
        pthread_mutex_lock(&lock);
        rounds++;
        usleep(1000);  // a cancellation point, with the mutex held
        pthread_mutex_unlock(&lock);
        usleep(1000);
    }
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    usleep(5000);
    pthread_cancel(tid);
    pthread_join(tid, NULL);
    pthread_mutex_lock(&lock);
    printf("worker cancelled after %d rounds\n", rounds);
    pthread_mutex_unlock(&lock);
    return 0;
}
