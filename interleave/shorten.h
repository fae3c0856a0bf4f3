// A schedule that breaks a rule, made as short as it can be: turns are dropped (meals,
// sleeps, whole stretches of a thread's work) as long as what is left still ends in the
// same fault; then the shortest is run once more to be sure.
#pragma once

#include <functional>
#include <vector>

#include "run.h"

namespace interleave {

struct shortened_t {
    std::vector<action_t> schedule;
    fault_report_t fault;
    int runs = 0;          // runs it took
    bool replays = false;  // replayed exactly, it showed the fault at its last turn
};

// `found` ends where `fault` showed. What comes back breaks the rule the same way (the same
// kind of fault, the same headline) and replays turn for turn; it is `found` itself where
// nothing shorter does, and says whether that replays.
shortened_t shorten(const target_t &target, const bounds_t &bounds, const std::vector<action_t> &found,
                    const fault_report_t &fault, const std::function<bool()> &stop_now);

}  // namespace interleave
