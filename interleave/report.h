// What interleave says: a fault, a replay turn by turn, the summary of a search that found
// nothing (what it covered, what it could not see), and the same as one JSON object for a
// teacher's grading script.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "options.h"
#include "policy.h"

namespace interleave {

// How a search went.
struct search_t {
    int runs = 0;
    int ended = 0;       // runs in which the program came to its end
    int cut = 0;         // runs cut at the turn bound
    std::vector<coverage_t> covered;  // what each way of choosing schedules covered, in turn
    std::set<std::string> orders;     // the distinct orders of the runs, by name
    long turns = 0;
    double seconds = 0;
    bool out_of_time = false;  // the time limit ended the search
    bool accesses = false;     // memory accesses were turns (a program built with interleave-cc)
    bool weak = false;         // and an atomic operation or fence weaker than sequential consistency ran
    bool mapped = false;       // and a file mapped into memory was read or changed otherwise too
    bool others = false;       // and a program interleave does not steer ran
    bool unlocked = false;     // and a thread used a stream through an unlocked call
    std::string library_call;      // and this call of the C library's may have taken descriptors inside it
    std::string unknown_call;      // and the program calls this function of the C library's, not known to interleave
    bool stream_tries = false;     // and a thread tried a stream's lock
    int stopped_by = 0;        // the signal that stopped it, if one did
    std::vector<std::pair<std::string, int>> tested;  // each rule, and the runs that put it to the test
    std::optional<fault_report_t> fault;
    std::string found_by;  // which run, and by which schedule
    int found_turns = 0;   // the turns of that run up to the fault, before they were shortened
    std::string schedule;  // where the fault's schedule was saved
    // With --outcomes: each distinct way a run ended (its fault, its end, its output), and
    // how many runs ended so.
    std::map<std::string, int> outcomes;
};

// How a run ended, as one text that tells its fault (or none), how the program ended
// (its exit status, a signal, or not at all) and its standard output apart: the key of
// search_t::outcomes.
std::string outcome_of(const run_result_t &run);
// Whether every way of choosing that ran had nothing left to try; complete besides when no
// fault was found: every distinct order of what interleave steers. A proof, when memory
// accesses were turns too, and every atomic operation was sequentially consistent.
bool exhausted(const search_t &s);
bool proved(const search_t &s);
bool proof(const search_t &s);

std::string paint(const screen_t &screen, const std::string &text, const char *colour);
extern const char *const kRed, *const kBold, *const kDim;

// A text in lines of at most 80 columns, the first indented by `first`, the others by
// `rest`; and the same printed, in a colour if one is given.
std::vector<std::string> wrap(const std::string &text, std::size_t first, std::size_t rest);
void say(const screen_t &screen, const std::string &text, std::size_t first, std::size_t rest, const char *colour);
// A complaint on standard error, "interleave: " and the text, made safe to show and
// wrapped like the rest; a line of the text that begins with two blanks is a command to
// paste, and stands whole on its own line. Details follow, each on lines of its own.
void complain(const std::string &text, const std::vector<std::string> &details = {});

void print_fault(const screen_t &screen, const fault_report_t &fault);
// Whose rules judge the program, in a few words.
std::string rules_of(const target_t &target);
// A run turn by turn: who ran and what it did; who holds what, when that changed; the
// program's output as it came, with the rules' notes.
void show(const screen_t &screen, const run_result_t &run);
// What a search that found nothing covered, and what it could not see.
void print_summary(const options_t &o, const search_t &s);
// The search as one JSON object.
std::string json_of(const options_t &o, const search_t &s);
// A refusal (wrong use, a program that cannot be run, a schedule that cannot be saved):
// the complaint on standard error and, for a script, one JSON object with the verdict and
// why on standard output. Returns interleave's status for it, 2.
int refuse(const std::string &verdict, const std::string &complaint, const std::string &why, bool json);

}  // namespace interleave
