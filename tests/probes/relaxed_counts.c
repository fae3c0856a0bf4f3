// Two threads add to one counter with relaxed atomic fetch-and-adds; main reads it after joining both.
// interleave: 0: correct: each addition is atomic, and the joins order both before main's read
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

static atomic_int count;

static void *adder(void *arg)
{
    (void)arg;
    atomic_fetch_add_explicit(&count, 1, memory_order_relaxed);
    return NULL;
}

int main(void)
{
    pthread_t one, two;
    pthread_create(&one, NULL, adder, NULL);
    pthread_create(&two, NULL, adder, NULL);
    pthread_join(one, NULL);
    pthread_join(two, NULL);
    printf("%d\n", atomic_load(&count));
    return atomic_load(&count) == 2 ? 0 : 1;
}
