// Twelve threads each take a shared mutex once and say so; main joins them all.
// interleave: 0: correct: every thread takes the mutex in turn, in any order
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

enum { kThreads = 12 };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int done;  // guarded by lock

static void *worker(void *arg)
{
    pthread_mutex_lock(&lock);
    done++;
    printf("worker %d: %d done\n", (int)(intptr_t)arg, done);
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    pthread_t tid[kThreads];
    for (intptr_t i = 0; i < kThreads; i++)
        pthread_create(&tid[i], NULL, worker, (void *)i);
    for (int i = 0; i < kThreads; i++)
        pthread_join(tid[i], NULL);
    return done == kThreads ? 0 : 1;
}
