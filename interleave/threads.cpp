// The calls on threads and processes, and the sleeps, yields, writes and reads, as the
// model plays them.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <sys/wait.h>

#include "calls.h"

namespace interleave::calls {

// ---- threads ----

bool target_ended(const model_t &m, const thread_t &t)
{
    return t.asks.target == kNobody || m.threads[static_cast<std::size_t>(t.asks.target)].state == thread_t::ended ||
           t.asks.target == static_cast<int>(&t - m.threads.data());
}

bool can_join(model_t &m, const thread_t &t)
{
    return target_ended(m, t) || (t.asks.flags & steer::kTry) != 0;
}

int new_thread(model_t &m, int parent, bool process)
{
    int channel;
    if (!m.free_channels.empty()) {
        channel = m.free_channels.back();
        m.free_channels.pop_back();
    } else if (m.channels_used < steer::kChannels) {
        channel = m.channels_used++;
    } else {
        return kNobody;
    }
    thread_t t;
    t.channel = channel;
    t.parent = parent;
    t.process = process;
    t.pid = process ? 0 : m.threads[static_cast<std::size_t>(parent)].pid;
    t.state = process ? thread_t::coming : thread_t::running;
    m.threads.push_back(t);
    return static_cast<int>(m.threads.size()) - 1;
}

void start(turn_t &turn)
{
    const thread_t &t = turn.t();
    turn.out.changed = true;
    turn.out.does = turn.id == 0 ? "starts the program" : t.process ? "starts, a new process" : "starts";
}

void create(turn_t &turn)
{
    const int id = new_thread(turn.m, turn.id, false);
    turn.out.changed = true;
    if (id == kNobody) {
        turn.out.limit = true;
        turn.out.tell = false;
        turn.out.does = "creates a thread: more than interleave can steer at once";
        return;
    }
    thread_t &t = turn.m.threads[static_cast<std::size_t>(id)];
    t.routine = static_cast<uint64_t>(turn.t().asks.extra);
    t.detached = (turn.t().asks.flags & steer::kDetached) != 0;
    name_thread(turn.m, id, t.routine >= turn.m.base && t.routine != 0
                                ? function_name(turn.m.symbols, t.routine - turn.m.base)
                                : "");
    turn.out.answer = t.channel;
    turn.out.new_thread = id;
    turn.out.does = "creates " + t.name;
}

void join(turn_t &turn)
{
    const int target = turn.t().asks.target;
    turn.out.changed = true;
    if (target == kNobody) {
        turn.out.does = "joins a thread interleave did not start";
        return;
    }
    thread_t &other = turn.m.threads[static_cast<std::size_t>(target)];
    turn.out.does = "joins " + other.name;
    if (!target_ended(turn.m, turn.t())) {
        turn.out.answer = 0;
        turn.out.changed = false;
        turn.out.does = "tries to join " + other.name + ": it has not ended";
        return;
    }
    if (target == turn.id) {
        turn.out.does += ", itself: EDEADLK";
        return;
    }
    if (other.joined || other.detached) {
        turn.misuse("a thread is joined once, and only if it is joinable",
                    turn.t().name + " joined " + other.name + ", which was " +
                        (other.detached ? "detached" : "joined already"));
        return;
    }
    other.joined = true;
}

void detach(turn_t &turn)
{
    const int target = turn.t().asks.target;
    turn.out.changed = true;
    turn.out.does = "detaches " + thread_name(turn.m, target);
    if (target != kNobody)
        turn.m.threads[static_cast<std::size_t>(target)].detached = true;
}

void cancel(turn_t &turn)
{
    const int target = turn.t().asks.target;
    turn.out.changed = true;
    turn.out.does = "cancels " + thread_name(turn.m, target);
    if (target != kNobody)
        turn.m.threads[static_cast<std::size_t>(target)].cancel_pending = true;
}

void testcancel(turn_t &turn)
{
    turn.out.does = "looks for a cancel: none to take";
}

void thread_exit(turn_t &turn)
{
    turn.out.changed = true;
    turn.out.does = "ends its thread";
}

// ---- processes ----

void fork_process(turn_t &turn)
{
    const int id = new_thread(turn.m, turn.id, true);
    turn.out.changed = true;
    if (id == kNobody) {
        turn.out.limit = true;
        turn.out.tell = false;
        turn.out.does = "forks: more than interleave can steer at once";
        return;
    }
    name_thread(turn.m, id, "");
    turn.out.answer = turn.m.threads[static_cast<std::size_t>(id)].channel;
    turn.out.new_thread = id;
    turn.out.does = "forks " + turn.m.threads[static_cast<std::size_t>(id)].name;
}

void exec_program(turn_t &turn)
{
    turn.m.processes[turn.t().pid].execing = true;
    turn.m.others_ran = true;  // the exec may be seen to succeed only after the run
    turn.out.changed = true;
    turn.out.does = "starts another program (exec), which interleave does not steer";
}

void run_command(turn_t &turn)
{
    turn.out.changed = true;
    turn.out.does = "runs another program, which interleave does not steer";
    turn.m.others_ran = true;
}

// The children of a thread's process that a wait may reap, or that have died.
bool child_matches(const thread_t &t, const process_t &p)
{
    return p.parent == t.pid && !p.reaped && (t.asks.value <= 0 || t.asks.value == p.pid);
}

bool can_reap(model_t &m, const thread_t &t)
{
    if ((t.asks.flags & steer::kNoHang) != 0)
        return true;
    bool any = false;
    for (const auto &[pid, p] : m.processes) {
        if (!child_matches(t, p))
            continue;
        if (p.dead)
            return true;
        any = true;
    }
    return !any;  // no child to wait for: it returns at once
}

void wait_child(turn_t &turn)
{
    const thread_t &t = turn.t();
    turn.out.does = "waits for a child process";
    for (auto &[pid, p] : turn.m.processes)
        if (child_matches(t, p) && p.dead) {
            p.reaped = true;
            turn.out.changed = true;
            turn.out.does += ": " + thread_name(turn.m, p.first_thread) + " has ended";
            return;
        }
    turn.out.does += (t.asks.flags & steer::kNoHang) != 0 ? ": none has ended" : ": it has none";
}

void exit_process(turn_t &turn)
{
    turn.out.changed = true;
    const request_t &q = turn.t().asks;
    turn.out.does = (q.flags & steer::kHandlersRun) != 0
                        ? "has run its exit handlers: its process ends, with status " + number(static_cast<long>(q.value))
                        : "exits with status " + number(static_cast<long>(q.value));
}

// ---- sleeps, yields, output and input ----

std::string duration_text(int64_t ns)
{
    if (ns <= 0)
        return "0 s";
    if (ns % 1000000000 == 0)
        return number(static_cast<long>(ns / 1000000000)) + " s";
    if (ns >= 1000000 && ns % 1000000 == 0)
        return number(static_cast<long>(ns / 1000000)) + " ms";
    return number(static_cast<long>(ns / 1000)) + " us";
}

void sleep_turn(turn_t &turn)
{
    const request_t &q = turn.t().asks;
    turn.out.does = "sleeps " + duration_text(q.deadline - q.extra);
}

void set_alarm(turn_t &turn)
{
    process_t &p = turn.m.processes[turn.t().pid];
    const request_t &q = turn.t().asks;
    process_t::timer_t &timer = p.timers[q.object];
    turn.out.answer = timer.at < 0 ? 0 : std::max<int64_t>(timer.at - turn.m.clock, 0);
    if ((q.flags & steer::kTry) != 0) {
        turn.out.does = "looks at a timer of its process";
        return;
    }
    timer.at = q.value > 0 ? turn.m.clock + q.value : -1;
    timer.every = q.value > 0 ? q.extra : 0;
    timer.sig = static_cast<int>(q.object2 & 255);
    timer.tid = static_cast<int>(q.object2 >> 8);
    timer.value = q.deadline;
    turn.out.changed = true;
    const std::string what = timer.sig == 0 ? "" : std::string(" for SIG") + sigabbrev_np(timer.sig);
    turn.out.does = q.value > 0 ? "sets a timer" + what + " in " + duration_text(q.value) : "cancels a timer";
}

void yield_turn(turn_t &turn)
{
    turn.out.does = "yields";
}

void write_output(turn_t &turn)
{
    const request_t &q = turn.t().asks;
    turn.out.changed = true;
    if ((q.flags & steer::kWroteOut) != 0)
        turn.out.does = "returns from writing out what it printed";
    else
        turn.out.does = q.value == 2 ? "writes to standard error" : "writes";
}

void read_input(turn_t &turn)
{
    turn.out.changed = true;
    turn.out.does = "reads its input";
}

}  // namespace interleave::calls
