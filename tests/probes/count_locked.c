// Two threads each add 1 to a shared counter twice, under a mutex; main checks the total after joining both.
// interleave: 0: every read and write of the counter is made under the lock or after the joins, so no two race
// build: accesses
#include <pthread.h>
#include <stdio.h>

static int counter;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *adder(void *arg)
{
    (void)arg;
    for (int k = 0; k < 2; k++) {
        pthread_mutex_lock(&lock);
        counter++;
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

int main(void)
{
    pthread_t a, b;
    pthread_create(&a, NULL, adder, NULL);
    pthread_create(&b, NULL, adder, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    printf("%d\n", counter);
    return counter == 4 ? 0 : 1;
}
