// The steering library: signals. A signal that one thread sends another, a timer's, a
// child's death: each arrives, natively, at whatever moment the system delivers it, and a
// program whose handler locks, posts or writes behaves differently with the moment. Here
// the moment is interleave's to choose, as the order of turns is: every steered thread
// holds back, from the system, every signal that does not come of its own action (a
// fault, a broken pipe, an abort), so that a signal sent waits in the system; interleave
// knows it waits, and chooses the turn at which it arrives. Then the thread lets that one
// signal through, and the system delivers it, with its handler's mask and flags, as it
// would have. A handler's calls are turns of its thread like any others.
//
// The program sees the mask it set, not the one the thread holds: `wanted` is the
// program's, and the system's is always that, with every held signal added.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <ucontext.h>

#include "steer.h"

namespace steer {
namespace {

// The program's handlers, which run inside a trampoline of ours, with what their
// sigaction said.
struct handler_t {
    void (*plain)(int) = nullptr;
    void (*with_info)(int, siginfo_t *, void *) = nullptr;
    sigset_t mask{};
    int flags = 0;
};
handler_t handlers[NSIG];

// The timers of timer_create that interleave keeps, by number; what the program holds is
// the number with a tag, which no timer of the system's has.
struct posix_timer_t {
    bool used = false;
    int sig = 0;        // 0: it sends none
    int tid = 0;        // the thread it signals, or 0 for the process
    int64_t value = 0;  // handed with the signal
    int64_t interval = 0;
    clockid_t clock = CLOCK_REALTIME;
};
constexpr int kTimers = 64;
constexpr intptr_t kTimerTag = 0x1f7e0000;
posix_timer_t timers[kTimers];

int timer_of(timer_t id)
{
    const intptr_t k = reinterpret_cast<intptr_t>(id) - kTimerTag;
    return k > 0 && k < kTimers && timers[k].used ? static_cast<int>(k) : 0;
}

// The signals a steered thread holds back: all but those its own action raises at once
// (a fault, a broken pipe, an abort, a file too large) and those no thread can hold.
sigset_t held;
bool held_known;

// What the process's signals do, a bit each (signal n is bit n - 1).
uint64_t caught, ignored;

thread_local sigset_t wanted;     // the program's own mask for this thread
thread_local bool holding;        // this thread holds signals back for interleave

uint64_t bit(int sig)
{
    return sig > 0 && sig <= 64 ? uint64_t{1} << (sig - 1) : 0;
}

uint64_t bits_of(const sigset_t &set)
{
    uint64_t bits = 0;
    for (int sig = 1; sig < NSIG && sig <= 64; sig++)
        if (sigismember(&set, sig) == 1)
            bits |= bit(sig);
    return bits;
}

void know_held()
{
    if (held_known)
        return;
    sigfillset(&held);
    for (int sig : {SIGKILL, SIGSTOP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, SIGPIPE, SIGXFSZ, SIGXCPU})
        sigdelset(&held, sig);
    held_known = true;
}

bool is_held(int sig)
{
    know_held();
    return sig > 0 && sig < NSIG && sigismember(&held, sig) == 1;
}

// The system's mask for the thread: the program's, and every held signal.
void hold_now()
{
    sigset_t system;
    sigorset(&system, &wanted, &held);
    r().thread_mask(SIG_SETMASK, &system, nullptr);
}

void trampoline(int sig, siginfo_t *info, void *context)
{
    const int saved = errno;
    const handler_t h = handlers[sig];
    const sigset_t before = wanted;
    // In the handler, the thread's mask is the program's with what its sigaction adds, as
    // the system makes it.
    if (holding) {
        sigorset(&wanted, &wanted, &h.mask);
        if ((h.flags & SA_NODEFER) == 0)
            sigaddset(&wanted, sig);
    }
    if ((h.flags & SA_RESETHAND) != 0) {
        caught &= ~bit(sig);
        handlers[sig] = {};
    }
    if (h.with_info != nullptr)
        h.with_info(sig, info, context);
    else if (h.plain != nullptr)
        h.plain(sig);
    if (holding) {
        wanted = before;
        // The system restores the mask from the handler's frame as it returns: the held
        // signals stay held there.
        auto *frame = static_cast<ucontext_t *>(context);
        sigorset(&frame->uc_sigmask, &frame->uc_sigmask, &held);
    }
    errno = saved;
}

// The signals the process found set up as it started: ignored ones stay ignored across an
// exec, and a library may have set a handler before the program's code ran.
void know_dispositions()
{
    caught = ignored = 0;
    for (int sig = 1; sig < NSIG && sig <= 64; sig++) {
        struct sigaction now {};
        if (sig == SIGKILL || sig == SIGSTOP || r().sigaction(sig, nullptr, &now) != 0)
            continue;
        if ((now.sa_flags & SA_SIGINFO) == 0 && now.sa_handler == SIG_IGN)
            ignored |= bit(sig);
        else if ((now.sa_flags & SA_SIGINFO) != 0 || now.sa_handler != SIG_DFL)
            caught |= bit(sig);
    }
}

// A signal sent to the thread itself, or to its own process where interleave says no other
// thread lets it through, arrives before the call that sent it returns, as the system
// would deliver it.
void arrives_at_once(int sig)
{
    if (holding && sig > 0 && is_held(sig) && sigismember(&wanted, sig) != 1)
        arrive(sig);
}

bool reaches_own_process(pid_t pid)
{
    return pid == getpid() || pid == 0 || pid == -getpgrp();
}

int send_to_thread(pthread_t thread, int sig)
{
    if (!steered())
        return r().pthread_kill(thread, sig);
    ask({.call = call_t::kill, .object2 = static_cast<uint64_t>(thread), .extra = sig, .flags = kToThread});
    const int rc = r().pthread_kill(thread, sig);
    if (rc == 0 && pthread_equal(thread, pthread_self()) != 0)
        arrives_at_once(sig);
    return rc;
}

}  // namespace

void hold_signals(const sigset_t *program_mask)
{
    know_held();
    sigset_t now;
    r().thread_mask(SIG_BLOCK, &held, &now);
    wanted = program_mask != nullptr ? *program_mask : now;
    holding = true;
}

void start_signals()
{
    know_dispositions();
}

const sigset_t &program_mask()
{
    return wanted;
}

void tell_signals(channel_t &c)
{
    c.sigmask = holding ? bits_of(wanted) : 0;
    c.caught = caught;
    c.ignored = ignored;
}

bool signal_may_arrive()
{
    if (!holding)
        return false;
    sigset_t waiting;
    if (sigpending(&waiting) != 0)
        return false;
    for (int sig = 1; sig < NSIG; sig++)
        if (sigismember(&waiting, sig) == 1 && is_held(sig) && sigismember(&wanted, sig) != 1)
            return true;
    return false;
}

bool handler_may_run()
{
    // Only a signal held back for interleave can be sent to arrive later: a fault's handler
    // (a sanitizer's, for one) runs where the thread's own action raised it.
    know_held();
    return holding && (caught & bits_of(held) & ~bits_of(wanted)) != 0;
}

void arrive(int sig)
{
    // The one signal is let through: the system delivers it as the mask changes, and its
    // handler runs, or its default action is taken (which may end the process here).
    sigset_t through;
    sigorset(&through, &wanted, &held);
    sigdelset(&through, sig);
    r().thread_mask(SIG_SETMASK, &through, nullptr);
    hold_now();
}

int64_t cut_short(const request_t &q, int sig)
{
    const bool restarts = sig > 0 && sig < NSIG && (handlers[sig].flags & SA_RESTART) != 0;
    switch (q.call) {
    case call_t::sleep:
    case call_t::sigsuspend:
    case call_t::sigwait:
    case call_t::futex_park:
        return kInterrupted;
    case call_t::sem_wait:  // the system restarts a wait with no time limit, if the handler asks
        return q.deadline >= 0 || !restarts ? kInterrupted : 0;
    case call_t::wait:  // restarted when the handler was set up so
        return restarts ? 0 : kInterrupted;
    case call_t::io:  // a read of an empty pipe, or a FIFO's open, that waits
        return (q.flags & kEmpty) == 0 ? 0 : restarts ? kRestarted : kInterrupted;
    default:
        return 0;
    }
}

void use_program_mask()
{
    if (holding)
        r().thread_mask(SIG_SETMASK, &wanted, nullptr);
}

void hold_again()
{
    if (holding)
        hold_now();
}

}  // namespace steer

using namespace steer;

extern "C" {

int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    // The old action is written into the program's memory: at the change's turn, or, where
    // there is no change, at a turn of its own.
    const buffer_t told(reinterpret_cast<uintptr_t>(old), old != nullptr && act != nullptr ? sizeof *old : 0,
                        __builtin_return_address(0));
    if (act == nullptr)
        library_writes(old, sizeof *old, __builtin_return_address(0));
    if (!steered_process() || sig <= 0 || sig >= NSIG || sig == SIGKILL || sig == SIGSTOP)
        return r().sigaction(sig, act, old);
    struct sigaction was {};
    if (const int rc = r().sigaction(sig, nullptr, &was); rc != 0)
        return rc;
    // What the program sees is what it set: its handler, not our trampoline around it.
    if ((was.sa_flags & SA_SIGINFO) != 0 && was.sa_sigaction == trampoline) {
        if (handlers[sig].with_info != nullptr) {
            was.sa_sigaction = handlers[sig].with_info;
        } else {
            was.sa_handler = handlers[sig].plain;
            was.sa_flags &= ~SA_SIGINFO;
        }
    }
    if (act != nullptr) {
        // What a signal does is the process's: a signal of another thread's may arrive
        // before the change or after it, so the change is a turn.
        const bool handled = (act->sa_flags & SA_SIGINFO) != 0 || (act->sa_handler != SIG_DFL && act->sa_handler != SIG_IGN);
        const disposition_t now = handled ? kCaught : act->sa_handler == SIG_IGN ? kIgnored : kDefault;
        if (steered())
            ask({.call = call_t::sigaction, .value = sig, .extra = now});
        struct sigaction mine = *act;
        if (handled) {
            handlers[sig] = (act->sa_flags & SA_SIGINFO) != 0 ? handler_t{nullptr, act->sa_sigaction, act->sa_mask, act->sa_flags}
                                                               : handler_t{act->sa_handler, nullptr, act->sa_mask, act->sa_flags};
            mine.sa_sigaction = trampoline;
            mine.sa_flags |= SA_SIGINFO;
        }
        if (const int rc = r().sigaction(sig, &mine, nullptr); rc != 0)
            return rc;
        caught = handled ? caught | bit(sig) : caught & ~bit(sig);
        ignored = now == kIgnored ? ignored | bit(sig) : ignored & ~bit(sig);
    }
    if (old != nullptr)
        *old = was;
    return 0;
}

sighandler_t signal(int sig, sighandler_t handler)
{
    struct sigaction act {}, old {};
    act.sa_handler = handler;
    act.sa_flags = SA_RESTART;
    sigemptyset(&act.sa_mask);
    if (sigaction(sig, &act, &old) != 0)
        return SIG_ERR;
    return old.sa_handler;  // the same place as sa_sigaction
}

// The program's mask is its own; the system's keeps the held signals held. A signal that
// waits and that the new mask lets through arrives before the call returns.
int pthread_sigmask(int how, const sigset_t *set, sigset_t *old)
{
    if (!holding)
        return r().thread_mask(how, set, old);
    const sigset_t before = wanted;
    if (set == nullptr) {
        if (old != nullptr)
            *old = before;
        return 0;
    }
    sigset_t after = before;
    if (how == SIG_BLOCK) {
        sigorset(&after, &before, set);
    } else if (how == SIG_UNBLOCK) {
        for (int sig = 1; sig < NSIG; sig++)
            if (sigismember(set, sig) == 1)
                sigdelset(&after, sig);
    } else if (how == SIG_SETMASK) {
        after = *set;
    } else {
        return EINVAL;
    }
    sigdelset(&after, SIGKILL);
    sigdelset(&after, SIGSTOP);
    if (old != nullptr)
        *old = before;
    wanted = after;
    // Which signals can arrive at the thread changes: that is a turn, which a signal sent
    // by another thread may come before or after. One that waits and is let through now
    // arrives before the call returns, as the system delivers it.
    know_held();
    const uint64_t held_bits = bits_of(held);
    if (steered() && (bits_of(before) & held_bits) != (bits_of(after) & held_bits)) {
        ask({.call = call_t::sigmask, .value = static_cast<int64_t>(bits_of(after))});
        use_program_mask();
    }
    hold_now();
    return 0;
}

int sigprocmask(int how, const sigset_t *set, sigset_t *old)
{
    if (const int rc = pthread_sigmask(how, set, old); rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

// A signal sent is a turn: it waits, held, until interleave lets it arrive.
int kill(pid_t pid, int sig)
{
    // interleave, or the server that forked the run, stands where the program's parent
    // would: a signal sent there would end or stop the search, not tell a parent. It goes
    // nowhere, as to a parent that ignores it.
    if (steered_process() && pid > 0 && stands_for_parent(pid))
        return 0;
    if (!steered())
        return r().kill(pid, sig);
    // Where another thread lets the signal through too, interleave's schedule chooses the
    // thread it arrives at, as the system may give it to any of them.
    const bool to_sender = ask({.call = call_t::kill, .value = pid, .extra = sig}) == kToSender;
    const int rc = r().kill(pid, sig);
    if (rc == 0 && to_sender && reaches_own_process(pid))
        arrives_at_once(sig);
    return rc;
}

int sigqueue(pid_t pid, int sig, const union sigval value)
{
    if (steered_process() && pid > 0 && stands_for_parent(pid))
        return 0;
    if (!steered())
        return r().sigqueue(pid, sig, value);
    const bool to_sender = ask({.call = call_t::kill, .value = pid, .extra = sig}) == kToSender;
    const int rc = r().sigqueue(pid, sig, value);
    if (rc == 0 && to_sender && pid == getpid())
        arrives_at_once(sig);
    return rc;
}

int pthread_kill(pthread_t thread, int sig)
{
    return send_to_thread(thread, sig);
}

int raise(int sig)
{
    if (const int rc = send_to_thread(pthread_self(), sig); rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

// Waits for a signal: they end only when one arrives, and its handler has run.
int sigsuspend(const sigset_t *mask)
{
    if (!steered())
        return r().sigsuspend(mask);
    const sigset_t before = wanted;
    wanted = *mask;
    sigdelset(&wanted, SIGKILL);
    sigdelset(&wanted, SIGSTOP);
    hold_now();
    const int64_t answer = ask_at_cancellation_point({.call = call_t::sigsuspend, .value = static_cast<int64_t>(bits_of(wanted))});
    wanted = before;
    hold_now();
    (void)answer;  // it ends only as a signal arrives, or the thread is cancelled
    errno = EINTR;
    return -1;
}

int pause()
{
    if (!steered())
        return r().pause();
    const sigset_t now = wanted;
    return sigsuspend(&now);
}

// Takes a waiting signal of the set, with no handler: the turn comes when one waits.
int sigtimedwait(const sigset_t *set, siginfo_t *info, const timespec *timeout)
{
    if (!steered())
        return r().sigtimedwait(set, info, timeout);
    const int64_t got = ask_at_cancellation_point({.call = call_t::sigwait, .value = static_cast<int64_t>(bits_of(*set)),
                                                   .deadline = timeout != nullptr ? deadline_after(timeout) : -1});
    if (got == kInterrupted) {
        errno = EINTR;
        return -1;
    }
    if (got <= 0) {
        errno = EAGAIN;
        return -1;
    }
    // It waits in the system, held: it is taken from there at once.
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, static_cast<int>(got));
    const timespec now{0, 0};
    return r().sigtimedwait(&one, info, &now);
}

int sigwaitinfo(const sigset_t *set, siginfo_t *info)
{
    return sigtimedwait(set, info, nullptr);
}

int sigwait(const sigset_t *set, int *sig)
{
    for (;;) {
        const int got = sigtimedwait(set, nullptr, nullptr);
        if (got > 0) {
            *sig = got;
            return 0;
        }
        if (errno != EINTR)
            return errno;
    }
}

// A timer that sends SIGALRM: its time comes on the program's clock, as a sleep's does.
unsigned alarm(unsigned seconds)
{
    if (!steered())
        return r().alarm(seconds);
    const int64_t left =
        ask({.call = call_t::alarm, .object2 = SIGALRM, .value = static_cast<int64_t>(seconds) * 1000000000});
    return static_cast<unsigned>((left + 999999999) / 1000000000);
}

int setitimer(__itimer_which_t which, const itimerval *value, itimerval *old)
{
    if (!steered() || which != ITIMER_REAL)
        return r().setitimer(which, value, old);
    const auto ns = [](const timeval &t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_usec * 1000; };
    const int64_t left =
        ask({.call = call_t::alarm, .object2 = SIGALRM, .value = ns(value->it_value), .extra = ns(value->it_interval)});
    if (old != nullptr)
        *old = {{0, 0}, {static_cast<time_t>(left / 1000000000), static_cast<suseconds_t>(left % 1000000000 / 1000)}};
    return 0;
}

// The timers of timer_create are interleave's too, on its clock: each sends its signal (to
// the process, or to one thread) when its time comes, as a turn of the schedule's. A timer
// that would start a thread of its own (SIGEV_THREAD) is the system's.
int timer_create(clockid_t clock, sigevent *event, timer_t *id)
{
    const int notify = event != nullptr ? event->sigev_notify : SIGEV_SIGNAL;
    if (!steered() || notify == SIGEV_THREAD || (clock != CLOCK_REALTIME && clock != CLOCK_MONOTONIC && clock != CLOCK_BOOTTIME))
        return r().timer_create(clock, event, id);
    for (int k = 1; k < kTimers; k++)
        if (!timers[k].used) {
            timers[k] = {true,
                         notify == SIGEV_NONE ? 0 : event != nullptr ? event->sigev_signo : SIGALRM,
                         notify == SIGEV_THREAD_ID ? event->_sigev_un._tid : 0,
                         event != nullptr ? reinterpret_cast<int64_t>(event->sigev_value.sival_ptr) : k,
                         0,
                         clock};
            *id = reinterpret_cast<timer_t>(kTimerTag + k);
            return 0;
        }
    errno = EAGAIN;
    return -1;
}

int timer_settime(timer_t id, int flags, const itimerspec *value, itimerspec *old)
{
    const int k = timer_of(id);
    if (k == 0)
        return r().timer_settime(id, flags, value, old);
    posix_timer_t &t = timers[k];
    const auto ns = [](const timespec &v) { return static_cast<int64_t>(v.tv_sec) * 1000000000 + v.tv_nsec; };
    int64_t delay = ns(value->it_value);
    if ((flags & TIMER_ABSTIME) != 0 && delay > 0)
        delay = std::max<int64_t>(deadline_on(t.clock, &value->it_value) - deadline_after(int64_t{0}), 1);
    const int64_t left = ask({.call = call_t::alarm, .object = reinterpret_cast<const void *>(static_cast<intptr_t>(k)),
                              .object2 = static_cast<uint64_t>(t.sig) | (static_cast<uint64_t>(t.tid) << 8),
                              .value = delay, .extra = ns(value->it_interval), .deadline = t.value});
    if (old != nullptr)
        *old = {{t.interval / 1000000000, t.interval % 1000000000}, {left / 1000000000, left % 1000000000}};
    t.interval = delay > 0 ? ns(value->it_interval) : 0;
    return 0;
}

int timer_gettime(timer_t id, itimerspec *now)
{
    const int k = timer_of(id);
    if (k == 0)
        return r().timer_gettime(id, now);
    const int64_t left = ask({.call = call_t::alarm, .object = reinterpret_cast<const void *>(static_cast<intptr_t>(k)),
                              .flags = kTry});
    *now = {{timers[k].interval / 1000000000, timers[k].interval % 1000000000}, {left / 1000000000, left % 1000000000}};
    return 0;
}

int timer_getoverrun(timer_t id)
{
    return timer_of(id) == 0 ? r().timer_getoverrun(id) : 0;
}

int timer_delete(timer_t id)
{
    const int k = timer_of(id);
    if (k == 0)
        return r().timer_delete(id);
    ask({.call = call_t::alarm, .object = reinterpret_cast<const void *>(static_cast<intptr_t>(k))});
    timers[k] = {};
    return 0;
}

}  // extern "C"
