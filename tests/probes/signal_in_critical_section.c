// A worker counts under a lock; main sends it SIGUSR1, whose handler takes the same lock to read the count.
// interleave: 1: deadlock when the signal arrives while the worker holds the lock: its own handler waits for it
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <stdio.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int count;

static void on_usr1(int sig)
{
    (void)sig;
    pthread_mutex_lock(&lock);  // not async-signal-safe: the thread may hold it already
    printf("count is %d\n", count);
    pthread_mutex_unlock(&lock);
}

static void *worker(void *arg)
{
    (void)arg;
    for (int i = 0; i < 2; i++) {
        pthread_mutex_lock(&lock);
        count++;
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

int main(void)
{
    struct sigaction sa = {0};
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, NULL);
    pthread_t t;
    pthread_create(&t, NULL, worker, NULL);
    pthread_kill(t, SIGUSR1);
    pthread_join(t, NULL);
    return 0;
}
