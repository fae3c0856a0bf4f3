// interleave's access library: the entry points that the compiler's thread-sanitizer
// instrumentation calls before each load and store of a program built with interleave-cc,
// and in place of each atomic operation; and `free`, in front of the allocator's. It stands
// where the sanitizer's own runtime would, under that runtime's file name, so that the
// compiler's usual link finds it.
//
// It checks nothing itself. Under interleave, each access asks the steering library (which
// interleave preloads) for a turn, so that interleave orders the accesses of the threads
// and sees every one. Run on its own, the program finds no steering library: the reads and
// writes go on as they would, and the atomic operations are plain atomic operations.

#include <atomic>
#include <cstddef>
#include <cstdint>
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

// The allocator's free, behind this one: the C library's, or another that the program
// brought. While it is being looked up (dlsym may free), the C library's own.
extern "C" void __libc_free(void *);
using free_t = void (*)(void *);
std::atomic<free_t> next_free;
thread_local bool looking_up;

void free_for_real(void *block)
{
    free_t next = next_free.load(std::memory_order_acquire);
    if (next == nullptr && !looking_up) {
        looking_up = true;
        next = reinterpret_cast<free_t>(dlsym(RTLD_NEXT, "free"));
        looking_up = false;
        next_free.store(next, std::memory_order_release);
    }
    (next != nullptr ? next : __libc_free)(block);
}

#define HERE __builtin_return_address(0)
#define API extern "C" __attribute__((visibility("default"), noinline))

// A block freed is written as a whole: whatever another thread did to it must come before.
// Then it is new memory, which the allocator may hand to any thread.
API void free(void *block)
{
    if (block != nullptr)
        turn(kFree, block, malloc_usable_size(block), kPlain, HERE);
    free_for_real(block);
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
