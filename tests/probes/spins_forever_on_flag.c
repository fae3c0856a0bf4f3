// main spins on an atomic flag that nobody ever sets; its one thread has ended by then.
// interleave: 1: a livelock: main reads the same flag again and again, and nothing changes
// build: accesses
#include <pthread.h>
#include <stdatomic.h>

static atomic_int flag;

static void *quitter(void *arg)
{
    return arg;
}

int main(void)
{
    pthread_t t;
    pthread_create(&t, NULL, quitter, NULL);
    pthread_join(t, NULL);
    while (!atomic_load(&flag)) {
    }
    return 0;
}
