// Exercise: a counter two threads share, as a learner writes it first, in C.
//
// What it should do: two threads each count N visitors (3, or the number given) into one
// counter; the main thread waits for both and says how many came: 2N.
// What goes wrong: it says 2N on almost every run; on some, fewer.
//
// Nothing to build first: interleave builds it from this file, with interleave-cc, so
// that every read and write of memory is a turn of its own (count++ is a read, then a
// write), and unoptimised, so that each count++ of the loop stays one read and one write.
//
// From the repository's top folder, once ./tour has built everything:
// Find it:   build/release/bin/interleave exercises/counter.c
//            build/release/bin/interleave exercises/counter.c -- 5     (5 visitors each)
// See it:    build/release/bin/interleave --replay counter.schedule
// Play it:   build/release/bin/interleave --step exercises/counter.c
// Mend it:   a read and the write that follows it must be one step to the other thread.
//            Search again (interleave builds the changed file anew): it should find
//            nothing, and say that it tried every distinct order of its calls and memory
//            accesses: a proof.

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int count;  // visitors so far, shared by both threads
static int each;   // visitors each thread counts

static void *visitors(void *arg)
{
    (void)arg;
    for (int k = 0; k < each; k++)
        count++;
    return NULL;
}

int main(int argc, char *argv[])
{
    each = argc > 1 ? atoi(argv[1]) : 3;
    if (each < 1) {
        fprintf(stderr, "usage: counter [VISITORS_EACH]  (a number from 1)\n");
        return 2;
    }
    pthread_t one, two;
    int rc = pthread_create(&one, NULL, visitors, NULL);
    if (rc == 0)
        rc = pthread_create(&two, NULL, visitors, NULL);
    if (rc != 0) {
        fprintf(stderr, "pthread_create: %s\n", strerror(rc));
        return 1;
    }
    pthread_join(one, NULL);
    pthread_join(two, NULL);
    printf("%d visitors\n", count);
    return count == 2 * each ? 0 : 1;
}
