// A worker locks a recursive mutex twice, unlocks it once and ends; main then wants the mutex.
// interleave: 1: deadlock in every order: the ended worker still holds one level of the mutex, and main waits for it
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t lock;  // recursive
static int count;             // guarded by lock

static void *worker(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    pthread_mutex_lock(&lock);
    count++;
    pthread_mutex_unlock(&lock);
    return NULL;  // one unlock short
}

int main(void)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lock, &attr);
    pthread_mutexattr_destroy(&attr);
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    pthread_join(tid, NULL);
    pthread_mutex_lock(&lock);
    printf("count %d\n", count);
    pthread_mutex_unlock(&lock);
    return 0;
}
