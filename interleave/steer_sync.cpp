// The steering library: the synchronisation calls it stands in front of. Mutexes of every
// type, read-write locks, condition variables, semaphores (named and unnamed), barriers,
// once controls and the C++ runtime's guards of statics, and the futexes of a library that
// waits through syscall() (the C++ runtime's semaphores, latches and atomic waits).
//
// Each asks for its turn with what it is about to do, and what interleave needs to know of
// the object as it is (a mutex's type, a semaphore's count); then, where it must, it makes
// the real call, which interleave's model has made sure will not block. Condition waits,
// barriers and futexes wait in interleave's model alone: the real ones are never waited on.

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <linux/futex.h>
#include <sys/syscall.h>

#include "steer.h"

namespace steer {
namespace {

// What glibc keeps in its objects, read as they are: a mutex's type, whether an object is
// shared between processes, a condition's clock.
constexpr int kMutexKindMask = 3, kMutexRobustBit = 16, kMutexSharedBit = 128;
constexpr unsigned kCondShared = 1, kCondMonotonic = 2;
constexpr int kOnceDone = 2;

uint32_t mutex_flags(const pthread_mutex_t *m)
{
    const int kind = m->__data.__kind;
    return ((kind & kMutexKindMask) == PTHREAD_MUTEX_RECURSIVE ? kRecursive : 0u) |
           ((kind & kMutexKindMask) == PTHREAD_MUTEX_ERRORCHECK ? kErrorCheck : 0u) |
           ((kind & kMutexSharedBit) != 0 ? kShared : 0u) | ((kind & kMutexRobustBit) != 0 ? kRobust : 0u);
}

uint32_t mutex_flags(const pthread_mutexattr_t *attr)
{
    int type = PTHREAD_MUTEX_DEFAULT, shared = PTHREAD_PROCESS_PRIVATE, robust = PTHREAD_MUTEX_STALLED;
    if (attr != nullptr) {
        pthread_mutexattr_gettype(attr, &type);
        pthread_mutexattr_getpshared(attr, &shared);
        pthread_mutexattr_getrobust(attr, &robust);
    }
    return (type == PTHREAD_MUTEX_RECURSIVE ? kRecursive : 0u) | (type == PTHREAD_MUTEX_ERRORCHECK ? kErrorCheck : 0u) |
           (shared == PTHREAD_PROCESS_SHARED ? kShared : 0u) | (robust == PTHREAD_MUTEX_ROBUST ? kRobust : 0u);
}

uint32_t rwlock_flags(const pthread_rwlock_t *l)
{
    return (l->__data.__shared != 0 ? kShared : 0u) |
           (l->__data.__flags == PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP ? kWritersFirst : 0u);
}

uint32_t cond_flags(const pthread_cond_t *c)
{
    return ((c->__data.__wrefs & kCondShared) != 0 ? kShared : 0u) |
           ((c->__data.__wrefs & kCondMonotonic) != 0 ? kMonotonic : 0u);
}

// A semaphore's count as it is goes with each ask: interleave learns the count of one it
// has not seen set up (a named one, opened).
int count_of(sem_t *s)
{
    int value = 0;
    r().sem_getvalue(s, &value);
    return value;
}

// glibc keeps, after a semaphore's count, the flag it gives its futex calls: 0 for one
// private to its process, and for a shared one the bit that a private futex would clear.
uint32_t sem_flags(const sem_t *s)
{
    int sharing;
    std::memcpy(&sharing, reinterpret_cast<const char *>(s) + sizeof(uint64_t), sizeof sharing);
    return sharing != 0 ? kShared : 0u;
}

// A program built with ThreadSanitizer sees the real calls it stands in front of; a
// barrier's and a once's hand-overs happen in interleave's model alone, so they are told
// to it here: what a thread did before reaching a barrier (or running a set-up) happened
// before what another does after passing it (or finding the set-up done).
void released(void *object)
{
    if (r().tsan_release != nullptr)
        r().tsan_release(object);
}

void acquired(void *object)
{
    if (r().tsan_acquire != nullptr)
        r().tsan_acquire(object);
}

int lock(pthread_mutex_t *m, int64_t deadline)
{
    if (ask({.call = call_t::mutex_lock, .object = m, .deadline = deadline, .flags = mutex_flags(m)}) == 0)
        return ETIMEDOUT;
    return r().mutex_lock(m);
}

int read_lock(pthread_rwlock_t *l, int64_t deadline)
{
    if (ask({.call = call_t::rwlock_rdlock, .object = l, .deadline = deadline, .flags = rwlock_flags(l)}) == 0)
        return ETIMEDOUT;
    return r().rwlock_rdlock(l);
}

int write_lock(pthread_rwlock_t *l, int64_t deadline)
{
    if (ask({.call = call_t::rwlock_wrlock, .object = l, .deadline = deadline, .flags = rwlock_flags(l)}) == 0)
        return ETIMEDOUT;
    return r().rwlock_wrlock(l);
}

// A condition wait gives the mutex up at once and waits in interleave's model alone: the
// real condition variable is never waited on, so a signal needs no real call either.
int cond_wait(pthread_cond_t *c, pthread_mutex_t *m, int64_t deadline)
{
    r().mutex_unlock(m);
    const int64_t answer = ask({.call = call_t::cond_wait, .object = c, .object2 = reinterpret_cast<uint64_t>(m),
                                .deadline = deadline, .flags = cond_flags(c)});
    r().mutex_lock(m);
    if (answer == kCancelled)
        r().testcancel();
    return answer == 0 ? ETIMEDOUT : 0;
}

int sem_wait_until(sem_t *s, int64_t deadline)
{
    const int64_t answer = ask_at_cancellation_point(
        {.call = call_t::sem_wait, .object = s, .value = count_of(s), .deadline = deadline, .flags = sem_flags(s)});
    if (answer == 0 || answer == kInterrupted) {
        errno = answer == 0 ? ETIMEDOUT : EINTR;  // a signal's handler ran in the middle of the wait
        return -1;
    }
    return r().sem_trywait(s) == 0 ? 0 : r().sem_wait(s);
}

// A futex wait: a turn to look at the value, and if it is still the one expected, a sleep
// in the model until a wake.
long futex_wait(uint32_t *address, uint32_t expected, int64_t deadline, uint32_t flags)
{
    ask({.call = call_t::futex_wait, .object = address, .value = expected, .flags = flags});
    if (__atomic_load_n(address, __ATOMIC_SEQ_CST) != expected) {
        errno = EAGAIN;
        return -1;
    }
    if (const int64_t answer = ask({.call = call_t::futex_park, .object = address, .deadline = deadline, .flags = flags});
        answer == 0 || answer == kInterrupted) {
        errno = answer == 0 ? ETIMEDOUT : EINTR;
        return -1;
    }
    return 0;
}

// A spin lock is a volatile int; interleave knows it by its address alone.
void *spin_object(pthread_spinlock_t *l)
{
    return const_cast<int *>(l);
}

}  // namespace
}  // namespace steer

using namespace steer;

extern "C" {

int pthread_mutex_init(pthread_mutex_t *m, const pthread_mutexattr_t *attr)
{
    if (steered())
        ask({.call = call_t::mutex_init, .object = m, .flags = mutex_flags(attr)});
    return r().mutex_init(m, attr);
}

int pthread_mutex_lock(pthread_mutex_t *m)
{
    return steered() ? lock(m, -1) : r().mutex_lock(m);
}

int pthread_mutex_timedlock(pthread_mutex_t *m, const timespec *deadline)
{
    return steered() ? lock(m, deadline_on(CLOCK_REALTIME, deadline)) : r().mutex_timedlock(m, deadline);
}

int pthread_mutex_clocklock(pthread_mutex_t *m, clockid_t clock, const timespec *deadline)
{
    return steered() ? lock(m, deadline_on(clock, deadline)) : r().mutex_clocklock(m, clock, deadline);
}

int pthread_mutex_trylock(pthread_mutex_t *m)
{
    if (steered() && ask({.call = call_t::mutex_trylock, .object = m, .flags = mutex_flags(m)}) == 0)
        return EBUSY;
    return r().mutex_trylock(m);
}

int pthread_mutex_unlock(pthread_mutex_t *m)
{
    if (steered())
        ask({.call = call_t::mutex_unlock, .object = m, .flags = mutex_flags(m)});
    return r().mutex_unlock(m);
}

int pthread_mutex_destroy(pthread_mutex_t *m)
{
    if (steered())
        ask({.call = call_t::mutex_destroy, .object = m, .flags = mutex_flags(m)});
    return r().mutex_destroy(m);
}

// A spin lock is a mutex of the normal type to interleave: the one who takes it first goes
// on, the others wait in the model (never spinning), and the real lock is free when the
// model hands it over.
int pthread_spin_init(pthread_spinlock_t *l, int pshared)
{
    if (steered())
        ask({.call = call_t::mutex_init, .object = spin_object(l), .flags = pshared == PTHREAD_PROCESS_SHARED ? kShared : 0u});
    return r().spin_init(l, pshared);
}

int pthread_spin_lock(pthread_spinlock_t *l)
{
    if (steered())
        ask({.call = call_t::mutex_lock, .object = spin_object(l)});
    return r().spin_lock(l);
}

int pthread_spin_trylock(pthread_spinlock_t *l)
{
    if (steered() && ask({.call = call_t::mutex_trylock, .object = spin_object(l)}) == 0)
        return EBUSY;
    return r().spin_trylock(l);
}

int pthread_spin_unlock(pthread_spinlock_t *l)
{
    if (steered())
        ask({.call = call_t::mutex_unlock, .object = spin_object(l)});
    return r().spin_unlock(l);
}

int pthread_spin_destroy(pthread_spinlock_t *l)
{
    if (steered())
        ask({.call = call_t::mutex_destroy, .object = spin_object(l)});
    return r().spin_destroy(l);
}

int pthread_rwlock_init(pthread_rwlock_t *l, const pthread_rwlockattr_t *attr)
{
    const int rc = r().rwlock_init(l, attr);
    if (steered())
        ask({.call = call_t::rwlock_init, .object = l, .flags = rwlock_flags(l)});
    return rc;
}

int pthread_rwlock_rdlock(pthread_rwlock_t *l)
{
    return steered() ? read_lock(l, -1) : r().rwlock_rdlock(l);
}

int pthread_rwlock_timedrdlock(pthread_rwlock_t *l, const timespec *deadline)
{
    return steered() ? read_lock(l, deadline_on(CLOCK_REALTIME, deadline)) : r().rwlock_timedrdlock(l, deadline);
}

int pthread_rwlock_clockrdlock(pthread_rwlock_t *l, clockid_t clock, const timespec *deadline)
{
    return steered() ? read_lock(l, deadline_on(clock, deadline)) : r().rwlock_clockrdlock(l, clock, deadline);
}

int pthread_rwlock_tryrdlock(pthread_rwlock_t *l)
{
    if (steered() && ask({.call = call_t::rwlock_tryrdlock, .object = l, .flags = rwlock_flags(l)}) == 0)
        return EBUSY;
    return r().rwlock_tryrdlock(l);
}

int pthread_rwlock_wrlock(pthread_rwlock_t *l)
{
    return steered() ? write_lock(l, -1) : r().rwlock_wrlock(l);
}

int pthread_rwlock_timedwrlock(pthread_rwlock_t *l, const timespec *deadline)
{
    return steered() ? write_lock(l, deadline_on(CLOCK_REALTIME, deadline)) : r().rwlock_timedwrlock(l, deadline);
}

int pthread_rwlock_clockwrlock(pthread_rwlock_t *l, clockid_t clock, const timespec *deadline)
{
    return steered() ? write_lock(l, deadline_on(clock, deadline)) : r().rwlock_clockwrlock(l, clock, deadline);
}

int pthread_rwlock_trywrlock(pthread_rwlock_t *l)
{
    if (steered() && ask({.call = call_t::rwlock_trywrlock, .object = l, .flags = rwlock_flags(l)}) == 0)
        return EBUSY;
    return r().rwlock_trywrlock(l);
}

int pthread_rwlock_unlock(pthread_rwlock_t *l)
{
    if (steered())
        ask({.call = call_t::rwlock_unlock, .object = l, .flags = rwlock_flags(l)});
    return r().rwlock_unlock(l);
}

int pthread_rwlock_destroy(pthread_rwlock_t *l)
{
    if (steered())
        ask({.call = call_t::rwlock_destroy, .object = l, .flags = rwlock_flags(l)});
    return r().rwlock_destroy(l);
}

int pthread_cond_init(pthread_cond_t *c, const pthread_condattr_t *attr)
{
    const int rc = r().cond_init(c, attr);
    if (steered())
        ask({.call = call_t::cond_init, .object = c, .flags = cond_flags(c)});
    return rc;
}

int pthread_cond_wait(pthread_cond_t *c, pthread_mutex_t *m)
{
    return steered() ? cond_wait(c, m, -1) : r().cond_wait(c, m);
}

int pthread_cond_timedwait(pthread_cond_t *c, pthread_mutex_t *m, const timespec *deadline)
{
    if (!steered())
        return r().cond_timedwait(c, m, deadline);
    return cond_wait(c, m, deadline_on((cond_flags(c) & kMonotonic) != 0 ? CLOCK_MONOTONIC : CLOCK_REALTIME, deadline));
}

int pthread_cond_clockwait(pthread_cond_t *c, pthread_mutex_t *m, clockid_t clock, const timespec *deadline)
{
    return steered() ? cond_wait(c, m, deadline_on(clock, deadline)) : r().cond_clockwait(c, m, clock, deadline);
}

int pthread_cond_signal(pthread_cond_t *c)
{
    if (!steered())
        return r().cond_signal(c);
    ask({.call = call_t::cond_signal, .object = c, .flags = cond_flags(c)});
    return 0;
}

int pthread_cond_broadcast(pthread_cond_t *c)
{
    if (!steered())
        return r().cond_broadcast(c);
    ask({.call = call_t::cond_broadcast, .object = c, .flags = cond_flags(c)});
    return 0;
}

int pthread_cond_destroy(pthread_cond_t *c)
{
    if (steered())
        ask({.call = call_t::cond_destroy, .object = c, .flags = cond_flags(c)});
    return r().cond_destroy(c);
}

int sem_init(sem_t *s, int pshared, unsigned value)
{
    if (steered())
        ask({.call = call_t::sem_init, .object = s, .value = value, .flags = pshared != 0 ? kShared : 0u});
    return r().sem_init(s, pshared, value);
}

int sem_wait(sem_t *s)
{
    return steered() ? sem_wait_until(s, -1) : r().sem_wait(s);
}

int sem_timedwait(sem_t *s, const timespec *deadline)
{
    return steered() ? sem_wait_until(s, deadline_on(CLOCK_REALTIME, deadline)) : r().sem_timedwait(s, deadline);
}

int sem_clockwait(sem_t *s, clockid_t clock, const timespec *deadline)
{
    return steered() ? sem_wait_until(s, deadline_on(clock, deadline)) : r().sem_clockwait(s, clock, deadline);
}

int sem_trywait(sem_t *s)
{
    if (steered() &&
        ask({.call = call_t::sem_trywait, .object = s, .value = count_of(s), .flags = sem_flags(s)}) == 0) {
        errno = EAGAIN;
        return -1;
    }
    return r().sem_trywait(s);
}

int sem_post(sem_t *s)
{
    if (steered())
        ask({.call = call_t::sem_post, .object = s, .value = count_of(s), .flags = sem_flags(s)});
    return r().sem_post(s);
}

int sem_getvalue(sem_t *s, int *value)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(value), sizeof *value, __builtin_return_address(0));
    if (steered())
        ask({.call = call_t::sem_getvalue, .object = s, .value = count_of(s), .flags = sem_flags(s)});
    return r().sem_getvalue(s, value);
}

int sem_destroy(sem_t *s)
{
    if (steered())
        ask({.call = call_t::sem_destroy, .object = s, .value = count_of(s), .flags = sem_flags(s)});
    return r().sem_destroy(s);
}

// A barrier waits in the model alone: its real counterpart is set up and torn down, and
// never waited on.
int pthread_barrier_init(pthread_barrier_t *b, const pthread_barrierattr_t *attr, unsigned count)
{
    int shared = PTHREAD_PROCESS_PRIVATE;
    if (attr != nullptr)
        pthread_barrierattr_getpshared(attr, &shared);
    if (steered())
        ask({.call = call_t::barrier_init, .object = b, .value = count,
             .flags = shared == PTHREAD_PROCESS_SHARED ? kShared : 0u});
    return r().barrier_init(b, attr, count);
}

int pthread_barrier_wait(pthread_barrier_t *b)
{
    if (!steered())
        return r().barrier_wait(b);
    released(b);
    const int64_t answer = ask({.call = call_t::barrier_wait, .object = b});
    acquired(b);
    return answer == kSerial ? PTHREAD_BARRIER_SERIAL_THREAD : 0;
}

int pthread_barrier_destroy(pthread_barrier_t *b)
{
    if (steered())
        ask({.call = call_t::barrier_destroy, .object = b});
    return r().barrier_destroy(b);
}

// pthread_once, and std::call_once above it: whoever comes first runs the set-up, and the
// others wait until it has run. A set-up abandoned (cancelled, or thrown out of) lets the
// next one try.
int pthread_once(pthread_once_t *control, void (*routine)())
{
    // Asked even when the set-up has run: whether it has is what the turn finds out.
    if (!steered())
        return r().once(control, routine);
    const uint32_t done = (*control & kOnceDone) != 0 ? static_cast<uint32_t>(kDone) : 0;
    if (ask({.call = call_t::once, .object = control, .flags = done}) == 0) {
        acquired(control);
        return 0;
    }
    try {
        r().once(control, routine);
    } catch (...) {
        ask({.call = call_t::once_done, .object = control, .value = 0});
        throw;
    }
    released(control);
    ask({.call = call_t::once_done, .object = control, .value = 1});
    return 0;
}

// The C++ runtime's guard of a function's static: the same, for the static's construction.
// (The program looks at the guard's first byte itself, and calls these only while it is 0.)
int __cxa_guard_acquire(int64_t *guard)
{
    if (!steered() || *reinterpret_cast<const char *>(guard) != 0)
        return r().guard_acquire(guard);
    if (ask({.call = call_t::once, .object = guard}) == 0) {
        acquired(guard);
        return 0;
    }
    return r().guard_acquire(guard);
}

void __cxa_guard_release(int64_t *guard)
{
    if (steered()) {
        released(guard);
        ask({.call = call_t::once_done, .object = guard, .value = 1});
    }
    r().guard_release(guard);
}

void __cxa_guard_abort(int64_t *guard)
{
    if (steered())
        ask({.call = call_t::once_done, .object = guard, .value = 0});
    r().guard_abort(guard);
}

// syscall() is how the C++ runtime waits on a futex of its own; its clocks too, where it
// reads them so. Every other system call goes through untouched.
long syscall(long number, ...)
{
    va_list args;
    va_start(args, number);
    long a[6];
    for (long &arg : a)
        arg = va_arg(args, long);
    va_end(args);
    if (number == SYS_futex && steered()) {
        auto *address = reinterpret_cast<uint32_t *>(a[0]);
        const int op = static_cast<int>(a[1]) & FUTEX_CMD_MASK;
        const uint32_t flags = (a[1] & FUTEX_PRIVATE_FLAG) != 0 ? 0u : kShared;
        const auto *time = reinterpret_cast<const timespec *>(a[3]);
        if (op == FUTEX_WAIT)
            return futex_wait(address, static_cast<uint32_t>(a[2]), deadline_after(time), flags);
        if (op == FUTEX_WAIT_BITSET)
            return futex_wait(address, static_cast<uint32_t>(a[2]),
                              deadline_on((a[1] & FUTEX_CLOCK_REALTIME) != 0 ? CLOCK_REALTIME : CLOCK_MONOTONIC, time),
                              flags);
        if (op == FUTEX_WAKE || op == FUTEX_WAKE_BITSET)
            return ask({.call = call_t::futex_wake, .object = address, .value = a[2], .flags = flags});
    }
    if (number == SYS_clock_gettime && steered_process())
        return clock_gettime(static_cast<clockid_t>(a[0]), reinterpret_cast<timespec *>(a[1]));
    return r().syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

}  // extern "C"
