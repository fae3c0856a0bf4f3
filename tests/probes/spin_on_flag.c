// A thread waits for another by spinning on an atomic flag, making no call between its looks.
// interleave: 2: cannot steer: it runs one thread at a time and sees no memory, so the spinner never lets the setter in
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>

static atomic_int ready;

static void *setter(void *arg)
{
    (void)arg;
    atomic_store(&ready, 1);
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, setter, NULL);
    while (!atomic_load(&ready)) {
    }
    pthread_join(tid, NULL);
    printf("ready\n");
    return 0;
}
