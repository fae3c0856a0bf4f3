// Exercise: dining philosophers, five threads around five mutex forks.
//
// What it should do: five philosopher threads share five forks (mutexes) around a table,
// as in dinerlanes; each eats, with both forks, and puts them back, for ever.
// What goes wrong: run it a hundred times and it may never go wrong; but there is an
// order of turns in which the philosophers stop eating, for good.
//
// From the repository's top folder, once ./tour has built everything:
// Find it:   build/release/bin/interleave dinerlanes_same_side
// See it:    build/release/bin/interleave --replay dinerlanes_same_side.schedule
// Play it:   build/release/bin/interleave --step dinerlanes_same_side   (you choose
//            every turn: can you make them stop in ten turns of the philosophers?)
// Mend it:   dinerlanes shows two cures, and either one alone is enough. Rebuild it
//            (cmake --build --preset release --target dinerlanes_same_side) and search
//            again: it should find nothing.

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
        pthread_mutex_lock(&m[r]);
        std::printf("\t%c is eating \n", 'A' + i);
        pthread_mutex_unlock(&m[r]);
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
