// A producer fills a plain buffer and posts a semaphore; the consumer waits on it, then reads the buffer; main reads it after the join.
// interleave: 0: the post and the wait order the writes before the reads, so nothing races
// build: accesses
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>

static int buffer[4];
static sem_t filled;

static void *producer(void *arg)
{
    (void)arg;
    for (int k = 0; k < 4; k++)
        buffer[k] = k + 1;
    sem_post(&filled);
    return NULL;
}

static void *consumer(void *arg)
{
    (void)arg;
    sem_wait(&filled);
    int sum = 0;
    for (int k = 0; k < 4; k++)
        sum += buffer[k];
    return sum == 10 ? NULL : arg;
}

int main(void)
{
    sem_init(&filled, 0, 0);
    pthread_t p, c;
    void *bad = NULL;
    pthread_create(&c, NULL, consumer, &buffer);
    pthread_create(&p, NULL, producer, NULL);
    pthread_join(p, NULL);
    pthread_join(c, &bad);
    buffer[0] = 0;  // both have ended: main owns the buffer now
    return bad == NULL ? 0 : 1;
}
