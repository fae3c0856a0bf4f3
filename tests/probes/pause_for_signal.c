// A worker waits in pause() for a signal; main sends SIGUSR1 to it, again every millisecond, until the worker says it woke.
// interleave: 0: correct: the signal arrives in pause(), or before it and then again in it, and pause returns
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <unistd.h>

static atomic_int woke;

static void on_signal(int sig)
{
    (void)sig;
}

static void *sleeper(void *arg)
{
    (void)arg;
    pause();
    atomic_store(&woke, 1);
    return NULL;
}

int main(void)
{
    struct sigaction sa = {0};
    sa.sa_handler = on_signal;
    sigaction(SIGUSR1, &sa, NULL);
    pthread_t tid;
    pthread_create(&tid, NULL, sleeper, NULL);
    while (!atomic_load(&woke)) {
        pthread_kill(tid, SIGUSR1);
        usleep(1000);
    }
    pthread_join(tid, NULL);
    printf("the worker woke\n");
    return 0;
}
