// Shortening is delta debugging (Zeller and Hildebrandt, 2002) over the turns of a schedule:
// drop one of n stretches of it, and keep the rest if the fault still shows; with none to
// drop, cut the stretches finer, until no single turn can go.
#include "shorten.h"

#include <chrono>
#include <algorithm>
#include <memory>
#include <set>

#include "choosers.h"

namespace interleave {
namespace {

constexpr int kMostRuns = 600;       // tries, at most
constexpr double kMostSeconds = 10;  // and time

bool same(const fault_report_t &a, const fault_report_t &b)
{
    return a.kind == b.kind && a.headline == b.headline;
}

}  // namespace

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

shortened_t shorten(const target_t &target, const bounds_t &bounds, const std::vector<action_t> &found,
                    const fault_report_t &fault, const std::function<bool()> &stop_now)
{
    const auto began = std::chrono::steady_clock::now();
    shortened_t best{found, fault, 0};
    // A livelock is its repeated turns, as many as it takes to call it one: none can go.
    if (fault.kind == fault_t::livelock)
        return best;
    bounds_t b = bounds;
    b.turns = static_cast<int>(found.size());
    const auto out_of_time = [&] {
        return best.runs >= kMostRuns ||
               std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count() >= kMostSeconds ||
               (stop_now && stop_now());
    };
    // A shorter list that still ends in the fault: the turns its run really took.
    const auto attempt = [&](const std::vector<action_t> &list) {
        best.runs++;
        run_result_t run = run_once(target, b, following_loosely(list), stop_now);
        judge(target, run);
        if (!same(run.fault, fault) || run.fault.turn <= 0)
            return false;
        const auto taken = static_cast<std::size_t>(run.fault.turn);
        if (taken > run.choices.size() || taken >= best.schedule.size())
            return false;
        best.schedule.assign(run.choices.begin(), run.choices.begin() + static_cast<long>(taken));
        best.fault = run.fault;
        return true;
    };
    // A thread's last turns may be what keeps another from its place in the fault (a
    // philosopher who eats takes the fork his neighbour should hold): try each thread with
    // as few of its own turns as will do, the others' turns in the order they had.
    const auto fewer_of_each = [&] {
        bool fewer = true;
        while (fewer && !out_of_time()) {
            fewer = false;
            const std::vector<action_t> now = best.schedule;
            std::set<int> threads;
            for (const action_t &a : now)
                threads.insert(a.thread);
            for (int thread : threads) {
                const auto own = static_cast<std::size_t>(std::ranges::count(now, thread, &action_t::thread));
                for (std::size_t keep = 1; keep < own && !fewer && !out_of_time(); keep++) {
                    std::vector<action_t> rest;
                    std::size_t kept = 0;
                    for (const action_t &a : now)
                        if (a.thread != thread || kept++ < keep)
                            rest.push_back(a);
                    fewer = attempt(rest);
                }
                if (fewer)
                    break;
            }
        }
    };
    fewer_of_each();
    std::size_t parts = 2;
    while (best.schedule.size() >= 2 && !out_of_time()) {
        const std::vector<action_t> now = best.schedule;
        const std::size_t n = now.size();
        parts = std::min(parts, n);
        bool dropped = false;
        for (std::size_t k = 0; k < parts && !dropped && !out_of_time(); k++) {
            const std::size_t from = n * k / parts, to = n * (k + 1) / parts;
            std::vector<action_t> rest(now.begin(), now.begin() + static_cast<long>(from));
            rest.insert(rest.end(), now.begin() + static_cast<long>(to), now.end());
            dropped = attempt(rest);
        }
        if (dropped)
            parts = std::max<std::size_t>(parts - 1, 2);
        else if (parts >= n)
            break;
        else
            parts = std::min(parts * 2, n);
    }
    fewer_of_each();
    // The shortest, replayed as it will be saved.
    if (best.schedule.size() < found.size()) {
        bounds_t exact = bounds;
        exact.turns = static_cast<int>(best.schedule.size());
        run_result_t again = run_once(target, exact, replaying(best.schedule), stop_now);
        judge(target, again);
        best.runs++;
        if (!same(again.fault, fault) || again.fault.turn != static_cast<int>(best.schedule.size()))
            return {found, fault, best.runs};
        best.fault = again.fault;
    }
    return best;
}

}  // namespace interleave
