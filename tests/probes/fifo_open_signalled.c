// As fifo_open_interrupted, but the reader opens again when its open fails with EINTR, and main sends a second signal, whose handler has SA_RESTART. Either way it reads the writer's "k". The handlers post a semaphore: a turn of their own, in the middle of the wait.
// interleave: 0: an open cut short has let go of the FIFO before its handler runs, and one restarted opens anew; the two ends always meet
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char path[64];
static sem_t handled;
static char got;

static void noted(int sig)
{
    (void)sig;
    sem_post(&handled);
}

static void *reader(void *arg)
{
    (void)arg;
    int fd;
    while ((fd = open(path, O_RDONLY)) < 0 && errno == EINTR)
        ;
    if (fd >= 0 && read(fd, &got, 1) != 1)
        got = '?';
    close(fd);
    return NULL;
}

int main(void)
{
    sem_init(&handled, 0, 0);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = noted;
    sigaction(SIGUSR1, &action, NULL);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR2, &action, NULL);
    snprintf(path, sizeof path, "fifo_open_signalled.%d", (int)getpid());
    unlink(path);
    if (mkfifo(path, 0600) != 0)
        return 3;
    pthread_t t;
    pthread_create(&t, NULL, reader, NULL);
    pthread_kill(t, SIGUSR1);
    pthread_kill(t, SIGUSR2);
    const int fd = open(path, O_WRONLY);
    if (fd < 0 || write(fd, "k", 1) != 1)
        return 1;
    close(fd);
    pthread_join(t, NULL);
    unlink(path);
    printf("%c\n", got);
    return got == 'k' ? 0 : 1;
}
