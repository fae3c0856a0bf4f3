// main prints "A" and exits; a worker writes "w" with write(2), prints "B" and ends the process with _exit(3).
// interleave: 1: the status 3; and among the ways it ends, "AwB": the exit wrote "A" out and left stdout unbuffered, so "B" went out at once
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void *ends_at_once(void *unused)
{
    (void)unused;
    write(STDOUT_FILENO, "w", 1);
    printf("B");
    _exit(3);
}

int main(void)
{
    pthread_t t;
    pthread_create(&t, NULL, ends_at_once, NULL);
    printf("A");
    exit(0);
}
