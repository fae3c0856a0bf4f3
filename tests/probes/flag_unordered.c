// A thread sets a plain flag that main reads before joining it; the program ends with status 0 whatever main saw.
// interleave: 1: the write and the read of the flag race (nothing orders them), though no run ends badly
// build: accesses
#include <pthread.h>
#include <stdio.h>

static int ready;

static void *setter(void *arg)
{
    (void)arg;
    ready = 1;
    return NULL;
}

int main(void)
{
    pthread_t t;
    pthread_create(&t, NULL, setter, NULL);
    const int seen = ready;
    pthread_join(t, NULL);
    printf("saw %d\n", seen);
    return 0;
}
