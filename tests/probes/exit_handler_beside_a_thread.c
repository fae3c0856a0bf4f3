// main calls exit while a worker still looks, under a lock, at a flag that main's exit handler sets under the same lock; the worker aborts when it sees the flag set.
// interleave: 1: the other threads go on while exit runs the exit handlers, and the worker may look after the handler has set the flag
#include <pthread.h>
#include <stdlib.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int leaving;

static void on_exit_set_flag(void)
{
    pthread_mutex_lock(&lock);
    leaving = 1;
    pthread_mutex_unlock(&lock);
}

static void *looker(void *arg)
{
    (void)arg;
    for (int k = 0; k < 2; k++) {
        pthread_mutex_lock(&lock);
        int seen = leaving;
        pthread_mutex_unlock(&lock);
        if (seen)
            abort();
    }
    return NULL;
}

int main(void)
{
    atexit(on_exit_set_flag);
    pthread_t worker;
    pthread_create(&worker, NULL, looker, NULL);
    exit(0);
}
