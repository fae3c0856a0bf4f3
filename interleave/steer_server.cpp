// The steering library's fork server. Starting a program costs an exec, the loader's search
// for every library, and their set-up: most of a short run. So interleave starts the
// program once, and the library, before the program's own constructors and main, waits for
// runs: for each, it forks, and the child goes on into the program, steered, with the
// run's standard streams and region, while the parent tells interleave the child's pid,
// waits for its end and tells that too. Every run starts from the same memory, as a fresh
// start of the program would, at the cost of a fork.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "steer.h"

namespace steer {
namespace {

void tell(int socket, served_t what, int32_t value)
{
    const server_note_t note{what, value};
    [[maybe_unused]] ssize_t ignored = send(socket, &note, sizeof note, MSG_NOSIGNAL);
}

// A fork keeps only the thread that calls it: a thread that another library's constructor
// started would be missing from every run.
bool one_thread()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return false;
    char line[256];
    int threads = 0;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "Threads: %d", &threads) == 1)
            break;
    std::fclose(status);
    return threads == 1;
}

// Waits for the next run's descriptors: false when interleave is done with the program.
bool next_run(int socket, int (&fds)[kServedDescriptors])
{
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do
        n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    while (n == -1 && errno == EINTR);
    const cmsghdr *c = CMSG_FIRSTHDR(&message);
    if (n != 1 || c == nullptr || c->cmsg_type != SCM_RIGHTS || c->cmsg_len != CMSG_LEN(sizeof fds))
        return false;
    std::memcpy(fds, CMSG_DATA(c), sizeof fds);
    return true;
}

}  // namespace

int serve_runs(int socket)
{
    if (!one_thread()) {
        tell(socket, served_t::refused, 0);
        _exit(0);
    }
    const pid_t server = getpid();
    tell(socket, served_t::ready, 0);
    for (int fds[kServedDescriptors]; next_run(socket, fds);) {
        const pid_t pid = r().fork();
        if (pid == 0) {
            // In its own process group, as a program that interleave starts itself, and
            // ended with the server, which ends with interleave.
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != server)
                r().exit_now(127);
            for (int k = 0; k < 3; k++) {
                dup2(fds[k], k);
                close(fds[k]);
            }
            close(socket);
            return fds[3];
        }
        for (int fd : fds)
            close(fd);
        if (pid == -1) {
            tell(socket, served_t::refused, errno);
            break;
        }
        setpgid(pid, pid);  // as the child does: so it is, whichever of the two comes first
        tell(socket, served_t::started, pid);
        int status = 0;
        while (r().waitpid(pid, &status, 0) == -1 && errno == EINTR) {
        }
        tell(socket, served_t::ended, status);
    }
    _exit(0);  // interleave is done with the program
}

}  // namespace steer
