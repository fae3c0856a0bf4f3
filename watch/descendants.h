// The processes a tool has started, and everything they started in turn: whatever left the
// tool's process group (setsid) or was adopted by it (a subreaper's orphans) too.
#pragma once

#include <sys/types.h>
#include <vector>

namespace watch {

// Every process whose parent is this process or one of its descendants, as /proc shows
// them now.
std::vector<pid_t> descendants();

}  // namespace watch
