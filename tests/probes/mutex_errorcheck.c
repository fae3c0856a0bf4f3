// An error-checking mutex refuses a relock by its holder (EDEADLK) and an unlock by a thread that does not hold it (EPERM).
// interleave: 0: correct: both refusals are the defined answers of this mutex type, and the program checks it got them
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t lock;  // error-checking
static int unlocked_by_other;  // what the other thread's unlock returned

static void *other(void *arg)
{
    (void)arg;
    unlocked_by_other = pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&lock, &attr);
    pthread_mutexattr_destroy(&attr);

    pthread_mutex_lock(&lock);
    int relocked = pthread_mutex_lock(&lock);
    pthread_t tid;
    pthread_create(&tid, NULL, other, NULL);
    pthread_join(tid, NULL);  // main still holds the mutex while the other thread tries
    int unlocked = pthread_mutex_unlock(&lock);
    int unlocked_again = pthread_mutex_unlock(&lock);  // nobody holds it now

    printf("relock %d, other's unlock %d, unlock %d, again %d\n", relocked, unlocked_by_other, unlocked,
           unlocked_again);
    pthread_mutex_destroy(&lock);
    return relocked == EDEADLK && unlocked_by_other == EPERM && unlocked == 0 && unlocked_again == EPERM ? 0 : 1;
}
