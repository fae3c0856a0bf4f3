// What interleave was asked to do, from its command line.
#pragma once

#include <string>

#include "run.h"

namespace interleave {

// A run of an endless demo is cut after this many turns, unless --turns says otherwise; any
// other program is run to its end, and cut only after kTurnsOfAnyProgram.
constexpr int kTurnsOfADemo = 400;
constexpr int kTurnsOfAnyProgram = 100000;

// A search stops after this long, unless --seconds says otherwise. An endless demo proves
// nothing however long it is searched, so its search is kept to what a class will wait for.
constexpr double kSecondsOfAnyProgram = 60;
constexpr double kSecondsOfADemo = 25;

struct options_t {
    std::string self;  // how interleave was called, for the commands it suggests
    target_t target;
    bounds_t bounds;
    bool turns_given = false;    // --turns: the user's own bound
    bool seconds_given = false;  // --seconds: the user's own time limit
    int runs = 1000;
    double seconds = kSecondsOfAnyProgram;  // the search stops after this long, whatever is left
    unsigned seed = 1;
    std::string search;  // one way of choosing schedules only: orders, departures, priorities
    std::string save;    // where a faulty schedule goes
    std::string replay;  // a schedule to replay
    bool step = false;   // the learner chooses every turn
    bool json = false;   // standard output is one JSON object
    bool outcomes = false;  // the search goes on past faults, and lists how the runs ended
};

// Colours on a terminal, none elsewhere.
struct screen_t {
    bool colours = false;
};

}  // namespace interleave
