// dinerspawn: the dining philosophers as five processes. The five forks are five
// semaphores in one memory region that all six processes share: the first process makes
// it before it creates the philosophers, who inherit it.
//
// Run:   dinerspawn          (stop it with Ctrl-C; or tracewatch dinerspawn)
// Watch: lines such as " C is eating", from all five of A to E. Each fork is a semaphore
//        of value 1, so only one philosopher holds it at a time: two neighbours never eat
//        at once. Deadlock is ruled out twice over, and either cure alone would do:
//        everyone takes the lower-numbered of their two forks first (forks.h), and nobody
//        waits while holding a fork, since the second is only tried and on failure the
//        first goes back. Eating is just the print, so a fork is held for microseconds and
//        the backing off is rarely seen. All five seed their pauses in the same second, so
//        they tend to eat in step.

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
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
// Set by the first philosopher to report a failed print; shared too, and lock-free, so
// that it works across processes.
std::atomic_flag *said;

[[noreturn]] void die(const char *label)
{
    std::perror(label);
    std::exit(1);
}

// No philosopher may outlive the first process: ask the kernel for SIGKILL when the parent
// ends. (Not SIGTERM: whoever started us may have set that one to be ignored, and ignored
// signals stay ignored in the children.) If the parent ended before the request was made,
// the signal will never come, so leave now.
void follow_parent(pid_t parent)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1)
        die("prctl");
    if (getppid() != parent)
        std::exit(0);
}

// A philosopher that cannot print leaves the table, and the first process then ends the
// dinner. If the reader of our output went away, SIGPIPE has usually ended us already;
// where it is ignored, the print fails with EPIPE instead, and we leave as quietly. A full
// disk fails every philosopher's print at once: the first to fail says so, once.
void eat(int i)
{
    if (std::printf(" %c is eating\n", 'A' + i) < 0) {
        if (errno != EPIPE && !said->test_and_set())
            std::perror("dinerspawn: write");
        _exit(1);
    }
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
            eat(i);
            sem_post(&s[r]);
        } else if (errno != EAGAIN) {
            die("sem_trywait");
        }
        sem_post(&s[l]);
        sleep(static_cast<unsigned>(std::rand() % kPause));
    }
}

// Ends the philosophers still at the table (a 0 marks one already gone) and reaps each by
// its id. SIGKILL, because a launcher may have left SIGTERM ignored.
void end_dinner(const std::array<pid_t, kPhilosophers> &pid)
{
    for (pid_t p : pid)
        if (p > 0)
            kill(p, SIGKILL);
    for (pid_t p : pid)
        if (p > 0)
            waitpid(p, nullptr, 0);
}

// Waits until a philosopher leaves the table and returns its index. Any child may end
// first, so this waits for any; a child that is not a philosopher (a shell's
// `job & exec dinerspawn` hands its background job to us) is reaped and otherwise ignored.
int first_to_leave(const std::array<pid_t, kPhilosophers> &pid, int &status)
{
    for (;;) {
        pid_t ended = waitpid(-1, &status, 0);
        if (ended == -1)
            die("waitpid");
        for (int k = 0; k < kPhilosophers; k++)
            if (pid[k] == ended)
                return k;
    }
}

int main()
{
    // Each philosopher has its own copy of the output buffer; line buffering sends every
    // line out at once, so that a pipe sees it now and nothing is lost when we are stopped.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A launcher may have left SIGCHLD ignored: the kernel would then reap the philosophers
    // by itself, and the first process could not see one leave.
    signal(SIGCHLD, SIG_DFL);

    s = static_cast<sem_t *>(
        mmap(nullptr, kRegion, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (s == MAP_FAILED)
        die("fail to mmap");
    void *flag = mmap(nullptr, sizeof(std::atomic_flag), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (flag == MAP_FAILED)
        die("fail to mmap");
    said = new (flag) std::atomic_flag;
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
            pid[i] = 0;
            end_dinner(pid);
            return 1;
        }
    }
    if (i < kPhilosophers) {
        follow_parent(parent);
        philosopher(i);
    }

    // The philosophers never stop on their own. One that leaves (killed from outside, or
    // by SIGPIPE when the reader of our output went away) may have died holding its forks,
    // and its neighbours would wait for them forever: so the first to leave ends the dinner.
    int status;
    int k = first_to_leave(pid, status);
    pid[k] = 0;
    // A philosopher that exited has said why itself, or left quietly because its reader
    // went away; one killed by SIGPIPE lost its reader too. Any other signal came from
    // outside: say which.
    if (WIFSIGNALED(status) && WTERMSIG(status) != SIGPIPE)
        std::fprintf(stderr, "dinerspawn: philosopher %c was killed by signal %d (%s); the "
                     "dinner is over\n", 'A' + k, WTERMSIG(status), strsignal(WTERMSIG(status)));
    end_dinner(pid);
    for (int f = 0; f < kPhilosophers; f++)
        sem_destroy(&s[f]);
    munmap(s, kRegion);
    munmap(said, sizeof(std::atomic_flag));
    return 1;
}
