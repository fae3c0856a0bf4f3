// The calls on synchronisation objects, as the model plays them: mutexes, read-write
// locks, condition variables, semaphores, barriers, once controls (and the guards of
// statics), and the futexes of a library's own.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <sys/wait.h>

#include "calls.h"

namespace interleave::calls {

object_t &mutex_of(model_t &m, const thread_t &t, uint64_t address)
{
    object_t &o = object_of(m, t, kind_t::mutex, address);
    if (address == t.asks.object && t.asks.call != call_t::cond_wait) {
        o.mutex.recursive = (t.asks.flags & steer::kRecursive) != 0;
        o.mutex.error_check = (t.asks.flags & steer::kErrorCheck) != 0;
        o.mutex.robust = (t.asks.flags & steer::kRobust) != 0;
        if ((t.asks.flags & steer::kStream) != 0)
            o.name = stream_lock_name(static_cast<uint64_t>(t.asks.value));
    }
    return o;
}

object_t &asked(model_t &m, const thread_t &t, kind_t kind)
{
    return kind == kind_t::mutex ? mutex_of(m, t, t.asks.object) : object_of(m, t, kind, t.asks.object);
}

// ---- what the calls on objects share ----

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
    // Another thread's print holds a stream's lock for a moment, inside its turn, where no
    // try of this thread's can land.
    turn.m.stream_tries = turn.m.stream_tries || (turn.t().asks.flags & steer::kStream) != 0;
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

}  // namespace interleave::calls
