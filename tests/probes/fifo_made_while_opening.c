// A reader thread opens a FIFO by its name, trying again while the name is missing; main makes the FIFO only after starting the reader, then opens it to write and writes "hi".
// interleave: 0: the name may become the FIFO's between the reader's turn and its open, which then waits for the writer like any FIFO's open
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

static char path[64];
static int got;

static void *reader(void *arg)
{
    (void)arg;
    int fd;
    while ((fd = open(path, O_RDONLY)) < 0 && errno == ENOENT)
        sched_yield();
    char text[8];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, text, sizeof text)) > 0)
        got += (int)n;
    close(fd);
    return NULL;
}

int main(void)
{
    snprintf(path, sizeof path, "fifo_made_while_opening.%d", (int)getpid());
    unlink(path);
    pthread_t t;
    pthread_create(&t, NULL, reader, NULL);
    if (mkfifo(path, 0600) != 0)
        return 3;
    const int fd = open(path, O_WRONLY);
    if (fd < 0 || write(fd, "hi", 2) != 2)
        return 1;
    close(fd);
    pthread_join(t, NULL);
    unlink(path);
    printf("got %d\n", got);
    return got == 2 ? 0 : 1;
}
