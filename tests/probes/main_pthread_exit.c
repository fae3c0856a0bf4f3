// main starts two workers and leaves with pthread_exit; the workers go on and the process ends after the last one.
// interleave: 0: correct: pthread_exit ends only the main thread, and the process then exits with status 0
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int finished;  // guarded by lock

static void *worker(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    finished++;
    printf("worker %d of 2 done\n", finished);
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    pthread_t a, b;
    pthread_create(&a, NULL, worker, NULL);
    pthread_create(&b, NULL, worker, NULL);
    pthread_exit(NULL);
}
