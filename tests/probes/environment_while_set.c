// A worker sets a variable of the environment while main reads it, with nothing between them.
// interleave: 1: setenv and getenv race on the environment, which the C library does not lock for them
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

static void *set_it(void *arg)
{
    (void)arg;
    setenv("GREETING", "hello", 1);
    return NULL;
}

int main(void)
{
    unsetenv("GREETING");
    pthread_t worker;
    pthread_create(&worker, NULL, set_it, NULL);
    const char *seen = getenv("GREETING");
    pthread_join(worker, NULL);
    puts(seen != NULL ? seen : "(unset)");
    return 0;
}
