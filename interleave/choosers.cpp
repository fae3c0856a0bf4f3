#include "choosers.h"

#include <algorithm>
#include <climits>
#include <memory>

namespace interleave {

namespace {

// A number that looks random, made from another (splitmix64's finish).
uint64_t mixed(uint64_t n)
{
    uint64_t z = n + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

int by_default(const decision_t &d)
{
    const std::vector<action_t> &actions = d.actions;
    int64_t soonest = INT64_MAX;
    for (const action_t &a : actions)
        if (a.how != 's')
            soonest = std::min(soonest, a.at);
    std::vector<int> candidates;
    for (std::size_t k = 0; k < actions.size(); k++)
        if (actions[k].how != 's' && actions[k].at == soonest)
            candidates.push_back(static_cast<int>(k));
    // A timeout only when no call can be made at that moment.
    if (std::any_of(candidates.begin(), candidates.end(), [&](int k) { return actions[static_cast<std::size_t>(k)].how != 't'; }))
        std::erase_if(candidates, [&](int k) { return actions[static_cast<std::size_t>(k)].how == 't'; });
    if (candidates.empty())
        return -1;
    // A signal sent arrives at once, as the system delivers it to a thread that lets it through.
    for (int k : candidates)
        if (actions[static_cast<std::size_t>(k)].how == 'g')
            return k;
    // Threads that back off (a try failed, a yield) wait for each other: in any fixed order
    // of turns they could keep missing each other for ever. Until something changes, the
    // turn goes to whichever a mix of the turn's number picks, which is the same in every
    // run of the schedule, and lets one of them through soon.
    // A thread that spins lets time pass, as it would on a machine: a sleep that another
    // thread began may end, and a wait time out, while it tries again (else a thread that
    // sleeps holding a lock would keep the spinner trying for ever, on a clock that never
    // moves).
    if (!d.backing_off.empty() || !d.woken.empty()) {
        std::vector<int> any;
        for (std::size_t k = 0; k < actions.size(); k++)
            if (actions[k].how != 's')
                any.push_back(static_cast<int>(k));
        const std::vector<int> &from = d.backing_off.contains(d.last) && candidates.size() < any.size() ? any : candidates;
        return from[mixed(static_cast<uint64_t>(d.turn)) % from.size()];
    }
    for (int k : candidates)
        if (actions[static_cast<std::size_t>(k)].thread == d.last)
            return k;
    // Else the next thread after the last one, in the order they were created.
    int best = candidates.front();
    const auto after = [&](int thread) { return thread > d.last ? thread - d.last : thread - d.last + INT_MAX / 2; };
    for (int k : candidates)
        if (after(actions[static_cast<std::size_t>(k)].thread) < after(actions[static_cast<std::size_t>(best)].thread))
            best = k;
    return best;
}

chooser_t following_loosely(const std::vector<action_t> &list)
{
    auto next = std::make_shared<std::size_t>(0);
    return [list, next](const decision_t &d) {
        for (; *next < list.size(); ++*next)
            for (std::size_t k = 0; k < d.actions.size(); k++)
                if (d.actions[k] == list[*next]) {
                    ++*next;
                    return static_cast<int>(k);
                }
        return kStop;
    };
}

chooser_t replaying(const std::vector<action_t> &choices)
{
    return [choices](const decision_t &d) {
        if (d.turn >= static_cast<int>(choices.size()))
            return -1;
        for (std::size_t k = 0; k < d.actions.size(); k++)
            if (d.actions[k] == choices[static_cast<std::size_t>(d.turn)])
                return static_cast<int>(k);
        return -1;
    };
}

}  // namespace interleave
