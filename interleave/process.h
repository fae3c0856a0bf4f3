// Starting and stopping a run's processes, and what interleave learns of them from the
// system: the program starts with the steering library preloaded, its standard streams on
// pipes of interleave's; its deaths come through pidfds; a thread that does not come back
// is looked at in /proc, to tell one that computes from one blocked in a call that
// interleave does not steer.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "protocol.h"
#include "trace_rules.h"

namespace interleave {

// What to run.
struct target_t {
    std::string program;  // its path
    std::string named;    // as the user named it: a bare name, or a path; or its first source
    std::vector<std::string> sources;  // what it was built from, when named by its sources
    std::vector<std::string> args;
    std::optional<watch::demo_t> demo;  // whose rules apply, if any
    int input_lines = 0;                // lines the schedule may hand to reads of standard input
    std::string library;                // the steering library's path
};

struct program_t {
    steer::region_t *region = nullptr;
    int region_fd = -1, in = -1, out = -1, err = -1;
    pid_t first = -1;
    bool served = false;          // the first process was forked by the fork server
    std::map<pid_t, int> pidfds;  // every process of the run that has not died
    std::map<int, int> thread_fds;  // a pidfd of each thread (by its number) that has not ended
    std::map<int, pid_t> leaving;   // first threads that leave with pthread_exit (by number), and
                                    // their processes
    int lines_given = 0;          // of the input
    std::optional<int> status;    // the first process's wait status, once it has ended
    bool started_others = false;  // a process of the run started another program (exec), or the
                                  // run was stopped from outside: look for every descendant
};

// Starts the program, which stops at its first call to ask for its first turn.
bool launch(program_t &p, const target_t &target, std::string &why);
// Tells a waiting thread to go on, with its answer.
void grant(program_t &p, int channel, int64_t answer);
// Hands a read of standard input its line, or the end of the input.
bool give_input(program_t &p, const target_t &target);
// What the program wrote since the last look, on each stream.
void drain(program_t &p, std::string &out, std::string &err);
// Processes of the run that have died since the last look (the first one reaped, for its
// status), and a new process of the run to look out for.
std::vector<pid_t> deaths(program_t &p);
void watch_process(program_t &p, pid_t pid);
// Whether the system tells of a thread's end as of a process's (Linux 6.9 and later); a
// thread to look out for, and the threads that have ended since the last look.
bool thread_ends_seen();
void watch_thread(program_t &p, int thread, int tid);
// A process's first thread that leaves with pthread_exit: no pidfd tells of its end, which
// makes it a zombie until its process ends.
void watch_leaving(program_t &p, int thread, pid_t pid);
std::vector<int> thread_ends(program_t &p);
// Whether a process still has interleave's region: it has not started another program.
bool still_steered(pid_t pid);
// Whether a thread is blocked reading standard input, by a way interleave does not stand in
// front of (a macro of stdio's): then it hands it the next line, or the end, at once.
bool reading_input(pid_t pid, int tid);
// Waits until the bell rings again after `rung` (its count when the caller last looked at
// the channels), a stream has something, a process dies, or `seconds` pass; says which of
// the last two.
struct news_t {
    bool output = false;
    bool death = false;
};
news_t wait_for_news(program_t &p, uint32_t rung, double seconds);
// Whether `signal`, sent to the process, will end it: its default action ends processes,
// and the process neither ignores nor catches it; or will run a handler of the process's:
// it catches it, and not every thread of it blocks it.
bool will_end(pid_t pid, int signal);
bool will_handle(pid_t pid, int signal);
// Ends every process the run started (those that left its process group too), reaps
// them, and closes what the run opened.
void stop(program_t &p);

// How a thread that does not come back looks in /proc: running on a processor, or asleep
// in a system call (its name), or gone.
struct thread_look_t {
    bool running = false;
    bool exiting = false;  // in exit or exit_group, waiting for its process's other threads to go
    bool stopped = false;  // stopped by a signal (SIGSTOP, SIGTSTP) or held by a debugger
    std::optional<std::string> blocked_in;
};
thread_look_t look_at(pid_t pid, int tid);

double seconds_now();

}  // namespace interleave
