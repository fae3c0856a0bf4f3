// A worker sends main SIGUSR1 and posts a semaphore that main waits on; the handler was set up with SA_RESTART.
// interleave: 0: correct: a wait with no time limit that a signal comes in the middle of goes on, as the handler asks
#define _GNU_SOURCE
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

static sem_t ready;
static pthread_t main_thread;

static void on_usr1(int sig)
{
    (void)sig;
}

static void *worker(void *arg)
{
    (void)arg;
    pthread_kill(main_thread, SIGUSR1);
    sem_post(&ready);
    return NULL;
}

int main(void)
{
    main_thread = pthread_self();
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_usr1;
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, NULL);
    sem_init(&ready, 0, 0);
    pthread_t t;
    pthread_create(&t, NULL, worker, NULL);
    const int got = sem_wait(&ready);
    pthread_join(t, NULL);
    puts(got == 0 ? "passed" : "interrupted");
    return got == 0 ? 0 : 1;
}
