#include "process.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/futex.h>
#include <poll.h>
#include <sys/personality.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "descendants.h"

extern char **environ;

namespace interleave {
namespace {

constexpr double kNap = 0.001;  // seconds interleave sleeps on the bell at most at a time
constexpr unsigned kPidfdThread = O_EXCL;  // pidfd_open: of a thread, not of a process (PIDFD_THREAD)
constexpr std::size_t kPidRoom = 12;       // digits of a pid, at most

// The program's environment: the steering library preloaded, and the region (or the fork
// server's socket) handed over to the one process that starts the program, whose pid the
// child writes in the room left.
std::vector<std::string> environment_for(const target_t &target, const char *variable, int fd)
{
    const std::string &library = target.library;
    const std::string folder = library.substr(0, library.rfind('/'));
    const std::string name = library.substr(library.rfind('/') + 1);
    std::vector<std::string> env;
    std::string preload = name, search = folder, sanitizer, undefined;
    bool bound = false;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bound = bound || entry.starts_with("LD_BIND_NOW=");
        if (entry.starts_with("LD_PRELOAD="))
            preload.append(":").append(entry, 11);
        else if (entry.starts_with("LD_LIBRARY_PATH="))
            search.append(":").append(entry, 16);
        else if (entry.starts_with("ASAN_OPTIONS="))
            sanitizer.append(":").append(entry, 13);
        else if (entry.starts_with("UBSAN_OPTIONS="))
            undefined.append(":").append(entry, 14);
        else if (!entry.starts_with("INTERLEAVE_"))
            env.push_back(entry);
    }
    // The loader splits LD_PRELOAD at blanks, so the library goes by its bare name and its
    // folder on LD_LIBRARY_PATH, which is split at colons only.
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("LD_LIBRARY_PATH=" + search);
    // A program built with AddressSanitizer wants its runtime first of all libraries; ours
    // must come first to stand in front of the calls, which the runtime allows when told.
    // And a crash stays a crash, seen by the steering library: not a report and a status.
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:handle_segv=0" + sanitizer);
    env.push_back("UBSAN_OPTIONS=abort_on_error=1" + undefined);
    // The loader binds every function the program calls as it loads it, once, in the copy
    // that the server holds, instead of at each first call in every run it forks; the
    // library takes the setting away again before the program's own code runs.
    if (!bound) {
        env.push_back("LD_BIND_NOW=1");
        env.push_back(std::string(steer::kBoundVariable) + "=1");
    }
    // The same length whichever is handed, and however many digits its number has: the
    // strings at the top of the stack, and with them every address in main's frame, lie
    // where they lie in a run that the server forked.
    const std::string number = std::to_string(fd);
    env.push_back(std::string(variable) + "=" + std::string(kPidRoom - number.size(), ' ') + number);
    env.push_back(std::string(steer::kPidVariable) + "=" + std::string(kPidRoom, ' '));
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> p;
    for (std::string &s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

int pidfd_of(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// The names of the system calls a thread is most often found blocked in.
std::string syscall_name(long number)
{
    switch (number) {
    case SYS_read: return "read";
    case SYS_write: return "write";
    case SYS_poll: return "poll";
    case SYS_ppoll: return "ppoll";
    case SYS_select: return "select";
    case SYS_pselect6: return "pselect";
    case SYS_pause: return "pause";
    case SYS_nanosleep: return "nanosleep";
    case SYS_clock_nanosleep: return "clock_nanosleep";
    case SYS_wait4: return "wait4";
    case SYS_waitid: return "waitid";
    case SYS_futex: return "futex (a lock or wait of a library's own)";
    case SYS_epoll_wait: return "epoll_wait";
    case SYS_epoll_pwait: return "epoll_pwait";
    case SYS_accept: return "accept";
    case SYS_accept4: return "accept4";
    case SYS_connect: return "connect";
    case SYS_recvfrom: return "recvfrom";
    case SYS_recvmsg: return "recvmsg";
    case SYS_rt_sigsuspend: return "sigsuspend";
    case SYS_rt_sigtimedwait: return "sigwait";
    case SYS_msgrcv: return "msgrcv";
    case SYS_semop: return "semop";
    case SYS_semtimedop: return "semtimedop";
    case SYS_flock: return "flock";
    case SYS_fcntl: return "fcntl (a file lock)";
    default: return "system call " + std::to_string(number);
    }
}

// What the child needs to start the program, made ready before it exists.
struct start_t {
    const char *program;
    char **argv, **envp;
    char *pid;  // the room for its pid in the environment
    pid_t parent;
    int in, out, err, failed, handed;
};

// The child, in interleave's memory: system calls only, then the program.
int start_program(void *arg)
{
    const start_t &s = *static_cast<const start_t *>(arg);
    char digits[kPidRoom + 1];
    std::size_t n = 0;
    for (unsigned long pid = static_cast<unsigned long>(getpid()); pid != 0 && n < kPidRoom; pid /= 10)
        digits[n++] = static_cast<char>('0' + pid % 10);
    for (std::size_t k = 0; k < n; k++)
        s.pid[k] = digits[n - 1 - k];
    s.pid[n] = '\0';
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != s.parent)
        _exit(127);
    dup2(s.in, 0);
    dup2(s.out, 1);
    dup2(s.err, 2);
    // The region (or socket) reaches the program by number: it must stay open in it, until
    // the steering library has taken it.
    fcntl(s.handed, F_SETFD, 0);
    // Addresses the same in every run: a program that prints a pointer, or a thread's
    // id, replays the same.
    personality(ADDR_NO_RANDOMIZE);
    struct sigaction fresh {};
    fresh.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++)
        sigaction(sig, &fresh, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(s.program, s.argv, s.envp);
    const int e = errno;
    [[maybe_unused]] ssize_t ignored = write(s.failed, &e, sizeof e);
    _exit(127);
}

}  // namespace

double seconds_now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

namespace {

// Starts the program with these streams and environment, handing it one descriptor; its
// pid, or -1 and why not.
pid_t start(const target_t &target, std::vector<std::string> env, int in, int out, int err, int handed, std::string &why)
{
    int failed[2];
    if (pipe2(failed, O_CLOEXEC) == -1) {
        why = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    std::vector<std::string> args{target.program};
    args.insert(args.end(), target.args.begin(), target.args.end());
    std::vector<char *> argv = pointers(args);
    std::vector<char *> envp = pointers(env);
    char *pid_room = envp[envp.size() - 2] + std::strlen(steer::kPidVariable) + 1;
    start_t start{target.program.c_str(), argv.data(), envp.data(), pid_room, getpid(), in, out, err, failed[1], handed};
    // The child shares interleave's memory until it starts the program (as vfork does), so
    // that starting it costs the same however much interleave keeps.
    static thread_local std::vector<char> stack(65536);
    const pid_t pid = clone(start_program, stack.data() + stack.size(), CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
    close(failed[1]);
    if (pid == -1) {
        close(failed[0]);
        why = std::string("clone: ") + std::strerror(errno);
        return -1;
    }
    setpgid(pid, pid);
    int e = 0;
    const bool started = read(failed[0], &e, sizeof e) != sizeof e;
    close(failed[0]);
    if (!started) {
        why = "cannot start " + target.program + ": " + std::strerror(e);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

// ---- the fork server ----
// The program started once, forking a process for each run (the steering library tells
// how); kept from run to run of one target, and ended when another comes.
struct server_t {
    std::string target;     // what it serves: the program, its arguments, the library
    int launches = 0;       // runs of that target so far
    bool refused = false;   // it cannot serve, or failed: each run starts the program anew
    pid_t pid = -1;
    int socket = -1, pidfd = -1;
};
server_t server;
constexpr int kServerPatience = 10000;  // ms the server may take to answer, at most

std::string key_of(const target_t &target)
{
    std::string key = target.program + '\0' + target.library;
    for (const std::string &arg : target.args)
        key += '\0' + arg;
    return key;
}

void end_server()
{
    if (server.socket != -1)
        close(server.socket);
    if (server.pid > 0) {
        kill(server.pid, SIGKILL);
        waitpid(server.pid, nullptr, 0);
    }
    if (server.pidfd != -1)
        close(server.pidfd);
    server.pid = server.socket = server.pidfd = -1;
}

// The server's next note; false if it has none within its patience, or is gone.
bool hear_server(steer::served_t what, int32_t &value)
{
    pollfd fds[2] = {{server.socket, POLLIN, 0}, {server.pidfd, POLLIN, 0}};
    steer::server_note_t note{};
    const double until = seconds_now() + kServerPatience / 1000.0;
    int ready = 0;
    do  // a signal (Ctrl-C) is seen after the note, by the search
        ready = poll(fds, 2, static_cast<int>(std::max(0.0, until - seconds_now()) * 1000));
    while (ready == -1 && errno == EINTR);
    if (ready < 1 || (fds[0].revents & POLLIN) == 0 ||
        recv(server.socket, &note, sizeof note, 0) != sizeof note || note.what != what) {
        end_server();
        server.refused = true;
        return false;
    }
    value = note.value;
    return true;
}

// interleave's end ends the server too, at once: not later, by the signal its parent's end
// sends, which leaves it for a moment without a parent to reap it.
struct server_ender_t {
    ~server_ender_t() { end_server(); }
} server_ender;

// Whether the kernel tells a process's children (in /proc/PID/task/TID/children): how
// interleave knows, with the server living on as its child, that no other is left.
bool children_told()
{
    return std::filesystem::exists("/proc/self/task/" + std::to_string(gettid()) + "/children");
}

bool only_the_server_left()
{
    if (server.pid <= 0)
        return false;
    std::error_code e;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", e)) {
        std::ifstream children(task.path() / "children");
        for (pid_t pid; children >> pid;)
            if (pid != server.pid)
                return false;
    }
    return !e;
}

bool start_server(const target_t &target)
{
    int ends[2];
    if (!children_told() || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == -1)
        return false;
    // Until the first run, the program has nothing to read or write: what a library's
    // constructor writes as the program starts, before the server forks, is not seen.
    const int none = open("/dev/null", O_RDWR | O_CLOEXEC);
    std::string why;
    const pid_t pid = none == -1 ? -1
                                 : start(target, environment_for(target, steer::kServerVariable, ends[1]), none, none,
                                         none, ends[1], why);
    close(none);
    close(ends[1]);
    if (pid == -1) {
        close(ends[0]);
        return false;
    }
    server.pid = pid;
    server.socket = ends[0];
    server.pidfd = pidfd_of(pid);
    int32_t ignored = 0;
    return hear_server(steer::served_t::ready, ignored);
}

// Hands the run's descriptors to the server, which forks the run's process.
bool serve(program_t &p, int in, int out, int err)
{
    const int fds[steer::kServedDescriptors] = {in, out, err, p.region_fd};
    char byte = 'r';
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof fds);
    std::memcpy(CMSG_DATA(c), fds, sizeof fds);
    int32_t pid = -1;
    if (sendmsg(server.socket, &message, MSG_NOSIGNAL) != 1) {
        end_server();
        server.refused = true;
        return false;
    }
    if (!hear_server(steer::served_t::started, pid))
        return false;
    p.first = pid;
    p.served = true;
    return true;
}

// The first process of the run has ended: its wait status, from the system or the server,
// kept unless interleave ended it.
void reap_first(program_t &p, bool keep)
{
    int status = 0;
    if (p.status || p.first <= 0)
        return;
    const bool reaped = p.served ? server.pid > 0 && hear_server(steer::served_t::ended, status)
                                 : waitpid(p.first, &status, 0) == p.first;
    // A server ended from outside takes the run's process with it, by the signal its end
    // sends: the run was killed as surely as if its own process had been.
    if (!reaped && p.served)
        status = SIGKILL;
    if (keep && (reaped || p.served))
        p.status = status;
}

// Every process below interleave but the server, which is no part of the run.
void kill_descendants()
{
    for (pid_t pid : watch::descendants())
        if (pid != server.pid)
            kill(pid, SIGKILL);
}

}  // namespace

bool launch(program_t &p, const target_t &target, std::string &why)
{
    p.region_fd = memfd_create(steer::kRegionName, MFD_CLOEXEC);
    if (p.region_fd == -1 || ftruncate(p.region_fd, sizeof(steer::region_t)) == -1) {
        why = std::string("memfd: ") + std::strerror(errno);
        return false;
    }
    void *shared = mmap(nullptr, sizeof(steer::region_t), PROT_READ | PROT_WRITE, MAP_SHARED, p.region_fd, 0);
    if (shared == MAP_FAILED) {
        why = std::string("mmap: ") + std::strerror(errno);
        return false;
    }
    p.region = static_cast<steer::region_t *>(shared);
    p.region->clock_ns.store(steer::kEpochNs);
    p.region->ends_seen.store(thread_ends_seen() ? 1 : 0);
    p.region->fatal_channel.store(-1);
    p.region->channels[0].turn.store(steer::kRunning);  // before the program can ask
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) == -1 || pipe2(out, O_CLOEXEC) == -1 || pipe2(err, O_CLOEXEC) == -1) {
        why = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    // The first run of a program starts it as a program is started: it shows whether the
    // library steers it at all (a program built statically would run its main as a server,
    // unwatched). The runs after it are forked by the server, if the program can serve.
    if (server.target != key_of(target)) {
        end_server();
        server = {};
        server.target = key_of(target);
    }
    const bool served = server.launches++ > 0 && !server.refused && (server.pid > 0 || start_server(target)) &&
                        serve(p, in[0], out[1], err[1]);
    const pid_t pid = served ? p.first
                             : start(target, environment_for(target, steer::kRegionVariable, p.region_fd), in[0], out[1],
                                     err[1], p.region_fd, why);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    p.in = in[1];
    p.out = out[0];
    p.err = err[0];
    fcntl(p.out, F_SETFL, O_NONBLOCK);
    fcntl(p.err, F_SETFL, O_NONBLOCK);
    if (pid == -1)
        return false;
    p.first = pid;
    if (target.input_lines == 0) {
        close(p.in);
        p.in = -1;
    }
    p.pidfds[pid] = pidfd_of(pid);
    return true;
}

void grant(program_t &p, int channel, int64_t answer)
{
    steer::channel_t &c = p.region->channels[channel];
    c.answer = answer;
    c.turn.store(steer::kGo);
    if (c.parked.load() != 0)  // else it is still looking at `turn`, and sees Go itself
        syscall(SYS_futex, &c.turn, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

bool give_input(program_t &p, const target_t &target)
{
    if (p.in == -1)
        return false;
    // A read that took part of a line leaves the rest for the next: a new line comes only
    // when the last one has been read whole.
    int unread = 0;
    if (ioctl(p.in, FIONREAD, &unread) == 0 && unread > 0)
        return true;
    if (p.lines_given == target.input_lines) {
        close(p.in);
        p.in = -1;
        return false;
    }
    const std::string line = "line " + std::to_string(++p.lines_given) + "\n";
    [[maybe_unused]] ssize_t ignored = write(p.in, line.data(), line.size());
    return true;
}

void drain(program_t &p, std::string &out, std::string &err)
{
    for (int *fd : {&p.out, &p.err}) {
        char buf[65536];
        ssize_t n = -1;
        while (*fd != -1 && (n = read(*fd, buf, sizeof buf)) > 0)
            (fd == &p.out ? out : err).append(buf, static_cast<std::size_t>(n));
        if (*fd != -1 && n == 0) {  // closed: nothing more will come
            close(*fd);
            *fd = -1;
        }
    }
}

std::vector<pid_t> deaths(program_t &p)
{
    std::vector<pid_t> dead;
    for (auto it = p.pidfds.begin(); it != p.pidfds.end();) {
        pollfd fd{it->second, POLLIN, 0};
        if (it->second != -1 && poll(&fd, 1, 0) != 1) {
            ++it;
            continue;
        }
        dead.push_back(it->first);
        if (it->first == p.first)
            reap_first(p, true);
        if (it->second != -1)
            close(it->second);
        it = p.pidfds.erase(it);
    }
    return dead;
}

bool thread_ends_seen()
{
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, gettid(), kPidfdThread));
    if (fd == -1)
        return false;
    close(fd);
    return true;
}

void watch_thread(program_t &p, int thread, int tid)
{
    if (!p.thread_fds.contains(thread))
        p.thread_fds[thread] = static_cast<int>(syscall(SYS_pidfd_open, tid, kPidfdThread));
}

void watch_leaving(program_t &p, int thread, pid_t pid)
{
    p.leaving.try_emplace(thread, pid);
}

// Whether a process's first thread has ended: a zombie, or gone with its process.
bool first_thread_gone(pid_t pid)
{
    char path[64], text[512] = {};
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/stat", pid, pid);
    FILE *stat = std::fopen(path, "re");
    if (stat == nullptr)
        return true;
    const std::size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    const char *close = std::strrchr(text, ')');
    return n == 0 || close == nullptr || close[1] != ' ' || close[2] == 'Z' || close[2] == 'X';
}

std::vector<int> thread_ends(program_t &p)
{
    std::vector<int> ended;
    for (auto it = p.leaving.begin(); it != p.leaving.end();)
        if (first_thread_gone(it->second)) {
            ended.push_back(it->first);
            it = p.leaving.erase(it);
        } else {
            ++it;
        }
    for (auto it = p.thread_fds.begin(); it != p.thread_fds.end();) {
        pollfd fd{it->second, POLLIN, 0};
        if (it->second != -1 && poll(&fd, 1, 0) != 1) {
            ++it;
            continue;
        }
        ended.push_back(it->first);
        if (it->second != -1)
            close(it->second);
        it = p.thread_fds.erase(it);
    }
    return ended;
}

bool still_steered(pid_t pid)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    const std::string region = std::string("/memfd:") + steer::kRegionName;
    for (std::string line; std::getline(maps, line);)
        if (line.find(region) != std::string::npos)
            return true;
    return false;
}

bool reading_input(pid_t pid, int tid)
{
    std::ifstream call("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    std::string fd;
    return call >> number >> fd && number == SYS_read && fd == "0x0";
}

void watch_process(program_t &p, pid_t pid)
{
    if (!p.pidfds.contains(pid))
        p.pidfds[pid] = pidfd_of(pid);
}

news_t wait_for_news(program_t &p, uint32_t rung, double seconds)
{
    // Sleep on the bell, for a millisecond at most at a time: a death or output with no
    // ring after it (a process that a signal ended) is seen within that.
    p.region->sleeping.store(1);
    const double until = seconds_now() + std::max(seconds, 0.0);
    news_t news;
    for (;;) {
        std::vector<pollfd> fds;
        for (int fd : {p.out, p.err})
            if (fd != -1)
                fds.push_back({fd, POLLIN, 0});
        const std::size_t streams = fds.size();
        for (const auto &[pid, fd] : p.pidfds)
            if (fd != -1)
                fds.push_back({fd, POLLIN, 0});
        for (const auto &[thread, fd] : p.thread_fds)
            if (fd != -1)
                fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 0) > 0)
            for (std::size_t k = 0; k < fds.size(); k++)
                if (fds[k].revents != 0)
                    (k < streams ? news.output : news.death) = true;
        for (const auto &[thread, pid] : p.leaving)
            news.death = news.death || first_thread_gone(pid);
        const double left = until - seconds_now();
        if (news.output || news.death || p.region->bell.load() != rung || left <= 0)
            break;
        const timespec nap{0, static_cast<long>(std::min(left, kNap) * 1e9)};
        syscall(SYS_futex, &p.region->bell, FUTEX_WAIT, rung, &nap, nullptr, 0);
    }
    p.region->sleeping.store(0);
    return news;
}

bool will_end(pid_t pid, int sig)
{
    if (sig == SIGKILL)
        return true;
    constexpr std::array<int, 6> spared = {SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGSTOP, SIGTSTP};
    if (sig <= 0 || sig == SIGTTIN || sig == SIGTTOU || std::find(spared.begin(), spared.end(), sig) != spared.end())
        return false;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const unsigned long long bit = 1ULL << (sig - 1);
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("SigIgn:") || line.starts_with("SigCgt:") || line.starts_with("SigBlk:"))
            if ((std::stoull(line.substr(7), nullptr, 16) & bit) != 0)
                return false;
    return true;
}

bool will_handle(pid_t pid, int sig)
{
    if (sig <= 0 || sig >= 64)
        return false;
    const unsigned long long bit = 1ULL << (sig - 1);
    const auto mask = [&](const std::string &path, const char *field) {
        std::ifstream status(path);
        for (std::string line; std::getline(status, line);)
            if (line.starts_with(field))
                return std::stoull(line.substr(std::strlen(field)), nullptr, 16);
        return 0ULL;
    };
    const std::string proc = "/proc/" + std::to_string(pid);
    if ((mask(proc + "/status", "SigCgt:") & bit) == 0)
        return false;
    std::error_code e;
    for (const auto &task : std::filesystem::directory_iterator(proc + "/task", e))
        if ((mask(task.path().string() + "/status", "SigBlk:") & bit) == 0)
            return true;
    return false;
}

thread_look_t look_at(pid_t pid, int tid)
{
    thread_look_t look;
    const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid);
    char text[512] = {};
    FILE *stat = std::fopen((task + "/stat").c_str(), "r");
    if (stat == nullptr)
        return look;
    const std::size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    const char *close = std::strrchr(text, ')');
    if (n == 0 || close == nullptr || close[1] != ' ')
        return look;
    const char state = close[2];
    look.running = state == 'R';
    // Stopped by a signal; not a tracing stop, which a debugger or a leak checker's look at
    // the threads (as the program ends) makes, and ends.
    look.stopped = state == 'T';
    if (state == 'S' || state == 'D') {
        std::ifstream call(task + "/syscall");
        long number = -1;
        if (call >> number && number >= 0) {
            look.exiting = number == SYS_exit || number == SYS_exit_group;
            if (!look.exiting)
                look.blocked_in = syscall_name(number);
        }
    }
    return look;
}

void stop(program_t &p)
{
    if (p.first > 0) {
        kill(-p.first, SIGKILL);
        for (const auto &[pid, fd] : p.pidfds)
            kill(pid, SIGKILL);
        if (p.started_others)
            kill_descendants();
        for (const auto &[pid, fd] : p.pidfds) {
            pollfd gone{fd, POLLIN, 0};
            if (fd != -1)
                poll(&gone, 1, 1000);
        }
        reap_first(p, false);
    }
    // Whatever else of the run is left, we adopted as its subreaper: reap it. What still
    // lives had left the program's process group (a setsid of something it started): it
    // ends too. The server lives on for the next run.
    for (int k = 0; k < 100; k++) {
        const pid_t reaped = waitpid(-1, nullptr, WNOHANG);
        if (reaped > 0 && reaped == server.pid) {  // killed from outside
            server.pid = -1;
            end_server();
            server.refused = true;
        }
        if (reaped > 0)
            continue;
        if (reaped < 0 || only_the_server_left())
            break;
        kill_descendants();
        usleep(10000);
    }
    for (const auto &[pid, fd] : p.pidfds)
        if (fd != -1)
            close(fd);
    p.pidfds.clear();
    for (const auto &[thread, fd] : p.thread_fds)
        if (fd != -1)
            close(fd);
    p.thread_fds.clear();
    p.leaving.clear();
    for (int fd : {p.in, p.out, p.err, p.region_fd})
        if (fd != -1)
            close(fd);
    p.in = p.out = p.err = p.region_fd = -1;
    if (p.region != nullptr)
        munmap(p.region, sizeof(steer::region_t));
    p.region = nullptr;
    p.first = -1;
}

}  // namespace interleave
