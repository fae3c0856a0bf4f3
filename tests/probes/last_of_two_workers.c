// main starts two workers and leaves with pthread_exit; each worker notes, under a lock, whether it came first, and the last thread to end runs the exit handler, which aborts when it is the worker that came first.
// interleave: 1: once main has left, which worker ends last is a choice of the schedule
#include <pthread.h>
#include <stdlib.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int came;  // guarded by lock
static __thread int came_first;

static void on_exit_check(void)
{
    if (came_first)
        abort();
}

static void *worker(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    came_first = came++ == 0;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    atexit(on_exit_check);
    pthread_t a, b;
    pthread_create(&a, NULL, worker, NULL);
    pthread_create(&b, NULL, worker, NULL);
    pthread_exit(NULL);
}
