// Two workers each call gmtime under a lock, and read the year it returned after letting go of the lock.
// interleave: 1: gmtime's result lies in one buffer of the C library's: the other worker's call may overwrite it before the read
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <time.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *year_of(void *when)
{
    pthread_mutex_lock(&lock);
    const struct tm *broken = gmtime(when);
    pthread_mutex_unlock(&lock);
    printf("%d\n", broken->tm_year);
    return NULL;
}

int main(void)
{
    static const time_t first = 0, second = 400L * 24 * 3600;
    pthread_t one, two;
    pthread_create(&one, NULL, year_of, (void *)&first);
    pthread_create(&two, NULL, year_of, (void *)&second);
    pthread_join(one, NULL);
    pthread_join(two, NULL);
    return 0;
}
