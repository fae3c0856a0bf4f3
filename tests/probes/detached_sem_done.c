// Four detached threads (two made so, two detached later) each do a job and post a semaphore; main waits for four posts and ends.
// interleave: 0: correct: main ends only after every job is done, even if the detached threads have not yet ended
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>

enum { kJobs = 4 };

static sem_t done;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int jobs;  // guarded by lock

static void *job(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    jobs++;
    pthread_mutex_unlock(&lock);
    sem_post(&done);
    return NULL;
}

int main(void)
{
    sem_init(&done, 0, 0);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Half are made detached, half are detached after they were made (and may have ended).
    for (int i = 0; i < kJobs; i++) {
        pthread_t tid;
        if (pthread_create(&tid, i % 2 ? &attr : NULL, job, NULL) != 0)
            return 1;
        if (i % 2 == 0)
            pthread_detach(tid);
    }
    for (int i = 0; i < kJobs; i++)
        sem_wait(&done);
    pthread_mutex_lock(&lock);
    int finished = jobs;
    pthread_mutex_unlock(&lock);
    printf("%d jobs done\n", finished);
    return finished == kJobs ? 0 : 1;
}
