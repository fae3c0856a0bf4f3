// As relaxed_flag, with a release fence before the relaxed store and an acquire fence after the relaxed load.
// interleave: 0: the fences make the relaxed flag order the write of the value before its read
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
    atomic_thread_fence(memory_order_acquire);
    const int seen = value;
    pthread_join(t, NULL);
    return seen == 42 ? 0 : 1;
}
