// A worker sends SIGUSR1 to its own process, where main lets it through too, and ends; main joins it and prints a line, and an exit handler checks that the signal's handler has run.
// interleave: 0: the print writes its line out, a system call, and the system hands a waiting signal over before a system call returns
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
    pthread_t worker;
    pthread_create(&worker, NULL, sender, NULL);
    pthread_join(worker, NULL);
    printf("joined\n");
    return 0;
}
