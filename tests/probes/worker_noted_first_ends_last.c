// main and a worker each note their name under a lock; main then leaves with pthread_exit, and the last thread to end runs the exit handler, which aborts when the worker noted first and ended last.
// interleave: 1: a thread that returns from its routine ends at a turn of its own where the program gave exit handlers, and may end after main has left
#include <pthread.h>
#include <stdlib.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static char order[3];  // guarded by lock
static int noted;
static pthread_t first;

static void note(char name)
{
    pthread_mutex_lock(&lock);
    order[noted++] = name;
    pthread_mutex_unlock(&lock);
}

static void on_exit_check(void)
{
    if (!pthread_equal(pthread_self(), first) && order[0] == 'w')
        abort();
}

static void *worker(void *arg)
{
    (void)arg;
    note('w');
    return NULL;
}

int main(void)
{
    first = pthread_self();
    atexit(on_exit_check);
    pthread_t t;
    pthread_create(&t, NULL, worker, NULL);
    note('m');
    pthread_exit(NULL);
}
