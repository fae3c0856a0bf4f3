// Creates and joins a thread, then creates and joins another through the same pthread_t variable.
// interleave: 0: correct: a joined thread's id may be reused, and each join gets its own thread's result
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

static void *twice(void *arg)
{
    return (void *)(2 * (intptr_t)arg);
}

int main(void)
{
    pthread_t tid;
    intptr_t sum = 0;
    for (intptr_t round = 1; round <= 2; round++) {
        void *result;
        if (pthread_create(&tid, NULL, twice, (void *)round) != 0 || pthread_join(tid, &result) != 0)
            return 1;
        printf("round %ld: %ld\n", (long)round, (long)(intptr_t)result);
        sum += (intptr_t)result;
    }
    return sum == 6 ? 0 : 1;
}
