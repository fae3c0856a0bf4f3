// Runs a generated program with the real calls, statement by statement, as the printed
// source would: the same calls on the same kinds of objects in the same order, and the
// same lines printed. Nothing here allocates, and nothing here touches the program's
// shared variables but through shared_memory.c.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "program.h"

// What one thread (or child process) of the program keeps for itself.
struct self {
    int thread;  // its number, main 0; a child's, its parent's
    const char *name;
    int popped[MAX_POPS];  // the nodes its pops took
    int pops;
};

static const struct program *prog;

// The program's objects. Those shared with children live in a mapping made before any fork.
static pthread_mutex_t private_mutexes[MAX_MUTEXES] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
                                                       PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};
static pthread_cond_t conds[MAX_CONDS] = {PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER};
static sem_t private_sems[MAX_SEMS];
static struct shared_objects {
    sem_t sems[MAX_SEMS];
    pthread_mutex_t mutexes[MAX_MUTEXES];
} *shared;
static pthread_mutex_t *mutexes[MAX_MUTEXES];
static sem_t *sems[MAX_SEMS];
static pthread_barrier_t barrier;
static pthread_once_t once = PTHREAD_ONCE_INIT;
static pthread_t threads[MAX_THREADS];
static pid_t children[MAX_CHILDREN];
static int pipe_ends[2];    // the program's pipe: reading end, writing end
static int signal_ends[2];  // the pipe its handlers write to
static volatile sig_atomic_t flags[SLOTS];

// The program's shared variables: only shared_memory.c reads and writes them. Each lies in
// an 8-byte word of its own, as in the printed source: interleave orders accesses to one
// word, so two variables in one word would make orders that their source does not.
struct word {
    _Alignas(8) int value;
};
static struct word vars[MAX_VARS];
static struct word atomics[MAX_ATOMICS];
static _Alignas(8) int head;                               // the stack's top node, -1: empty
static _Alignas(8) int next_node[STACK_NODES] = {1, 2, -1};  // A on B on C

UNWATCHED static void run_body(struct self *self, int first);

UNWATCHED static _Noreturn void fail(const char *what)
{
    perror(what);
    exit(STATUS_FAILED);
}

UNWATCHED static _Noreturn void fail_with(int rc, const char *what)
{
    fprintf(stderr, "%s: %s\n", what, strerror(rc));
    exit(STATUS_FAILED);
}

UNWATCHED static void on_signal(int sig)
{
    const int saved = errno;
    int slot = 0;
    while (slot < SLOTS && slot_signal(slot) != sig)
        slot++;
    const int object = prog->handled_object[slot];
    switch (prog->handling[slot]) {
    case HANDLE_POST:
        sem_post(sems[object]);
        break;
    case HANDLE_FLAG:
        flags[slot] = 1;
        break;
    case HANDLE_PIPE: {
        const ssize_t n = write(signal_ends[1], "!", 1);
        (void)n;  // a full pipe loses the byte: what the reader counts says so
        break;
    }
    case HANDLE_LOCK:
        pthread_mutex_lock(mutexes[object]);
        pthread_mutex_unlock(mutexes[object]);
        break;
    }
    errno = saved;
}

UNWATCHED static void once_routine(void)
{
    printf(SAY_ONCE);
}

// The thread that runs the exit handler: the one that calls exit, or main as it returns, or
// the last one to end once main has left with pthread_exit.
static __thread const char *running = "main";

UNWATCHED static void exit_handler(void)
{
    printf(SAY_EXIT_HANDLER, running);
}

UNWATCHED static void *thread_main(void *arg)
{
    const int thread = (int)(intptr_t)arg;
    struct self self = {.thread = thread, .name = thread_name(thread), .popped = {-1, -1}};
    running = self.name;
    for (int k = 0; k < prog->ntop[thread]; k++)
        run_body(&self, prog->top[thread][k]);
    return NULL;
}

// ---- one function per kind of statement ----

UNWATCHED static void say(struct self *self, const struct stmt *s)
{
    (void)s;
    printf(SAY_RUNS, self->name);
}

UNWATCHED static void run_locked(struct self *self, const struct stmt *s)
{
    pthread_mutex_lock(mutexes[s->a]);
    run_body(self, s->body);
    pthread_mutex_unlock(mutexes[s->a]);
}

UNWATCHED static void lock(struct self *self, const struct stmt *s)
{
    (void)self;
    pthread_mutex_lock(mutexes[s->a]);
}

UNWATCHED static void unlock(struct self *self, const struct stmt *s)
{
    (void)self;
    pthread_mutex_unlock(mutexes[s->a]);
}

UNWATCHED static void run_trylocked(struct self *self, const struct stmt *s)
{
    for (int k = 0; k < s->b; k++) {
        if (pthread_mutex_trylock(mutexes[s->a]) == 0) {
            printf(SAY_TRY_GOT, self->name, s->a);
            run_body(self, s->body);
            pthread_mutex_unlock(mutexes[s->a]);
            break;
        }
        printf(SAY_TRY_BUSY, self->name, s->a);
    }
}

UNWATCHED static void add(struct self *self, const struct stmt *s)
{
    store_plain(&vars[s->a].value, load_plain(&vars[s->a].value) + s->b);
    printf(SAY_ADDED SAY_INT_VALUE, self->name, s->a, load_plain(&vars[s->a].value));
}

UNWATCHED static void set(struct self *self, const struct stmt *s)
{
    (void)self;
    store_plain(&vars[s->a].value, s->b);
}

UNWATCHED static void show(struct self *self, const struct stmt *s)
{
    printf(SAY_SHOWN SAY_INT_VALUE, self->name, s->a, load_plain(&vars[s->a].value));
}

UNWATCHED static void cond_wait(struct self *self, const struct stmt *s)
{
    pthread_mutex_t *m = mutexes[prog->cond_mutex[s->a]];
    int *tokens = &vars[prog->cond_tokens[s->a]].value;
    pthread_mutex_lock(m);
    if (s->b) {
        if (load_plain(tokens) == 0)
            pthread_cond_wait(&conds[s->a], m);
    } else {
        while (load_plain(tokens) == 0)
            pthread_cond_wait(&conds[s->a], m);
    }
    store_plain(tokens, load_plain(tokens) - 1);
    printf(SAY_TOOK_TOKEN SAY_INT_VALUE, self->name, s->a, load_plain(tokens));
    pthread_mutex_unlock(m);
}

UNWATCHED static void cond_give(struct self *self, const struct stmt *s)
{
    (void)self;
    pthread_mutex_t *m = mutexes[prog->cond_mutex[s->a]];
    int *tokens = &vars[prog->cond_tokens[s->a]].value;
    pthread_mutex_lock(m);
    store_plain(tokens, load_plain(tokens) + 1);
    if (!s->c) {
        if (s->b)
            pthread_cond_broadcast(&conds[s->a]);
        else
            pthread_cond_signal(&conds[s->a]);
    }
    pthread_mutex_unlock(m);
    if (s->c) {
        if (s->b)
            pthread_cond_broadcast(&conds[s->a]);
        else
            pthread_cond_signal(&conds[s->a]);
    }
}

UNWATCHED static void sem_wait_(struct self *self, const struct stmt *s)
{
    if (sem_wait(sems[s->a]) != 0)
        printf(SAY_INTERRUPTED, self->name, s->a);
    else if (s->b)
        printf(SAY_PASSED, self->name, s->a);
}

UNWATCHED static void sem_trywait_(struct self *self, const struct stmt *s)
{
    if (sem_trywait(sems[s->a]) == 0)
        printf(SAY_TRY_SEM_GOT, self->name, s->a);
    else
        printf(SAY_TRY_SEM_NONE, self->name, s->a);
}

UNWATCHED static void sem_post_(struct self *self, const struct stmt *s)
{
    (void)self;
    sem_post(sems[s->a]);
}

UNWATCHED static void barrier_wait(struct self *self, const struct stmt *s)
{
    (void)s;
    pthread_barrier_wait(&barrier);
    printf(SAY_BARRIER, self->name);
}

UNWATCHED static void once_(struct self *self, const struct stmt *s)
{
    (void)self;
    (void)s;
    pthread_once(&once, once_routine);
}

UNWATCHED static void create(struct self *self, const struct stmt *s)
{
    (void)self;
    const int rc = pthread_create(&threads[s->a], NULL, thread_main, (void *)(intptr_t)s->a);
    if (rc != 0)
        fail_with(rc, "pthread_create");
}

UNWATCHED static void join(struct self *self, const struct stmt *s)
{
    (void)self;
    pthread_join(threads[s->a], NULL);
}

UNWATCHED static void detach(struct self *self, const struct stmt *s)
{
    (void)self;
    pthread_detach(threads[s->a]);
}

UNWATCHED static void exit_(struct self *self, const struct stmt *s)
{
    (void)self;
    exit(s->a);
}

UNWATCHED static void thread_exit(struct self *self, const struct stmt *s)
{
    (void)self;
    (void)s;
    pthread_exit(NULL);
}

UNWATCHED static void kill_(struct self *self, const struct stmt *s)
{
    (void)self;
    kill(getpid(), slot_signal(s->a));
}

UNWATCHED static void thread_kill(struct self *self, const struct stmt *s)
{
    (void)self;
    pthread_kill(threads[s->a], slot_signal(s->b));
}

UNWATCHED static void alarm_(struct self *self, const struct stmt *s)
{
    (void)self;
    (void)s;
    alarm(1);
    sleep(2);
}

UNWATCHED static void mask(const struct stmt *s, int how)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, slot_signal(s->a));
    pthread_sigmask(how, &set, NULL);
}

UNWATCHED static void block(struct self *self, const struct stmt *s)
{
    (void)self;
    mask(s, SIG_BLOCK);
}

UNWATCHED static void unblock(struct self *self, const struct stmt *s)
{
    (void)self;
    mask(s, SIG_UNBLOCK);
}

UNWATCHED static void show_flag(struct self *self, const struct stmt *s)
{
    printf(SAY_FLAG SAY_INT_VALUE, self->name, slot_name(s->a), (int)flags[s->a]);
}

UNWATCHED static void drain(struct self *self, const struct stmt *s)
{
    (void)s;
    char bytes[8];
    const ssize_t n = read(signal_ends[0], bytes, sizeof bytes);
    printf(SAY_DRAINED SAY_INT_VALUE, self->name, n < 0 ? 0 : (int)n);
}

UNWATCHED static void pipe_write(struct self *self, const struct stmt *s)
{
    if (write(pipe_ends[1], PIPE_TEXT + s->a, (size_t)s->b) != s->b)
        printf(SAY_WRITE_SHORT, self->name);
}

UNWATCHED static void pipe_read(struct self *self, const struct stmt *s)
{
    char bytes[READ_MOST];
    const ssize_t n = read(pipe_ends[0], bytes, (size_t)s->a);
    if (n > 0)
        printf(SAY_READ SAY_READ_VALUE, self->name, (int)n, (int)n, bytes);
    else if (n == 0)
        printf(SAY_READ_EOF, self->name);
    else
        printf(SAY_READ_NOTHING, self->name);
}

UNWATCHED static void pipe_close(struct self *self, const struct stmt *s)
{
    (void)self;
    (void)s;
    close(pipe_ends[1]);
}

UNWATCHED static void fork_(struct self *self, const struct stmt *s)
{
    fflush(stdout);
    children[s->a] = fork();
    if (children[s->a] == -1)
        fail("fork");
    if (children[s->a] == 0) {
        static const char *const names[MAX_CHILDREN] = {"c1", "c2"};
        struct self child = {.thread = self->thread, .name = names[s->a], .popped = {-1, -1}};
        run_body(&child, s->body);
        exit(s->b);
    }
}

UNWATCHED static void wait_child(struct self *self, const struct stmt *s)
{
    int status;
    if (waitpid(children[s->a], &status, 0) == -1)
        printf(SAY_CHILD_LOST, self->name, s->a + 1);
    else if (WIFEXITED(status))
        printf(SAY_CHILD SAY_CHILD_EXITED_VALUE, self->name, s->a + 1, WEXITSTATUS(status));
    else
        printf(SAY_CHILD SAY_CHILD_KILLED_VALUE, self->name, s->a + 1, WTERMSIG(status));
}

UNWATCHED static void racy_add(struct self *self, const struct stmt *s)
{
    (void)self;
    store_plain(&vars[s->a].value, load_plain(&vars[s->a].value) + 1);
}

UNWATCHED static void check_then_act(struct self *self, const struct stmt *s)
{
    const int seen = load_plain(&vars[s->a].value);
    if (seen == 0) {
        store_plain(&vars[s->a].value, thread_mark(self->thread));
        printf(SAY_CTA_TOOK, self->name, s->a);
    } else {
        printf(SAY_CTA_TAKEN SAY_INT_VALUE, self->name, s->a, seen);
    }
}

UNWATCHED static void atomic_add(struct self *self, const struct stmt *s)
{
    printf(SAY_ATOMIC_WAS SAY_INT_VALUE, self->name, s->a, add_atomic(&atomics[s->a].value, s->b, (enum order)s->c));
}

UNWATCHED static void atomic_swap(struct self *self, const struct stmt *s)
{
    printf(SAY_ATOMIC_WAS SAY_INT_VALUE, self->name, s->a, swap_atomic(&atomics[s->a].value, s->b, (enum order)s->c));
}

UNWATCHED static void atomic_store(struct self *self, const struct stmt *s)
{
    (void)self;
    store_atomic(&atomics[s->a].value, s->b, (enum order)s->c);
}

UNWATCHED static void atomic_show(struct self *self, const struct stmt *s)
{
    printf(SAY_ATOMIC_SHOWN SAY_INT_VALUE, self->name, s->a, load_atomic(&atomics[s->a].value, ORDER_SEQ_CST));
}

UNWATCHED static void cas_add(struct self *self, const struct stmt *s)
{
    int seen = load_atomic(&atomics[s->a].value, ORDER_SEQ_CST);
    bool done = false;
    for (int k = 0; k < s->b && !done; k++)
        done = cas_atomic(&atomics[s->a].value, &seen, seen + 1);
    if (done)
        printf(SAY_CAS SAY_CAS_VALUE, self->name, s->a, seen, seen + 1);
    else
        printf(SAY_CAS_GAVE_UP, self->name, s->a);
}

UNWATCHED static void when(struct self *self, const struct stmt *s)
{
    const int seen = s->kind == K_WHEN ? load_atomic(&atomics[s->a].value, (enum order)s->c) : load_plain(&vars[s->a].value);
    if (seen == s->b)
        run_body(self, s->body);
    else
        printf(SAY_NOT_YET, self->name);
}

UNWATCHED static void pop(struct self *self, const struct stmt *s)
{
    int top = load_atomic(&head, ORDER_SEQ_CST);
    if (top < 0) {
        if (!s->b)
            printf(SAY_EMPTY, self->name);
        return;
    }
    const int under = load_atomic(&next_node[top], ORDER_SEQ_CST);
    if (cas_atomic(&head, &top, under)) {
        if (self->pops < MAX_POPS)
            self->popped[self->pops++] = top;
        if (!s->b)
            printf(SAY_POPPED SAY_NODE_VALUE, self->name, NODE_NAMES[top]);
    } else if (!s->b) {
        printf(SAY_POP_LOST, self->name);
    }
}

UNWATCHED static void push(struct self *self, const struct stmt *s)
{
    const int node = self->popped[s->a];
    if (node < 0) {
        printf(SAY_NOTHING_TO_PUSH, self->name);
        return;
    }
    int top = load_atomic(&head, ORDER_SEQ_CST);
    store_atomic(&next_node[node], top, ORDER_SEQ_CST);
    const bool pushed = cas_atomic(&head, &top, node);
    if (s->b)
        return;
    if (pushed)
        printf(SAY_PUSHED SAY_NODE_VALUE, self->name, NODE_NAMES[node]);
    else
        printf(SAY_PUSH_LOST, self->name);
}

// The stack from its top, at most four nodes down: a cycle that a lost race made shows.
UNWATCHED static void show_stack(struct self *self, const struct stmt *s)
{
    (void)s;
    char text[16] = "";
    int n = 0;
    for (int node = load_atomic(&head, ORDER_SEQ_CST); node >= 0 && n < 4; node = load_atomic(&next_node[node], ORDER_SEQ_CST)) {
        text[2 * n] = ' ';
        text[2 * n + 1] = NODE_NAMES[node];
        text[2 * ++n] = '\0';
    }
    printf(SAY_STACK SAY_STACK_VALUE, self->name, n == 0 ? " empty" : text);
}

typedef void (*step_t)(struct self *, const struct stmt *);

static const step_t steps[KINDS] = {
    [K_SAY] = say,
    [K_LOCKED] = run_locked,
    [K_LOCK] = lock,
    [K_UNLOCK] = unlock,
    [K_TRYLOCKED] = run_trylocked,
    [K_ADD] = add,
    [K_SET] = set,
    [K_SHOW] = show,
    [K_COND_WAIT] = cond_wait,
    [K_COND_GIVE] = cond_give,
    [K_SEM_WAIT] = sem_wait_,
    [K_SEM_TRYWAIT] = sem_trywait_,
    [K_SEM_POST] = sem_post_,
    [K_BARRIER] = barrier_wait,
    [K_ONCE] = once_,
    [K_CREATE] = create,
    [K_JOIN] = join,
    [K_DETACH] = detach,
    [K_EXIT] = exit_,
    [K_THREAD_EXIT] = thread_exit,
    [K_KILL] = kill_,
    [K_THREAD_KILL] = thread_kill,
    [K_ALARM] = alarm_,
    [K_BLOCK] = block,
    [K_UNBLOCK] = unblock,
    [K_SHOW_FLAG] = show_flag,
    [K_DRAIN] = drain,
    [K_PIPE_WRITE] = pipe_write,
    [K_PIPE_READ] = pipe_read,
    [K_PIPE_CLOSE] = pipe_close,
    [K_FORK] = fork_,
    [K_WAIT_CHILD] = wait_child,
    [K_RACY_ADD] = racy_add,
    [K_CHECK_THEN_ACT] = check_then_act,
    [K_ATOMIC_ADD] = atomic_add,
    [K_ATOMIC_SWAP] = atomic_swap,
    [K_ATOMIC_STORE] = atomic_store,
    [K_ATOMIC_SHOW] = atomic_show,
    [K_CAS_ADD] = cas_add,
    [K_WHEN] = when,
    [K_WHEN_PLAIN] = when,
    [K_POP] = pop,
    [K_PUSH] = push,
    [K_SHOW_STACK] = show_stack,
};

// Runs a statement and those after it in the same body.
UNWATCHED static void run_body(struct self *self, int first)
{
    for (int k = first; k >= 0; k = prog->stmts[k].next)
        steps[prog->stmts[k].kind](self, &prog->stmts[k]);
}

// ---- the set-up, in the order the printed source makes it ----

UNWATCHED static void set_up(void)
{
    bool any_shared = false;
    for (int k = 0; k < prog->sems; k++)
        any_shared = any_shared || prog->sem_shared[k];
    for (int k = 0; k < prog->mutexes; k++)
        any_shared = any_shared || prog->mutex_shared[k];
    if (any_shared) {
        shared = mmap(NULL, sizeof *shared, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED)
            fail("mmap");
    }
    for (int k = 0; k < prog->mutexes; k++) {
        mutexes[k] = prog->mutex_shared[k] ? &shared->mutexes[k] : &private_mutexes[k];
        if (prog->mutex_shared[k]) {
            pthread_mutexattr_t attr;
            pthread_mutexattr_init(&attr);
            pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
            const int rc = pthread_mutex_init(mutexes[k], &attr);
            if (rc != 0)
                fail_with(rc, "pthread_mutex_init");
            pthread_mutexattr_destroy(&attr);
        }
    }
    for (int k = 0; k < prog->sems; k++) {
        sems[k] = prog->sem_shared[k] ? &shared->sems[k] : &private_sems[k];
        if (sem_init(sems[k], prog->sem_shared[k], (unsigned)prog->sem_value[k]) == -1)
            fail("sem_init");
    }
    if (prog->barrier > 0) {
        const int rc = pthread_barrier_init(&barrier, NULL, (unsigned)prog->barrier);
        if (rc != 0)
            fail_with(rc, "pthread_barrier_init");
    }
    if (prog->pipe && pipe2(pipe_ends, O_NONBLOCK) == -1)
        fail("pipe2");
    if (prog->signal_pipe && pipe2(signal_ends, O_NONBLOCK) == -1)
        fail("pipe2");
    for (int slot = 0; slot < SLOTS; slot++)
        if (prog->handling[slot] != HANDLE_NONE) {
            struct sigaction action;
            memset(&action, 0, sizeof action);
            action.sa_handler = on_signal;
            action.sa_flags = SA_RESTART;
            sigemptyset(&action.sa_mask);
            sigaction(slot_signal(slot), &action, NULL);
        }
    if (prog->exit_handler)
        atexit(exit_handler);
}

UNWATCHED int run_program(const struct program *p)
{
    prog = p;
    set_up();
    struct self self = {.thread = 0, .name = thread_name(0), .popped = {-1, -1}};
    for (int k = 0; k < p->ntop[0]; k++) {
        const struct stmt *s = &p->stmts[p->top[0][k]];
        if (s->kind == K_RETURN)
            return s->a;
        run_body(&self, p->top[0][k]);
    }
    return 0;
}
