// main polls pthread_tryjoin_np, yielding between polls, until the worker has ended, and checks the value it returned.
// interleave: 0: correct: each poll that finds the worker alive lets it run, and the worker ends after a few prints
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>

static void *worker(void *arg)
{
    (void)arg;
    for (int k = 0; k < 3; k++)
        printf("worker %d\n", k);
    return (void *)(intptr_t)42;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    void *result = NULL;
    int rc;
    while ((rc = pthread_tryjoin_np(tid, &result)) == EBUSY)
        sched_yield();
    printf("joined: %d, returned %d\n", rc, (int)(intptr_t)result);
    return rc == 0 && result == (void *)(intptr_t)42 ? 0 : 1;
}
