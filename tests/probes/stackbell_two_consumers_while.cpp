// Two consumers of a stack, mended: a woken consumer looks at the list again before it takes.
// interleave: 0: correct: the wait is a while loop, so no consumer pops an empty list, whoever came first
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

struct msg {
    msg *next;
    int num;
};

msg *head;  // the newest product, or none
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t has_product = PTHREAD_COND_INITIALIZER;

void *producer(void *)
{
    for (;;) {
        msg *mp = new msg;
        mp->num = std::rand() % 1000 + 1;
        std::printf("-Produce ---%d\n", mp->num);
        pthread_mutex_lock(&lock);
        mp->next = head;
        head = mp;
        pthread_mutex_unlock(&lock);
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
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    pthread_t pid, cid1, cid2;
    pthread_create(&pid, nullptr, producer, nullptr);
    pthread_create(&cid1, nullptr, consumer, nullptr);
    pthread_create(&cid2, nullptr, consumer, nullptr);
    pthread_join(pid, nullptr);
    pthread_join(cid1, nullptr);
    pthread_join(cid2, nullptr);
    return 0;
}
