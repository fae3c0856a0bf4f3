#include "harness.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace harness {
namespace {

constexpr double kGrace = 1.0;       // how long the rest of a group may outlive its first process
constexpr int kTick = 10;            // milliseconds between looks at the processes
constexpr double kClockStep = 0.05;  // seconds the wall clock may part from the monotonic one
constexpr double kSteadyBudget = 30; // seconds of runs tried for one whose wall clock stayed put
constexpr double kBusy = 0.1;        // a wake this late on a whole second: the host was busy, run again

double seconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::vector<std::string> environment(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const std::string &entry : extra) {
        std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env, [&](const std::string &e) { return e.starts_with(name); });
        env.push_back(entry);
    }
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

// In the new process: its own group, the pipes as its standard streams, and the signal
// state of a fresh login (a test runner may have set some signals to be ignored, and an
// ignored signal stays ignored across exec).
[[noreturn]] void start_child(const std::filesystem::path &program, const options_t &o,
                              int in, int out, int err, char **argv, char **envp)
{
    setpgid(0, 0);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (int sig = 1; sig < NSIG; sig++)
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (o.umask)
        umask(*o.umask);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0)
        _exit(126);
    execve(program.c_str(), argv, envp);
    const char msg[] = "harness: cannot start the program\n";
    [[maybe_unused]] ssize_t ignored = write(2, msg, sizeof msg - 1);
    _exit(127);
}

// Reaps whatever members of the group have ended (they are this process's children, or
// became so when their parent ended) and tells whether any member is left.
bool group_alive(pid_t group)
{
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    return kill(-group, 0) == 0 || errno != ESRCH;
}

}  // namespace

bool result_t::exited(int code) const
{
    return !hung && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool result_t::killed_by(int sig) const
{
    return !hung && WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

namespace {

// A thread that wakes on each whole second of the wall clock, as pulsewait does, and keeps
// how late it woke at worst: how busy the host was for a program that does the same.
struct lateness_probe_t {
    std::mutex m;
    std::condition_variable stop;
    bool done = false;
    double worst = 0;
    std::thread thread{[this] {
        std::unique_lock<std::mutex> hold(m);
        while (!done) {
            const auto next = std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now());
            if (stop.wait_until(hold, next, [this] { return done; }))
                break;
            const double late = std::chrono::duration<double>(std::chrono::system_clock::now() - next).count();
            if (late < 1)  // a step of the clock is told apart
                worst = std::max(worst, late);
        }
    }};

    ~lateness_probe_t()
    {
        {
            const std::lock_guard<std::mutex> hold(m);
            done = true;
        }
        stop.notify_one();
        thread.join();
    }
};

}  // namespace

result_t run(const std::filesystem::path &program, const options_t &o)
{
    // Processes that the program leaves behind become our children, so that we can
    // see and reap them; and a program that stops reading its input must not kill us.
    static const bool once = [] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)once;

    std::vector<std::string> args{program.string()};
    args.insert(args.end(), o.args.begin(), o.args.end());
    std::vector<std::string> env = environment(o.env);
    std::vector<char *> argv = pointers(args);
    std::vector<char *> envp = pointers(env);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        fail("pipe");
    double start = seconds(CLOCK_MONOTONIC);
    pid_t pid = fork();
    if (pid == -1)
        fail("fork");
    if (pid == 0)
        start_child(program, o, in[0], out[1], err[1], argv.data(), envp.data());
    setpgid(pid, pid);  // also here, so that the group exists before we signal it
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);

    auto feed = o.feed;
    std::stable_sort(feed.begin(), feed.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::size_t next_feed = 0;
    std::string pending = o.input;
    int in_fd = in[1], out_fd = out[0], err_fd = err[0];

    result_t r;
    std::optional<lateness_probe_t> probe;
    if (o.steady_clock)
        probe.emplace();
    line_t partial;
    bool leader_done = false, stop_sent = false, alive = true;
    double leader_end = 0;
    const double offset = seconds(CLOCK_REALTIME) - seconds(CLOCK_MONOTONIC);
    for (;;) {
        double now = seconds(CLOCK_MONOTONIC) - start;
        // Adjustments that slew the wall clock move the monotonic one too; only a step
        // parts them.
        double parted = std::abs(seconds(CLOCK_REALTIME) - seconds(CLOCK_MONOTONIC) - offset);
        if (!r.clock_set && parted > kClockStep) {
            r.clock_set = true;
            if (o.steady_clock && !leader_done)
                kill(-pid, SIGKILL);
        }
        while (next_feed < feed.size() && feed[next_feed].first <= now)
            pending += feed[next_feed++].second;
        if (in_fd != -1 && pending.empty() && next_feed == feed.size() && !o.keep_input_open) {
            close(in_fd);
            in_fd = -1;
        }
        if (!leader_done) {
            if (waitpid(pid, &r.status, WNOHANG) == pid) {
                leader_done = true;
                leader_end = r.seconds = now;
            } else if (now >= o.limit) {
                r.hung = true;
                kill(-pid, SIGKILL);
            } else if (!stop_sent && o.stop_after > 0 && now >= o.stop_after) {
                kill(o.signal_group ? -pid : pid, o.stop_signal);
                stop_sent = r.stopped = true;
            }
        }
        if (leader_done && alive) {
            alive = group_alive(pid);
            if (alive && now - leader_end > kGrace) {
                r.stragglers = true;
                kill(-pid, SIGKILL);
            }
        }
        // Once every process has ended, the pipes hold only what is left to read; a writer
        // that escaped the group could keep them open, so don't wait for that for long.
        if (leader_done && !alive && ((out_fd == -1 && err_fd == -1) || now - leader_end > 5))
            break;

        std::vector<pollfd> fds;
        if (out_fd != -1)
            fds.push_back({out_fd, POLLIN, 0});
        if (err_fd != -1)
            fds.push_back({err_fd, POLLIN, 0});
        if (in_fd != -1 && !pending.empty())
            fds.push_back({in_fd, POLLOUT, 0});
        if (poll(fds.data(), fds.size(), kTick) < 0 && errno != EINTR)
            fail("poll");

        for (const pollfd &p : fds) {
            if (p.revents == 0)
                continue;
            if (p.fd == in_fd) {
                ssize_t n = write(in_fd, pending.data(), pending.size());
                if (n > 0) {
                    pending.erase(0, static_cast<std::size_t>(n));
                } else if (n < 0 && errno != EAGAIN) {  // the program closed its input
                    pending.clear();
                    feed.clear();
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t n = read(p.fd, buf, sizeof buf);
            if (n <= 0) {
                close(p.fd);
                (p.fd == out_fd ? out_fd : err_fd) = -1;
                continue;
            }
            std::string_view chunk(buf, static_cast<std::size_t>(n));
            if (p.fd == err_fd) {
                r.err += chunk;
                continue;
            }
            r.out += chunk;
            double at = seconds(CLOCK_MONOTONIC) - start, wall = seconds(CLOCK_REALTIME);
            for (std::size_t nl; !chunk.empty(); chunk.remove_prefix(nl + 1)) {
                if (partial.text.empty())
                    partial.begun = at;
                nl = chunk.find('\n');
                partial.text += chunk.substr(0, nl);
                if (nl == std::string_view::npos)
                    break;
                partial.at = at;
                partial.wall = wall;
                r.lines.push_back(partial);
                partial = {};
            }
        }
    }
    for (int fd : {in_fd, out_fd, err_fd})
        if (fd != -1)
            close(fd);
    if (probe) {
        const std::lock_guard<std::mutex> hold(probe->m);
        r.host_late = probe->worst;
    }
    return r;
}

result_t on_a_steady_clock(const std::filesystem::path &program, options_t options)
{
    options.steady_clock = true;
    const double start = seconds(CLOCK_MONOTONIC);
    result_t r;
    do
        r = run(program, options);
    while ((r.clock_set || r.host_late > kBusy) && seconds(CLOCK_MONOTONIC) - start < kSteadyBudget);
    return r;
}

watch::watch_t judge(watch::demo_t demo, const result_t &r)
{
    watch::ending_t end;
    end.stopped = r.stopped || r.hung;
    if (!r.hung)
        end.status = r.status;
    end.at = r.seconds;
    return watch::judge_run(demo, r.lines, r.out.substr(r.out.rfind('\n') + 1), end);
}

result_t run_script(const std::string &script, const std::filesystem::path &program,
                    const options_t &options)
{
    options_t o = options;
    o.args.insert(o.args.begin(), {"-c", script, program.string()});
    return run("/bin/bash", o);
}

void preload(options_t &o, const std::filesystem::path &library,
             const std::vector<std::string> &settings)
{
    // The loader splits LD_PRELOAD at blanks, so a folder named "my projects" would break
    // it; a bare file name is looked up along LD_LIBRARY_PATH, which is split at colons only.
    std::string search = "LD_LIBRARY_PATH=" + library.parent_path().string();
    if (const char *path = std::getenv("LD_LIBRARY_PATH"); path != nullptr && *path != '\0')
        search.append(":").append(path);
    o.env.push_back("LD_PRELOAD=" + library.filename().string());
    o.env.push_back(search);
    o.env.insert(o.env.end(), settings.begin(), settings.end());
    for (std::string name : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char *options = std::getenv(name.c_str());
        o.env.push_back(name + "=" + (options ? options : "") +
                        ":verify_asan_link_order=0:handle_sigbus=0");
    }
}

std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> children;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // pid (comm) state ppid ...: the name may hold blanks and parentheses, so read
        // from the last ')'.
        std::istringstream rest(line.substr(line.rfind(')') + 1));
        char state;
        pid_t ppid = 0;
        if (rest >> state >> ppid && ppid == parent)
            children.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return children;
}

temp_dir::temp_dir(const std::filesystem::path &parent)
{
    std::string name = (parent / "test-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr)
        fail("mkdtemp " + name);
    path = name;
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

std::string line_of(const std::filesystem::path &source, const std::string &part)
{
    std::ifstream in(source);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        number++;
        if (line.find(part) != std::string::npos)
            return source.filename().string() + ":" + std::to_string(number);
    }
    return "(not in " + source.string() + ")";
}

std::string one_line(const std::string &text)
{
    std::string one;
    for (std::size_t k = 0; k < text.size(); k++) {
        if (text[k] != '\n') {
            one += text[k];
            continue;
        }
        one += ' ';
        while (k + 1 < text.size() && text[k + 1] == ' ')
            k++;
    }
    return one;
}

}  // namespace harness
