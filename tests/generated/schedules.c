// How many schedules a search of every schedule would run on a generated program, roughly:
// each thread's statements are flattened into the turns they take (a call, a thread's
// start, in the builds whose accesses are turns an access too), and every order of those
// turns that a simple model of the program allows is counted: a lock waits for its mutex,
// a semaphore's wait for a post, a join for the thread's end, a wait for a child for the
// child's exit; an exit ends the run. Branches take one way (a try-lock succeeds, a
// condition's wait finds its token), and what the model leaves out (timeouts, wake-ups
// with no signal) the real search adds: the count is an estimate, good for telling a
// program of ten schedules from one of ten thousand.
#include <string.h>

#include "program.h"

enum op {
    E_TURN,         // a turn that waits for nothing
    E_LOCK,         // obj a mutex
    E_UNLOCK,
    E_TRY,          // obj a mutex: taken if free, else on at `to`
    E_JUMP,         // no turn: on at `to`
    E_SEM_WAIT,     // obj a semaphore
    E_SEM_POST,
    E_SEM_TRY,      // takes one if there is one
    E_COND_LOCK,    // obj a condition: its mutex; a token there already skips the wait
    E_COND_CHECK,   // where the look at the tokens is an access: the look, after the lock
                    // and after each wake-up; a token there skips the wait
    E_COND_WAIT,    // obj a condition: the wait, then the wake-up; waits again if no token
    E_COND_WAIT_IF, // the same, but goes on after any wake-up
    E_GIVE,         // obj a condition: its mutex taken, and a token added
    E_SIGNAL,       // obj a condition: one waiter woken
    E_BROADCAST,    // every waiter woken
    E_BARRIER,
    E_CREATE,       // obj a thread
    E_JOIN,
    E_FORK,         // obj a child
    E_WAIT_CHILD,
    E_EXIT,         // the process ends
    E_THREAD_EXIT,
    E_ALARM,        // the timer set: it may ring at any turn after
    E_RUNG,         // a sleep that ends only when the timer has rung
};

enum {
    TIMER = MAX_THREADS + MAX_CHILDREN,  // the threads, the children, then alarm()'s timer
    ACTORS,
    MAX_EVENTS = 96,
};

struct event {
    unsigned char op;
    signed char obj;
    short to;
};

static const struct program *prog;
static bool accesses;  // each access of a shared variable is a turn

static struct event events[ACTORS][MAX_EVENTS];
static int length[ACTORS];

// The model's state after some turns; each turn makes a copy.
struct state {
    signed char at[ACTORS];
    bool begun[ACTORS], ended[ACTORS], at_barrier[ACTORS];
    bool waiting[ACTORS], woken[ACTORS];  // in a condition's wait; and signalled there
    signed char holder[MAX_MUTEXES];      // actor + 1, 0: free
    signed char count[MAX_SEMS];
    signed char tokens[MAX_CONDS];
    signed char arrived;
    signed char spurious;  // wake-ups with no signal left to the run (interleave allows one)
    bool over;             // the process has ended
};

UNWATCHED static int add(int actor, int op, int obj)
{
    if (length[actor] == MAX_EVENTS)
        return MAX_EVENTS - 1;
    events[actor][length[actor]] = (struct event){(unsigned char)op, (signed char)obj, 0};
    return length[actor]++;
}

UNWATCHED static void accesses_of(int actor, int n)
{
    for (int k = 0; accesses && k < n; k++)
        add(actor, E_TURN, 0);
}

UNWATCHED static void flatten_body(int actor, int first);

// A try-lock of b tries: each try takes the mutex and runs the body, or prints that it
// is busy and tries again.
UNWATCHED static void flatten_trylocked(int actor, const struct stmt *s)
{
    int jumps[8], njumps = 0;
    for (int k = 0; k < s->b; k++) {
        const int try = add(actor, E_TRY, s->a);
        add(actor, E_TURN, 0);
        flatten_body(actor, s->body);
        add(actor, E_UNLOCK, s->a);
        if (njumps < 8)
            jumps[njumps++] = add(actor, E_JUMP, 0);
        events[actor][try].to = (short)add(actor, E_TURN, 0);
    }
    for (int k = 0; k < njumps; k++)
        events[actor][jumps[k]].to = (short)length[actor];
}

UNWATCHED static void flatten(int actor, const struct stmt *s)
{
    const int m = s->kind == K_COND_WAIT || s->kind == K_COND_GIVE ? prog->cond_mutex[s->a] : 0;
    switch (s->kind) {
    case K_LOCKED:
        add(actor, E_LOCK, s->a);
        flatten_body(actor, s->body);
        add(actor, E_UNLOCK, s->a);
        break;
    case K_TRYLOCKED:
        flatten_trylocked(actor, s);
        break;
    case K_LOCK:
        add(actor, E_LOCK, s->a);
        break;
    case K_UNLOCK:
        add(actor, E_UNLOCK, s->a);
        break;
    case K_ADD:
        accesses_of(actor, 2);
        add(actor, E_TURN, 0);
        break;
    case K_SET:
    case K_ATOMIC_STORE:
        accesses_of(actor, 1);
        break;
    case K_SHOW:
    case K_ATOMIC_ADD:
    case K_ATOMIC_SWAP:
    case K_ATOMIC_SHOW:
        accesses_of(actor, 1);
        add(actor, E_TURN, 0);
        break;
    case K_COND_WAIT:
        add(actor, E_COND_LOCK, s->a);
        if (accesses)
            add(actor, E_COND_CHECK, s->a);
        add(actor, s->b ? E_COND_WAIT_IF : E_COND_WAIT, s->a);
        accesses_of(actor, 3);
        add(actor, E_TURN, 0);
        add(actor, E_UNLOCK, m);
        break;
    case K_COND_GIVE:
        add(actor, E_GIVE, s->a);
        accesses_of(actor, 2);
        if (s->c)
            add(actor, E_UNLOCK, m);
        add(actor, s->b ? E_BROADCAST : E_SIGNAL, s->a);
        if (!s->c)
            add(actor, E_UNLOCK, m);
        break;
    case K_SEM_WAIT:
        add(actor, E_SEM_WAIT, s->a);
        if (s->b)
            add(actor, E_TURN, 0);
        break;
    case K_SEM_TRYWAIT:
        add(actor, E_SEM_TRY, s->a);
        add(actor, E_TURN, 0);
        break;
    case K_SEM_POST:
        add(actor, E_SEM_POST, s->a);
        break;
    case K_BARRIER:
        add(actor, E_BARRIER, 0);
        add(actor, E_TURN, 0);
        break;
    case K_CREATE:
        add(actor, E_CREATE, s->a);
        break;
    case K_JOIN:
        add(actor, E_JOIN, s->a);
        break;
    case K_EXIT:
        add(actor, E_TURN, 0);  // exit() takes a turn more than main's return
        add(actor, E_EXIT, 0);
        break;
    case K_RETURN:
        add(actor, E_EXIT, 0);
        break;
    case K_THREAD_EXIT:
        // The thread's end, and the unwinder's set-up, a pthread_once of the C library's.
        for (int k = 0; k < 4; k++)
            add(actor, E_TURN, 0);
        add(actor, E_THREAD_EXIT, 0);
        break;
    case K_FORK: {
        const int child = MAX_THREADS + s->a;
        length[child] = 0;
        add(child, E_TURN, 0);  // its start
        flatten_body(child, s->body);
        if (prog->handling[SLOT_CHLD] == HANDLE_POST)
            add(child, E_SEM_POST, prog->handled_object[SLOT_CHLD]);
        add(child, E_THREAD_EXIT, 0);  // its exit: only the child ends
        add(actor, E_FORK, s->a);
        break;
    }
    case K_WAIT_CHILD:
        add(actor, E_WAIT_CHILD, s->a);
        add(actor, E_TURN, 0);
        break;
    case K_ONCE:
        add(actor, E_TURN, 0);
        add(actor, E_TURN, 0);
        break;
    case K_ALARM:
        add(actor, E_ALARM, 0);
        add(actor, E_TURN, 0);
        add(actor, E_RUNG, 0);
        break;
    case K_KILL:
    case K_THREAD_KILL: {
        // The handler runs before the next turn; a post is what the model can follow.
        const int slot = s->kind == K_KILL ? s->a : s->b;
        if (s->kind == K_KILL)
            add(actor, E_TURN, 0);
        if (prog->handling[slot] == HANDLE_POST)
            add(actor, E_SEM_POST, prog->handled_object[slot]);
        break;
    }
    case K_RACY_ADD:
        accesses_of(actor, 2);
        break;
    case K_CHECK_THEN_ACT:
    case K_CAS_ADD:
        accesses_of(actor, 2);
        add(actor, E_TURN, 0);
        break;
    case K_WHEN:
    case K_WHEN_PLAIN:
        accesses_of(actor, 1);
        flatten_body(actor, s->body);
        break;
    case K_POP:
    case K_PUSH:
        accesses_of(actor, 3);
        if (!s->b)
            add(actor, E_TURN, 0);
        break;
    case K_SHOW_STACK:
        accesses_of(actor, 4);
        add(actor, E_TURN, 0);
        break;
    case K_BLOCK:
    case K_UNBLOCK:
    case K_PIPE_WRITE:
    case K_PIPE_CLOSE:
        break;
    default:  // a print, a detach, a read
        add(actor, E_TURN, 0);
        break;
    }
}

UNWATCHED static void flatten_body(int actor, int first)
{
    for (int k = first; k >= 0; k = prog->stmts[k].next)
        flatten(actor, &prog->stmts[k]);
}

UNWATCHED static bool can_go(const struct state *s, int actor)
{
    if (!s->begun[actor] || s->ended[actor] || (s->at_barrier[actor] && s->arrived < prog->barrier))
        return false;
    const struct event e = events[actor][s->at[actor]];
    switch (e.op) {
    case E_LOCK:
    case E_GIVE:
    case E_COND_LOCK:
        return s->holder[e.op == E_LOCK ? e.obj : prog->cond_mutex[e.obj]] == 0;
    case E_COND_WAIT:
    case E_COND_WAIT_IF:
        return !s->waiting[actor] ||
               (s->holder[prog->cond_mutex[e.obj]] == 0 && (s->woken[actor] || s->spurious > 0));
    case E_SEM_WAIT:
        return s->count[e.obj] > 0;
    case E_JOIN:
        return s->ended[e.obj];
    case E_WAIT_CHILD:
        return s->ended[MAX_THREADS + e.obj];
    case E_RUNG:
        return s->ended[TIMER];
    default:
        return true;
    }
}

// The waiters of condition c woken: one, or all.
UNWATCHED static void wake(struct state *s, int c, bool all)
{
    for (int actor = 0; actor < ACTORS; actor++) {
        const struct event e = events[actor][s->at[actor]];
        if (s->waiting[actor] && !s->woken[actor] && e.obj == c && (e.op == E_COND_WAIT || e.op == E_COND_WAIT_IF)) {
            s->woken[actor] = true;
            if (!all)
                return;
        }
    }
}

UNWATCHED static void go(struct state *s, int actor)
{
    if (s->at_barrier[actor]) {  // a thread that waited at the barrier passes: a turn of its own
        s->at_barrier[actor] = false;
        return;
    }
    const struct event e = events[actor][s->at[actor]];
    int next = s->at[actor] + 1;
    switch (e.op) {
    case E_LOCK:
        s->holder[e.obj] = (signed char)(actor + 1);
        break;
    case E_UNLOCK:
        s->holder[e.obj] = 0;
        break;
    case E_TRY:
        if (s->holder[e.obj] == 0)
            s->holder[e.obj] = (signed char)(actor + 1);
        else
            next = e.to;
        break;
    case E_SEM_WAIT:
        s->count[e.obj]--;
        break;
    case E_SEM_POST:
        s->count[e.obj]++;
        break;
    case E_SEM_TRY:
        s->count[e.obj] -= s->count[e.obj] > 0;
        break;
    case E_COND_LOCK:
        s->holder[prog->cond_mutex[e.obj]] = (signed char)(actor + 1);
        if (events[actor][next].op == E_COND_CHECK)
            break;  // the look at the tokens is a turn of its own
        if (s->tokens[e.obj] > 0) {  // no need to wait
            s->tokens[e.obj]--;
            next++;
        }
        break;
    case E_COND_CHECK:
        if (s->tokens[e.obj] > 0) {
            s->tokens[e.obj]--;
            next++;
        }
        break;
    case E_COND_WAIT:
    case E_COND_WAIT_IF:
        if (!s->waiting[actor]) {  // the wait: lets go of the mutex
            s->holder[prog->cond_mutex[e.obj]] = 0;
            s->waiting[actor] = true;
            s->woken[actor] = false;
            next--;
            break;
        }
        s->spurious -= !s->woken[actor];  // the wake-up, with the mutex taken again
        s->waiting[actor] = s->woken[actor] = false;
        s->holder[prog->cond_mutex[e.obj]] = (signed char)(actor + 1);
        if (e.op == E_COND_WAIT && events[actor][next - 2].op == E_COND_CHECK)
            next -= 2;  // the loop looks again
        else if (s->tokens[e.obj] > 0 || e.op == E_COND_WAIT_IF)
            s->tokens[e.obj]--;
        else
            next--;  // the loop waits again
        break;
    case E_GIVE:
        s->holder[prog->cond_mutex[e.obj]] = (signed char)(actor + 1);
        s->tokens[e.obj]++;
        break;
    case E_SIGNAL:
    case E_BROADCAST:
        wake(s, e.obj, e.op == E_BROADCAST);
        break;
    case E_BARRIER:  // the last to come passes at once, with the others
        s->arrived++;
        s->at_barrier[actor] = s->arrived < prog->barrier;
        break;
    case E_CREATE:
        s->begun[e.obj] = true;
        break;
    case E_FORK:
        s->begun[MAX_THREADS + e.obj] = true;
        break;
    case E_EXIT:
        s->over = true;
        break;
    case E_THREAD_EXIT:
        next = length[actor];
        break;
    case E_ALARM:
        s->begun[TIMER] = true;
        break;
    }
    while (next < length[actor] && events[actor][next].op == E_JUMP)
        next = events[actor][next].to;
    s->at[actor] = (signed char)next;
    s->ended[actor] = next >= length[actor];
}

static double ends;  // orders that end with no thread stuck

// The orders from this state on, counted up to `cap`: a run ends when the process does,
// or when nobody can go on (every thread done, or a deadlock).
UNWATCHED static double orders(const struct state *s, double cap)
{
    if (s->over) {
        ends++;
        return 1;
    }
    double n = 0;
    bool any = false;
    for (int actor = 0; actor < ACTORS && n < cap; actor++)
        if (can_go(s, actor)) {
            any = true;
            struct state next = *s;
            go(&next, actor);
            n += orders(&next, cap - n);
        }
    if (any)
        return n;
    bool stuck = false;
    for (int actor = 0; actor < ACTORS; actor++)
        stuck = stuck || (s->begun[actor] && !s->ended[actor]);
    ends += !stuck;
    return 1;
}

UNWATCHED double count_schedules(const struct program *p, double cap, bool *some_end)
{
    prog = p;
    accesses = p->family != FAMILY_CALLS;
    // Cleared by hand: built with interleave-cc, a memset of the C library's would be a turn,
    // which the printed source does not take.
    for (size_t k = 0; k < sizeof length; k++)
        ((unsigned char *)length)[k] = 0;
    struct state s;
    for (size_t k = 0; k < sizeof s; k++)
        ((unsigned char *)&s)[k] = 0;
    s.spurious = 1;
    for (int k = 0; k < p->sems; k++)
        s.count[k] = (signed char)p->sem_value[k];
    add(TIMER, E_TURN, 0);  // it rings
    for (int t = 0; t < p->threads; t++) {
        if (t > 0)
            add(t, E_TURN, 0);  // its start
        for (int k = 0; k < p->ntop[t]; k++)
            flatten(t, &p->stmts[p->top[t][k]]);
        // Where the program has an exit handler, a thread that returns ends at a turn of its
        // own: the last to end runs the handler.
        const int last = p->ntop[t] > 0 ? p->stmts[p->top[t][p->ntop[t] - 1]].kind : K_SAY;
        if (p->exit_handler && t > 0 && last != K_EXIT && last != K_THREAD_EXIT)
            add(t, E_TURN, 0);
    }
    s.begun[0] = true;
    ends = 0;
    const double n = orders(&s, cap);
    *some_end = ends > 0;
    return n;
}
