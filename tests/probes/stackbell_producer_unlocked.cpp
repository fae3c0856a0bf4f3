// stackbell with the producer's lock taken out: it pushes onto the list while the consumer may be popping from it.
// interleave: 1: built with interleave-c++, the race on head is found and does harm (a product lost, or taken twice); its schedule replays
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

struct msg {
    msg *next;
    int num;
};

msg *head;
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t has_product = PTHREAD_COND_INITIALIZER;

void *producer(void *)
{
    for (;;) {
        msg *mp = new msg;
        mp->num = std::rand() % 1000 + 1;
        std::printf("-Produce ---%d\n", mp->num);
        mp->next = head;  // no lock: the consumer may be changing head at this moment
        head = mp;
        pthread_cond_signal(&has_product);
        sleep(static_cast<unsigned>(std::rand() % 5));
    }
}

void *consumer(void *)
{
    for (;;) {
        pthread_mutex_lock(&lock);
        while (head == nullptr)
            pthread_cond_wait(&has_product, &lock);
        msg *mp = head;
        head = mp->next;
        pthread_mutex_unlock(&lock);
        std::printf("-Consume ---%d\n", mp->num);
        delete mp;
        sleep(static_cast<unsigned>(std::rand() % 5));
    }
}

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    pthread_t pid, cid;
    pthread_create(&pid, nullptr, producer, nullptr);
    pthread_create(&cid, nullptr, consumer, nullptr);
    pthread_join(pid, nullptr);
    pthread_join(cid, nullptr);
    return 0;
}
