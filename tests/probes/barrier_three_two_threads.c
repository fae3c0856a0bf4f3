// A barrier set up for three threads, but only two ever come to it.
// interleave: 1: deadlock in every order: both threads wait at the barrier for a third that never arrives
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>

static pthread_barrier_t barrier;

static void *worker(void *arg)
{
    (void)arg;
    pthread_barrier_wait(&barrier);
    return NULL;
}

int main(void)
{
    pthread_barrier_init(&barrier, NULL, 3);
    pthread_t a, b;
    pthread_create(&a, NULL, worker, NULL);
    pthread_create(&b, NULL, worker, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    printf("all met\n");
    return 0;
}
