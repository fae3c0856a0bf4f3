#include "depend.h"

#include "calls.h"

#include <algorithm>
#include <csignal>

namespace interleave {
namespace {

// What the file system is known by, among things of kind file.
constexpr uint64_t kFileSystem = uint64_t{3} << 40;

using enum role_t;

const thread_t &thread_of(const model_t &m, int id)
{
    return m.threads[static_cast<std::size_t>(id)];
}

bool opens_fifo(const request_t &q)
{
    return q.extra >= steer::kOpenToRead && q.extra <= steer::kOpenToReadWrite;
}

// What a call touches when its thread makes it ('r'), by the kind of call.
constexpr uint64_t kPage = 4096;

// An access of `size` bytes from `address`: its words (told apart by the 8-byte word, at
// most kWordsTold of them), and, read, its pages and memory as a whole, which a call's long
// or untold buffer writes.
void memory_touched(footprint_t &f, model_t &m, pid_t pid, uint64_t address, uint64_t size, role_t role)
{
    const uint64_t first = address / 8, last = (address + size - 1) / 8;
    for (uint64_t word = first; word <= last && word - first < kWordsTold; word++) {
        footprint_t words;
        add_object(words, m, pid, word * 8, role);
        add(f, thing_t::memory, words[0].a, words[0].b, role);
    }
    for (uint64_t page = address / kPage; page <= (address + size - 1) / kPage; page++) {
        footprint_t at;
        add_object(at, m, pid, page * kPage, read);
        add(f, thing_t::page_accessed, at[0].a, at[0].b, read);
        if (role == write)
            add(f, thing_t::page_written, at[0].a, at[0].b, read);
    }
    add(f, thing_t::page_accessed, 0, 0, read);
    if (role == write)
        add(f, thing_t::page_written, 0, 0, read);
}

void call_touches(footprint_t &f, model_t &m, int id)
{
    const thread_t &t = thread_of(m, id);
    const request_t &q = t.asks;
    const auto object = [&](uint64_t address, role_t role) { add_object(f, m, t.pid, address, role); };
    const uint64_t self = process_of(m, t.pid);
    // The program's memory that the call reads or writes itself (a read's buffer): its
    // words, as an access's; past the words told, its pages; where it cannot be told,
    // memory as a whole.
    if (q.buffer_size != 0) {
        const bool writes = q.buffer_size > 0;
        const uint64_t size = static_cast<uint64_t>(writes ? q.buffer_size : -q.buffer_size);
        const auto large = [&](uint64_t a, uint64_t b) {
            if (writes)
                add(f, thing_t::page_accessed, a, b, write);
            add(f, thing_t::page_written, a, b, write);
        };
        if (q.buffer == 0) {
            large(0, 0);
        } else {
            memory_touched(f, m, t.pid, q.buffer, size, writes ? write : read);
            const uint64_t first = q.buffer / 8, last = (q.buffer + size - 1) / 8;
            if (last - first >= kWordsTold)
                for (uint64_t page = q.buffer / kPage; page <= (q.buffer + size - 1) / kPage; page++) {
                    footprint_t at;
                    add_object(at, m, t.pid, page * kPage, read);
                    large(at[0].a, at[0].b);
                }
        }
    }
    // A stream's lock (flockfile): another thread's print to the stream waits for it, or goes
    // before it. A print to a standard stream writes the stream; one to a pipe or a file
    // goes through a descriptor of the process.
    if ((q.flags & steer::kStream) != 0) {
        if (q.value == 1 || q.value == 2)
            add(f, thing_t::stream, static_cast<uint64_t>(q.value), 0, write);
        add(f, thing_t::descriptors, self, 0, write);
    }
    switch (q.call) {
    case call_t::mutex_lock:
    case call_t::rwlock_wrlock:
        object(q.object, acquire);  // it goes on only once nobody holds the lock
        break;
    case call_t::rwlock_rdlock:
        object(q.object, write);  // readers share it: one that lets go does not hold it alone
        break;
    case call_t::mutex_unlock:
        object(q.object, release);  // only its holder lets it go
        break;
    case call_t::rwlock_unlock: {
        const place_t place = place_of(m, t.pid, q.object);
        const auto it = m.objects.find(place);
        const bool writer = it != m.objects.end() && it->second.rwlock.writer == id;
        object(q.object, writer ? release : write);
        break;
    }
    case call_t::cond_wait:
        if (t.phase == thread_t::none) {
            object(q.object, write);
            object(q.object2, release);  // it lets go of the mutex it holds
        } else {
            object(q.object, read);  // woken by a signal, or its deadline passed
            object(q.object2, acquire);
        }
        break;
    case call_t::sem_post:
        object(q.object, commute);  // posts add up the same in any order
        break;
    case call_t::once:
        object(q.object, acquire);  // it waits while another thread runs the set-up
        break;
    case call_t::once_done:
        object(q.object, release);  // only the thread that runs the set-up ends it
        break;
    case call_t::sem_getvalue:
        object(q.object, read);
        break;
    case call_t::futex_park:
    case call_t::mutex_init:
    case call_t::mutex_trylock:
    case call_t::mutex_destroy:
    case call_t::rwlock_init:
    case call_t::rwlock_tryrdlock:
    case call_t::rwlock_trywrlock:
    case call_t::rwlock_destroy:
    case call_t::cond_init:
    case call_t::cond_signal:
    case call_t::cond_broadcast:
    case call_t::cond_destroy:
    case call_t::sem_init:
    case call_t::sem_wait:
    case call_t::sem_trywait:
    case call_t::sem_destroy:
    case call_t::barrier_init:
    case call_t::barrier_wait:
    case call_t::barrier_destroy:
    case call_t::futex_wait:  // the sleeper is counted from its ask on, which ends this turn
    case call_t::futex_wake:
        object(q.object, write);
        break;
    case call_t::create:
        add(f, thing_t::numbering, 0, 0, write);
        break;
    case call_t::join:
        // A join that waits goes on only once the thread has ended; one that does not wait
        // looks.
        add(f, thing_t::life, static_cast<uint64_t>(q.target), 0, (q.flags & steer::kTry) != 0 ? read : acquire);
        break;
    case call_t::detach:
        add(f, thing_t::life, static_cast<uint64_t>(q.target), 0, write);
        break;
    case call_t::cancel:
        add(f, thing_t::cancel, static_cast<uint64_t>(q.target), 0, write);
        break;
    case call_t::thread_exit:
        thread_end_touches(f, m, id);
        break;
    case call_t::fork:
        add(f, thing_t::numbering, 0, 0, write);
        add(f, thing_t::process, self, 0, write);  // the child gets a copy of it as it is now
        // with the standard streams' buffers, which the child writes out again as it ends
        add(f, thing_t::stream, 1, 0, write);
        add(f, thing_t::stream, 2, 0, write);
        break;
    case call_t::exec:
        add(f, thing_t::process, self, 0, write);
        break;
    case call_t::wait:
        add(f, thing_t::children, self, 0, write);
        break;
    case call_t::exit:
        add(f, thing_t::process, self, 0, write);
        break;
    case call_t::kill: {
        // The signal waits for the process, or the thread, it is sent to; SIGKILL and
        // SIGSTOP, and a signal that arrives at the sender at once, end or stop a process.
        const int sig = static_cast<int>(q.extra);
        if ((q.flags & steer::kToThread) != 0) {
            add(f, thing_t::life, static_cast<uint64_t>(q.target), 0, read);
            add(f, thing_t::thread_signals, static_cast<uint64_t>(q.target), 0, write);
            if (q.target == id)
                add(f, thing_t::process, self, 0, write);
            break;
        }
        for (const auto &[pid, p] : m.processes)
            if (q.value <= 0 || q.value == pid) {
                add(f, thing_t::signals, process_of(m, pid), 0, write);
                if (sig == SIGKILL || sig == SIGSTOP || pid == t.pid)
                    add(f, thing_t::process, process_of(m, pid), 0, write);
            }
        add(f, thing_t::outside, 0, 0, write);  // it may be a program interleave does not steer
        break;
    }
    case call_t::sigaction:
        add(f, thing_t::signals, self, 0, write);
        break;
    case call_t::sigmask:
    case call_t::sigwait:
        add(f, thing_t::signals, self, 0, write);
        add(f, thing_t::thread_signals, static_cast<uint64_t>(id), 0, write);
        break;
    case call_t::sigsuspend:  // it never goes on by itself: a signal arrives in it
        break;
    case call_t::io: {
        // An open, a close, a dup or a pipe takes or frees numbers: the number the next open
        // of any thread of the process gets, and what a number names, depend on it.
        if ((q.flags & steer::kNumbers) != 0)
            add(f, thing_t::descriptors, self, 0, write);
        else if (q.value >= 0)
            add(f, thing_t::descriptors, self, 0, read);
        if (q.extra == steer::kNumber)
            break;
        // The file system's names, and the contents of its regular files, are one thing that
        // every process shares: a look at it depends on every change to it. A pipe is a thing
        // of its own: a read of it empties it, a write or a close is seen by its readers.
        if (q.extra == steer::kName) {
            add(f, thing_t::file, kFileSystem, 0, q.object2 <= steer::kLookUp ? read : write);
            break;
        }
        const file_t &file = calls::file_of(m, t);
        add(f, thing_t::file, file.known_as, file.number, q.extra == steer::kLook ? read : write);
        // A FIFO's open looks its name up.
        const bool looks = q.extra == steer::kRead || q.extra == steer::kLook || q.extra == steer::kMap ||
                           opens_fifo(q);
        if (!file.pipe || opens_fifo(q))
            add(f, thing_t::file, kFileSystem, 0, looks ? read : write);
        break;
    }
    case call_t::sleep:
        add(f, thing_t::clock, 0, 0, commute);
        break;
    case call_t::output:
        add(f, thing_t::stream, static_cast<uint64_t>(q.value), 0, write);
        add(f, thing_t::descriptors, self, 0, read);  // a close of the stream's descriptor
        break;
    case call_t::input:
        add(f, thing_t::input, 0, 0, write);
        add(f, thing_t::descriptors, self, 0, read);
        break;
    case call_t::command:
        add(f, thing_t::outside, 0, 0, write);
        if ((q.flags & steer::kNumbers) != 0)  // popen's pipe
            add(f, thing_t::descriptors, self, 0, write);
        break;
    case call_t::alarm:
        add(f, thing_t::timer, self, 0, write);
        break;
    case call_t::read:
    case call_t::write:
    case call_t::update: {
        // Told apart by the 8-byte word: accesses to one word, or overlapping words, depend.
        // A longer range is told only in part, and a search of every order gives up on it.
        memory_touched(f, m, t.pid, q.object, static_cast<uint64_t>(std::max<int64_t>(1, q.value)),
                       q.call == call_t::read ? read : write);
        break;
    }
    case call_t::fence:  // it changes how its process's relaxed atomic operations order others
        add(f, thing_t::process, self, 0, write);
        break;
    case call_t::start:
    case call_t::testcancel:
    case call_t::yield:
        break;
    }
}

}  // namespace

uint64_t process_of(const model_t &m, pid_t pid)
{
    const auto it = m.processes.find(pid);
    if (it == m.processes.end() || it->second.first_thread == kNobody)
        return (uint64_t{1} << 40) | static_cast<uint32_t>(pid);  // a program interleave does not steer
    return static_cast<uint64_t>(it->second.first_thread);
}

void add(footprint_t &f, thing_t thing, uint64_t a, uint64_t b, role_t role)
{
    for (access_t &x : f)
        if (x.thing == thing && x.a == a && x.b == b) {
            if (x.role != role)
                x.role = x.role == read ? role : role == read ? x.role : write;
            return;
        }
    f.push_back({thing, a, b, role});
}

// The last thread of a process to end ends the process as exit does: it runs the exit
// handlers and the destructors, as itself, after everything the other threads did. That
// can be any thread only once the first thread has left with pthread_exit; before, it is
// the first. So the first thread's leaving, and every end after it, change which thread is
// last; an end before it only looks, and two such ends give the same result in either
// order.
void thread_end_touches(footprint_t &f, const model_t &m, int id)
{
    add(f, thing_t::life, static_cast<uint64_t>(id), 0, release);
    const pid_t pid = thread_of(m, id).pid;
    const auto p = m.processes.find(pid);
    const int first = p != m.processes.end() ? p->second.first_thread : kNobody;
    const bool first_left = first != kNobody && thread_of(m, first).state == thread_t::ended;
    add(f, thing_t::last_end, process_of(m, pid), 0, id == first || first_left ? write : read);
}

void add_object(footprint_t &f, model_t &m, pid_t pid, uint64_t address, role_t role)
{
    const bool shared = place_of(m, pid, address).space != static_cast<uint64_t>(pid) && m.forked;
    add(f, thing_t::object, shared ? kSharedThing : process_of(m, pid), address, role);
}

footprint_t touches(model_t &m, const action_t &a)
{
    footprint_t f;
    const thread_t &t = thread_of(m, a.thread);
    add(f, thing_t::process, process_of(m, t.pid), 0, read);  // an exit or a fork of its process
    // A signal sent to the thread, or to its process, could arrive before this turn instead.
    add(f, thing_t::signals, process_of(m, t.pid), 0, read);
    add(f, thing_t::thread_signals, static_cast<uint64_t>(a.thread), 0, read);
    if (cancellation_point(t.asks))
        add(f, thing_t::cancel, static_cast<uint64_t>(a.thread), 0, read);
    switch (a.how) {
    case 'r':
        call_touches(f, m, a.thread);
        break;
    case 't':  // a timed wait times out at its deadline: it looked at what it waited for
        add(f, thing_t::clock, 0, 0, commute);
        if (t.asks.call == call_t::join)
            add(f, thing_t::life, static_cast<uint64_t>(t.asks.target), 0, read);
        else
            add_object(f, m, t.pid, t.asks.object,
                       t.asks.call == call_t::cond_wait || t.asks.call == call_t::futex_park ? write : read);
        break;
    case 's':  // a wait ends with no signal
        add(f, thing_t::spurious, 0, 0, write);
        add_object(f, m, t.pid, t.asks.object, write);
        break;
    case 'c':  // cancelled at this call: it ends, letting go of what the call was about
        add(f, thing_t::cancel, static_cast<uint64_t>(a.thread), 0, write);
        thread_end_touches(f, m, a.thread);
        if (t.asks.object != 0)
            add_object(f, m, t.pid, t.asks.object, write);
        if (t.asks.call == call_t::cond_wait)
            add_object(f, m, t.pid, t.asks.object2, write);
        break;
    case 'a':  // its process's timer sends SIGALRM
        add(f, thing_t::clock, 0, 0, commute);
        add(f, thing_t::timer, process_of(m, t.pid), 0, write);
        add(f, thing_t::signals, process_of(m, t.pid), 0, write);
        break;
    case 'g': {  // a signal arrives: it is taken from what waits, and its action taken
        add(f, thing_t::signals, process_of(m, t.pid), 0, write);
        add(f, thing_t::thread_signals, static_cast<uint64_t>(a.thread), 0, write);
        const process_t &p = m.processes[t.pid];
        if (const int sig = arriving(m, t); sig != 0 && effect_of(p, sig) != signal_effect_t::handler)
            add(f, thing_t::process, process_of(m, t.pid), 0, write);
        // In the middle of a wait, it leaves the wait (or goes on with it).
        if (t.asks.object != 0 && t.asks.call != call_t::sleep)
            add_object(f, m, t.pid, t.asks.object, write);
        break;
    }
    }
    return f;
}

void taken(footprint_t &f, const action_t &a, call_t call, const outcome_t &out)
{
    if (a.how != 'r' || out.misuse || call == call_t::futex_wait || call == call_t::futex_park)
        return;
    // A lock taken again or let go but once of many holds (a recursive mutex), a lock its
    // holder takes again (an error-checking one answers EDEADLK), an unlock by a thread that
    // holds nothing (EPERM): each answers from what the caller holds, which only the caller
    // changes. No other thread's turn can come between to change it, nor see it. (A try
    // that found the lock taken is another matter: its holder's unlock would change it.)
    const bool on_own = out.own || (!out.changed && (call == call_t::mutex_lock || call == call_t::mutex_unlock));
    if (on_own) {
        std::erase_if(f, [](const access_t &x) { return x.thing == thing_t::object; });
        return;
    }
    if (out.changed)
        return;
    // A call that changed nothing (a try that found the lock taken, a signal nobody waited
    // for, a join of a thread still running) only looked.
    for (access_t &x : f)
        if (x.thing == thing_t::object || x.thing == thing_t::life)
            x.role = call == call_t::once ? await : read;
}

void asked_next(footprint_t &f, model_t &m, int thread)
{
    const thread_t &t = thread_of(m, thread);
    if (t.state != thread_t::asking)
        return;
    // A deadline is counted from the clock as it reads now.
    if (t.asks.deadline >= 0)
        add(f, thing_t::clock, 0, 0, read);
    // A writer that waits keeps new readers out of a lock that lets writers go first; a
    // semaphore waited on cannot be destroyed.
    if (t.asks.call == call_t::rwlock_wrlock)
        add_object(f, m, t.pid, t.asks.object, write);
    if (t.asks.call == call_t::sem_wait)
        add_object(f, m, t.pid, t.asks.object, read);
}

bool looks(role_t role)
{
    return role == read || role == await;
}

bool conflict(role_t x, role_t y)
{
    return !(looks(x) && looks(y)) && !(x == commute && y == commute);
}

bool dependent(const footprint_t &x, const footprint_t &y)
{
    for (const access_t &p : x)
        for (const access_t &q : y)
            if (p.thing == q.thing && p.a == q.a && p.b == q.b && conflict(p.role, q.role))
                return true;
    return false;
}

bool coenabled(const footprint_t &x, int x_thread, const footprint_t &y, int y_thread)
{
    // A join goes on only once the thread it joins has ended.
    const auto joins = [](const footprint_t &f, int thread) {
        return std::any_of(f.begin(), f.end(), [&](const access_t &a) {
            return a.thing == thing_t::life && a.a == static_cast<uint64_t>(thread) && a.role == acquire;
        });
    };
    if (joins(x, y_thread) || joins(y, x_thread))
        return false;
    for (const access_t &p : x)
        for (const access_t &q : y)
            if (p.thing == q.thing && p.a == q.a && p.b == q.b &&
                (((p.role == acquire || p.role == await) && q.role == release) ||
                 (p.role == release && (q.role == acquire || q.role == await))))
                return false;
    return true;
}

}  // namespace interleave
