// What interleave and the steering library it preloads into a program share: one region
// of memory that both map, with one record (a channel) per living thread or process of the
// program. A thread that reaches a call the scheduler steers writes what it is about to do
// into its channel, rings the bell and waits; interleave decides who goes on, writes the
// answer, and wakes that one thread. So only one thread of the program runs at a time.
//
// The bell is a word of the region, a futex: the program holds no descriptor of
// interleave's, which it could close, or write over with a file of its own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace steer {

// Threads and processes of one run alive at once, at most. A channel whose thread has ended
// serves the next one, so a run may create any number of threads one after another.
constexpr int kChannels = 1100;

// What a thread is about to do when it asks for its turn.
enum class call_t : int32_t {
    start,  // a thread or process begins, before any of the program's own code
    mutex_init,
    mutex_lock,  // with a deadline: pthread_mutex_timedlock
    mutex_trylock,
    mutex_unlock,
    mutex_destroy,
    rwlock_init,
    rwlock_rdlock,  // with a deadline: the timed read lock
    rwlock_tryrdlock,
    rwlock_wrlock,  // with a deadline: the timed write lock
    rwlock_trywrlock,
    rwlock_unlock,
    rwlock_destroy,
    cond_init,
    cond_wait,  // with a deadline: the timed wait
    cond_signal,
    cond_broadcast,
    cond_destroy,
    sem_init,
    sem_wait,  // with a deadline: sem_timedwait
    sem_trywait,
    sem_post,
    sem_destroy,
    barrier_init,
    barrier_wait,
    barrier_destroy,
    once,       // pthread_once, and the C++ runtime's guard of a static: who runs the set-up
    once_done,  // the set-up has run (or, with value 0, was abandoned)
    futex_wait,  // a library's own wait (the C++ runtime's semaphores, latches, atomic waits)
    futex_park,  // the value was as expected: the thread sleeps until woken
    futex_wake,
    create,
    join,
    detach,
    cancel,
    testcancel,
    thread_exit,
    fork,
    exec,
    wait,
    exit,
    kill,
    sleep,  // its deadline in `deadline`
    yield,
    output,
    input,
    command,  // another program, run and waited for (system, popen, pclose, posix_spawn)
    alarm,    // a timer is set (or looked at, with kTry): `object` which (0 alarm's, else one of
              // timer_create's), `value` its delay and `extra` its interval, in ns; `object2` the
              // signal it sends (0 none), and the thread it sends it to, if one, times 256
              // (a kernel thread id); `deadline` the value it hands with the signal
    sem_getvalue,  // a look at a semaphore's count
    // Memory, in a program built so that its loads and stores ask first: `object` the
    // address, `value` how many bytes, `extra` where in the program's code it is.
    read,
    write,
    update,  // an atomic read-modify-write: an exchange, a fetch-and-add, a compare-and-swap
    fence,   // an atomic fence: from then on, relaxed atomic operations order others
    // Signals, each of which the program's threads hold back from the system until
    // interleave chooses the moment it arrives: `value` a signal set (bit n - 1 for signal n).
    sigmask,     // a thread lets through signals that wait for it: they arrive before it goes on
    sigaction,   // what a signal does changes: `value` the signal, `extra` a disposition_t
    sigsuspend,  // a wait for a signal let through by the set `value` (pause, sigsuspend)
    sigwait,     // a wait that takes a signal of the set `value` (sigwait, sigwaitinfo)
    // A pipe (or socket) or a file, through a descriptor or a stream of its: `object` its
    // inode, `object2` its device, `value` the descriptor, `extra` what is done (an io_t).
    io,
};
constexpr int kCalls = static_cast<int>(call_t::io) + 1;

enum io_t : int64_t {
    kRead = 0,
    kWrite = 1,
    kClose = 2,
    kMake = 3,
    kName = 4,    // a file looked up, made or changed by its name: `object2` which (a name_t),
                  // `object` the name's address in the program
    kSeek = 5,    // a descriptor's place in its file moved (lseek)
    kLook = 6,    // a look at a file's size and times through a descriptor (fstat)
    kResize = 7,  // a file's size set through a descriptor (ftruncate)
    kMap = 8,     // a file mapped into memory that the file shares (mmap, MAP_SHARED)
    // A FIFO opened by its name. One opened to read waits until a writer opens it, and one
    // opened to write waits until a reader has it open: with kEmpty, the turn that waits.
    kOpenToRead = 9,
    kOpenToWrite = 10,
    kOpenToReadWrite = 11,  // waits for nobody
    // A descriptor's number taken or freed where no pipe of the program's is the turn's:
    // `object2` how (a number_t), `value` the descriptor, `object` the one a copy goes over,
    // the last of a range closed, or, for a close, 1 if it is a standard stream that
    // interleave gave.
    kNumber = 12,
};

// How a turn of kNumber takes or frees a descriptor's number.
// kUses only looks at the table: a call on a descriptor that is no turn on a file of its own
// (fstat of a terminal, fcntl, fsync), which a close of it changes.
// kInLibrary is a call of the C library that may take descriptors of its own inside it (a
// look-up of a user or a host, syslog's socket): `object` is its place in kLibraryCalls.
// kForAMoment and kLetsGo are the two turns of one that holds a single descriptor for a
// moment (get_nprocs reads one file of the system's).
enum number_t : uint64_t {
    kFrees, kFreesRange, kCopies, kMakes, kMakesPipe, kMakesSocket, kAccepts, kOpensFifo, kUses, kInLibrary,
    kForAMoment, kLetsGo, kMakesSocketPair
};
constexpr std::array<const char *, 91> kLibraryCalls = {
    "openlog", "syslog", "closelog", "getpwnam", "getpwuid", "getpwnam_r", "getpwuid_r", "getgrnam", "getgrgid",
    "getgrnam_r", "getgrgid_r", "gethostbyname", "gethostbyaddr", "getaddrinfo", "getnameinfo", "getservbyname",
    "getservbyport", "getlogin", "getprotobyname", "getprotobynumber", "getspnam", "getgrouplist", "initgroups",
    "getpwent", "getgrent", "getnetbyname", "getifaddrs", "getusershell", "gethostid", "ttyname", "ttyname_r",
    "if_nametoindex", "if_indextoname", "if_nameindex", "get_nprocs", "get_nprocs_conf", "sysconf", "dlopen",
    "glob", "nftw", "ftw", "scandir", "setlocale", "newlocale", "iconv_open", "setmntent", "localtime",
    "localtime_r", "gmtime", "gmtime_r", "mktime", "ctime", "ctime_r", "strftime", "tzset", "pthread_exit",
    "pthread_cancel", "sem_open", "pthread_setname_np", "pthread_getname_np", "pthread_getattr_np", "perror",
    "backtrace", "getutent", "getutxent", "setutent", "setutxent", "endutent", "endutxent", "pututline",
    "pututxline", "getlogin_r", "fts_open", "fts_read", "fts_children", "fts_close", "wordexp", "lckpwdf",
    "ulckpwdf", "setfsent", "getfsent", "getfsspec", "getfsfile", "openpty", "forkpty", "daemon", "getpass",
    "getrpcbyname", "getrpcbynumber", "innetgr", "ttyslot"};

// What a call on a file's name does. Those up to kLookUp look; the others change the file
// system: its names, or a file's size or rights.
enum name_t : uint64_t { kOpen, kLookUp, kCreate, kRemove, kRename, kMakeDirectory, kLink, kTruncate, kRights, kMakeFifo };

// What a signal does in a process: the system's default, nothing, or the program's handler.
enum disposition_t : int64_t { kDefault = 0, kIgnored = 1, kCaught = 2 };

// A channel's turn word, which its thread waits on (a futex shared by all the processes).
enum turn_t : uint32_t {
    kFree = 0,     // no thread
    kRunning = 1,  // its thread runs, or is about to start
    kAsking = 2,   // its thread waits for an answer
    kGo = 3,       // the answer is there
    kEnded = 4,    // its thread has ended (or could not be started)
};

// Answers: 1 goes on; 0 does not (a try that finds the lock taken, a wait that times out);
// a barrier's last comer gets kSerial; a creation, the new thread's channel; a wake, the
// number woken. And these:
constexpr int64_t kCancelled = -1;  // the thread is cancelled at this call
constexpr int64_t kRefused = -2;    // interleave has no channel left for another thread
constexpr int64_t kSerial = 2;
// A signal sent to the sender's own process arrives at the sender before kill returns:
// no other thread lets it through. (A kill's plain answer, 1, leaves it waiting for the
// schedule to choose the thread it arrives at.)
constexpr int64_t kToSender = 3;
// A signal arrives: its handler runs (or its default action is taken) before the thread
// makes its call (kArrivesBefore), or in the middle of the call, which waited (kArrivesDuring):
// a wait that a signal cuts short then ends with EINTR. The answer is the base less the signal.
constexpr int64_t kArrivesBefore = -1000;
constexpr int64_t kArrivesDuring = -2000;
constexpr int64_t kInterrupted = -3;  // what ask() returns for a call that a signal cut short
constexpr int64_t kRestarted = -4;    // and for a wait that its caller begins again (SA_RESTART)

// What the library reads off an object as it is, and hands over with the call.
enum flag_t : uint32_t {
    kShared = 1,       // set up to be shared between processes
    kRecursive = 2,    // a mutex that its holder may lock again
    kErrorCheck = 4,   // a mutex that says EDEADLK and EPERM instead of misbehaving
    kMonotonic = 8,    // a condition variable whose timed waits use CLOCK_MONOTONIC
    kWritersFirst = 16,  // a read-write lock that lets no reader in while a writer waits
    kDone = 32,        // a once control, or a static's guard, whose set-up has already run
    kCancelEnabled = 64,  // the thread's cancel state when it asked
    kDetached = 128,   // a thread created detached
    kNoHang = 256,     // a wait for a child that does not wait
    kWroteOut = 512,   // a print's return, after it wrote out stdio's buffer: a system call
    kRobust = 1024,    // a robust mutex: the next to lock it after its holder died gets it
    kTry = 2048,       // a join that does not wait (pthread_tryjoin_np)
    kFromHandler = 4096,  // asked from inside a signal handler, which goes on after the turn
    kAtomic = 8192,    // a read or write of an atomic variable
    kSeen = 16384,     // `seen` holds what the thread's last read or write of memory found
                       // there, or left there
    kFreed = 32768,    // a write that frees a block of memory: `value` bytes from `object`
    kRelaxed = 65536,  // an atomic access in relaxed order: it orders no other access
    kResumed = 131072,   // the same call asked again, after a signal's handler ran in it
    kToThread = 262144,  // a signal sent to one thread (pthread_kill, raise): object2 its pthread_t
    kPipe = 524288,      // the descriptor is a pipe, a FIFO or a socket: a read of it may wait
    kEmpty = 1048576,    // a read found the pipe empty, with a writer yet: it waits for a write or a close;
                         // or a FIFO's open waits for its other end
    kWeakOrder = 2097152,  // an atomic access or fence in an order weaker than sequential consistency
    kStreamsFlushed = 4194304,  // the thread's turn flushed a standard stream itself (fflush): had
                                // another thread's text been waiting there, it went out then
    kSystemCall = 8388608,  // a read, write or other call that is a system call itself, not one
                            // that stdio may answer from its buffer
    kHandlersRun = 16777216,  // an exit whose handlers took turns: the process ends now
    kAccessesWatched = 33554432,  // the program's start: its memory accesses are turns (it was
                                  // built with interleave-cc), whether or not it makes any
    kNumbers = 67108864,  // the call takes or frees descriptors' numbers (an open, a close, a
                          // dup, a pipe): which number the next open gets depends on it
    kUnlockedStream = 134217728,  // since its last ask the thread used a stream through the C
                                  // library's unlocked calls (fwrite_unlocked...), not turns
    kStream = 268435456,  // a lock that is a stream's (flockfile): `value` is its descriptor
    kReadingEnd = 536870912,  // a close of a pipe's end that only reads (or, with kWritingEnd, only writes)
    kWritingEnd = 1073741824,
    kCancellationPoint = 2147483648,  // asked at a cancellation point: a pending cancel acts here
};

struct channel_t {
    std::atomic<uint32_t> turn;
    std::atomic<int32_t> parked;  // its thread sleeps on `turn`: a Go must wake it
    std::atomic<int32_t> nap;     // another thread has the turn: no use looking for a Go
    int32_t pid;
    int32_t tid;
    call_t call;
    uint32_t flags;
    uint64_t object;    // the mutex, lock, condition, semaphore, barrier, control or futex
    uint64_t object2;   // a condition wait's mutex; the thread a join or cancel names (its pthread_t)
    int64_t value;      // a semaphore's count as it is, an initial value, a futex's expected
                        // value or count to wake, a waited pid, an exit status, a stream (1, 2),
                        // a signal's receiver
    int64_t extra;      // a signal's number; a once's routine
    int64_t deadline;   // on interleave's clock, in ns; -1 for none
    int64_t answer;     // interleave's
    uint64_t handle;    // its pthread_t, for joins and cancels
    uint64_t routine;   // its start routine, for its name
    int32_t spawned;    // a process it started with posix_spawn, not yet told
    int32_t outside;    // it is in a call that runs another program (system): not stuck
    int32_t done;       // its routine has returned: it is on its way out
    int64_t seen;       // with kSeen
    uint64_t stack_low, stack_high;  // where a thread's stack lies, which a later thread may
                                     // be given once it has ended
    uint64_t stack_top;  // where its first frame began: above, its thread-locals
    // The program's memory that the call it asks for reads or writes itself (a read's buffer,
    // which the system fills; a write's, which it reads): `buffer_size` bytes from `buffer`
    // (positive: written; negative: read), `buffer_code` the program's call. A `buffer` of 0
    // with a size: memory that cannot be told (a scanf's targets), as a whole.
    uint64_t buffer;
    int64_t buffer_size;
    uint64_t buffer_code;
    // Told with every ask: the signals the thread holds back, and those its process catches
    // with a handler or ignores.
    uint64_t sigmask;
    uint64_t caught;
    uint64_t ignored;
};

struct region_t {
    std::atomic<uint32_t> bell;      // rung (added to) by a thread that asks, ends or crashes
    std::atomic<uint32_t> sleeping;  // interleave sleeps on the bell: a ring must wake it
    // The program's clock, realtime, in ns. interleave moves it on at sleeps and timeouts;
    // every reading moves it on by a microsecond, so that time never stands still.
    std::atomic<int64_t> clock_ns;
    std::atomic<uint64_t> base;       // where the program's executable was loaded
    std::atomic<int32_t> fatal_channel;  // the thread that received a fatal signal, or -1
    std::atomic<int32_t> fatal_signal;
    // interleave sees a thread's end as the system ends it: a thread goes on being steered
    // through its exit (its destructors' calls), instead of saying when its routine returns.
    std::atomic<int32_t> ends_seen;
    // A steered process has started a program that interleave does not steer (exec, system,
    // popen, posix_spawn): a pipe's other end may be that program's, whose reads are no turns.
    std::atomic<int32_t> others_started;
    // A function of the C library's that a steered program calls itself and that interleave
    // neither steers nor knows to take no descriptor: its name, as the first process to find
    // one wrote it; empty if none did.
    char unknown_call[64];
    channel_t channels[kChannels];
};

// The monotonic clocks of a steered program run this far behind its realtime clock: they
// start at 1000 s, as after a machine's start, when the realtime clock starts at its epoch.
constexpr int64_t kEpochNs = 1767225600LL * 1000000000;  // 2026-01-01 00:00:00 UTC
constexpr int64_t kMonotonicStartNs = 1000LL * 1000000000;
constexpr int64_t kReadingNs = 1000;  // what one reading of the clock moves it on

// The environment that hands the region to the program, which maps it, closes the
// descriptor and forgets both.
constexpr const char *kRegionVariable = "INTERLEAVE_REGION";  // a descriptor of the region
constexpr const char *kPidVariable = "INTERLEAVE_PID";        // the one process to steer at start
constexpr const char *kRegionName = "interleave";             // the region's memfd name
constexpr const char *kBoundVariable = "INTERLEAVE_BOUND";    // LD_BIND_NOW is interleave's, not the user's

// A program started once and forked for each run (a fork server) has instead a socket: on
// it, interleave hands over each run's standard input, output and error and its region,
// in that order, with one byte; the program answers with notes.
constexpr const char *kServerVariable = "INTERLEAVE_SERVER";  // a descriptor of the socket
static_assert(std::char_traits<char>::length(kServerVariable) == std::char_traits<char>::length(kRegionVariable),
              "a run started afresh and one forked by the server find their stacks alike");
constexpr int kServedDescriptors = 4;
enum class served_t : int32_t {
    ready,    // waiting for the first run
    refused,  // it cannot serve (a library of its own, a second thread...): it ends
    started,  // a run's process began: its pid
    ended,    // and ended: its wait status
};
struct server_note_t {
    served_t what;
    int32_t value;
};

}  // namespace steer
