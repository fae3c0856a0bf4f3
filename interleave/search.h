// The search: runs the program again and again under different schedules, judges each run,
// and saves the first schedule that breaks a rule; and the replay of a saved schedule.
#pragma once

#include <vector>

#include "options.h"

namespace interleave {

// Returns the exit status: 0 nothing found, 1 a fault, 2 a program that cannot be steered;
// 128 and the signal's number when SIGINT, SIGTERM or SIGHUP stopped it.
int search(const options_t &o, const screen_t &screen);
int replay(const options_t &loaded, const std::vector<action_t> &choices, const screen_t &screen);

// Makes SIGINT, SIGTERM and SIGHUP stop a search or a replay at once, with everything the
// run started.
void stop_on_signals();

// Where a schedule is saved when --save does not say: in the current folder, named after
// the program.
std::string default_path(const options_t &o);

}  // namespace interleave
