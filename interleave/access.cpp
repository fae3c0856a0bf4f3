// interleave's access library: the entry points that the compiler's thread-sanitizer
// instrumentation calls before each load and store of a program built with interleave-cc,
// and in place of each atomic operation; and `free`, in front of the allocator's. It stands
// where the sanitizer's own runtime would, under that runtime's file name, so that the
// compiler's usual link finds it.
//
// The C library's copies, fills, string copies and prints into a buffer, called from the
// program, have their reads and writes told too, each as one range.
//
// It checks nothing itself. Under interleave, each access asks the steering library (which
// interleave preloads) for a turn, so that interleave orders the accesses of the threads
// and sees every one. Run on its own, the program finds no steering library: the reads and
// writes go on as they would, and the atomic operations are plain atomic operations.

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <csignal>
#include <ctime>
#include <dlfcn.h>
#include <malloc.h>

#include "access.h"

// The steering library's, when interleave preloaded it; null otherwise.
extern "C" void __interleave_access(int kind, const void *address, std::size_t size, int order, const void *code)
    __attribute__((weak));

namespace {

using namespace access_library;

inline void turn(kind_t kind, const volatile void *address, std::size_t size, order_t order, const void *code)
{
    if (__interleave_access != nullptr)
        __interleave_access(kind, const_cast<const void *>(address), size, order, code);
}

// A relaxed atomic operation orders nothing by itself: two threads' plain accesses around
// it still race, unless fences of the two threads order them (interleave sees each fence,
// with its order).
order_t atomic_of(int order)
{
    return order == __ATOMIC_RELAXED ? kRelaxed : order == __ATOMIC_SEQ_CST ? kOrdering : kWeak;
}

// The atomic operations run as the strongest order asks, whatever order the program named:
// with one thread running at a time, no weaker order could show anything more.
constexpr int kOrder = __ATOMIC_SEQ_CST;

}  // namespace

// The C library's functions that run behind these (free, and those that the program calls
// on its own memory, which tell what each will read and write, as a range). Found as the
// first call comes; while one is being looked up (dlsym may copy or free), null: the caller
// then does without.
thread_local bool finding;

template <typename F>
F next_of(std::atomic<F> &slot, const char *name)
{
    F next = slot.load(std::memory_order_acquire);
    if (next == nullptr && !finding) {
        finding = true;
        next = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
        finding = false;
        slot.store(next, std::memory_order_release);
    }
    return next;
}

// The allocator's free, behind this one: the C library's, or another that the program
// brought. While one is being looked up, the C library's own.
extern "C" void __libc_free(void *);
using free_t = void (*)(void *);
std::atomic<free_t> next_free;

#define HERE __builtin_return_address(0)
#define API extern "C" __attribute__((visibility("default"), noinline))

// A block freed is written as a whole: whatever another thread did to it must come before.
// Then it is new memory, which the allocator may hand to any thread.
API void free(void *block)
{
    if (block != nullptr)
        turn(kFree, block, malloc_usable_size(block), kPlain, HERE);
    const free_t next = next_of(next_free, "free");
    (next != nullptr ? next : __libc_free)(block);
}

using copy_t = void *(*)(void *, const void *, std::size_t);
using fill_t = void *(*)(void *, int, std::size_t);
using length_t = std::size_t (*)(const char *);
using print_t = int (*)(char *, std::size_t, const char *, va_list);
std::atomic<copy_t> next_memcpy, next_memmove;
std::atomic<fill_t> next_memset;
std::atomic<length_t> next_strlen;
std::atomic<print_t> next_vsnprintf;

// Volatile, so that the compiler does not make these loops calls of the functions they
// stand in for.
void *copy_bytes(void *to, const void *from, std::size_t size)
{
    auto *t = static_cast<volatile unsigned char *>(to);
    const auto *f = static_cast<const volatile unsigned char *>(from);
    if (t < f)
        for (std::size_t k = 0; k < size; k++)
            t[k] = f[k];
    else
        for (std::size_t k = size; k-- > 0;)
            t[k] = f[k];
    return to;
}

std::size_t length_of(const char *text)
{
    if (const length_t next = next_of(next_strlen, "strlen"); next != nullptr)
        return next(text);
    const volatile char *at = text;
    while (*at != '\0')
        at++;
    return static_cast<std::size_t>(at - text);
}

void *copy(void *to, const void *from, std::size_t size, const void *code)
{
    turn(kLibraryRead, from, size, kPlain, code);
    turn(kLibraryWrite, to, size, kPlain, code);
    const copy_t next = next_of(next_memmove, "memmove");
    return next != nullptr ? next(to, from, size) : copy_bytes(to, from, size);
}

int print_into(char *to, std::size_t size, const char *format, va_list args, const void *code)
{
    const print_t next = next_of(next_vsnprintf, "vsnprintf");
    if (next == nullptr)
        return -1;
    va_list counting;
    va_copy(counting, args);
    const int length = next(nullptr, 0, format, counting);
    va_end(counting);
    if (length >= 0 && size > 0)
        turn(kLibraryWrite, to, std::min(size, static_cast<std::size_t>(length) + 1), kPlain, code);
    return next(to, size, format, args);
}

API void *memcpy(void *to, const void *from, std::size_t size)
{
    return copy(to, from, size, HERE);
}

API void *memmove(void *to, const void *from, std::size_t size)
{
    return copy(to, from, size, HERE);
}

API void *memset(void *to, int value, std::size_t size)
{
    turn(kLibraryWrite, to, size, kPlain, HERE);
    if (const fill_t next = next_of(next_memset, "memset"); next != nullptr)
        return next(to, value, size);
    auto *t = static_cast<volatile unsigned char *>(to);
    for (std::size_t k = 0; k < size; k++)
        t[k] = static_cast<unsigned char>(value);
    return to;
}

API void bzero(void *to, std::size_t size)
{
    turn(kLibraryWrite, to, size, kPlain, HERE);
    auto *t = static_cast<volatile unsigned char *>(to);
    if (const fill_t next = next_of(next_memset, "memset"); next != nullptr)
        next(to, 0, size);
    else
        for (std::size_t k = 0; k < size; k++)
            t[k] = 0;
}

API char *stpcpy(char *to, const char *from)
{
    const std::size_t length = length_of(from);
    copy(to, from, length + 1, HERE);
    return to + length;
}

API std::size_t strlen(const char *text)
{
    const std::size_t length = length_of(text);
    turn(kLibraryRead, text, length + 1, kPlain, HERE);
    return length;
}

API char *strcpy(char *to, const char *from)
{
    copy(to, from, length_of(from) + 1, HERE);
    return to;
}

API char *strncpy(char *to, const char *from, std::size_t size)
{
    std::size_t length = 0;
    while (length < size && from[length] != '\0')
        length++;
    turn(kLibraryRead, from, std::min(size, length + 1), kPlain, HERE);
    turn(kLibraryWrite, to, size, kPlain, HERE);
    copy_bytes(to, from, length);
    for (std::size_t k = length; k < size; k++)
        static_cast<volatile char *>(to)[k] = '\0';
    return to;
}

API char *strcat(char *to, const char *from)
{
    const std::size_t had = length_of(to);
    turn(kLibraryRead, to, had + 1, kPlain, HERE);
    copy(to + had, from, length_of(from) + 1, HERE);
    return to;
}

API int vsnprintf(char *to, std::size_t size, const char *format, va_list args)
{
    return print_into(to, size, format, args, HERE);
}

API int vsprintf(char *to, const char *format, va_list args)
{
    return print_into(to, SIZE_MAX, format, args, HERE);
}

API int snprintf(char *to, std::size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = print_into(to, size, format, args, HERE);
    va_end(args);
    return n;
}

API int sprintf(char *to, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = print_into(to, SIZE_MAX, format, args, HERE);
    va_end(args);
    return n;
}

// What the C library keeps for the whole process and a call changes or reads: the
// environment, strtok's place, the random numbers' state. Each is one word here, written or
// read by the call, so that two threads' calls are ordered, and a race between them told
// (the random state's calls are atomic: the C library locks it).
// Exported under these names, which the steering library tells interleave.
extern "C" {
__attribute__((visibility("default"))) char interleave_environment, interleave_tokens, interleave_random_state;
}
char &environment = interleave_environment, &tokens = interleave_tokens, &random_state = interleave_random_state;

using get_t = char *(*)(const char *);
using set_t = int (*)(const char *, const char *, int);
using unset_t = int (*)(const char *);
using put_t = int (*)(char *);
using token_t = char *(*)(char *, const char *);
using time_t_ = struct tm *(*)(const time_t *);
using text_t = char *(*)(const time_t *);
using draw_t = int (*)();
using seed_t = void (*)(unsigned);
std::atomic<get_t> next_getenv;
std::atomic<set_t> next_setenv;
std::atomic<unset_t> next_unsetenv;
std::atomic<put_t> next_putenv;
std::atomic<token_t> next_strtok;
std::atomic<time_t_> next_localtime, next_gmtime;
std::atomic<text_t> next_ctime;
std::atomic<draw_t> next_rand;
std::atomic<seed_t> next_srand;

API char *getenv(const char *name)
{
    turn(kLibraryRead, &environment, 1, kPlain, HERE);
    return next_of(next_getenv, "getenv")(name);
}

API int setenv(const char *name, const char *value, int overwrite)
{
    turn(kLibraryWrite, &environment, 1, kPlain, HERE);
    return next_of(next_setenv, "setenv")(name, value, overwrite);
}

API int unsetenv(const char *name)
{
    turn(kLibraryWrite, &environment, 1, kPlain, HERE);
    return next_of(next_unsetenv, "unsetenv")(name);
}

API int putenv(char *text)
{
    turn(kLibraryWrite, &environment, 1, kPlain, HERE);
    return next_of(next_putenv, "putenv")(text);
}

API char *strtok(char *text, const char *separators)
{
    turn(kLibraryWrite, &tokens, 1, kPlain, HERE);
    // A new text has its delimiters overwritten with ends of string as it is cut.
    if (text != nullptr)
        turn(kLibraryWrite, text, length_of(text) + 1, kPlain, HERE);
    return next_of(next_strtok, "strtok")(text, separators);
}

// The result lies in the C library's one buffer, which the call has just written: told as
// the call's write (no other thread runs between the two), so that a thread's reads of it
// are ordered against another's call.
API struct tm *localtime(const time_t *t)
{
    struct tm *result = next_of(next_localtime, "localtime")(t);
    if (result != nullptr)
        turn(kLibraryWrite, result, sizeof *result, kPlain, HERE);
    return result;
}

API struct tm *gmtime(const time_t *t)
{
    struct tm *result = next_of(next_gmtime, "gmtime")(t);
    if (result != nullptr)
        turn(kLibraryWrite, result, sizeof *result, kPlain, HERE);
    return result;
}

API char *ctime(const time_t *t)
{
    char *result = next_of(next_ctime, "ctime")(t);
    if (result != nullptr)
        turn(kLibraryWrite, result, length_of(result) + 1, kPlain, HERE);
    return result;
}

API int rand()
{
    turn(kLibraryWrite, &random_state, 1, kOrdering, HERE);
    return next_of(next_rand, "rand")();
}

API void srand(unsigned seed)
{
    turn(kLibraryWrite, &random_state, 1, kOrdering, HERE);
    next_of(next_srand, "srand")(seed);
}

// Calls that read the program's strings, or a signal set, and write what they say: a
// comparison reads both strings as far as they are alike and one more; a conversion reads
// its text and writes where it ended; a signal set is written or read whole.
using compare_t = int (*)(const char *, const char *);
using compare_n_t = int (*)(const char *, const char *, std::size_t);
using bytes_t = int (*)(const void *, const void *, std::size_t);
using long_t = long (*)(const char *, char **, int);
using unsigned_long_t = unsigned long (*)(const char *, char **, int);
using long_long_t = long long (*)(const char *, char **, int);
using unsigned_long_long_t = unsigned long long (*)(const char *, char **, int);
using double_t_ = double (*)(const char *, char **);
using set_of_t = int (*)(sigset_t *);
using member_t = int (*)(sigset_t *, int);
using is_member_t = int (*)(const sigset_t *, int);
std::atomic<compare_t> next_strcmp, next_strcasecmp;
std::atomic<compare_n_t> next_strncmp, next_strncasecmp;
std::atomic<bytes_t> next_memcmp;
std::atomic<long_t> next_strtol;
std::atomic<unsigned_long_t> next_strtoul;
std::atomic<long_long_t> next_strtoll;
std::atomic<unsigned_long_long_t> next_strtoull;
std::atomic<double_t_> next_strtod;
std::atomic<set_of_t> next_sigemptyset, next_sigfillset;
std::atomic<member_t> next_sigaddset, next_sigdelset;
std::atomic<is_member_t> next_sigismember;

// How far two strings are read: up to the first difference or end, at most `most`.
std::size_t compared(const char *a, const char *b, std::size_t most, bool any_case)
{
    std::size_t k = 0;
    const auto fold = [&](char c) { return any_case && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    while (k < most && a[k] != '\0' && fold(a[k]) == fold(b[k]))
        k++;
    return std::min(most, k + 1);
}

int compare(const char *a, const char *b, std::size_t most, bool any_case, const void *code)
{
    const std::size_t read = compared(a, b, most, any_case);
    turn(kLibraryRead, a, read, kPlain, code);
    turn(kLibraryRead, b, read, kPlain, code);
    if (most == SIZE_MAX)
        return next_of(any_case ? next_strcasecmp : next_strcmp, any_case ? "strcasecmp" : "strcmp")(a, b);
    return next_of(any_case ? next_strncasecmp : next_strncmp, any_case ? "strncasecmp" : "strncmp")(a, b, most);
}

API int strcmp(const char *a, const char *b)
{
    return compare(a, b, SIZE_MAX, false, HERE);
}

API int strncmp(const char *a, const char *b, std::size_t most)
{
    return compare(a, b, most, false, HERE);
}

API int strcasecmp(const char *a, const char *b)
{
    return compare(a, b, SIZE_MAX, true, HERE);
}

API int strncasecmp(const char *a, const char *b, std::size_t most)
{
    return compare(a, b, most, true, HERE);
}

API int memcmp(const void *a, const void *b, std::size_t size)
{
    turn(kLibraryRead, a, size, kPlain, HERE);
    turn(kLibraryRead, b, size, kPlain, HERE);
    return next_of(next_memcmp, "memcmp")(a, b, size);
}

// A number's text is read to its end (a conversion reads no further than the string), and where
// it ended written. (atoi and its kin are named by their symbols: the C library's header
// defines them inline.)
template <typename F, typename... A>
auto convert(std::atomic<F> &slot, const char *name, const char *text, char **end, const void *code, A... base)
{
    turn(kLibraryRead, text, length_of(text) + 1, kPlain, code);
    if (end != nullptr)
        turn(kLibraryWrite, end, sizeof *end, kPlain, code);
    return next_of(slot, name)(text, end, base...);
}

API long strtol(const char *text, char **end, int base)
{
    return convert(next_strtol, "strtol", text, end, HERE, base);
}

API unsigned long strtoul(const char *text, char **end, int base)
{
    return convert(next_strtoul, "strtoul", text, end, HERE, base);
}

API long long strtoll(const char *text, char **end, int base)
{
    return convert(next_strtoll, "strtoll", text, end, HERE, base);
}

API unsigned long long strtoull(const char *text, char **end, int base)
{
    return convert(next_strtoull, "strtoull", text, end, HERE, base);
}

API double strtod(const char *text, char **end)
{
    return convert(next_strtod, "strtod", text, end, HERE);
}

API int text_to_atoi(const char *text) __asm__("atoi");
API int text_to_atoi(const char *text)
{
    return static_cast<int>(convert(next_strtol, "strtol", text, nullptr, HERE, 10));
}

API long text_to_atol(const char *text) __asm__("atol");
API long text_to_atol(const char *text)
{
    return convert(next_strtol, "strtol", text, nullptr, HERE, 10);
}

API long long text_to_atoll(const char *text) __asm__("atoll");
API long long text_to_atoll(const char *text)
{
    return convert(next_strtoll, "strtoll", text, nullptr, HERE, 10);
}

API double text_to_atof(const char *text) __asm__("atof");
API double text_to_atof(const char *text)
{
    return convert(next_strtod, "strtod", text, nullptr, HERE);
}

API int sigemptyset(sigset_t *set)
{
    turn(kLibraryWrite, set, sizeof *set, kPlain, HERE);
    return next_of(next_sigemptyset, "sigemptyset")(set);
}

API int sigfillset(sigset_t *set)
{
    turn(kLibraryWrite, set, sizeof *set, kPlain, HERE);
    return next_of(next_sigfillset, "sigfillset")(set);
}

API int sigaddset(sigset_t *set, int sig)
{
    turn(kLibraryWrite, set, sizeof *set, kPlain, HERE);
    return next_of(next_sigaddset, "sigaddset")(set, sig);
}

API int sigdelset(sigset_t *set, int sig)
{
    turn(kLibraryWrite, set, sizeof *set, kPlain, HERE);
    return next_of(next_sigdelset, "sigdelset")(set, sig);
}

API int sigismember(const sigset_t *set, int sig)
{
    turn(kLibraryRead, set, sizeof *set, kPlain, HERE);
    return next_of(next_sigismember, "sigismember")(set, sig);
}

// Tells the steering library that the program's accesses are turns.
API void __interleave_access_library() {}

API void __tsan_init() {}
API void __tsan_func_entry(void *) {}
API void __tsan_func_exit() {}

#define PLAIN(size)                                                                      \
    API void __tsan_read##size(void *a) { turn(kRead, a, size, kPlain, HERE); }          \
    API void __tsan_write##size(void *a) { turn(kWrite, a, size, kPlain, HERE); }        \
    API void __tsan_volatile_read##size(void *a) { turn(kRead, a, size, kPlain, HERE); } \
    API void __tsan_volatile_write##size(void *a) { turn(kWrite, a, size, kPlain, HERE); }
#define UNALIGNED(size)                                                                   \
    API void __tsan_unaligned_read##size(void *a) { turn(kRead, a, size, kPlain, HERE); } \
    API void __tsan_unaligned_write##size(void *a) { turn(kWrite, a, size, kPlain, HERE); }
PLAIN(1)
PLAIN(2)
PLAIN(4)
PLAIN(8)
PLAIN(16)
UNALIGNED(2)
UNALIGNED(4)
UNALIGNED(8)
UNALIGNED(16)

API void __tsan_read_range(void *a, std::size_t size) { turn(kRead, a, size, kPlain, HERE); }
API void __tsan_write_range(void *a, std::size_t size) { turn(kWrite, a, size, kPlain, HERE); }
// A C++ object's hidden pointer to its class's table, set as it is built and torn down.
API void __tsan_vptr_update(void **a, void *) { turn(kWrite, a, sizeof(void *), kPlain, HERE); }
API void __tsan_vptr_read(void **a) { turn(kRead, a, sizeof(void *), kPlain, HERE); }

#define ATOMICS(bits, type)                                                                                         \
    API type __tsan_atomic##bits##_load(const volatile type *a, int order)                                          \
    {                                                                                                               \
        turn(kRead, a, sizeof(type), atomic_of(order), HERE);                                                       \
        return __atomic_load_n(a, kOrder);                                                                          \
    }                                                                                                               \
    API void __tsan_atomic##bits##_store(volatile type *a, type v, int order)                                       \
    {                                                                                                               \
        turn(kWrite, a, sizeof(type), atomic_of(order), HERE);                                                      \
        __atomic_store_n(a, v, kOrder);                                                                             \
    }                                                                                                               \
    API type __tsan_atomic##bits##_exchange(volatile type *a, type v, int order)                                    \
    {                                                                                                               \
        turn(kUpdate, a, sizeof(type), atomic_of(order), HERE);                                                     \
        return __atomic_exchange_n(a, v, kOrder);                                                                   \
    }                                                                                                               \
    API type __tsan_atomic##bits##_fetch_add(volatile type *a, type v, int order)                                   \
    {                                                                                                               \
        turn(kUpdate, a, sizeof(type), atomic_of(order), HERE);                                                     \
        return __atomic_fetch_add(a, v, kOrder);                                                                    \
    }                                                                                                               \
    API type __tsan_atomic##bits##_fetch_sub(volatile type *a, type v, int order)                                   \
    {                                                                                                               \
        turn(kUpdate, a, sizeof(type), atomic_of(order), HERE);                                                     \
        return __atomic_fetch_sub(a, v, kOrder);                                                                    \
    }                                                                                                               \
    API type __tsan_atomic##bits##_fetch_and(volatile type *a, type v, int order)                                   \
    {                                                                                                               \
        turn(kUpdate, a, sizeof(type), atomic_of(order), HERE);                                                     \
        return __atomic_fetch_and(a, v, kOrder);                                                                    \
    }                                                                                                               \
    API type __tsan_atomic##bits##_fetch_or(volatile type *a, type v, int order)                                    \
    {                                                                                                               \
        turn(kUpdate, a, sizeof(type), atomic_of(order), HERE);                                                     \
        return __atomic_fetch_or(a, v, kOrder);                                                                     \
    }                                                                                                               \
    API type __tsan_atomic##bits##_fetch_xor(volatile type *a, type v, int order)                                   \
    {                                                                                                               \
        turn(kUpdate, a, sizeof(type), atomic_of(order), HERE);                                                     \
        return __atomic_fetch_xor(a, v, kOrder);                                                                    \
    }                                                                                                               \
    API type __tsan_atomic##bits##_fetch_nand(volatile type *a, type v, int order)                                  \
    {                                                                                                               \
        turn(kUpdate, a, sizeof(type), atomic_of(order), HERE);                                                     \
        return __atomic_fetch_nand(a, v, kOrder);                                                                   \
    }                                                                                                               \
    API int __tsan_atomic##bits##_compare_exchange_strong(volatile type *a, type *expected, type v, int order, int) \
    {                                                                                                               \
        turn(kUpdate, a, sizeof(type), atomic_of(order), HERE);                                                     \
        return __atomic_compare_exchange_n(a, expected, v, false, kOrder, kOrder);                                  \
    }                                                                                                               \
    API int __tsan_atomic##bits##_compare_exchange_weak(volatile type *a, type *expected, type v, int order, int)   \
    {                                                                                                               \
        turn(kUpdate, a, sizeof(type), atomic_of(order), HERE);                                                     \
        return __atomic_compare_exchange_n(a, expected, v, false, kOrder, kOrder);                                  \
    }                                                                                                               \
    API type __tsan_atomic##bits##_compare_exchange_val(volatile type *a, type expected, type v, int order, int)    \
    {                                                                                                               \
        turn(kUpdate, a, sizeof(type), atomic_of(order), HERE);                                                     \
        __atomic_compare_exchange_n(a, &expected, v, false, kOrder, kOrder);                                        \
        return expected;                                                                                            \
    }
ATOMICS(8, uint8_t)
ATOMICS(16, uint16_t)
ATOMICS(32, uint32_t)
ATOMICS(64, uint64_t)

// 16-byte atomic operations: the processor's own would need the atomic library; a lock of
// this library's serves, as every such operation of the program comes here.
__extension__ typedef __int128 wide_t;
__extension__ typedef unsigned __int128 bits_t;  // arithmetic that wraps, as the processor's does
std::atomic_flag wide_lock = ATOMIC_FLAG_INIT;

struct held_t {
    held_t()
    {
        while (wide_lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~held_t() { wide_lock.clear(std::memory_order_release); }
    held_t(const held_t &) = delete;
    held_t &operator=(const held_t &) = delete;
};

#define WIDE_UPDATE(name, expression)                                           \
    API wide_t __tsan_atomic128_##name(volatile wide_t *a, wide_t v, int order) \
    {                                                                           \
        turn(kUpdate, a, sizeof(wide_t), atomic_of(order), HERE);               \
        const held_t held;                                                      \
        const wide_t old = *a;                                                  \
        *a = (expression);                                                      \
        return old;                                                             \
    }
WIDE_UPDATE(exchange, v)
WIDE_UPDATE(fetch_add, static_cast<wide_t>(static_cast<bits_t>(old) + static_cast<bits_t>(v)))
WIDE_UPDATE(fetch_sub, static_cast<wide_t>(static_cast<bits_t>(old) - static_cast<bits_t>(v)))
WIDE_UPDATE(fetch_and, old & v)
WIDE_UPDATE(fetch_or, old | v)
WIDE_UPDATE(fetch_xor, old ^ v)
WIDE_UPDATE(fetch_nand, ~(old & v))

API wide_t __tsan_atomic128_load(const volatile wide_t *a, int order)
{
    turn(kRead, a, sizeof(wide_t), atomic_of(order), HERE);
    const held_t held;
    return *a;
}
API void __tsan_atomic128_store(volatile wide_t *a, wide_t v, int order)
{
    turn(kWrite, a, sizeof(wide_t), atomic_of(order), HERE);
    const held_t held;
    *a = v;
}
API int __tsan_atomic128_compare_exchange_strong(volatile wide_t *a, wide_t *expected, wide_t v, int order, int)
{
    turn(kUpdate, a, sizeof(wide_t), atomic_of(order), HERE);
    const held_t held;
    if (*a == *expected) {
        *a = v;
        return 1;
    }
    *expected = *a;
    return 0;
}
API int __tsan_atomic128_compare_exchange_weak(volatile wide_t *a, wide_t *expected, wide_t v, int order, int)
{
    turn(kUpdate, a, sizeof(wide_t), atomic_of(order), HERE);
    const held_t held;
    if (*a == *expected) {
        *a = v;
        return 1;
    }
    *expected = *a;
    return 0;
}
API wide_t __tsan_atomic128_compare_exchange_val(volatile wide_t *a, wide_t expected, wide_t v, int order, int)
{
    turn(kUpdate, a, sizeof(wide_t), atomic_of(order), HERE);
    const held_t held;
    const wide_t old = *a;
    if (old == expected)
        *a = v;
    return old;
}

API void __tsan_atomic_thread_fence(int order)
{
    if (order != __ATOMIC_RELAXED)
        turn(kFence, nullptr, static_cast<std::size_t>(order), kOrdering, HERE);
    __atomic_thread_fence(kOrder);
}
API void __tsan_atomic_signal_fence(int) { __atomic_signal_fence(kOrder); }
