// The steering library of interleave, preloaded (LD_PRELOAD) into the program it runs. It
// stands in front of every call that synchronises the program's threads or processes, and
// of its writes, reads, sleeps and clock. At each, the thread asks interleave for its turn
// and waits; when its turn comes, it makes the call for real. The real call never blocks,
// since interleave's model of the locks and semaphores let it go on only when it can.
//
// Only the process interleave started, and the processes it forks, are steered: another
// program that one of them starts finds the library idle. The library finds each real
// function once (dlsym with RTLD_NEXT), keeps its state in the shared region and two
// values per thread, never calls a function it stands in front of, and waits with raw
// futex calls, which are no cancellation points.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>
#include <linux/futex.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include "protocol.h"

namespace {

using steer::call_t;

steer::region_t *region;        // null: this process is not steered
int bell = -1;                  // the eventfd that tells interleave a thread has asked
pid_t driver = 0;               // interleave itself
thread_local int me = -1;       // this thread's slot; -1: the thread is not steered
thread_local bool wrapped;      // started through begin(), which reports its end

// The real functions, behind ours.
struct real_t {
    int (*mutex_init)(pthread_mutex_t *, const pthread_mutexattr_t *);
    int (*mutex_lock)(pthread_mutex_t *);
    int (*mutex_trylock)(pthread_mutex_t *);
    int (*mutex_unlock)(pthread_mutex_t *);
    int (*mutex_destroy)(pthread_mutex_t *);
    int (*cond_wait)(pthread_cond_t *, pthread_mutex_t *);
    int (*cond_timedwait)(pthread_cond_t *, pthread_mutex_t *, const timespec *);
    int (*cond_signal)(pthread_cond_t *);
    int (*cond_broadcast)(pthread_cond_t *);
    int (*sem_init)(sem_t *, int, unsigned);
    int (*sem_wait)(sem_t *);
    int (*sem_trywait)(sem_t *);
    int (*sem_timedwait)(sem_t *, const timespec *);
    int (*sem_post)(sem_t *);
    int (*sem_destroy)(sem_t *);
    int (*sem_getvalue)(sem_t *, int *);
    int (*create)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    int (*join)(pthread_t, void **);
    int (*cancel)(pthread_t);
    void (*testcancel)();
    void (*thread_exit)(void *);
    pid_t (*fork)();
    pid_t (*waitpid)(pid_t, int *, int);
    void (*exit)(int);
    void (*exit_now)(int);
    void (*exit_now_too)(int);
    unsigned (*sleep)(unsigned);
    int (*usleep)(useconds_t);
    int (*nanosleep)(const timespec *, timespec *);
    int (*clock_nanosleep)(clockid_t, int, const timespec *, timespec *);
    int (*vprintf)(const char *, va_list);
    int (*vprintf_chk)(int, const char *, va_list);
    int (*vfprintf)(FILE *, const char *, va_list);
    int (*vfprintf_chk)(FILE *, int, const char *, va_list);
    int (*puts)(const char *);
    int (*putchar)(int);
    int (*fputs)(const char *, FILE *);
    int (*fputc)(int, FILE *);
    int (*putc)(int, FILE *);
    size_t (*fwrite)(const void *, size_t, size_t, FILE *);
    int (*fflush)(FILE *);
    void (*perror)(const char *);
    ssize_t (*write)(int, const void *, size_t);
    ssize_t (*read)(int, void *, size_t);
    int (*kill)(pid_t, int);
    char *(*fgets)(char *, int, FILE *);
    ssize_t (*getline)(char **, size_t *, FILE *);
    time_t (*time)(time_t *);
    int (*clock_gettime)(clockid_t, timespec *);
    int (*gettimeofday)(timeval *, void *);
};
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
    find(real.mutex_unlock, "pthread_mutex_unlock");
    find(real.mutex_destroy, "pthread_mutex_destroy");
    find(real.cond_wait, "pthread_cond_wait");
    find(real.cond_timedwait, "pthread_cond_timedwait");
    find(real.cond_signal, "pthread_cond_signal");
    find(real.cond_broadcast, "pthread_cond_broadcast");
    find(real.sem_init, "sem_init");
    find(real.sem_wait, "sem_wait");
    find(real.sem_trywait, "sem_trywait");
    find(real.sem_timedwait, "sem_timedwait");
    find(real.sem_post, "sem_post");
    find(real.sem_destroy, "sem_destroy");
    find(real.sem_getvalue, "sem_getvalue");
    find(real.create, "pthread_create");
    find(real.join, "pthread_join");
    find(real.cancel, "pthread_cancel");
    find(real.testcancel, "pthread_testcancel");
    find(real.thread_exit, "pthread_exit");
    find(real.fork, "fork");
    find(real.waitpid, "waitpid");
    find(real.exit, "exit");
    find(real.exit_now, "_exit");
    find(real.exit_now_too, "_Exit");
    find(real.sleep, "sleep");
    find(real.usleep, "usleep");
    find(real.nanosleep, "nanosleep");
    find(real.clock_nanosleep, "clock_nanosleep");
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
    find(real.kill, "kill");
    find(real.fgets, "fgets");
    find(real.getline, "getline");
    find(real.time, "time");
    find(real.clock_gettime, "clock_gettime");
    find(real.gettimeofday, "gettimeofday");
    found.store(true, std::memory_order_release);
}

const real_t &r()
{
    find_real();
    return real;
}

bool steered()
{
    return region != nullptr && me >= 0;
}

void ring()
{
    const uint64_t one = 1;
    [[maybe_unused]] long ignored = syscall(SYS_write, bell, &one, sizeof one);
}

// Waits until interleave answers. If interleave itself is gone, nobody ever will: then the
// program ends, instead of waiting for ever.
void wait_for_answer(steer::slot_t &s)
{
    const timespec second{1, 0};
    while (s.turn.load(std::memory_order_acquire) != steer::kGo) {
        syscall(SYS_futex, &s.turn, FUTEX_WAIT, steer::kAsking, &second, nullptr, 0);
        if (syscall(SYS_kill, driver, 0) == -1 && errno == ESRCH)
            r().exit_now(111);
    }
    s.turn.store(steer::kRunning, std::memory_order_relaxed);
}

bool cancel_enabled()
{
    int state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    pthread_setcancelstate(state, nullptr);
    return state == PTHREAD_CANCEL_ENABLE;
}

// Asks for this thread's turn to make `call`, and waits for it; returns the answer.
int64_t ask(call_t call, const void *object = nullptr, int64_t value = 0, const void *mutex = nullptr,
            int64_t extra = 0)
{
    const int saved = errno;
    steer::slot_t &s = region->slots[me];
    s.call = call;
    s.object = reinterpret_cast<uint64_t>(object);
    s.mutex = reinterpret_cast<uint64_t>(mutex);
    s.value = value;
    s.extra = extra;
    s.cancel_enabled = cancel_enabled();
    s.turn.store(steer::kAsking, std::memory_order_release);
    ring();
    wait_for_answer(s);
    errno = saved;
    return s.answer;
}

// A call that is a cancellation point: a cancel that interleave let through takes effect.
void ask_at_cancellation_point(call_t call, const void *object = nullptr, int64_t value = 0)
{
    if (steered() && ask(call, object, value) == steer::kCancelled)
        r().testcancel();
}

void register_me(int slot)
{
    me = slot;
    steer::slot_t &s = region->slots[slot];
    s.pid = getpid();
    s.tid = gettid();
}

// The thread is done with the program's code; it takes no more turns.
void end_me()
{
    if (!steered())
        return;
    region->slots[me].turn.store(steer::kEnded, std::memory_order_release);
    ring();
    me = -1;
}

// The slot of a thread of this process, from its pthread_t; -1 if it is not one of ours.
int slot_of(pthread_t thread)
{
    for (int k = 0; k < steer::kSlots; k++) {
        const steer::slot_t &s = region->slots[k];
        if (s.turn.load() != steer::kFree && s.pid == getpid() && s.handle == static_cast<uint64_t>(thread))
            return k;
    }
    return -1;
}

// A crash says which thread it struck before the process dies of it.
void on_fatal(int sig)
{
    region->fatal_slot.store(me);
    region->fatal_signal.store(sig);
    ring();
    raise(sig);  // the handler was reset: the default action ends the process
}

int note_base(dl_phdr_info *info, size_t, void *)
{
    region->base.store(info->dlpi_addr);
    return 1;  // the first object is the program itself
}

__attribute__((constructor)) void begin_steering()
{
    const char *region_fd = std::getenv(steer::kRegionVariable);
    const char *bell_fd = std::getenv(steer::kBellVariable);
    const char *pid = std::getenv(steer::kPidVariable);
    if (region_fd == nullptr || bell_fd == nullptr || pid == nullptr || std::atoi(pid) != getpid())
        return;
    void *shared = mmap(nullptr, sizeof(steer::region_t), PROT_READ | PROT_WRITE, MAP_SHARED,
                        std::atoi(region_fd), 0);
    if (shared == MAP_FAILED)
        return;
    find_real();
    region = static_cast<steer::region_t *>(shared);
    bell = std::atoi(bell_fd);
    driver = getppid();
    dl_iterate_phdr(note_base, nullptr);
    struct sigaction fatal {};
    fatal.sa_handler = on_fatal;
    fatal.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        sigaction(sig, &fatal, nullptr);
    register_me(0);
    ask(call_t::start);
}

struct start_t {
    void *(*routine)(void *);
    void *arg;
    int slot;
};

// A new thread starts here: it takes its slot and waits for its first turn; when it ends,
// by returning, by pthread_exit or by cancellation, it says so.
void *begin(void *p)
{
    const start_t start = *static_cast<start_t *>(p);
    delete static_cast<start_t *>(p);
    register_me(start.slot);
    wrapped = true;
    ask(call_t::start);
    void *result = nullptr;
    try {
        result = start.routine(start.arg);
    } catch (abi::__forced_unwind &) {
        end_me();
        throw;
    }
    end_me();
    return result;
}

bool standard(FILE *f)
{
    return f == stdout || f == stderr;
}

void output(FILE *f)
{
    if (standard(f))
        ask_at_cancellation_point(call_t::output, nullptr, f == stdout ? 1 : 2);
}

// A semaphore's count as it is goes with each ask: interleave learns the count of one it
// has not seen set up.
int count_of(sem_t *s)
{
    int value = 0;
    r().sem_getvalue(s, &value);
    return value;
}

int64_t nanoseconds(const timespec *t)
{
    return t == nullptr ? 0 : static_cast<int64_t>(t->tv_sec) * 1000000000 + t->tv_nsec;
}

}  // namespace

extern "C" {

int pthread_mutex_init(pthread_mutex_t *m, const pthread_mutexattr_t *attr)
{
    if (steered())
        ask(call_t::mutex_init, m);
    return r().mutex_init(m, attr);
}

int pthread_mutex_lock(pthread_mutex_t *m)
{
    if (steered())
        ask(call_t::mutex_lock, m);
    return r().mutex_lock(m);
}

int pthread_mutex_trylock(pthread_mutex_t *m)
{
    if (steered() && ask(call_t::mutex_trylock, m) == 0)
        return EBUSY;
    return r().mutex_trylock(m);
}

int pthread_mutex_unlock(pthread_mutex_t *m)
{
    if (steered())
        ask(call_t::mutex_unlock, m);
    return r().mutex_unlock(m);
}

int pthread_mutex_destroy(pthread_mutex_t *m)
{
    if (steered())
        ask(call_t::mutex_destroy, m);
    return r().mutex_destroy(m);
}

// A condition wait gives the mutex up at once and waits in interleave's model alone: the
// real condition variable is never waited on, so a signal needs no real call either.
int pthread_cond_wait(pthread_cond_t *c, pthread_mutex_t *m)
{
    if (!steered())
        return r().cond_wait(c, m);
    r().mutex_unlock(m);
    const int64_t answer = ask(call_t::cond_wait, c, 0, m);
    r().mutex_lock(m);
    if (answer == steer::kCancelled)
        r().testcancel();
    return 0;
}

int pthread_cond_timedwait(pthread_cond_t *c, pthread_mutex_t *m, const timespec *deadline)
{
    if (!steered())
        return r().cond_timedwait(c, m, deadline);
    r().mutex_unlock(m);
    const int64_t answer = ask(call_t::cond_timedwait, c, nanoseconds(deadline), m);
    r().mutex_lock(m);
    if (answer == steer::kCancelled)
        r().testcancel();
    return answer == 0 ? ETIMEDOUT : 0;
}

int pthread_cond_signal(pthread_cond_t *c)
{
    if (!steered())
        return r().cond_signal(c);
    ask(call_t::cond_signal, c);
    return 0;
}

int pthread_cond_broadcast(pthread_cond_t *c)
{
    if (!steered())
        return r().cond_broadcast(c);
    ask(call_t::cond_broadcast, c);
    return 0;
}

int sem_init(sem_t *s, int pshared, unsigned value)
{
    if (steered())
        ask(call_t::sem_init, s, value, nullptr, pshared);
    return r().sem_init(s, pshared, value);
}

int sem_wait(sem_t *s)
{
    if (!steered())
        return r().sem_wait(s);
    if (ask(call_t::sem_wait, s, count_of(s)) == steer::kCancelled)
        r().testcancel();
    return r().sem_trywait(s) == 0 ? 0 : r().sem_wait(s);
}

int sem_trywait(sem_t *s)
{
    if (steered() && ask(call_t::sem_trywait, s, count_of(s)) == 0) {
        errno = EAGAIN;
        return -1;
    }
    return r().sem_trywait(s);
}

int sem_timedwait(sem_t *s, const timespec *deadline)
{
    if (!steered())
        return r().sem_timedwait(s, deadline);
    const int64_t answer = ask(call_t::sem_timedwait, s, count_of(s), nullptr, nanoseconds(deadline));
    if (answer == steer::kCancelled)
        r().testcancel();
    if (answer == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    return r().sem_trywait(s) == 0 ? 0 : r().sem_timedwait(s, deadline);
}

int sem_post(sem_t *s)
{
    if (steered())
        ask(call_t::sem_post, s, count_of(s));
    return r().sem_post(s);
}

int sem_destroy(sem_t *s)
{
    if (steered())
        ask(call_t::sem_destroy, s, count_of(s));
    return r().sem_destroy(s);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg)
{
    if (!steered())
        return r().create(thread, attr, routine, arg);
    const int slot = static_cast<int>(ask(call_t::create, reinterpret_cast<void *>(routine)));
    if (slot < 0)
        return EAGAIN;  // interleave has no slot left for another thread
    region->slots[slot].routine = reinterpret_cast<uint64_t>(routine);
    region->slots[slot].pid = getpid();  // now, for a join that comes before the thread begins
    auto *start = new start_t{routine, arg, slot};
    const int rc = r().create(thread, attr, begin, start);
    if (rc != 0) {
        delete start;
        region->slots[slot].turn.store(steer::kEnded, std::memory_order_release);
        ring();
    } else {
        region->slots[slot].handle = static_cast<uint64_t>(*thread);
    }
    return rc;
}

int pthread_join(pthread_t thread, void **result)
{
    if (steered())
        ask_at_cancellation_point(call_t::join, nullptr, slot_of(thread));
    return r().join(thread, result);
}

int pthread_cancel(pthread_t thread)
{
    if (steered())
        ask(call_t::cancel, nullptr, slot_of(thread));
    return r().cancel(thread);
}

void pthread_testcancel()
{
    ask_at_cancellation_point(call_t::testcancel);
    r().testcancel();
}

void pthread_exit(void *result)
{
    if (steered()) {
        ask(call_t::thread_exit);
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
    const int slot = static_cast<int>(ask(call_t::fork));
    if (slot < 0) {
        errno = EAGAIN;
        return -1;
    }
    const pid_t pid = r().fork();
    if (pid == 0) {
        register_me(slot);
        wrapped = false;
        ask(call_t::start);
    } else if (pid == -1) {
        region->slots[slot].turn.store(steer::kEnded, std::memory_order_release);
        ring();
    }
    return pid;
}

pid_t waitpid(pid_t pid, int *status, int options)
{
    if (steered() && ask(call_t::wait, nullptr, pid, nullptr, options) == steer::kCancelled)
        r().testcancel();
    return r().waitpid(pid, status, options);
}

pid_t wait(int *status)
{
    return waitpid(-1, status, 0);
}

void exit(int status)
{
    if (steered())
        ask(call_t::exit, nullptr, status);
    r().exit(status);
    __builtin_unreachable();
}

void _exit(int status)
{
    if (steered())
        ask(call_t::exit, nullptr, status);
    r().exit_now(status);
    __builtin_unreachable();
}

void _Exit(int status)
{
    if (steered())
        ask(call_t::exit, nullptr, status);
    r().exit_now_too(status);
    __builtin_unreachable();
}

// A sleep is a turn, and no time passes.
unsigned sleep(unsigned seconds)
{
    if (!steered())
        return r().sleep(seconds);
    ask_at_cancellation_point(call_t::sleep, nullptr, seconds);
    return 0;
}

int usleep(useconds_t microseconds)
{
    if (!steered())
        return r().usleep(microseconds);
    ask_at_cancellation_point(call_t::sleep);
    return 0;
}

int nanosleep(const timespec *request, timespec *remaining)
{
    if (!steered())
        return r().nanosleep(request, remaining);
    ask_at_cancellation_point(call_t::sleep);
    if (remaining != nullptr)
        *remaining = {0, 0};
    return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const timespec *request, timespec *remaining)
{
    if (!steered())
        return r().clock_nanosleep(clock, flags, request, remaining);
    ask_at_cancellation_point(call_t::sleep);
    return 0;
}

// Writes to standard output and error: a turn each, before the stream is locked.
int printf(const char *format, ...)
{
    output(stdout);
    va_list args;
    va_start(args, format);
    const int n = r().vprintf(format, args);
    va_end(args);
    return n;
}

int vprintf(const char *format, va_list args)
{
    output(stdout);
    return r().vprintf(format, args);
}

int __printf_chk(int flag, const char *format, ...)
{
    output(stdout);
    va_list args;
    va_start(args, format);
    const int n = r().vprintf_chk(flag, format, args);
    va_end(args);
    return n;
}

int __vprintf_chk(int flag, const char *format, va_list args)
{
    output(stdout);
    return r().vprintf_chk(flag, format, args);
}

int fprintf(FILE *f, const char *format, ...)
{
    output(f);
    va_list args;
    va_start(args, format);
    const int n = r().vfprintf(f, format, args);
    va_end(args);
    return n;
}

int vfprintf(FILE *f, const char *format, va_list args)
{
    output(f);
    return r().vfprintf(f, format, args);
}

int __fprintf_chk(FILE *f, int flag, const char *format, ...)
{
    output(f);
    va_list args;
    va_start(args, format);
    const int n = r().vfprintf_chk(f, flag, format, args);
    va_end(args);
    return n;
}

int __vfprintf_chk(FILE *f, int flag, const char *format, va_list args)
{
    output(f);
    return r().vfprintf_chk(f, flag, format, args);
}

int puts(const char *s)
{
    output(stdout);
    return r().puts(s);
}

int putchar(int c)
{
    output(stdout);
    return r().putchar(c);
}

int fputs(const char *s, FILE *f)
{
    output(f);
    return r().fputs(s, f);
}

int fputc(int c, FILE *f)
{
    output(f);
    return r().fputc(c, f);
}

int putc(int c, FILE *f)
{
    output(f);
    return r().putc(c, f);
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *f)
{
    output(f);
    return r().fwrite(data, size, count, f);
}

int fflush(FILE *f)
{
    output(f == nullptr ? stdout : f);
    return r().fflush(f);
}

void perror(const char *label)
{
    output(stderr);
    r().perror(label);
}

ssize_t write(int fd, const void *data, size_t size)
{
    if (fd == 1 || fd == 2)
        ask_at_cancellation_point(call_t::output, nullptr, fd);
    return r().write(fd, data, size);
}

// A signal sent is a turn: interleave waits for a process killed by it to be gone before
// anyone goes on, so that no run depends on how soon the kernel delivers it.
int kill(pid_t pid, int sig)
{
    if (steered())
        ask(call_t::kill, nullptr, pid, nullptr, sig);
    return r().kill(pid, sig);
}

// Reads of standard input: a turn each, with a line (or the end) there to read.
ssize_t read(int fd, void *data, size_t size)
{
    if (fd == 0)
        ask_at_cancellation_point(call_t::input);
    return r().read(fd, data, size);
}

char *fgets(char *line, int size, FILE *f)
{
    if (f == stdin)
        ask_at_cancellation_point(call_t::input);
    return r().fgets(line, size, f);
}

ssize_t getline(char **line, size_t *size, FILE *f)
{
    if (f == stdin)
        ask_at_cancellation_point(call_t::input);
    return r().getline(line, size, f);
}

// The clock of a steered program is interleave's: it moves with the turns alone, so a
// run's values depend on its schedule and nothing else.
time_t time(time_t *t)
{
    if (region == nullptr)
        return r().time(t);
    const time_t now = static_cast<time_t>(region->clock_ns.load() / 1000000000);
    if (t != nullptr)
        *t = now;
    return now;
}

int clock_gettime(clockid_t clock, timespec *now)
{
    if (region == nullptr || (clock != CLOCK_REALTIME && clock != CLOCK_MONOTONIC && clock != CLOCK_BOOTTIME &&
                              clock != CLOCK_REALTIME_COARSE && clock != CLOCK_MONOTONIC_COARSE &&
                              clock != CLOCK_MONOTONIC_RAW))
        return r().clock_gettime(clock, now);
    const int64_t ns = region->clock_ns.load();
    *now = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    return 0;
}

int gettimeofday(timeval *now, void *zone)
{
    if (region == nullptr)
        return r().gettimeofday(now, zone);
    const int64_t ns = region->clock_ns.load();
    *now = {static_cast<time_t>(ns / 1000000000), static_cast<suseconds_t>(ns % 1000000000 / 1000)};
    return 0;
}

}  // extern "C"
