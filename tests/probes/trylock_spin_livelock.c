// Two threads each lock one mutex, then spin on trylock of the other's until they get it, never letting their own go.
// interleave: 1: livelock when each thread holds its first mutex: both keep trying and nothing can ever change
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t lock_a = PTHREAD_MUTEX_INITIALIZER, lock_b = PTHREAD_MUTEX_INITIALIZER;
static int both_held;  // guarded by both

static void take_both(pthread_mutex_t *first, pthread_mutex_t *second)
{
    pthread_mutex_lock(first);
    while (pthread_mutex_trylock(second) != 0)
        ;  // keeps first while it tries: the other thread may be doing the same
    both_held++;
    pthread_mutex_unlock(second);
    pthread_mutex_unlock(first);
}

static void *one(void *arg)
{
    (void)arg;
    take_both(&lock_a, &lock_b);
    return NULL;
}

static void *other(void *arg)
{
    (void)arg;
    take_both(&lock_b, &lock_a);
    return NULL;
}

int main(void)
{
    pthread_t t1, t2;
    pthread_create(&t1, NULL, one, NULL);
    pthread_create(&t2, NULL, other, NULL);
    pthread_join(t1, NULL);
    pthread_join(t2, NULL);
    printf("both held %d times\n", both_held);
    return 0;
}
