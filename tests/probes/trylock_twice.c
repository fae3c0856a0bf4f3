// One thread takes a mutex and lets it go; another tries it, and if it is taken, tries once more, not expecting the second try to succeed.
// interleave: 1: the first thread may let go between the two tries: the second one takes it, and the program aborts
#include <pthread.h>
#include <stdlib.h>

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;

static void *holder(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&m);
    pthread_mutex_unlock(&m);
    return NULL;
}

static void *trier(void *arg)
{
    (void)arg;
    if (pthread_mutex_trylock(&m) == 0) {
        pthread_mutex_unlock(&m);
        return NULL;
    }
    if (pthread_mutex_trylock(&m) == 0)
        abort();  // the holder let go between the two tries
    return NULL;
}

int main(void)
{
    pthread_t x, y;
    pthread_create(&x, NULL, holder, NULL);
    pthread_create(&y, NULL, trier, NULL);
    pthread_join(x, NULL);
    pthread_join(y, NULL);
    return 0;
}
