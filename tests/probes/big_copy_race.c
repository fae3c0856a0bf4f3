// A thread copies a 40000-byte struct over a global whose last field main reads before joining it.
// interleave: 1: the copy and the read race at the struct's far end; a search that followed only the copy's first bytes would call the program proved
// build: accesses
#include <pthread.h>

struct big {
    char pad[40000];
    int tail;
};
static struct big shared, source = {.tail = 9};

static void *copier(void *arg)
{
    (void)arg;
    shared = source;
    return NULL;
}

int main(void)
{
    pthread_t t;
    pthread_create(&t, NULL, copier, NULL);
    const int tail = shared.tail;
    pthread_join(t, NULL);
    return tail == 12345;
}
