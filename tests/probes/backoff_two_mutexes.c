// Two threads need two mutexes, taken in opposite orders; each locks its first, only tries the second, and backs off.
// interleave: 0: correct: a thread that fails the try gives its first mutex back, so neither waits while holding one
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

static pthread_mutex_t lock_a = PTHREAD_MUTEX_INITIALIZER, lock_b = PTHREAD_MUTEX_INITIALIZER;
static int moved;  // guarded by both

static void take_both(pthread_mutex_t *first, pthread_mutex_t *second)
{
    for (;;) {
        pthread_mutex_lock(first);
        if (pthread_mutex_trylock(second) == 0)
            return;
        pthread_mutex_unlock(first);  // back off, and start again
    }
}

static void *mover(void *arg)
{
    const int forward = (int)(intptr_t)arg;  // 1: lock_a first, 0: lock_b first
    for (int k = 0; k < 3; k++) {
        pthread_mutex_t *first = forward ? &lock_a : &lock_b, *second = forward ? &lock_b : &lock_a;
        take_both(first, second);
        moved++;
        pthread_mutex_unlock(second);
        pthread_mutex_unlock(first);
    }
    return NULL;
}

int main(void)
{
    pthread_t one, other;
    pthread_create(&one, NULL, mover, (void *)(intptr_t)1);
    pthread_create(&other, NULL, mover, (void *)(intptr_t)0);
    pthread_join(one, NULL);
    pthread_join(other, NULL);
    printf("moved %d\n", moved);
    return moved == 6 ? 0 : 1;
}
