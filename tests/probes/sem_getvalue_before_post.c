// One thread looks at a semaphore's count while another posts it; the program fails when the look comes after the post.
// interleave: 1: bad end: a look at the count is a turn that depends on the post, so both orders are tried
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>

static sem_t ready;

static void *look(void *arg)
{
    int *seen = arg;
    sem_getvalue(&ready, seen);
    return NULL;
}

static void *post(void *arg)
{
    (void)arg;
    sem_post(&ready);
    return NULL;
}

int main(void)
{
    pthread_t a, b;
    int seen = 0;
    sem_init(&ready, 0, 0);
    pthread_create(&a, NULL, look, &seen);
    pthread_create(&b, NULL, post, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    sem_destroy(&ready);
    return seen == 1 ? 6 : 0;
}
