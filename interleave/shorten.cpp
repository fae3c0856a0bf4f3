// Shortening is delta debugging (Zeller and Hildebrandt, 2002) over the turns of a schedule:
// drop one of n stretches of it, and keep the rest if the fault still shows; with none to
// drop, cut the stretches finer, until no single turn can go.
#include "shorten.h"

#include <algorithm>
#include <chrono>
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

// The schedule as it will be saved, replayed turn for turn: the shortest if it shows the
// same fault at its last turn, else the one found, if that shows its fault there.
shortened_t confirmed(const target_t &target, const bounds_t &bounds, const std::vector<action_t> &found,
                      const fault_report_t &fault, shortened_t best, const std::function<bool()> &stop_now)
{
    const auto replay = [&](const std::vector<action_t> &schedule) {
        bounds_t exact = bounds;
        exact.turns = static_cast<int>(schedule.size());
        run_result_t again = run_once(target, exact, replaying(schedule), stop_now);
        judge(target, again);
        best.runs++;
        return again.fault;
    };
    if (best.schedule.size() < found.size()) {
        const fault_report_t shown = replay(best.schedule);
        if (same(shown, fault) && shown.turn == static_cast<int>(best.schedule.size())) {
            best.fault = shown;
            best.replays = true;
            return best;
        }
    }
    const fault_report_t shown = replay(found);
    return {found, fault, best.runs, shown.kind == fault.kind && shown.turn == fault.turn};
}

}  // namespace

shortened_t shorten(const target_t &target, const bounds_t &bounds, const std::vector<action_t> &found,
                    const fault_report_t &fault, const std::function<bool()> &stop_now)
{
    const auto began = std::chrono::steady_clock::now();
    shortened_t best{found, fault, 0};
    // A livelock is its repeated turns, as many as it takes to call it one: none can go.
    if (fault.kind == fault_t::livelock)
        return confirmed(target, bounds, found, fault, best, stop_now);
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
    return confirmed(target, bounds, found, fault, best, stop_now);
}

}  // namespace interleave
