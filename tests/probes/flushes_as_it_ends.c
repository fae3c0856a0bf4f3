// A worker prints "B" and a newline, yields, flushes standard output and ends; main prints "A" with no newline, joins it and leaves with _exit.
// interleave: 0: and among the ways it ends, "B\nA": main's "A" came between the worker's print and its flush, which wrote it out as the worker ended
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <unistd.h>

static void *prints(void *unused)
{
    (void)unused;
    puts("B");
    sched_yield();
    fflush(stdout);
    return NULL;
}

int main(void)
{
    pthread_t t;
    pthread_create(&t, NULL, prints, NULL);
    fputs("A", stdout);
    pthread_join(t, NULL);
    _exit(0);
}
