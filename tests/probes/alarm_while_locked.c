// main takes a lock to update a total; an alarm's handler takes the same lock to print the total.
// interleave: 1: deadlock when the alarm arrives while main holds the lock (its handler waits for main itself)
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static long total;

static void on_alarm(int sig)
{
    (void)sig;
    pthread_mutex_lock(&lock);
    printf("total %ld\n", total);
    pthread_mutex_unlock(&lock);
}

int main(void)
{
    signal(SIGALRM, on_alarm);
    alarm(1);
    for (int i = 0; i < 3; i++) {
        pthread_mutex_lock(&lock);
        total += i;
        sleep(1);  // a long computation, while holding the lock
        pthread_mutex_unlock(&lock);
    }
    return 0;
}
