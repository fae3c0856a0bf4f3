// The seven-ahead ring again with no setvbuf call: into a pipe, its lines wait in a full buffer.
// interleave: 1: rule broken when the producer runs six or seven ahead, though the lines leave the buffer late
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
    sem_init(&blank_number, 0, 7);
    sem_init(&product_number, 0, 0);
    pthread_t pid, cid;
    pthread_create(&pid, nullptr, producer, nullptr);
    pthread_create(&cid, nullptr, consumer, nullptr);
    pthread_join(pid, nullptr);
    pthread_join(cid, nullptr);
    return 0;
}
