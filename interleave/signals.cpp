// Signals, as the model plays them. A signal sent waits, for its process (any thread that
// lets it through may take it) or for one thread, until the schedule chooses the turn it
// arrives at ('g'); then its handler runs on that thread, before the thread's call, or in
// the middle of a wait that it may cut short. What each signal does is its process's
// (a handler, nothing, the default), as the threads' asks tell it; what each thread lets
// through is its own mask. A signal that the thread sending it lets through, sent to
// itself, or to its own process where no other thread lets it through, arrives before the
// call that sent it returns.
#include <algorithm>
#include <csignal>
#include <cstring>

#include "calls.h"

namespace interleave {
namespace {

bool has(uint64_t set, int sig)
{
    return sig > 0 && sig <= 64 && ((set >> (sig - 1)) & 1) != 0;
}

// Standard signals are pending once at most; real-time ones queue.
void add_one(std::map<int, int> &waiting, int sig)
{
    int &n = waiting[sig];
    n = sig < SIGRTMIN ? 1 : n + 1;
}

void take_one(std::map<int, int> &waiting, int sig)
{
    const auto it = waiting.find(sig);
    if (it != waiting.end() && --it->second <= 0)
        waiting.erase(it);
}

std::string signal_text(int sig)
{
    return "signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
}

// A signal the thread lets through arrives at it now: what the model holds changes as the
// signal's action says, and what the turn is told as.
void arrives_now(calls::turn_t &turn, thread_t &t, int sig, const std::string &how)
{
    const process_t &p = turn.m.processes[t.pid];
    switch (effect_of(p, sig)) {
    case signal_effect_t::handler:
        turn.out.does = how + signal_text(sig) + ": its handler runs";
        break;
    case signal_effect_t::end:
        turn.out.does = how + signal_text(sig) + ", which ends its process";
        turn.out.ending.push_back(t.pid);
        break;
    case signal_effect_t::stop:
        turn.out.does = how + signal_text(sig) + ", which stops its process";
        turn.out.stopped = t.pid;
        break;
    case signal_effect_t::nothing:
        turn.out.does = how + signal_text(sig) + ", which it ignores";
        break;
    }
}

// The processes a kill reaches: one, or (0, a group) all of the run's, or (-1) all but the
// sender's. The run's processes are one group, as the first of them made it.
std::vector<pid_t> reached(const model_t &m, pid_t sender, pid_t pid)
{
    std::vector<pid_t> found;
    for (const auto &[each, p] : m.processes)
        if (!p.dead && !p.unsteered && p.first_thread != kNobody &&
            (pid > 0 ? each == pid : pid == -1 ? each != sender : true))
            found.push_back(each);
    return found;
}

// Whether a thread of the sender's process other than the sender lets the signal through,
// or waits in sigwait for it. A thread not yet started has asked nothing: it may.
bool another_may_take(const model_t &m, int sender, int sig)
{
    const thread_t &from = m.threads[static_cast<std::size_t>(sender)];
    for (std::size_t id = 0; id < m.threads.size(); id++) {
        const thread_t &t = m.threads[id];
        if (static_cast<int>(id) == sender || t.pid != from.pid || t.state == thread_t::ended)
            continue;
        if (!has(t.sigmask, sig) || (t.state == thread_t::asking && t.asks.call == call_t::sigwait && has(static_cast<uint64_t>(t.asks.value), sig)))
            return true;
    }
    return false;
}

}  // namespace

signal_effect_t effect_of(const process_t &p, int sig)
{
    if (has(p.caught, sig))
        return signal_effect_t::handler;
    if (has(p.ignored, sig) || sig == SIGCHLD || sig == SIGCONT || sig == SIGURG || sig == SIGWINCH)
        return signal_effect_t::nothing;
    if (sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU)
        return signal_effect_t::stop;
    return signal_effect_t::end;
}

int arriving(model_t &m, const thread_t &t)
{
    if (t.state != thread_t::asking)
        return 0;
    const auto p = m.processes.find(t.pid);
    if (p == m.processes.end() || p->second.dead)
        return 0;
    // The lowest first, as the system chooses.
    int lowest = 0;
    const std::map<int, int> &mine = t.signals, &its = p->second.signals;
    for (const std::map<int, int> *waiting : {&mine, &its})
        for (const auto &[sig, n] : *waiting)
            if (n > 0 && !has(t.sigmask, sig) && effect_of(p->second, sig) != signal_effect_t::nothing &&
                (lowest == 0 || sig < lowest))
                lowest = sig;
    return lowest;
}

bool enters_the_system(const request_t &q)
{
    // Only calls that are system calls whatever happens (and reads, writes and calls on
    // files that the library marks so): a lock or a semaphore taken at once, a join of a
    // thread already ended, or a write that stdio keeps in its buffer stays in the program,
    // and a signal may wait past it.
    switch (q.call) {
    case call_t::start:  // a new thread comes out of the system into its first code
    case call_t::create:
    case call_t::fork:
    case call_t::exec:
    case call_t::wait:
    case call_t::kill:
    case call_t::sleep:
    case call_t::yield:
    case call_t::command:
    case call_t::alarm:
    case call_t::sigaction:
    case call_t::sigmask:
        return true;
    default:
        return (q.flags & steer::kSystemCall) != 0;
    }
}

bool child_died(model_t &m, pid_t child)
{
    const auto c = m.processes.find(child);
    if (c == m.processes.end())
        return false;
    const auto parent = m.processes.find(c->second.parent);
    if (parent == m.processes.end() || parent->second.dead || parent->second.unsteered)
        return false;
    // Only a parent that catches SIGCHLD, or holds it back to wait for it, would notice.
    bool held = false;
    for (const thread_t &t : m.threads)
        held = held || (t.pid == parent->first && t.state != thread_t::ended && has(t.sigmask, SIGCHLD));
    if (effect_of(parent->second, SIGCHLD) == signal_effect_t::nothing && !held)
        return false;
    calls::post_signal(m, parent->first, kNobody, SIGCHLD);
    return true;
}

namespace calls {

void post_signal(model_t &m, pid_t pid, int thread, int sig)
{
    const auto p = m.processes.find(pid);
    if (sig <= 0 || p == m.processes.end() || p->second.dead || p->second.unsteered)
        return;
    add_one(thread == kNobody ? p->second.signals : m.threads[static_cast<std::size_t>(thread)].signals, sig);
}

void send_signal(turn_t &turn)
{
    thread_t &t = turn.t();
    const int sig = static_cast<int>(t.asks.extra);
    turn.out.changed = true;
    const std::string what = sig == 0 ? "no signal (a look)" : signal_text(sig);
    // To one thread: pthread_kill, raise.
    if ((t.asks.flags & steer::kToThread) != 0) {
        const int target = t.asks.target;
        if (target == kNobody || turn.m.threads[static_cast<std::size_t>(target)].state == thread_t::ended) {
            turn.out.does = "sends " + what + " to a thread that has ended";
            return;
        }
        thread_t &to = turn.m.threads[static_cast<std::size_t>(target)];
        turn.out.does = "sends " + what + " to " + (target == turn.id ? std::string("itself") : to.name);
        if (sig == 0)
            return;
        if (target == turn.id && !has(t.sigmask, sig))
            arrives_now(turn, t, sig, "sends itself ");
        else
            post_signal(turn.m, t.pid, target, sig);
        return;
    }
    const pid_t victim = static_cast<pid_t>(t.asks.value);
    std::string whom = "process " + number(victim);
    if (victim <= 0)
        whom = victim == -1 ? "every other process" : "its process group";
    else if (auto it = turn.m.processes.find(victim); it != turn.m.processes.end())
        whom = victim == t.pid ? "its own process" : thread_name(turn.m, it->second.first_thread);
    turn.out.does = "sends " + what + " to " + whom;
    if (sig == 0)
        return;
    for (pid_t pid : reached(turn.m, t.pid, victim)) {
        if (sig == SIGKILL) {
            turn.out.ending.push_back(pid);
        } else if (sig == SIGSTOP) {
            turn.out.stopped = pid;
        } else if (pid == t.pid && !has(t.sigmask, sig) && !another_may_take(turn.m, turn.id, sig)) {
            // Only the sender lets it through: it arrives at the sender before kill returns.
            // Where another thread lets it through too, the system may give it to either
            // (Linux prefers the first thread), so it waits for the schedule to choose.
            arrives_now(turn, t, sig, "sends its own process ");
            turn.out.answer = steer::kToSender;
        } else {
            post_signal(turn.m, pid, kNobody, sig);
        }
    }
}

void change_action(turn_t &turn)
{
    thread_t &t = turn.t();
    process_t &p = turn.m.processes[t.pid];
    const int sig = static_cast<int>(t.asks.value);
    const auto disposition = static_cast<steer::disposition_t>(t.asks.extra);
    const uint64_t bit = sig > 0 && sig <= 64 ? uint64_t{1} << (sig - 1) : 0;
    p.caught = disposition == steer::kCaught ? p.caught | bit : p.caught & ~bit;
    p.ignored = disposition == steer::kIgnored ? p.ignored | bit : p.ignored & ~bit;
    turn.out.changed = true;
    turn.out.does = std::string("sets ") + signal_text(sig) + " to " +
                    (disposition == steer::kCaught ? "a handler" : disposition == steer::kIgnored ? "be ignored" : "its default");
    // A signal now ignored is dropped where it waits, held or not.
    if (effect_of(p, sig) == signal_effect_t::nothing && !(sig == SIGCHLD && disposition == steer::kDefault)) {
        p.signals.erase(sig);
        for (thread_t &each : turn.m.threads)
            if (each.pid == t.pid)
                each.signals.erase(sig);
    }
}

void let_through(turn_t &turn)
{
    thread_t &t = turn.t();
    t.sigmask = static_cast<uint64_t>(t.asks.value);
    turn.out.changed = true;
    turn.out.does = "changes its signal mask";
    // Every waiting signal it now lets through arrives before the call returns.
    for (int sig = arriving(turn.m, t); sig != 0; sig = arriving(turn.m, t)) {
        if (t.signals.contains(sig))
            take_one(t.signals, sig);
        else
            take_one(turn.m.processes[t.pid].signals, sig);
        const std::string before = turn.out.does;
        arrives_now(turn, t, sig, "lets through ");
        turn.out.does = before + "; " + turn.out.does;
        if (!turn.out.ending.empty() || turn.out.stopped != 0)
            break;
    }
}

bool can_take_signal(model_t &m, const thread_t &t)
{
    const auto p = m.processes.find(t.pid);
    const auto waits = [&](const std::map<int, int> &waiting) {
        return std::any_of(waiting.begin(), waiting.end(), [&](const auto &s) {
            return s.second > 0 && has(static_cast<uint64_t>(t.asks.value), s.first);
        });
    };
    return waits(t.signals) || (p != m.processes.end() && waits(p->second.signals));
}

void take_signal(turn_t &turn)
{
    thread_t &t = turn.t();
    process_t &p = turn.m.processes[t.pid];
    int lowest = 0;
    const std::map<int, int> &mine = t.signals, &its = p.signals;
    for (const std::map<int, int> *waiting : {&mine, &its})
        for (const auto &[sig, n] : *waiting)
            if (n > 0 && has(static_cast<uint64_t>(t.asks.value), sig) && (lowest == 0 || sig < lowest))
                lowest = sig;
    if (t.signals.contains(lowest))
        take_one(t.signals, lowest);
    else
        take_one(p.signals, lowest);
    turn.out.answer = lowest;
    turn.out.changed = true;
    turn.out.does = "takes " + signal_text(lowest) + ", which it waited for";
}

bool never(model_t &, const thread_t &)
{
    return false;
}

void suspend(turn_t &turn)
{
    turn.out.does = "waits for a signal";
}

void arrive(turn_t &turn)
{
    model_t &m = turn.m;
    thread_t &t = turn.t();
    const int sig = arriving(m, t);
    if (sig == 0)
        return;
    if (t.signals.contains(sig))
        take_one(t.signals, sig);
    else
        take_one(m.processes[t.pid].signals, sig);
    // In the middle of a wait: the thread could not go on, or sleeps. A condition's waiter
    // wakes (a wake-up with no signal, as POSIX allows), and so does a futex's.
    const call_t call = t.asks.call;
    const bool during = call == call_t::sleep || call == call_t::sigsuspend || !can_go(m, t);
    if (during && call == call_t::cond_wait && t.phase == thread_t::waiting) {
        std::erase(cond_of(m, t).cond.waiters, turn.id);
        t.phase = thread_t::woken;
    } else if (during && call == call_t::futex_park && t.phase == thread_t::waiting) {
        std::erase(futex_of(m, t).futex.parked, turn.id);
        t.phase = thread_t::none;
    } else if (during && call == call_t::io && t.phase == thread_t::waiting) {
        leaves_file_wait(m, turn.id);
    }
    turn.out.answer = (during ? steer::kArrivesDuring : steer::kArrivesBefore) - sig;
    turn.out.changed = true;
    arrives_now(turn, t, sig, during ? std::string("takes, in ") + call_name(call) + ", " : "takes ");
}

}  // namespace calls
}  // namespace interleave
