// Exercise: a ring of five slots between a producer and a consumer.
//
// What it should do: as slotring, a producer fills a ring of five slots and a consumer
// empties it, first in, first out; two counting semaphores keep the producer from ever
// being more than five ahead.
// What goes wrong: when the consumer keeps up, as it mostly does, nothing shows; in some
// orders of turns products are lost, and come out in the wrong order.
//
// From the repository's top folder, once ./tour has built everything:
// Find it:   build/release/bin/interleave slotring_seven_ahead
// See it:    build/release/bin/interleave --replay slotring_seven_ahead.schedule
// Play it:   build/release/bin/interleave --step slotring_seven_ahead   (you choose every
//            turn: run the producer alone and watch the ring)
// Mend it:   what does each semaphore count, and how many of those are there at the
//            start? Rebuild it (cmake --build --preset release --target
//            slotring_seven_ahead) and search again.

#include <array>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

constexpr int kSlots = 5;

std::array<int, kSlots> queue;  // 0 marks a free slot
sem_t blank_number;             // free slots
sem_t product_number;           // filled slots

void *producer(void *)
{
    for (int i = 0;; i = (i + 1) % kSlots) {
        sem_wait(&blank_number);
        queue[i] = std::rand() % 1000 + 1;
        std::printf("----Produce---%d\n", queue[i]);
        sem_post(&product_number);
        sleep(static_cast<unsigned>(std::rand() % 3));
    }
}

void *consumer(void *)
{
    for (int i = 0;; i = (i + 1) % kSlots) {
        sem_wait(&product_number);
        std::printf("-Consume---%d\n", queue[i]);
        queue[i] = 0;
        sem_post(&blank_number);
        sleep(static_cast<unsigned>(std::rand() % 3));
    }
}

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sem_init(&blank_number, 0, 7);
    sem_init(&product_number, 0, 0);
    pthread_t pid, cid;
    pthread_create(&pid, nullptr, producer, nullptr);
    pthread_create(&cid, nullptr, consumer, nullptr);
    pthread_join(pid, nullptr);
    pthread_join(cid, nullptr);
    return 0;
}
