// A worker gives up with raise(SIGTERM) if it finds no job posted yet; main posts the job after making the worker.
// interleave: 1: killed by SIGTERM when the worker looks for the job before main has posted it
#include <pthread.h>
#include <signal.h>
#include <stdio.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int jobs;  // guarded by lock

static void *worker(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    int found = jobs;
    pthread_mutex_unlock(&lock);
    if (found == 0)
        raise(SIGTERM);  // "cannot happen": there is always a job by now
    printf("job done\n");
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    pthread_mutex_lock(&lock);
    jobs = 1;
    pthread_mutex_unlock(&lock);
    pthread_join(tid, NULL);
    return 0;
}
