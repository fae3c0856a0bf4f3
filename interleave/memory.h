// Memory accesses as turns, in a program built with interleave-cc: what interleave calls the
// memory an access touches, where in the source the access is, and which accesses race.
//
// Two accesses to the same memory from two threads race when at least one writes, not both
// are atomic, and no synchronisation that interleave saw orders them. "Ordered" is followed
// with a vector clock per thread: a turn on a lock, semaphore, condition, barrier, once,
// futex or atomic variable takes in the clock that the object holds and leaves its own
// there (a relaxed atomic operation only through its thread's fences, as C11 has it); a
// new thread starts from its creator's clock; a join takes in the ended thread's.
// A turn on an object counts both ways, as a release and an acquire: this can order two
// accesses that a stricter reading would call a race, never the other way round.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model.h"

namespace interleave {

struct memory_access_t {
    int thread = kNobody;
    bool write = false;
    bool atomic = false;
    uint64_t address = 0, size = 0;
    uint64_t code = 0;  // where in the program's code (an address of its process)
    uint32_t at = 0;    // its thread's own clock at the access
};

struct race_t {
    memory_access_t first, second;
};

using vector_clock_t = std::vector<uint32_t>;

struct clocks_t {
    std::vector<vector_clock_t> threads;     // by thread
    std::map<place_t, vector_clock_t> objects;  // what each object hands on
    struct shadow_t {
        std::vector<memory_access_t> writes;  // the last write of each part of the word
        std::vector<memory_access_t> reads;   // and the reads of it since
    };
    std::map<place_t, shadow_t> memory;  // by 8-byte word
    // Fences, by thread: what its relaxed atomic reads took since its last acquire fence,
    // and its clock at its last release fence.
    std::vector<vector_clock_t> pending, released;
};

// A turn taken: the clocks follow what it synchronised through.
void synchronised(clocks_t &c, model_t &m, const action_t &a, call_t call, const outcome_t &o);
// An access taken: the race it makes with an earlier one, if any. A block freed is written
// as a whole, and then forgotten: the allocator may hand it to any thread.
std::optional<race_t> accessed(clocks_t &c, model_t &m, int thread, const request_t &q);
// Memory that is new again, whoever used it before: an ended thread's stack.
void forget(clocks_t &c, model_t &m, pid_t pid, uint64_t low, uint64_t high);

// The memory that an access of `size` bytes at an address touches: the program's variable,
// down to its member or element ("count", "pt.y", "grid[1][2]"), or the address.
std::string memory_name(const model_t &m, uint64_t address, uint64_t size);
// A value found there, as its type reads: "-1", "4000000001", "2.5", "true", "0x5555...".
std::string value_text(const model_t &m, uint64_t address, uint64_t size, int64_t value);
// Where an address of the program's code lies in its source ("counter.c:12"); empty when
// its debug information does not say, or the code is not the program's own.
std::string code_line(const model_t &m, uint64_t code);
// What a race is said as: "data race on count: A writes it (counter.c:12), B reads it
// (counter.c:14), nothing orders them".
std::string race_text(const model_t &m, const race_t &race);

}  // namespace interleave
