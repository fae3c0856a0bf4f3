// A library the program links starts a thread of its own before main, which main counts
// on; main's threads race on a lock. A run forked from a program already started would
// lack that thread (a fork keeps only the thread that calls it): each run must start the
// program afresh.
// interleave: 0: correct: the library's thread is there in every run
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int threads_now(void);  // in starts_a_thread.c

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int count;

static void *add(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    count++;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    if (threads_now() != 2) {
        fprintf(stderr, "the library's thread is missing\n");
        abort();
    }
    pthread_t a, b;
    pthread_create(&a, NULL, add, NULL);
    pthread_create(&b, NULL, add, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    printf("%d\n", count);
    return 0;
}
