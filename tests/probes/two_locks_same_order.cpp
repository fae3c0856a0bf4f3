// Two threads updating two counters, mended: both take lock_a before lock_b.
// interleave: 0: correct: one order of locks for both threads, so neither can hold one and wait for the other
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
        pthread_mutex_lock(&lock_a);
        pthread_mutex_lock(&lock_b);
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
