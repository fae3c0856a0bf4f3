// A thread writes a plain value and sets a flag with a relaxed atomic store; main spins on a relaxed load of the flag, then reads the value.
// interleave: 1: a relaxed store and load order nothing, so the write and the read of the value race
// build: accesses
#include <pthread.h>
#include <stdatomic.h>

static atomic_int ready;
static int value;

static void *publisher(void *arg)
{
    (void)arg;
    value = 42;
    atomic_store_explicit(&ready, 1, memory_order_relaxed);
    return NULL;
}

int main(void)
{
    pthread_t t;
    pthread_create(&t, NULL, publisher, NULL);
    while (!atomic_load_explicit(&ready, memory_order_relaxed)) {
    }
    const int seen = value;
    pthread_join(t, NULL);
    return seen == 42 ? 0 : 1;
}
