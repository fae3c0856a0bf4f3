// Two threads need two mutexes, taken in opposite orders; each locks its first, tries the second, and on failure lets go and yields.
// interleave: 0: correct: a thread that fails gives its first mutex back, so only lock-step turns kept up for ever could stop both
#include <pthread.h>
#include <sched.h>
#include <stdio.h>

static pthread_mutex_t lock_a = PTHREAD_MUTEX_INITIALIZER, lock_b = PTHREAD_MUTEX_INITIALIZER;
static int moved;  // guarded by both
static int backoffs[2];  // each counted by its own thread

static void *mover(void *arg)
{
    const int forward = arg != NULL;  // lock_a first, else lock_b first
    pthread_mutex_t *first = forward ? &lock_a : &lock_b, *second = forward ? &lock_b : &lock_a;
    for (int k = 0; k < 3; k++) {
        for (;;) {
            pthread_mutex_lock(first);
            if (pthread_mutex_trylock(second) == 0)
                break;
            pthread_mutex_unlock(first);
            backoffs[forward]++;
            sched_yield();
        }
        moved++;
        pthread_mutex_unlock(second);
        pthread_mutex_unlock(first);
    }
    return NULL;
}

int main(void)
{
    pthread_t one, other;
    pthread_create(&one, NULL, mover, &lock_a);
    pthread_create(&other, NULL, mover, NULL);
    pthread_join(one, NULL);
    pthread_join(other, NULL);
    printf("moved %d after %d back-offs\n", moved, backoffs[0] + backoffs[1]);
    return moved == 6 ? 0 : 1;
}
