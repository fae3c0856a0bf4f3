// interleave --step: the learner is the scheduler, and chooses every turn with a key.
#pragma once

#include <string>
#include <vector>

#include "run.h"

namespace interleave {

// Plays the target in the terminal, after following `taken` (a saved schedule) as far as
// the program goes along. Schedules are saved to `path`; `self` is interleave's command,
// for the replay it suggests. Returns the exit status: 0 once the player quits, 2 when the
// program cannot be steered.
int play(const target_t &target, const bounds_t &bounds, std::vector<action_t> taken, const std::string &path,
         const std::string &self);

}  // namespace interleave
