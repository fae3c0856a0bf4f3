// main writes a byte into a pipe while a worker thread closes the pipe's reading end; neither waits for the other.
// interleave: 1: killed by SIGPIPE when the worker closes the reading end before main's write
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static int fds[2];  // the pipe: reading end, writing end

static void *closer(void *arg)
{
    (void)arg;
    close(fds[0]);
    printf("reading end closed\n");
    return NULL;
}

int main(void)
{
    if (pipe(fds) == -1) {
        perror("pipe");
        return 1;
    }
    pthread_t tid;
    pthread_create(&tid, NULL, closer, NULL);
    printf("writing\n");
    if (write(fds[1], "x", 1) != 1)
        perror("write");
    pthread_join(tid, NULL);
    return 0;
}
