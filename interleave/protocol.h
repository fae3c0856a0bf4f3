// What interleave and the steering library it preloads into a program share: one region
// of memory that both map, with one record (a slot) per thread or process of the program.
// A thread that reaches a call the scheduler steers writes what it is about to do into its
// slot, rings the bell and waits; interleave decides who goes on, writes the answer, and
// wakes that one thread. So only one thread of the program runs at a time.
#pragma once

#include <atomic>
#include <cstdint>

namespace steer {

constexpr int kSlots = 128;  // threads and processes of one run, at most

// What a thread is about to do when it asks for its turn.
enum class call_t : int32_t {
    start,  // a thread or process begins, before any of the program's own code
    mutex_init,
    mutex_lock,
    mutex_trylock,
    mutex_unlock,
    mutex_destroy,
    cond_wait,
    cond_timedwait,
    cond_signal,
    cond_broadcast,
    sem_init,
    sem_wait,
    sem_trywait,
    sem_timedwait,
    sem_post,
    sem_destroy,
    create,
    join,
    cancel,
    testcancel,
    thread_exit,
    fork,
    wait,
    exit,
    sleep,
    output,
    input,
    kill,
};

// A slot's turn word, which its thread waits on (a futex shared by all the processes).
enum turn_t : uint32_t {
    kFree = 0,     // no thread
    kRunning = 1,  // its thread runs, or is about to start
    kAsking = 2,   // its thread waits for an answer
    kGo = 3,       // the answer is there
    kEnded = 4,    // its thread has ended (or could not be started)
};

// Answers besides yes (1) and no (0).
constexpr int64_t kCancelled = -1;  // the thread is cancelled at this call

struct slot_t {
    std::atomic<uint32_t> turn;
    int32_t pid;
    int32_t tid;
    call_t call;
    int32_t cancel_enabled;  // the thread's cancel state when it asked
    uint64_t object;         // the mutex, condition or semaphore; the slot joined or cancelled
    uint64_t mutex;          // a condition wait's mutex
    int64_t value;           // a semaphore's count as it is, a sem_init's value, a deadline in
                             // ns, a waited pid, an exit status, an output's stream (1 or 2)
    int64_t extra;           // sem_init's pshared; a wait's options
    int64_t answer;          // interleave's: 1, 0, kCancelled, or a new thread's slot
    uint64_t handle;         // its pthread_t, for joins and cancels
    uint64_t routine;        // its start routine, for its name
};

struct region_t {
    std::atomic<int64_t> clock_ns;    // the program's clock, moved by interleave alone
    std::atomic<uint64_t> base;       // where the program's executable was loaded
    std::atomic<int32_t> fatal_slot;  // the thread that received a fatal signal, or -1
    std::atomic<int32_t> fatal_signal;
    slot_t slots[kSlots];
};

// The environment that hands the region and the bell to the program.
constexpr const char *kRegionVariable = "INTERLEAVE_REGION";  // a descriptor of the region
constexpr const char *kBellVariable = "INTERLEAVE_BELL";      // an eventfd
constexpr const char *kPidVariable = "INTERLEAVE_PID";        // the one process to steer at start

}  // namespace steer
