// Which turns depend on each other. Each turn touches a few things: an object, a thread's
// life, a process, a stream, the program's clock; and two turns of different threads depend
// on each other when they touch one thing and at least one of them changes it. Turns that
// do not depend on each other give the same result in either order, so a search need try
// only one order of them: this is what "distinct orders" counts.
#pragma once

#include <cstdint>
#include <vector>

#include "model.h"

namespace interleave {

// A thing a turn touches. Objects are told apart by their address, in the memory of one
// process or in memory that processes share (at the same address in each: a mapping made
// before a fork); processes by their first thread.
enum class thing_t : uint8_t {
    object,     // a: the process (or kShared), b: the address
    life,       // a thread's life: its creation, its end, a join: a is the thread
    cancel,     // a thread's pending cancel
    process,    // a process as a whole: every turn of its threads reads it; a fork, an exit, a
                // signal changes it
    children,   // the deaths of a process's children, which its waits see
    timer,      // a process's SIGALRM timer
    stream,     // standard output (1) or error (2)
    input,      // standard input
    clock,      // the program's clock
    spurious,   // the wake-ups with no signal a run allows
    numbering,  // the numbers new threads and processes get
    outside,    // programs the program starts, which interleave does not steer
    memory,     // an 8-byte word of memory, in a program built with interleave-cc: a and b as
                // for an object
    signals,    // the signals that wait for a process, and what each does there: a is the process
    thread_signals,  // the signals that wait for one thread: a is the thread
    file,       // a pipe, a socket or a file: a its device, b its inode
    last_end,   // which of a process's threads ends last, and so runs its exit: a is the process
    descriptors,  // a process's table of descriptors, which says what number an open gets and
                  // what a number names: a is the process
    // Memory by the page (a and b as for an object: the page's first word), for a call's
    // buffer too long to be told word by word, and memory as a whole (a and b 0), for a call
    // that reads or writes the program's memory where it cannot be told (a scanf's targets).
    // Every access reads its page's `accessed` and memory's as a whole; every write its
    // page's `written` and memory's as a whole too. Such a call that writes writes both; one
    // that reads writes `written`.
    page_accessed,
    page_written,
};

// How a turn touches it. Two reads, or two moves of the clock to a deadline, give the same
// result in either order; any other pair does not. A lock taken by blocking (`acquire`) and
// a lock let go by its holder (`release`) can never both be about to happen at once; nor
// can a look that had to wait for the letting go (`await`: a set-up found done, which a
// pthread_once that came while it ran would have waited for) and the letting go.
enum class role_t : uint8_t { read, commute, write, acquire, release, await };

// A role that only looks: two of them give the same result in either order.
bool looks(role_t role);

struct access_t {
    thing_t thing;
    uint64_t a = 0, b = 0;
    role_t role = role_t::write;
};
using footprint_t = std::vector<access_t>;

constexpr uint64_t kSharedThing = ~uint64_t{0};
constexpr uint64_t kWordsTold = 512;  // of a memory access, at most: a longer one is told in part

// What an action would touch, from what its thread asks: before it is taken, or when it is
// never taken (a thread still waiting when the run ends).
footprint_t touches(model_t &m, const action_t &a);
// After the action was taken: what it did not change, it only read.
void taken(footprint_t &f, const action_t &a, call_t call, const outcome_t &out);
// What a turn did as its thread ran on to its next call, or ended.
void add(footprint_t &f, thing_t thing, uint64_t a, uint64_t b, role_t role);
void add_object(footprint_t &f, model_t &m, pid_t pid, uint64_t address, role_t role);
uint64_t process_of(const model_t &m, pid_t pid);
// What a thread's end touches: its life, and which thread of its process ends last.
void thread_end_touches(footprint_t &f, const model_t &m, int id);
// What the next call a thread asks for tells the others at once, before it is taken.
void asked_next(footprint_t &f, model_t &m, int thread);

// Whether two turns of different threads depend on each other; and whether they could both
// be about to happen at the same moment.
bool dependent(const footprint_t &x, const footprint_t &y);
bool coenabled(const footprint_t &x, int x_thread, const footprint_t &y, int y_thread);
bool conflict(role_t x, role_t y);

}  // namespace interleave
