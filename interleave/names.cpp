#include "names.h"

#include <algorithm>
#include <pthread.h>
#include <semaphore.h>

#include "calls.h"
#include "memory.h"

namespace interleave {
namespace {

constexpr std::array<const char *, kKinds> kKindNames = {"mutex", "read-write lock", "condition", "semaphore",
                                                         "barrier", "once control", "futex"};

bool philosophers(const model_t &m)
{
    return m.demo == watch::demo_t::dinerlanes || m.demo == watch::demo_t::dinerspawn;
}

std::string target_name(const model_t &m, const thread_t &t)
{
    return thread_name(m, t.asks.target);
}

std::string holder_of(const model_t &m, const mutex_t &mutex)
{
    if (mutex.holder != kNobody)
        return thread_name(m, mutex.holder) +
               (m.threads[static_cast<std::size_t>(mutex.holder)].state == thread_t::ended ? ", which has ended" : "");
    return mutex.held_at_fork ? *mutex.held_at_fork : "nobody";
}

std::string readers_of(const model_t &m, const rwlock_t &lock)
{
    std::string names;
    for (const auto &[reader, count] : lock.readers)
        names += (names.empty() ? "" : ", ") + thread_name(m, reader);
    return names;
}

std::string sem_text(const object_t &o)
{
    return o.name + " (" + std::to_string(o.sem.count) + " left)";
}

// What the thread asks, in a few words: "lock fork 2 (m[2])".
std::string next_of(model_t &m, const thread_t &t)
{
    const request_t &q = t.asks;
    const auto named = [&](kind_t kind, uint64_t address) {
        return (q.flags & steer::kStream) != 0 && address == q.object ? stream_lock_name(static_cast<uint64_t>(q.value))
                                                                      : peek_name(m, t, kind, address);
    };
    switch (q.call) {
    case call_t::start: return "start";
    case call_t::mutex_init: return "set up " + named(kind_t::mutex, q.object);
    case call_t::mutex_lock: return "lock " + named(kind_t::mutex, q.object);
    case call_t::mutex_trylock: return "try " + named(kind_t::mutex, q.object);
    case call_t::mutex_unlock: return "unlock " + named(kind_t::mutex, q.object);
    case call_t::mutex_destroy: return "destroy " + named(kind_t::mutex, q.object);
    case call_t::rwlock_init: return "set up " + named(kind_t::rwlock, q.object);
    case call_t::rwlock_rdlock: return "read-lock " + named(kind_t::rwlock, q.object);
    case call_t::rwlock_tryrdlock: return "try to read " + named(kind_t::rwlock, q.object);
    case call_t::rwlock_wrlock: return "write-lock " + named(kind_t::rwlock, q.object);
    case call_t::rwlock_trywrlock: return "try to write " + named(kind_t::rwlock, q.object);
    case call_t::rwlock_unlock: return "unlock " + named(kind_t::rwlock, q.object);
    case call_t::rwlock_destroy: return "destroy " + named(kind_t::rwlock, q.object);
    case call_t::cond_init: return "set up " + named(kind_t::cond, q.object);
    case call_t::cond_wait:
        return t.phase == thread_t::none      ? "wait on " + named(kind_t::cond, q.object)
               : t.phase == thread_t::waiting ? "wake from " + named(kind_t::cond, q.object)
                                              : "take " + named(kind_t::mutex, q.object2) + " back";
    case call_t::cond_signal: return "signal " + named(kind_t::cond, q.object);
    case call_t::cond_broadcast: return "broadcast " + named(kind_t::cond, q.object);
    case call_t::cond_destroy: return "destroy " + named(kind_t::cond, q.object);
    case call_t::sem_init: return "set up " + named(kind_t::sem, q.object);
    case call_t::sem_wait: return "take " + named(kind_t::sem, q.object) + (q.deadline >= 0 ? " or time out" : "");
    case call_t::sem_trywait: return "try " + named(kind_t::sem, q.object);
    case call_t::sem_post: return "post " + named(kind_t::sem, q.object);
    case call_t::sem_destroy: return "destroy " + named(kind_t::sem, q.object);
    case call_t::barrier_init: return "set up " + named(kind_t::barrier, q.object);
    case call_t::barrier_wait:
        return (t.phase == thread_t::none ? "reach " : "pass ") + named(kind_t::barrier, q.object);
    case call_t::barrier_destroy: return "destroy " + named(kind_t::barrier, q.object);
    case call_t::once: return "set up " + named(kind_t::once, q.object);
    case call_t::once_done: return "finish " + named(kind_t::once, q.object);
    case call_t::futex_wait: return "look at " + named(kind_t::futex, q.object);
    case call_t::futex_park: return "wake from " + named(kind_t::futex, q.object);
    case call_t::futex_wake: return "wake on " + named(kind_t::futex, q.object);
    case call_t::create: return "new thread";
    case call_t::join: return "join " + target_name(m, t);
    case call_t::detach: return "detach " + target_name(m, t);
    case call_t::cancel: return "cancel " + target_name(m, t);
    case call_t::testcancel: return "look for a cancel";
    case call_t::thread_exit: return "end its thread";
    case call_t::fork: return "fork";
    case call_t::exec: return "exec";
    case call_t::wait: return "wait for a child";
    case call_t::exit: return "exit";
    case call_t::kill: return "send signal " + std::to_string(q.extra);
    case call_t::sigmask: return "change its mask";
    case call_t::sigaction: return "set signal " + std::to_string(q.value);
    case call_t::sigsuspend: return "wait for a signal";
    case call_t::sigwait: return "take a signal";
    case call_t::io:
        switch (q.extra) {
        case steer::kRead: return "read";
        case steer::kWrite: return "write";
        case steer::kClose: return "close";
        case steer::kMake: return "make a pipe";
        case steer::kName: return q.object2 <= steer::kLookUp ? "look up a file" : "change a file";
        case steer::kSeek: return "seek";
        case steer::kLook: return "look at a file";
        case steer::kResize: return "resize a file";
        case steer::kMap: return "map a file";
        case steer::kNumber:
            return q.object2 == steer::kFrees || q.object2 == steer::kFreesRange ? "close"
                   : q.object2 == steer::kUses                                 ? "look at a descriptor"
                   : q.object2 == steer::kCopies                               ? "copy a descriptor"
                   : q.object2 == steer::kAccepts ? "accept a connection"
                                                  : "make a descriptor";
        default: return "open a FIFO";
        }
    case call_t::sleep: return "sleep";
    case call_t::yield: return "yield";
    case call_t::output: return q.value == 2 ? "write to stderr" : "print";
    case call_t::input: return "read input";
    case call_t::command: return "run a program";
    case call_t::alarm: return "set a timer";
    case call_t::sem_getvalue: return "look at " + named(kind_t::sem, q.object);
    case call_t::read: return "read " + memory_name(m, q.object, static_cast<uint64_t>(q.value));
    case call_t::write: return "write " + memory_name(m, q.object, static_cast<uint64_t>(q.value));
    case call_t::update: return "update " + memory_name(m, q.object, static_cast<uint64_t>(q.value));
    case call_t::fence: return "make a fence";
    }
    return "go on";
}

// Why it cannot, in a few words: a column of the player's screen is 12 wide.
std::string why_not(model_t &m, const thread_t &t)
{
    const request_t &q = t.asks;
    switch (q.call) {
    case call_t::mutex_lock:
        return holder_of(m, object_of(m, t, kind_t::mutex, q.object).mutex) + " holds it";
    case call_t::rwlock_rdlock:
    case call_t::rwlock_wrlock: {
        const rwlock_t &lock = object_of(m, t, kind_t::rwlock, q.object).rwlock;
        return lock.writer != kNobody ? thread_name(m, lock.writer) + " writes"
               : lock.readers.empty() ? "a writer waits"
                                      : readers_of(m, lock) + " read";
    }
    case call_t::cond_wait:
        return t.phase == thread_t::waiting ? "no signal" : holder_of(m, object_of(m, t, kind_t::mutex, q.object2).mutex) + " holds it";
    case call_t::sem_wait:
        return "none left";
    case call_t::barrier_wait:
        return "not all there";
    case call_t::once: {
        const once_t &once = object_of(m, t, kind_t::once, q.object).once;
        return thread_name(m, once.runner) + " sets up";
    }
    case call_t::futex_park:
        return "no wake-up";
    case call_t::join:
        return target_name(m, t) + " not ended";
    case call_t::wait:
        return "no child ended";
    case call_t::sigsuspend:
    case call_t::sigwait:
        return "no signal";
    case call_t::io:
        return q.extra == steer::kOpenToRead    ? "no writer"
               : q.extra == steer::kOpenToWrite ? "no reader"
               : q.extra == steer::kWrite       ? "full"
                                                : "empty";
    default:
        return "cannot go on";
    }
}

}  // namespace

const char *kind_name(kind_t kind)
{
    return kKindNames[static_cast<std::size_t>(kind)];
}

std::string variable_name(const model_t &m, kind_t kind, uint64_t address)
{
    static constexpr std::array<uint64_t, kKinds> sizes = {sizeof(pthread_mutex_t), sizeof(pthread_rwlock_t),
                                                          sizeof(pthread_cond_t), sizeof(sem_t),
                                                          sizeof(pthread_barrier_t), sizeof(int64_t), sizeof(int)};
    if (address < m.base)
        return "";
    std::string name = object_name(m.symbols, address - m.base, sizes[static_cast<std::size_t>(kind)]);
    // The C++ runtime's guard of a function's static is named after the static.
    constexpr std::string_view guard = "guard variable for ";
    if (name.starts_with(guard))
        name = "the static " + name.substr(guard.size());
    return name;
}

void name_object(const model_t &m, object_t &o)
{
    o.name = variable_name(m, o.kind, o.address);
    const bool forks = (m.demo == watch::demo_t::dinerlanes && o.kind == kind_t::mutex) ||
                       (m.demo == watch::demo_t::dinerspawn && o.kind == kind_t::sem);
    if (forks && o.order < watch::kPhilosophers) {
        o.fork = o.order;
        o.name = "fork " + std::to_string(o.fork) + (o.name.empty() ? "" : " (" + o.name + ")");
    }
    if (o.name.empty())
        o.name = std::string(kind_name(o.kind)) + " " + std::to_string(o.order + 1);
}

std::string stream_lock_name(uint64_t fd)
{
    constexpr std::array<const char *, 3> standard = {"standard input", "standard output", "standard error"};
    return "the lock of " + (fd < standard.size() ? std::string(standard[fd])
                             : fd < 1u << 20    ? "the stream of descriptor " + std::to_string(fd)
                                                : std::string("a stream"));
}

void name_thread(model_t &m, int id, const std::string &routine)
{
    thread_t &t = m.threads[static_cast<std::size_t>(id)];
    if (philosophers(m) && t.parent == 0 && m.philosophers < watch::kPhilosophers) {
        t.name = std::string(1, static_cast<char>('A' + m.philosophers++));
        return;
    }
    const std::string name = !routine.empty() ? routine : t.process ? "child" : "thread";
    int same = 0;
    for (const thread_t &other : m.threads)
        same += other.name == name || other.name.starts_with(name + " ");
    t.name = same == 0 ? name : name + " " + std::to_string(same + 1);
}

std::string thread_name(const model_t &m, int id)
{
    return id >= 0 && id < static_cast<int>(m.threads.size()) ? m.threads[static_cast<std::size_t>(id)].name
                                                               : "a thread interleave did not start";
}

const char *call_name(call_t call)
{
    constexpr std::array<const char *, steer::kCalls> names = {
        "its start", "pthread_mutex_init", "pthread_mutex_lock", "pthread_mutex_trylock", "pthread_mutex_unlock",
        "pthread_mutex_destroy", "pthread_rwlock_init", "pthread_rwlock_rdlock", "pthread_rwlock_tryrdlock",
        "pthread_rwlock_wrlock", "pthread_rwlock_trywrlock", "pthread_rwlock_unlock", "pthread_rwlock_destroy",
        "pthread_cond_init", "pthread_cond_wait", "pthread_cond_signal", "pthread_cond_broadcast",
        "pthread_cond_destroy", "sem_init", "sem_wait", "sem_trywait", "sem_post", "sem_destroy",
        "pthread_barrier_init", "pthread_barrier_wait", "pthread_barrier_destroy", "a set-up done once",
        "the end of a set-up", "a futex wait", "a futex wait", "a futex wake", "pthread_create", "pthread_join",
        "pthread_detach", "pthread_cancel", "pthread_testcancel", "pthread_exit", "fork", "exec", "wait", "exit",
        "kill", "sleep", "sched_yield", "a write", "a read", "another program", "alarm", "sem_getvalue",
        "a read of memory", "a write of memory", "an atomic update", "an atomic fence", "pthread_sigmask", "sigaction",
        "sigsuspend", "sigwait", "a read or write of a pipe or file"};
    return names[static_cast<std::size_t>(call)];
}

thread_view_t view_of(model_t &m, int id)
{
    thread_t &t = m.threads[static_cast<std::size_t>(id)];
    thread_view_t v;
    v.name = t.name;
    if (t.state == thread_t::ended) {
        v.ended = true;
        return v;
    }
    if (t.state != thread_t::asking)
        return v;
    v.next = next_of(m, t);
    if (t.cancel_pending && (t.asks.flags & steer::kCancelEnabled) != 0 && cancellation_point(t.asks)) {
        v.next = "be cancelled";
        if (t.asks.call == call_t::cond_wait && t.phase != thread_t::none) {
            const mutex_t &mutex = object_of(m, t, kind_t::mutex, t.asks.object2).mutex;
            if (mutex.holder != kNobody && mutex.holder != id)
                v.waits = holder_of(m, mutex) + " holds it";
        }
        return v;
    }
    if (!can_go(m, t))
        v.waits = why_not(m, t);
    return v;
}

std::string state_line(const model_t &m)
{
    std::vector<const object_t *> shown;
    for (const auto &[place, o] : m.objects)
        if (o.kind == kind_t::mutex || o.kind == kind_t::rwlock || o.kind == kind_t::sem)
            shown.push_back(&o);
    std::sort(shown.begin(), shown.end(), [](const object_t *a, const object_t *b) {
        return a->kind != b->kind ? a->kind < b->kind : a->order < b->order;
    });
    // The philosophers' forks, as they lie around the table: who holds each, or '.'.
    std::string forks;
    for (const object_t *o : shown)
        if (o->fork >= 0) {
            const int holder = o->kind == kind_t::mutex ? o->mutex.holder
                               : o->sem.takers.empty()  ? kNobody
                                                        : o->sem.takers.front();
            forks += std::string(forks.empty() ? "" : " ") + (holder < 0 ? "." : thread_name(m, holder).substr(0, 1));
        }
    std::string line = forks.empty() ? "" : "forks: " + forks;
    for (const object_t *o : shown) {
        std::string item;
        if (o->fork >= 0)
            continue;
        if (o->kind == kind_t::mutex && (o->mutex.holder != kNobody || o->mutex.held_at_fork))
            item = o->name + ": " + holder_of(m, o->mutex);
        else if (o->kind == kind_t::rwlock && o->rwlock.writer != kNobody)
            item = o->name + ": " + thread_name(m, o->rwlock.writer) + " writes";
        else if (o->kind == kind_t::rwlock && !o->rwlock.readers.empty())
            item = o->name + ": " + readers_of(m, o->rwlock) + " read";
        else if (o->kind == kind_t::sem)
            item = o->name + " = " + std::to_string(o->sem.count);
        if (!item.empty())
            line += (line.empty() ? "" : ", ") + item;
    }
    return line;
}

std::vector<std::string> waits(model_t &m)
{
    std::vector<std::string> lines;
    for (thread_t &t : m.threads) {
        if (t.state == thread_t::ended)
            continue;
        std::string line = t.name + " ";
        const request_t &q = t.asks;
        switch (q.call) {
        case call_t::mutex_lock: {
            const object_t &o = object_of(m, t, kind_t::mutex, q.object);
            line += "waits for " + o.name + ", held by " + holder_of(m, o.mutex) +
                    (o.mutex.holder == static_cast<int>(&t - m.threads.data()) ? " itself" : "");
            if (o.mutex.held_at_fork)
                line += ": a fork copies only the thread that calls it, so no thread of this process can let it go";
            break;
        }
        case call_t::rwlock_rdlock:
        case call_t::rwlock_wrlock: {
            const object_t &o = object_of(m, t, kind_t::rwlock, q.object);
            line += "waits to " + std::string(q.call == call_t::rwlock_rdlock ? "read" : "write") + " " + o.name + ", " +
                    (o.rwlock.writer != kNobody ? "written by " + thread_name(m, o.rwlock.writer)
                     : o.rwlock.readers.empty() ? "while a writer waits"
                                                : "read by " + readers_of(m, o.rwlock));
            break;
        }
        case call_t::cond_wait:
            if (t.phase == thread_t::waiting)
                line += "waits on " + object_of(m, t, kind_t::cond, q.object).name + ", and no thread is left to signal it";
            else
                line += "waits to take " + object_of(m, t, kind_t::mutex, q.object2).name + " back, held by " +
                        holder_of(m, object_of(m, t, kind_t::mutex, q.object2).mutex);
            break;
        case call_t::sem_wait: {
            const object_t &o = object_of(m, t, kind_t::sem, q.object);
            std::vector<int> distinct;
            for (int w : o.sem.takers)
                if (std::find(distinct.begin(), distinct.end(), w) == distinct.end())
                    distinct.push_back(w);
            std::string takers;
            for (std::size_t k = 0; k < distinct.size() && k < 5; k++)
                takers += (takers.empty() ? "" : ", ") + thread_name(m, distinct[k]);
            if (distinct.size() > 5)
                takers += " and " + std::to_string(distinct.size() - 5) + " more";
            line += "waits for " + sem_text(o) + (takers.empty() ? "" : ", taken by " + takers);
            break;
        }
        case call_t::barrier_wait: {
            const object_t &o = object_of(m, t, kind_t::barrier, q.object);
            line += "waits at " + o.name + " for " + std::to_string(o.barrier.needed) + ", and " +
                    std::to_string(o.barrier.arrived.size()) + " have come";
            break;
        }
        case call_t::once: {
            const object_t &o = object_of(m, t, kind_t::once, q.object);
            line += "waits for the set-up of " + o.name + ", begun by " + thread_name(m, o.once.runner) +
                    (o.once.runner == static_cast<int>(&t - m.threads.data()) ? " itself" : "");
            break;
        }
        case call_t::futex_park:
            line += "waits on " + object_of(m, t, kind_t::futex, q.object).name + ", and nobody is left to wake it";
            break;
        case call_t::join:
            line += "waits for " + target_name(m, t) + " to end";
            break;
        case call_t::wait:
            line += "waits for a child process to end";
            break;
        case call_t::sigsuspend:
        case call_t::sigwait:
            line += "waits for a signal, and none is left to come";
            break;
        case call_t::io:
            if (q.extra == steer::kOpenToRead || q.extra == steer::kOpenToWrite)
                line += "waits in its open of " + calls::file_of(m, t).name + " for a " +
                        (q.extra == steer::kOpenToRead ? "writer" : "reader") + " to open it too";
            else if (q.extra == steer::kWrite)
                line += "waits to write to " + calls::file_of(m, t).name +
                        ", which is full while a reading end of it is still open (in this process or another)";
            else
                line += "waits to read " + calls::file_of(m, t).name +
                        ", which is empty while a write end of it is still open (in this process or another)";
            break;
        default:
            line += std::string("is in ") + call_name(q.call);
            break;
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace interleave
