// A worker writes "ab" and then "cd" into a pipe; main reads up to four bytes once, and expects all four.
// interleave: 1: main's read may come between the two writes and return "ab" alone: a short read
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static int fds[2];

static void *writer(void *arg)
{
    (void)arg;
    if (write(fds[1], "ab", 2) != 2 || write(fds[1], "cd", 2) != 2)
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
    char got[5] = {0};
    const ssize_t n = read(fds[0], got, 4);
    pthread_join(tid, NULL);
    printf("read %zd bytes: %s\n", n, got);
    return n == 4 ? 0 : 1;
}
