// tracewatch: runs one of the six programs that print a trace (dinerspawn, dinerlanes,
// duetlock, stackbell, slotring, pulsewait) and writes beside each of its lines the state
// that line implies and the rule it shows; at the end, which rules held and which broke.
//
// Run:   tracewatch [--for SECONDS] [--as NAME] PROGRAM [ARG...]
//        tracewatch --as NAME -          (judge lines read from standard input)
//        PROGRAM is one of the six names (taken from tracewatch's own folder) or the path
//        of a modified copy; --as says whose rules apply when its file name does not.
// Watch: the notes, dimmed on a terminal: slotring's ring, stackbell's list (and the
//        moment the stack shows), how long duetlock's mutex was held, who has eaten how
//        often. Ctrl-C, or the end of --for, stops the program and prints the summary.
//        Exit status: 0 every rule held, 1 a rule was broken, 2 a usage error.
//
// The program runs in a process group of its own, with its output on a pipe that we read
// as it comes: the arrival times are ours, taken the moment each read returns.

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "trace_rules.h"

constexpr int kColumn = 24;          // notes start here, or two blanks after a longer line
constexpr double kGrace = 2;    // seconds a stopped program has to end before SIGKILL
constexpr double kGiveUp = 4;   // seconds after the stop when we stop waiting for it at all
constexpr double kDrain = 0.5;  // seconds to read what remains on standard input after a stop
constexpr double kTick = 0.1;   // seconds between looks at a process group that is ending
constexpr const char *kDim = "\033[2m", *kRed = "\033[31m", *kPlain = "\033[0m";

volatile sig_atomic_t stop_signal;  // the last Ctrl-C (or other stop) that arrived
volatile sig_atomic_t child_ended;

struct options_t {
    double seconds = 0;  // 0: until Ctrl-C
    std::optional<watch::demo_t> demo;
    std::string program;  // "-": the lines come on standard input
    std::vector<char *> argv;
};

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr, "tracewatch: %s\n"
                         "usage: tracewatch [--for SECONDS] [--as NAME] PROGRAM [ARG...]\n"
                         "       tracewatch --as NAME -\n"
                         "NAME and PROGRAM: dinerspawn, dinerlanes, duetlock, stackbell, "
                         "slotring, pulsewait (or a path)\n", why);
    std::exit(2);
}

double now(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

options_t read_options(int argc, char *argv[])
{
    options_t o;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; i += 2) {
        std::string flag = argv[i];
        if (i + 1 >= argc)
            usage((flag + " needs a value").c_str());
        if (flag == "--for") {
            char *end;
            o.seconds = std::strtod(argv[i + 1], &end);
            if (*end != '\0' || !(o.seconds > 0 && o.seconds < 1e6))
                usage("--for needs a number of seconds");
        } else if (flag == "--as") {
            o.demo = watch::demo_named(argv[i + 1]);
            if (!o.demo)
                usage((std::string(argv[i + 1]) + " is not one of the six").c_str());
        } else {
            usage(("unknown option " + flag).c_str());
        }
    }
    if (i >= argc)
        usage("which program?");
    o.program = argv[i];
    std::string base = o.program.substr(o.program.rfind('/') + 1);
    if (!o.demo)
        o.demo = watch::demo_named(base);
    if (!o.demo)
        usage(o.program == "-" ? "-: say with --as whose rules apply"
                               : (base + " is not one of the six; say with --as whose rules apply").c_str());
    if (o.program == "-" && i + 1 < argc)
        usage("- takes no arguments");
    // A bare name is one of the six, next to tracewatch itself (the build folder, or
    // wherever they were installed).
    if (o.program != "-" && o.program.find('/') == std::string::npos) {
        std::array<char, PATH_MAX> self{};
        if (readlink("/proc/self/exe", self.data(), self.size() - 1) > 0) {
            std::string dir = self.data();
            o.program = dir.substr(0, dir.rfind('/') + 1) + o.program;
        }
    }
    o.argv.assign(argv + i, argv + argc);
    o.argv[0] = o.program.data();
    o.argv.push_back(nullptr);
    return o;
}

void on_stop(int sig)
{
    stop_signal = sig;
}

void on_child(int)
{
    child_ended = 1;
}

// The program: its own process group, its output into our pipe, its input from `input`,
// and the signal state of a fresh login, whatever we or our launcher ignore or block.
// Returns its id; a program that cannot be started ends tracewatch with status 2.
pid_t start(options_t &o, int out, int input)
{
    int failed[2];
    if (pipe2(failed, O_CLOEXEC) == -1) {
        std::perror("tracewatch: pipe");
        std::exit(2);
    }
    pid_t pid = fork();
    if (pid == -1) {
        std::perror("tracewatch: fork");
        std::exit(2);
    }
    if (pid == 0) {
        setpgid(0, 0);
        // If tracewatch itself is killed, the program goes too.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(input, 0);
        dup2(out, 1);
        for (int sig = 1; sig < NSIG; sig++)
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(o.program.c_str(), o.argv.data());
        int e = errno;
        [[maybe_unused]] ssize_t ignored = write(failed[1], &e, sizeof e);
        _exit(127);
    }
    setpgid(pid, pid);  // also here, so that the group exists before we signal it
    close(failed[1]);
    int e = 0;
    if (read(failed[0], &e, sizeof e) == sizeof e) {
        std::fprintf(stderr, "tracewatch: cannot start %s: %s\n", o.program.c_str(), std::strerror(e));
        waitpid(pid, nullptr, 0);
        std::exit(2);
    }
    close(failed[0]);
    return pid;
}

// Our own output. A reader that went away ends the watch: the program goes with us,
// since it dies when we do.
void put(const std::string &text)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        if (errno != EPIPE)
            std::perror("tracewatch: write");
        std::exit(2);
    }
}

// Columns a line takes on a terminal: tabs stop every 8, and only a UTF-8 sequence's first
// byte takes a column.
int width(const std::string &text)
{
    int w = 0;
    for (unsigned char c : text)
        w = (c == '\t') ? (w / 8 + 1) * 8 : w + ((c & 0xC0) != 0x80);
    return w;
}

// Text in a colour on a terminal; as it is without colours, or without a colour to give.
std::string paint(const std::string &text, const char *colour, bool colours)
{
    return colours && colour != nullptr ? colour + text + kPlain : text;
}

int main(int argc, char *argv[])
{
    options_t o = read_options(argc, argv);
    const bool colours = isatty(1) && std::getenv("NO_COLOR") == nullptr;

    // Ctrl-C, SIGTERM and SIGHUP stop the program instead of ending us at once. They stay
    // blocked except inside ppoll, so that none slips in between a look at the flag and
    // the wait.
    sigset_t blocked, during_wait;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&blocked, sig);
    sigprocmask(SIG_BLOCK, &blocked, &during_wait);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        signal(sig, on_stop);
    signal(SIGCHLD, on_child);
    // A write to the input of a program that has ended must not end us; our own output's
    // failures are looked at where we write.
    signal(SIGPIPE, SIG_IGN);
    // The philosophers of dinerspawn outlive their first process by a moment; as their
    // subreaper we adopt them, reap them, and so know when the last one is gone.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    const bool live = o.program != "-";
    const double started = now();
    int trace = 0;       // where the lines come from
    int forward = -1;    // pulsewait's input, passed on from ours
    pid_t pid = -1;
    if (live) {
        // pulsewait reads what is typed; it cannot read the terminal itself from a process
        // group that is not the terminal's own, so what we read is passed on. A terminal
        // gives one line per read, and each read posts once: so each line goes on as a
        // message of its own, through a socket that keeps them apart, where a pipe would
        // run quickly typed lines together.
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) == -1 || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, in) == -1) {
            std::perror("tracewatch: pipe");
            return 2;
        }
        const bool reads = *o.demo == watch::demo_t::pulsewait;
        pid = start(o, out[1], reads ? in[0] : 0);
        close(out[1]);
        close(in[0]);
        trace = out[0];
        if (reads) {
            forward = in[1];
            fcntl(forward, F_SETFL, O_NONBLOCK);
        } else {
            close(in[1]);
        }
    }

    watch::watch_t w = watch::start_watch(*o.demo);
    watch::line_t line;
    bool in_line = false, stopping = false, killed = false, trace_open = true;
    bool input_open = forward != -1, leader_done = !live, group_gone = !live;
    int status = 0;  // the program's, once it has ended
    double stopped_at = 0;
    auto stop = [&] {
        stopping = true;
        stopped_at = now();
        if (live)
            kill(-pid, SIGINT);
    };

    while (trace_open || !group_gone) {
        // Stop on Ctrl-C or at the end of --for. A second Ctrl-C, or a program that has not
        // ended kGrace after the stop, gets SIGKILL; kGiveUp after it we wait no more.
        if (stop_signal != 0) {
            if (stopping && live && !killed) {
                kill(-pid, SIGKILL);
                killed = true;
            }
            stop_signal = 0;
            if (!stopping)
                stop();
        }
        const double t = now();
        if (!stopping && o.seconds > 0 && t - started >= o.seconds)
            stop();
        if (stopping && live && !killed && t - stopped_at >= kGrace) {
            kill(-pid, SIGKILL);
            killed = true;
        }
        if (stopping && t - stopped_at >= (live ? kGiveUp : kDrain))
            break;
        // Reap whatever has ended: the program, and its processes that we adopted.
        if (live && (child_ended || leader_done)) {
            child_ended = 0;
            int ended_status;
            for (pid_t ended; (ended = waitpid(-1, &ended_status, WNOHANG)) > 0;)
                if (ended == pid) {
                    leader_done = true;
                    status = ended_status;
                }
            group_gone = leader_done && kill(-pid, 0) == -1 && errno == ESRCH;
        }
        if (!trace_open && group_gone)
            break;

        double until = -1;  // seconds to wait for; -1: as long as it takes
        if (leader_done && !group_gone)
            until = kTick;
        else if (stopping)
            until = (live ? (killed ? kGiveUp : kGrace) : kDrain) - (t - stopped_at);
        else if (o.seconds > 0)
            until = o.seconds - (t - started);
        std::vector<pollfd> fds;
        if (trace_open)
            fds.push_back({trace, POLLIN, 0});
        if (input_open)
            fds.push_back({0, POLLIN, 0});
        timespec limit{};
        if (until >= 0) {
            until = std::max(until, 0.0) + 0.001;
            limit = {static_cast<time_t>(until), static_cast<long>((until - std::floor(until)) * 1e9)};
        }
        if (ppoll(fds.data(), fds.size(), until >= 0 ? &limit : nullptr, &during_wait) <= 0)
            continue;  // a signal, or a deadline: looked at above

        for (const pollfd &p : fds) {
            if (p.revents == 0)
                continue;
            std::array<char, 4096> buf;
            ssize_t n = read(p.fd, buf.data(), buf.size());
            if (n == -1 && errno == EINTR)
                continue;
            if (p.fd == 0 && live) {
                if (n <= 0) {
                    close(forward);
                    input_open = false;
                } else {
                    // Input the program does not take in time is dropped, not waited for.
                    std::string_view input(buf.data(), static_cast<std::size_t>(n));
                    for (std::size_t end; !input.empty(); input.remove_prefix(end)) {
                        end = std::min(input.find('\n') + 1, input.size());
                        [[maybe_unused]] ssize_t ignored = write(forward, input.data(), end);
                    }
                }
                continue;
            }
            if (n <= 0) {
                trace_open = false;
                continue;
            }
            const double at = now() - started, wall = now(CLOCK_REALTIME);
            // Copied through as it comes, so that a first word shows before its second; at
            // each newline, the note goes after the line.
            for (std::string_view chunk(buf.data(), static_cast<std::size_t>(n)); !chunk.empty();) {
                if (!in_line)
                    line = {"", at, 0, 0};
                in_line = true;
                const std::size_t nl = chunk.find('\n');
                const std::string_view piece = chunk.substr(0, nl);
                line.text += piece;
                put(std::string(piece));
                if (nl == std::string_view::npos)
                    break;
                line.at = at;
                line.wall = wall;
                in_line = false;
                const watch::note_t note = watch::judge_line(w, line);
                put(std::string(static_cast<std::size_t>(std::max(2, kColumn - width(line.text))), ' ') +
                    paint(note.text, note.broken ? kRed : kDim, colours) + "\n");
                chunk.remove_prefix(nl + 1);
            }
            std::fflush(stdout);
        }
    }

    // What remains after the last newline is a line cut off, by the stop or by the program.
    if (in_line)
        put("\n");
    watch::judge_end(w, in_line ? line.text : "", !stopping);
    const double ran = (stopping ? stopped_at : now()) - started;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", ran);
    std::string how;
    if (!live)
        how = stopping ? std::string("lines read for ") + seconds + ", then stopped"
                       : std::string("lines read to their end, in ") + seconds;
    else if (stopping)
        how = std::string("ran ") + seconds + " and was stopped";
    else if (WIFSIGNALED(status))
        how = "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
              strsignal(WTERMSIG(status)) + ") after " + seconds;
    else
        how = "ended by itself with status " + std::to_string(WEXITSTATUS(status)) + " after " + seconds;
    put("\ntracewatch: " + std::string(watch::name_of(*o.demo)) + " " + how + "\n");
    put("  " + watch::facts(w) + "\n");
    for (const watch::rule_t &rule : w.rules)
        put("  " + paint(watch::verdict(rule), rule.broken > 0 ? kRed : nullptr, colours) + "\n");
    if (std::fflush(stdout) == EOF)
        return 2;
    return watch::all_held(w) ? 0 : 1;
}
