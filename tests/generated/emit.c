// Prints a generated program as a C file of its own: one function per thread, the
// objects as globals named as its lines name them (m0, s1, v2...), and, statement by
// statement, the same calls in the same order as interpret.c makes, printing the same
// lines. Its shared variables are read and written through the same out-of-line helpers
// as the interpreter's, and everything else is left uninstrumented, so that built with
// interleave-cc it takes the interpreter's turns, access for access.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "program.h"

static const struct program *prog;
static int depth;        // of the lines being printed, in steps of four blanks
static int printing;     // the thread whose statements are being printed
static bool keeps_pops;  // it pushes back what it popped

UNWATCHED static void emit_body(const char *name, int first);

UNWATCHED static void line(const char *format, ...)
{
    printf("%*s", 4 * depth, "");
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
}

// The text as the inside of a C string literal; as a printf format too when `literal`
// (its % doubled), else it is a format already.
UNWATCHED static void quote(char *out, size_t size, const char *text, bool literal)
{
    size_t n = 0;
    for (const char *c = text; *c != '\0' && n + 3 < size; c++) {
        if (*c == '\n') {
            out[n++] = '\\';
            out[n++] = 'n';
        } else if (*c == '"' || *c == '\\') {
            out[n++] = '\\';
            out[n++] = *c;
        } else if (*c == '%' && literal) {
            out[n++] = '%';
            out[n++] = '%';
        } else {
            out[n++] = *c;
        }
    }
    out[n] = '\0';
}

// printf of a fixed line: `format` and the name and numbers it takes.
UNWATCHED static void say(const char *format, ...)
{
    char text[160], quoted[200];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    quote(quoted, sizeof quoted, text, true);
    line("printf(\"%s\");", quoted);
}

// printf of a line whose end holds values known only when the program runs: `fixed` is
// the fixed part as formatted, `rest` the format of the values, `values` their expressions.
UNWATCHED static void say_values(const char *fixed, const char *rest, const char *values)
{
    char quoted[200], quoted_rest[80];
    quote(quoted, sizeof quoted, fixed, true);
    quote(quoted_rest, sizeof quoted_rest, rest, false);
    line("printf(\"%s%s\", %s);", quoted, quoted_rest, values);
}

UNWATCHED static const char *text(char *out, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(out, size, format, args);
    va_end(args);
    return out;
}

// The mutex as an argument; two may stand in one line, so two buffers take turns.
UNWATCHED static const char *mutex(int k)
{
    static char name[2][24];
    static int turn;
    turn = 1 - turn;
    snprintf(name[turn], sizeof name[turn], prog->mutex_shared[k] ? "&shared->m%d" : "&m%d", k);
    return name[turn];
}

UNWATCHED static const char *sem(int k)
{
    static char name[24];
    snprintf(name, sizeof name, prog->sem_shared[k] ? "&shared->s%d" : "&s%d", k);
    return name;
}

UNWATCHED static const char *order_name(int order)
{
    static const char *const names[] = {"__ATOMIC_RELAXED", "__ATOMIC_ACQUIRE", "__ATOMIC_RELEASE", "__ATOMIC_SEQ_CST"};
    return names[order];
}

// add_atomic and swap_atomic know only relaxed and sequentially consistent.
UNWATCHED static const char *rmw_order_name(int order)
{
    return order_name(order == ORDER_RELAXED ? ORDER_RELAXED : ORDER_SEQ_CST);
}

UNWATCHED static const char *load_order_name(int order)
{
    return order_name(order == ORDER_RELAXED || order == ORDER_ACQUIRE ? order : ORDER_SEQ_CST);
}

UNWATCHED static const char *store_order_name(int order)
{
    return order_name(order == ORDER_RELAXED || order == ORDER_RELEASE ? order : ORDER_SEQ_CST);
}

// The signal's name in the source, "SIGUSR1".
UNWATCHED static const char *signal_macro(int slot)
{
    static const char *const names[SLOTS] = {"SIGUSR1", "SIGUSR2", "SIGALRM", "SIGCHLD"};
    return names[slot];
}

UNWATCHED static void open_block(void)
{
    line("{");
    depth++;
}

UNWATCHED static void close_block(void)
{
    depth--;
    line("}");
}

UNWATCHED static void wake(const struct stmt *s)
{
    line("pthread_cond_%s(&cv%d);", s->b ? "broadcast" : "signal", s->a);
}

// The statements that need more than a line or two.

UNWATCHED static void emit_trylocked(const char *name, const struct stmt *s)
{
    if (s->b > 1) {
        line("for (int tries = 0; tries < %d; tries++) {", s->b);
        depth++;
    }
    line("if (pthread_mutex_trylock(%s) == 0) {", mutex(s->a));
    depth++;
    say(SAY_TRY_GOT, name, s->a);
    emit_body(name, s->body);
    line("pthread_mutex_unlock(%s);", mutex(s->a));
    if (s->b > 1) {
        line("break;");
        close_block();
        say(SAY_TRY_BUSY, name, s->a);
        close_block();
    } else {
        depth--;
        line("} else {");
        depth++;
        say(SAY_TRY_BUSY, name, s->a);
        close_block();
    }
}

UNWATCHED static void emit_cond_wait(const char *name, const struct stmt *s)
{
    char fixed[80];
    const int m = prog->cond_mutex[s->a], tokens = prog->cond_tokens[s->a];
    line("pthread_mutex_lock(%s);", mutex(m));
    line("%s (load_plain(&v%d) == 0)", s->b ? "if" : "while", tokens);
    line("    pthread_cond_wait(&cv%d, %s);", s->a, mutex(m));
    line("store_plain(&v%d, load_plain(&v%d) - 1);", tokens, tokens);
    char value[32];
    say_values(text(fixed, sizeof fixed, SAY_TOOK_TOKEN, name, s->a), SAY_INT_VALUE,
               text(value, sizeof value, "load_plain(&v%d)", tokens));
    line("pthread_mutex_unlock(%s);", mutex(m));
}

UNWATCHED static void emit_cond_give(const struct stmt *s)
{
    const int m = prog->cond_mutex[s->a], tokens = prog->cond_tokens[s->a];
    line("pthread_mutex_lock(%s);", mutex(m));
    line("store_plain(&v%d, load_plain(&v%d) + 1);", tokens, tokens);
    if (!s->c)
        wake(s);
    line("pthread_mutex_unlock(%s);", mutex(m));
    if (s->c)
        wake(s);
}

UNWATCHED static void emit_pipe_read(const char *name, const struct stmt *s)
{
    char fixed[40];
    open_block();
    line("char bytes[%d];", READ_MOST);
    line("const ssize_t n = read(pipe_ends[0], bytes, %d);", s->a);
    line("if (n > 0)");
    depth++;
    say_values(text(fixed, sizeof fixed, SAY_READ, name), SAY_READ_VALUE, "(int)n, (int)n, bytes");
    depth--;
    line("else if (n == 0)");
    depth++;
    say(SAY_READ_EOF, name);
    depth--;
    line("else");
    depth++;
    say(SAY_READ_NOTHING, name);
    depth--;
    close_block();
}

UNWATCHED static void emit_fork(const struct stmt *s)
{
    char child[8];
    snprintf(child, sizeof child, "c%d", s->a + 1);
    line("fflush(stdout);");
    line("%s_pid = fork();", child);
    line("if (%s_pid == -1)", child);
    line("    fail(\"fork\");");
    line("if (%s_pid == 0) {", child);
    depth++;
    emit_body(child, s->body);
    line("exit(%d);", s->b);
    close_block();
}

UNWATCHED static void emit_wait_child(const char *name, const struct stmt *s)
{
    char fixed[40];
    text(fixed, sizeof fixed, SAY_CHILD, name, s->a + 1);
    open_block();
    line("int status;");
    line("if (waitpid(c%d_pid, &status, 0) == -1)", s->a + 1);
    depth++;
    say(SAY_CHILD_LOST, name, s->a + 1);
    depth--;
    line("else if (WIFEXITED(status))");
    depth++;
    say_values(fixed, SAY_CHILD_EXITED_VALUE, "WEXITSTATUS(status)");
    depth--;
    line("else");
    depth++;
    say_values(fixed, SAY_CHILD_KILLED_VALUE, "WTERMSIG(status)");
    depth--;
    close_block();
}

UNWATCHED static void emit_check_then_act(const char *name, const struct stmt *s)
{
    char fixed[40];
    open_block();
    line("const int seen = load_plain(&v%d);", s->a);
    line("if (seen == 0) {");
    depth++;
    line("store_plain(&v%d, %d);", s->a, thread_mark(printing));
    say(SAY_CTA_TOOK, name, s->a);
    depth--;
    line("} else {");
    depth++;
    say_values(text(fixed, sizeof fixed, SAY_CTA_TAKEN, name, s->a), SAY_INT_VALUE, "seen");
    close_block();
    close_block();
}

UNWATCHED static void emit_cas_add(const char *name, const struct stmt *s)
{
    char fixed[40];
    open_block();
    line("int seen = load_atomic(&a%d, __ATOMIC_SEQ_CST);", s->a);
    line("bool done = false;");
    line("for (int tries = 0; tries < %d && !done; tries++)", s->b);
    line("    done = cas_atomic(&a%d, &seen, seen + 1);", s->a);
    line("if (done)");
    depth++;
    say_values(text(fixed, sizeof fixed, SAY_CAS, name, s->a), SAY_CAS_VALUE, "seen, seen + 1");
    depth--;
    line("else");
    depth++;
    say(SAY_CAS_GAVE_UP, name, s->a);
    depth--;
    close_block();
}

UNWATCHED static void emit_when(const char *name, const struct stmt *s)
{
    if (s->kind == K_WHEN)
        line("if (load_atomic(&a%d, %s) == %d) {", s->a, load_order_name(s->c), s->b);
    else
        line("if (load_plain(&v%d) == %d) {", s->a, s->b);
    depth++;
    emit_body(name, s->body);
    depth--;
    line("} else {");
    depth++;
    say(SAY_NOT_YET, name);
    close_block();
}

// Whether the statements of a thread hold a push, which needs what its pops took.
UNWATCHED static bool pushes(int thread)
{
    for (int k = 0; k < prog->ntop[thread]; k++)
        if (prog->stmts[prog->top[thread][k]].kind == K_PUSH)
            return true;
    return false;
}

// A pop that says nothing (the stack shown at the end tells what it did) is the shortest
// one: its two loads and its compare-exchange.
UNWATCHED static void emit_pop(const char *name, const struct stmt *s)
{
    char fixed[40];
    open_block();
    line("int top = load_atomic(&head, __ATOMIC_SEQ_CST);");
    if (s->b) {
        line("if (top >= 0) {");
    } else {
        line("if (top < 0) {");
        depth++;
        say(SAY_EMPTY, name);
        depth--;
        line("} else {");
    }
    depth++;
    line("const int under = load_atomic(&next_node[top], __ATOMIC_SEQ_CST);");
    if (s->b && !keeps_pops) {
        line("cas_atomic(&head, &top, under);");
        close_block();
        close_block();
        return;
    }
    line("if (cas_atomic(&head, &top, under)) {");
    depth++;
    if (keeps_pops) {
        line("if (pops < %d)", MAX_POPS);
        line("    popped[pops++] = top;");
    }
    if (!s->b)
        say_values(text(fixed, sizeof fixed, SAY_POPPED, name), SAY_NODE_VALUE, "\"" NODE_NAMES "\"[top]");
    depth--;
    if (!s->b) {
        line("} else {");
        depth++;
        say(SAY_POP_LOST, name);
        depth--;
    }
    line("}");
    close_block();
    close_block();
}

UNWATCHED static void emit_push(const char *name, const struct stmt *s)
{
    char fixed[40];
    open_block();
    line("const int node = popped[%d];", s->a);
    line("if (node < 0) {");
    depth++;
    say(SAY_NOTHING_TO_PUSH, name);
    depth--;
    line("} else {");
    depth++;
    line("int top = load_atomic(&head, __ATOMIC_SEQ_CST);");
    line("store_atomic(&next_node[node], top, __ATOMIC_SEQ_CST);");
    if (s->b) {
        line("cas_atomic(&head, &top, node);");
        close_block();
        close_block();
        return;
    }
    line("if (cas_atomic(&head, &top, node))");
    depth++;
    say_values(text(fixed, sizeof fixed, SAY_PUSHED, name), SAY_NODE_VALUE, "\"" NODE_NAMES "\"[node]");
    depth--;
    line("else");
    depth++;
    say(SAY_PUSH_LOST, name);
    depth--;
    close_block();
    close_block();
}

UNWATCHED static void emit_show_stack(const char *name)
{
    char fixed[40];
    open_block();
    line("char text[16] = \"\";");
    line("int n = 0;");
    line("for (int node = load_atomic(&head, __ATOMIC_SEQ_CST); node >= 0 && n < 4;");
    line("     node = load_atomic(&next_node[node], __ATOMIC_SEQ_CST)) {");
    depth++;
    line("text[2 * n] = ' ';");
    line("text[2 * n + 1] = \"%s\"[node];", NODE_NAMES);
    line("text[2 * ++n] = '\\0';");
    close_block();
    say_values(text(fixed, sizeof fixed, SAY_STACK, name), SAY_STACK_VALUE, "n == 0 ? \" empty\" : text");
    close_block();
}

// One statement, as the thread or child `name` runs it.
UNWATCHED static void emit_stmt(const char *name, const struct stmt *s)
{
    char fixed[64], value[96];
    switch (s->kind) {
    case K_SAY:
        say(SAY_RUNS, name);
        break;
    case K_LOCKED:
        line("pthread_mutex_lock(%s);", mutex(s->a));
        emit_body(name, s->body);
        line("pthread_mutex_unlock(%s);", mutex(s->a));
        break;
    case K_LOCK:
    case K_UNLOCK:
        line("pthread_mutex_%s(%s);", s->kind == K_LOCK ? "lock" : "unlock", mutex(s->a));
        break;
    case K_TRYLOCKED:
        emit_trylocked(name, s);
        break;
    case K_ADD:
        line("store_plain(&v%d, load_plain(&v%d) + %d);", s->a, s->a, s->b);
        say_values(text(fixed, sizeof fixed, SAY_ADDED, name, s->a), SAY_INT_VALUE,
                   text(value, sizeof value, "load_plain(&v%d)", s->a));
        break;
    case K_SET:
        line("store_plain(&v%d, %d);", s->a, s->b);
        break;
    case K_SHOW:
        say_values(text(fixed, sizeof fixed, SAY_SHOWN, name, s->a), SAY_INT_VALUE,
                   text(value, sizeof value, "load_plain(&v%d)", s->a));
        break;
    case K_COND_WAIT:
        emit_cond_wait(name, s);
        break;
    case K_COND_GIVE:
        emit_cond_give(s);
        break;
    case K_SEM_WAIT:
        line("if (sem_wait(%s) != 0)", sem(s->a));
        depth++;
        say(SAY_INTERRUPTED, name, s->a);
        depth--;
        if (s->b) {
            line("else");
            depth++;
            say(SAY_PASSED, name, s->a);
            depth--;
        }
        break;
    case K_SEM_TRYWAIT:
        line("if (sem_trywait(%s) == 0)", sem(s->a));
        depth++;
        say(SAY_TRY_SEM_GOT, name, s->a);
        depth--;
        line("else");
        depth++;
        say(SAY_TRY_SEM_NONE, name, s->a);
        depth--;
        break;
    case K_SEM_POST:
        line("sem_post(%s);", sem(s->a));
        break;
    case K_BARRIER:
        line("pthread_barrier_wait(&barrier);");
        say(SAY_BARRIER, name);
        break;
    case K_ONCE:
        line("pthread_once(&once, once_routine);");
        break;
    case K_CREATE:
        line("start(&t%d_thread, t%d);", s->a, s->a);
        break;
    case K_JOIN:
        line("pthread_join(t%d_thread, NULL);", s->a);
        break;
    case K_DETACH:
        line("pthread_detach(t%d_thread);", s->a);
        break;
    case K_EXIT:
        line("exit(%d);", s->a);
        break;
    case K_THREAD_EXIT:
        line("pthread_exit(NULL);");
        break;
    case K_RETURN:
        line("return %d;", s->a);
        break;
    case K_KILL:
        line("kill(getpid(), %s);", signal_macro(s->a));
        break;
    case K_THREAD_KILL:
        line("pthread_kill(t%d_thread, %s);", s->a, signal_macro(s->b));
        break;
    case K_ALARM:
        line("alarm(1);");
        line("sleep(2);  // the alarm cuts it short");
        break;
    case K_BLOCK:
    case K_UNBLOCK:
        line("mask(%s, %s);", s->kind == K_BLOCK ? "SIG_BLOCK" : "SIG_UNBLOCK", signal_macro(s->a));
        break;
    case K_SHOW_FLAG:
        say_values(text(fixed, sizeof fixed, SAY_FLAG, name, slot_name(s->a)), SAY_INT_VALUE,
                   text(value, sizeof value, "(int)%s_flag", slot_name(s->a)));
        break;
    case K_DRAIN:
        open_block();
        line("char bytes[8];");
        line("const ssize_t n = read(signal_ends[0], bytes, sizeof bytes);");
        say_values(text(fixed, sizeof fixed, SAY_DRAINED, name), SAY_INT_VALUE, "n < 0 ? 0 : (int)n");
        close_block();
        break;
    case K_PIPE_WRITE:
        line("if (write(pipe_ends[1], \"%.*s\", %d) != %d)", s->b, PIPE_TEXT + s->a, s->b, s->b);
        depth++;
        say(SAY_WRITE_SHORT, name);
        depth--;
        break;
    case K_PIPE_READ:
        emit_pipe_read(name, s);
        break;
    case K_PIPE_CLOSE:
        line("close(pipe_ends[1]);");
        break;
    case K_FORK:
        emit_fork(s);
        break;
    case K_WAIT_CHILD:
        emit_wait_child(name, s);
        break;
    case K_RACY_ADD:
        line("store_plain(&v%d, load_plain(&v%d) + 1);  // a read, then a write", s->a, s->a);
        break;
    case K_CHECK_THEN_ACT:
        emit_check_then_act(name, s);
        break;
    case K_ATOMIC_ADD:
    case K_ATOMIC_SWAP:
        say_values(text(fixed, sizeof fixed, SAY_ATOMIC_WAS, name, s->a), SAY_INT_VALUE,
                   text(value, sizeof value, "%s(&a%d, %d, %s)", s->kind == K_ATOMIC_ADD ? "add_atomic" : "swap_atomic",
                        s->a, s->b, rmw_order_name(s->c)));
        break;
    case K_ATOMIC_STORE:
        line("store_atomic(&a%d, %d, %s);", s->a, s->b, store_order_name(s->c));
        break;
    case K_ATOMIC_SHOW:
        say_values(text(fixed, sizeof fixed, SAY_ATOMIC_SHOWN, name, s->a), SAY_INT_VALUE,
                   text(value, sizeof value, "load_atomic(&a%d, __ATOMIC_SEQ_CST)", s->a));
        break;
    case K_CAS_ADD:
        emit_cas_add(name, s);
        break;
    case K_WHEN:
    case K_WHEN_PLAIN:
        emit_when(name, s);
        break;
    case K_POP:
        emit_pop(name, s);
        break;
    case K_PUSH:
        emit_push(name, s);
        break;
    case K_SHOW_STACK:
        emit_show_stack(name);
        break;
    }
}

UNWATCHED static void emit_body(const char *name, int first)
{
    for (int k = first; k >= 0; k = prog->stmts[k].next)
        emit_stmt(name, &prog->stmts[k]);
}

// ---- the file around the statements ----

UNWATCHED static bool uses(int kind)
{
    for (int k = 0; k < prog->nstmts; k++)
        if (prog->stmts[k].kind == kind)
            return true;
    return false;
}

// The helpers that reach the shared variables, as shared_memory.c has them, and the
// statements that use each.
struct helper {
    const char *text;
    unsigned char kinds[8];  // ended by 0: K_SAY uses none
};

static const struct helper helpers[] = {
    {"static NOIPA int load_plain(const int *place)\n{\n    return *place;\n}\n",
     {K_ADD, K_SHOW, K_COND_WAIT, K_COND_GIVE, K_RACY_ADD, K_CHECK_THEN_ACT, K_WHEN_PLAIN}},
    {"static NOIPA void store_plain(int *place, int value)\n{\n    *place = value;\n}\n",
     {K_ADD, K_SET, K_COND_WAIT, K_COND_GIVE, K_RACY_ADD, K_CHECK_THEN_ACT}},
    {"static NOIPA int load_atomic(const int *place, int order)\n{\n"
     "    if (order == __ATOMIC_RELAXED)\n        return __atomic_load_n(place, __ATOMIC_RELAXED);\n"
     "    if (order == __ATOMIC_ACQUIRE)\n        return __atomic_load_n(place, __ATOMIC_ACQUIRE);\n"
     "    return __atomic_load_n(place, __ATOMIC_SEQ_CST);\n}\n",
     {K_ATOMIC_SHOW, K_CAS_ADD, K_WHEN, K_POP, K_PUSH, K_SHOW_STACK}},
    {"static NOIPA void store_atomic(int *place, int value, int order)\n{\n"
     "    if (order == __ATOMIC_RELAXED)\n        __atomic_store_n(place, value, __ATOMIC_RELAXED);\n"
     "    else if (order == __ATOMIC_RELEASE)\n        __atomic_store_n(place, value, __ATOMIC_RELEASE);\n"
     "    else\n        __atomic_store_n(place, value, __ATOMIC_SEQ_CST);\n}\n",
     {K_ATOMIC_STORE, K_PUSH}},
    {"static NOIPA int add_atomic(int *place, int value, int order)\n{\n"
     "    if (order == __ATOMIC_RELAXED)\n        return __atomic_fetch_add(place, value, __ATOMIC_RELAXED);\n"
     "    return __atomic_fetch_add(place, value, __ATOMIC_SEQ_CST);\n}\n",
     {K_ATOMIC_ADD}},
    {"static NOIPA int swap_atomic(int *place, int value, int order)\n{\n"
     "    if (order == __ATOMIC_RELAXED)\n        return __atomic_exchange_n(place, value, __ATOMIC_RELAXED);\n"
     "    return __atomic_exchange_n(place, value, __ATOMIC_SEQ_CST);\n}\n",
     {K_ATOMIC_SWAP}},
    {"static NOIPA bool cas_atomic(int *place, int *expected, int desired)\n{\n"
     "    return __atomic_compare_exchange_n(place, expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);\n}\n",
     {K_CAS_ADD, K_POP, K_PUSH}},
};

UNWATCHED static void emit_shared_helpers(void)
{
    bool first = true;
    for (size_t h = 0; h < sizeof helpers / sizeof helpers[0]; h++) {
        bool used = false;
        for (int k = 0; k < 8 && helpers[h].kinds[k] != 0; k++)
            used = used || uses(helpers[h].kinds[k]);
        if (!used)
            continue;
        if (first)
            printf("// The shared variables are read and written only here, out of line: built with\n"
                   "// interleave-cc, each of these accesses is a turn, and no other line's is.\n");
        first = false;
        printf("%s\n", helpers[h].text);
    }
}

UNWATCHED static bool any_shared(void)
{
    for (int k = 0; k < prog->sems; k++)
        if (prog->sem_shared[k])
            return true;
    for (int k = 0; k < prog->mutexes; k++)
        if (prog->mutex_shared[k])
            return true;
    return false;
}

// The opening comment: where the program comes from, what it holds, how to build it.
UNWATCHED static void emit_opening(void)
{
    printf("// A program made by random_program from seed %llu, family %s: %d threads (main counted)",
           (unsigned long long)prog->seed, family_name(prog->family), prog->threads);
    if (prog->children > 0)
        printf(" and %d child process%s", prog->children, prog->children > 1 ? "es" : "");
    printf(".\n");
    printf("// The same program, interpreted: random_program --family %s %llu (this text: add --source).\n",
           family_name(prog->family), (unsigned long long)prog->seed);
    printf("// Its output, exit status and faults depend only on the order of its threads' turns.\n");
    if (prog->serial)
        printf("// Each thread is joined as soon as it is made, so that its output cannot depend on timing.\n");
    printf("// Build: gcc -std=c17 -Wall -Wextra -Wpedantic -pthread -o program program.c\n");
    printf("// or, for its memory accesses to be turns, interleave-cc with the same arguments.\n");
    printf("#define _GNU_SOURCE\n");
    static const char *const headers[] = {"errno.h",     "fcntl.h",  "pthread.h",  "semaphore.h", "signal.h",
                                          "stdbool.h",   "stdio.h",  "stdlib.h",   "string.h",    "sys/mman.h",
                                          "sys/types.h", "sys/wait.h", "unistd.h"};
    for (size_t k = 0; k < sizeof headers / sizeof headers[0]; k++)
        printf("#include <%s>\n", headers[k]);
    printf("\n// Built with interleave-cc, only the helpers that read and write the shared variables\n"
           "// make turns of their accesses, as in random_program: the rest is left uninstrumented.\n"
           "#define UNWATCHED __attribute__((no_sanitize_thread))\n"
           "#define NOIPA __attribute__((noipa))\n\n");
}

// The shared variables each start a word of their own (_Alignas(8)), as the interpreter's
// do: interleave orders accesses to one word, and a neighbour in it would make orders of
// its own.
UNWATCHED static void emit_objects(void)
{
    for (int k = 0; k < prog->mutexes; k++) {
        if (prog->mutex_shared[k])
            continue;
        printf("static pthread_mutex_t m%d = PTHREAD_MUTEX_INITIALIZER;", k);
        for (int v = 0; v < prog->vars; v++)
            if (prog->var_guard[v] == k) {
                printf("  // guards v%d", v);
                break;
            }
        printf("\n");
    }
    for (int k = 0; k < prog->conds; k++)
        printf("static pthread_cond_t cv%d = PTHREAD_COND_INITIALIZER;  // with m%d, over the tokens in v%d\n", k,
               prog->cond_mutex[k], prog->cond_tokens[k]);
    for (int k = 0; k < prog->sems; k++)
        if (!prog->sem_shared[k])
            printf("static sem_t s%d;\n", k);
    if (any_shared()) {
        printf("static struct shared_objects {\n");
        for (int k = 0; k < prog->sems; k++)
            if (prog->sem_shared[k])
                printf("    sem_t s%d;\n", k);
        for (int k = 0; k < prog->mutexes; k++)
            if (prog->mutex_shared[k])
                printf("    pthread_mutex_t m%d;\n", k);
        printf("} *shared;  // shared with the children: mapped before any fork\n");
    }
    if (prog->barrier > 0)
        printf("static pthread_barrier_t barrier;\n");
    if (prog->once)
        printf("static pthread_once_t once = PTHREAD_ONCE_INIT;\n");
    for (int t = 1; t < prog->threads; t++)
        printf("static pthread_t t%d_thread;\n", t);
    for (int c = 0; c < prog->children; c++)
        printf("static pid_t c%d_pid;\n", c + 1);
    if (prog->pipe)
        printf("static int pipe_ends[2];  // reading end, writing end\n");
    if (prog->signal_pipe)
        printf("static int signal_ends[2];  // the pipe the signal handlers write to\n");
    if (prog->exit_handler)
        printf("static __thread const char *running = \"main\";  // the thread that runs the exit handler\n");
    for (int slot = 0; slot < SLOTS; slot++)
        if (prog->handling[slot] == HANDLE_FLAG)
            printf("static volatile sig_atomic_t %s_flag;\n", slot_name(slot));
    for (int k = 0; k < prog->vars; k++) {
        int cond = -1;
        for (int c = 0; c < prog->conds; c++)
            if (prog->cond_tokens[c] == k)
                cond = c;
        if (cond >= 0)
            printf("static _Alignas(8) int v%d;  // the tokens of cv%d, under m%d\n", k, cond, prog->var_guard[k]);
        else if (prog->var_guard[k] >= 0)
            printf("static _Alignas(8) int v%d;  // under m%d\n", k, prog->var_guard[k]);
        else
            printf("static _Alignas(8) int v%d;  // no mutex guards it\n", k);
    }
    for (int k = 0; k < prog->atomics; k++)
        printf("static _Alignas(8) int a%d;  // only atomic operations touch it\n", k);
    if (prog->stack) {
        printf("static _Alignas(8) int head;  // the stack's top node; -1: empty\n");
        printf("static _Alignas(8) int next_node[%d] = {1, 2, -1};  // %c on %c on %c\n", STACK_NODES, NODE_NAMES[0],
               NODE_NAMES[1], NODE_NAMES[2]);
    }
    printf("\n");
}

UNWATCHED static void emit_helpers(void)
{
    if (any_shared() || prog->sems > 0 || prog->pipe || prog->signal_pipe || prog->children > 0) {
        printf("UNWATCHED static void fail(const char *what)\n{\n    perror(what);\n    exit(%d);\n}\n\n", STATUS_FAILED);
    }
    printf("UNWATCHED static void fail_with(int rc, const char *what)\n{\n");
    printf("    fprintf(stderr, \"%%s: %%s\\n\", what, strerror(rc));\n    exit(%d);\n}\n\n", STATUS_FAILED);
    printf("UNWATCHED static void start(pthread_t *thread, void *(*routine)(void *))\n{\n");
    printf("    const int rc = pthread_create(thread, NULL, routine, NULL);\n");
    printf("    if (rc != 0)\n        fail_with(rc, \"pthread_create\");\n}\n\n");
    if (uses(K_BLOCK) || uses(K_UNBLOCK)) {
        printf("UNWATCHED static void mask(int how, int sig)\n{\n    sigset_t set;\n    sigemptyset(&set);\n");
        printf("    sigaddset(&set, sig);\n    pthread_sigmask(how, &set, NULL);\n}\n\n");
    }
    for (int slot = 0; slot < SLOTS; slot++) {
        if (prog->handling[slot] == HANDLE_NONE)
            continue;
        printf("UNWATCHED static void on_%s(int sig)\n{\n    (void)sig;\n    const int saved = errno;\n", slot_name(slot));
        const int object = prog->handled_object[slot];
        depth = 1;
        switch (prog->handling[slot]) {
        case HANDLE_POST:
            line("sem_post(%s);", sem(object));
            break;
        case HANDLE_FLAG:
            line("%s_flag = 1;", slot_name(slot));
            break;
        case HANDLE_PIPE:
            line("const ssize_t n = write(signal_ends[1], \"!\", 1);");
            line("(void)n;  // a full pipe loses the byte: what the reader counts says so");
            break;
        case HANDLE_LOCK:
            line("pthread_mutex_lock(%s);  // no handler may: the thread it interrupts may hold it", mutex(object));
            line("pthread_mutex_unlock(%s);", mutex(object));
            break;
        }
        printf("    errno = saved;\n}\n\n");
    }
    if (prog->exit_handler) {
        printf("UNWATCHED static void exit_handler(void)\n{\n");
        depth = 1;
        say_values("", SAY_EXIT_HANDLER, "running");
        printf("}\n\n");
    }
    if (prog->once) {
        printf("UNWATCHED static void once_routine(void)\n{\n");
        depth = 1;
        say(SAY_ONCE);
        printf("}\n\n");
    }
}

UNWATCHED static void emit_thread(int t)
{
    const char *name = thread_name(t);
    printing = t;
    printf("UNWATCHED static void *%s(void *arg)\n{\n    (void)arg;\n", name);
    depth = 1;
    if (prog->exit_handler)
        line("running = \"%s\";", name);
    keeps_pops = pushes(t);
    if (keeps_pops)
        line("int popped[%d] = {-1, -1}, pops = 0;  // the nodes this thread's pops took", MAX_POPS);
    for (int k = 0; k < prog->ntop[t]; k++)
        emit_stmt(name, &prog->stmts[prog->top[t][k]]);
    const int last = prog->stmts[prog->top[t][prog->ntop[t] - 1]].kind;
    if (last != K_EXIT && last != K_THREAD_EXIT)
        line("return NULL;");
    printf("}\n\n");
}

// main's set-up, in the order interpret.c makes it, then main's statements.
UNWATCHED static void emit_main(void)
{
    printf("UNWATCHED int main(void)\n{\n");
    depth = 1;
    if (any_shared()) {
        line("shared = mmap(NULL, sizeof *shared, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);");
        line("if (shared == MAP_FAILED)");
        line("    fail(\"mmap\");");
    }
    for (int k = 0; k < prog->mutexes; k++)
        if (prog->mutex_shared[k]) {
            open_block();
            line("pthread_mutexattr_t attr;");
            line("pthread_mutexattr_init(&attr);");
            line("pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);");
            line("const int rc = pthread_mutex_init(%s, &attr);", mutex(k));
            line("if (rc != 0)");
            line("    fail_with(rc, \"pthread_mutex_init\");");
            line("pthread_mutexattr_destroy(&attr);");
            close_block();
        }
    for (int k = 0; k < prog->sems; k++) {
        line("if (sem_init(%s, %d, %d) == -1)", sem(k), prog->sem_shared[k] ? 1 : 0, prog->sem_value[k]);
        line("    fail(\"sem_init\");");
    }
    if (prog->barrier > 0) {
        open_block();
        line("const int rc = pthread_barrier_init(&barrier, NULL, %d);", prog->barrier);
        line("if (rc != 0)");
        line("    fail_with(rc, \"pthread_barrier_init\");");
        close_block();
    }
    if (prog->pipe) {
        line("if (pipe2(pipe_ends, O_NONBLOCK) == -1)");
        line("    fail(\"pipe2\");");
    }
    if (prog->signal_pipe) {
        line("if (pipe2(signal_ends, O_NONBLOCK) == -1)");
        line("    fail(\"pipe2\");");
    }
    for (int slot = 0; slot < SLOTS; slot++)
        if (prog->handling[slot] != HANDLE_NONE) {
            open_block();
            line("struct sigaction action;");
            line("memset(&action, 0, sizeof action);");
            line("action.sa_handler = on_%s;", slot_name(slot));
            line("action.sa_flags = SA_RESTART;");
            line("sigemptyset(&action.sa_mask);");
            line("sigaction(%s, &action, NULL);", signal_macro(slot));
            close_block();
        }
    if (prog->exit_handler)
        line("atexit(exit_handler);");
    printing = 0;
    keeps_pops = pushes(0);
    if (keeps_pops)
        line("int popped[%d] = {-1, -1}, pops = 0;  // the nodes main's pops took", MAX_POPS);
    for (int k = 0; k < prog->ntop[0]; k++)
        emit_stmt("main", &prog->stmts[prog->top[0][k]]);
    printf("}\n");
}

UNWATCHED void emit_program(const struct program *p)
{
    prog = p;
    emit_opening();
    emit_objects();
    emit_shared_helpers();
    emit_helpers();
    for (int t = 1; t < p->threads; t++)
        emit_thread(t);
    emit_main();
}
