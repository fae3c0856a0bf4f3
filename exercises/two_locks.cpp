// Exercise: two threads and two mutexes.
//
// What it should do: two threads each update two counters, each counter guarded by its
// own mutex, and say when they are done; the program then ends.
// What goes wrong: on most runs the program ends; on some it never does.
//
// From the repository's top folder, once ./tour has built everything:
// Find it:   build/release/bin/interleave two_locks
// See it:    build/release/bin/interleave --replay two_locks.schedule
// Play it:   build/release/bin/interleave --step two_locks   (you choose every turn:
//            give each thread one lock, then try to go on)
// Mend it:   the philosophers of dinerlanes have the answer. Rebuild it (cmake --build
//            --preset release --target two_locks) and search again: it should find
//            nothing, and say that every run came to the program's end.

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
        pthread_mutex_unlock(&lock_a);
        pthread_mutex_unlock(&lock_b);
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
