// Preloaded (LD_PRELOAD) into a program under test to make the rare failures happen on
// demand. It wraps fork and is steered by the environment:
//   FAULT_FORK_FAILS_AT=k   the k-th call of fork and every later one fail with EAGAIN
//   FAULT_TRUNCATE=path     right before the first fork, cut this file to length 0, as if
//                           another program shrank it under the caller's mapping
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

extern "C" pid_t fork()
{
    using fork_fn = pid_t (*)();
    static auto real_fork = reinterpret_cast<fork_fn>(dlsym(RTLD_NEXT, "fork"));
    static int calls = 0;
    calls++;
    if (const char *path = std::getenv("FAULT_TRUNCATE"); path != nullptr && calls == 1)
        if (truncate(path, 0) != 0)
            std::abort();
    if (const char *k = std::getenv("FAULT_FORK_FAILS_AT"); k != nullptr && calls >= std::atoi(k)) {
        errno = EAGAIN;
        return -1;
    }
    return real_fork();
}
