// A way of choosing the schedules of a search. Each answers one question, run after run:
// which schedule next? It is told how each run went, and says what it has covered. The
// search runs them in turn, each for its share of the runs and the time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "run.h"

namespace interleave {

// "1 run", "2 runs": a count in the words the search reports in.
std::string plural(long n, const std::string &one, const std::string &many);
inline std::string plural(long n, const std::string &one)
{
    return plural(n, one, one + "s");
}

struct coverage_t {
    std::string said;         // what it covered, in a sentence or two
    bool complete = false;    // it tried everything there is: a proof, within what it steers
    long orders = -1;         // distinct orders tried, where it counts them
};

struct policy_t {
    virtual ~policy_t() = default;
    // The next run's chooser, and how it chooses in a few words ("the default order,
    // switching twice more"); false when it has nothing more to try.
    virtual bool next(chooser_t &choose, std::string &how) = 0;
    // How that run went (not told of a run that found a fault, or that time cut short).
    virtual void learn(const run_result_t &run) = 0;
    // Whether its runs must keep what each turn touched; and what could have been chosen
    // at each turn, for how many turns.
    virtual bool wants_steps() const { return false; }
    virtual int window() const { return 0; }
    virtual coverage_t covered() const = 0;
    int runs = 0;  // its runs so far
};

// The policies of a search, in the order they run, each with the share of the runs and
// the time it may use, the last share ending at the whole.
struct phase_t {
    std::unique_ptr<policy_t> policy;
    double share;
};
std::vector<phase_t> policies(const options_t &o);
bool known_search(const std::string &name);

// A run's order, as a name: two runs have the same name when they are one order (they
// differ only in the order of turns that do not depend on each other). Empty for a run
// that did not keep its steps, or too long to name.
std::string order_name(const run_result_t &run);

// Every distinct order of the program's calls, fewest switches first (dynamic partial-order
// reduction with sleep sets).
std::unique_ptr<policy_t> every_order(const bounds_t &bounds);
// Every schedule that leaves the default order at most k times, k rising.
std::unique_ptr<policy_t> fewest_departures();
// Every schedule, with no reduction: the search the others are checked against.
std::unique_ptr<policy_t> every_schedule();
// Random priorities that change at a few turns (probabilistic concurrency testing).
std::unique_ptr<policy_t> random_priorities(unsigned seed, int depth);

}  // namespace interleave
