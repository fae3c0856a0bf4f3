// A thread writes one byte of a two-byte struct once a relaxed flag says so; main reads both bytes, then sets the flag.
// interleave: 1: main's read of the first byte and the thread's write of it race; the read of the byte beside it must not hide that
// build: accesses
#include <pthread.h>
#include <stdatomic.h>

static struct {
    unsigned char first;
    unsigned char second;
} pair;
static atomic_int go;

static void *writer(void *arg)
{
    (void)arg;
    if (atomic_load_explicit(&go, memory_order_relaxed))
        pair.first = 250;
    return NULL;
}

int main(void)
{
    pthread_t t;
    pthread_create(&t, NULL, writer, NULL);
    int seen = pair.first;
    seen += pair.second;
    atomic_store_explicit(&go, 1, memory_order_relaxed);
    pthread_join(t, NULL);
    return seen > 500;
}
