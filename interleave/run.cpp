#include "run.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <semaphore.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace interleave {
namespace {

using steer::call_t;

// Every run's clock starts at the same moment, 2026-01-01 00:00:00 UTC, and each turn moves
// it on by a millisecond: whatever a program makes of the time depends on its schedule alone.
constexpr int64_t kEpoch = 1767225600LL * 1000000000;
constexpr int64_t kTick = 1000000;

double seconds_now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A thread (or the first thread of a process) of the program, as the model sees it.
struct thread_t {
    enum state_t { expected, asking, running, ended } state = expected;
    pid_t pid = 0;
    bool process = false;  // the first thread of its process
    int parent = -1;       // the slot that created or forked it
    call_t call = call_t::start;
    uint64_t object = 0, mutex = 0;
    int64_t value = 0, extra = 0;
    bool cancel_enabled = true;
    bool cancel_pending = false;
    bool asked = false;    // it has asked for a turn at least once
    enum cond_t { none, waiting, woken, timed_out } cond = none;  // a condition wait's phase
    std::string name;
};

struct object_t {
    enum kind_t { mutex, cond, sem } kind = mutex;
    int holder = -1;            // a mutex's
    std::vector<int> waiters;   // a condition's
    long count = 0;             // a semaphore's
    std::vector<int> takers;    // who took from a semaphore and has not posted
    std::string name;
    int fork = -1;              // the philosophers' fork it is, if any
    int order = 0;              // when it was first seen, counted per kind
};

struct process_t {
    pid_t parent = 0;
    int pidfd = -1;
    bool dead = false;
    bool reaped = false;  // by a wait of the program's
};

// An object is known by its address and the process it lives in; a semaphore set up to be
// shared between processes is the same object in all of them (pid 0).
using key_t = std::pair<uint64_t, pid_t>;

struct state_t {
    const target_t &target;
    const bounds_t &bounds;
    steer::region_t *region = nullptr;
    int region_fd = -1, bell = -1, in = -1, out = -1, err = -1;
    pid_t first = -1;
    std::vector<thread_t> threads;
    std::map<key_t, object_t> objects;
    std::set<uint64_t> shared;  // semaphores set up with pshared
    std::map<pid_t, process_t> processes;
    std::vector<int> expecting;  // slots we wait to hear from before the next turn
    std::vector<pid_t> dying;    // processes sent SIGKILL, to be gone before the next turn
    std::array<int, 3> counted{};  // objects seen so far, per kind
    int philosophers = 0;          // threads or processes named A, B... so far
    int spurious_left = 0;
    int input_left = 0;
    int64_t clock = kEpoch;
    int turn = 0;
    int last = -1;
    symbols_t symbols;
    run_result_t result;

    state_t(const target_t &t, const bounds_t &b) : target(t), bounds(b) {}
};

bool philosophers_demo(const target_t &t)
{
    return t.demo == watch::demo_t::dinerlanes || t.demo == watch::demo_t::dinerspawn;
}

// ---- starting the program and hearing from it ----

std::vector<std::string> environment_for(const state_t &s, pid_t pid)
{
    const std::string library = s.target.library;
    const std::string folder = library.substr(0, library.rfind('/'));
    const std::string name = library.substr(library.rfind('/') + 1);
    std::vector<std::string> env;
    std::string preload = name, search = folder, sanitizer, undefined;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.starts_with("LD_PRELOAD="))
            preload += ":" + entry.substr(11);
        else if (entry.starts_with("LD_LIBRARY_PATH="))
            search += ":" + entry.substr(16);
        else if (entry.starts_with("ASAN_OPTIONS="))
            sanitizer = ":" + entry.substr(13);
        else if (entry.starts_with("UBSAN_OPTIONS="))
            undefined = ":" + entry.substr(14);
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
    env.push_back(std::string(steer::kRegionVariable) + "=" + std::to_string(s.region_fd));
    env.push_back(std::string(steer::kBellVariable) + "=" + std::to_string(s.bell));
    env.push_back(std::string(steer::kPidVariable) + "=" + std::to_string(pid));
    return env;
}

bool launch(state_t &s, std::string &why)
{
    s.region_fd = memfd_create("interleave", 0);
    if (s.region_fd == -1 || ftruncate(s.region_fd, sizeof(steer::region_t)) == -1) {
        why = std::string("memfd: ") + std::strerror(errno);
        return false;
    }
    void *shared = mmap(nullptr, sizeof(steer::region_t), PROT_READ | PROT_WRITE, MAP_SHARED, s.region_fd, 0);
    if (shared == MAP_FAILED) {
        why = std::string("mmap: ") + std::strerror(errno);
        return false;
    }
    s.region = static_cast<steer::region_t *>(shared);
    s.region->clock_ns.store(kEpoch);
    s.region->fatal_slot.store(-1);
    s.region->slots[0].turn.store(steer::kRunning);  // before the program can ask
    s.bell = eventfd(0, EFD_NONBLOCK);
    int in[2], out[2], err[2], failed[2];
    if (s.bell == -1 || pipe2(in, O_CLOEXEC) == -1 || pipe2(out, O_CLOEXEC) == -1 || pipe2(err, O_CLOEXEC) == -1 ||
        pipe2(failed, O_CLOEXEC) == -1) {
        why = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> args{s.target.program};
    args.insert(args.end(), s.target.args.begin(), s.target.args.end());
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == -1) {
        why = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int sig = 1; sig < NSIG; sig++)
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<std::string> env = environment_for(s, getpid());
        std::vector<char *> envp;
        for (std::string &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        execve(s.target.program.c_str(), argv.data(), envp.data());
        const int e = errno;
        [[maybe_unused]] ssize_t ignored = write(failed[1], &e, sizeof e);
        _exit(127);
    }
    setpgid(pid, pid);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(failed[1]);
    int e = 0;
    const bool started = read(failed[0], &e, sizeof e) != sizeof e;
    close(failed[0]);
    s.first = pid;
    s.in = in[1];
    s.out = out[0];
    s.err = err[0];
    fcntl(s.out, F_SETFL, O_NONBLOCK);
    fcntl(s.err, F_SETFL, O_NONBLOCK);
    if (!started) {
        why = "cannot start " + s.target.program + ": " + std::strerror(e);
        waitpid(pid, nullptr, 0);
        return false;
    }
    if (s.input_left == 0) {
        close(s.in);
        s.in = -1;
    }
    s.processes[pid] = {0, static_cast<int>(syscall(SYS_pidfd_open, pid, 0))};
    // Room for every slot at once, so that a thread_t held by reference stays where it is.
    s.threads.reserve(steer::kSlots);
    thread_t main;
    main.pid = pid;
    main.process = true;
    main.name = "main";
    s.threads.push_back(main);
    s.expecting = {0};
    return true;
}

// What the program wrote since we last looked belongs to the turn that just ran.
void drain(state_t &s)
{
    for (int fd : {s.out, s.err}) {
        char buf[65536];
        for (ssize_t n; fd != -1 && (n = read(fd, buf, sizeof buf)) > 0;) {
            std::string &to = fd == s.out ? s.result.out : s.result.err;
            to.append(buf, static_cast<std::size_t>(n));
            if (!s.result.turns.empty())
                (fd == s.out ? s.result.turns.back().out : s.result.turns.back().err).append(buf, static_cast<std::size_t>(n));
        }
    }
}

void end_thread(state_t &s, int slot)
{
    thread_t &t = s.threads[slot];
    t.state = thread_t::ended;
    for (auto &[key, o] : s.objects)
        std::erase(o.waiters, slot);
    std::erase(s.expecting, slot);
}

// A process of the program has died: its threads are gone with it.
void process_died(state_t &s, pid_t pid)
{
    process_t &p = s.processes[pid];
    if (p.dead)
        return;
    p.dead = true;
    if (p.pidfd != -1)
        close(p.pidfd);
    p.pidfd = -1;
    for (std::size_t k = 0; k < s.threads.size(); k++)
        if (s.threads[k].pid == pid && s.threads[k].state != thread_t::ended)
            end_thread(s, static_cast<int>(k));
    if (pid == s.first) {
        int status;
        if (waitpid(pid, &status, 0) == pid)
            s.result.status = status;
    }
}

void look_for_deaths(state_t &s)
{
    for (auto &[pid, p] : s.processes) {
        if (p.dead || p.pidfd == -1)
            continue;
        pollfd fd{p.pidfd, POLLIN, 0};
        if (poll(&fd, 1, 0) == 1)
            process_died(s, pid);
    }
}

void fail(state_t &s, fault_t kind, const std::string &headline, std::vector<std::string> details = {})
{
    s.result.fault = {kind, s.turn, headline, std::move(details)};
}

const char *call_name(call_t call);

// Whether a thread of the program is running on a processor (or ready to), rather than
// asleep in some call: the state letter of /proc/PID/task/TID/stat.
bool running(const steer::slot_t &slot)
{
    const std::string path = "/proc/" + std::to_string(slot.pid) + "/task/" + std::to_string(slot.tid) + "/stat";
    char text[512] = {};
    FILE *stat = std::fopen(path.c_str(), "r");
    if (stat == nullptr)
        return false;
    const std::size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    const char *close = std::strrchr(text, ')');
    return n > 0 && close != nullptr && close[1] == ' ' && close[2] == 'R';
}

// Waits until every thread we expect to hear from has asked for its next turn, or ended.
// False when the run cannot go on: a crash, a thread that does not come back, a program
// that never asks at all.
bool settle(state_t &s)
{
    const double deadline = seconds_now() + s.bounds.stall;
    for (;;) {
        for (std::size_t k = 0; k < s.expecting.size();) {
            const int slot = s.expecting[k];
            steer::slot_t &r = s.region->slots[slot];
            const uint32_t word = r.turn.load(std::memory_order_acquire);
            thread_t &t = s.threads[slot];
            if (word == steer::kAsking) {
                t.state = thread_t::asking;
                t.asked = true;
                t.call = r.call;
                t.object = r.object;
                t.mutex = r.mutex;
                t.value = r.value;
                t.extra = r.extra;
                t.cancel_enabled = r.cancel_enabled != 0;
                if (t.pid == 0) {
                    t.pid = r.pid;
                    s.processes[t.pid] = {s.threads[t.parent].pid, static_cast<int>(syscall(SYS_pidfd_open, t.pid, 0))};
                }
                s.expecting.erase(s.expecting.begin() + static_cast<long>(k));
            } else if (word == steer::kEnded) {
                end_thread(s, slot);
            } else {
                k++;
            }
        }
        if (const int slot = s.region->fatal_slot.load(); slot != -1 || s.region->fatal_signal.load() != 0) {
            const int sig = s.region->fatal_signal.load();
            const std::string who = slot >= 0 && slot < static_cast<int>(s.threads.size()) ? s.threads[slot].name
                                                                                           : "a thread";
            drain(s);
            fail(s, fault_t::crash, "killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")",
                 {who + " was struck in turn " + std::to_string(s.turn)});
            return false;
        }
        look_for_deaths(s);
        drain(s);
        std::erase_if(s.dying, [&](pid_t pid) { return !s.processes.contains(pid) || s.processes[pid].dead; });
        if (!s.threads[0].asked && s.threads[0].state == thread_t::ended) {
            const std::string said = s.result.err.substr(0, s.result.err.find('\n'));
            fail(s, fault_t::unsteerable, "the program ended without asking for a single turn: the steering library did not run in it",
                 said.empty() ? std::vector<std::string>{} : std::vector<std::string>{"it said: " + said});
            return false;
        }
        if (s.expecting.empty() && s.dying.empty())
            return true;
        const double left = deadline - seconds_now();
        if (left <= 0 && s.expecting.empty()) {
            fail(s, fault_t::stalled, "a process killed with SIGKILL did not end");
            return false;
        }
        if (left <= 0) {
            const int slot = s.expecting.front();
            const thread_t &t = s.threads[slot];
            const std::string after = t.asked ? " after " + std::string(call_name(t.call)) : "";
            fail(s, fault_t::stalled,
                 running(s.region->slots[slot]) ? t.name + " ran on" + after + " without a call the scheduler steers "
                                                            "for " + std::to_string(static_cast<int>(s.bounds.stall)) + " s: "
                                                            "a loop that waits by spinning?"
                                                : t.name + " is blocked" + after + " in a call the scheduler does not steer");
            return false;
        }
        std::vector<pollfd> fds{{s.bell, POLLIN, 0}};
        for (int fd : {s.out, s.err})
            if (fd != -1)
                fds.push_back({fd, POLLIN, 0});
        for (const auto &[pid, p] : s.processes)
            if (!p.dead && p.pidfd != -1)
                fds.push_back({p.pidfd, POLLIN, 0});
        poll(fds.data(), fds.size(), static_cast<int>(std::ceil(left * 1000)));
        uint64_t rings;
        [[maybe_unused]] ssize_t ignored = read(s.bell, &rings, sizeof rings);
        for (std::size_t k = 1; k < fds.size(); k++)
            if ((fds[k].fd == s.out || fds[k].fd == s.err) && (fds[k].revents & POLLHUP) &&
                !(fds[k].revents & POLLIN))
                (fds[k].fd == s.out ? s.out : s.err) = -1;  // closed: nothing more will come
    }
}

// ---- the model ----

constexpr std::array<const char *, 3> kKinds = {"mutex", "condition", "semaphore"};

// The program's variable that holds an object, if one does: "lock", "m[2]".
std::string variable_name(const state_t &s, object_t::kind_t kind, uint64_t address)
{
    static constexpr std::array<uint64_t, 3> sizes = {sizeof(pthread_mutex_t), sizeof(pthread_cond_t), sizeof(sem_t)};
    const uint64_t base = s.region->base.load();
    return address >= base ? object_name(s.symbols, address - base, sizes[kind]) : "";
}

object_t &object(state_t &s, object_t::kind_t kind, uint64_t address, pid_t pid, long count = 0)
{
    const key_t key{address, kind == object_t::sem && s.shared.contains(address) ? 0 : pid};
    auto [it, added] = s.objects.try_emplace(key);
    object_t &o = it->second;
    if (!added)
        return o;
    o.kind = kind;
    o.count = count;
    o.order = s.counted[kind]++;
    o.name = variable_name(s, kind, address);
    const bool forks = (s.target.demo == watch::demo_t::dinerlanes && kind == object_t::mutex) ||
                       (s.target.demo == watch::demo_t::dinerspawn && kind == object_t::sem);
    if (forks && o.order < watch::kPhilosophers) {
        o.fork = o.order;
        o.name = "fork " + std::to_string(o.fork) + (o.name.empty() ? "" : " (" + o.name + ")");
    }
    if (o.name.empty())
        o.name = std::string(kKinds[kind]) + " " + std::to_string(o.order + 1);
    return o;
}

object_t &mutex_of(state_t &s, const thread_t &t, uint64_t address)
{
    return object(s, object_t::mutex, address, t.pid);
}

object_t &sem_of(state_t &s, const thread_t &t)
{
    return object(s, object_t::sem, t.object, t.pid, t.value);
}

object_t &cond_of(state_t &s, const thread_t &t)
{
    return object(s, object_t::cond, t.object, t.pid);
}

bool cancellation_point(call_t call)
{
    switch (call) {
    case call_t::cond_wait:
    case call_t::cond_timedwait:
    case call_t::sem_wait:
    case call_t::sem_timedwait:
    case call_t::join:
    case call_t::testcancel:
    case call_t::sleep:
    case call_t::output:
    case call_t::input:
    case call_t::wait:
        return true;
    default:
        return false;
    }
}

bool cond_call(call_t call)
{
    return call == call_t::cond_wait || call == call_t::cond_timedwait;
}

bool child_ended(const state_t &s, const thread_t &t)
{
    const pid_t wanted = static_cast<pid_t>(t.value);
    for (const auto &[pid, p] : s.processes)
        if (p.parent == t.pid && p.dead && !p.reaped && (wanted <= 0 || wanted == pid))
            return true;
    return false;
}

// Whether thread `t` can make its call now.
bool can_go(state_t &s, const thread_t &t)
{
    switch (t.call) {
    case call_t::mutex_lock:
        return mutex_of(s, t, t.object).holder == -1;
    case call_t::cond_wait:
    case call_t::cond_timedwait:
        return t.cond == thread_t::none ||
               ((t.cond == thread_t::woken || t.cond == thread_t::timed_out) && mutex_of(s, t, t.mutex).holder == -1);
    case call_t::sem_wait:
    case call_t::sem_timedwait:
        return sem_of(s, t).count > 0;
    case call_t::join:
        return t.value < 0 || t.value >= static_cast<int64_t>(s.threads.size()) ||
               s.threads[static_cast<std::size_t>(t.value)].state == thread_t::ended;
    case call_t::wait:
        return (t.extra & WNOHANG) != 0 || child_ended(s, t);
    default:
        return true;
    }
}

int64_t deadline_of(const thread_t &t)
{
    return t.call == call_t::sem_timedwait ? t.extra : t.value;
}

std::vector<action_t> actions_now(state_t &s)
{
    std::vector<action_t> normal, extra;
    for (std::size_t k = 0; k < s.threads.size(); k++) {
        thread_t &t = s.threads[k];
        const int slot = static_cast<int>(k);
        if (t.state != thread_t::asking)
            continue;
        if (t.cancel_pending && t.cancel_enabled && cancellation_point(t.call)) {
            if (!cond_call(t.call) || t.cond == thread_t::none || mutex_of(s, t, t.mutex).holder == -1)
                normal.push_back({slot, 'c'});
            continue;
        }
        if (can_go(s, t))
            normal.push_back({slot, 'r'});
        // A timed wait that cannot take what it waits for may time out: at once if its
        // deadline has passed, otherwise when nothing else can happen, or as a choice.
        const bool timed = (t.call == call_t::sem_timedwait && sem_of(s, t).count == 0) ||
                           (t.call == call_t::cond_timedwait && t.cond == thread_t::waiting);
        if (timed)
            (deadline_of(t) <= s.clock ? normal : extra).push_back({slot, 't'});
        if (cond_call(t.call) && t.cond == thread_t::waiting && s.spurious_left > 0)
            extra.push_back({slot, 's'});
    }
    normal.insert(normal.end(), extra.begin(), extra.end());
    return normal;
}

std::string holder_name(const state_t &s, int slot)
{
    return slot < 0 ? "nobody" : s.threads[slot].name;
}

// Who holds what, and the semaphores' counts, on one line.
std::string state_line(const state_t &s)
{
    std::vector<const object_t *> shown;
    for (const auto &[key, o] : s.objects)
        if (o.kind != object_t::cond)
            shown.push_back(&o);
    std::sort(shown.begin(), shown.end(), [](const object_t *a, const object_t *b) {
        return a->kind != b->kind ? a->kind < b->kind : a->order < b->order;
    });
    // The philosophers' forks, as they lie around the table: who holds each, or '.'.
    std::string forks;
    for (const object_t *o : shown)
        if (o->fork >= 0) {
            const int holder = o->kind == object_t::mutex ? o->holder : o->takers.empty() ? -1 : o->takers.front();
            forks += std::string(forks.empty() ? "" : " ") + (holder < 0 ? "." : s.threads[holder].name.substr(0, 1));
        }
    std::string line = forks.empty() ? "" : "forks: " + forks;
    for (const object_t *o : shown) {
        std::string item;
        if (o->fork >= 0)
            continue;
        if (o->kind == object_t::mutex && o->holder >= 0)
            item = o->name + ": " + holder_name(s, o->holder);
        else if (o->kind == object_t::sem)
            item = o->name + " = " + std::to_string(o->count);
        if (!item.empty())
            line += (line.empty() ? "" : ", ") + item;
    }
    return line;
}

void go(state_t &s, int slot, int64_t answer)
{
    steer::slot_t &r = s.region->slots[slot];
    r.answer = answer;
    s.region->clock_ns.store(s.clock);
    r.turn.store(steer::kGo, std::memory_order_release);
    syscall(SYS_futex, &r.turn, FUTEX_WAKE, 1, nullptr, nullptr, 0);
    s.threads[slot].state = thread_t::running;
    s.expecting.push_back(slot);
}

// A new thread or process gets the next slot; -1 when there is none left.
int new_slot(state_t &s, int parent, bool process)
{
    const int slot = static_cast<int>(s.threads.size());
    if (slot >= steer::kSlots)
        return -1;
    thread_t t;
    t.parent = parent;
    t.process = process;
    t.pid = process ? 0 : s.threads[parent].pid;
    s.region->slots[slot].turn.store(steer::kRunning);
    s.threads.push_back(t);
    s.expecting.push_back(slot);
    return slot;
}

void name_thread(state_t &s, int slot, const std::string &routine)
{
    thread_t &t = s.threads[slot];
    if (philosophers_demo(s.target) && t.parent == 0 && s.philosophers < watch::kPhilosophers) {
        t.name = std::string(1, static_cast<char>('A' + s.philosophers++));
        return;
    }
    std::string name = !routine.empty() ? routine : t.process ? "child" : "thread";
    int same = 0;
    for (const thread_t &other : s.threads)
        same += other.name == name || other.name.starts_with(name + " ");
    t.name = same == 0 ? name : name + " " + std::to_string(same + 1);
}

std::string sem_text(const object_t &o)
{
    return o.name + " (" + std::to_string(o.count) + " left)";
}

void misuse(state_t &s, const std::string &rule, const std::string &why)
{
    fail(s, fault_t::misuse, "BROKEN " + rule, {why});
}

// Carries out an action: the model changes, and unless the action happens inside the model
// alone (a condition wait begins or ends), the thread is told to go on.
void apply(state_t &s, const action_t &a)
{
    thread_t &t = s.threads[a.slot];
    turn_t turn;
    turn.slot = a.slot;
    turn.action = a;
    turn.call = t.call;
    s.turn++;
    s.clock = std::max(s.clock + kTick, kEpoch + s.turn * kTick);
    bool tell = true;
    int64_t answer = 1;
    std::string &does = turn.does;
    if (a.how == 'c') {
        does = std::string("is cancelled in ") + call_name(t.call);
        if (cond_call(t.call)) {
            object_t &m = mutex_of(s, t, t.mutex);
            m.holder = a.slot;
            std::erase(cond_of(s, t).waiters, a.slot);
        }
        answer = steer::kCancelled;
    } else if (a.how == 't') {
        s.clock = std::max(s.clock, deadline_of(t));
        if (t.call == call_t::sem_timedwait) {
            does = "waits for " + sem_of(s, t).name + " until its deadline: times out";
            answer = 0;
        } else {
            does = "waits on " + cond_of(s, t).name + " until its deadline: times out";
            std::erase(cond_of(s, t).waiters, a.slot);
            t.cond = thread_t::timed_out;
            tell = false;
        }
    } else if (a.how == 's') {
        does = "wakes from " + cond_of(s, t).name + " with no signal (a spurious wake-up)";
        std::erase(cond_of(s, t).waiters, a.slot);
        t.cond = thread_t::woken;
        s.spurious_left--;
        tell = false;
    } else {
        switch (t.call) {
        case call_t::start:
            does = a.slot == 0 ? "starts the program" : t.process ? "starts, a new process" : "starts";
            break;
        case call_t::mutex_init:
            does = "sets up " + mutex_of(s, t, t.object).name;
            mutex_of(s, t, t.object).holder = -1;
            break;
        case call_t::mutex_lock:
            mutex_of(s, t, t.object).holder = a.slot;
            does = "locks " + mutex_of(s, t, t.object).name;
            turn.fork = mutex_of(s, t, t.object).fork;
            turn.took = true;
            break;
        case call_t::mutex_trylock: {
            object_t &m = mutex_of(s, t, t.object);
            answer = m.holder == -1;
            does = "tries " + m.name + (answer ? ": takes it" : ": " + holder_name(s, m.holder) + " holds it");
            if (answer) {
                m.holder = a.slot;
                turn.fork = m.fork;
                turn.took = true;
            }
            break;
        }
        case call_t::mutex_unlock: {
            object_t &m = mutex_of(s, t, t.object);
            does = "unlocks " + m.name;
            if (m.holder != a.slot) {
                misuse(s, "a mutex is unlocked only by the thread that holds it",
                       t.name + " unlocked " + m.name + ", which " +
                           (m.holder < 0 ? std::string("nobody held") : holder_name(s, m.holder) + " held"));
                tell = false;
            }
            m.holder = -1;
            turn.fork = m.fork;
            break;
        }
        case call_t::mutex_destroy: {
            object_t &m = mutex_of(s, t, t.object);
            does = "destroys " + m.name;
            if (m.holder != -1) {
                misuse(s, "a mutex is destroyed only when nobody holds it",
                       t.name + " destroyed " + m.name + " while " + holder_name(s, m.holder) + " held it");
                tell = false;
            }
            break;
        }
        case call_t::cond_wait:
        case call_t::cond_timedwait: {
            object_t &m = mutex_of(s, t, t.mutex);
            object_t &c = cond_of(s, t);
            if (t.cond == thread_t::none) {
                does = "waits on " + c.name + ", letting go of " + m.name;
                if (m.holder != a.slot) {
                    misuse(s, "a condition is waited on with its mutex held",
                           t.name + " waited on " + c.name + " without holding " + m.name);
                }
                m.holder = -1;
                c.waiters.push_back(a.slot);
                t.cond = thread_t::waiting;
                tell = false;
            } else {
                does = (t.cond == thread_t::timed_out ? "is back from " : "wakes from ") + c.name + ", takes " +
                       m.name + " back";
                answer = t.cond != thread_t::timed_out;
                m.holder = a.slot;
                t.cond = thread_t::none;
            }
            break;
        }
        case call_t::cond_signal:
        case call_t::cond_broadcast: {
            object_t &c = cond_of(s, t);
            const bool all = t.call == call_t::cond_broadcast;
            std::string woken;
            while (!c.waiters.empty()) {
                const int w = c.waiters.front();
                c.waiters.erase(c.waiters.begin());
                s.threads[w].cond = thread_t::woken;
                woken += (woken.empty() ? "" : ", ") + s.threads[w].name;
                if (!all)
                    break;
            }
            does = (all ? "broadcasts " : "signals ") + c.name + (woken.empty() ? ": nobody waits" : ": wakes " + woken);
            break;
        }
        case call_t::sem_init: {
            if (t.extra != 0)
                s.shared.insert(t.object);
            object_t &o = object(s, object_t::sem, t.object, t.pid, t.value);
            o.count = t.value;
            o.takers.clear();
            does = "sets up " + o.name + " at " + std::to_string(t.value);
            break;
        }
        case call_t::sem_wait:
        case call_t::sem_timedwait: {
            object_t &o = sem_of(s, t);
            o.count--;
            o.takers.push_back(a.slot);
            does = "takes " + sem_text(o);
            turn.fork = o.fork;
            turn.took = true;
            break;
        }
        case call_t::sem_trywait: {
            object_t &o = sem_of(s, t);
            answer = o.count > 0;
            if (answer) {
                o.count--;
                o.takers.push_back(a.slot);
                turn.fork = o.fork;
                turn.took = true;
            }
            does = "tries " + o.name + (answer ? ": takes it (" + std::to_string(o.count) + " left)" : ": none left");
            break;
        }
        case call_t::sem_post: {
            object_t &o = sem_of(s, t);
            o.count++;
            if (auto it = std::find(o.takers.begin(), o.takers.end(), a.slot); it != o.takers.end())
                o.takers.erase(it);
            else if (!o.takers.empty())
                o.takers.erase(o.takers.begin());
            does = "posts " + o.name + " (" + std::to_string(o.count) + " now)";
            turn.fork = o.fork;
            break;
        }
        case call_t::sem_destroy:
            does = "destroys " + sem_of(s, t).name;
            break;
        case call_t::create: {
            const int slot = new_slot(s, a.slot, false);
            answer = slot;
            if (slot >= 0) {
                const uint64_t base = s.region->base.load();
                name_thread(s, slot, t.object >= base ? function_name(s.symbols, t.object - base) : "");
                does = "creates " + s.threads[slot].name;
            } else {
                does = "creates a thread: refused, too many";
            }
            break;
        }
        case call_t::join:
            does = "joins " + (t.value >= 0 && t.value < static_cast<int64_t>(s.threads.size())
                                   ? s.threads[static_cast<std::size_t>(t.value)].name
                                   : std::string("a thread"));
            break;
        case call_t::cancel:
            if (t.value >= 0 && t.value < static_cast<int64_t>(s.threads.size())) {
                s.threads[static_cast<std::size_t>(t.value)].cancel_pending = true;
                does = "cancels " + s.threads[static_cast<std::size_t>(t.value)].name;
            } else {
                does = "cancels a thread";
            }
            break;
        case call_t::testcancel:
            does = "looks for a cancel: none to take";
            break;
        case call_t::thread_exit:
            does = "ends its thread";
            break;
        case call_t::fork: {
            const int slot = new_slot(s, a.slot, true);
            answer = slot;
            if (slot >= 0) {
                name_thread(s, slot, "");
                does = "forks " + s.threads[slot].name;
            } else {
                does = "forks: refused, too many";
            }
            break;
        }
        case call_t::wait:
            does = "waits for a child process";
            if ((t.extra & WNOHANG) == 0)
                for (auto &[pid, p] : s.processes)
                    if (p.parent == t.pid && p.dead && !p.reaped && (t.value <= 0 || t.value == pid)) {
                        p.reaped = true;
                        break;
                    }
            break;
        case call_t::exit:
            does = "exits with status " + std::to_string(t.value);
            break;
        case call_t::sleep:
            does = "sleeps (a turn: no time passes)";
            break;
        case call_t::output:
            does = t.value == 2 ? "writes to standard error" : "writes";
            break;
        case call_t::kill: {
            const pid_t victim = static_cast<pid_t>(t.value);
            std::string whom = "process " + std::to_string(victim);
            for (const thread_t &other : s.threads)
                if (other.process && other.pid == victim)
                    whom = other.name;
            does = "sends signal " + std::to_string(t.extra) + " (" + strsignal(static_cast<int>(t.extra)) + ") to " + whom;
            if (t.extra == SIGKILL && s.processes.contains(victim) && !s.processes[victim].dead)
                s.dying.push_back(victim);
            break;
        }
        case call_t::input:
            if (s.input_left > 0 && s.in != -1) {
                const std::string line = "line " + std::to_string(s.target.input_lines - s.input_left + 1) + "\n";
                [[maybe_unused]] ssize_t ignored = write(s.in, line.data(), line.size());
                if (--s.input_left == 0) {
                    close(s.in);
                    s.in = -1;
                }
                does = "reads a line of input";
            } else {
                does = "reads: the input has ended";
            }
            break;
        }
    }
    s.result.choices.push_back(a);
    turn.state = state_line(s);
    turn.changed = turn.state != (s.result.turns.empty() ? "" : s.result.turns.back().state);
    s.result.turns.push_back(turn);
    s.last = a.slot;
    if (tell && s.result.fault.kind == fault_t::none)
        go(s, a.slot, answer);
}

// Who waits for what, when nobody can go on.
std::vector<std::string> waits(state_t &s)
{
    std::vector<std::string> lines;
    for (thread_t &t : s.threads) {
        if (t.state == thread_t::ended)
            continue;
        std::string line = t.name + " ";
        switch (t.call) {
        case call_t::mutex_lock: {
            object_t &m = mutex_of(s, t, t.object);
            line += "waits for " + m.name + ", held by " + holder_name(s, m.holder);
            break;
        }
        case call_t::cond_wait:
        case call_t::cond_timedwait:
            if (t.cond == thread_t::waiting)
                line += "waits on " + cond_of(s, t).name + ", and no thread is left to signal it";
            else
                line += "waits to take " + mutex_of(s, t, t.mutex).name + " back, held by " +
                        holder_name(s, mutex_of(s, t, t.mutex).holder);
            break;
        case call_t::sem_wait:
        case call_t::sem_timedwait: {
            object_t &o = sem_of(s, t);
            std::string takers;
            for (int w : o.takers)
                takers += (takers.empty() ? "" : ", ") + s.threads[w].name;
            line += "waits for " + sem_text(o) + (takers.empty() ? "" : ", taken by " + takers);
            break;
        }
        case call_t::join:
            line += "waits for " +
                    (t.value >= 0 && t.value < static_cast<int64_t>(s.threads.size())
                         ? s.threads[static_cast<std::size_t>(t.value)].name
                         : std::string("a thread")) +
                    " to end";
            break;
        case call_t::wait:
            line += "waits for a child process to end";
            break;
        default:
            line += std::string("is in ") + call_name(t.call);
            break;
        }
        lines.push_back(line);
    }
    return lines;
}

// The name of an object the model may not have seen yet, without making it seen: a look
// must not change the order in which objects are first seen, and so their names.
std::string peek_name(state_t &s, object_t::kind_t kind, uint64_t address, pid_t pid)
{
    const key_t key{address, kind == object_t::sem && s.shared.contains(address) ? 0 : pid};
    if (auto it = s.objects.find(key); it != s.objects.end())
        return it->second.name;
    const std::string name = variable_name(s, kind, address);
    return name.empty() ? std::string("a ") + kKinds[kind] : name;
}

std::string slot_name(const state_t &s, int64_t slot)
{
    return slot >= 0 && slot < static_cast<int64_t>(s.threads.size()) ? s.threads[static_cast<std::size_t>(slot)].name
                                                                      : "a thread";
}

// What a thread asks to do next, in a few words, and why it cannot yet, if it cannot.
thread_view_t view_of(state_t &s, thread_t &t)
{
    thread_view_t v;
    v.name = t.name;
    if (t.state == thread_t::ended) {
        v.ended = true;
        return v;
    }
    if (t.state != thread_t::asking)
        return v;
    const auto mutex = [&](uint64_t a) { return peek_name(s, object_t::mutex, a, t.pid); };
    const auto cond = [&] { return peek_name(s, object_t::cond, t.object, t.pid); };
    const auto sem = [&] { return peek_name(s, object_t::sem, t.object, t.pid); };
    switch (t.call) {
    case call_t::start: v.next = "start"; break;
    case call_t::mutex_init: v.next = "set up " + mutex(t.object); break;
    case call_t::mutex_lock: v.next = "lock " + mutex(t.object); break;
    case call_t::mutex_trylock: v.next = "try " + mutex(t.object); break;
    case call_t::mutex_unlock: v.next = "unlock " + mutex(t.object); break;
    case call_t::mutex_destroy: v.next = "destroy " + mutex(t.object); break;
    case call_t::cond_wait:
    case call_t::cond_timedwait:
        v.next = t.cond == thread_t::none      ? "wait on " + cond()
                 : t.cond == thread_t::waiting ? "wake from " + cond()
                                               : "take " + mutex(t.mutex) + " back";
        break;
    case call_t::cond_signal: v.next = "signal " + cond(); break;
    case call_t::cond_broadcast: v.next = "broadcast " + cond(); break;
    case call_t::sem_init: v.next = "set up " + sem(); break;
    case call_t::sem_wait: v.next = "take " + sem(); break;
    case call_t::sem_trywait: v.next = "try " + sem(); break;
    case call_t::sem_timedwait: v.next = "take " + sem() + " or time out"; break;
    case call_t::sem_post: v.next = "post " + sem(); break;
    case call_t::sem_destroy: v.next = "destroy " + sem(); break;
    case call_t::create: v.next = "create a thread"; break;
    case call_t::join: v.next = "join " + slot_name(s, t.value); break;
    case call_t::cancel: v.next = "cancel " + slot_name(s, t.value); break;
    case call_t::testcancel: v.next = "look for a cancel"; break;
    case call_t::thread_exit: v.next = "end its thread"; break;
    case call_t::fork: v.next = "fork"; break;
    case call_t::wait: v.next = "wait for a child"; break;
    case call_t::exit: v.next = "exit"; break;
    case call_t::sleep: v.next = "sleep"; break;
    case call_t::output: v.next = t.value == 2 ? "write to stderr" : "print"; break;
    case call_t::input: v.next = "read a line"; break;
    case call_t::kill: v.next = "send signal " + std::to_string(t.extra); break;
    }
    if (t.cancel_pending && t.cancel_enabled && cancellation_point(t.call)) {
        v.next = "be cancelled";
        if (cond_call(t.call) && t.cond != thread_t::none && mutex_of(s, t, t.mutex).holder != -1)
            v.waits = holder_name(s, mutex_of(s, t, t.mutex).holder) + " holds " + mutex_of(s, t, t.mutex).name;
        return v;
    }
    if (can_go(s, t))
        return v;
    // In a few words: a column of the player's screen is 12 wide.
    switch (t.call) {
    case call_t::mutex_lock:
        v.waits = holder_name(s, mutex_of(s, t, t.object).holder) + " holds it";
        break;
    case call_t::cond_wait:
    case call_t::cond_timedwait:
        v.waits = t.cond == thread_t::waiting ? "no signal" : holder_name(s, mutex_of(s, t, t.mutex).holder) + " holds it";
        break;
    case call_t::sem_wait:
    case call_t::sem_timedwait:
        v.waits = "none left";
        break;
    case call_t::join:
        v.waits = slot_name(s, t.value) + " not ended";
        break;
    case call_t::wait:
        v.waits = "no child yet";
        break;
    default:
        v.waits = "cannot go on";
        break;
    }
    return v;
}

view_t look(state_t &s)
{
    view_t view;
    for (thread_t &t : s.threads)
        view.threads.push_back(view_of(s, t));
    view.state = state_line(s);
    view.so_far = &s.result;
    return view;
}

bool all_ended(const state_t &s)
{
    return std::all_of(s.threads.begin(), s.threads.end(),
                       [](const thread_t &t) { return t.state == thread_t::ended; });
}

void stop_everything(state_t &s)
{
    for (auto &[pid, p] : s.processes)
        if (!p.dead)
            kill(pid, SIGKILL);
    kill(-s.first, SIGKILL);
    for (auto &[pid, p] : s.processes) {
        if (p.pidfd != -1) {
            pollfd fd{p.pidfd, POLLIN, 0};
            poll(&fd, 1, 1000);
            close(p.pidfd);
            p.pidfd = -1;
        }
    }
    if (!s.result.status) {
        int status;
        if (waitpid(s.first, &status, 0) == s.first && !s.result.cut && s.result.fault.kind == fault_t::none)
            s.result.status = status;
    }
    // Whatever else of the run is left, we adopted as its subreaper: reap it now.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    for (int fd : {s.in, s.out, s.err, s.bell, s.region_fd})
        if (fd != -1)
            close(fd);
    if (s.region != nullptr)
        munmap(s.region, sizeof(steer::region_t));
}

const char *call_name(call_t call)
{
    constexpr std::array<const char *, 28> names = {
        "its start",       "pthread_mutex_init", "pthread_mutex_lock", "pthread_mutex_trylock",
        "pthread_mutex_unlock", "pthread_mutex_destroy", "pthread_cond_wait", "pthread_cond_timedwait",
        "pthread_cond_signal", "pthread_cond_broadcast", "sem_init", "sem_wait",
        "sem_trywait", "sem_timedwait", "sem_post", "sem_destroy",
        "pthread_create", "pthread_join", "pthread_cancel", "pthread_testcancel",
        "pthread_exit", "fork", "wait", "exit",
        "sleep", "a write", "a read", "kill"};
    return names[static_cast<std::size_t>(call)];
}

}  // namespace

run_result_t run_once(const target_t &target, const bounds_t &bounds, const chooser_t &choose)
{
    state_t s(target, bounds);
    s.spurious_left = bounds.spurious;
    s.input_left = target.input_lines;
    s.symbols = read_symbols(target.program);
    std::string why;
    if (!launch(s, why)) {
        fail(s, fault_t::unsteerable, why);
        stop_everything(s);
        return s.result;
    }
    while (settle(s)) {
        if (all_ended(s))
            break;
        std::vector<action_t> actions = actions_now(s);
        const bool progress = std::any_of(actions.begin(), actions.end(),
                                          [](const action_t &a) { return a.how != 's'; });
        if (!progress) {
            fail(s, fault_t::deadlock, "deadlock: no thread can go on", waits(s));
            break;
        }
        if (s.turn >= bounds.turns) {
            s.result.cut = true;
            break;
        }
        const int k = choose(actions, s.last, s.turn, [&] { return look(s); });
        if (k == kStop) {
            s.result.stopped = true;
            break;
        }
        if (k < 0 || k >= static_cast<int>(actions.size())) {
            fail(s, fault_t::diverged, "the schedule cannot be followed here");
            break;
        }
        s.result.choosable.push_back(actions);
        apply(s, actions[static_cast<std::size_t>(k)]);
        if (s.result.fault.kind != fault_t::none)
            break;
    }
    for (std::size_t k = 0; k < s.threads.size(); k++)
        s.result.names.push_back(s.threads[k].name);
    if (s.region != nullptr) {
        s.result.end = look(s);
        s.result.end.so_far = nullptr;
    }
    stop_everything(s);
    return s.result;
}

const char *kind_name(fault_t kind)
{
    constexpr std::array<const char *, 8> names = {"nothing", "deadlock", "crash", "misuse",
                                                   "broken rule", "stall", "divergence", "unsteerable"};
    return names[static_cast<std::size_t>(kind)];
}

}  // namespace interleave
