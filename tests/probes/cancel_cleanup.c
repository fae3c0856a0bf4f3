// main cancels a worker that waits on a condition variable for ever; the worker's cleanup handler gives the mutex back.
// interleave: 0: correct: a cancelled condition wait retakes the mutex before the cleanup handler, which unlocks it
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t never = PTHREAD_COND_INITIALIZER;  // nobody signals it
static int stop;  // guarded by lock; nobody sets it: the worker is cancelled instead

static void unlock_it(void *mutex)
{
    pthread_mutex_unlock(mutex);
}

static void *worker(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    pthread_cleanup_push(unlock_it, &lock);
    while (!stop)
        pthread_cond_wait(&never, &lock);
    pthread_cleanup_pop(1);
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    pthread_cancel(tid);
    void *result;
    pthread_join(tid, &result);
    if (pthread_mutex_trylock(&lock) != 0) {
        fprintf(stderr, "the cancelled worker left the mutex locked\n");
        return 1;
    }
    pthread_mutex_unlock(&lock);
    printf("worker %s\n", result == PTHREAD_CANCELED ? "cancelled" : "ended");
    return result == PTHREAD_CANCELED ? 0 : 1;
}
