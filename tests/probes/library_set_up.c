// A library the program links sets up before main: its constructor notes the process it
// ran in, and main counts on that set-up being its own; its threads race on a lock. A run
// forked from a program already started would share what the constructor did with every
// other run: each run must be a start of the program afresh.
// interleave: 0: correct: the library's set-up is done in every run's own process
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

int set_up_here(void);  // in sets_up.c

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
    if (!set_up_here()) {
        fprintf(stderr, "the library's set-up was done in another process\n");
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
