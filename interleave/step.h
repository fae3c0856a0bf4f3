// interleave --step: the learner is the scheduler, and chooses every turn with a key.
#pragma once

#include <string>
#include <vector>

#include "run.h"

namespace interleave {

// Plays the target in the terminal. `planned`, a saved schedule, is followed a turn at a
// key (space), until the player chooses otherwise. Schedules are saved to `path`; `self`
// is interleave's command, for the replay it suggests. Returns the exit status: 0 once
// the player quits, 2 when the program cannot be steered or there is no terminal.
int play(const target_t &target, const bounds_t &bounds, std::vector<action_t> planned, const std::string &path,
         const std::string &self);

}  // namespace interleave
