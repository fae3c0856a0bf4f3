// Three detached workers each set a thread-specific value; the key's destructor, run as each ends, signals main under a mutex.
// interleave: 0: correct: main waits in a loop on the count the destructors keep, so it ends only after all three have run
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

enum { kWorkers = 3 };

static pthread_key_t key;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t gone = PTHREAD_COND_INITIALIZER;
static int ended;      // guarded by lock
static intptr_t sum;   // guarded by lock: of the values the destructors were given

static void on_exit_of_thread(void *value)
{
    pthread_mutex_lock(&lock);
    ended++;
    sum += (intptr_t)value;
    pthread_cond_signal(&gone);
    pthread_mutex_unlock(&lock);
}

static void *worker(void *arg)
{
    pthread_setspecific(key, arg);
    printf("worker %d\n", (int)(intptr_t)arg);
    return NULL;
}

int main(void)
{
    pthread_key_create(&key, on_exit_of_thread);
    for (intptr_t i = 1; i <= kWorkers; i++) {
        pthread_t tid;
        if (pthread_create(&tid, NULL, worker, (void *)i) != 0)
            return 1;
        pthread_detach(tid);
    }
    pthread_mutex_lock(&lock);
    while (ended < kWorkers)
        pthread_cond_wait(&gone, &lock);
    intptr_t total = sum;
    pthread_mutex_unlock(&lock);
    printf("all %d ended, values summing to %d\n", kWorkers, (int)total);
    return total == 1 + 2 + 3 ? 0 : 1;
}
