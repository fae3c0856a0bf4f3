// main prints a line, closes standard output and starts a worker that sends SIGUSR1 to the process, which only main lets through; main joins it and prints again, a write that fails, and an exit handler checks that the signal's handler has run.
// interleave: 0: a write that fails is still a system call, and the system hands a waiting signal over before it returns
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static volatile sig_atomic_t handled;

static void noted(int sig)
{
    (void)sig;
    handled = 1;
}

static void check(void)
{
    if (!handled)
        abort();
}

static void *sender(void *arg)
{
    (void)arg;
    kill(getpid(), SIGUSR1);
    return NULL;
}

int main(void)
{
    signal(SIGUSR1, noted);
    atexit(check);
    printf("starts\n");  // a line at a time, as at a terminal
    close(STDOUT_FILENO);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, NULL);
    pthread_t worker;
    pthread_create(&worker, NULL, sender, NULL);  // the worker starts with SIGUSR1 held back
    pthread_sigmask(SIG_UNBLOCK, &usr1, NULL);
    pthread_join(worker, NULL);
    printf("joined\n");
    return 0;
}
