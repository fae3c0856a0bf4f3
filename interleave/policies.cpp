#include "policy.h"

namespace interleave {

namespace {

std::vector<phase_t> phases_of(std::unique_ptr<policy_t> only)
{
    std::vector<phase_t> all;
    all.push_back({std::move(only), 1.0});
    return all;
}

}  // namespace

std::string plural(long n, const std::string &one, const std::string &many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Every distinct order first, as it may prove the program; where the orders are too many,
// the schedules of fewest departures, complete level by level; and last random priorities,
// which reach the deep faults that the others reach only late.
std::vector<phase_t> policies(const options_t &o)
{
    std::vector<phase_t> all;
    if (o.search == "schedules")
        return phases_of(every_schedule());
    if (o.search.empty() || o.search == "orders")
        all.push_back({every_order(o.bounds), 0.5});
    if (o.search.empty() || o.search == "departures")
        all.push_back({fewest_departures(), 0.75});
    if (o.search.empty() || o.search == "priorities")
        all.push_back({random_priorities(o.seed, 3), 1.0});
    all.back().share = 1.0;
    return all;
}

bool known_search(const std::string &name)
{
    return name == "orders" || name == "departures" || name == "priorities" || name == "schedules";
}

}  // namespace interleave
