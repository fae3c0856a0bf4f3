// main prints "A" and exits, and its exit handler prints "H"; a worker prints "W", and another ends the process with _exit(3).
// interleave: 1: the status 3; and among the ways it ends, "AHW" written out by the exit just before that _exit
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void says_so(void)
{
    printf("H");
}

static void *prints(void *unused)
{
    (void)unused;
    printf("W");
    return NULL;
}

static void *ends_at_once(void *unused)
{
    (void)unused;
    _exit(3);
}

int main(void)
{
    pthread_t a, b;
    atexit(says_so);
    pthread_create(&a, NULL, prints, NULL);
    pthread_create(&b, NULL, ends_at_once, NULL);
    printf("A");
    exit(0);
}
