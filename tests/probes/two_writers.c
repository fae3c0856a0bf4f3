// Two threads each write 1 to a plain variable that nobody reads until both are joined; the program ends with status 0.
// interleave: 1: the two writes race (nothing orders them), though either order leaves the same value
// build: accesses
#include <pthread.h>

static int last;

static void *writer(void *arg)
{
    (void)arg;
    last = 1;
    return NULL;
}

int main(void)
{
    pthread_t a, b;
    pthread_create(&a, NULL, writer, NULL);
    pthread_create(&b, NULL, writer, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    return last == 1 ? 0 : 1;
}
