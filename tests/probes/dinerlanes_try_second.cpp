// Philosophers who take their left fork, only try the right one, and put the left back if it is taken.
// interleave: 0: correct: nobody waits while holding a fork, so no deadlock; a failed try changes the forks
#include <array>
#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <unistd.h>

constexpr int kPhilosophers = 5;

std::array<pthread_mutex_t, kPhilosophers> m;  // the forks; fork i lies left of philosopher i

void *tfn(void *arg)
{
    const int i = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
    const int l = i, r = (i + 1) % kPhilosophers;
    for (;;) {
        pthread_mutex_lock(&m[l]);
        if (pthread_mutex_trylock(&m[r]) == 0) {
            std::printf("\t%c is eating \n", 'A' + i);
            pthread_mutex_unlock(&m[r]);
        }
        pthread_mutex_unlock(&m[l]);
        sleep(1);
    }
}

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    for (pthread_mutex_t &fork : m)
        pthread_mutex_init(&fork, nullptr);
    std::array<pthread_t, kPhilosophers> tid;
    for (int i = 0; i < kPhilosophers; i++)
        pthread_create(&tid[i], nullptr, tfn, reinterpret_cast<void *>(static_cast<std::intptr_t>(i)));
    for (pthread_t t : tid)
        pthread_join(t, nullptr);
    return 0;
}
