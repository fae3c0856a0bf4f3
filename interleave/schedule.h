// Schedules on file: a short text that names the program, its rules, arguments and input,
// and lists who went at each turn ("0 0 1 2t": thread 2, the third to start, timed out), so that a
// run can be passed on and replayed to the byte.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run.h"

namespace interleave {

// Writes the schedule; false, with errno set, if it could not be written.
bool save_schedule(const std::string &path, const target_t &target, const bounds_t &bounds,
                   const std::vector<action_t> &choices);
// Reads a schedule: the program, rules, arguments and input into `target`, the bounds into
// `bounds`; returns the turns, or nothing with `why` said.
std::optional<std::vector<action_t>> load_schedule(const std::string &path, target_t &target, bounds_t &bounds,
                                                   std::string &why);

}  // namespace interleave
