// Two threads each add to a tally through nested calls that relock a recursive mutex three levels deep.
// interleave: 0: correct: the holder may relock a recursive mutex, and it is free only after the last unlock
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static pthread_mutex_t lock;  // recursive
static int tally;             // guarded by lock

// Relocks on the way down and adds on the way up: an inner unlock must not let the other
// thread in while an outer level still holds the mutex.
static void add(int depth)
{
    pthread_mutex_lock(&lock);
    if (depth > 1)
        add(depth - 1);
    int seen = tally;
    usleep(0);
    tally = seen + 1;
    pthread_mutex_unlock(&lock);
}

static void *worker(void *arg)
{
    (void)arg;
    for (int round = 0; round < 2; round++)
        add(3);
    return NULL;
}

int main(void)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (pthread_mutex_init(&lock, &attr) != 0)
        return 1;
    pthread_mutexattr_destroy(&attr);
    pthread_t a, b;
    pthread_create(&a, NULL, worker, NULL);
    pthread_create(&b, NULL, worker, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    pthread_mutex_destroy(&lock);
    printf("tally %d\n", tally);
    return tally == 12 ? 0 : 1;
}
