// The only code of random_program that touches the generated program's shared variables,
// and the only code built instrumented: under interleave-cc each load, store and atomic
// operation here asks for a turn, as the same line of a hand-written program would. The
// functions stay out of line and opaque (noipa), so that the uninstrumented interpreter
// never absorbs one, nor has two reads merged into one.
#include "program.h"

__attribute__((noipa)) int load_plain(const int *place)
{
    return *place;
}

__attribute__((noipa)) void store_plain(int *place, int value)
{
    *place = value;
}

// The builtins want their memory order as a constant, so each order is its own call.
__attribute__((noipa)) int load_atomic(const int *place, enum order order)
{
    switch (order) {
    case ORDER_RELAXED:
        return __atomic_load_n(place, __ATOMIC_RELAXED);
    case ORDER_ACQUIRE:
        return __atomic_load_n(place, __ATOMIC_ACQUIRE);
    default:
        return __atomic_load_n(place, __ATOMIC_SEQ_CST);
    }
}

__attribute__((noipa)) void store_atomic(int *place, int value, enum order order)
{
    switch (order) {
    case ORDER_RELAXED:
        __atomic_store_n(place, value, __ATOMIC_RELAXED);
        break;
    case ORDER_RELEASE:
        __atomic_store_n(place, value, __ATOMIC_RELEASE);
        break;
    default:
        __atomic_store_n(place, value, __ATOMIC_SEQ_CST);
        break;
    }
}

__attribute__((noipa)) int add_atomic(int *place, int value, enum order order)
{
    if (order == ORDER_RELAXED)
        return __atomic_fetch_add(place, value, __ATOMIC_RELAXED);
    return __atomic_fetch_add(place, value, __ATOMIC_SEQ_CST);
}

__attribute__((noipa)) int swap_atomic(int *place, int value, enum order order)
{
    if (order == ORDER_RELAXED)
        return __atomic_exchange_n(place, value, __ATOMIC_RELAXED);
    return __atomic_exchange_n(place, value, __ATOMIC_SEQ_CST);
}

__attribute__((noipa)) bool cas_atomic(int *place, int *expected, int desired)
{
    return __atomic_compare_exchange_n(place, expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}
