// main writes the first two bytes of a message, one by one, then sets a relaxed flag; a thread reads the first byte once the flag says so.
// interleave: 1: main's write of the first byte and the thread's read of it race; the write of the byte beside it must not hide that
// build: accesses
#include <pthread.h>
#include <stdatomic.h>

static char message[8];
static atomic_int go;

static void *reader(void *arg)
{
    if (atomic_load_explicit(&go, memory_order_relaxed))
        return message[0] == 'h' ? arg : NULL;
    return NULL;
}

int main(void)
{
    pthread_t t;
    pthread_create(&t, NULL, reader, NULL);
    message[0] = 'h';
    message[1] = 'i';
    atomic_store_explicit(&go, 1, memory_order_relaxed);
    pthread_join(t, NULL);
    return 0;
}
