// One run of a program under interleave's scheduler: the program starts with the steering
// library preloaded, and from then on only one of its threads runs at a time. At every
// steered call the run asks a chooser which of the threads that can go on goes next; it
// keeps a model of the program's mutexes, condition variables, semaphores, threads and
// processes to know who can, and records every turn for judging and showing.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol.h"
#include "symbols.h"
#include "trace_rules.h"

namespace interleave {

// What to run.
struct target_t {
    std::string program;  // its path
    std::vector<std::string> args;
    std::optional<watch::demo_t> demo;  // whose rules apply, if any
    int input_lines = 0;                // lines the schedule may hand to reads of standard input
    std::string library;                // the steering library's path
};

struct bounds_t {
    int turns = 400;    // a run is cut after this many turns
    int spurious = 1;   // condition waits that may end with no signal, per run
    double stall = 3;   // seconds a granted thread may take before its next call
};

// What can happen next: thread `slot` makes its call ('r'), or its timed wait times out
// ('t'), or its condition wait ends with no signal ('s'), or it is cancelled ('c').
struct action_t {
    int slot;
    char how;
    bool operator==(const action_t &) const = default;
};

// What each thread is about to do, for a chooser that shows it (the player of --step).
struct thread_view_t {
    std::string name;
    std::string next;   // its next call: "lock fork 2 (m[2])", "wait on has_product"
    std::string waits;  // why it cannot make it now: "B holds it"; empty if it can
    bool ended = false;
};

struct run_result_t;

struct view_t {
    std::vector<thread_view_t> threads;  // by slot
    std::string state;                   // who holds what, the semaphores' counts
    const run_result_t *so_far = nullptr;  // the run up to now
};

using look_t = std::function<view_t()>;

// Chooses the index of the next action among those that can happen; `last` is the thread
// that ran last, `turn` counts from 0, and `look` shows the threads. kStop ends the run
// there, with no fault.
using chooser_t = std::function<int(const std::vector<action_t> &, int last, int turn, const look_t &look)>;
constexpr int kStop = -2;

// A fault that ends a run.
enum class fault_t { none, deadlock, crash, misuse, rule, stalled, diverged, unsteerable };

struct fault_report_t {
    fault_t kind = fault_t::none;
    int turn = 0;           // the turn it showed at (from 1)
    std::string headline;   // "deadlock", "killed by signal 11 (Segmentation fault)", "BROKEN ..."
    std::vector<std::string> details;  // one line each: who waits for what, held by whom
};

// One turn as the replay shows it, and as the rules judge it.
struct turn_t {
    int slot = -1;
    action_t action{};
    steer::call_t call = steer::call_t::start;
    std::string does;   // "locks m[0] (fork 0)"
    std::string out;    // what the program wrote to standard output during the turn
    std::string err;    // and to standard error
    std::string state;  // who holds what, the semaphores' counts, after the turn
    bool changed = false;  // the state changed in this turn
    int fork = -1;         // the philosophers' fork taken or put back in this turn
    bool took = false;     // taken (or put back)
    std::vector<watch::note_t> notes;  // the rules' notes on the lines that ended in it
};

struct run_result_t {
    std::vector<action_t> choices;                // what was chosen at each turn
    std::vector<std::vector<action_t>> choosable;  // what could have been
    std::vector<turn_t> turns;
    std::vector<std::string> names;  // each slot's name: main, producer, A...
    fault_report_t fault;
    bool cut = false;                // stopped at the turn bound
    bool stopped = false;            // stopped by its chooser
    std::optional<int> status;       // the first process's wait status, if it ended
    std::string out, err;            // everything written
    std::vector<std::pair<std::string, int>> tested;  // each rule, and how often the run put it to the test
    view_t end;                      // the threads as the run left them
};

// Runs the target once.
run_result_t run_once(const target_t &target, const bounds_t &bounds, const chooser_t &choose);

// The first fault of a run, from its live faults and the demo's rules judged afterwards,
// and the rules' notes on each line.
void judge(const target_t &target, run_result_t &run);

// The program's standard output in one turn, line by line (the last one perhaps without
// its end), with the rules' notes on the lines that ended in the turn.
struct shown_t {
    std::string text;
    std::string note;
    std::vector<std::string> broken;
};
std::vector<shown_t> output_of(const turn_t &turn);

const char *kind_name(fault_t kind);

}  // namespace interleave
