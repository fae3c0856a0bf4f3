// main puts a pipe of its own where standard output was, prints a letter that stdio keeps and calls exit, which writes it into the pipe; a worker that reads the pipe aborts when the letter is there.
// interleave: 1: exit writes out what stdio kept before the process ends, and another thread may run between the two
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int ends[2];

static void *reader(void *arg)
{
    (void)arg;
    char letter;
    for (int k = 0; k < 2; k++)
        if (read(ends[0], &letter, 1) == 1)
            abort();
    return NULL;
}

int main(void)
{
    if (pipe2(ends, O_NONBLOCK) == -1)  // a read that finds nothing returns at once
        return 1;
    dup2(ends[1], STDOUT_FILENO);
    printf("x");
    pthread_t worker;
    pthread_create(&worker, NULL, reader, NULL);
    exit(0);
}
