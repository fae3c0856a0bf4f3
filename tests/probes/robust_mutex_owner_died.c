// A worker locks a robust mutex and ends holding it; main, racing it, mends the mutex after whichever lock gets EOWNERDEAD.
// interleave: 0: correct: the holder's end is reported to the next locker, which marks the mutex consistent, so no lock waits for ever
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t lock;  // robust
static int count;             // guarded by lock
static int mended;            // guarded by lock

static int lock_mending(void)
{
    int rc = pthread_mutex_lock(&lock);
    if (rc == EOWNERDEAD) {
        mended++;
        rc = pthread_mutex_consistent(&lock);
    }
    return rc;
}

static void *holder(void *arg)
{
    (void)arg;
    if (lock_mending() == 0)
        count++;
    return NULL;  // still holding the lock
}

int main(void)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&lock, &attr);
    pthread_mutexattr_destroy(&attr);

    pthread_t tid;
    pthread_create(&tid, NULL, holder, NULL);
    // Before or after the holder's end: the one lock that comes after it gets EOWNERDEAD.
    for (int k = 0; k < 2; k++) {
        if (lock_mending() != 0)
            return 1;
        count++;
        pthread_mutex_unlock(&lock);
        if (k == 0)
            pthread_join(tid, NULL);
    }
    printf("count %d, mended %d\n", count, mended);
    return count == 3 && mended == 1 ? 0 : 1;
}
