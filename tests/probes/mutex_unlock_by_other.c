// main locks a mutex to mean "not ready" and waits to lock it again; a worker unlocks it to say "ready".
// interleave: 1: misuse in every order: the worker unlocks a mutex that main holds
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t not_ready = PTHREAD_MUTEX_INITIALIZER;  // used as a signal, which a mutex is not

static void *worker(void *arg)
{
    (void)arg;
    printf("worker ready\n");
    pthread_mutex_unlock(&not_ready);
    return NULL;
}

int main(void)
{
    pthread_mutex_lock(&not_ready);
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    pthread_mutex_lock(&not_ready);  // waits for the worker's unlock
    pthread_mutex_unlock(&not_ready);
    pthread_join(tid, NULL);
    printf("main went on\n");
    return 0;
}
