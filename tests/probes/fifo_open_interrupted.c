// A reader thread opens a FIFO to read, and waits for a writer; main sends it a signal whose handler has no SA_RESTART, then opens the FIFO to write.
// interleave: 1: the signal may come while the open waits, which then fails with EINTR, and the reader's assertion fails
#define _GNU_SOURCE
#include <assert.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char path[64];

static void noted(int sig)
{
    (void)sig;
}

static void *reader(void *arg)
{
    (void)arg;
    const int fd = open(path, O_RDONLY);
    assert(fd >= 0);
    close(fd);
    return NULL;
}

int main(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = noted;
    sigaction(SIGUSR1, &action, NULL);
    snprintf(path, sizeof path, "fifo_open_interrupted.%d", (int)getpid());
    unlink(path);
    if (mkfifo(path, 0600) != 0)
        return 3;
    pthread_t t;
    pthread_create(&t, NULL, reader, NULL);
    pthread_kill(t, SIGUSR1);
    const int fd = open(path, O_WRONLY);
    close(fd);
    pthread_join(t, NULL);
    unlink(path);
    return 0;
}
