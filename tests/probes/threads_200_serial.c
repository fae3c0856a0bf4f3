// Creates 200 threads one after another, joining each before the next is made.
// interleave: 0: correct: every thread ends and is joined, and each returns its own number
// options: --runs 100
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

enum { kThreads = 200 };

static void *echo(void *arg)
{
    return arg;
}

int main(void)
{
    long sum = 0;
    for (intptr_t i = 1; i <= kThreads; i++) {
        pthread_t tid;
        void *result;
        if (pthread_create(&tid, NULL, echo, (void *)i) != 0 || pthread_join(tid, &result) != 0) {
            fprintf(stderr, "thread %ld failed\n", (long)i);
            return 1;
        }
        sum += (long)(intptr_t)result;
    }
    printf("%d threads, sum %ld\n", kThreads, sum);
    return sum == (long)kThreads * (kThreads + 1) / 2 ? 0 : 1;
}
