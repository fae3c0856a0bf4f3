// The ways of choosing the next turn: the default order, which switches threads only when
// one must; a plan that departs from it at a few turns; random choice; and a saved schedule.
#pragma once

#include <vector>

#include "run.h"

namespace interleave {

// The default order: what can happen soonest on the program's clock (a call that can be
// made now before a sleep's end or a timeout); among those, the thread that ran last goes
// on while it can, else the next one in the order they were created. While threads back
// off from each other (a try-lock failed, a yield), the turn goes as a mix of the turn's
// number picks, the same in every run of the schedule.
int by_default(const decision_t &d);

// A systematic schedule: the default order, except at a few turns where something else that
// could happen there happens instead.
struct plan_t {
    std::vector<std::pair<int, action_t>> deviations;  // turn, what happens there instead
};
chooser_t following(const plan_t &plan);

// A random schedule: any thread that can go on, with the same chance; now and then a
// timeout or a wake-up with no signal instead, where one can happen.
chooser_t at_random(unsigned seed);

// A saved schedule, turn by turn; it stops where the program no longer follows it.
chooser_t replaying(const std::vector<action_t> &choices);

}  // namespace interleave
