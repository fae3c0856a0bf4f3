// The steering library's fork server. Starting a program costs an exec, the loader's search
// for every library, and their set-up: most of a short run. So interleave starts the
// program once, and the library, before the program's own constructors and main, waits for
// runs: for each, it forks, and the child goes on into the program, steered, with the
// run's standard streams and region, while the parent tells interleave the child's pid,
// waits for its end and tells that too. Every run starts from the same memory, as a fresh
// start of the program would, at the cost of a fork.
//
// That holds only where nothing before this point left anything that a fork would share
// between the runs: the constructors of the libraries loaded with the program ran once,
// here. So the server serves only a program whose libraries are the C and C++ runtimes (and
// a sanitizer's), whose set-up leaves nothing behind but memory; one thread; and children
// it can wait for. It allocates nothing, so that the heap of every run is laid out as that
// of a program started afresh.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <link.h>
#include <string_view>
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
// started would be missing from every run. (Read without stdio, which would allocate.)
bool one_thread()
{
    char text[4096];
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd == -1 ? -1 : read(fd, text, sizeof text - 1);
    if (fd != -1)
        close(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    const char *line = std::strstr(text, "\nThreads:\t");
    return line != nullptr && std::strncmp(line + 10, "1\n", 2) == 0;
}

// The libraries whose constructors leave nothing but memory behind: the loader's, the C
// and C++ runtimes, the compilers' sanitizer runtimes, and this one.
int runtime_only(dl_phdr_info *info, size_t, void *all)
{
    constexpr std::string_view kRuntimes[] = {"", "linux-vdso", "linux-gate", "libc", "libm", "libpthread", "libdl",
                                              "librt", "libstdc++", "libgcc_s", "libasan", "libubsan",
                                              "libinterleave_steer"};
    std::string_view name = info->dlpi_name == nullptr ? "" : info->dlpi_name;
    name = name.substr(name.rfind('/') + 1);
    name = name.substr(0, name.find(".so"));
    const bool known = name.starts_with("ld-linux") ||
                       std::find(std::begin(kRuntimes), std::end(kRuntimes), name) != std::end(kRuntimes);
    *static_cast<bool *>(all) = *static_cast<bool *>(all) && known;
    return 0;
}

// Whether the server's waits will see each run's end: not where SIGCHLD is ignored.
bool children_waited()
{
    struct sigaction child {};
    r().sigaction(SIGCHLD, nullptr, &child);
    return child.sa_handler != SIG_IGN && (child.sa_flags & SA_NOCLDWAIT) == 0;
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
    bool runtimes = true;
    dl_iterate_phdr(runtime_only, &runtimes);
    if (!runtimes || !one_thread() || !children_waited()) {
        tell(socket, served_t::refused, 0);
        _exit(0);
    }
    const pid_t server = getpid();
    // A signal the program sends its parent reaches the server in a served run: it must not
    // end it. Each run gets the mask the program started with.
    sigset_t all, mask;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &mask);
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
            sigprocmask(SIG_SETMASK, &mask, nullptr);
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
