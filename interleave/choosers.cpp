#include "choosers.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <random>

namespace interleave {

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
    // A thread that backs off (its try failed, it yielded) lets the others go first, until
    // someone changes something; then it goes first, as a woken thread would: so threads
    // that back off from each other take turns in an order in which one gets through.
    for (int woken : d.woken)
        for (int k : candidates)
            if (actions[static_cast<std::size_t>(k)].thread == woken)
                return k;
    const auto backs_off = [&](int k) { return d.backing_off.contains(actions[static_cast<std::size_t>(k)].thread); };
    if (!std::all_of(candidates.begin(), candidates.end(), backs_off))
        std::erase_if(candidates, backs_off);
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

chooser_t following(const plan_t &plan)
{
    return [plan](const decision_t &d) {
        for (const auto &[at, wanted] : plan.deviations)
            if (at == d.turn)
                for (std::size_t k = 0; k < d.actions.size(); k++)
                    if (d.actions[k] == wanted)
                        return static_cast<int>(k);
        return by_default(d);
    };
}

chooser_t at_random(unsigned seed)
{
    auto rng = std::make_shared<std::mt19937>(seed);
    return [rng](const decision_t &d) {
        std::vector<int> usual, rare;
        for (std::size_t k = 0; k < d.actions.size(); k++)
            (d.actions[k].how == 't' || d.actions[k].how == 's' ? rare : usual).push_back(static_cast<int>(k));
        std::vector<int> &from = usual.empty() || (!rare.empty() && (*rng)() % 10 == 0) ? rare : usual;
        return from[(*rng)() % from.size()];
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
