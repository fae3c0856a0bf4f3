// Runs a built program the way a user at a terminal would, and records what it did:
// standard output line by line with arrival times, standard error, and how it ended.
// Each program runs in a process group of its own, and the whole group is killed and
// reaped before run() returns, so no test leaves a process behind.
#pragma once

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "trace_rules.h"

namespace harness {

// A line of standard output, and when it came (its first byte, its newline, seconds after
// the start; the newline's moment on the wall clock too).
using line_t = watch::line_t;

struct options_t {
    std::vector<std::string> args{};
    std::string input{};                                 // written to standard input at the start
    std::vector<std::pair<double, std::string>> feed{};  // more input, each at its second after the start
    bool keep_input_open = false;    // otherwise input ends after the last byte written
    std::filesystem::path cwd{};     // empty: the test's own working folder
    std::vector<std::string> env{};  // NAME=value entries added to the environment
    std::optional<mode_t> umask{};
    double stop_after = 0;     // seconds; 0 lets the program end on its own
    int stop_signal = SIGINT;  // sent at stop_after
    bool signal_group = true;  // to the whole process group, or only to the first process
    double limit = 40;         // a program still running after this long is killed as hung
    bool steady_clock = false; // a step of the wall clock ends the run at once (see clock_set)
};

struct result_t {
    std::string out;
    std::string err;
    std::vector<line_t> lines;  // the complete lines of `out`
    int status = 0;             // wait status of the first process
    double seconds = 0;         // how long the first process ran
    bool hung = false;          // killed at the limit
    bool stopped = false;       // the stop signal was sent
    bool stragglers = false;    // some process of the group outlived the first by over a second
    bool clock_set = false;     // the wall clock was stepped during the run (as a host syncing it does)
    double host_late = 0;       // with steady_clock: how late, at most, a thread of the tests woke
                                // for a whole second of the wall clock during the run (a busy host)

    bool exited(int code) const;  // ended normally with this status
    bool killed_by(int sig) const;
};

result_t run(const std::filesystem::path &program, const options_t &options = {});

// Runs a bash script with `program` as its $0 and the options' args as $1, $2...: a way to
// start the program in surroundings a test sets up (descriptors closed, signals ignored,
// a pipeline), without quoting its path into the script.
result_t run_script(const std::string &script, const std::filesystem::path &program,
                    const options_t &options = {});

// A run whose judgement reads the wall clock, repeated while the clock was set during it:
// such a run shows the step, not the program, so it is ended as soon as the step is seen.
// Repeated too while the host was too busy to wake a thread on time (`host_late`). The
// tries stop after half a minute, well inside a test's time, and the last run is then
// returned with `clock_set` still true, for the test to say it could not judge, or with
// its `host_late`, by which the test lets a line be late.
result_t on_a_steady_clock(const std::filesystem::path &program, options_t options);

// The run judged by the rules that tracewatch shows; the rules about the end of a run
// apply when it ended by itself, and how it ended is judged too.
watch::watch_t judge(watch::demo_t demo, const result_t &r);

// Adds a library to preload into the program, with NAME=value settings for it. Under the
// sanitizers the preloaded library comes before their runtime, which is intended, and a
// SIGBUS is left to end the process instead of becoming a sanitizer report.
void preload(options_t &options, const std::filesystem::path &library,
             const std::vector<std::string> &settings);

// The processes whose parent is `parent`, as /proc shows them now.
std::vector<pid_t> children_of(pid_t parent);

// A fresh folder for one test's files, removed with everything in it at the end.
struct temp_dir {
    std::filesystem::path path;
    explicit temp_dir(const std::filesystem::path &parent = std::filesystem::temp_directory_path());
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::filesystem::path operator/(const std::string &name) const { return path / name; }
};

std::string read_file(const std::filesystem::path &path);
void write_file(const std::filesystem::path &path, const std::string &data);

// The text as one line, each line break and the indent after it one blank: where
// interleave wraps its reports depends on the program's path.
std::string one_line(const std::string &text);

// Whether the text holds the part.
bool has(const std::string &text, const std::string &part);

// Where a source file first holds `part`, as a debugger names a line: "file.c:12".
std::string line_of(const std::filesystem::path &source, const std::string &part);

}  // namespace harness
