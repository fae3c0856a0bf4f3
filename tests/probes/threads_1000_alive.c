// Makes 1000 threads that are all alive at once, each waiting to take a shared mutex once, held by main until all exist.
// interleave: 0: correct: once main lets the mutex go, each thread takes it once in turn, and all are joined
// options: --runs 10
#include <pthread.h>
#include <stdio.h>

enum { kThreads = 1000 };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int taken;  // guarded by lock

static void *take_once(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    taken++;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    static pthread_t tid[kThreads];
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_mutex_lock(&lock);  // no thread can end before all have been made
    for (int i = 0; i < kThreads; i++)
        if (pthread_create(&tid[i], &attr, take_once, NULL) != 0) {
            fprintf(stderr, "thread %d could not be made\n", i);
            return 1;
        }
    pthread_mutex_unlock(&lock);
    for (int i = 0; i < kThreads; i++)
        pthread_join(tid[i], NULL);
    printf("%d threads, mutex taken %d times\n", kThreads, taken);
    return taken == kThreads ? 0 : 1;
}
