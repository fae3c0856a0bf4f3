// One run of a program under interleave's scheduler: the program starts with the steering
// library preloaded, and from then on only one of its threads runs at a time. At every
// steered call the run asks a chooser which of the things that can happen next happens; the
// model says what can, and the run records every turn for judging and showing, and judges
// how the run ended.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "depend.h"
#include "model.h"
#include "names.h"
#include "process.h"

namespace interleave {

struct bounds_t {
    int turns = 100000;  // a run is cut after this many turns
    int spurious = 1;    // waits that may end with no wake-up, per run
    double stall = 10;   // seconds a thread may compute between two calls
    int status = 0;      // the status the program normally ends with
    bool details = true;  // keep each turn's record (for a replay, and for the demos' rules)
    int window = 60;     // keep what could have been chosen at each of the first turns
    bool steps = false;  // keep what each turn touched, for a search by partial order
};

struct run_result_t;

struct view_t {
    std::vector<thread_view_t> threads;    // by thread
    std::string state;                     // who holds what, the semaphores' counts
    const run_result_t *so_far = nullptr;  // the run up to now
};

using look_t = std::function<view_t()>;

// One turn as a search by partial order sees it: what was taken, what it touched, and what
// else could have happened there, each with what it would have touched (an index into the
// run's `predicted`).
struct step_t {
    action_t action{};
    footprint_t touched;
    std::vector<std::pair<action_t, int>> enabled;
    int new_thread = kNobody;  // the thread or process it created
    call_t call = call_t::start;
    bool changed = true;       // false for a try that failed, a yield: a turn that changed
                               // no object and let no time pass
    bool idle = false;         // it changed no object and waited on none (a failed try, a
                               // yield, a sleep): a thread that goes on so waits for another
    std::vector<int> held;     // threads a signal could arrive at now, whose calls cannot end
                               // now but may later, before it arrives
};

// What a chooser is asked at each turn.
struct decision_t {
    const std::vector<action_t> &actions;  // what can happen now
    int last;                              // the thread that ran last (-1 at the start)
    int turn;                              // from 0
    const std::set<int> &backing_off;      // threads that took a turn that changed nothing (a
                                           // failed try, a yield) since another's last change
    const std::vector<int> &woken;         // threads that backed off until the last turn, which
                                           // changed something
    const look_t &look;                    // the threads as they are, for a chooser that shows them
    const run_result_t &so_far;            // the turns taken so far, with what each touched
};

// Chooses the index of the next action among those that can happen. kStop ends the run
// there, with no fault.
using chooser_t = std::function<int(const decision_t &)>;
constexpr int kStop = -2;

// A fault that ends a run. The first seven are the program's; the rest are interleave's: the
// schedule does not fit the program, or the program does what interleave cannot steer. A
// data race (in a program built with interleave-cc) does not end the run: it is its fault
// if nothing worse follows.
enum class fault_t { none, deadlock, livelock, crash, status, misuse, rule, race, diverged, unsteerable };

struct fault_report_t {
    fault_t kind = fault_t::none;
    int turn = 0;           // the turn it showed at (from 1)
    std::string headline;   // "deadlock", "killed by signal 11 (Segmentation fault)", "BROKEN ..."
    std::vector<std::string> details;  // one line each: who waits for what, held by whom
};

// One turn as the replay shows it, and as the rules judge it.
struct turn_t {
    int thread = -1;
    action_t action{};
    call_t call = call_t::start;
    std::string does;   // "locks m[0] (fork 0)"
    std::string where;  // a memory access's source line: "counter.c:12"
    std::string out;    // what the program wrote to standard output during the turn
    std::string err;    // and to standard error
    std::string state;  // who holds what, the semaphores' counts, after the turn
    bool changed = false;   // the state changed in this turn
    bool switched = false;  // another thread went on here, though the last one could have
    effect_t effect;
    std::vector<watch::note_t> notes;  // the rules' notes on the lines that ended in it
    std::vector<std::string> broken;   // rules it broke with no line to show it (a fork taken twice)
};

struct run_result_t {
    std::vector<action_t> choices;                 // what was chosen at each turn
    std::vector<std::vector<action_t>> choosable;  // what could have been, in the first turns
    std::vector<turn_t> turns;                     // each turn, when kept
    std::vector<std::string> names;                // each thread's name: main, producer, A...
    fault_report_t fault;
    bool cut = false;              // stopped at the turn bound
    bool stopped = false;          // stopped by its chooser
    std::optional<int> status;     // the first process's wait status, if it ended
    std::string out, err;          // everything written (the first megabyte of each)
    std::vector<std::pair<std::string, int>> tested;  // each rule, and how often the run put it to the test
    view_t end;                    // the threads as the run left them
    // With bounds.steps: each turn; what actions would have touched; and, at the end, every
    // thread's next action, whether it could be taken then or not.
    std::vector<step_t> steps;
    std::vector<footprint_t> predicted;
    std::vector<std::pair<action_t, int>> waiting;
    std::vector<action_t> last_choosable;  // what could have happened where the run was cut
    bool aliased = false;  // shared memory at different addresses: turns cannot be told apart
    bool accesses = false;  // memory accesses were turns
    bool vast = false;      // and one was too long for a search by partial order to follow
    bool weak = false;      // an atomic operation or fence weaker than sequential consistency ran
    bool mapped = false;    // a file mapped into memory was also read or changed otherwise
    bool others = false;    // a program interleave does not steer ran beside it
    bool unlocked = false;  // a thread used a stream through an unlocked call
    std::string library_call;      // a call of the C library's that may have taken descriptors inside it
    std::string unknown_call;      // a call of the C library's that the program makes and interleave does not know
    bool stream_tries = false;     // a thread tried a stream's lock (ftrylockfile)
};

// Runs the target once. `stop_now`, if given, is asked now and then while a thread runs
// on between two calls: true stops the run there.
run_result_t run_once(const target_t &target, const bounds_t &bounds, const chooser_t &choose,
                      const std::function<bool()> &stop_now = {});

// The first fault of a run, from its live faults and the demo's rules judged afterwards,
// and the rules' notes on each line.
void judge(const target_t &target, run_result_t &run);

// The program's standard output as lines, each whole under the turn that ended it, with the
// rules' notes on it: one list a turn. A line the run never ended comes under the turn of
// its last byte, marked unfinished.
struct shown_t {
    std::string text;
    std::string note;
    std::vector<std::string> broken;
    bool unfinished = false;
};
std::vector<std::vector<shown_t>> shown_lines(const run_result_t &run);
// What an output turn wrote, in a few words: "writes \"HELLO \"", or "writes" when it ends
// lines, which come whole below it.
std::string writes(const turn_t &turn);

const char *fault_name(fault_t kind);
// Whether the fault is the program's (status 1), not a limit of interleave's (status 2).
bool programs_fault(fault_t kind);

}  // namespace interleave
