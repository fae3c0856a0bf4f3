// main calls quick_exit while a worker sets a flag under a lock; the handler given to at_quick_exit aborts when it sees the flag set.
// interleave: 1: quick_exit is a turn, as exit is, and the worker may set the flag before it or while its handler runs
#include <pthread.h>
#include <stdlib.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int done;

static void on_quick_exit_check(void)
{
    pthread_mutex_lock(&lock);
    int seen = done;
    pthread_mutex_unlock(&lock);
    if (seen)
        abort();
}

static void *worker(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    done = 1;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    at_quick_exit(on_quick_exit_check);
    pthread_t t;
    pthread_create(&t, NULL, worker, NULL);
    quick_exit(0);
}
