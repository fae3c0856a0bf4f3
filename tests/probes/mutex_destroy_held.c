// A worker says it is finished while it still holds a mutex; main, told so, destroys the mutex.
// interleave: 1: misuse: pthread_mutex_destroy on a held mutex, when main destroys it before the worker's unlock
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <string.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static sem_t finished;

static void *worker(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    sem_post(&finished);  // too early: the mutex is still held
    printf("worker finishing\n");
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    sem_init(&finished, 0, 0);
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    sem_wait(&finished);
    int rc = pthread_mutex_destroy(&lock);
    pthread_join(tid, NULL);
    if (rc != 0) {
        fprintf(stderr, "pthread_mutex_destroy: %s\n", strerror(rc));
        return 1;
    }
    return 0;
}
