// Two threads each add 1 to a shared counter three times with no lock, pausing between the read and the write; main checks the total.
// interleave: 1: exit status 1 when both threads read the counter before either writes it back: an update is lost
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static int counter;  // shared, and guarded by nothing

static void *adder(void *arg)
{
    (void)arg;
    for (int k = 0; k < 3; k++) {
        int seen = counter;
        usleep(0);
        counter = seen + 1;
    }
    return NULL;
}

int main(void)
{
    pthread_t a, b;
    pthread_create(&a, NULL, adder, NULL);
    pthread_create(&b, NULL, adder, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    if (counter != 6) {
        printf("lost an update: %d instead of 6\n", counter);
        return 1;
    }
    return 0;
}
