// random_program: small threaded programs drawn from a seed, for checking interleave's
// search of every distinct order against a search of every schedule: on each program, the
// two must reach the same outcomes (output, exit status, fault).
//
// Run one:     random_program 17                  (the calls family, interpreted)
//              random_program_accesses --family memory 17
//                                     (the build with interleave-cc, whose accesses are turns)
// Read it:     random_program --source 17 > p.c && gcc -std=c17 -Wall -pthread -o p p.c
//              (a memory or all program: build it with interleave-cc instead, and
//              interleave searches it turn for turn as it does the interpreted one)
// Search it:   interleave --json --search orders random_program 17
//              (add --status K when the source's main ends with K, or K is a fault)
// Size it:     random_program --schedules 17      (about how many schedules a search of
//                                                  every schedule runs on it)
// Both builds land in build/<preset>/generated.
//
// A seed fixes one program of two to four threads (main counted), each with a few
// statements: mutexes locked and tried, condition variables, semaphores, a barrier,
// pthread_once, threads created, joined, detached and ended in every way, signals and
// their handlers, a pipe, child processes. The `calls` family (the default) shares data
// between threads only under those calls, so steering the calls alone sees every
// behaviour. The `memory` family adds plain variables shared without a lock and atomics,
// whose accesses are turns only in the build with interleave-cc; `all` mixes the two.
// Run, the program is interpreted: the real calls are made, in the order the printed
// source makes them, so that interleave sees the same turns; every line printed depends
// only on the order of those turns. The plain build refuses to run the memory and all
// families (status 2): their races would be invisible to interleave there.
// Exit status: what the program's own ending says (0, or 3 to 9), 1 when a thread or a
// process could not be made, 2 wrong use.
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "program.h"

static struct program program;  // static: the interpreter allocates nothing

UNWATCHED const char *thread_name(int thread)
{
    static const char *const names[MAX_THREADS] = {"main", "t1", "t2", "t3"};
    return names[thread];
}

UNWATCHED int thread_mark(int thread)
{
    return thread == 0 ? 9 : thread;
}

UNWATCHED const char *family_name(enum family family)
{
    static const char *const names[] = {"calls", "memory", "all"};
    return names[family];
}

UNWATCHED const char *slot_name(int slot)
{
    static const char *const names[SLOTS] = {"usr1", "usr2", "alrm", "chld"};
    return names[slot];
}

UNWATCHED int slot_signal(int slot)
{
    static const int signals[SLOTS] = {SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD};
    return signals[slot];
}

UNWATCHED static int usage(const char *why)
{
    fprintf(stderr, "random_program: %s\nusage: random_program [--family calls|memory|all] [--source|--schedules] SEED\n",
            why);
    return STATUS_USAGE;
}

// The arguments are read by hand: a comparison or a conversion of the C library's is told
// to interleave as an access of the program's, which this part of it is not.
UNWATCHED static bool same(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

UNWATCHED static bool parse_seed(const char *text, uint64_t *seed)
{
    if (*text < '0' || *text > '9')
        return false;
    uint64_t n = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        const uint64_t digit = (uint64_t)(*text - '0');
        if (n > (UINT64_MAX - digit) / 10)
            return false;
        n = n * 10 + digit;
    }
    *seed = n;
    return *text == '\0';
}

UNWATCHED int main(int argc, char **argv)
{
    enum family family = FAMILY_CALLS;
    bool source = false, schedules = false, seeded = false;
    uint64_t seed = 0;
    for (int k = 1; k < argc; k++) {
        if (same(argv[k], "--source")) {
            source = true;
        } else if (same(argv[k], "--schedules")) {
            schedules = true;
        } else if (same(argv[k], "--family") && k + 1 < argc) {
            const char *name = argv[++k];
            if (same(name, "calls"))
                family = FAMILY_CALLS;
            else if (same(name, "memory"))
                family = FAMILY_MEMORY;
            else if (same(name, "all"))
                family = FAMILY_ALL;
            else
                return usage("the families are calls, memory and all");
        } else if (!seeded && parse_seed(argv[k], &seed)) {
            seeded = true;
        } else {
            return usage(seeded ? "one seed only" : "a seed is a decimal number");
        }
    }
    if (!seeded)
        return usage("a seed is needed");
    generate(&program, seed, family);
    if (source || schedules) {
        bool some_end;
        if (source)
            emit_program(&program);
        else
            printf("%.0f\n", count_schedules(&program, 1e6, &some_end));  // a million: at least that
        if (fflush(stdout) != 0 || ferror(stdout)) {
            perror("random_program: standard output");
            return STATUS_FAILED;
        }
        return 0;
    }
#ifndef __SANITIZE_THREAD__
    if (family != FAMILY_CALLS) {
        fprintf(stderr, "random_program: the %s family runs only as random_program_accesses, whose memory accesses "
                        "are turns\n", family_name(family));
        return STATUS_USAGE;
    }
#endif
    return run_program(&program);
}
