// Main opens a FIFO to read (without waiting), then a writer thread opens it to write and writes "hi" while a reader thread reads it.
// interleave: 1: the read may come before the writer's open, and a FIFO that no writer has open reads as its end: 0 bytes
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

// The name holds the process id, so it differs from run to run.
static char path[64];
static int reading;
static ssize_t got;

static void *writer(void *arg)
{
    (void)arg;
    const int fd = open(path, O_WRONLY);
    if (fd >= 0) {
        if (write(fd, "hi", 2) != 2)
            got = -1;
        close(fd);
    }
    return NULL;
}

static void *reader(void *arg)
{
    (void)arg;
    char text[8];
    got = read(reading, text, sizeof text);
    return NULL;
}

int main(void)
{
    snprintf(path, sizeof path, "fifo_read_before_writer.%d", (int)getpid());
    unlink(path);
    if (mkfifo(path, 0600) != 0)
        return 3;
    reading = open(path, O_RDONLY | O_NONBLOCK);
    if (reading < 0 || fcntl(reading, F_SETFL, 0) != 0)
        return 3;
    pthread_t w, r;
    pthread_create(&w, NULL, writer, NULL);
    pthread_create(&r, NULL, reader, NULL);
    pthread_join(w, NULL);
    pthread_join(r, NULL);
    close(reading);
    unlink(path);
    printf("%zd bytes\n", got);
    return got == 2 ? 0 : 1;
}
