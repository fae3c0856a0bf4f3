// The ways of choosing the next turn that the search's policies share: the default order,
// which switches threads only when one must; a list followed loosely; a saved schedule.
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

// A list of actions, passing over any that cannot be taken where it comes; it stops at the
// list's end.
chooser_t following_loosely(const std::vector<action_t> &list);

// A saved schedule, turn by turn; it stops where the program no longer follows it.
chooser_t replaying(const std::vector<action_t> &choices);

}  // namespace interleave
