// Preloaded (LD_PRELOAD) into a program under test, to make the rare failures happen on
// demand and to set the pace of its threads, so that a test meets the situation it needs
// every run instead of by luck. Steered by the environment:
//   FAULT_FORK_FAILS_AT=k    the k-th call of fork and every later one fail with EAGAIN
//   FAULT_THREAD_FAILS_AT=k  the same for pthread_create
//   FAULT_TRUNCATE=path      right before the first fork or thread creation, cut this file
//                            to length 0, as if another program shrank it under a mapping
//   PACE_SLEEP_MS=a,b,c...   sleep() lasts a ms in the main thread (and in the processes it
//                            forks), b ms in the first thread created, c ms in the second...;
//                            the last value holds for any later thread
//   PACE_HOLD_MS=m           a sem_trywait that succeeds returns m ms late, so that what it
//                            took stays taken that long (a philosopher's meal)
//   PACE_WAIT_LIMIT_S=s      a sem_wait still waiting after s seconds says so on standard
//                            error, then waits on
//   PACE_WAITPID_MS=m        waitpid waits m ms before it looks: a parent slow to see a child end
//   PACE_ERROR_MS=m          a write to standard error returns m ms late: time for a second
//                            failure to happen while the first is being told
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::atomic<int> forks{0};
std::atomic<int> threads{0};
thread_local int thread_index = 0;  // 0: the main thread; k: the k-th thread created

template <typename F>
F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool fails_at(const char *variable, int call)
{
    const char *k = std::getenv(variable);
    return k != nullptr && call >= std::atoi(k);
}

void before_first_creation()
{
    if (forks + threads != 1)
        return;
    if (const char *path = std::getenv("FAULT_TRUNCATE"); path != nullptr && truncate(path, 0) != 0)
        std::abort();
}

void nap(long ms)
{
    timespec pause{ms / 1000, ms % 1000 * 1000000};
    while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
    }
}

// The index-th number of a comma-separated list, or its last one.
long nth(const char *list, int index)
{
    char *end;
    long value = std::strtol(list, &end, 10);
    for (int i = 0; i < index && *end == ','; i++)
        value = std::strtol(end + 1, &end, 10);
    return value;
}

struct start_t {
    void *(*routine)(void *);
    void *arg;
    int index;
};

void *start(void *p)
{
    start_t s = *static_cast<start_t *>(p);
    delete static_cast<start_t *>(p);
    thread_index = s.index;
    return s.routine(s.arg);
}

}  // namespace

extern "C" pid_t fork()
{
    static auto real_fork = real<pid_t (*)()>("fork");
    int call = ++forks;
    before_first_creation();
    if (fails_at("FAULT_FORK_FAILS_AT", call)) {
        errno = EAGAIN;
        return -1;
    }
    return real_fork();
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                              void *(*routine)(void *), void *arg)
{
    using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static auto real_create = real<create_fn>("pthread_create");
    int call = ++threads;
    before_first_creation();
    if (fails_at("FAULT_THREAD_FAILS_AT", call))
        return EAGAIN;
    auto *s = new start_t{routine, arg, call};
    int rc = real_create(thread, attr, start, s);
    if (rc != 0)
        delete s;
    return rc;
}

extern "C" unsigned sleep(unsigned seconds)
{
    static auto real_sleep = real<unsigned (*)(unsigned)>("sleep");
    const char *pace = std::getenv("PACE_SLEEP_MS");
    if (pace == nullptr)
        return real_sleep(seconds);
    nap(nth(pace, thread_index));
    return 0;
}

extern "C" int sem_trywait(sem_t *sem)
{
    static auto real_trywait = real<int (*)(sem_t *)>("sem_trywait");
    int rc = real_trywait(sem);
    if (const char *hold = std::getenv("PACE_HOLD_MS"); rc == 0 && hold != nullptr)
        nap(std::atol(hold));
    return rc;
}

extern "C" int sem_wait(sem_t *sem)
{
    static auto real_wait = real<int (*)(sem_t *)>("sem_wait");
    const char *limit = std::getenv("PACE_WAIT_LIMIT_S");
    if (limit == nullptr)
        return real_wait(sem);
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += std::atol(limit);
    while (sem_timedwait(sem, &deadline) == -1) {
        if (errno == EINTR)
            continue;
        if (errno != ETIMEDOUT)
            return -1;
        const char msg[] = "fault_shim: a sem_wait is still waiting after the limit\n";
        [[maybe_unused]] ssize_t ignored = write(2, msg, sizeof msg - 1);
        return real_wait(sem);
    }
    return 0;
}

extern "C" pid_t waitpid(pid_t pid, int *status, int options)
{
    static auto real_waitpid = real<pid_t (*)(pid_t, int *, int)>("waitpid");
    if (const char *pause = std::getenv("PACE_WAITPID_MS"); pause != nullptr)
        nap(std::atol(pause));
    return real_waitpid(pid, status, options);
}

// Called from signal handlers too: it only reads the environment, sleeps and writes (the
// first write of the programs under test comes before any handler can run).
extern "C" ssize_t write(int fd, const void *buf, size_t count)
{
    static auto real_write = real<ssize_t (*)(int, const void *, size_t)>("write");
    const ssize_t written = real_write(fd, buf, count);
    const int error = errno;
    if (const char *pause = std::getenv("PACE_ERROR_MS"); pause != nullptr && fd == 2)
        nap(std::atol(pause));
    errno = error;
    return written;
}
