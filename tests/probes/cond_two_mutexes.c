// Two workers wait on one condition variable, each with a mutex of its own; main sets the flag under both and broadcasts.
// interleave: 1: misuse when both workers wait at once (each gets in before main's broadcast): a condition variable used with two mutexes
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static pthread_mutex_t lock_one = PTHREAD_MUTEX_INITIALIZER, lock_two = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t go_changed = PTHREAD_COND_INITIALIZER;
static int go;  // guarded by both

static void *waiter(void *arg)
{
    pthread_mutex_t *lock = arg;
    pthread_mutex_lock(lock);
    while (!go)
        pthread_cond_wait(&go_changed, lock);  // the other waiter names the other mutex
    pthread_mutex_unlock(lock);
    return NULL;
}

int main(void)
{
    pthread_t one, two;
    pthread_create(&one, NULL, waiter, &lock_one);
    pthread_create(&two, NULL, waiter, &lock_two);
    usleep(1000);
    pthread_mutex_lock(&lock_one);
    pthread_mutex_lock(&lock_two);
    go = 1;
    pthread_cond_broadcast(&go_changed);
    pthread_mutex_unlock(&lock_two);
    pthread_mutex_unlock(&lock_one);
    pthread_join(one, NULL);
    pthread_join(two, NULL);
    printf("both woke\n");
    return 0;
}
