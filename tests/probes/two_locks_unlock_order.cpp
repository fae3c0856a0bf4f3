// Two threads, two counters, "mended" by unlocking in one order; the locks are still taken in opposite orders.
// interleave: 1: deadlock when each thread holds its first lock and waits for the other's: the order of unlocks changes nothing
#include <cstdio>
#include <pthread.h>

constexpr int kRounds = 3;

pthread_mutex_t lock_a = PTHREAD_MUTEX_INITIALIZER;  // guards count_a
pthread_mutex_t lock_b = PTHREAD_MUTEX_INITIALIZER;  // guards count_b
int count_a, count_b;

void *one(void *)
{
    for (int k = 0; k < kRounds; k++) {
        pthread_mutex_lock(&lock_a);
        pthread_mutex_lock(&lock_b);
        count_a++;
        count_b++;
        pthread_mutex_unlock(&lock_b);
        pthread_mutex_unlock(&lock_a);
    }
    std::printf("one is done\n");
    return nullptr;
}

void *other(void *)
{
    for (int k = 0; k < kRounds; k++) {
        pthread_mutex_lock(&lock_b);
        pthread_mutex_lock(&lock_a);
        count_b++;
        count_a++;
        pthread_mutex_unlock(&lock_b);
        pthread_mutex_unlock(&lock_a);
    }
    std::printf("other is done\n");
    return nullptr;
}

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    pthread_t t1, t2;
    pthread_create(&t1, nullptr, one, nullptr);
    pthread_create(&t2, nullptr, other, nullptr);
    pthread_join(t1, nullptr);
    pthread_join(t2, nullptr);
    std::printf("counts: %d and %d\n", count_a, count_b);
    return 0;
}
