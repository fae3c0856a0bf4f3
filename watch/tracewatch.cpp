// tracewatch: runs one of the six programs that print a trace (dinerspawn, dinerlanes,
// duetlock, stackbell, slotring, pulsewait) and writes beside each of its lines the state
// that line implies and the rule it shows; at the end, what the run showed of each rule.
//
// Run:   tracewatch [--for SECONDS] [--as NAME] PROGRAM [ARG...]
//        tracewatch --as NAME -          (judge lines read from standard input)
//        PROGRAM is one of the six names (taken from tracewatch's own folder) or the path
//        of a modified copy; --as says whose rules apply when its file name does not.
// Watch: the notes, dimmed on a terminal: slotring's ring, stackbell's list (and the
//        moment the stack shows), how long duetlock's first word waited for its second,
//        who has eaten how often. A broken rule gets a red line of its own under the line
//        that broke it. Ctrl-C, or the end of --for, stops the program and everything it
//        started, and prints the summary: each rule "held" (the run put it to the test),
//        "not shown" (it never did), "not judged" (the output cannot tell) or BROKEN.
//        Ctrl-Z stops the program with tracewatch, and fg continues both.
//        Exit status: 0 no rule broken; 1 a rule broken, or the program crashed or ended
//        when it should not; 2 wrong use, or the watch could not be kept (the program
//        would not start, our input or output failed).
//
// The program runs in a process group of its own, with its output on a pipe that we read
// as it comes: the arrival times are ours, taken the moment each read returns. Everything
// happens in one loop that waits in one place (ppoll), so that Ctrl-C, a deadline or the
// end of the program is always seen, whatever is typed or not read.

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
#include <limits>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "descendants.h"
#include "trace_rules.h"

constexpr double kGrace = 2;       // seconds a stopped program has to end before SIGKILL
constexpr double kGiveUp = 4;      // seconds after the stop when we stop waiting for it at all
constexpr double kDrain = 0.5;     // seconds to read what remains on standard input after a stop
constexpr double kTick = 0.1;      // seconds between looks at processes that are ending
constexpr double kForeground = 0.25;  // seconds between looks, in the background, at the terminal
constexpr double kForever = std::numeric_limits<double>::infinity();
constexpr const char *kDim = "\033[2m", *kRed = "\033[31m", *kPlain = "\033[0m";

// What the signal handlers saw; the loop looks at them after each wait.
volatile sig_atomic_t stop_signal;     // Ctrl-C, SIGTERM, SIGHUP: the last that came
volatile sig_atomic_t suspend_signal;  // Ctrl-Z

struct options_t {
    double seconds = 0;  // 0: until Ctrl-C
    std::optional<watch::demo_t> demo;
    std::string program;  // "-": the lines come on standard input
    std::vector<char *> argv;
};

// Everything one watch knows, from the start of the program to the summary.
struct run_t {
    options_t o;
    bool live = false;          // we run the program; otherwise its lines come on standard input
    bool colours = false;
    sigset_t during_wait{};     // the signal mask inside the one wait
    sigset_t during_write{};    // and inside a write that the reader makes us wait for
    pid_t pid = -1;             // the program, leader of its own process group
    int trace = -1;             // where the lines come from
    int forward = -1;           // pulsewait's input, passed on from ours; -1 when it has ended
    double started = 0;         // monotonic seconds
    double paused = 0;          // seconds spent stopped by Ctrl-Z, left out of every time
    // The end: a stop from outside, or the program's own end, then the rest of its processes.
    bool stopping = false;
    double stopped_at = 0;
    bool leader_done = false;   // the program itself has ended and been reaped
    int status = 0;             // its wait status
    double ended_at = 0;
    bool all_gone = false;      // no process of ours is left
    bool interrupted = false;   // the program's processes have been sent SIGINT
    bool killed = false;        // and SIGKILL
    double ending_since = 0;    // when the interrupt went out
    bool trace_open = true;
    std::string read_error;     // in "-" mode, why the lines could not be read to their end
    // The line being copied through, and the judge.
    watch::watch_t w;
    watch::line_t line;
    bool in_line = false;
    bool held_cr = false;       // a CR ended the last piece: part of a CR LF, or of the line
    std::string out;            // our output, not yet written
};

constexpr const char *kUsage = "usage: tracewatch [--for SECONDS] [--as NAME] PROGRAM [ARG...]\n"
                               "       tracewatch --as NAME -\n"
                               "NAME and PROGRAM: dinerspawn, dinerlanes, duetlock, stackbell, slotring,\n"
                               "pulsewait (PROGRAM may also be a path)\n"
                               "Options come before PROGRAM; -- ends them.\n";

[[noreturn]] void usage(const std::string &why)
{
    std::fprintf(stderr, "tracewatch: %s\n%s", why.c_str(), kUsage);
    std::exit(2);
}

[[noreturn]] void fail(const char *label)
{
    std::fprintf(stderr, "tracewatch: %s: %s\n", label, std::strerror(errno));
    std::exit(2);
}

double monotonic()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double wall_clock()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Seconds since the start, the time spent stopped left out.
double now(const run_t &r)
{
    return monotonic() - r.started - r.paused;
}

options_t read_options(int argc, char *argv[])
{
    options_t o;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; i += 2) {
        std::string flag = argv[i];
        if (flag == "--") {
            i++;
            break;
        }
        if (flag == "--help") {
            std::printf("%s", kUsage);
            std::exit(0);
        }
        if (i + 1 >= argc)
            usage(flag + " needs a value");
        if (flag == "--for") {
            char *end;
            o.seconds = std::strtod(argv[i + 1], &end);
            if (*end != '\0' || !(o.seconds > 0 && o.seconds < 1e6))
                usage("--for needs a number of seconds");
        } else if (flag == "--as") {
            o.demo = watch::demo_named(argv[i + 1]);
            if (!o.demo)
                usage(std::string(argv[i + 1]) + " is not one of the six");
        } else {
            usage("unknown option " + flag);
        }
    }
    if (i >= argc)
        usage("which program?");
    o.program = argv[i];
    if (o.program.empty())
        usage("the program's name is empty");
    std::string base = o.program.substr(o.program.rfind('/') + 1);
    if (!o.demo)
        o.demo = watch::demo_of_program(base);
    if (!o.demo)
        usage(o.program == "-" ? "-: say with --as whose rules apply"
                               : base + " is not one of the six; say with --as whose rules apply");
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

// Started with a standard stream closed, we would hand its number to the first pipe we
// make, and take the program's output for typed input. So hold all three open first. Closed
// output leaves nowhere to show the watch: that is said, on standard error.
void open_standard_streams()
{
    const bool output_closed = fcntl(1, F_GETFD) == -1;
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            std::exit(2);
    if (output_closed) {
        std::fprintf(stderr, "tracewatch: standard output is closed: nowhere to show the watch\n");
        std::exit(2);
    }
}

void on_stop(int sig)
{
    stop_signal = sig;
}

void on_suspend(int)
{
    suspend_signal = 1;
}

void on_child(int)
{
}

// Ctrl-C, SIGTERM and SIGHUP stop the program instead of ending us at once; Ctrl-Z stops it
// with us. They, and SIGCHLD, stay blocked except inside the one wait (and a write the
// reader holds up), so that none slips in between a look at the flags and the wait,
// whatever mask we were started with. No SA_RESTART: a signal ends the wait or the write.
void set_up_signals(run_t &r)
{
    sigset_t ours, started_with;
    sigemptyset(&ours);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGTSTP, SIGCHLD})
        sigaddset(&ours, sig);
    sigprocmask(SIG_BLOCK, &ours, &started_with);
    r.during_wait = started_with;
    r.during_write = started_with;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGTSTP, SIGCHLD})
        sigdelset(&r.during_wait, sig);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGTSTP})
        sigdelset(&r.during_write, sig);

    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = on_stop;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
    action.sa_handler = on_suspend;
    sigaction(SIGTSTP, &action, nullptr);
    action.sa_handler = on_child;
    action.sa_flags = SA_NOCLDSTOP;  // the stops we cause are none of the loop's business
    sigaction(SIGCHLD, &action, nullptr);
    // A write to the input of a program that has ended must not end us; our own output's
    // failures are looked at where we write. A read of the terminal from the background
    // fails instead of stopping us; we read it only in the foreground anyway.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    // As the subreaper of everything the program starts, we adopt its processes when their
    // parents end (dinerspawn's philosophers, a daemon that left the process group), reap
    // them, and know when the last one is gone.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

// The program: its own process group, its output into our pipe, its input from `input`,
// and the signal state of a fresh login, whatever we or our launcher ignore or block.
// A program that cannot be started ends tracewatch with status 2.
pid_t start(run_t &r, int out, int input)
{
    int failed[2];
    if (pipe2(failed, O_CLOEXEC) == -1)
        fail("pipe");
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == -1)
        fail("fork");
    if (pid == 0) {
        setpgid(0, 0);
        // If tracewatch itself is killed, the program goes too.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(input, 0);
        dup2(out, 1);
        for (int sig = 1; sig < NSIG; sig++)
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(r.o.program.c_str(), r.o.argv.data());
        int e = errno;
        [[maybe_unused]] ssize_t ignored = write(failed[1], &e, sizeof e);
        _exit(127);
    }
    setpgid(pid, pid);  // also here, so that the group exists before we signal it
    close(failed[1]);
    int e = 0;
    if (read(failed[0], &e, sizeof e) == sizeof e) {
        std::fprintf(stderr, "tracewatch: cannot start %s: %s\n", r.o.program.c_str(), std::strerror(e));
        waitpid(pid, nullptr, 0);
        std::exit(2);
    }
    close(failed[0]);
    return pid;
}

// Sends a signal to the program's process group and to every process of ours, in it or not.
void signal_all(run_t &r, int sig)
{
    if (!r.live || r.all_gone)
        return;
    kill(-r.pid, sig);
    for (pid_t p : watch::descendants())
        kill(p, sig);
}

// Reaps whatever has ended: the program, and its processes that we adopted.
void reap(run_t &r)
{
    if (!r.live || r.all_gone)
        return;
    for (;;) {
        int status;
        pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended == r.pid) {
            r.leader_done = true;
            r.status = status;
            r.ended_at = now(r);
        }
        if (ended > 0)
            continue;
        r.all_gone = ended == -1 && errno == ECHILD;
        return;
    }
}

// A reader that went away ends the watch quietly; any other failure of our output is said.
// Either way there is nobody to show the rest to, so everything we started goes at once.
[[noreturn]] void output_lost(run_t &r, int error)
{
    if (error != EPIPE)
        std::fprintf(stderr, "tracewatch: write: %s\n", std::strerror(error));
    const double since = monotonic();
    while (r.live && !r.all_gone && monotonic() - since < kGiveUp) {
        signal_all(r, SIGKILL);
        reap(r);
        if (!r.all_gone)
            usleep(10000);
    }
    std::_Exit(2);
}

// Writes out what we have. A reader that does not read holds us here, but a stop signal
// still gets through: the write is cut short, and the rest waits for the next flush.
void flush_out(run_t &r)
{
    while (!r.out.empty()) {
        sigset_t old;
        sigprocmask(SIG_SETMASK, &r.during_write, &old);
        const ssize_t n = write(1, r.out.data(), r.out.size());
        const int e = errno;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (n >= 0) {
            r.out.erase(0, static_cast<std::size_t>(n));
        } else if (e == EINTR) {
            if (stop_signal != 0 || suspend_signal != 0)
                return;
        } else if (e == EAGAIN) {  // someone made our output non-blocking
            pollfd p{1, POLLOUT, 0};
            ppoll(&p, 1, nullptr, &r.during_write);
        } else {
            output_lost(r, e);
        }
    }
}

// Text in a colour on a terminal; as it is without colours, or without a colour to give.
std::string paint(const std::string &text, const char *colour, bool colours)
{
    return colours && colour != nullptr ? colour + text + kPlain : text;
}

// Each rule a line or the silence broke, on a line of its own, in red.
void show_broken(run_t &r, const watch::note_t &note)
{
    for (const std::string &broken : note.broken)
        r.out += "  " + paint(broken, kRed, r.colours) + "\n";
}

// Stops the program: Ctrl-C to its group and its other processes now, SIGKILL later (below).
void stop(run_t &r)
{
    if (r.stopping)
        return;
    r.stopping = true;
    r.stopped_at = now(r);
}

// Ctrl-Z: the program stops with us, so that it does not run on unseen, and goes on when
// we do. The time in between counts for nothing.
void suspend(run_t &r)
{
    suspend_signal = 0;
    flush_out(r);
    signal_all(r, SIGSTOP);
    const double before = monotonic();
    raise(SIGSTOP);
    r.paused += monotonic() - before;
    signal_all(r, SIGCONT);
    r.w.resumed = true;
}

// The stops and deadlines, looked at after every wait: Ctrl-C or --for stops the program;
// a second Ctrl-C, or a program that has not ended kGrace after the interrupt, gets SIGKILL.
// When the program ended by itself, whatever it left running is stopped the same way.
void look_at_the_clock(run_t &r)
{
    if (suspend_signal != 0)
        suspend(r);
    const double t = now(r);
    if (stop_signal != 0) {
        stop_signal = 0;
        if (r.stopping && r.interrupted && !r.killed) {
            signal_all(r, SIGKILL);
            r.killed = true;
        }
        stop(r);
    }
    if (r.o.seconds > 0 && t >= r.o.seconds)
        stop(r);
    if ((r.stopping || r.leader_done) && !r.interrupted) {
        signal_all(r, SIGINT);
        r.interrupted = true;
        r.ending_since = t;
    }
    if (r.interrupted && !r.killed && t - r.ending_since >= kGrace) {
        signal_all(r, SIGKILL);
        r.killed = true;
    }
    if (r.killed && !r.all_gone)
        signal_all(r, SIGKILL);  // what the dead leave behind, adopted since
}

bool finished(const run_t &r)
{
    const double t = now(r);
    if (!r.live)
        return !r.trace_open || (r.stopping && t - r.stopped_at >= kDrain);
    if (!r.trace_open && r.all_gone)
        return true;
    // Whatever escaped us may hold the pipe open for ever; we wait for it no longer.
    return r.interrupted && t - r.ending_since >= kGiveUp;
}

// Our input is the terminal, and another process group has it (we run in the background):
// reading it would fail, so we look again later.
bool input_in_background()
{
    return isatty(0) && tcgetpgrp(0) != getpgrp();
}

// pulsewait reads what is typed. A terminal gives one line per read, and each read posts
// once: so each line goes on as a message of its own, through a socket that keeps them
// apart, where a pipe would run quickly typed lines together. Input the program does not
// take in time is dropped, not waited for.
void pass_input(run_t &r)
{
    std::array<char, 4096> buf;
    const ssize_t n = read(0, buf.data(), buf.size());
    if (n == -1 && (errno == EINTR || errno == EAGAIN || errno == EIO))
        return;  // EIO: a read of the terminal from the background; tried again in the foreground
    if (n <= 0) {
        close(r.forward);
        r.forward = -1;
        return;
    }
    std::string_view input(buf.data(), static_cast<std::size_t>(n));
    while (!input.empty()) {
        const std::size_t nl = input.find('\n');
        const std::size_t end = nl == std::string_view::npos ? input.size() : nl + 1;
        [[maybe_unused]] ssize_t ignored = send(r.forward, input.data(), end, MSG_DONTWAIT | MSG_NOSIGNAL);
        input.remove_prefix(end);
    }
}

// A line is complete: its note goes after it, and each rule it broke under it.
void end_line(run_t &r, double at, double wall)
{
    r.line.at = at;
    r.line.wall = wall;
    r.in_line = false;
    const watch::note_t note = watch::judge_line(r.w, r.line);
    const int shown = r.line.cut > 0 ? INT_MAX : watch::width(r.line.text);
    if (!note.text.empty())
        r.out += std::string(static_cast<std::size_t>(std::max(2, watch::kColumn - shown)), ' ') +
                 paint(note.text, kDim, r.colours);
    r.out += "\n";
    show_broken(r, note);
}

// Copies what the program wrote through as it comes, so that a first word shows before its
// second; keeps at most watch::kKept bytes of each line for the judge. A CR before the
// newline (a trace saved on another system) is dropped: on a terminal it would send the
// note over the line.
void take_output(run_t &r, std::string_view chunk)
{
    const double at = now(r), wall = wall_clock();
    auto keep = [&](std::string_view piece) {
        if (!r.in_line) {
            r.line = {"", at, 0, 0, 0};
            r.in_line = true;
        }
        const std::size_t room = watch::kKept - std::min(watch::kKept, r.line.text.size());
        r.line.text.append(piece.substr(0, room));
        r.line.cut += piece.size() - std::min(room, piece.size());
        r.out.append(piece);
    };
    if (r.held_cr && !chunk.starts_with('\n'))
        keep("\r");
    r.held_cr = false;
    while (!chunk.empty()) {
        const std::size_t nl = chunk.find('\n');
        std::string_view piece = chunk.substr(0, nl);
        if (piece.ends_with('\r')) {
            piece.remove_suffix(1);
            r.held_cr = nl == std::string_view::npos;
        }
        if (!piece.empty() || nl != std::string_view::npos)
            keep(piece);
        if (nl == std::string_view::npos)
            break;
        end_line(r, at, wall);
        chunk.remove_prefix(nl + 1);
    }
}

// Reads what came on the trace: the program's output, or in "-" mode our input.
void read_trace(run_t &r)
{
    std::array<char, 65536> buf;
    const ssize_t n = read(r.trace, buf.data(), buf.size());
    if (n == -1 && (errno == EINTR || errno == EAGAIN || (!r.live && errno == EIO)))
        return;
    if (n == -1 && !r.live)
        r.read_error = std::strerror(errno);
    if (n <= 0) {
        r.trace_open = false;
        return;
    }
    take_output(r, std::string_view(buf.data(), static_cast<std::size_t>(n)));
}

// A table or a list that stays stuck breaks a rule without a line to show it: said when it
// happens. (Not in the middle of a line: then the line says it when it ends.)
void look_at_the_silence(run_t &r)
{
    if (r.in_line || r.stopping || r.leader_done)
        return;
    show_broken(r, watch::judge_quiet(r.w, now(r)));
}

// The one wait: for the trace, our input, our reader going away, a signal, or the next
// moment the loop has something to do.
void wait_for_something(run_t &r)
{
    const double t = now(r);
    double until = kForever;
    if (r.o.seconds > 0 && !r.stopping)
        until = std::min(until, r.o.seconds - t);
    if (!r.live && r.stopping)
        until = std::min(until, r.stopped_at + kDrain - t);
    if (r.interrupted)
        until = std::min({until, kTick, r.ending_since + (r.killed ? kGiveUp : kGrace) - t});
    if (!r.stopping && !r.leader_done)
        until = std::min(until, watch::next_look(r.w) - t);

    std::vector<pollfd> fds{{1, 0, 0}};  // no events asked: POLLERR says the reader is gone
    if (r.trace_open)
        fds.push_back({r.trace, POLLIN, 0});
    const bool reads_input = (r.forward != -1 || (!r.live && r.trace_open));
    if (reads_input && input_in_background()) {
        if (!r.live)
            fds.pop_back();
        until = std::min(until, kForeground);
    } else if (r.forward != -1) {
        fds.push_back({0, POLLIN, 0});
    }
    timespec limit{};
    if (until != kForever) {
        until = std::max(until, 0.0) + 0.001;
        limit = {static_cast<time_t>(until), static_cast<long>((until - std::floor(until)) * 1e9)};
    }
    if (ppoll(fds.data(), fds.size(), until != kForever ? &limit : nullptr, &r.during_wait) <= 0)
        return;  // a signal, or a deadline: looked at by the loop
    if (fds[0].revents & (POLLERR | POLLHUP))
        output_lost(r, EPIPE);
    for (std::size_t k = 1; k < fds.size(); k++) {
        if (fds[k].revents == 0)
            continue;
        if (fds[k].fd == r.trace)
            read_trace(r);
        else
            pass_input(r);
    }
}

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// How the run ended, what it showed, and the verdict on each rule.
void summarise(run_t &r)
{
    if (r.in_line)
        r.out += "\n";
    watch::ending_t end;
    end.stopped = r.stopping && !(r.live && r.leader_done && r.ended_at <= r.stopped_at);
    end.at = r.stopping ? r.stopped_at : (r.live ? r.ended_at : now(r));
    if (r.live && r.leader_done)
        end.status = r.status;
    watch::judge_end(r.w, r.in_line ? r.line.text : "", end);

    const std::string ran = seconds_text(end.at);
    std::string how;
    if (!r.live && !r.read_error.empty())
        how = "lines read for " + ran + ", then reading failed: " + r.read_error;
    else if (!r.live)
        how = end.stopped ? "lines read for " + ran + ", then stopped" : "lines read to their end, in " + ran;
    else if (end.stopped)
        how = "ran " + ran + " and was stopped";
    else if (WIFSIGNALED(r.status))
        how = "was killed by signal " + std::to_string(WTERMSIG(r.status)) + " (" +
              strsignal(WTERMSIG(r.status)) + ") after " + ran;
    else
        how = "ended by itself with status " + std::to_string(WEXITSTATUS(r.status)) + " after " + ran;
    r.out += "\ntracewatch: " + std::string(watch::name_of(*r.o.demo)) + " " + how + "\n";
    r.out += "  " + watch::facts(r.w) + "\n";
    for (const watch::rule_t &rule : r.w.rules) {
        std::string text = watch::verdict(rule);
        for (std::size_t from = 0, nl; from < text.size(); from = nl + 1) {
            nl = std::min(text.find('\n', from), text.size());
            r.out += "  " + paint(text.substr(from, nl - from), rule.broken > 0 ? kRed : nullptr, r.colours) + "\n";
        }
    }
}

int main(int argc, char *argv[])
{
    open_standard_streams();
    run_t r;
    r.o = read_options(argc, argv);
    r.colours = isatty(1) && std::getenv("NO_COLOR") == nullptr;
    r.live = r.o.program != "-";
    r.w = watch::start_watch(*r.o.demo);
    set_up_signals(r);
    r.started = monotonic();

    if (r.live) {
        // pulsewait reads what is typed; it cannot read the terminal itself from a process
        // group that is not the terminal's own, so what we read is passed on (pass_input).
        // The others read nothing.
        const bool reads = *r.o.demo == watch::demo_t::pulsewait;
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) == -1)
            fail("pipe");
        if (reads ? socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, in) == -1
                  : (in[0] = open("/dev/null", O_RDONLY | O_CLOEXEC)) == -1)
            fail("input");
        r.pid = start(r, out[1], in[0]);
        close(out[1]);
        close(in[0]);
        r.trace = out[0];
        r.forward = reads ? in[1] : -1;
    } else {
        r.trace = 0;
    }

    while (!finished(r)) {
        reap(r);
        look_at_the_clock(r);
        look_at_the_silence(r);
        flush_out(r);
        if (finished(r))
            break;
        wait_for_something(r);
        flush_out(r);
    }
    reap(r);
    summarise(r);
    stop_signal = 0;
    flush_out(r);
    if (!r.out.empty())  // a second Ctrl-C while the reader held the summary up
        return 2;
    if (!r.read_error.empty())
        return 2;
    return watch::all_held(r.w) ? 0 : 1;
}
