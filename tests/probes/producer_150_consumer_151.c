// A producer hands 150 items through a ring of four slots to a consumer that waits for 151.
// interleave: 1: deadlock at the end of every run: the producer has ended and the consumer waits for a 151st item (about 600 turns in: beyond where a bound of 400 would cut)
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>

enum { kItems = 150, kTaken = 151, kSlots = 4 };

static int ring[kSlots];
static sem_t free_slots, filled_slots;
static long sum;  // the consumer's alone

static void *producer(void *arg)
{
    (void)arg;
    for (int k = 1; k <= kItems; k++) {
        sem_wait(&free_slots);
        ring[k % kSlots] = k;
        sem_post(&filled_slots);
    }
    return NULL;
}

static void *consumer(void *arg)
{
    (void)arg;
    for (int k = 1; k <= kTaken; k++) {
        sem_wait(&filled_slots);
        sum += ring[k % kSlots];
        sem_post(&free_slots);
    }
    return NULL;
}

int main(void)
{
    sem_init(&free_slots, 0, kSlots);
    sem_init(&filled_slots, 0, 0);
    pthread_t p, c;
    pthread_create(&p, NULL, producer, NULL);
    pthread_create(&c, NULL, consumer, NULL);
    pthread_join(p, NULL);
    pthread_join(c, NULL);
    printf("took %d items, sum %ld\n", kTaken, sum);
    return sum == kItems * (kItems + 1) / 2 ? 0 : 1;
}
