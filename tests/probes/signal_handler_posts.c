// A thread sends SIGUSR1 to its own process with kill(); the handler, run on main, posts a semaphore that main waits on.
// interleave: 0: correct: sem_post is async-signal-safe, and the post stays counted whether main waits before or after it
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

static sem_t delivered;

static void on_usr1(int sig)
{
    (void)sig;
    sem_post(&delivered);
}

static void *sender(void *arg)
{
    (void)arg;
    printf("sending\n");
    kill(getpid(), SIGUSR1);  // this thread blocks SIGUSR1, so main takes it
    return NULL;
}

int main(void)
{
    sem_init(&delivered, 0, 0);
    struct sigaction sa = {0};
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, NULL);

    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, NULL);  // the sender is made with SIGUSR1 blocked
    pthread_t tid;
    pthread_create(&tid, NULL, sender, NULL);
    pthread_sigmask(SIG_UNBLOCK, &usr1, NULL);

    int rc;
    while ((rc = sem_wait(&delivered)) == -1 && errno == EINTR)
        ;  // the handler may run in the middle of the wait
    pthread_join(tid, NULL);
    int extra = sem_trywait(&delivered) == 0;  // one signal, one post
    printf("woken by the handler's post\n");
    return rc == 0 && !extra ? 0 : 1;
}
