// A worker thread recurses with no bound, each call keeping half a kilobyte on its stack, until the stack runs out.
// interleave: 1: crash in every order: the worker overflows its stack and the process dies of SIGSEGV
#include <pthread.h>
#include <stdio.h>

static long limit = -1;  // a depth never reached: the recursion has no real bound

static long descend(long depth)
{
    volatile char frame[512];
    frame[depth % 512] = (char)depth;
    if (depth == limit)
        return 0;
    return descend(depth + 1) + frame[depth % 512];
}

static void *worker(void *arg)
{
    (void)arg;
    printf("worker descends\n");
    fflush(stdout);
    printf("reached %ld\n", descend(0));
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    pthread_join(tid, NULL);
    return 0;
}
