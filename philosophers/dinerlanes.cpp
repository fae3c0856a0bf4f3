// dinerlanes: the dining philosophers as five threads of one process; the five forks are
// five mutexes.
//
// Run:   dinerlanes          (stop it with Ctrl-C; `ps -L -C dinerlanes` shows the threads)
// Watch: lines such as "C is eating" (after a tab), from all five of A to E. Each fork is a
//        mutex, so only one philosopher holds it at a time: two neighbours never eat at
//        once. Deadlock is ruled out twice over, and either cure alone would do: everyone
//        locks the lower-numbered of their two forks first (forks.h), and nobody waits
//        while holding a fork, since the second is only tried and on failure the first is
//        unlocked. Eating is just the print, so a fork is held for microseconds and the
//        backing off is rarely seen.

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include "forks.h"

constexpr int kPause = 5;  // a philosopher rests 0 to 4 seconds between meals

std::array<pthread_mutex_t, kPhilosophers> m;  // the forks

// The pthread calls return an error number instead of setting errno.
[[noreturn]] void die_rc(int rc, const char *label)
{
    std::fprintf(stderr, "%s: %s\n", label, std::strerror(rc));
    std::exit(1);
}

// A print that fails ends the run. If the reader of our output went away, SIGPIPE has
// usually ended us already; where it is ignored, the print fails with EPIPE instead, and
// we leave as quietly. Any other failure (a full disk) is worth a word.
[[noreturn]] void output_failed()
{
    if (errno != EPIPE)
        std::perror("dinerlanes: write");
    _exit(1);
}

void *tfn(void *arg)
{
    // The index travels in the argument itself, not as the address of a variable that
    // the main thread could change before this thread reads it.
    const int i = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
    // One generator for the whole process: every philosopher seeds it anew. POSIX does
    // not promise that rand() may be called from several threads at once; glibc's locks
    // its state, so here the worst is pauses drawn in some other order.
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    const auto [l, r] = fork_order(i);
    for (;;) {
        if (int rc = pthread_mutex_lock(&m[l]); rc != 0)
            die_rc(rc, "pthread_mutex_lock");
        if (int rc = pthread_mutex_trylock(&m[r]); rc == 0) {
            if (std::printf("\t%c is eating \n", 'A' + i) < 0)
                output_failed();
            pthread_mutex_unlock(&m[r]);
        } else if (rc != EBUSY) {
            die_rc(rc, "pthread_mutex_trylock");
        }
        pthread_mutex_unlock(&m[l]);
        sleep(static_cast<unsigned>(std::rand() % kPause));
    }
}

int main()
{
    // Every line reaches a pipe or a file at once, and none is lost when we are stopped.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    for (pthread_mutex_t &fork : m)
        if (int rc = pthread_mutex_init(&fork, nullptr); rc != 0)
            die_rc(rc, "pthread_mutex_init");

    std::array<pthread_t, kPhilosophers> tid;
    for (int i = 0; i < kPhilosophers; i++) {
        void *arg = reinterpret_cast<void *>(static_cast<std::intptr_t>(i));
        if (int rc = pthread_create(&tid[i], nullptr, tfn, arg); rc != 0)
            die_rc(rc, "pthread_create");
    }

    // The philosophers never stop on their own: the main thread waits in the first join
    // until the process is stopped from outside.
    for (pthread_t t : tid)
        if (int rc = pthread_join(t, nullptr); rc != 0)
            die_rc(rc, "pthread_join");
    for (pthread_mutex_t &fork : m)
        pthread_mutex_destroy(&fork);
    return 0;
}
