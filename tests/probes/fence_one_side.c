// As fenced_flag, with the release fence before the relaxed store but no acquire fence after main's relaxed load.
// interleave: 1: a release fence orders nothing without an acquire on the reader's side, so the value's write and read race
// build: accesses
#include <pthread.h>
#include <stdatomic.h>

static atomic_int ready;
static int value;

static void *publisher(void *arg)
{
    (void)arg;
    value = 42;
    atomic_thread_fence(memory_order_release);
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
