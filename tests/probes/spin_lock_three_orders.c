// Three threads change one number under a spin lock, each in its own way; only one of the six orders gives 20.
// interleave: 1: bad end: the spin lock is steered as a mutex, so the order t3, t2, t1 is tried and the program ends with status 1
#include <pthread.h>
#include <stdio.h>

static pthread_spinlock_t lock;
static long x = 1;

static void *times_five(void *arg)
{
    (void)arg;
    pthread_spin_lock(&lock);
    x = x * 5;
    pthread_spin_unlock(&lock);
    return NULL;
}

static void *plus_three(void *arg)
{
    (void)arg;
    pthread_spin_lock(&lock);
    x = x + 3;
    pthread_spin_unlock(&lock);
    return NULL;
}

static void *squared(void *arg)
{
    (void)arg;
    pthread_spin_lock(&lock);
    x = x * x;
    pthread_spin_unlock(&lock);
    return NULL;
}

int main(void)
{
    pthread_t a, b, c;
    pthread_spin_init(&lock, PTHREAD_PROCESS_PRIVATE);
    pthread_create(&a, NULL, times_five, NULL);
    pthread_create(&b, NULL, plus_three, NULL);
    pthread_create(&c, NULL, squared, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    pthread_join(c, NULL);
    pthread_spin_destroy(&lock);
    printf("%ld\n", x);
    return x == 20 ? 1 : 0;  /* (1 * 1 + 3) * 5: squared first, then plus_three, then times_five */
}
