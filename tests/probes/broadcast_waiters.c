// Four threads wait for a gate to open; main opens it and wakes them all with one broadcast.
// interleave: 0: correct: each waiter loops on the gate's state, so all four pass whether they wait before or after the broadcast
#include <pthread.h>
#include <stdio.h>

enum { kWaiters = 4 };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t opened = PTHREAD_COND_INITIALIZER;
static int open_gate;  // guarded by lock
static int passed;     // guarded by lock

static void *waiter(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    while (!open_gate)
        pthread_cond_wait(&opened, &lock);
    passed++;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    pthread_t tid[kWaiters];
    for (int i = 0; i < kWaiters; i++)
        pthread_create(&tid[i], NULL, waiter, NULL);
    pthread_mutex_lock(&lock);
    open_gate = 1;
    pthread_cond_broadcast(&opened);
    pthread_mutex_unlock(&lock);
    for (int i = 0; i < kWaiters; i++)
        pthread_join(tid[i], NULL);
    printf("%d passed\n", passed);
    return passed == kWaiters ? 0 : 1;
}
