#include "model.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "names.h"

namespace interleave {
namespace {

constexpr uint64_t kSharedSpace = uint64_t{1} << 63;

std::string number(long n)
{
    return std::to_string(n);
}

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

object_t &mutex_of(model_t &m, const thread_t &t, uint64_t address)
{
    object_t &o = object_of(m, t, kind_t::mutex, address);
    if (address == t.asks.object && t.asks.call != call_t::cond_wait) {
        o.mutex.recursive = (t.asks.flags & steer::kRecursive) != 0;
        o.mutex.error_check = (t.asks.flags & steer::kErrorCheck) != 0;
        o.mutex.robust = (t.asks.flags & steer::kRobust) != 0;
    }
    return o;
}

object_t &asked(model_t &m, const thread_t &t, kind_t kind)
{
    return kind == kind_t::mutex ? mutex_of(m, t, t.asks.object) : object_of(m, t, kind, t.asks.object);
}

// ---- what every call needs ----

struct turn_t {
    model_t &m;
    int id;
    outcome_t &out;
    thread_t &t() { return m.threads[static_cast<std::size_t>(id)]; }
    std::string name(int thread) const { return thread_name(m, thread); }
    void misuse(const std::string &rule, const std::string &why)
    {
        out.misuse = rule;
        out.misuse_why = why;
        out.tell = false;
    }
};

// A process uses an object that lives in memory it shares with others: the object must be
// set up to be shared, or the wake-ups of one process never reach the other.
void shared_use(turn_t &turn, object_t &o)
{
    const thread_t &t = turn.t();
    if (o.shared || (o.key.space & kSharedSpace) == 0 || o.first_pid == t.pid || turn.out.misuse)
        return;
    turn.misuse("an object that processes share is set up to be shared between processes",
                t.name + " used " + o.name + ", which was set up for one process only (pshared 0)");
}

std::string holder_text(const turn_t &turn, const mutex_t &mutex)
{
    if (mutex.holder != kNobody)
        return turn.name(mutex.holder);
    return mutex.held_at_fork ? *mutex.held_at_fork : "nobody";
}

// ---- mutexes ----

// A robust mutex whose holder ended (or is not in this process) holding it.
bool owner_gone(const model_t &m, const mutex_t &mutex)
{
    return mutex.robust && (mutex.held_at_fork || (mutex.holder != kNobody &&
                                                   m.threads[static_cast<std::size_t>(mutex.holder)].state == thread_t::ended));
}

bool mutex_free_for(const model_t &m, const mutex_t &mutex, int id)
{
    if (owner_gone(m, mutex))
        return true;
    return !mutex.held_at_fork &&
           (mutex.holder == kNobody || (mutex.holder == id && (mutex.recursive || mutex.error_check)));
}

bool can_lock(model_t &m, const thread_t &t, int id)
{
    return mutex_free_for(m, mutex_of(m, t, t.asks.object).mutex, id);
}

void take(turn_t &turn, object_t &o)
{
    mutex_t &mutex = o.mutex;
    if (owner_gone(turn.m, mutex)) {
        mutex.holder = kNobody;
        mutex.held_at_fork.reset();
    }
    if (mutex.holder == turn.id) {
        mutex.depth++;
        turn.out.changed = turn.out.own = true;
        return;
    }
    mutex.holder = turn.id;
    mutex.depth = 1;
    turn.out.changed = true;
    turn.out.effect.fork = o.fork;
    turn.out.effect.took = true;
    turn.out.effect.locked = o.order;
}

void mutex_init(turn_t &turn)
{
    object_t &o = asked(turn.m, turn.t(), kind_t::mutex);
    o.mutex = {};
    o.mutex.recursive = (turn.t().asks.flags & steer::kRecursive) != 0;
    o.mutex.error_check = (turn.t().asks.flags & steer::kErrorCheck) != 0;
    o.shared = (turn.t().asks.flags & steer::kShared) != 0;
    o.destroyed = false;
    turn.out.changed = true;
    turn.out.does = "sets up " + o.name +
                    (o.mutex.recursive ? " (recursive)" : o.mutex.error_check ? " (error-checking)" : "");
}

void mutex_lock(turn_t &turn)
{
    object_t &o = asked(turn.m, turn.t(), kind_t::mutex);
    shared_use(turn, o);
    if (o.mutex.holder == turn.id && o.mutex.error_check) {
        turn.out.does = "locks " + o.name + ", which it holds already: EDEADLK";
        return;
    }
    if (owner_gone(turn.m, o.mutex)) {
        turn.out.does = "locks " + o.name + ", whose holder ended holding it: EOWNERDEAD";
        take(turn, o);
        return;
    }
    take(turn, o);
    turn.out.does = "locks " + o.name + (o.mutex.depth > 1 ? " again (" + number(o.mutex.depth) + " deep)" : "");
}

void mutex_trylock(turn_t &turn)
{
    object_t &o = asked(turn.m, turn.t(), kind_t::mutex);
    shared_use(turn, o);
    const bool free = owner_gone(turn.m, o.mutex) ||
                      (!o.mutex.held_at_fork &&
                       (o.mutex.holder == kNobody || (o.mutex.holder == turn.id && o.mutex.recursive)));
    if (!free) {
        turn.out.answer = 0;
        turn.out.does = "tries " + o.name + ": " + holder_text(turn, o.mutex) + " holds it";
        return;
    }
    take(turn, o);
    turn.out.does = "tries " + o.name + ": takes it" + (o.mutex.depth > 1 ? " again" : "");
}

void mutex_unlock(turn_t &turn)
{
    object_t &o = asked(turn.m, turn.t(), kind_t::mutex);
    mutex_t &mutex = o.mutex;
    shared_use(turn, o);
    turn.out.does = "unlocks " + o.name;
    if (mutex.holder != turn.id) {
        if (mutex.recursive || mutex.error_check) {
            turn.out.does += ", which it does not hold: EPERM";
            return;
        }
        turn.misuse("a mutex is unlocked only by the thread that holds it",
                    turn.t().name + " unlocked " + o.name + ", which " +
                        (mutex.holder == kNobody && !mutex.held_at_fork ? std::string("nobody held")
                                                                        : holder_text(turn, mutex) + " held"));
        return;
    }
    if (--mutex.depth > 0) {
        turn.out.does += " (" + number(mutex.depth) + " deep still)";
        turn.out.changed = turn.out.own = true;
        return;
    }
    mutex.holder = kNobody;
    turn.out.changed = true;
    turn.out.effect.fork = o.fork;
    turn.out.effect.unlocked = o.order;
}

void mutex_destroy(turn_t &turn)
{
    object_t &o = asked(turn.m, turn.t(), kind_t::mutex);
    turn.out.does = "destroys " + o.name;
    if (o.mutex.holder != kNobody)
        turn.misuse("a mutex is destroyed only when nobody holds it",
                    turn.t().name + " destroyed " + o.name + " while " + turn.name(o.mutex.holder) + " held it");
    o.destroyed = true;
    turn.out.changed = true;
}

// ---- read-write locks ----

bool writer_waits(model_t &m, const object_t &o)
{
    for (thread_t &other : m.threads)
        if (other.state == thread_t::asking && other.asks.call == call_t::rwlock_wrlock &&
            place_of(m, other.pid, other.asks.object) == o.key)
            return true;
    return false;
}

bool can_read(model_t &m, const thread_t &t, int id)
{
    object_t &o = asked(m, t, kind_t::rwlock);
    if (o.rwlock.writer == id)
        return true;  // EDEADLK
    return o.rwlock.writer == kNobody && !(o.rwlock.writers_first && writer_waits(m, o));
}

bool can_write(model_t &m, const thread_t &t, int id)
{
    object_t &o = asked(m, t, kind_t::rwlock);
    return o.rwlock.writer == id || (o.rwlock.writer == kNobody && o.rwlock.readers.empty());
}

object_t &rwlock_of(turn_t &turn)
{
    object_t &o = asked(turn.m, turn.t(), kind_t::rwlock);
    o.rwlock.writers_first = (turn.t().asks.flags & steer::kWritersFirst) != 0;
    shared_use(turn, o);
    return o;
}

void rwlock_init(turn_t &turn)
{
    object_t &o = rwlock_of(turn);
    o.rwlock = {};
    o.rwlock.writers_first = (turn.t().asks.flags & steer::kWritersFirst) != 0;
    o.shared = (turn.t().asks.flags & steer::kShared) != 0;
    o.destroyed = false;
    turn.out.changed = true;
    turn.out.does = "sets up " + o.name;
}

void read_lock(turn_t &turn, bool trying)
{
    object_t &o = rwlock_of(turn);
    const std::string what = trying ? "tries " + o.name + " to read" : "takes " + o.name + " to read";
    if (o.rwlock.writer == turn.id) {
        turn.out.does = what + ", which it holds to write: " + (trying ? "EBUSY" : "EDEADLK");
        turn.out.answer = trying ? 0 : 1;
        return;
    }
    if (trying && !can_read(turn.m, turn.t(), turn.id)) {
        turn.out.answer = 0;
        turn.out.does = what + ": " + (o.rwlock.writer != kNobody ? turn.name(o.rwlock.writer) + " writes" : "a writer waits");
        return;
    }
    o.rwlock.readers[turn.id]++;
    turn.out.changed = true;
    turn.out.does = what + (o.rwlock.readers.size() > 1 ? " (" + number(static_cast<long>(o.rwlock.readers.size())) + " readers)" : "");
}

void write_lock(turn_t &turn, bool trying)
{
    object_t &o = rwlock_of(turn);
    const std::string what = trying ? "tries " + o.name + " to write" : "takes " + o.name + " to write";
    if (o.rwlock.writer == turn.id) {
        turn.out.does = what + ", which it holds already: " + (trying ? "EBUSY" : "EDEADLK");
        turn.out.answer = trying ? 0 : 1;
        return;
    }
    if (trying && !can_write(turn.m, turn.t(), turn.id)) {
        turn.out.answer = 0;
        turn.out.does = what + ": held";
        return;
    }
    o.rwlock.writer = turn.id;
    turn.out.changed = true;
    turn.out.does = what;
}

void rwlock_unlock(turn_t &turn)
{
    object_t &o = rwlock_of(turn);
    turn.out.does = "lets go of " + o.name;
    turn.out.changed = true;
    if (o.rwlock.writer == turn.id) {
        o.rwlock.writer = kNobody;
    } else if (auto it = o.rwlock.readers.find(turn.id); it != o.rwlock.readers.end()) {
        if (--it->second == 0)
            o.rwlock.readers.erase(it);
    } else {
        turn.misuse("a read-write lock is unlocked only by a thread that holds it",
                    turn.t().name + " unlocked " + o.name + ", which it did not hold");
    }
}

void rwlock_destroy(turn_t &turn)
{
    object_t &o = rwlock_of(turn);
    turn.out.does = "destroys " + o.name;
    if (o.rwlock.writer != kNobody || !o.rwlock.readers.empty())
        turn.misuse("a read-write lock is destroyed only when nobody holds it",
                    turn.t().name + " destroyed " + o.name + " while " +
                        turn.name(o.rwlock.writer != kNobody ? o.rwlock.writer : o.rwlock.readers.begin()->first) +
                        " held it");
    o.destroyed = true;
    turn.out.changed = true;
}

// ---- condition variables ----

object_t &cond_of(model_t &m, const thread_t &t)
{
    object_t &o = object_of(m, t, kind_t::cond, t.asks.object);
    if ((t.asks.flags & steer::kShared) != 0)
        o.shared = true;
    return o;
}

bool can_wait_or_wake(model_t &m, const thread_t &t, int id)
{
    if (t.phase == thread_t::none)
        return true;
    return (t.phase == thread_t::woken || t.phase == thread_t::timed_out) &&
           mutex_free_for(m, mutex_of(m, t, t.asks.object2).mutex, id);
}

void cond_init(turn_t &turn)
{
    object_t &o = cond_of(turn.m, turn.t());
    o.cond = {};
    o.shared = (turn.t().asks.flags & steer::kShared) != 0;
    turn.out.changed = true;
    turn.out.does = "sets up " + o.name;
}

void cond_wait(turn_t &turn)
{
    thread_t &t = turn.t();
    object_t &c = cond_of(turn.m, t);
    shared_use(turn, c);
    object_t &mo = mutex_of(turn.m, t, t.asks.object2);
    turn.out.changed = true;
    if (t.phase == thread_t::none) {
        turn.out.does = "waits on " + c.name + ", letting go of " + mo.name;
        if (mo.mutex.holder != turn.id) {
            turn.misuse("a condition is waited on with its mutex held",
                        t.name + " waited on " + c.name + " without holding " + mo.name);
            return;
        }
        if (!c.cond.waiters.empty() && c.cond.mutex != mo.key) {
            turn.misuse("the waiters on a condition variable wait with one mutex",
                        t.name + " waited on " + c.name + " with " + mo.name + ", while others wait on it with another");
            return;
        }
        c.cond.mutex = mo.key;
        // The library let the real mutex go once: so does the model.
        if (--mo.mutex.depth == 0) {
            mo.mutex.holder = kNobody;
            turn.out.effect.unlocked = mo.order;
        }
        c.cond.waiters.push_back(turn.id);
        t.phase = thread_t::waiting;
        turn.out.tell = false;
        return;
    }
    turn.out.does = (t.phase == thread_t::timed_out ? "is back from " : "wakes from ") + c.name + ", takes " +
                    mo.name + " back";
    turn.out.answer = t.phase != thread_t::timed_out;
    take(turn, mo);
    t.phase = thread_t::none;
}

void cond_wake(turn_t &turn)
{
    object_t &c = cond_of(turn.m, turn.t());
    shared_use(turn, c);
    const bool all = turn.t().asks.call == call_t::cond_broadcast;
    std::string woken;
    while (!c.cond.waiters.empty()) {
        const int w = c.cond.waiters.front();
        c.cond.waiters.erase(c.cond.waiters.begin());
        turn.m.threads[static_cast<std::size_t>(w)].phase = thread_t::woken;
        woken += (woken.empty() ? "" : ", ") + turn.name(w);
        turn.out.changed = true;
        if (!all)
            break;
    }
    turn.out.does = (all ? "broadcasts " : "signals ") + c.name + (woken.empty() ? ": nobody waits" : ": wakes " + woken);
}

void cond_destroy(turn_t &turn)
{
    object_t &c = cond_of(turn.m, turn.t());
    turn.out.does = "destroys " + c.name;
    if (!c.cond.waiters.empty())
        turn.misuse("a condition variable is destroyed only when nobody waits on it",
                    turn.t().name + " destroyed " + c.name + " while " + turn.name(c.cond.waiters.front()) +
                        " waited on it");
    turn.out.changed = true;
}

// ---- semaphores ----

object_t &sem_of(model_t &m, const thread_t &t)
{
    const std::size_t before = m.objects.size();
    object_t &o = object_of(m, t, kind_t::sem, t.asks.object);
    if (m.objects.size() != before && t.asks.call != call_t::sem_init) {
        // First seen without its set-up (a named semaphore, opened): as it is now.
        o.sem.count = t.asks.value;
        o.shared = (t.asks.flags & steer::kShared) != 0;
    }
    return o;
}

bool can_take(model_t &m, const thread_t &t)
{
    return sem_of(m, t).sem.count > 0;
}

std::string sem_text(const object_t &o)
{
    return o.name + " (" + number(o.sem.count) + " left)";
}

void sem_init(turn_t &turn)
{
    object_t &o = sem_of(turn.m, turn.t());
    o.sem = {turn.t().asks.value, {}};
    o.shared = (turn.t().asks.flags & steer::kShared) != 0;
    o.destroyed = false;
    turn.out.changed = true;
    turn.out.does = "sets up " + o.name + " at " + number(o.sem.count);
}

void sem_take(turn_t &turn, object_t &o)
{
    o.sem.count--;
    o.sem.takers.push_back(turn.id);
    turn.out.changed = true;
    turn.out.effect.fork = o.fork;
    turn.out.effect.took = true;
}

void sem_wait(turn_t &turn)
{
    object_t &o = sem_of(turn.m, turn.t());
    shared_use(turn, o);
    sem_take(turn, o);
    turn.out.does = "takes " + sem_text(o);
}

void sem_trywait(turn_t &turn)
{
    object_t &o = sem_of(turn.m, turn.t());
    shared_use(turn, o);
    if (o.sem.count <= 0) {
        turn.out.answer = 0;
        turn.out.does = "tries " + o.name + ": none left";
        return;
    }
    sem_take(turn, o);
    turn.out.does = "tries " + o.name + ": takes it (" + number(o.sem.count) + " left)";
}

void sem_look(turn_t &turn)
{
    object_t &o = sem_of(turn.m, turn.t());
    shared_use(turn, o);
    turn.out.does = "looks at " + sem_text(o);
}

void sem_post(turn_t &turn)
{
    object_t &o = sem_of(turn.m, turn.t());
    shared_use(turn, o);
    o.sem.count++;
    std::vector<int> &takers = o.sem.takers;
    if (auto it = std::find(takers.begin(), takers.end(), turn.id); it != takers.end())
        takers.erase(it);
    else if (!takers.empty())
        takers.erase(takers.begin());
    turn.out.changed = true;
    turn.out.effect.fork = o.fork;
    turn.out.does = "posts " + o.name + " (" + number(o.sem.count) + " now)";
}

bool waits_on(model_t &m, const object_t &o, call_t call)
{
    for (thread_t &other : m.threads)
        if (other.state == thread_t::asking && other.asks.call == call && !can_go(m, other) &&
            place_of(m, other.pid, other.asks.object) == o.key)
            return true;
    return false;
}

void sem_destroy(turn_t &turn)
{
    object_t &o = sem_of(turn.m, turn.t());
    turn.out.does = "destroys " + o.name;
    if (waits_on(turn.m, o, call_t::sem_wait))
        turn.misuse("a semaphore is destroyed only when nobody waits on it",
                    turn.t().name + " destroyed " + o.name + " while a thread waited on it");
    o.destroyed = true;
    turn.out.changed = true;
}

// ---- barriers ----

object_t &barrier_of(model_t &m, const thread_t &t)
{
    return object_of(m, t, kind_t::barrier, t.asks.object);
}

void barrier_init(turn_t &turn)
{
    object_t &o = barrier_of(turn.m, turn.t());
    o.barrier = {turn.t().asks.value, {}};
    o.shared = (turn.t().asks.flags & steer::kShared) != 0;
    turn.out.changed = true;
    turn.out.does = "sets up " + o.name + " for " + number(o.barrier.needed);
}

bool can_pass(model_t &, const thread_t &t)
{
    return t.phase == thread_t::none || t.phase == thread_t::woken;
}

void barrier_wait(turn_t &turn)
{
    thread_t &t = turn.t();
    object_t &o = barrier_of(turn.m, t);
    shared_use(turn, o);
    turn.out.changed = true;
    if (t.phase == thread_t::woken) {
        t.phase = thread_t::none;
        turn.out.does = "passes " + o.name;
        return;
    }
    o.barrier.arrived.push_back(turn.id);
    const long arrived = static_cast<long>(o.barrier.arrived.size());
    if (arrived < o.barrier.needed) {
        t.phase = thread_t::waiting;
        turn.out.tell = false;
        turn.out.does = "reaches " + o.name + " (" + number(arrived) + " of " + number(o.barrier.needed) + ")";
        return;
    }
    for (int other : o.barrier.arrived)
        if (other != turn.id && other >= 0)
            turn.m.threads[static_cast<std::size_t>(other)].phase = thread_t::woken;
    o.barrier.arrived.clear();
    turn.out.answer = steer::kSerial;
    turn.out.does = "reaches " + o.name + ", the last of " + number(o.barrier.needed) + ": all pass";
}

void barrier_destroy(turn_t &turn)
{
    object_t &o = barrier_of(turn.m, turn.t());
    turn.out.does = "destroys " + o.name;
    if (!o.barrier.arrived.empty())
        turn.misuse("a barrier is destroyed only when nobody waits at it",
                    turn.t().name + " destroyed " + o.name + " while " + turn.name(o.barrier.arrived.front()) +
                        " waited at it");
    turn.out.changed = true;
}

// ---- once controls and guards of statics ----

object_t &once_of(model_t &m, const thread_t &t)
{
    return object_of(m, t, kind_t::once, t.asks.object);
}

bool can_begin_once(model_t &m, const thread_t &t)
{
    return once_of(m, t).once.state != once_t::running;
}

void once(turn_t &turn)
{
    object_t &o = once_of(turn.m, turn.t());
    if (o.once.state == once_t::done || (turn.t().asks.flags & steer::kDone) != 0) {
        turn.out.answer = 0;
        turn.out.does = "finds the set-up of " + o.name + " done";
        return;
    }
    o.once = {once_t::running, turn.id};
    turn.out.changed = true;
    turn.out.does = "runs the set-up of " + o.name + ", while others wait";
}

void once_done(turn_t &turn)
{
    object_t &o = once_of(turn.m, turn.t());
    const bool done = turn.t().asks.value != 0;
    o.once = {done ? once_t::done : once_t::fresh, kNobody};
    turn.out.changed = true;
    turn.out.does = (done ? "has run the set-up of " : "gives up the set-up of ") + o.name;
}

// ---- futexes of a library's own ----

object_t &futex_of(model_t &m, const thread_t &t)
{
    object_t &o = object_of(m, t, kind_t::futex, t.asks.object);
    if ((t.asks.flags & steer::kShared) != 0)
        o.shared = true;
    return o;
}

bool woken(model_t &, const thread_t &t)
{
    return t.phase == thread_t::woken;
}

void futex_wait(turn_t &turn)
{
    object_t &o = futex_of(turn.m, turn.t());
    shared_use(turn, o);
    turn.out.does = "looks at " + o.name + " (waits if it holds " + number(turn.t().asks.value) + ")";
}

void futex_park(turn_t &turn)
{
    object_t &o = futex_of(turn.m, turn.t());
    turn.t().phase = thread_t::none;
    turn.out.changed = true;
    turn.out.does = "wakes from " + o.name;
}

void futex_wake(turn_t &turn)
{
    object_t &o = futex_of(turn.m, turn.t());
    shared_use(turn, o);
    long n = 0;
    std::string names;
    while (!o.futex.parked.empty() && n < turn.t().asks.value) {
        const int w = o.futex.parked.front();
        o.futex.parked.erase(o.futex.parked.begin());
        turn.m.threads[static_cast<std::size_t>(w)].phase = thread_t::woken;
        names += (names.empty() ? "" : ", ") + turn.name(w);
        n++;
    }
    turn.out.answer = n;
    turn.out.changed = n > 0;
    turn.out.does = "wakes " + (names.empty() ? "nobody" : names) + " on " + o.name;
}

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
    turn.out.changed = true;
    turn.out.does = "starts another program (exec), which interleave does not steer";
}

void run_command(turn_t &turn)
{
    turn.out.changed = true;
    turn.out.does = "runs another program, which interleave does not steer";
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
    turn.out.does = "exits with status " + number(static_cast<long>(turn.t().asks.value));
}

void send_signal(turn_t &turn)
{
    const thread_t &t = turn.t();
    const pid_t victim = static_cast<pid_t>(t.asks.value);
    std::string whom = "process " + number(victim);
    if (auto it = turn.m.processes.find(victim); it != turn.m.processes.end())
        whom = thread_name(turn.m, it->second.first_thread);
    const int sig = static_cast<int>(t.asks.extra);
    turn.out.changed = true;
    turn.out.does = "sends signal " + number(sig) + " (" + (sig == 0 ? "none" : strsignal(sig)) + ") to " + whom;
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
    turn.out.answer = p.alarm_at < 0 ? 0 : std::max<int64_t>(p.alarm_at - turn.m.clock, 0);
    p.alarm_at = q.value > 0 ? turn.m.clock + q.value : -1;
    p.alarm_every = q.value > 0 ? q.extra : 0;
    turn.out.changed = true;
    turn.out.does = q.value > 0 ? "sets a timer for SIGALRM in " + duration_text(q.value) : "cancels its timer";
}

void yield_turn(turn_t &turn)
{
    turn.out.does = "yields";
}

void write_output(turn_t &turn)
{
    turn.out.changed = true;
    turn.out.does = turn.t().asks.value == 2 ? "writes to standard error" : "writes";
}

void read_input(turn_t &turn)
{
    turn.out.changed = true;
    turn.out.does = "reads its input";
}

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
    if (!t.cancel_pending || (t.asks.flags & steer::kCancelEnabled) == 0 || !cancellation_point(t.asks.call))
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
    m.processes[pid] = {pid, 0, 0, false, false, false};
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
    t.asks = {c.call, c.object, c.object2, c.value, c.extra, c.deadline, c.flags, kNobody};
    if (t.pid == 0) {
        t.pid = c.pid;
        t.tid = c.tid;
    }
    t.tid = c.tid;
    if (c.call == call_t::sleep)
        t.asks.extra = m.clock;  // when it began to sleep
    if (c.call == call_t::join || c.call == call_t::detach || c.call == call_t::cancel)
        t.asks.target = thread_by_handle(m, t.pid, c.object2);
    // A futex sleeper sleeps from the moment it asks: a wake that comes after finds it.
    if (c.call == call_t::futex_park) {
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
    for (std::size_t k = 0; k < m.threads.size(); k++)
        if (m.threads[k].pid == pid)
            thread_ended(m, static_cast<int>(k), false);  // it may still use its channel: not reused before it dies
}

void posted_by_handler(model_t &m, pid_t pid, uint64_t address)
{
    const auto it = m.objects.find(place_of(m, pid, address));
    if (it == m.objects.end() || it->second.kind != kind_t::sem)
        return;  // first seen later, with its count as it will be then
    semaphore_t &sem = it->second.sem;
    sem.count++;
    if (!sem.takers.empty())
        sem.takers.erase(sem.takers.begin());
}

void thread_ended(model_t &m, int id, bool free_channel)
{
    thread_t &t = m.threads[static_cast<std::size_t>(id)];
    if (t.state != thread_t::ended) {
        t.state = thread_t::ended;
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
    m.processes[pid] = {pid, parent, id, false, false, false};
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

bool cancellation_point(call_t call)
{
    switch (call) {
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
    for (const auto &[pid, p] : m.processes)
        if (p.alarm_at >= 0 && !p.dead && !p.unsteered && p.first_thread != kNobody)
            found.push_back({p.first_thread, 'a', std::max(m.clock, p.alarm_at)});
    for (std::size_t k = 0; k < m.threads.size(); k++) {
        thread_t &t = m.threads[k];
        const int id = static_cast<int>(k);
        if (t.state != thread_t::asking)
            continue;
        if (can_be_cancelled(m, t)) {
            found.push_back({id, 'c', m.clock});
            continue;
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
        // The timer of the process whose first thread this is.
        const pid_t pid = m.threads[static_cast<std::size_t>(a.thread)].pid;
        process_t &p = m.processes[pid];
        p.alarm_at = p.alarm_every > 0 ? p.alarm_at + p.alarm_every : -1;
        out.alarm_to = pid;
        out.tell = false;
        out.changed = true;
        out.does = "(its process's timer) sends it SIGALRM";
        break;
    }
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

bool all_ended(const model_t &m, pid_t pid)
{
    return std::all_of(m.threads.begin(), m.threads.end(),
                       [&](const thread_t &t) { return t.pid != pid || t.state == thread_t::ended; });
}

}  // namespace interleave
