// Two C11 threads (thrd_create, mtx_lock) each take the same two mtx_t, in opposite orders.
// interleave: 1: deadlock when each thread has locked its first mutex before the other locks its second: each waits for the other's
#include <stdio.h>
#include <threads.h>

static mtx_t ledger, audit;
static int entries;  // guarded by both

static void take(mtx_t *first, mtx_t *second)
{
    mtx_lock(first);
    mtx_lock(second);
    entries++;
    mtx_unlock(second);
    mtx_unlock(first);
}

static int forward(void *arg)
{
    (void)arg;
    take(&ledger, &audit);
    return 0;
}

static int backward(void *arg)
{
    (void)arg;
    take(&audit, &ledger);
    return 0;
}

int main(void)
{
    mtx_init(&ledger, mtx_plain);
    mtx_init(&audit, mtx_plain);
    thrd_t one, other;
    thrd_create(&one, forward, NULL);
    thrd_create(&other, backward, NULL);
    thrd_join(one, NULL);
    thrd_join(other, NULL);
    printf("%d entries\n", entries);
    return 0;
}
