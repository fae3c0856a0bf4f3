// A ring of five slots, mended: the free-slot semaphore starts at five, one for each slot.
// interleave: 0: correct: the producer can never be more than five ahead, so no product is overwritten
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
    sem_init(&blank_number, 0, kSlots);
    sem_init(&product_number, 0, 0);
    pthread_t pid, cid;
    pthread_create(&pid, nullptr, producer, nullptr);
    pthread_create(&cid, nullptr, consumer, nullptr);
    pthread_join(pid, nullptr);
    pthread_join(cid, nullptr);
    return 0;
}
