// round_trip: the cost of handing a turn between two processes by futex, the reference
// against which bench/interleave.sh measures a turn of interleave's.
//
// Run:   round_trip N        (N round trips; 0 measures starting and ending alone)
// Watch: nothing is printed; time it (hyperfine) at two values of N, and the difference
//        over the difference of N is one round trip: a wake, a sleep, and back.
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "round_trip: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// Whose turn it is: 0 the parent's, 1 the child's. The word lies in memory both share, so
// the futex calls are the shared kind (no FUTEX_PRIVATE_FLAG), as interleave's are.
void wait_for(std::atomic<int> *turn, int mine)
{
    for (int seen; (seen = turn->load()) != mine;)
        if (syscall(SYS_futex, turn, FUTEX_WAIT, seen, nullptr, nullptr, 0) == -1 && errno != EAGAIN &&
            errno != EINTR)
            die("futex wait");
}

void hand_to(std::atomic<int> *turn, int theirs)
{
    turn->store(theirs);
    if (syscall(SYS_futex, turn, FUTEX_WAKE, 1, nullptr, nullptr, 0) == -1)
        die("futex wake");
}

}  // namespace

int main(int argc, char **argv)
{
    char *end = nullptr;
    const long trips = argc == 2 ? std::strtol(argv[1], &end, 10) : -1;
    if (argc != 2 || *end != '\0' || trips < 0) {
        std::fprintf(stderr, "usage: round_trip N   (N >= 0 round trips)\n");
        return 2;
    }
    void *shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        die("mmap");
    auto *turn = new (shared) std::atomic<int>(0);

    const pid_t child = fork();
    if (child == -1)
        die("fork");
    if (child == 0) {
        for (long i = 0; i < trips; ++i) {
            wait_for(turn, 1);
            hand_to(turn, 0);
        }
        _exit(0);
    }
    for (long i = 0; i < trips; ++i) {
        hand_to(turn, 1);
        wait_for(turn, 0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) == -1)
        die("waitpid");
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
