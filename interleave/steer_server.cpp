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
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "steer.h"

namespace steer {
namespace {

void tell(int socket, served_t what, int32_t value)
{
    const server_note_t note{what, value};
    [[maybe_unused]] ssize_t ignored = r().send(socket, &note, sizeof note, MSG_NOSIGNAL);
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
// and C++ runtimes and the compilers' sanitizer runtimes, from the folder the C library
// came from; this one, and interleave's access library beside it, which has no set-up at
// all. (Looked at without allocating.)
struct loaded_t {
    char runtimes[512] = {};  // the folder of the C library, with its slash
    const char *self = nullptr;
    char access[512] = {};    // the access library's file
    bool program = true;  // the first object is the program itself
    bool safe = true;
};

std::string_view stem_of(std::string_view path)
{
    path = path.substr(path.rfind('/') + 1);
    return path.substr(0, path.find(".so"));
}

bool same_file(const char *a, const char *b)
{
    struct stat x {}, y {};
    return a[0] != '\0' && b[0] != '\0' && stat(a, &x) == 0 && stat(b, &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}

bool is_runtime(const loaded_t &l, std::string_view path)
{
    constexpr std::string_view kRuntimes[] = {"libc", "libm", "libpthread", "libdl", "librt", "libstdc++",
                                              "libgcc_s", "libasan", "libubsan"};
    const std::string_view stem = stem_of(path);
    char file[512] = {};
    if (path.size() < sizeof file)
        std::memcpy(file, path.data(), path.size());
    if (same_file(file, l.access))
        return true;
    if (path == l.self || path.starts_with("linux-vdso") || path.starts_with("linux-gate") || stem.starts_with("ld-linux"))
        return true;
    return path.substr(0, path.rfind('/') + 1) == l.runtimes &&
           std::find(std::begin(kRuntimes), std::end(kRuntimes), stem) != std::end(kRuntimes);
}

int find_c_library(dl_phdr_info *info, size_t, void *loaded)
{
    loaded_t &l = *static_cast<loaded_t *>(loaded);
    const std::string_view path = info->dlpi_name == nullptr ? "" : info->dlpi_name;
    if (stem_of(path) == "libc" && path.rfind('/') + 2 < sizeof l.runtimes)
        std::memcpy(l.runtimes, path.data(), path.rfind('/') + 1);
    return 0;
}

// The program's own code that runs before any library's constructor (its preinit array)
// would run once, in the server: only a runtime's (a sanitizer's start) may be there.
bool preinit_of_runtimes(const loaded_t &l, const dl_phdr_info *info)
{
    for (int k = 0; k < info->dlpi_phnum; k++) {
        if (info->dlpi_phdr[k].p_type != PT_DYNAMIC)
            continue;
        const auto *d = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[k].p_vaddr);
        ElfW(Addr) array = 0;
        std::size_t size = 0;
        for (; d->d_tag != DT_NULL; d++) {
            if (d->d_tag == DT_PREINIT_ARRAY)
                array = d->d_un.d_ptr;
            if (d->d_tag == DT_PREINIT_ARRAYSZ)
                size = d->d_un.d_val;
        }
        const auto *calls = reinterpret_cast<void *const *>(info->dlpi_addr + array);
        for (std::size_t c = 0; array != 0 && c < size / sizeof(void *); c++) {
            Dl_info where{};
            if (dladdr(calls[c], &where) == 0 || where.dli_fname == nullptr || !is_runtime(l, where.dli_fname))
                return false;
        }
    }
    return true;
}

int runtime_only(dl_phdr_info *info, size_t, void *loaded)
{
    loaded_t &l = *static_cast<loaded_t *>(loaded);
    if (l.program)
        l.safe = l.safe && preinit_of_runtimes(l, info);
    else
        l.safe = l.safe && is_runtime(l, info->dlpi_name == nullptr ? "" : info->dlpi_name);
    l.program = false;
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
    loaded_t loaded;
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&serve_runs), &self) != 0)
        loaded.self = self.dli_fname;
    constexpr std::string_view kAccess = "interleave-access/libtsan.so";
    if (const std::string_view me = loaded.self != nullptr ? loaded.self : "";
        me.rfind('/') != std::string_view::npos && me.rfind('/') + 1 + kAccess.size() < sizeof loaded.access) {
        std::memcpy(loaded.access, me.data(), me.rfind('/') + 1);
        std::memcpy(loaded.access + me.rfind('/') + 1, kAccess.data(), kAccess.size());
    }
    dl_iterate_phdr(find_c_library, &loaded);
    dl_iterate_phdr(runtime_only, &loaded);
    if (loaded.self == nullptr || loaded.runtimes[0] == '\0' || !loaded.safe || !one_thread() || !children_waited()) {
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
                r().dup2(fds[k], k);
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
