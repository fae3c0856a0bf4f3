// Detached workers each post a semaphore and then count in a thread-local variable; main waits for each post before it starts the next.
// interleave: 0: a worker that has ended leaves its stack and thread-locals to the next one, which is new memory then, not a race
// build: accesses
#include <pthread.h>
#include <semaphore.h>

static __thread int mine;
static sem_t done;

static void *worker(void *arg)
{
    (void)arg;
    sem_post(&done);
    for (int k = 0; k < 2; k++)
        mine++;
    return NULL;
}

int main(void)
{
    sem_init(&done, 0, 0);
    pthread_attr_t detached;
    pthread_attr_init(&detached);
    pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    for (int k = 0; k < 3; k++) {
        pthread_t t;
        pthread_create(&t, &detached, worker, NULL);
        sem_wait(&done);
    }
    return 0;
}
