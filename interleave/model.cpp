#include "model.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "calls.h"
#include "names.h"

namespace interleave {

using namespace calls;

namespace {

// ---- where an object lives ----

// The mappings of a process that other processes may share, from /proc/PID/maps.
std::vector<mapping_t> shared_mappings(model_t &m, pid_t pid)
{
    std::vector<mapping_t> found;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, perms, offset, device;
        uint64_t inode = 0;
        if (!(fields >> range >> perms >> offset >> device >> inode) || perms.size() < 4 || perms[3] != 's')
            continue;
        mapping_t map;
        map.start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        map.end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        auto [id, added] = m.mapping_ids.try_emplace({device, inode}, m.mapping_ids.size());
        map.place = {kSharedSpace | id->second, std::stoull(offset, nullptr, 16)};
        found.push_back(map);
    }
    return found;
}

}  // namespace

place_t place_of(model_t &m, pid_t pid, uint64_t address)
{
    if (!m.forked)
        return {static_cast<uint64_t>(pid), address};
    if (auto it = m.places.find({pid, address}); it != m.places.end())
        return it->second;
    auto inside = [&](const mapping_t &map) { return address >= map.start && address < map.end; };
    std::vector<mapping_t> &maps = m.mappings[pid];
    if (std::none_of(maps.begin(), maps.end(), inside))
        maps = shared_mappings(m, pid);
    place_t place{static_cast<uint64_t>(pid), address};
    for (const mapping_t &map : maps)
        if (inside(map))
            place = {map.place.space, map.place.address + (address - map.start)};
    m.places[{pid, address}] = place;
    // Memory that two processes share at different addresses: turns are told apart by
    // address, so a search cannot say it tried every distinct order.
    if (place.space != static_cast<uint64_t>(pid))
        if (auto [at, added] = m.shared_at.try_emplace(place, address); !added && at->second != address)
            m.aliased = true;
    return place;
}

namespace {

// ---- the rules of each call ----

bool always(model_t &, const thread_t &)
{
    return true;
}

struct rules_t {
    bool (*can_go)(model_t &m, const thread_t &t);
    void (*apply)(turn_t &turn);
};

// Whether thread `t` can make its call now; the id is its place among the threads.
int id_of(const model_t &m, const thread_t &t)
{
    return static_cast<int>(&t - m.threads.data());
}

bool lockable(model_t &m, const thread_t &t)
{
    return can_lock(m, t, id_of(m, t));
}
bool readable(model_t &m, const thread_t &t)
{
    return can_read(m, t, id_of(m, t));
}
bool writable(model_t &m, const thread_t &t)
{
    return can_write(m, t, id_of(m, t));
}
bool cond_ready(model_t &m, const thread_t &t)
{
    return can_wait_or_wake(m, t, id_of(m, t));
}

void read_lock_now(turn_t &turn)
{
    read_lock(turn, false);
}
void read_lock_try(turn_t &turn)
{
    read_lock(turn, true);
}
void write_lock_now(turn_t &turn)
{
    write_lock(turn, false);
}
void write_lock_try(turn_t &turn)
{
    write_lock(turn, true);
}

constexpr std::array<rules_t, steer::kCalls> kRules = {{
    {always, start},
    {always, mutex_init},
    {lockable, mutex_lock},
    {always, mutex_trylock},
    {always, mutex_unlock},
    {always, mutex_destroy},
    {always, rwlock_init},
    {readable, read_lock_now},
    {always, read_lock_try},
    {writable, write_lock_now},
    {always, write_lock_try},
    {always, rwlock_unlock},
    {always, rwlock_destroy},
    {always, cond_init},
    {cond_ready, cond_wait},
    {always, cond_wake},
    {always, cond_wake},
    {always, cond_destroy},
    {always, sem_init},
    {can_take, sem_wait},
    {always, sem_trywait},
    {always, sem_post},
    {always, sem_destroy},
    {always, barrier_init},
    {can_pass, barrier_wait},
    {always, barrier_destroy},
    {can_begin_once, once},
    {always, once_done},
    {always, futex_wait},
    {woken, futex_park},
    {always, futex_wake},
    {always, create},
    {can_join, join},
    {always, detach},
    {always, cancel},
    {always, testcancel},
    {always, thread_exit},
    {always, fork_process},
    {always, exec_program},
    {can_reap, wait_child},
    {always, exit_process},
    {always, send_signal},
    {always, sleep_turn},
    {always, yield_turn},
    {always, write_output},
    {always, read_input},
    {always, run_command},
    {always, set_alarm},
    {always, sem_look},
    {always, memory_access},
    {always, memory_access},
    {always, memory_access},
    {always, memory_access},
    {always, let_through},
    {always, change_action},
    {never, suspend},
    {can_take_signal, take_signal},
    {can_use_file, use_file},
}};

const rules_t &rules_of(call_t call)
{
    return kRules[static_cast<std::size_t>(call)];
}

// A wait that can end by its deadline: the calls given one, while they cannot go on.
bool can_time_out(model_t &m, const thread_t &t)
{
    if (t.asks.deadline < 0)
        return false;
    switch (t.asks.call) {
    case call_t::cond_wait:
        return t.phase == thread_t::waiting;
    case call_t::futex_park:
        return t.phase != thread_t::woken;
    case call_t::mutex_lock:
    case call_t::rwlock_rdlock:
    case call_t::rwlock_wrlock:
    case call_t::sem_wait:
    case call_t::join:
    case call_t::sigwait:
        return !can_go(m, t);
    default:
        return false;
    }
}

bool can_wake_alone(const model_t &m, const thread_t &t)
{
    return m.spurious_left > 0 && (t.asks.call == call_t::cond_wait || t.asks.call == call_t::futex_park) &&
           t.phase == thread_t::waiting;
}

// A cancel takes effect at a cancellation point; in a condition wait, once the thread has
// its mutex back.
bool can_be_cancelled(model_t &m, const thread_t &t)
{
    if (!t.cancel_pending || (t.asks.flags & steer::kCancelEnabled) == 0 || !cancellation_point(t.asks))
        return false;
    return t.asks.call != call_t::cond_wait || t.phase == thread_t::none ||
           mutex_free_for(m, mutex_of(m, t, t.asks.object2).mutex, id_of(m, t));
}

void time_out(turn_t &turn)
{
    thread_t &t = turn.t();
    if (t.asks.call == call_t::cond_wait) {
        object_t &c = cond_of(turn.m, t);
        std::erase(c.cond.waiters, turn.id);
        t.phase = thread_t::timed_out;
        turn.out.tell = false;
        turn.out.changed = true;
        turn.out.does = "waits on " + c.name + " until its deadline: times out";
        return;
    }
    if (t.asks.call == call_t::futex_park) {
        object_t &f = futex_of(turn.m, t);
        std::erase(f.futex.parked, turn.id);
        t.phase = thread_t::none;
        turn.out.changed = true;
    }
    turn.out.answer = 0;
    if (t.asks.call == call_t::join) {
        turn.out.does = "waits for " + thread_name(turn.m, t.asks.target) + " to end until its deadline: times out";
        return;
    }
    if (t.asks.call == call_t::sigwait) {
        turn.out.does = "waits for a signal until its deadline: times out";
        return;
    }
    const kind_t kind = t.asks.call == call_t::mutex_lock ? kind_t::mutex
                        : t.asks.call == call_t::sem_wait ? kind_t::sem
                        : t.asks.call == call_t::futex_park ? kind_t::futex
                                                            : kind_t::rwlock;
    turn.out.does = "waits for " + asked(turn.m, t, kind).name + " until its deadline: times out";
}

void wake_alone(turn_t &turn)
{
    thread_t &t = turn.t();
    turn.m.spurious_left--;
    turn.out.changed = true;
    if (t.asks.call == call_t::cond_wait) {
        object_t &c = cond_of(turn.m, t);
        std::erase(c.cond.waiters, turn.id);
        t.phase = thread_t::woken;
        turn.out.tell = false;
        turn.out.does = "wakes from " + c.name + " with no signal (a spurious wake-up)";
        return;
    }
    object_t &f = futex_of(turn.m, t);
    std::erase(f.futex.parked, turn.id);
    t.phase = thread_t::none;
    turn.out.does = "wakes from " + f.name + " with no wake-up (a spurious one)";
}

void be_cancelled(turn_t &turn)
{
    thread_t &t = turn.t();
    turn.out.changed = true;
    turn.out.does = std::string("is cancelled in ") + call_name(t.asks.call);
    if (t.asks.call == call_t::cond_wait && t.phase != thread_t::none) {
        std::erase(cond_of(turn.m, t).cond.waiters, turn.id);
        take(turn, mutex_of(turn.m, t, t.asks.object2));
        t.phase = thread_t::none;
    }
    turn.out.answer = steer::kCancelled;
}

// The thread a join, detach or cancel names: the newest of this process's threads with
// that pthread_t that nobody has joined yet (the C library hands a joined thread's handle
// to the next one).
int thread_by_handle(const model_t &m, pid_t pid, uint64_t handle)
{
    for (std::size_t k = m.threads.size(); k-- > 0;) {
        const thread_t &t = m.threads[k];
        if (t.pid == pid && !t.process && t.handle == handle && !t.joined)
            return static_cast<int>(k);
    }
    for (std::size_t k = m.threads.size(); k-- > 0;)
        if (m.threads[k].pid == pid && m.threads[k].handle == handle)
            return static_cast<int>(k);
    return kNobody;
}

}  // namespace

model_t start_model(pid_t pid, const symbols_t &symbols, std::optional<watch::demo_t> demo, int spurious)
{
    model_t m;
    m.symbols = symbols;
    m.demo = demo;
    m.spurious_left = spurious;
    m.channels_used = 1;
    thread_t main;
    main.channel = 0;
    main.pid = pid;
    main.process = true;
    main.name = "main";
    main.state = thread_t::running;
    m.threads.push_back(main);
    m.processes[pid].pid = pid;
    m.processes[pid].first_thread = 0;
    return m;
}

object_t &object_of(model_t &m, const thread_t &t, kind_t kind, uint64_t address)
{
    const place_t place = place_of(m, t.pid, address);
    auto [it, added] = m.objects.try_emplace(place);
    object_t &o = it->second;
    if (!added && o.kind == kind)
        return o;
    o = object_t{};  // new, or memory used before for an object of another kind
    o.kind = kind;
    o.key = place;
    o.address = address;
    o.first_pid = t.pid;
    o.order = m.counted[static_cast<std::size_t>(kind)]++;
    name_object(m, o);
    return o;
}

std::string peek_name(model_t &m, const thread_t &t, kind_t kind, uint64_t address)
{
    if (auto it = m.objects.find(place_of(m, t.pid, address)); it != m.objects.end() && it->second.kind == kind)
        return it->second.name;
    const std::string name = variable_name(m, kind, address);
    return name.empty() ? std::string("a ") + kind_name(kind) : name;
}

void hear(model_t &m, int id, const steer::channel_t &c)
{
    thread_t &t = m.threads[static_cast<std::size_t>(id)];
    if (t.asks.call == call_t::exec && t.state == thread_t::running)
        m.processes[t.pid].execing = false;  // the exec failed: the thread goes on
    t.state = thread_t::asking;
    t.asked = true;
    t.heard++;
    t.asks = {c.call, c.object, c.object2, c.value, c.extra, c.deadline, c.flags, kNobody, c.buffer, c.buffer_size,
              c.buffer_code};
    if (t.pid == 0) {
        t.pid = c.pid;
        t.tid = c.tid;
    }
    if (t.heard == 1) {  // its first ask: its stack is known by now
        t.stack_low = c.stack_low;
        t.stack_high = c.stack_high;
        t.stack_top = c.stack_top;
    }
    t.tid = c.tid;
    t.sigmask = c.sigmask;
    if (t.handle == 0)
        t.handle = c.handle;
    if (auto p = m.processes.find(t.pid); p != m.processes.end()) {
        p->second.caught = c.caught;
        p->second.ignored = c.ignored;
    }
    if (c.call == call_t::sleep)
        t.asks.extra = m.clock;  // when it began to sleep
    if (c.call == call_t::join || c.call == call_t::detach || c.call == call_t::cancel ||
        (c.call == call_t::kill && (c.flags & steer::kToThread) != 0))
        t.asks.target = thread_by_handle(m, t.pid, c.object2);
    // A reader that found its pipe empty waits from the moment it asks: a write that comes
    // after wakes it. So does a writer that found it full, for a read, and an open of a
    // FIFO, for its other end.
    if (c.call == call_t::io && (c.flags & steer::kEmpty) != 0 && t.phase != thread_t::woken) {
        file_t &f = file_of(m, t);
        (c.extra == steer::kOpenToRead    ? f.want_writer
         : c.extra == steer::kOpenToWrite ? f.want_reader
         : c.extra == steer::kWrite       ? f.writers
                                          : f.readers)
            .push_back(id);
        t.phase = thread_t::waiting;
    }
    // A futex sleeper sleeps from the moment it asks: a wake that comes after finds it.
    if (c.call == call_t::futex_park && (c.flags & steer::kResumed) == 0) {
        futex_of(m, t).futex.parked.push_back(id);
        t.phase = thread_t::waiting;
    }
}

void program_started(model_t &m, int id, pid_t pid)
{
    process_t &p = m.processes[pid];
    p.pid = pid;
    p.parent = m.threads[static_cast<std::size_t>(id)].pid;
    p.first_thread = kNobody;
    p.unsteered = true;
}

void process_execed(model_t &m, pid_t pid)
{
    process_t &p = m.processes[pid];
    p.execing = false;
    p.unsteered = true;
    m.others_ran = true;
    descriptors_closed(m);
    for (std::size_t k = 0; k < m.threads.size(); k++)
        if (m.threads[k].pid == pid)
            thread_ended(m, static_cast<int>(k), false);  // it may still use its channel: not reused before it dies
}

void thread_ended(model_t &m, int id, bool free_channel)
{
    thread_t &t = m.threads[static_cast<std::size_t>(id)];
    if (t.state != thread_t::ended) {
        t.state = thread_t::ended;
        t.signals.clear();
        for (auto &[place, o] : m.objects) {
            std::erase(o.cond.waiters, id);
            std::erase(o.futex.parked, id);
        }
    }
    if (free_channel && t.channel >= 0) {
        m.free_channels.push_back(t.channel);
        t.channel = -1;
    }
}

void process_died(model_t &m, pid_t pid)
{
    process_t &p = m.processes[pid];
    p.dead = true;
    p.signals.clear();
    descriptors_closed(m);
    for (std::size_t k = 0; k < m.threads.size(); k++)
        if (m.threads[k].pid == pid)
            thread_ended(m, static_cast<int>(k));
    // Its own memory is gone, and the objects in it.
    std::erase_if(m.objects, [&](const auto &entry) { return entry.first.space == static_cast<uint64_t>(pid); });
}

void child_started(model_t &m, int id, pid_t pid)
{
    thread_t &child = m.threads[static_cast<std::size_t>(id)];
    const int forker = child.parent;
    const pid_t parent = m.threads[static_cast<std::size_t>(forker)].pid;
    m.processes[pid] = process_t{};
    m.processes[pid].pid = pid;
    m.processes[pid].parent = parent;
    m.processes[pid].first_thread = id;
    // It does with each signal what its parent does; none waits for it yet.
    m.processes[pid].caught = m.processes[parent].caught;
    m.processes[pid].ignored = m.processes[parent].ignored;
    // The parent's objects: those in memory it shares stay one object; those in its own
    // memory the child gets a copy of, as they were. The thread that forked goes on in
    // the child as its only thread; a lock another thread held stays held in the copy,
    // by a thread the child does not have.
    m.forked = true;
    std::vector<std::pair<place_t, object_t>> copies;
    for (auto it = m.objects.begin(); it != m.objects.end();) {
        if (it->first.space != static_cast<uint64_t>(parent)) {
            ++it;
            continue;
        }
        m.places.erase({parent, it->second.address});
        const place_t place = place_of(m, parent, it->second.address);
        if (place.space != static_cast<uint64_t>(parent)) {
            object_t moved = it->second;
            moved.key = place;
            it = m.objects.erase(it);
            m.objects.emplace(place, moved);
            continue;
        }
        copies.push_back({{static_cast<uint64_t>(pid), it->first.address}, it->second});
        ++it;
    }
    auto mine = [&](int holder) { return holder == forker ? id : kNobody; };
    for (auto &[place, o] : copies) {
        o.key = place;
        if (o.mutex.holder != kNobody && o.mutex.holder != forker)
            o.mutex.held_at_fork = thread_name(m, o.mutex.holder) + " (in the parent, before the fork)";
        o.mutex.holder = mine(o.mutex.holder);
        o.rwlock.writer = mine(o.rwlock.writer);
        std::map<int, int> readers;
        if (auto r = o.rwlock.readers.find(forker); r != o.rwlock.readers.end())
            readers[id] = r->second;
        o.rwlock.readers = readers;
        o.cond.waiters.clear();
        o.futex.parked.clear();
        std::vector<int> takers;
        for (int taker : o.sem.takers)
            if (taker == forker)
                takers.push_back(id);
        o.sem.takers = takers;
        for (int &arrived : o.barrier.arrived)
            arrived = kNobody;
        if (o.once.state == once_t::running)
            o.once = o.once.runner == forker ? once_t{once_t::running, id} : once_t{};
        m.objects[place] = o;
    }
}

bool cancellation_point(const request_t &q)
{
    if ((q.flags & steer::kCancellationPoint) != 0)  // a read, a write, a wait for a signal...
        return true;
    switch (q.call) {
    case call_t::cond_wait:
    case call_t::sem_wait:
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

bool can_go(model_t &m, const thread_t &t)
{
    return rules_of(t.asks.call).can_go(m, t);
}

std::vector<action_t> actions_now(model_t &m)
{
    std::vector<action_t> found;
    for (auto &[pid, p] : m.processes)
        if (const process_t::timer_t *soonest = next_timer(p); soonest != nullptr && !p.dead && !p.unsteered &&
                                                               p.first_thread != kNobody)
            found.push_back({p.first_thread, 'a', std::max(m.clock, soonest->at)});
    for (std::size_t k = 0; k < m.threads.size(); k++) {
        thread_t &t = m.threads[k];
        const int id = static_cast<int>(k);
        if (t.state != thread_t::asking)
            continue;
        if (can_be_cancelled(m, t)) {
            found.push_back({id, 'c', m.clock});
            continue;
        }
        if (arriving(m, t) != 0) {
            found.push_back({id, 'g', m.clock});
            if (enters_the_system(t.asks))
                continue;  // the signal arrives first, or in the call: the call cannot end before it
        }
        if (can_go(m, t))
            found.push_back({id, 'r', t.asks.call == call_t::sleep ? std::max(m.clock, t.asks.deadline) : m.clock});
        if (can_time_out(m, t))
            found.push_back({id, 't', std::max(m.clock, t.asks.deadline)});
        if (can_wake_alone(m, t))
            found.push_back({id, 's', m.clock});
    }
    return found;
}

outcome_t apply(model_t &m, const action_t &a)
{
    outcome_t out;
    turn_t turn{m, a.thread, out};
    m.clock = std::max(m.clock, a.at);  // time passes to a sleep's or a timeout's end
    switch (a.how) {
    case 'a': {
        // The soonest timer of the process whose first thread this is sends its signal.
        const pid_t pid = m.threads[static_cast<std::size_t>(a.thread)].pid;
        process_t &p = m.processes[pid];
        process_t::timer_t *timer = next_timer(p);
        out.fired = *timer;
        timer->at = timer->every > 0 ? timer->at + timer->every : -1;
        out.alarm_to = pid;
        out.tell = false;
        out.changed = true;
        int target = kNobody;
        for (std::size_t k = 0; k < m.threads.size(); k++)
            if (out.fired.tid != 0 && m.threads[k].pid == pid && m.threads[k].tid == out.fired.tid &&
                m.threads[k].state != thread_t::ended)
                target = static_cast<int>(k);
        out.does = out.fired.sig == 0 ? "(a timer of its process) runs out"
                                      : "(a timer of its process) sends " +
                                            (target == kNobody ? std::string("it") : thread_name(m, target)) + " signal " +
                                            std::to_string(out.fired.sig) + " (" + strsignal(out.fired.sig) + ")";
        post_signal(m, pid, target, out.fired.sig);
        break;
    }
    case 'g':
        arrive(turn);
        break;
    case 'c':
        be_cancelled(turn);
        break;
    case 't':
        time_out(turn);
        break;
    case 's':
        wake_alone(turn);
        break;
    default:
        rules_of(turn.t().asks.call).apply(turn);
        break;
    }
    return out;
}

process_t::timer_t *next_timer(process_t &p)
{
    process_t::timer_t *soonest = nullptr;
    for (auto &[number, timer] : p.timers)
        if (timer.at >= 0 && (soonest == nullptr || timer.at < soonest->at))
            soonest = &timer;
    return soonest;
}

bool all_ended(const model_t &m, pid_t pid)
{
    return std::all_of(m.threads.begin(), m.threads.end(),
                       [&](const thread_t &t) { return t.pid != pid || t.state == thread_t::ended; });
}

}  // namespace interleave
