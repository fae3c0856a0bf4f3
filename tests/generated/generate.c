// Builds one program from a seed. A program is a few constructs (a counter under a mutex,
// a semaphore handing over a value, a fork and its wait...), each giving one or more
// threads a short part to play; each thread's parts are merged in a random order, and main
// then makes, joins or leaves its threads and ends in one of the ways a program can end.
// A program with too many schedules is drawn again (a search of every schedule, with no
// reduction, must stay within reach), and so is one that deadlocks in every schedule.
#include <string.h>

#include "program.h"

// The schedules (as schedules.c counts them) above which a program is drawn again. The ABA
// shape needs nine accesses of one thread between two of another's, and is let have more.
#define MOST_SCHEDULES 500.0
#define MOST_SCHEDULES_ABA 2000.0

static uint64_t random_state;
static struct program *p;

// Where a construct's next statement may go in each thread: after its last one there.
static int cursor[MAX_THREADS];
// main's statements that must come before any thread is made (a signal blocked in all).
static short early[4];
static int nearly;
// Statements main runs after its joins, and the threads each needs joined first.
static short epilogue[6];
static unsigned epilogue_needs[6];
static int nepilogue;
// Threads another thread sends a signal to: not to be detached, which would leave the
// handle with nothing behind it.
static unsigned signalled;

UNWATCHED static uint64_t next_random(void)
{
    uint64_t z = (random_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

UNWATCHED static int below(int n)
{
    return (int)(next_random() % (uint64_t)n);
}

UNWATCHED static bool chance(int percent)
{
    return below(100) < percent;
}

UNWATCHED static int weighted(const int *weights, int n)
{
    int total = 0;
    for (int k = 0; k < n; k++)
        total += weights[k];
    int r = below(total);
    for (int k = 0; k < n; k++) {
        if (r < weights[k])
            return k;
        r -= weights[k];
    }
    return n - 1;
}

UNWATCHED static int exit_status(void)
{
    return 3 + below(4);
}

// ---- statements ----

UNWATCHED static int stmt(int kind, int a, int b, int c)
{
    if (p->nstmts == MAX_STMTS)
        return -1;
    struct stmt *s = &p->stmts[p->nstmts];
    *s = (struct stmt){.kind = (unsigned char)kind, .a = (signed char)a, .b = (signed char)b, .c = (signed char)c,
                       .body = -1, .next = -1};
    return p->nstmts++;
}

// Puts the statement at the end of the body of `parent`; returns the parent.
UNWATCHED static int nest(int parent, int child)
{
    if (parent < 0 || child < 0)
        return parent;
    short *link = &p->stmts[parent].body;
    while (*link >= 0)
        link = &p->stmts[*link].next;
    *link = (short)child;
    return parent;
}

UNWATCHED static int locked(int mutex, int child)
{
    return nest(stmt(K_LOCKED, mutex, 0, 0), child);
}

// A thread's own parts stay short: four statements (main five), nested ones not counted.
UNWATCHED static int room(int thread)
{
    return (thread == 0 ? 5 : 4) - p->ntop[thread];
}

UNWATCHED static void insert_at(int thread, int at, int s)
{
    if (s < 0 || p->ntop[thread] == MAX_TOP)
        return;
    short *list = p->top[thread];
    // Moved by hand, here and below: built with interleave-cc, a call of the C library's on
    // the program's structure would be a turn, which the printed source does not take.
    for (int k = p->ntop[thread]; k > at; k--)
        list[k] = list[k - 1];
    list[at] = (short)s;
    p->ntop[thread]++;
    cursor[thread] = at + 1;
}

// Anywhere after the construct's last statement in this thread: the parts of different
// constructs interleave.
UNWATCHED static void put(int thread, int s)
{
    const int from = cursor[thread];
    insert_at(thread, from + below(p->ntop[thread] - from + 1), s);
}

// Right after the construct's last statement in this thread.
UNWATCHED static void put_next(int thread, int s)
{
    insert_at(thread, cursor[thread], s);
}

UNWATCHED static void put_first(int thread, int s)
{
    insert_at(thread, 0, s);
}

UNWATCHED static void put_last(int thread, int s)
{
    insert_at(thread, p->ntop[thread], s);
}

UNWATCHED static void after_joins(int s, unsigned needs)
{
    if (s >= 0 && nepilogue < (int)(sizeof epilogue / sizeof epilogue[0])) {
        epilogue[nepilogue] = (short)s;
        epilogue_needs[nepilogue++] = needs;
    }
}

// `count` distinct threads with room for `need` more statements each, in a random order;
// returns how many were found.
UNWATCHED static int pick(int count, int need, int *chosen)
{
    int order[MAX_THREADS];
    for (int t = 0; t < p->threads; t++)
        order[t] = t;
    for (int t = p->threads - 1; t > 0; t--) {
        const int other = below(t + 1);
        const int keep = order[t];
        order[t] = order[other];
        order[other] = keep;
    }
    int found = 0;
    for (int k = 0; k < p->threads && found < count; k++)
        if (room(order[k]) >= need)
            chosen[found++] = order[k];
    return found;
}

// A worker thread with room, or -1.
UNWATCHED static int pick_worker(int need)
{
    const int from = 1 + below(p->threads - 1);
    for (int k = 0; k < p->threads - 1; k++) {
        const int t = 1 + (from - 1 + k) % (p->threads - 1);
        if (room(t) >= need)
            return t;
    }
    return -1;
}

UNWATCHED static unsigned bit(int thread)
{
    return thread == 0 ? 0u : 1u << thread;
}

// ---- objects ----

UNWATCHED static int new_mutex(bool shared)
{
    if (p->mutexes == MAX_MUTEXES)
        return -1;
    p->mutex_shared[p->mutexes] = shared;
    return p->mutexes++;
}

UNWATCHED static int new_var(int guard)
{
    if (p->vars == MAX_VARS)
        return -1;
    p->var_guard[p->vars] = guard;
    return p->vars++;
}

UNWATCHED static int new_sem(int value, bool shared)
{
    if (p->sems == MAX_SEMS)
        return -1;
    p->sem_value[p->sems] = value;
    p->sem_shared[p->sems] = shared;
    return p->sems++;
}

UNWATCHED static int new_atomic(void)
{
    return p->atomics == MAX_ATOMICS ? -1 : p->atomics++;
}

// ---- constructs of the calls family ----

// Two or three threads each add to a counter under its mutex; one may only try the lock.
UNWATCHED static bool counter(void)
{
    int who[3];
    const int n = pick(2 + chance(30), 1, who);
    const int m = new_mutex(false);
    const int v = new_var(m);
    if (n < 2 || m < 0 || v < 0)
        return false;
    const int trier = chance(35) ? below(n) : -1;
    for (int k = 0; k < n; k++) {
        const int add = stmt(K_ADD, v, 1 + below(3), 0);
        put(who[k], k == trier ? nest(stmt(K_TRYLOCKED, m, 1 + chance(30), 0), add) : locked(m, add));
    }
    if (chance(25))
        after_joins(locked(m, stmt(K_SHOW, v, 0, 0)), 0);
    return true;
}

// Two threads, two mutexes: in opposite orders (a deadlock waiting for its order), in the
// same order, the inner one only tried, or one thread letting go of the first before the
// second (hand over hand) against the other's opposite order.
UNWATCHED static bool two_locks(void)
{
    int who[2];
    if (pick(2, 1, who) < 2)
        return false;
    const int m0 = new_mutex(false), m1 = new_mutex(false);
    const int v = new_var(m0);
    if (m0 < 0 || m1 < 0 || v < 0)
        return false;
    const int shape = weighted((const int[]){45, 20, 20, 15}, 4);
    if (shape == 3) {
        const int w = new_var(m1);
        if (w < 0)
            return false;
        put(who[0], stmt(K_LOCK, m0, 0, 0));
        put_next(who[0], stmt(K_LOCK, m1, 0, 0));
        put_next(who[0], stmt(K_UNLOCK, m0, 0, 0));
        put_next(who[0], stmt(K_ADD, w, 1, 0));
        put_next(who[0], stmt(K_UNLOCK, m1, 0, 0));
    } else {
        put(who[0], locked(m0, locked(m1, stmt(K_ADD, v, 1, 0))));
    }
    const int first = shape == 1 ? m0 : m1, second = shape == 1 ? m1 : m0;
    const int add = stmt(K_ADD, v, 2, 0);
    put(who[1], locked(first, shape == 2 ? nest(stmt(K_TRYLOCKED, second, 1, 0), add) : locked(second, add)));
    return true;
}

// Waiters take tokens that givers add under the condition's mutex; a waiter may use `if`
// instead of a loop, and a giver may broadcast or wake after its unlock.
UNWATCHED static bool condition(void)
{
    if (p->conds == MAX_CONDS)
        return false;
    int who[4];
    const int waiters = 1 + chance(40);
    const int givers = 1 + (waiters == 2 && chance(60));
    const int n = pick(waiters + givers, 1, who);
    const int m = new_mutex(false);
    const int tokens = new_var(m);
    if (n < waiters + givers || m < 0 || tokens < 0)
        return false;
    const int c = p->conds++;
    p->cond_mutex[c] = m;
    p->cond_tokens[c] = tokens;
    const bool with_if = waiters == 2 ? chance(35) : chance(10);
    for (int k = 0; k < waiters; k++)
        put(who[k], stmt(K_COND_WAIT, c, with_if, 0));
    for (int k = waiters; k < waiters + givers; k++)
        put(who[k], stmt(K_COND_GIVE, c, chance(40), chance(25)));
    return true;
}

// A semaphore set to 0, 1 or 2: posts, waits and a try-wait, mostly balanced.
UNWATCHED static bool semaphore(void)
{
    int who[3];
    const int n = pick(2 + chance(35), 1, who);
    const int value = weighted((const int[]){55, 30, 15}, 3);
    const int s = new_sem(value, false);
    if (n < 2 || s < 0)
        return false;
    const int posts = value == 2 ? below(2) : 1 + chance(25 * !p->serial);
    for (int k = 0; k < posts; k++)
        put(who[0], stmt(K_SEM_POST, s, 0, 0));
    if (!p->serial || value > 0)
        put(who[1], stmt(K_SEM_WAIT, s, chance(60), 0));
    if (n == 3)
        put(who[2], stmt(K_SEM_TRYWAIT, s, 0, 0));
    else if (chance(30))
        put(who[1], stmt(K_SEM_TRYWAIT, s, 0, 0));
    return true;
}

// A value handed over without a lock: written before a post and read after the wait, or
// written by a thread and read by main after joining it.
UNWATCHED static bool handover(void)
{
    const int v = new_var(-1);
    if (v < 0)
        return false;
    const int value = 1 + below(9);
    if (p->serial || chance(50)) {
        const int writer = pick_worker(1);
        if (writer < 0)
            return false;
        put(writer, stmt(K_SET, v, value, 0));
        after_joins(stmt(K_SHOW, v, 0, 0), bit(writer));
        return true;
    }
    int who[2];
    const int s = new_sem(0, false);
    if (pick(2, 2, who) < 2 || s < 0)
        return false;
    put(who[0], stmt(K_SET, v, value, 0));
    put_next(who[0], stmt(K_SEM_POST, s, 0, 0));
    put(who[1], stmt(K_SEM_WAIT, s, 0, 0));
    put_next(who[1], stmt(K_SHOW, v, 0, 0));
    return true;
}

UNWATCHED static bool barrier(void)
{
    int who[3];
    const int n = pick(p->threads >= 3 && chance(40) ? 3 : 2, 1, who);
    if (n < 2 || p->barrier != 0)
        return false;
    p->barrier = n;
    for (int k = 0; k < n; k++)
        put(who[k], stmt(K_BARRIER, 0, 0, 0));
    return true;
}

UNWATCHED static bool once(void)
{
    int who[3];
    const int n = pick(2 + chance(30), 1, who);
    if (n < 2 || p->once)
        return false;
    p->once = true;
    for (int k = 0; k < n; k++)
        put(who[k], stmt(K_ONCE, 0, 0, 0));
    return true;
}

UNWATCHED static bool slot_free(int slot)
{
    return p->handling[slot] == HANDLE_NONE;
}

// A handler for SIGUSR1, SIGUSR2 or SIGALRM and something that sends its signal: kill() of
// the process, pthread_kill() of a thread, or alarm() and a sleep; the signal may be
// blocked in some threads.
UNWATCHED static bool signal_sent(void)
{
    const int shape = weighted((const int[]){25, 20, 15, 20, 12, 8}, 6);
    int who[2];
    if (shape <= 2) {  // kill(getpid()): the handler posts, sets a flag or writes to a pipe
        if (!slot_free(SLOT_USR1) || pick(2, 2, who) < 2)
            return false;
        const int sender = who[0];
        if (shape == 0) {
            const int s = new_sem(0, false);
            if (s < 0)
                return false;
            p->handling[SLOT_USR1] = HANDLE_POST;
            p->handled_object[SLOT_USR1] = s;
            put(sender, stmt(K_KILL, SLOT_USR1, 0, 0));
            if (chance(40))
                put(sender, stmt(K_SEM_WAIT, s, 1, 0));
            else
                put(who[1], stmt(K_SEM_WAIT, s, 1, 0));
        } else {
            p->handling[SLOT_USR1] = shape == 1 ? HANDLE_FLAG : HANDLE_PIPE;
            p->signal_pipe = p->signal_pipe || shape == 2;
            put(sender, stmt(K_KILL, SLOT_USR1, 0, 0));
            put_next(sender, shape == 1 ? stmt(K_SHOW_FLAG, SLOT_USR1, 0, 0) : stmt(K_DRAIN, 0, 0, 0));
        }
        if (chance(35)) {  // blocked in one thread, maybe for good; in main before its creates, in all
            const int blocker = who[below(2)];
            if (blocker == 0 && chance(40)) {
                if (nearly < (int)(sizeof early / sizeof early[0]))
                    early[nearly++] = (short)stmt(K_BLOCK, SLOT_USR1, 0, 0);
            } else {
                put_first(blocker, stmt(K_BLOCK, SLOT_USR1, 0, 0));
            }
            if (chance(50))
                put_last(blocker, stmt(K_UNBLOCK, SLOT_USR1, 0, 0));
        }
        return true;
    }
    if (shape == 3 || shape == 5) {  // pthread_kill() from main to a worker
        const int target = pick_worker(1);
        if (!slot_free(SLOT_USR2) || target < 0 || room(0) < 1)
            return false;
        signalled |= bit(target);
        put(0, stmt(K_THREAD_KILL, target, SLOT_USR2, 0));
        if (shape == 3) {
            const int s = new_sem(0, false);
            int waiter[1];
            if (s < 0 || pick(1, 1, waiter) < 1)
                return false;
            p->handling[SLOT_USR2] = HANDLE_POST;
            p->handled_object[SLOT_USR2] = s;
            put(waiter[0], stmt(K_SEM_WAIT, s, 1, 0));
        } else {  // the handler locks a mutex that its thread may hold
            const int m = new_mutex(false);
            if (m < 0)
                return false;
            p->handling[SLOT_USR2] = HANDLE_LOCK;
            p->handled_object[SLOT_USR2] = m;
            put(target, locked(m, stmt(K_SAY, 0, 0, 0)));
        }
        return true;
    }
    // alarm(1) and a sleep of two seconds, which the alarm cuts short
    if (!slot_free(SLOT_ALRM) || pick(1, 2, who) < 1)
        return false;
    p->handling[SLOT_ALRM] = HANDLE_FLAG;
    put(who[0], stmt(K_ALARM, 0, 0, 0));
    put_next(who[0], stmt(K_SHOW_FLAG, SLOT_ALRM, 0, 0));
    return true;
}

// A pipe whose ends two threads use under one mutex: the writer writes in two parts and
// may close its end; the reader takes what is there (a short read, nothing yet, or the
// end of the file), once or twice.
UNWATCHED static bool pipe_between_threads(void)
{
    int who[2];
    const int m = new_mutex(false);
    if (p->pipe || m < 0 || pick(2, 2, who) < 2)
        return false;
    p->pipe = true;
    const int first = 1 + below(3);
    const int writes = locked(m, stmt(K_PIPE_WRITE, 0, first, 0));
    put(who[0], writes);
    const bool second = chance(60), closes = chance(40);
    if (second) {
        const int more = locked(m, stmt(K_PIPE_WRITE, first, 1 + below(2), 0));
        put(who[0], more);
        if (closes)
            nest(more, stmt(K_PIPE_CLOSE, 0, 0, 0));
    } else if (closes) {
        nest(writes, stmt(K_PIPE_CLOSE, 0, 0, 0));
    }
    put(who[1], locked(m, stmt(K_PIPE_READ, 2 + below(3), 0, 0)));
    if (chance(40))
        put(who[1], locked(m, stmt(K_PIPE_READ, READ_MOST, 0, 0)));
    return true;
}

// A child process that exits with a status its parent's wait prints, after it says it
// runs, posts a process-shared semaphore, takes a process-shared mutex the parent takes
// too, or writes into a pipe the parent reads after the wait; SIGCHLD may post a semaphore.
UNWATCHED static bool fork_child(void)
{
    int who[1];
    if (p->children == MAX_CHILDREN || pick(1, 2, who) < 1)
        return false;
    const int parent = chance(60) ? 0 : who[0];
    if (room(parent) < 2)
        return false;
    const int child = p->children++;
    const int fork = stmt(K_FORK, child, below(5), 0);
    int parent_after = -1;  // what the parent does with the object it shares with the child
    bool writes = false;
    const int extra = weighted((const int[]){30, 25, 25, 20}, 4);
    if (extra == 0 || (extra == 3 && p->pipe)) {
        nest(fork, stmt(K_SAY, 0, 0, 0));
    } else if (extra == 1) {
        const int s = new_sem(0, true);
        if (s < 0)
            return false;
        nest(fork, stmt(K_SEM_POST, s, 0, 0));
        parent_after = stmt(K_SEM_WAIT, s, 1, 0);
    } else if (extra == 2) {
        const int m = new_mutex(true);
        if (m < 0)
            return false;
        nest(fork, locked(m, stmt(K_SAY, 0, 0, 0)));
        parent_after = locked(m, stmt(K_SAY, 0, 0, 0));
    } else if (extra == 3 && !p->pipe) {
        p->pipe = writes = true;
        nest(fork, stmt(K_PIPE_WRITE, 0, 3, 0));
    }
    // In a serial program the parent waits at once, so that the two never print together.
    put(parent, fork);
    if (parent_after >= 0 && !p->serial)
        put(parent, parent_after);
    if (p->serial)
        put_next(parent, stmt(K_WAIT_CHILD, child, 0, 0));
    else
        put(parent, stmt(K_WAIT_CHILD, child, 0, 0));
    if (parent_after >= 0 && p->serial)
        put_next(parent, parent_after);
    if (writes)
        put_next(parent, stmt(K_PIPE_READ, READ_MOST, 0, 0));
    if (slot_free(SLOT_CHLD) && chance(25)) {
        const int s = new_sem(0, false);
        if (s >= 0) {
            p->handling[SLOT_CHLD] = HANDLE_POST;
            p->handled_object[SLOT_CHLD] = s;
            put_next(parent, stmt(K_SEM_WAIT, s, 1, 0));
        }
    }
    return true;
}

// ---- constructs of the memory family ----

// Two threads add one to a plain variable: each reads it, then writes what it read plus one.
UNWATCHED static bool lost_update(void)
{
    int who[2];
    const int v = new_var(-1);
    if (v < 0 || pick(2, 1, who) < 2)
        return false;
    for (int k = 0; k < 2; k++)
        put(who[k], stmt(K_RACY_ADD, v, 0, 0));
    after_joins(stmt(K_SHOW, v, 0, 0), bit(who[0]) | bit(who[1]));
    return true;
}

// Two threads each take a plain variable if they find it free.
UNWATCHED static bool check_then_act(void)
{
    int who[2];
    const int v = new_var(-1);
    if (v < 0 || pick(2, 1, who) < 2)
        return false;
    for (int k = 0; k < 2; k++)
        put(who[k], stmt(K_CHECK_THEN_ACT, v, 0, 0));
    return true;
}

UNWATCHED static int store_order(void)
{
    return (const int[]){ORDER_RELEASE, ORDER_SEQ_CST, ORDER_RELAXED}[weighted((const int[]){40, 35, 25}, 3)];
}

UNWATCHED static int load_order(void)
{
    return (const int[]){ORDER_ACQUIRE, ORDER_SEQ_CST, ORDER_RELAXED}[weighted((const int[]){40, 35, 25}, 3)];
}

// A value published by a flag: an atomic flag, release and acquire (or weaker, which
// orders nothing), or a plain flag, which races.
UNWATCHED static bool publish(void)
{
    int who[2];
    const int data = new_var(-1);
    if (data < 0 || pick(2, 2, who) < 2)
        return false;
    const int value = 1 + below(9);
    put(who[0], stmt(K_SET, data, value, 0));
    int when;
    if (chance(70)) {
        const int flag = new_atomic();
        if (flag < 0)
            return false;
        put_next(who[0], stmt(K_ATOMIC_STORE, flag, 1, store_order()));
        when = stmt(K_WHEN, flag, 1, load_order());
    } else {
        const int flag = new_var(-1);
        if (flag < 0)
            return false;
        put_next(who[0], stmt(K_SET, flag, 1, 0));
        when = stmt(K_WHEN_PLAIN, flag, 1, 0);
    }
    put(who[1], nest(when, stmt(K_SHOW, data, 0, 0)));
    return true;
}

// Two or three threads count on one atomic: fetch-and-add (sequentially consistent or
// relaxed), an exchange, or a compare-exchange in a loop of at most three tries.
UNWATCHED static bool atomic_counter(void)
{
    int who[3];
    const int n = pick(2 + chance(25), 1, who);
    const int a = new_atomic();
    if (n < 2 || a < 0)
        return false;
    for (int k = 0; k < n; k++) {
        const int how = weighted((const int[]){45, 20, 35}, 3);
        if (how == 0)
            put(who[k], stmt(K_ATOMIC_ADD, a, 1, chance(30) ? ORDER_RELAXED : ORDER_SEQ_CST));
        else if (how == 1)
            put(who[k], stmt(K_ATOMIC_SWAP, a, 5 + k, ORDER_SEQ_CST));
        else
            put(who[k], stmt(K_CAS_ADD, a, 2 + chance(50), 0));
    }
    if (chance(40)) {
        unsigned needs = 0;
        for (int k = 0; k < n; k++)
            needs |= bit(who[k]);
        after_joins(stmt(K_ATOMIC_SHOW, a, 0, 0), needs);
    }
    return true;
}

// A stack of three nodes, A on B on C. One thread pops: it reads the top and the node
// under it, then decides with a compare-exchange. Another pops twice and pushes its first
// node back, saying nothing (the stack printed at the end shows what they did): if it
// does all that between the first one's reads and its compare-exchange, the top is A
// again, the compare-exchange succeeds and puts B, which is gone, on top.
UNWATCHED static bool aba(void)
{
    // The single pop is main's: a worker's nine accesses interleave with main's four turns
    // in C(14, 4) = 1001 ways, where the other way round they would in 2002.
    const int popper = pick_worker(3);
    if (p->stack || popper < 0 || room(0) < 1)
        return false;
    p->stack = true;
    put(0, stmt(K_POP, 0, 0, 0));
    put(popper, stmt(K_POP, 0, 1, 0));
    put_next(popper, stmt(K_POP, 0, 1, 0));
    put_next(popper, stmt(K_PUSH, 0, 1, 0));
    after_joins(stmt(K_SHOW_STACK, 0, 0, 0), bit(popper));
    return true;
}

// ---- the program's frame ----

typedef bool (*construct_t)(void);

static const construct_t calls_constructs[] = {counter, two_locks, condition, semaphore, handover,
                                               barrier, once, signal_sent, pipe_between_threads, fork_child};
static const int calls_weights[] = {18, 10, 14, 14, 8, 7, 6, 12, 8, 14};
// What a program whose threads run one at a time can use without waiting for ever.
static const int serial_weights[] = {18, 10, 0, 10, 8, 0, 6, 0, 8, 14};
static const construct_t memory_constructs[] = {lost_update, check_then_act, publish, atomic_counter, aba};
static const int memory_weights[] = {20, 15, 20, 20, 10};

// Adds one construct; one that finds no room leaves the program as it was.
UNWATCHED static bool add_construct(void)
{
    static struct program before;
    before = *p;
    const int nearly_before = nearly, nepilogue_before = nepilogue;
    const unsigned signalled_before = signalled;
    for (int t = 0; t < MAX_THREADS; t++)
        cursor[t] = 0;
    const int calls = (int)(sizeof calls_constructs / sizeof calls_constructs[0]);
    const int memory = (int)(sizeof memory_constructs / sizeof memory_constructs[0]);
    bool added;
    if (p->family == FAMILY_CALLS || (p->family == FAMILY_ALL && chance(50)))
        added = calls_constructs[weighted(p->serial ? serial_weights : calls_weights, calls)]();
    else
        added = memory_constructs[weighted(memory_weights, memory)]();
    if (!added) {
        *p = before;
        nearly = nearly_before;
        nepilogue = nepilogue_before;
        signalled = signalled_before;
    }
    return added;
}

// How each worker ends: it returns, mostly; it may call pthread_exit or exit.
UNWATCHED static void end_workers(void)
{
    for (int t = 1; t < p->threads; t++) {
        if (p->ntop[t] == 0)
            put_last(t, stmt(K_SAY, 0, 0, 0));
        const int r = below(100);
        if (r < 4)
            put_last(t, stmt(K_EXIT, exit_status(), 0, 0));
        else if (r < 12)
            put_last(t, stmt(K_THREAD_EXIT, 0, 0, 0));
    }
}

// What main may do before it has made all its threads: nothing that waits for them, or
// that names one not yet made.
UNWATCHED static bool fits_before_creates(const struct stmt *s)
{
    switch (s->kind) {
    case K_LOCKED:
    case K_TRYLOCKED:
    case K_SET:
    case K_SEM_POST:
    case K_SEM_TRYWAIT:
    case K_COND_GIVE:
    case K_RACY_ADD:
    case K_CHECK_THEN_ACT:
    case K_ATOMIC_ADD:
    case K_ATOMIC_SWAP:
    case K_ATOMIC_STORE:
    case K_CAS_ADD:
        return true;
    default:
        return false;
    }
}

// A worker that main may detach: nobody signals it or reads what it leaves, and it
// returns at its end, where it may post a semaphore that main waits for.
UNWATCHED static int detachable(void)
{
    if (p->serial || p->threads == 1 || !chance(12))
        return -1;
    const int t = 1 + below(p->threads - 1);
    bool needed = (signalled & bit(t)) != 0;
    for (int k = 0; k < nepilogue; k++)
        needed = needed || (epilogue_needs[k] & bit(t)) != 0;
    const int last = p->stmts[p->top[t][p->ntop[t] - 1]].kind;
    return needed || last == K_EXIT || last == K_THREAD_EXIT ? -1 : t;
}

enum ending { END_RETURN_0, END_RETURN_K, END_EXIT, END_THREAD_EXIT };

// main's statements in their order: what must come before its threads exist, the creates
// (a thread detached at once, or joined at once in a serial program), its own part, the
// joins it makes, what it reads after them, and its end: after joining every thread, some
// or none; by returning, by exit(), or by pthread_exit(), which leaves the process to its
// other threads.
UNWATCHED static void assemble_main(void)
{
    short own[MAX_TOP];
    const int nown = p->ntop[0];
    for (int k = 0; k < MAX_TOP; k++)
        own[k] = p->top[0][k];
    p->ntop[0] = 0;
    for (int k = 0; k < nearly; k++)
        put_last(0, early[k]);

    const int detached = detachable();
    const int done = detached > 0 && chance(60) ? new_sem(0, false) : -1;
    if (done >= 0)
        put_last(detached, stmt(K_SEM_POST, done, 0, 0));

    int used = 0;
    for (int t = 1; t < p->threads; t++) {
        if (!p->serial && t > 1 && used < nown && fits_before_creates(&p->stmts[own[used]]) && chance(12))
            put_last(0, own[used++]);
        put_last(0, stmt(K_CREATE, t, 0, 0));
        if (t == detached)
            put_last(0, stmt(K_DETACH, t, 0, 0));
        if (p->serial)
            put_last(0, stmt(K_JOIN, t, 0, 0));
    }
    while (used < nown)
        put_last(0, own[used++]);
    if (done >= 0)
        put_last(0, stmt(K_SEM_WAIT, done, 0, 0));

    enum ending ending;
    int joins;  // percent of the threads joined
    if (p->serial) {
        ending = (enum ending)weighted((const int[]){75, 10, 10, 5}, 4);
        joins = 0;  // joined already
    } else {
        const int shape = weighted((const int[]){48, 12, 12, 10, 9, 9}, 6);
        static const enum ending endings[] = {END_RETURN_0, END_RETURN_K, END_RETURN_0, END_RETURN_0, END_THREAD_EXIT, END_EXIT};
        static const int join_shares[] = {100, 100, 50, 0, 50, 40};
        ending = endings[shape];
        joins = join_shares[shape];
        // Which thread runs the exit handler is a matter of timing only where main leaves
        // with pthread_exit, its threads not all joined: the last of them to end runs it.
        if (p->exit_handler && chance(70)) {
            ending = END_THREAD_EXIT;
            joins = chance(50) ? 0 : 50;
        }
    }
    unsigned joined = p->serial ? ~0u : 0u;
    for (int t = 1; t < p->threads; t++)
        if (t != detached && joins > 0 && chance(joins)) {
            put_last(0, stmt(K_JOIN, t, 0, 0));
            joined |= bit(t);
        }
    for (int k = 0; k < nepilogue; k++)
        if ((epilogue_needs[k] & ~joined) == 0)
            put_last(0, epilogue[k]);
    if (ending == END_RETURN_0 || ending == END_RETURN_K)
        put_last(0, stmt(K_RETURN, ending == END_RETURN_K ? exit_status() : 0, 0, 0));
    else if (ending == END_EXIT)
        put_last(0, stmt(K_EXIT, exit_status(), 0, 0));
    else
        put_last(0, stmt(K_THREAD_EXIT, 0, 0, 0));
}

UNWATCHED static void draw(int threads, bool serial)
{
    const enum family family = p->family;
    const uint64_t seed = p->seed;
    for (size_t k = 0; k < sizeof *p; k++)
        ((unsigned char *)p)[k] = 0;
    p->family = family;
    p->seed = seed;
    // One program in eight has an exit handler, drawn from the seed alone, so that the others
    // are what they were without it.
    p->exit_handler = (seed * 0x9E3779B97F4A7C15ull) >> 61 == 0;
    nearly = nepilogue = 0;
    signalled = 0;
    p->threads = threads;
    p->serial = serial;
    const int constructs = 1 + weighted((const int[]){35, 45, 20}, 3);
    for (int k = 0, tries = 0; k < constructs && tries < 12; tries++)
        if (add_construct())
            k++;
    end_workers();
    assemble_main();
}

// The seed fixes the program's shape (its threads, whether they run one at a time) first,
// so that drawing its constructs again does not favour the shapes with fewer schedules; a
// shape that no draw fits loses a thread.
UNWATCHED void generate(struct program *program, uint64_t seed, enum family family)
{
    p = program;
    p->seed = seed;
    p->family = family;
    random_state = seed * 4 + (uint64_t)family;
    int threads = 2 + weighted((const int[]){45, 40, 15}, 3);
    const bool serial = chance(8);
    for (int tries = 1; tries <= 150; tries++) {
        draw(threads, serial);
        bool some_end;
        // A program with an exit handler ends with more turns than are counted (each thread's
        // end, the handler's): it is held to fewer.
        const double most = p->stack ? MOST_SCHEDULES_ABA : p->exit_handler ? MOST_SCHEDULES / 4 : MOST_SCHEDULES;
        if (count_schedules(p, most + 1, &some_end) <= most && some_end)
            return;
        if (tries % 50 == 0 && threads > 2)
            threads--;
    }
}
