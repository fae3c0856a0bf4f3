// A thread waits for a flag with pthread_cond_timedwait on a condition variable set to CLOCK_MONOTONIC, in short slices.
// interleave: 0: correct: the deadlines are read from the clock the condition was given, and a timeout just waits again
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed;  // on CLOCK_MONOTONIC
static int ready;               // guarded by lock

static void *setter(void *arg)
{
    (void)arg;
    usleep(50000);
    pthread_mutex_lock(&lock);
    ready = 1;
    pthread_mutex_unlock(&lock);
    pthread_cond_signal(&changed);
    return NULL;
}

int main(void)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &attr);
    pthread_condattr_destroy(&attr);
    pthread_t tid;
    pthread_create(&tid, NULL, setter, NULL);
    int timeouts = 0, failed = 0;
    pthread_mutex_lock(&lock);
    while (!ready && !failed) {
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += 10 * 1000 * 1000;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        int rc = pthread_cond_timedwait(&changed, &lock, &deadline);
        timeouts += rc == ETIMEDOUT;
        failed = rc != 0 && rc != ETIMEDOUT;
    }
    pthread_mutex_unlock(&lock);
    pthread_join(tid, NULL);
    printf("ready after %d timeouts\n", timeouts);
    return failed;
}
