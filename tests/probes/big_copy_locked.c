// A thread copies a 40000-byte struct over a global under a mutex; main reads its last field under the same mutex.
// interleave: 0: the lock orders the copy and the read; a search of every order gives up its proof, as it follows so long a copy only in part
// build: accesses
#include <pthread.h>

struct big {
    char pad[40000];
    int tail;
};
static struct big shared, source = {.tail = 9};
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *copier(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    shared = source;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    pthread_t t;
    pthread_create(&t, NULL, copier, NULL);
    pthread_mutex_lock(&lock);
    const int tail = shared.tail;
    pthread_mutex_unlock(&lock);
    pthread_join(t, NULL);
    return tail != 0 && tail != 9;
}
