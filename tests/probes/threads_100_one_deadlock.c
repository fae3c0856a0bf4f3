// A hundred workers each move a unit between two accounts, locking both; worker 73 locks them the other way round.
// interleave: 1: deadlock when worker 73 holds lock_to while another worker holds lock_from: each waits for the other's
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

enum { kWorkers = 100, kContrary = 73 };

static pthread_mutex_t lock_from = PTHREAD_MUTEX_INITIALIZER;  // guards from
static pthread_mutex_t lock_to = PTHREAD_MUTEX_INITIALIZER;    // guards to
static int from = kWorkers, to;

static void *worker(void *arg)
{
    const int i = (int)(intptr_t)arg;
    pthread_mutex_t *first = i == kContrary ? &lock_to : &lock_from;
    pthread_mutex_t *second = i == kContrary ? &lock_from : &lock_to;
    pthread_mutex_lock(first);
    pthread_mutex_lock(second);
    from--;
    to++;
    pthread_mutex_unlock(second);
    pthread_mutex_unlock(first);
    return NULL;
}

int main(void)
{
    pthread_t tid[kWorkers];
    for (int i = 0; i < kWorkers; i++)
        pthread_create(&tid[i], NULL, worker, (void *)(intptr_t)i);
    for (int i = 0; i < kWorkers; i++)
        pthread_join(tid[i], NULL);
    printf("from %d, to %d\n", from, to);
    return from == 0 && to == kWorkers ? 0 : 1;
}
