// Three C11 threads add to a counter under an mtx_t, pausing halfway, and each says it is done through a cnd_t.
// interleave: 0: correct: the read and the write of each addition are under the mutex, and main waits in a loop on the count
#include <stdio.h>
#include <threads.h>

enum { kWorkers = 3, kAdds = 3 };

static mtx_t lock;
static cnd_t finished;
static int count;  // guarded by lock
static int done;   // guarded by lock

static int adder(void *arg)
{
    (void)arg;
    for (int k = 0; k < kAdds; k++) {
        mtx_lock(&lock);
        int seen = count;
        thrd_yield();
        count = seen + 1;
        mtx_unlock(&lock);
    }
    mtx_lock(&lock);
    done++;
    cnd_signal(&finished);
    mtx_unlock(&lock);
    return 0;
}

int main(void)
{
    mtx_init(&lock, mtx_plain);
    cnd_init(&finished);
    thrd_t tid[kWorkers];
    for (int i = 0; i < kWorkers; i++)
        if (thrd_create(&tid[i], adder, NULL) != thrd_success)
            return 1;
    mtx_lock(&lock);
    while (done < kWorkers)
        cnd_wait(&finished, &lock);
    int total = count;
    mtx_unlock(&lock);
    for (int i = 0; i < kWorkers; i++)
        thrd_join(tid[i], NULL);
    printf("count %d\n", total);
    return total == kWorkers * kAdds ? 0 : 1;
}
