// main starts two threads and returns without joining them; the second aborts if it finds the first's mark.
// interleave: 1: main's return ends the process, but not before the threads may have run: t1, then t2, aborts
#include <pthread.h>
#include <stdlib.h>

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static int marked;

static void *t1(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&m);
    marked = 1;
    pthread_mutex_unlock(&m);
    return NULL;
}

static void *t2(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&m);
    if (marked)
        abort();
    pthread_mutex_unlock(&m);
    return NULL;
}

int main(void)
{
    pthread_t x, y;
    pthread_create(&x, NULL, t1, NULL);
    pthread_create(&y, NULL, t2, NULL);
    return 0;
}
