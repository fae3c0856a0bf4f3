// main reads a line from a pipe that a worker thread writes into after a print of its own.
// interleave: 0: correct: main's read of the empty pipe waits until the worker has written, and then reads all six bytes
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static int fds[2];  // the pipe: reading end, writing end

static void *writer(void *arg)
{
    (void)arg;
    printf("writer writes\n");
    if (write(fds[1], "hello\n", 6) != 6)
        perror("write");
    return NULL;
}

int main(void)
{
    if (pipe(fds) == -1) {
        perror("pipe");
        return 1;
    }
    pthread_t tid;
    pthread_create(&tid, NULL, writer, NULL);
    char line[16];
    ssize_t n = read(fds[0], line, sizeof line - 1);  // waits for the writer
    pthread_join(tid, NULL);
    printf("read %zd bytes\n", n);
    return n == 6 ? 0 : 1;
}
