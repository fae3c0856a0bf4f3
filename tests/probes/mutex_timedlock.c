// A worker keeps retrying pthread_mutex_timedlock with short deadlines while main holds the mutex for a while.
// interleave: 0: correct: a timed-out attempt is expected and retried; only another error would end the run with status 1
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *worker(void *arg)
{
    (void)arg;
    int timeouts = 0;
    for (;;) {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += 20 * 1000 * 1000;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        int rc = pthread_mutex_timedlock(&lock, &deadline);
        if (rc == 0)
            break;
        if (rc != ETIMEDOUT) {
            fprintf(stderr, "pthread_mutex_timedlock: error %d\n", rc);
            return &lock;  // anything but NULL: failed
        }
        timeouts++;
    }
    pthread_mutex_unlock(&lock);
    printf("locked after %d timeouts\n", timeouts);
    return NULL;
}

int main(void)
{
    pthread_mutex_lock(&lock);
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    usleep(100000);
    pthread_mutex_unlock(&lock);
    void *failed;
    pthread_join(tid, &failed);
    return failed == NULL ? 0 : 1;
}
