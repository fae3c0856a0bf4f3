// main sends SIGUSR1 to a worker it has just made; the worker's handler posts the semaphore main waits on.
// interleave: 0: correct: wherever the signal arrives, before the worker's own code or in its wait, the post counts
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>

static sem_t done, go;

static void on_usr1(int sig)
{
    (void)sig;
    sem_post(&done);
}

static void *worker(void *arg)
{
    (void)arg;
    while (sem_wait(&go) == -1 && errno == EINTR)
        ;
    return NULL;
}

int main(void)
{
    sem_init(&done, 0, 0);
    sem_init(&go, 0, 0);
    struct sigaction sa = {0};
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, NULL);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_t t;
    pthread_create(&t, NULL, worker, NULL);  // it lets SIGUSR1 through, as main does now
    pthread_sigmask(SIG_BLOCK, &usr1, NULL);  // main never takes it: only the worker can
    pthread_kill(t, SIGUSR1);
    while (sem_wait(&done) == -1 && errno == EINTR)
        ;
    sem_post(&go);
    pthread_join(t, NULL);
    printf("posted\n");
    return 0;
}
