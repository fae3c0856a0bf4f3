// The steering library: C11's threads (<threads.h>), which the C library builds on the
// POSIX calls inside itself, where no preloaded library can stand in front of them. Here
// each is built on the POSIX calls the library steers, with C11's answers.

#include <cerrno>
#include <cstdint>
#include <threads.h>

#include "steer.h"

namespace steer {
namespace {

int answer(int rc)
{
    return rc == 0 ? thrd_success : rc == EBUSY ? thrd_busy : rc == ETIMEDOUT ? thrd_timedout
                                                 : rc == ENOMEM || rc == EAGAIN ? thrd_nomem
                                                                                : thrd_error;
}

pthread_mutex_t *mutex(mtx_t *m)
{
    return reinterpret_cast<pthread_mutex_t *>(m);
}

pthread_cond_t *cond(cnd_t *c)
{
    return reinterpret_cast<pthread_cond_t *>(c);
}

struct start_t {
    thrd_start_t routine;
    void *arg;
};

void *c11_start(void *p)
{
    const start_t start = *static_cast<start_t *>(p);
    delete static_cast<start_t *>(p);
    return reinterpret_cast<void *>(static_cast<intptr_t>(start.routine(start.arg)));
}

}  // namespace
}  // namespace steer

using namespace steer;

extern "C" {

int thrd_create(thrd_t *thread, thrd_start_t routine, void *arg)
{
    auto *start = new start_t{routine, arg};
    const int rc = create_thread(reinterpret_cast<pthread_t *>(thread), nullptr, c11_start, start,
                                 reinterpret_cast<void *>(routine));
    if (rc != 0)
        delete start;
    return answer(rc);
}

int thrd_join(thrd_t thread, int *result)
{
    void *value = nullptr;
    const int rc = pthread_join(thread, &value);
    if (rc == 0 && result != nullptr)
        *result = static_cast<int>(reinterpret_cast<intptr_t>(value));
    return answer(rc);
}

int thrd_detach(thrd_t thread)
{
    return answer(pthread_detach(thread));
}

void thrd_exit(int result)
{
    pthread_exit(reinterpret_cast<void *>(static_cast<intptr_t>(result)));
}

void thrd_yield()
{
    sched_yield();
}

int thrd_sleep(const timespec *duration, timespec *remaining)
{
    return nanosleep(duration, remaining) == 0 ? 0 : -1;
}

int mtx_init(mtx_t *m, int type)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    if ((type & mtx_recursive) != 0)
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    const int rc = pthread_mutex_init(mutex(m), &attr);
    pthread_mutexattr_destroy(&attr);
    return answer(rc);
}

int mtx_lock(mtx_t *m)
{
    return answer(pthread_mutex_lock(mutex(m)));
}

int mtx_trylock(mtx_t *m)
{
    return answer(pthread_mutex_trylock(mutex(m)));
}

int mtx_timedlock(mtx_t *__restrict m, const timespec *__restrict deadline)
{
    return answer(pthread_mutex_timedlock(mutex(m), deadline));
}

int mtx_unlock(mtx_t *m)
{
    return answer(pthread_mutex_unlock(mutex(m)));
}

void mtx_destroy(mtx_t *m)
{
    pthread_mutex_destroy(mutex(m));
}

int cnd_init(cnd_t *c)
{
    return answer(pthread_cond_init(cond(c), nullptr));
}

int cnd_signal(cnd_t *c)
{
    return answer(pthread_cond_signal(cond(c)));
}

int cnd_broadcast(cnd_t *c)
{
    return answer(pthread_cond_broadcast(cond(c)));
}

int cnd_wait(cnd_t *c, mtx_t *m)
{
    return answer(pthread_cond_wait(cond(c), mutex(m)));
}

int cnd_timedwait(cnd_t *__restrict c, mtx_t *__restrict m, const timespec *__restrict deadline)
{
    return answer(pthread_cond_timedwait(cond(c), mutex(m), deadline));
}

void cnd_destroy(cnd_t *c)
{
    pthread_cond_destroy(cond(c));
}

void call_once(once_flag *flag, void (*routine)())
{
    pthread_once(reinterpret_cast<pthread_once_t *>(flag), routine);
}

}  // extern "C"
