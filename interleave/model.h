// interleave's model of the program it runs: its threads and processes, and the objects
// they synchronise through, each with what it holds and who waits for it. The model says
// which calls can be made now (a real call is made only when it cannot block) and what each
// one changes; it is the one place that knows the rules of POSIX threads and semaphores.
//
// A call is made in one turn, or in two where it waits in the model alone: a condition wait
// lets go of its mutex in one turn and takes it back in another, after a signal; a barrier
// is reached in one turn and passed in another, once all have reached it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocol.h"
#include "symbols.h"
#include "trace_rules.h"

namespace interleave {

using steer::call_t;

constexpr int kNobody = -1;

// What can happen next: thread `thread` makes its call ('r'), or its timed wait times out
// ('t'), or its wait ends with no wake-up ('s', as POSIX allows), or it is cancelled ('c'),
// or the timer of its process (the first thread's) sends the process SIGALRM ('a'), or a
// signal sent to it (or its process) arrives, before its call or in the middle of its wait
// ('g'): the handler runs, or the signal's default action is taken.
// `at` is when, on the program's clock: now, or the deadline of a sleep, a timeout, a timer.
struct action_t {
    int thread = 0;
    char how = 'r';
    int64_t at = 0;
    bool operator==(const action_t &other) const { return thread == other.thread && how == other.how; }
};

// Where an object lives: in one process's own memory (`space` is its pid), or in memory
// that processes share (`space` names the mapping, `address` is the offset in it).
struct place_t {
    uint64_t space = 0;
    uint64_t address = 0;
    auto operator<=>(const place_t &) const = default;
};

// A mapping that processes share: where it lies in one process, and where its start is.
struct mapping_t {
    uint64_t start = 0, end = 0;
    place_t place;
};

enum class kind_t { mutex, rwlock, cond, sem, barrier, once, futex };
constexpr int kKinds = 7;

struct mutex_t {
    int holder = kNobody;
    int depth = 0;  // how many times its holder has locked it
    bool recursive = false;
    bool error_check = false;
    bool robust = false;  // when its holder dies, the next to lock it gets it (and is told)
    std::optional<std::string> held_at_fork;  // held in the parent by a thread the child has not
};

struct rwlock_t {
    int writer = kNobody;
    std::map<int, int> readers;  // each reader, and how many read locks it holds
    bool writers_first = false;
};

struct cond_t {
    std::vector<int> waiters;  // in the order they began to wait
    place_t mutex;             // where the mutex lies that its waiters wait with
};

struct semaphore_t {
    long count = 0;
    std::vector<int> takers;  // who took from it and has not posted since, oldest first
};

struct barrier_t {
    long needed = 0;
    std::vector<int> arrived;
};

// A once control, or the C++ runtime's guard of a function's static.
struct once_t {
    enum state_t { fresh, running, done } state = fresh;
    int runner = kNobody;
};

struct futex_t {
    std::vector<int> parked;
};

struct object_t {
    kind_t kind = kind_t::mutex;
    place_t key;
    uint64_t address = 0;  // where the process that first used it has it
    std::string name;      // "lock", "m[2]", "fork 2 (m[2])", "mutex 3"
    int order = 0;         // its number among the objects of its kind, in the order first seen
    int fork = -1;         // the philosophers' fork it is, if any
    bool shared = false;   // set up to be shared between processes
    pid_t first_pid = 0;   // the process that first used it
    bool destroyed = false;
    mutex_t mutex;
    rwlock_t rwlock;
    cond_t cond;
    semaphore_t sem;
    barrier_t barrier;
    once_t once;
    futex_t futex;
};

// A pipe (or FIFO, or socket) or a file that the program reads or writes: who waits to
// read it while it is empty.
struct file_t {
    std::string name;  // "pipe 1", "socket 2", "data.txt"
    bool pipe = false;
    // What it is known by in every run: the thread that made it and how many it had made
    // before (a pipe's inode is new in every run); every file with a name is one.
    uint64_t known_as = 0, number = 0;
    std::vector<int> readers;  // threads waiting for a write to it, or a close
    std::vector<int> writers;  // threads waiting for room in it: a read of it, or a close
    // Threads in a FIFO's open, waiting for a writer to open it, or for a reader.
    std::vector<int> want_writer, want_reader;
};

// What a thread asks to do, as its channel said it.
struct request_t {
    call_t call = call_t::start;
    uint64_t object = 0;
    uint64_t object2 = 0;
    int64_t value = 0;
    int64_t extra = 0;
    int64_t deadline = -1;
    uint32_t flags = 0;
    int target = kNobody;  // the thread a join, detach or cancel names
    // The program's memory the call reads or writes itself (a channel's buffer, buffer_size,
    // buffer_code say how).
    uint64_t buffer = 0;
    int64_t buffer_size = 0;
    uint64_t buffer_code = 0;
};

struct thread_t {
    enum state_t { coming, running, asking, ended } state = coming;
    int channel = -1;
    pid_t pid = 0;
    int tid = 0;
    bool process = false;  // the first thread of its process
    int parent = kNobody;  // the thread that created or forked it
    std::string name;
    request_t asks;
    bool asked = false;  // it has asked for a turn at least once
    int heard = 0;       // calls it has asked for so far
    // A wait that goes on in the model alone: a condition's, a barrier's, a futex's.
    enum phase_t { none, waiting, woken, timed_out } phase = none;
    bool cancel_pending = false;
    bool detached = false;
    bool joined = false;
    uint64_t handle = 0;   // its pthread_t
    uint64_t routine = 0;  // its start routine
    uint64_t sigmask = 0;  // the signals it holds back (bit n - 1 for signal n), as its last ask said
    int pipes_made = 0;    // pipes it has made
    std::map<int, int> signals;  // sent to it alone, and yet to arrive: each signal, how many times
    uint64_t stack_low = 0, stack_high = 0, stack_top = 0;  // where its stack lies, if its library said
};

struct process_t {
    pid_t pid = 0;
    pid_t parent = 0;
    int first_thread = kNobody;
    bool dead = false;
    bool reaped = false;  // by a wait of the program's
    bool unsteered = false;  // it started another program (exec), which runs on its own
    bool execing = false;    // a thread of it is starting another program: it may fail
    // Its timers (alarm's, setitimer's, timer_create's), by number: when each sends its
    // signal, on the program's clock (-1 not set), and again every so often, if set so.
    struct timer_t {
        int64_t at = -1, every = 0;
        int sig = 0;
        int tid = 0;        // the thread it signals, or 0 for the process
        int64_t value = 0;  // handed with the signal
    };
    std::map<uint64_t, timer_t> timers;
    std::map<int, int> signals;  // sent to the process, and yet to arrive at one of its threads
    uint64_t caught = 0, ignored = 0;  // the signals it has a handler for, and those it ignores
};

// What the demo's rules need to know of a turn beyond the program's output.
struct effect_t {
    int fork = -1;      // the philosophers' fork taken or put back
    bool took = false;  // taken (else put back)
    int locked = -1;    // the mutex this turn took (its order), for the moments of stackbell's list
    int unlocked = -1;  // the mutex it let go of
};

// What an action did.
struct outcome_t {
    int64_t answer = 1;
    bool tell = true;       // the thread goes on (else it stays waiting in the model)
    bool changed = false;   // anything the model holds changed (a failed try changes nothing)
    bool own = false;       // and only what the caller holds: no other thread sees it
    std::string does;       // "locks m[0] (fork 0)"
    effect_t effect;
    std::optional<std::string> misuse;  // a rule of POSIX broken: "a mutex is unlocked only by..."
    std::string misuse_why;
    int new_thread = kNobody;  // created or forked
    bool limit = false;        // interleave has no channel left for the new thread
    pid_t alarm_to = 0;        // the process a timer sends its signal to now
    process_t::timer_t fired;  // and that timer, as it was
    std::vector<pid_t> ending;  // processes a signal ends now (SIGKILL, or one's default action)
    pid_t stopped = 0;          // a process a signal stops
};

struct model_t {
    std::vector<thread_t> threads;  // by id, in the order they were created
    std::map<place_t, object_t> objects;
    std::map<std::pair<uint64_t, uint64_t>, file_t> files;  // by device and inode
    int pipes = 0, sockets = 0;                              // seen so far, for their names
    std::map<pid_t, process_t> processes;
    std::array<int, kKinds> counted{};  // objects seen so far, per kind
    std::vector<int> free_channels;     // channels whose thread has ended
    int channels_used = 0;
    int philosophers = 0;  // threads or processes named A, B... so far
    int spurious_left = 0;
    int64_t clock = steer::kEpochNs;
    bool forked = false;  // more than one process: objects may live in shared memory
    // Where each process's addresses lie: shared mappings, by process, start to end.
    std::map<pid_t, std::vector<mapping_t>> mappings;
    std::map<std::pair<std::string, uint64_t>, uint64_t> mapping_ids;  // device and inode: its number
    std::map<std::pair<pid_t, uint64_t>, place_t> places;  // addresses seen, per process
    std::map<place_t, uint64_t> shared_at;  // where shared memory was first seen at
    bool aliased = false;  // some shared memory lies at different addresses in different processes
    bool mapped_files = false;  // a file is mapped into memory that shares its contents
    std::map<uint64_t, std::string> library_state;  // the C library's own state, by address
    bool mapping_unordered = false;  // and files were read or changed otherwise too
    bool others_ran = false;  // a program interleave does not steer ran (system, popen, an exec)
    bool unlocked_streams = false;  // a thread used a stream through the C library's unlocked calls
    std::string library_call;       // the first call of the C library's that takes descriptors inside it
    bool stream_tries = false;      // a thread tried a stream's lock (ftrylockfile)
    // Naming: the program's symbols and where it was loaded, and whose rules apply.
    symbols_t symbols;
    uint64_t base = 0;
    std::string program;  // its file, whose debug information names memory and code
    std::optional<watch::demo_t> demo;
};

// The model of a run that starts with one process, `pid`, whose first thread asks first.
model_t start_model(pid_t pid, const symbols_t &symbols, std::optional<watch::demo_t> demo, int spurious);

// A thread has asked: what it asks, from its channel.
void hear(model_t &m, int thread, const steer::channel_t &channel);
// A thread has ended, and a process has died (with all its threads). A thread that went on
// as another program (exec) keeps its channel until its process dies.
void thread_ended(model_t &m, int thread, bool free_channel = true);
void process_died(model_t &m, pid_t pid);
// A forked child has started, with this pid: it gets its copy of its parent's objects.
void child_started(model_t &m, int thread, pid_t pid);
// A thread started another program (posix_spawn), which runs on its own.
void program_started(model_t &m, int thread, pid_t pid);
// A process started another program with exec: it is no longer steered.
void process_execed(model_t &m, pid_t pid);
// A child has died: its parent is sent SIGCHLD. True if that is something the parent may see.
bool child_died(model_t &m, pid_t child);
// The signal that can arrive at a thread now (its process's or its own), or 0.
int arriving(model_t &m, const thread_t &t);
// Whether a thread's call always enters the system, which hands a signal waiting for the
// thread over before the call returns: such a call cannot end while one waits.
bool enters_the_system(const request_t &q);
// What a signal does to a process: its handler runs, nothing, or the process ends or stops.
enum class signal_effect_t { handler, nothing, end, stop };
signal_effect_t effect_of(const process_t &p, int sig);
// Everything that can happen now.
std::vector<action_t> actions_now(model_t &m);
// Carries an action out in the model.
outcome_t apply(model_t &m, const action_t &a);
// Whether a thread can make its call now, and the calls that are cancellation points.
bool can_go(model_t &m, const thread_t &t);
bool cancellation_point(const request_t &q);

// Where an address of a process lies: in memory the process has to itself, or in a mapping
// that it may share. While the program is one process, everything is its own.
place_t place_of(model_t &m, pid_t pid, uint64_t address);

// The object a thread's call is about, found (and first seen) by its address.
object_t &object_of(model_t &m, const thread_t &t, kind_t kind, uint64_t address);
// Its name, without making it seen: a look must not change the order of first sight.
std::string peek_name(model_t &m, const thread_t &t, kind_t kind, uint64_t address);

// The process's timer that runs out first, if one is set.
process_t::timer_t *next_timer(process_t &p);
// Whether every thread of a process has ended (a process that will end in a moment).
bool all_ended(const model_t &m, pid_t pid);

}  // namespace interleave
