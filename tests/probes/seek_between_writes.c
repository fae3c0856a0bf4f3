// Main writes "ab" to a file, starts a worker that moves the file's place back to its start, and writes "X".
// interleave: 1: the worker's lseek may come before main's second write, which then lands over the "a"
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int fd;

static void *rewind_it(void *arg)
{
    (void)arg;
    lseek(fd, 0, SEEK_SET);
    return NULL;
}

int main(void)
{
    fd = open("seek_between_writes.data", O_CREAT | O_RDWR | O_TRUNC, 0600);
    if (fd < 0 || write(fd, "ab", 2) != 2)
        return 3;
    pthread_t worker;
    pthread_create(&worker, NULL, rewind_it, NULL);
    if (write(fd, "X", 1) != 1)
        return 3;
    pthread_join(worker, NULL);
    char text[4] = {0};
    if (pread(fd, text, 3, 0) < 0)
        return 3;
    close(fd);
    unlink("seek_between_writes.data");
    printf("%s\n", text);
    return strcmp(text, "abX") == 0 ? 0 : 1;
}
