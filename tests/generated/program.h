// The structure of one generated program: its objects and each thread's statements.
// generate.c builds it from a seed, interpret.c runs it with the real calls, emit.c prints
// it as a C file that makes the same calls in the same order and prints the same lines.
#ifndef RANDOM_PROGRAM_H
#define RANDOM_PROGRAM_H

#include <stdbool.h>
#include <stdint.h>

// In the build with interleave-cc every access of instrumented code is a turn. The
// interpreter's bookkeeping (the program's structure, thread handles, descriptors) is not
// the program's shared data: its functions are left uninstrumented, and the program's
// shared variables are reached only through the helpers of shared_memory.c.
#define UNWATCHED __attribute__((no_sanitize_thread))

enum {
    MAX_THREADS = 4,  // main is thread 0
    MAX_CHILDREN = 2,
    MAX_TOP = 16,     // statements of one thread, not counting those nested in them
    MAX_STMTS = 128,
    MAX_MUTEXES = 4,
    MAX_CONDS = 2,
    MAX_SEMS = 6,
    MAX_VARS = 5,
    MAX_ATOMICS = 2,
    MAX_POPS = 2,     // a thread remembers the nodes its first pops took
    STACK_NODES = 3,
    READ_MOST = 6,    // bytes one read of a pipe asks for, at most
};

enum family { FAMILY_CALLS, FAMILY_MEMORY, FAMILY_ALL };

enum order { ORDER_RELAXED, ORDER_ACQUIRE, ORDER_RELEASE, ORDER_SEQ_CST };

// The signals a program may handle, by slot.
enum slot { SLOT_USR1, SLOT_USR2, SLOT_ALRM, SLOT_CHLD, SLOTS };

// What a signal's handler does: posts a semaphore, sets a flag, writes a byte to a pipe of
// its own, or locks and unlocks a mutex (which no handler may do: a fault to be found).
enum handling { HANDLE_NONE, HANDLE_POST, HANDLE_FLAG, HANDLE_PIPE, HANDLE_LOCK };

// The statements. a, b, c are their operands; those with a body run it nested.
enum kind {
    K_SAY,             // a line that says the thread got here
    K_LOCKED,          // a mutex; body under it
    K_LOCK,            // a mutex, held across the statements that follow
    K_UNLOCK,          // a mutex
    K_TRYLOCKED,       // a mutex, b tries; body when a try takes it
    K_ADD,             // a var += b, and its value printed (under the var's guard)
    K_SET,             // a var = b
    K_SHOW,            // a var printed
    K_COND_WAIT,       // a cond: waits for a token and takes it; b 1 waits with `if`
    K_COND_GIVE,       // a cond: adds a token; b 1 broadcasts; c 1 wakes after the unlock
    K_SEM_WAIT,        // a sem; b 1 says it passed
    K_SEM_TRYWAIT,     // a sem
    K_SEM_POST,        // a sem
    K_BARRIER,
    K_ONCE,
    K_CREATE,          // a thread
    K_JOIN,            // a thread
    K_DETACH,          // a thread
    K_EXIT,            // exit(a)
    K_THREAD_EXIT,
    K_RETURN,          // main returns a
    K_KILL,            // a slot: kill(getpid(), its signal)
    K_THREAD_KILL,     // pthread_kill(thread a, the signal of slot b)
    K_ALARM,           // alarm(1), then sleep(2)
    K_BLOCK,           // a slot: its signal blocked in this thread
    K_UNBLOCK,         // a slot
    K_SHOW_FLAG,       // a slot: its handler's flag printed
    K_DRAIN,           // the bytes handlers wrote to their pipe, counted
    K_PIPE_WRITE,      // b bytes of the text from a
    K_PIPE_READ,       // at most a bytes
    K_PIPE_CLOSE,      // the writing end
    K_FORK,            // a child, b its exit status; body: what the child runs
    K_WAIT_CHILD,      // a child
    K_RACY_ADD,        // a var: read, then written one more, no lock
    K_CHECK_THEN_ACT,  // a var: taken if it reads 0
    K_ATOMIC_ADD,      // a atomic += b, order c; the old value printed
    K_ATOMIC_SWAP,     // a atomic = b, order c; the old value printed
    K_ATOMIC_STORE,    // a atomic = b, order c
    K_ATOMIC_SHOW,     // a atomic printed
    K_CAS_ADD,         // a atomic += 1 by compare-exchange, at most b tries
    K_WHEN,            // if atomic a reads b (order c): body; else says so
    K_WHEN_PLAIN,      // if var a reads b: body; else says so
    K_POP,             // pops the stack; b 1 says nothing of it
    K_PUSH,            // pushes back what this thread's pop a took; b 1 says nothing of it
    K_SHOW_STACK,
    KINDS
};

struct stmt {
    unsigned char kind;
    signed char a, b, c;
    short body;  // its first nested statement, or -1
    short next;  // the next statement of the body it is in, or -1
};

struct program {
    uint64_t seed;
    enum family family;
    bool serial;        // each thread joined as soon as it is made: the output cannot depend on timing
    int threads;        // main included
    short top[MAX_THREADS][MAX_TOP];
    int ntop[MAX_THREADS];
    struct stmt stmts[MAX_STMTS];
    int nstmts;

    int mutexes;
    bool mutex_shared[MAX_MUTEXES];  // process-shared, in the mapping made before any fork
    int conds;
    int cond_mutex[MAX_CONDS];
    int cond_tokens[MAX_CONDS];      // the var that counts its tokens, guarded by its mutex
    int sems;
    int sem_value[MAX_SEMS];
    bool sem_shared[MAX_SEMS];
    int vars;
    int var_guard[MAX_VARS];         // the mutex that guards it, or -1
    int atomics;
    int barrier;                     // threads that meet there; 0: no barrier
    bool once;
    bool pipe;
    bool stack;
    int children;
    int handling[SLOTS];
    int handled_object[SLOTS];       // the semaphore posted or the mutex locked
    bool signal_pipe;                // some handler writes to the pipe of the handlers
    bool exit_handler;               // an exit handler says which thread runs it: the last to end, after
                                     // main's pthread_exit
};

// The text that the pipe's writers write, a slice at a time.
#define PIPE_TEXT "abcdef"

// The lines the programs print. Both the interpreter and the printed source say exactly
// these: a line's fixed part is formatted with the thread's name and the objects' numbers;
// a value known only when the program runs comes last, in the part named ..._VALUE.
#define SAY_RUNS "%s runs\n"
#define SAY_TRY_GOT "%s trylock m%d: got it\n"
#define SAY_TRY_BUSY "%s trylock m%d: busy\n"
#define SAY_ADDED "%s v%d = "
#define SAY_SHOWN "%s sees v%d = "
#define SAY_INT_VALUE "%d\n"
#define SAY_TOOK_TOKEN "%s took a token of cv%d, left: "
#define SAY_PASSED "%s passed s%d\n"
#define SAY_INTERRUPTED "%s wait on s%d interrupted\n"
#define SAY_TRY_SEM_GOT "%s trywait s%d: got it\n"
#define SAY_TRY_SEM_NONE "%s trywait s%d: none\n"
#define SAY_BARRIER "%s passed the barrier\n"
#define SAY_ONCE "the once routine runs\n"
#define SAY_EXIT_HANDLER "%s runs the exit handler\n"
#define SAY_FLAG "%s sees flag %s = "
#define SAY_DRAINED "%s finds signal bytes: "
#define SAY_WRITE_SHORT "%s write to the pipe fell short\n"
#define SAY_READ "%s read "
#define SAY_READ_VALUE "%d bytes: %.*s\n"
#define SAY_READ_EOF "%s read: end of file\n"
#define SAY_READ_NOTHING "%s read: nothing yet\n"
#define SAY_CHILD "%s: child c%d "
#define SAY_CHILD_EXITED_VALUE "exited %d\n"
#define SAY_CHILD_KILLED_VALUE "killed by signal %d\n"
#define SAY_CHILD_LOST "%s: wait for c%d failed\n"
#define SAY_CTA_TOOK "%s took v%d\n"
#define SAY_CTA_TAKEN "%s found v%d taken by "
#define SAY_ATOMIC_WAS "%s a%d was "
#define SAY_ATOMIC_SHOWN "%s sees a%d = "
#define SAY_CAS "%s cas a%d: "
#define SAY_CAS_VALUE "%d -> %d\n"
#define SAY_CAS_GAVE_UP "%s cas a%d: gave up\n"
#define SAY_NOT_YET "%s sees no flag yet\n"
#define SAY_EMPTY "%s finds the stack empty\n"
#define SAY_POPPED "%s popped "
#define SAY_NODE_VALUE "%c\n"
#define SAY_POP_LOST "%s pop lost a race\n"
#define SAY_PUSHED "%s pushed "
#define SAY_PUSH_LOST "%s push lost a race\n"
#define SAY_NOTHING_TO_PUSH "%s has nothing to push\n"
#define SAY_STACK "%s sees the stack:"
#define SAY_STACK_VALUE "%s\n"

#define NODE_NAMES "ABC"

// Exit statuses: a program ends with 0 or one of its own, 3 to 9; 1 is a call that could not
// be made (a thread or a process not created), 2 wrong use of random_program itself.
enum { STATUS_FAILED = 1, STATUS_USAGE = 2 };

UNWATCHED void generate(struct program *p, uint64_t seed, enum family family);
UNWATCHED int run_program(const struct program *p);
UNWATCHED void emit_program(const struct program *p);
// About how many schedules a search of every schedule would run, counted up to `cap`;
// and whether any of them ends with no thread stuck for ever.
UNWATCHED double count_schedules(const struct program *p, double cap, bool *some_end);

UNWATCHED const char *thread_name(int thread);
UNWATCHED int thread_mark(int thread);       // what it writes into a variable it takes: t1 1, main 9
UNWATCHED const char *family_name(enum family family);
UNWATCHED const char *slot_name(int slot);   // "usr1"
UNWATCHED int slot_signal(int slot);         // SIGUSR1

// The program's shared variables, read and written only through these (shared_memory.c):
// in the build with interleave-cc each access here is a turn.
int load_plain(const int *place);
void store_plain(int *place, int value);
int load_atomic(const int *place, enum order order);
void store_atomic(int *place, int value, enum order order);
int add_atomic(int *place, int value, enum order order);
int swap_atomic(int *place, int value, enum order order);
bool cas_atomic(int *place, int *expected, int desired);  // sequentially consistent

#endif
