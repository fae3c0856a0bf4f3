// The steering library of interleave, preloaded (LD_PRELOAD) into the program it runs. It
// stands in front of every call that synchronises the program's threads or processes, and
// of its writes, reads, sleeps and clock. At each, the thread asks interleave for its turn
// and waits; when its turn comes, it makes the call for real. The real call never blocks,
// since interleave's model of the locks and semaphores lets it go on only when it can.
//
// This file: the library's state, the asking for turns, and the life of threads and
// processes (start, end, crash, fork, exec, wait, kill, exit).
//
// Only the process interleave started, and the processes it forks, are steered: another
// program that one of them starts finds the library idle. The library keeps its state in
// the shared region and a few values per thread, and waits with raw futex calls, which are
// no cancellation points.

#include "steer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace steer {
namespace {

region_t *region;               // null: this process is not steered
int bell = -1;                  // the eventfd that tells interleave a thread has asked
pid_t driver = 0;               // interleave itself
std::atomic<bool> exiting;      // the program's own exit handlers have run: what is left is
                                // the runtimes' (a sanitizer's leak check), not the program's
thread_local int me = -1;       // this thread's channel; -1: the thread is not steered
thread_local bool wrapped;      // started through begin(), which reports its end
thread_local bool inside;       // in ask(): a signal handler's calls are not steered
thread_local bool in_fork;      // between our atfork handlers: the thread is in no process yet
thread_local int forking = -1;  // the channel a fork of this thread's gives its child
thread_local void *alt_stack;   // where a crash's handler runs, even on an overflowed stack
constexpr std::size_t kAltStack = 64 * 1024;
constexpr int kSpins = 1000;  // looks at the turn word before a thread sleeps on it

real_t real;
std::atomic<bool> found;

template <typename F>
void find(F &function, const char *name)
{
    function = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Called before any real function is used: a library's constructor may call ours before
// our own constructor has run.
void find_real()
{
    if (found.load(std::memory_order_acquire))
        return;
    find(real.mutex_init, "pthread_mutex_init");
    find(real.mutex_lock, "pthread_mutex_lock");
    find(real.mutex_trylock, "pthread_mutex_trylock");
    find(real.mutex_timedlock, "pthread_mutex_timedlock");
    find(real.mutex_clocklock, "pthread_mutex_clocklock");
    find(real.mutex_unlock, "pthread_mutex_unlock");
    find(real.mutex_destroy, "pthread_mutex_destroy");
    find(real.rwlock_init, "pthread_rwlock_init");
    find(real.rwlock_rdlock, "pthread_rwlock_rdlock");
    find(real.rwlock_tryrdlock, "pthread_rwlock_tryrdlock");
    find(real.rwlock_timedrdlock, "pthread_rwlock_timedrdlock");
    find(real.rwlock_clockrdlock, "pthread_rwlock_clockrdlock");
    find(real.rwlock_wrlock, "pthread_rwlock_wrlock");
    find(real.rwlock_timedwrlock, "pthread_rwlock_timedwrlock");
    find(real.rwlock_clockwrlock, "pthread_rwlock_clockwrlock");
    find(real.rwlock_trywrlock, "pthread_rwlock_trywrlock");
    find(real.rwlock_unlock, "pthread_rwlock_unlock");
    find(real.rwlock_destroy, "pthread_rwlock_destroy");
    find(real.cond_init, "pthread_cond_init");
    find(real.cond_wait, "pthread_cond_wait");
    find(real.cond_timedwait, "pthread_cond_timedwait");
    find(real.cond_clockwait, "pthread_cond_clockwait");
    find(real.cond_signal, "pthread_cond_signal");
    find(real.cond_broadcast, "pthread_cond_broadcast");
    find(real.cond_destroy, "pthread_cond_destroy");
    find(real.sem_init, "sem_init");
    find(real.sem_wait, "sem_wait");
    find(real.sem_timedwait, "sem_timedwait");
    find(real.sem_clockwait, "sem_clockwait");
    find(real.sem_trywait, "sem_trywait");
    find(real.sem_post, "sem_post");
    find(real.sem_destroy, "sem_destroy");
    find(real.sem_getvalue, "sem_getvalue");
    find(real.barrier_init, "pthread_barrier_init");
    find(real.barrier_wait, "pthread_barrier_wait");
    find(real.barrier_destroy, "pthread_barrier_destroy");
    find(real.once, "pthread_once");
    find(real.guard_acquire, "__cxa_guard_acquire");
    find(real.guard_release, "__cxa_guard_release");
    find(real.guard_abort, "__cxa_guard_abort");
    find(real.syscall, "syscall");
    find(real.create, "pthread_create");
    find(real.join, "pthread_join");
    find(real.detach, "pthread_detach");
    find(real.cancel, "pthread_cancel");
    find(real.testcancel, "pthread_testcancel");
    find(real.thread_exit, "pthread_exit");
    find(real.fork, "fork");
    find(real.execve, "execve");
    find(real.execvpe, "execvpe");
    find(real.waitpid, "waitpid");
    find(real.exit, "exit");
    find(real.exit_now, "_exit");
    find(real.exit_now_too, "_Exit");
    find(real.kill, "kill");
    find(real.sleep, "sleep");
    find(real.usleep, "usleep");
    find(real.nanosleep, "nanosleep");
    find(real.clock_nanosleep, "clock_nanosleep");
    find(real.sched_yield, "sched_yield");
    find(real.vprintf, "vprintf");
    find(real.vprintf_chk, "__vprintf_chk");
    find(real.vfprintf, "vfprintf");
    find(real.vfprintf_chk, "__vfprintf_chk");
    find(real.puts, "puts");
    find(real.putchar, "putchar");
    find(real.fputs, "fputs");
    find(real.fputc, "fputc");
    find(real.putc, "putc");
    find(real.fwrite, "fwrite");
    find(real.fflush, "fflush");
    find(real.perror, "perror");
    find(real.write, "write");
    find(real.read, "read");
    find(real.fgets, "fgets");
    find(real.getdelim, "getdelim");
    find(real.fgetc, "fgetc");
    find(real.getc, "getc");
    find(real.getchar, "getchar");
    find(real.fread, "fread");
    find(real.vscanf, "__isoc99_vscanf");
    find(real.vfscanf, "__isoc99_vfscanf");
    find(real.time, "time");
    find(real.clock_gettime, "clock_gettime");
    find(real.gettimeofday, "gettimeofday");
    found.store(true, std::memory_order_release);
}

void ring()
{
    const uint64_t one = 1;
    r().syscall(SYS_write, bell, &one, sizeof one);
}

// Waits until interleave answers. If interleave itself is gone, nobody ever will: then the
// program ends, instead of waiting for ever.
void wait_for_answer(channel_t &c)
{
    // The answer often comes within microseconds: look for it a while before sleeping.
    for (int k = 0; k < kSpins && c.turn.load(std::memory_order_acquire) != kGo; k++)
        __builtin_ia32_pause();
    const timespec second{1, 0};
    while (c.turn.load(std::memory_order_acquire) != kGo)
        if (r().syscall(SYS_futex, &c.turn, FUTEX_WAIT, kAsking, &second, nullptr, 0) == -1 && errno == ETIMEDOUT &&
            r().syscall(SYS_kill, driver, 0) == -1 && errno == ESRCH)
            r().exit_now(111);
    c.turn.store(kRunning, std::memory_order_relaxed);
}

bool cancel_enabled()
{
    int state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    pthread_setcancelstate(state, nullptr);
    return state == PTHREAD_CANCEL_ENABLE;
}

// What the program wrote in its turn reaches interleave by the turn's end, whatever the
// buffering of its standard output: text still in the buffer is written out as the thread
// asks for its next turn. (Not before a fork, whose child inherits the buffer, as it would.)
bool flush_output()
{
    bool flushed = false;
    for (FILE *f : {stdout, stderr})
        if (f->_IO_write_ptr > f->_IO_write_base && ftrylockfile(f) == 0) {
            r().fflush(f);
            funlockfile(f);
            flushed = true;
        }
    return flushed;
}

void register_me(int channel)
{
    me = channel;
    channel_t &c = region->channels[channel];
    c.pid = getpid();
    c.tid = gettid();
}

// Gives the thread a stack of its own for a crash's handler, so that a thread whose stack
// overflowed can still say that it crashed.
void set_alt_stack()
{
    void *stack = mmap(nullptr, kAltStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED)
        return;
    const stack_t alt{stack, 0, kAltStack};
    if (sigaltstack(&alt, nullptr) == 0)
        alt_stack = stack;
    else
        munmap(stack, kAltStack);
}

void drop_alt_stack()
{
    if (alt_stack == nullptr)
        return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(alt_stack, kAltStack);
    alt_stack = nullptr;
}

// The thread is done with the program's code; it takes no more turns.
void end_me()
{
    if (region == nullptr || me < 0)
        return;
    region->channels[me].turn.store(kEnded, std::memory_order_release);
    ring();
    me = -1;
}

// A crash says which thread it struck before the process dies of it.
void on_fatal(int sig)
{
    region->fatal_channel.store(me);
    region->fatal_signal.store(sig);
    ring();
    raise(sig);  // the handler was reset: the default action ends the process
}

int note_base(dl_phdr_info *info, size_t, void *)
{
    region->base.store(info->dlpi_addr);
    return 1;  // the first object is the program itself
}

// A fork gives the child the channel interleave chose for it. Our handlers were set up
// before any of the program's: our prepare handler runs last, just before the real fork,
// and our child and parent handlers first, so that the program's own handlers run steered
// in the right process.
void before_fork()
{
    if (forking >= 0)
        in_fork = true;
}

void in_parent()
{
    if (forking < 0)
        return;
    uint32_t free = kFree;
    region->channels[forking].turn.compare_exchange_strong(free, kRunning);  // the child is coming
    in_fork = false;
}

// Registered before any of the program's exit handlers, so run after all of them.
void after_the_programs_exit_handlers()
{
    exiting.store(true);
}

void in_child()
{
    if (forking < 0)
        return;
    const int channel = forking;
    forking = -1;
    in_fork = false;
    register_me(channel);
    wrapped = false;
    ask({call_t::start});
}

__attribute__((constructor)) void begin_steering()
{
    const char *region_fd = std::getenv(kRegionVariable);
    const char *bell_fd = std::getenv(kBellVariable);
    const char *pid = std::getenv(kPidVariable);
    if (region_fd == nullptr || bell_fd == nullptr || pid == nullptr || std::atoi(pid) != getpid())
        return;
    void *shared = mmap(nullptr, sizeof(region_t), PROT_READ | PROT_WRITE, MAP_SHARED, std::atoi(region_fd), 0);
    if (shared == MAP_FAILED)
        return;
    find_real();
    region = static_cast<region_t *>(shared);
    bell = std::atoi(bell_fd);
    driver = getppid();
    // A program that this one starts must not find them: it is not steered.
    fcntl(std::atoi(region_fd), F_SETFD, FD_CLOEXEC);
    fcntl(bell, F_SETFD, FD_CLOEXEC);
    dl_iterate_phdr(note_base, nullptr);
    set_alt_stack();
    struct sigaction fatal {};
    fatal.sa_handler = on_fatal;
    fatal.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        sigaction(sig, &fatal, nullptr);
    pthread_atfork(before_fork, in_parent, in_child);
    std::atexit(after_the_programs_exit_handlers);
    register_me(0);
    ask({call_t::start});
}

struct start_t {
    void *(*routine)(void *);
    void *arg;
    int channel;
};

// A new thread starts here: it takes its channel and waits for its first turn; when it
// ends, by returning, by pthread_exit or by cancellation, it says so.
void *begin(void *p)
{
    const start_t start = *static_cast<start_t *>(p);
    delete static_cast<start_t *>(p);
    register_me(start.channel);
    wrapped = true;
    set_alt_stack();
    ask({call_t::start});
    void *result = nullptr;
    try {
        result = start.routine(start.arg);
    } catch (abi::__forced_unwind &) {
        end_me();
        drop_alt_stack();
        throw;
    }
    end_me();
    drop_alt_stack();
    return result;
}

uint64_t handle_of(pthread_t thread)
{
    return static_cast<uint64_t>(thread);
}

// A program started by exec is not steered: its process goes on without the scheduler.
void leave_for_exec()
{
    if (!steered())
        return;
    ask({call_t::exec});
    me = -1;
}

std::vector<char *> arguments(const char *first, va_list rest)
{
    std::vector<char *> argv{const_cast<char *>(first)};
    while (argv.back() != nullptr)
        argv.push_back(va_arg(rest, char *));
    return argv;
}

}  // namespace

const real_t &r()
{
    find_real();
    return real;
}

bool steered_process()
{
    return region != nullptr;
}

bool steered()
{
    return region != nullptr && me >= 0 && !inside && !in_fork && !exiting.load(std::memory_order_relaxed);
}

int64_t ask(const request_t &q)
{
    const int saved = errno;
    inside = true;
    const bool flushed = q.call != call_t::fork && flush_output();
    channel_t &c = region->channels[me];
    c.call = q.call;
    c.object = reinterpret_cast<uint64_t>(q.object);
    c.object2 = q.object2;
    c.value = q.value;
    c.extra = q.extra;
    c.deadline = q.deadline;
    c.flags = q.flags | (cancel_enabled() ? kCancelEnabled : 0u) | (flushed ? kFlushed : 0u);
    c.turn.store(kAsking, std::memory_order_release);
    ring();
    wait_for_answer(c);
    inside = false;
    errno = saved;
    return c.answer;
}

int64_t ask_at_cancellation_point(const request_t &q)
{
    if (!steered())
        return 1;
    const int64_t answer = ask(q);
    if (answer == kCancelled)
        r().testcancel();
    return answer;
}

int64_t now_ns()
{
    return region->clock_ns.fetch_add(kReadingNs) + kReadingNs;
}

int64_t deadline_on(clockid_t clock, const timespec *deadline)
{
    if (deadline == nullptr)
        return -1;
    const int64_t ns = static_cast<int64_t>(deadline->tv_sec) * 1000000000 + deadline->tv_nsec;
    return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE ? ns : ns - kMonotonicStartNs + kEpochNs;
}

int64_t deadline_after(int64_t duration_ns)
{
    return region->clock_ns.load() + std::max<int64_t>(duration_ns, 0);
}

int64_t deadline_after(const timespec *duration)
{
    return duration == nullptr ? -1
                               : deadline_after(static_cast<int64_t>(duration->tv_sec) * 1000000000 + duration->tv_nsec);
}

}  // namespace steer

using namespace steer;

extern "C" {

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg)
{
    if (!steered())
        return r().create(thread, attr, routine, arg);
    int detached = PTHREAD_CREATE_JOINABLE;
    if (attr != nullptr)
        pthread_attr_getdetachstate(attr, &detached);
    const int64_t channel = ask({.call = call_t::create, .extra = reinterpret_cast<int64_t>(routine),
                                 .flags = detached == PTHREAD_CREATE_DETACHED ? kDetached : 0u});
    if (channel < 0)
        return EAGAIN;
    channel_t &c = region->channels[channel];
    c.routine = reinterpret_cast<uint64_t>(routine);
    c.pid = getpid();  // now, for a join that comes before the thread begins
    auto *start = new start_t{routine, arg, static_cast<int>(channel)};
    const int rc = r().create(thread, attr, begin, start);
    if (rc != 0) {
        delete start;
        c.turn.store(kEnded, std::memory_order_release);
        ring();
    } else {
        c.handle = handle_of(*thread);
    }
    return rc;
}

int pthread_join(pthread_t thread, void **result)
{
    ask_at_cancellation_point({.call = call_t::join, .object2 = handle_of(thread)});
    return r().join(thread, result);
}

int pthread_detach(pthread_t thread)
{
    if (steered())
        ask({.call = call_t::detach, .object2 = handle_of(thread)});
    return r().detach(thread);
}

int pthread_cancel(pthread_t thread)
{
    if (steered())
        ask({.call = call_t::cancel, .object2 = handle_of(thread)});
    return r().cancel(thread);
}

void pthread_testcancel()
{
    ask_at_cancellation_point({call_t::testcancel});
    r().testcancel();
}

void pthread_exit(void *result)
{
    if (steered()) {
        ask({call_t::thread_exit});
        if (!wrapped)
            end_me();  // a first thread that leaves the others to go on
    }
    r().thread_exit(result);
    __builtin_unreachable();
}

pid_t fork()
{
    if (!steered())
        return r().fork();
    const int64_t channel = ask({call_t::fork});
    if (channel < 0) {
        errno = EAGAIN;
        return -1;
    }
    forking = static_cast<int>(channel);
    const pid_t pid = r().fork();
    if (pid == -1) {
        in_fork = false;
        region->channels[channel].turn.store(kEnded, std::memory_order_release);
        ring();
    }
    forking = -1;
    return pid;
}

int execve(const char *path, char *const argv[], char *const envp[])
{
    leave_for_exec();
    return r().execve(path, argv, envp);
}

int execv(const char *path, char *const argv[])
{
    leave_for_exec();
    return r().execve(path, argv, environ);
}

int execvp(const char *file, char *const argv[])
{
    leave_for_exec();
    return r().execvpe(file, argv, environ);
}

int execvpe(const char *file, char *const argv[], char *const envp[])
{
    leave_for_exec();
    return r().execvpe(file, argv, envp);
}

int execl(const char *path, const char *arg, ...)
{
    va_list rest;
    va_start(rest, arg);
    const std::vector<char *> argv = arguments(arg, rest);
    va_end(rest);
    return execv(path, argv.data());
}

int execlp(const char *file, const char *arg, ...)
{
    va_list rest;
    va_start(rest, arg);
    const std::vector<char *> argv = arguments(arg, rest);
    va_end(rest);
    return execvp(file, argv.data());
}

int execle(const char *path, const char *arg, ...)
{
    va_list rest;
    va_start(rest, arg);
    const std::vector<char *> argv = arguments(arg, rest);
    char *const *envp = va_arg(rest, char *const *);
    va_end(rest);
    return execve(path, argv.data(), envp);
}

pid_t waitpid(pid_t pid, int *status, int options)
{
    ask_at_cancellation_point({.call = call_t::wait, .value = pid, .flags = (options & WNOHANG) != 0 ? kNoHang : 0u});
    return r().waitpid(pid, status, options);
}

pid_t wait(int *status)
{
    return waitpid(-1, status, 0);
}

void exit(int status)
{
    if (steered())
        ask({.call = call_t::exit, .value = status});
    r().exit(status);
    __builtin_unreachable();
}

void _exit(int status)
{
    if (steered())
        ask({.call = call_t::exit, .value = status});
    r().exit_now(status);
    __builtin_unreachable();
}

void _Exit(int status)
{
    if (steered())
        ask({.call = call_t::exit, .value = status});
    r().exit_now_too(status);
    __builtin_unreachable();
}

// A signal sent is a turn: interleave waits for a process killed by it to be gone before
// anyone goes on, so that no run depends on how soon the kernel delivers it.
int kill(pid_t pid, int sig)
{
    if (steered())
        ask({.call = call_t::kill, .value = pid, .extra = sig});
    return r().kill(pid, sig);
}

}  // extern "C"
