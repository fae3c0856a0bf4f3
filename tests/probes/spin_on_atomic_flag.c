// main writes a plain value, then sets an atomic flag that a thread spins on before it reads the value.
// interleave: 0: the atomic store and load order the write before the read, and the spin ends once main's turn comes
// build: accesses
#include <pthread.h>
#include <stdatomic.h>

static atomic_int flag;
static int data;

static void *waiter(void *arg)
{
    while (!atomic_load(&flag)) {
    }
    return data == 42 ? NULL : arg;
}

int main(void)
{
    pthread_t t;
    void *result;
    pthread_create(&t, NULL, waiter, &flag);
    data = 42;
    atomic_store(&flag, 1);
    pthread_join(t, &result);
    return result != NULL;
}
