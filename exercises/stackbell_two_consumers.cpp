// Exercise: a stack of products with two consumers.
//
// What it should do: as stackbell, a producer pushes numbered products on a list guarded
// by a mutex and signals a condition variable; here two consumers pop them, newest first.
// What goes wrong: in almost every run it works; in some order of turns a consumer
// crashes.
//
// From the repository's top folder, once ./tour has built everything:
// Find it:   build/release/bin/interleave stackbell_two_consumers
// See it:    build/release/bin/interleave --replay stackbell_two_consumers.schedule
// Play it:   build/release/bin/interleave --step stackbell_two_consumers   (you choose
//            every turn: let a consumer wait, then let the other one come first)
// Mend it:   what must a woken consumer do before it takes the head? (Two reasons: the
//            other consumer may have come first, and POSIX lets a wait end with no
//            signal.) Rebuild it (cmake --build --preset release --target
//            stackbell_two_consumers) and search again.

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
        if (head == nullptr)
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
