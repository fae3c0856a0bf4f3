// What interleave's access library tells the steering library of each memory access of a
// program built with interleave-cc: it calls the steering library's
// `__interleave_access(kind, address, size, order, code)`, a plain C entry point, before
// the access, and the call returns once the access may happen.
#pragma once

namespace access_library {

enum kind_t : int {
    kRead,
    kWrite,
    kUpdate,  // an atomic read-modify-write: an exchange, a fetch-and-add, a compare-and-swap
    kFree,    // a block freed: `size` bytes from `address`
    kFence,   // an atomic fence: `size` holds its memory order
    // What a C library function that the program called (a copy, a string's length, a
    // formatted print into a buffer) reads and writes of the program's memory: `size` bytes
    // from `address`, told as the call begins.
    kLibraryRead,
    kLibraryWrite,
};

enum order_t : int {
    kPlain,     // not atomic
    kOrdering,  // atomic and sequentially consistent
    kRelaxed,   // atomic and relaxed: it orders no other access by itself
    kWeak,      // atomic, in an order that hands on what came before but is weaker than
                // sequential consistency (acquire, release)
};

}  // namespace access_library
