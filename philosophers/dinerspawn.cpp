// dinerspawn: the dining philosophers as five processes. The five forks are five
// semaphores in one memory region that all six processes share: the first process makes
// it before it creates the philosophers, who inherit it.
//
// Run:   dinerspawn          (stop it with Ctrl-C)
// Watch: lines such as " C is eating", from all five of A to E. A philosopher waits only
//        for its first fork and merely tries the second, putting the first back if a
//        neighbour has it; so two neighbours never eat at once, and nobody waits forever.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "forks.h"

constexpr int kPause = 5;  // a philosopher rests 0 to 4 seconds between meals
constexpr std::size_t kRegion = kPhilosophers * sizeof(sem_t);

sem_t *s;  // the forks, in memory shared by all the processes

[[noreturn]] void die(const char *label)
{
    std::perror(label);
    std::exit(1);
}

// No philosopher may outlive the first process: ask the kernel for SIGTERM when the parent
// ends. If it ended before the request was made, the signal will never come, so leave now.
void follow_parent(pid_t parent)
{
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) == -1)
        die("prctl");
    if (getppid() != parent)
        std::exit(0);
}

[[noreturn]] void philosopher(int i)
{
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    const auto [l, r] = fork_order(i);
    for (;;) {
        while (sem_wait(&s[l]) == -1)
            if (errno != EINTR)
                die("sem_wait");
        if (sem_trywait(&s[r]) == 0) {
            std::printf(" %c is eating\n", 'A' + i);
            sem_post(&s[r]);
        } else if (errno != EAGAIN) {
            die("sem_trywait");
        }
        sem_post(&s[l]);
        sleep(static_cast<unsigned>(std::rand() % kPause));
    }
}

int main()
{
    // Each philosopher has its own copy of the output buffer; line buffering sends every
    // line out at once, so that a pipe sees it now and nothing is lost when we are stopped.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    s = static_cast<sem_t *>(
        mmap(nullptr, kRegion, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (s == MAP_FAILED)
        die("fail to mmap");
    // pshared = 1: the semaphores are used by several processes, through the shared region.
    for (int k = 0; k < kPhilosophers; k++)
        if (sem_init(&s[k], 1, 1) == -1)
            die("sem_init");

    // A new process leaves the loop at once as philosopher i; the first process goes on.
    const pid_t parent = getpid();
    std::array<pid_t, kPhilosophers> pid{};
    int i;
    for (i = 0; i < kPhilosophers; i++) {
        pid[i] = fork();
        if (pid[i] == 0)
            break;
        if (pid[i] == -1) {
            std::perror("fork");
            for (int k = 0; k < i; k++)
                kill(pid[k], SIGTERM);
            for (int k = 0; k < i; k++)
                waitpid(pid[k], nullptr, 0);
            return 1;
        }
    }
    if (i < kPhilosophers) {
        follow_parent(parent);
        philosopher(i);
    }

    // The philosophers never stop on their own; the first process waits here until they
    // are stopped from outside.
    for (int k = 0; k < kPhilosophers; k++)
        if (wait(nullptr) == -1)
            die("wait");
    for (int k = 0; k < kPhilosophers; k++)
        sem_destroy(&s[k]);
    munmap(s, kRegion);
    return 0;
}
