#include "run.h"

#include "memory.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <tuple>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace interleave {
namespace {

// Of a call's buffer, this much at most is looked at for races (its order is kept whole).
constexpr int64_t kBufferChecked = 65536;

constexpr std::size_t kKeptText = std::size_t{1} << 20;  // bytes of each stream a run keeps
// A livelock: this many turns in a row change nothing that the model holds, while every
// thread that can go on takes part in them, each this many times at least. (A program that
// retries a try-lock a few thousand times and then gives up is not one.)
constexpr int kQuietTurns = 10000;
constexpr int kQuietEach = 100;
constexpr int kQuietReads = 50000;       // or reads of what the thread read a moment ago
constexpr std::size_t kLookedAgain = 4;  // "a moment ago": among its last reads
constexpr double kBlockedFor = 1.0;  // a thread asleep this long in a system call is blocked in it
constexpr std::size_t kRecent = 64;   // turns remembered to show a livelock's round
constexpr std::size_t kErrorLines = 200;  // lines of standard error a report quotes
constexpr double kSpin = 50e-6;           // seconds to look for a thread's ask before sleeping
constexpr std::size_t kWholeState = 240;  // a longer state line is kept as what changed in it
constexpr std::size_t kKeptTurns = 200000;  // turns a run keeps to show, at most (about 130 MB)

struct run_t {
    const target_t &target;
    const bounds_t &bounds;
    std::function<bool()> stop_now;
    program_t program;
    model_t model;
    run_result_t result;
    int turn = 0;
    int last = -1;
    std::set<int> backing_off;
    std::vector<int> woken;
    std::vector<int> pending_handles;  // threads just created: their pthread_t is yet to be read
    std::vector<pid_t> dying;          // processes a signal will end, to be gone before the next turn
    int quiet = 0;                     // turns in a row that changed nothing
    std::map<int, int> quiet_turns;    // and each thread's share of them
    std::deque<std::pair<int, std::string>> recent;
    std::size_t kept = 0;    // bytes of output the turns keep
    std::string last_state;  // who held what after the last turn
    // With bounds.steps: the last turn taken, which whatever happens until the next is
    // part of; whether it has settled; and the clock as it began.
    int stepping = -1;
    bool settled = false;
    int64_t clock_given = 0;
    std::map<std::tuple<int, int, int, char>, int> predicted_at;  // thread, its call, the call's phase, how: index
    // Memory accesses, in a program built with interleave-cc: the clocks that say which are
    // ordered, the first race and the turn it showed at, and each thread's last access's
    // turn, which its next ask tells the value of.
    clocks_t clocks;
    std::optional<std::string> race;
    int race_turn = 0;
    std::map<int, std::size_t> last_access;
    std::map<int, std::deque<uint64_t>> looked;  // each thread's last reads, since the last change
    int quiet_reads = 0;                         // reads of the same again, in a row

    run_t(const target_t &t, const bounds_t &b) : target(t), bounds(b) {}
};

// Something the turn under way touched as its thread ran on, or ended.
void touched(run_t &r, thing_t thing, uint64_t a, uint64_t b, role_t role)
{
    if (r.stepping >= 0)
        add(r.result.steps[static_cast<std::size_t>(r.stepping)].touched, thing, a, b, role);
}

void touched_end(run_t &r, int id)
{
    if (r.stepping >= 0)
        thread_end_touches(r.result.steps[static_cast<std::size_t>(r.stepping)].touched, r.model, id);
}

void fail(run_t &r, fault_t kind, const std::string &headline, std::vector<std::string> details = {})
{
    if (r.result.fault.kind == fault_t::none)
        r.result.fault = {kind, r.turn, headline, std::move(details)};
}

void keep(std::string &to, const std::string &text)
{
    to.append(text, 0, std::min(text.size(), kKeptText - std::min(kKeptText, to.size())));
}

// What the program wrote since the last look belongs to the turn that just ran.
void take_output(run_t &r)
{
    std::string out, err;
    drain(r.program, out, err);
    if (out.empty() && err.empty())
        return;
    keep(r.result.out, out);
    keep(r.result.err, err);
    if (!out.empty())
        touched(r, thing_t::stream, 1, 0, role_t::write);
    if (!err.empty())
        touched(r, thing_t::stream, 2, 0, role_t::write);
    // The turns keep as much again, all together: a replay shows the first megabyte.
    if (!r.result.turns.empty() && r.kept < kKeptText) {
        r.kept += out.size() + err.size();
        r.result.turns.back().out += out;
        r.result.turns.back().err += err;
    }
}

std::vector<std::string> lines_of(const std::string &text, std::size_t most)
{
    std::vector<std::string> lines;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t nl = text.find('\n', from);
        lines.push_back(text.substr(from, nl == std::string::npos ? std::string::npos : nl - from));
        from = nl == std::string::npos ? text.size() : nl + 1;
    }
    if (lines.size() > most)
        lines.erase(lines.begin(), lines.end() - static_cast<long>(most));
    return lines;
}

int thread_on(const run_t &r, int channel)
{
    for (std::size_t k = 0; k < r.model.threads.size(); k++)
        if (r.model.threads[k].channel == channel && r.model.threads[k].state != thread_t::ended)
            return static_cast<int>(k);
    return kNobody;
}

// A thread that crashed says so before its process dies.
bool crashed(run_t &r)
{
    const int channel = r.program.region->fatal_channel.load();
    const int sig = r.program.region->fatal_signal.load();
    if (sig == 0)
        return false;
    const int id = channel >= 0 ? thread_on(r, channel) : kNobody;
    take_output(r);
    // Its process ends in the turn: every other thread's next turn could have come first.
    if (id != kNobody)
        touched(r, thing_t::process, process_of(r.model, r.model.threads[static_cast<std::size_t>(id)].pid), 0,
                role_t::write);
    fail(r, fault_t::crash, "killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")",
         {(id != kNobody ? thread_name(r.model, id) : "a thread") + " crashed in turn " + std::to_string(r.turn)});
    return true;
}

// Each thread just created learns its pthread_t, which its creator wrote once the real
// creation came back.
void read_handles(run_t &r)
{
    std::erase_if(r.pending_handles, [&](int id) {
        thread_t &t = r.model.threads[static_cast<std::size_t>(id)];
        if (t.channel < 0)
            return true;
        t.handle = r.program.region->channels[t.channel].handle;
        return t.handle != 0;
    });
}

bool expected(const run_t &r, const thread_t &t)
{
    if (t.state == thread_t::running)
        return true;
    // A forked child is expected once the fork has happened.
    return t.state == thread_t::coming &&
           r.program.region->channels[t.channel].turn.load(std::memory_order_acquire) != steer::kFree;
}

// A thread reading standard input by a way of stdio's that no call stands in front of
// gets what a read turn would hand it, at the same point of every run.
bool fed_a_reader(run_t &r)
{
    for (const thread_t &t : r.model.threads) {
        if (!expected(r, t))
            continue;
        const steer::channel_t &c = r.program.region->channels[t.channel];
        if (reading_input(t.pid != 0 ? t.pid : c.pid, c.tid)) {
            give_input(r.program, r.target);  // a line, or the end of the input
            touched(r, thing_t::input, 0, 0, role_t::write);
            return true;
        }
    }
    return false;
}

// Why a thread has not come back with its next call, if it is not simply slow: asleep in a
// call interleave does not steer, or computing for longer than the bounds allow.
bool looks_stuck(run_t &r, double waited, std::map<int, double> &blocked_since)
{
    for (std::size_t k = 0; k < r.model.threads.size(); k++) {
        const thread_t &t = r.model.threads[k];
        if (!expected(r, t))
            continue;
        const steer::channel_t &c = r.program.region->channels[t.channel];
        const pid_t pid = t.pid != 0 ? t.pid : c.pid;
        const thread_look_t look = look_at(pid, c.tid);
        const std::string after = t.asked ? " after " + std::string(call_name(t.asks.call)) : "";
        // In system() or pclose(), which wait for another program: as long as the stall allows.
        if (c.outside != 0) {
            if (waited >= r.bounds.stall) {
                fail(r, fault_t::unsteerable,
                     t.name + " waited " + std::to_string(static_cast<int>(r.bounds.stall)) +
                         " s for a program it started (system, popen, pclose), which interleave does not steer",
                     {"it may take longer: --stall SECONDS gives it more"});
                return true;
            }
            continue;
        }
        if (look.stopped && seconds_now() - blocked_since.try_emplace(static_cast<int>(k), seconds_now()).first->second >= kBlockedFor) {
            fail(r, fault_t::unsteerable,
                 t.name + " is stopped (by SIGSTOP or its kin, or held by a debugger)" + after +
                     ": a stopped process goes on only when a signal from outside lets it (SIGCONT), which no "
                     "schedule gives");
            return true;
        }
        if (look.stopped)
            continue;
        // A process with many threads takes a while to end them all: its death will come.
        if (look.exiting) {
            blocked_since.erase(static_cast<int>(k));
            continue;
        }
        if (look.blocked_in) {
            const double since = blocked_since.try_emplace(static_cast<int>(k), seconds_now()).first->second;
            if (seconds_now() - since >= kBlockedFor) {
                fail(r, fault_t::unsteerable, t.name + " is blocked in " + *look.blocked_in + after + ", a call interleave does not steer");
                return true;
            }
            continue;
        }
        blocked_since.erase(static_cast<int>(k));
        if (waited >= r.bounds.stall) {
            const std::string seconds = std::to_string(static_cast<int>(r.bounds.stall));
            fail(r, fault_t::unsteerable,
                 t.name + (look.running ? " ran on" : " did not come back") + after + " for " + seconds +
                     " s without a call interleave steers",
                 {"a loop that waits by spinning cannot be steered: interleave does not see memory;",
                  "a long computation can be given more time with --stall SECONDS (now " + seconds + ")"});
            return true;
        }
    }
    return false;
}

// Most turns are short: the thread asks again within microseconds, on the other processor.
// Looking at its channel for that long costs less than sleeping and being woken.
bool answered_soon(const run_t &r)
{
    const double until = seconds_now() + kSpin;
    while (seconds_now() < until)
        for (const thread_t &t : r.model.threads)
            if (t.state == thread_t::running &&
                r.program.region->channels[t.channel].turn.load(std::memory_order_acquire) != steer::kRunning)
                return true;
    return false;
}

// A thread the system has ended: if its routine had returned, it ended as threads do;
// else its process is dying (a signal, an exit), and its death is what counts.
bool is_access(call_t call)
{
    return call == call_t::read || call == call_t::write || call == call_t::update;
}

// What the thread's last access found or left in memory, told as it asks again or ends.
void tell_seen(run_t &r, int id, const steer::channel_t &c)
{
    const auto it = r.last_access.find(id);
    if (it == r.last_access.end())
        return;
    // Its ask is still the access's: what it asks next is heard after this.
    const request_t &q = r.model.threads[static_cast<std::size_t>(id)].asks;
    if ((c.flags & steer::kSeen) != 0 && it->second < r.result.turns.size())
        r.result.turns[it->second].does += " (" + value_text(r.model, q.object, static_cast<uint64_t>(q.value), c.seen) + ")";
    r.last_access.erase(it);
}

// What the thread's last turn did beyond its call, told as it asks again or ends: a flush of
// the standard streams wrote out whatever another thread left there; an unlocked use of a
// stream is not ordered against the other threads' uses.
void tell_last_turn(run_t &r, const steer::channel_t &c)
{
    if ((c.flags & steer::kUnlockedStream) != 0)
        r.model.unlocked_streams = true;
    if ((c.flags & steer::kStreamsFlushed) != 0) {
        touched(r, thing_t::stream, 1, 0, role_t::write);
        touched(r, thing_t::stream, 2, 0, role_t::write);
    }
}

// An ended thread's stack is new memory for the thread that gets it next.
void forget_stack(run_t &r, int id, const steer::channel_t &c)
{
    if (c.stack_high > c.stack_low)
        forget(r.clocks, r.model, r.model.threads[static_cast<std::size_t>(id)].pid, c.stack_low, c.stack_high);
}

void thread_end(run_t &r, int id)
{
    thread_t &t = r.model.threads[static_cast<std::size_t>(id)];
    touched_end(r, id);
    if (t.channel >= 0) {
        tell_seen(r, id, r.program.region->channels[t.channel]);
        tell_last_turn(r, r.program.region->channels[t.channel]);
        forget_stack(r, id, r.program.region->channels[t.channel]);
    }
    if (t.channel >= 0 && r.program.region->channels[t.channel].done != 0)
        thread_ended(r.model, id);
    else if (std::find(r.dying.begin(), r.dying.end(), t.pid) == r.dying.end())
        r.dying.push_back(t.pid);
}

// A process has ended or started another program: the pipes it held may have lost a
// writer, which their readers see.
void closed_all(run_t &r)
{
    for (const auto &[key, f] : r.model.files)
        if (f.pipe)
            touched(r, thing_t::file, f.known_as, f.number, role_t::write);
}

// Waits until every thread that runs has asked for its next turn, or ended, and every
// process a signal ends has gone. False when the run cannot go on: a crash, a thread that
// does not come back, a program that never asks at all.
bool settle(run_t &r)
{
    const double began = seconds_now();
    std::map<int, double> blocked_since;
    // Deaths and output are looked for when the system says there are some: every death
    // and every write comes before the ask or the end that settles the turn.
    news_t news;
    for (;;) {
        const uint32_t rung = r.program.region->bell.load();
        bool waiting = false;
        for (std::size_t k = 0; k < r.model.threads.size(); k++) {
            thread_t &t = r.model.threads[k];
            const int id = static_cast<int>(k);
            if (!expected(r, t))
                continue;
            const steer::channel_t &c = r.program.region->channels[t.channel];
            const uint32_t word = c.turn.load(std::memory_order_acquire);
            if (word == steer::kAsking || word == steer::kEnded)
                read_handles(r);  // its creator wrote them before it could ask or end
            // What a turn wrote is in the pipes by the time its thread asks again, or ends:
            // a print, or a newline, a flush or an exit that wrote out what stdio kept.
            if (word != steer::kRunning)
                news.output = true;
            if (word == steer::kAsking) {
                if (t.state == thread_t::coming) {
                    child_started(r.model, id, c.pid);
                    watch_process(r.program, c.pid);
                }
                if (!t.asked && !t.process && r.program.region->ends_seen.load() != 0)
                    watch_thread(r.program, id, c.tid);
                if (c.spawned != 0) {
                    touched(r, thing_t::outside, 0, 0, role_t::write);
                    program_started(r.model, id, c.spawned);
                    watch_process(r.program, c.spawned);
                    r.program.region->channels[t.channel].spawned = 0;
                    r.program.started_others = true;
                }
                tell_seen(r, id, c);
                tell_last_turn(r, c);
                // A thread that changed its mask, or what a signal does, as it ran changed
                // which signals can arrive where.
                if (const auto p = r.model.processes.find(t.pid);
                    t.asked && (c.sigmask != t.sigmask ||
                                (p != r.model.processes.end() && (c.caught != p->second.caught || c.ignored != p->second.ignored)))) {
                    touched(r, thing_t::signals, process_of(r.model, t.pid), 0, role_t::write);
                    touched(r, thing_t::thread_signals, static_cast<uint64_t>(id), 0, role_t::write);
                }
                hear(r.model, id, c);
                if (t.process && t.asks.call == call_t::thread_exit && r.program.region->ends_seen.load() != 0)
                    watch_leaving(r.program, id, t.pid);
            } else if (word == steer::kEnded) {
                tell_seen(r, id, c);
                tell_last_turn(r, c);
                forget_stack(r, id, c);
                touched_end(r, id);
                thread_ended(r.model, id);
            } else {
                waiting = true;
            }
        }
        if (crashed(r))
            return false;
        const std::vector<pid_t> died = news.death ? deaths(r.program) : std::vector<pid_t>{};
        for (pid_t pid : died) {
            // Its parent is sent SIGCHLD, which waits there to arrive, if the parent would see it.
            const pid_t parent = r.model.processes[pid].parent;
            if (child_died(r.model, pid))
                touched(r, thing_t::signals, process_of(r.model, parent), 0, role_t::write);
            touched(r, thing_t::process, process_of(r.model, pid), 0, role_t::write);
            touched(r, thing_t::children, process_of(r.model, parent), 0, role_t::write);
            closed_all(r);
            process_died(r.model, pid);
        }
        const std::vector<int> ended = news.death ? thread_ends(r.program) : std::vector<int>{};
        for (int id : ended)
            thread_end(r, id);
        if (news.output || news.death)
            take_output(r);
        news = {};
        if (!died.empty() || !ended.empty())
            continue;  // they were among those waited for
        // A process whose threads have all ended is about to die: its death comes before
        // the next turn, as a wait for it may depend on it.
        for (const auto &[pid, p] : r.model.processes)
            if (!p.dead && !p.unsteered && r.program.pidfds.contains(pid) && all_ended(r.model, pid) &&
                std::find(r.dying.begin(), r.dying.end(), pid) == r.dying.end())
                r.dying.push_back(pid);
        std::erase_if(r.dying, [&](pid_t pid) { return !r.program.pidfds.contains(pid); });
        if (r.program.status)
            return true;  // the program has ended
        if (!waiting && r.dying.empty())
            return true;
        const double waited = seconds_now() - began;
        if (!r.dying.empty() && waited >= r.bounds.stall) {
            fail(r, fault_t::unsteerable, "a process that a signal should have ended did not end");
            return false;
        }
        if (waited >= 0.25 && looks_stuck(r, waited, blocked_since))
            return false;
        if (waited < kSpin && answered_soon(r))
            continue;
        if (r.stop_now && r.stop_now()) {
            r.result.stopped = true;
            r.program.started_others = true;  // whatever the program started ends with it
            return false;
        }
        // A process whose thread started another program: once it has, it is not steered.
        for (const auto &[pid, p] : r.model.processes)
            if (p.execing && !p.dead && !still_steered(pid)) {
                touched(r, thing_t::process, process_of(r.model, pid), 0, role_t::write);
                closed_all(r);
                process_execed(r.model, pid);
                r.program.started_others = true;
                news.death = true;  // look again at once
                break;
            }
        if (news.death)
            continue;
        // While input is left to give, look often for a reader that no turn announced.
        if (r.program.in != -1 && fed_a_reader(r))
            continue;
        const double nap = r.program.in != -1 ? 0.002 : waited < 0.25 ? 0.25 - waited : 0.1;
        news = wait_for_news(r.program, rung, nap);
    }
}

// How the program ended, as a test runner counts it: by a signal, or with a status other
// than its normal one, is a fault.
void judge_status(run_t &r)
{
    const int s = *r.program.status;
    r.result.status = s;
    if (!r.model.threads[0].asked) {
        const std::vector<std::string> said = lines_of(r.result.err, 1);
        fail(r, fault_t::unsteerable, "the program ended without asking for a single turn: the steering library did not run in it",
             said.empty() ? std::vector<std::string>{} : std::vector<std::string>{"it said: " + said.front()});
        return;
    }
    std::vector<std::string> details;
    if (!r.result.err.empty()) {
        details.push_back("its standard error:");
        for (const std::string &line : lines_of(r.result.err, kErrorLines))
            details.push_back("  " + line);
    }
    if (WIFSIGNALED(s))
        fail(r, fault_t::crash,
             "killed by signal " + std::to_string(WTERMSIG(s)) + " (" + strsignal(WTERMSIG(s)) + ")", details);
    else if (WIFEXITED(s) && WEXITSTATUS(s) != r.bounds.status)
        fail(r, fault_t::status,
             "ended with status " + std::to_string(WEXITSTATUS(s)) +
                 (r.bounds.status != 0 ? " (its normal end is status " + std::to_string(r.bounds.status) + ")" : ""),
             details);
}

// Threads that keep making calls while nothing can change: each failing a try-lock that
// another holds, yielding, sleeping, and none of it changes who holds what.
bool livelocked(run_t &r, const std::vector<action_t> &actions)
{
    if (r.quiet < kQuietTurns && r.quiet_reads < kQuietReads)
        return false;
    for (const action_t &a : actions)
        if (a.how != 's' && r.quiet_turns[a.thread] < kQuietEach)
            return false;
    std::vector<std::string> round;
    for (const auto &[id, does] : r.recent) {
        const std::string line = thread_name(r.model, id) + " " + does;
        if (std::find(round.begin(), round.end(), line) == round.end() && round.size() < 8)
            round.push_back(line);
    }
    round.push_back("the same turns over and over, " + std::to_string(r.quiet + r.quiet_reads) + " of them, and nothing changes");
    fail(r, fault_t::livelock, "livelock: the threads go on making calls, and none of them can change anything",
         round);
    return true;
}

// The items of a state line (", " between them) that differ from the line before.
std::string changed_items(const std::string &before, const std::string &after)
{
    const auto items = [](const std::string &line) {
        std::vector<std::string> all;
        for (std::size_t from = 0; from < line.size();) {
            const std::size_t comma = line.find(", ", from);
            all.push_back(line.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
            from = comma == std::string::npos ? line.size() : comma + 2;
        }
        return all;
    };
    const std::vector<std::string> old = items(before);
    std::string changed;
    for (const std::string &item : items(after))
        if (std::find(old.begin(), old.end(), item) == old.end())
            changed += (changed.empty() ? "now " : ", ") + item;
    return changed.empty() ? "the same as before, but for what it no longer shows" : changed;
}

// Carries out the chosen action: the model changes, the turn is recorded, and unless the
// action happens in the model alone (a condition wait begins, a barrier is reached), the
// thread is told to go on.
void take(run_t &r, const action_t &a, const std::vector<action_t> &actions)
{
    const call_t call = r.model.threads[static_cast<std::size_t>(a.thread)].asks.call;
    const bool switched = a.thread != r.last && std::any_of(actions.begin(), actions.end(), [&](const action_t &x) {
        return x.thread == r.last && (x.how == 'r' || x.how == 'c');
    });
    if (static_cast<int>(r.result.choosable.size()) < r.bounds.window)
        r.result.choosable.push_back(actions);
    footprint_t touching;
    if (r.bounds.steps)
        touching = touches(r.model, a);
    outcome_t o = apply(r.model, a);
    if (r.bounds.steps) {
        step_t &step = r.result.steps.back();
        step.action = a;
        step.call = call;
        taken(touching, a, call, o);
        step.touched = std::move(touching);
        step.new_thread = o.new_thread;
        if (o.new_thread != kNobody)
            add(step.touched, thing_t::life, static_cast<uint64_t>(o.new_thread), 0, role_t::release);
        r.stepping = static_cast<int>(r.result.steps.size()) - 1;
        r.settled = false;
    }
    r.turn++;
    r.result.choices.push_back(a);
    thread_t &t = r.model.threads[static_cast<std::size_t>(a.thread)];
    if (o.misuse)
        fail(r, fault_t::misuse, "BROKEN " + *o.misuse, {o.misuse_why});
    if (o.limit)
        fail(r, fault_t::unsteerable,
             "the program has more than " + std::to_string(steer::kChannels) +
                 " threads and processes at once: more than interleave can steer (its limit, not the program's fault)");
    if (o.new_thread != kNobody) {
        thread_t &born = r.model.threads[static_cast<std::size_t>(o.new_thread)];
        steer::channel_t &c = r.program.region->channels[born.channel];
        c.handle = 0;
        c.pid = 0;
        c.tid = 0;
        c.done = 0;
        c.spawned = 0;
        c.outside = 0;
        c.stack_low = c.stack_high = c.stack_top = 0;
        c.turn.store(born.state == thread_t::coming ? steer::kFree : steer::kRunning, std::memory_order_release);
        if (!born.process)
            r.pending_handles.push_back(o.new_thread);
    }
    // A process that a signal ends is gone before the next turn, so that no run depends on
    // how soon the system ends it.
    for (pid_t pid : o.ending)
        if (r.program.pidfds.contains(pid) && std::find(r.dying.begin(), r.dying.end(), pid) == r.dying.end())
            r.dying.push_back(pid);
    if (o.stopped != 0)
        fail(r, fault_t::unsteerable,
             thread_name(r.model, r.model.processes[o.stopped].first_thread) +
                 " is stopped by a signal (SIGSTOP or its kin), which only a signal from outside could undo: "
                 "interleave cannot steer a stopped process");
    // A timer's signal waits in the process, held, as any signal sent to it does: alarm's
    // as the system sends it, timer_create's with the value the program gave it.
    if (o.alarm_to != 0 && o.fired.sig > 0 && r.program.pidfds.contains(o.alarm_to)) {
        siginfo_t info{};
        info.si_signo = o.fired.sig;
        info.si_code = SI_TIMER;
        info.si_value.sival_ptr = reinterpret_cast<void *>(o.fired.value);
        if (o.fired.tid != 0)
            syscall(SYS_rt_tgsigqueueinfo, o.alarm_to, o.fired.tid, o.fired.sig, &info);
        else if (o.fired.value != 0)
            syscall(SYS_rt_sigqueueinfo, o.alarm_to, o.fired.sig, &info);
        else
            kill(o.alarm_to, o.fired.sig);
    }
    if (a.how == 'r' && call == call_t::input && !give_input(r.program, r.target))
        o.does = "reads its input: it has ended";
    r.program.region->clock_ns.store(std::max(r.program.region->clock_ns.load(), r.model.clock));
    r.clock_given = r.program.region->clock_ns.load();
    if (o.tell && r.result.fault.kind == fault_t::none) {
        t.state = thread_t::running;
        grant(r.program, t.channel, o.answer);
    }
    // The thread that had the turn before, if it waits for one still, need not look for
    // it: it sleeps, and leaves the processor to the one that goes on.
    if (r.last >= 0 && r.last != a.thread) {
        const thread_t &before = r.model.threads[static_cast<std::size_t>(r.last)];
        if (before.state == thread_t::asking && before.channel >= 0)
            r.program.region->channels[before.channel].nap.store(1, std::memory_order_relaxed);
    }
    if (a.how == 'r' && (is_access(call) || call == call_t::fence))
        r.result.weak = r.result.weak || (t.asks.flags & steer::kWeakOrder) != 0;
    if (a.how == 'r' && call == call_t::start && (t.asks.flags & steer::kAccessesWatched) != 0)
        r.result.accesses = true;
    if (a.how == 'r' && is_access(call)) {
        r.result.accesses = true;
        // (A block freed is no access of the program's: its race is found whole, and its
        // partial footprint costs no order that a race would not show.)
        r.result.vast = r.result.vast || ((t.asks.flags & steer::kFreed) == 0 && t.asks.value > static_cast<int64_t>(kWordsTold * 8));
        if (auto race = accessed(r.clocks, r.model, a.thread, t.asks); race && !r.race) {
            r.race = race_text(r.model, *race);
            r.race_turn = r.turn;
        }
    } else {
        // The program's memory that the call reads itself (a write's buffer) is read before
        // what the call hands on, and may race. What it writes (a read's buffer) is ordered
        // against the program's accesses, but not looked at for races: how much of it the
        // call fills (all, part, none, as a read that fails) is not known at its turn.
        if (const request_t &q = t.asks; a.how == 'r' && q.buffer != 0 && q.buffer_size < 0) {
            const request_t access{.call = call_t::read, .object = q.buffer,
                                   .value = std::min<int64_t>(-q.buffer_size, kBufferChecked),
                                   .extra = static_cast<int64_t>(q.buffer_code)};
            if (auto race = accessed(r.clocks, r.model, a.thread, access); race && !r.race) {
                r.race = race_text(r.model, *race);
                r.race_turn = r.turn;
            }
        }
        synchronised(r.clocks, r.model, a, call, o);
    }
    // A read changes nothing, but a thread that reads many values in a row is no livelock:
    // only a read of what the thread read a moment ago (a spin on a flag) counts, and it
    // takes many more of them to call it one.
    const bool read = a.how == 'r' && call == call_t::read;
    std::deque<uint64_t> &looked = r.looked[a.thread];
    const bool again = read && std::find(looked.begin(), looked.end(), t.asks.object) != looked.end();
    if (read) {
        looked.push_back(t.asks.object);
        if (looked.size() > kLookedAgain)
            looked.pop_front();
    }
    if (o.changed) {
        r.quiet = 0;
        r.quiet_reads = 0;
        r.quiet_turns.clear();
        r.looked.clear();
    } else if (again) {
        r.quiet_reads++;
        r.quiet_turns[a.thread]++;
    } else if (!read) {
        r.quiet++;
        r.quiet_turns[a.thread]++;
    }
    r.recent.push_back({a.thread, o.does});
    if (r.recent.size() > kRecent)
        r.recent.pop_front();
    r.last = a.thread;
    // A thread that backs off stays behind the others until one of them changes something;
    // then it is woken, as if it had waited for that change.
    std::erase(r.woken, a.thread);
    if (r.bounds.steps) {
        step_t &step = r.result.steps.back();
        step.changed = o.changed || std::ranges::any_of(step.touched, [](const access_t &x) {
                           return x.thing == thing_t::clock && x.role != role_t::read;
                       });
        // A timed wait that timed out waited on its object, which the others' turns on it wake.
        // A read waits only when it reads again what its thread read a moment ago.
        step.idle = !o.changed && a.how != 't' && (!read || again);
    }
    // A set-up found done is no failed try: its thread waits for nobody; nor does a thread
    // that reads what it has not read a moment ago.
    if (!o.changed && call != call_t::once && (!read || again)) {
        r.backing_off.insert(a.thread);
    } else if (o.changed) {
        for (int id : r.backing_off)
            if (id != a.thread)
                r.woken.push_back(id);
        std::erase_if(r.backing_off, [&](int id) { return id != a.thread; });
    }
    if (r.bounds.details && r.result.turns.size() < kKeptTurns) {
        turn_t record;
        record.thread = a.thread;
        record.action = a;
        record.call = call;
        record.does = o.does;
        record.effect = o.effect;
        record.switched = switched;
        if (is_access(call)) {
            record.where = code_line(r.model, static_cast<uint64_t>(t.asks.extra));
            r.last_access[a.thread] = r.result.turns.size();
        }
        // Kept only where it changed, and where the whole is long, only what changed: a run
        // of many turns over many objects stays small.
        std::string state = state_line(r.model);
        record.changed = state != r.last_state;
        if (record.changed)
            record.state = state.size() <= kWholeState ? state : changed_items(r.last_state, state);
        if (record.changed)
            r.last_state = std::move(state);
        r.result.turns.push_back(std::move(record));
    }
}

view_t look(run_t &r)
{
    view_t view;
    for (std::size_t k = 0; k < r.model.threads.size(); k++)
        view.threads.push_back(view_of(r.model, static_cast<int>(k)));
    view.state = state_line(r.model);
    view.so_far = &r.result;
    return view;
}

// The turn just taken has settled: whether its thread read the clock as it ran on, and what
// the call it asks for next tells the others.
void finish_step(run_t &r)
{
    if (r.stepping < 0 || r.settled)
        return;
    step_t &step = r.result.steps[static_cast<std::size_t>(r.stepping)];
    if (r.program.region->clock_ns.load() > r.clock_given)
        add(step.touched, thing_t::clock, 0, 0, role_t::write);
    asked_next(step.touched, r.model, step.action.thread);
    r.settled = true;
}

// What an action would touch, worked out once for each call a thread asks for.
int predicted(run_t &r, const action_t &a)
{
    const thread_t &t = r.model.threads[static_cast<std::size_t>(a.thread)];
    auto [at, added] = r.predicted_at.try_emplace({a.thread, t.heard, static_cast<int>(t.phase), a.how},
                                                 static_cast<int>(r.result.predicted.size()));
    if (added)
        r.result.predicted.push_back(touches(r.model, a));
    return at->second;
}

void open_step(run_t &r, const std::vector<action_t> &actions)
{
    step_t step;
    for (const action_t &a : actions)
        step.enabled.push_back({a, predicted(r, a)});
    for (const action_t &a : actions) {
        const request_t &q = r.model.threads[static_cast<std::size_t>(a.thread)].asks;
        const auto own = [&](const action_t &b) { return b.thread == a.thread && b.how != 'g'; };
        if (a.how == 'g' && std::ranges::none_of(actions, own) && !enters_the_system(q) &&
            q.call != call_t::sigsuspend && q.call != call_t::sigwait)
            step.held.push_back(a.thread);
    }
    r.result.steps.push_back(std::move(step));
}

// Every thread's next action where the run ended, whether it could be taken or not.
void note_waiting(run_t &r)
{
    for (std::size_t k = 0; k < r.model.threads.size(); k++) {
        const thread_t &t = r.model.threads[k];
        if (t.state != thread_t::asking)
            continue;
        for (char how : {'r', 't', 's', 'c'}) {
            const action_t a{static_cast<int>(k), how, 0};
            const bool possible = how == 'r' || std::any_of(r.result.last_choosable.begin(), r.result.last_choosable.end(),
                                                            [&](const action_t &x) { return x == a; });
            if (possible)
                r.result.waiting.push_back({a, predicted(r, a)});
        }
    }
}

bool unsteered_alive(const run_t &r)
{
    for (const auto &[pid, p] : r.model.processes)
        if (p.unsteered && !p.dead)
            return true;
    return false;
}

// The program's symbols, read once for all the runs of a search (a program file changed
// under a search is read again).
const symbols_t &symbols_of(const std::string &program)
{
    static std::string path;
    static struct stat read_as {};
    static symbols_t symbols;
    struct stat now {};
    stat(program.c_str(), &now);
    if (program != path || now.st_ino != read_as.st_ino || now.st_size != read_as.st_size ||
        now.st_mtim.tv_sec != read_as.st_mtim.tv_sec || now.st_mtim.tv_nsec != read_as.st_mtim.tv_nsec) {
        path = program;
        read_as = now;
        symbols = read_symbols(program);
    }
    return symbols;
}

}  // namespace

run_result_t run_once(const target_t &target, const bounds_t &bounds, const chooser_t &choose,
                      const std::function<bool()> &stop_now)
{
    run_t r(target, bounds);
    r.stop_now = stop_now;
    std::string why;
    if (!launch(r.program, target, why)) {
        fail(r, fault_t::unsteerable, why);
        stop(r.program);
        return r.result;
    }
    r.model = start_model(r.program.first, symbols_of(target.program), target.demo, bounds.spurious);
    r.model.program = target.program;
    const look_t looking = [&] { return look(r); };
    double idle_since = 0;
    while (settle(r)) {
        finish_step(r);
        r.model.base = r.program.region->base.load();
        r.model.clock = std::max(r.model.clock, r.program.region->clock_ns.load());
        if (r.program.status) {
            judge_status(r);
            break;
        }
        const std::vector<action_t> actions = actions_now(r.model);
        const bool progress = std::any_of(actions.begin(), actions.end(), [](const action_t &a) { return a.how != 's'; });
        if (!progress && unsteered_alive(r)) {
            // Another program runs, which interleave does not steer: its end may let a wait go on.
            if (idle_since == 0)
                idle_since = seconds_now();
            if (seconds_now() - idle_since < bounds.stall) {
                if (wait_for_news(r.program, r.program.region->bell.load(), 0.1).death)
                    for (pid_t pid : deaths(r.program)) {
                        touched(r, thing_t::process, process_of(r.model, pid), 0, role_t::write);
                        process_died(r.model, pid);
                    }
                continue;
            }
        }
        idle_since = 0;
        if (!progress) {
            fail(r, fault_t::deadlock, "deadlock: no thread can go on", waits(r.model));
            break;
        }
        if (livelocked(r, actions))
            break;
        if (r.turn % 64 == 63 && r.stop_now && r.stop_now()) {
            r.result.stopped = true;
            r.program.started_others = true;
            break;
        }
        if (r.turn >= bounds.turns) {
            r.result.cut = true;
            r.result.last_choosable = actions;
            break;
        }
        if (bounds.steps)
            open_step(r, actions);
        const int k = choose({actions, r.last, r.turn, r.backing_off, r.woken, looking, r.result});
        if (bounds.steps && (k < 0 || k >= static_cast<int>(actions.size())))
            r.result.steps.pop_back();
        if (k == kStop) {
            r.result.stopped = true;
            r.result.last_choosable = actions;
            break;
        }
        if (k < 0 || k >= static_cast<int>(actions.size())) {
            fail(r, fault_t::diverged, "the schedule cannot be followed here");
            break;
        }
        take(r, actions[static_cast<std::size_t>(k)], actions);
        if (r.result.fault.kind != fault_t::none)
            break;
    }
    finish_step(r);
    take_output(r);
    // A race is the run's fault, unless the program came to harm of its own: then the race
    // is told under that fault, as what may explain it.
    if (r.race) {
        fault_report_t &f = r.result.fault;
        if (f.kind == fault_t::none)
            f = {fault_t::race, r.race_turn, *r.race, {}};
        else if (programs_fault(f.kind))
            f.details.push_back(*r.race);
    }
    if (bounds.steps) {
        note_waiting(r);
        r.result.aliased = r.model.aliased;
    }
    r.result.mapped = r.model.mapping_unordered;
    r.result.others = r.model.others_ran;
    r.result.unlocked = r.model.unlocked_streams;
    r.result.library_call = r.model.library_call;
    if (r.program.region != nullptr && r.program.region->unknown_call[0] != '\0')
        r.result.unknown_call.assign(r.program.region->unknown_call,
                                     strnlen(r.program.region->unknown_call, sizeof r.program.region->unknown_call));
    r.result.stream_tries = r.model.stream_tries;
    for (const thread_t &t : r.model.threads)
        r.result.names.push_back(t.name);
    if (r.program.region != nullptr) {
        r.result.end = look(r);
        r.result.end.so_far = nullptr;
    }
    stop(r.program);
    if (!r.result.status)
        r.result.status = r.program.status;
    return r.result;
}

const char *fault_name(fault_t kind)
{
    constexpr std::array<const char *, 10> names = {"nothing", "deadlock", "livelock", "crash", "exit status",
                                                    "misuse", "broken rule", "data race", "divergence", "cannot steer"};
    return names[static_cast<std::size_t>(kind)];
}

bool programs_fault(fault_t kind)
{
    return kind != fault_t::none && kind != fault_t::diverged && kind != fault_t::unsteerable;
}

}  // namespace interleave
