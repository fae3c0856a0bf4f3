// A program whose own set-up runs before any library's (its preinit array) notes the
// process it ran in, and main counts on that set-up being its own; its threads race on a
// lock. A run forked from a copy of the program held after that set-up would share it with
// every other run: each run must be a start of the program afresh.
// interleave: 0: correct: the set-up is done in every run's own process
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static pid_t set_up_in;

static void set_up(void)
{
    set_up_in = getpid();
}

__attribute__((section(".preinit_array"), used)) static void (*const before_all)(void) = set_up;

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
    if (set_up_in != getpid()) {
        fprintf(stderr, "the set-up was done in another process\n");
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
