#include "search.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>

#include "choosers.h"
#include "report.h"
#include "schedule.h"

namespace interleave {
namespace {

constexpr int kDeviations = 2;  // systematic schedules switch at most this many times more than they must

double since(std::chrono::steady_clock::time_point started)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

void count_tests(search_t &s, const run_result_t &run)
{
    for (const auto &[name, count] : run.tested) {
        auto it = std::find_if(s.tested.begin(), s.tested.end(), [&](const auto &t) { return t.first == name; });
        if (it == s.tested.end())
            s.tested.push_back({name, count > 0});
        else
            it->second += count > 0;
    }
}

// The runs that switch once more than `plan`, after its last switch, within the window.
void plans_after(std::deque<plan_t> &plans, const plan_t &plan, const run_result_t &run)
{
    if (static_cast<int>(plan.deviations.size()) >= kDeviations)
        return;
    const int from = plan.deviations.empty() ? 0 : plan.deviations.back().first + 1;
    for (int turn = from; turn < static_cast<int>(run.choosable.size()); turn++)
        for (const action_t &other : run.choosable[static_cast<std::size_t>(turn)])
            if (!(other == run.choices[static_cast<std::size_t>(turn)])) {
                plan_t next = plan;
                next.deviations.push_back({turn, other});
                plans.push_back(next);
            }
}

int cannot_steer(const options_t &o, search_t &s, const fault_report_t &fault)
{
    s.fault = fault;
    if (o.json) {
        std::printf("%s\n", json_of(o, s).c_str());
        return 2;
    }
    std::fprintf(stderr, "interleave: cannot steer %s: %s\n", o.target.program.c_str(), fault.headline.c_str());
    for (const std::string &line : fault.details)
        std::fprintf(stderr, "  %s\n", line.c_str());
    return 2;
}

}  // namespace

std::string default_path(const options_t &o)
{
    return o.target.program.substr(o.target.program.rfind('/') + 1) + ".schedule";
}

int search(const options_t &o, const screen_t &screen)
{
    const auto started = std::chrono::steady_clock::now();
    if (!o.json) {
        std::printf("interleave: %s,\n  %s; up to %d runs, each %s\n", o.target.program.c_str(), rules_of(o.target).c_str(),
                    o.runs,
                    o.turns_given || o.target.demo
                        ? ("cut after " + std::to_string(o.bounds.turns) + " turns").c_str()
                        : ("to the program's end (or " + std::to_string(o.bounds.turns) + " turns)").c_str());
        std::fflush(stdout);
    }
    bounds_t bounds = o.bounds;
    bounds.details = o.target.demo.has_value();  // the demos' rules judge each turn
    std::deque<plan_t> plans{plan_t{}};
    search_t s;
    for (int k = 0; k < o.runs; k++) {
        if (k > 0 && since(started) >= o.seconds) {
            s.out_of_time = true;
            break;
        }
        const bool by_plan = !plans.empty() && (k % 2 == 0 || s.random >= o.runs / 2);
        plan_t plan;
        std::string how;
        chooser_t choose;
        if (by_plan) {
            plan = plans.front();
            plans.pop_front();
            s.systematic++;
            how = plan.deviations.empty() ? "the default order"
                                          : "the default order, switching " +
                                                std::string(plan.deviations.size() == 1 ? "once" : "twice") + " more";
            choose = following(plan);
        } else {
            const unsigned seed = o.seed + static_cast<unsigned>(s.random++);
            how = "random, seed " + std::to_string(seed);
            choose = at_random(seed);
        }
        run_result_t run = run_once(o.target, bounds, choose);
        judge(o.target, run);
        s.runs++;
        s.turns += static_cast<long>(run.choices.size());
        s.ended += run.status.has_value();
        s.cut += run.cut;
        if (run.fault.kind == fault_t::unsteerable) {
            s.seconds = since(started);
            return cannot_steer(o, s, run.fault);
        }
        if (run.fault.kind != fault_t::none) {
            // Found. The schedule ends where the fault showed; run by it once more, to be
            // sure that it shows the same way.
            std::vector<action_t> schedule(run.choices.begin(),
                                           run.choices.begin() + std::min<long>(run.fault.turn, static_cast<long>(run.choices.size())));
            bounds_t again_bounds = o.bounds;
            again_bounds.turns = static_cast<int>(schedule.size());
            run_result_t again = run_once(o.target, again_bounds, replaying(schedule));
            judge(o.target, again);
            s.seconds = since(started);
            s.fault = run.fault;
            s.found_by = "run " + std::to_string(k + 1) + " of " + std::to_string(o.runs) + " (" + how + ")";
            const bool same = again.fault.kind == run.fault.kind && again.fault.turn == run.fault.turn;
            if (same) {
                const std::string path = !o.save.empty() ? o.save : default_path(o);
                if (!save_schedule(path, o.target, o.bounds, schedule)) {
                    std::fprintf(stderr, "interleave: cannot write the schedule to %s: %s\n", path.c_str(), std::strerror(errno));
                    return 2;
                }
                s.schedule = path;
            }
            if (o.json) {
                std::printf("%s\n", json_of(o, s).c_str());
                return 1;
            }
            std::printf("\n%s: %s\n", s.found_by.c_str(), paint(screen, fault_name(run.fault.kind), kBold).c_str());
            print_fault(screen, run.fault);
            if (!same) {
                std::printf("\nBut replayed by its schedule, the run went another way: the program does something\n"
                            "the scheduler does not steer (a call it does not know, or time it does not keep).\n");
                return 1;
            }
            std::printf("\nThe schedule (%zu turn%s) is saved in %s; see it turn by turn with\n  %s --replay %s\n",
                        schedule.size(), schedule.size() == 1 ? "" : "s", s.schedule.c_str(), o.self.c_str(),
                        s.schedule.c_str());
            return 1;
        }
        if (by_plan)
            plans_after(plans, plan, run);
        count_tests(s, run);
    }
    s.seconds = since(started);
    if (o.json)
        std::printf("%s\n", json_of(o, s).c_str());
    else
        print_summary(o, s);
    return 0;
}

int replay(const options_t &loaded, const std::vector<action_t> &choices, const screen_t &screen)
{
    bounds_t bounds = loaded.bounds;
    bounds.turns = static_cast<int>(choices.size());
    run_result_t run = run_once(loaded.target, bounds, replaying(choices));
    judge(loaded.target, run);
    if (run.fault.kind == fault_t::unsteerable) {
        std::fprintf(stderr, "interleave: cannot steer %s: %s\n", loaded.target.program.c_str(), run.fault.headline.c_str());
        return 2;
    }
    std::printf("interleave: replaying %s: %zu turns of\n  %s,\n  %s\n\n", loaded.replay.c_str(), choices.size(),
                loaded.target.program.c_str(), rules_of(loaded.target).c_str());
    show(screen, run);
    std::printf("\n");
    if (run.fault.kind == fault_t::diverged) {
        const action_t wanted = choices[run.turns.size()];
        std::printf("turn %zu: the schedule says %s goes on here, and it cannot: the program is not the one\n"
                    "  the schedule was saved for (was it changed since?). The replay stops.\n",
                    run.turns.size() + 1,
                    wanted.thread < static_cast<int>(run.names.size())
                        ? run.names[static_cast<std::size_t>(wanted.thread)].c_str()
                        : ("thread " + std::to_string(wanted.thread)).c_str());
        return 2;
    }
    if (run.fault.kind == fault_t::none) {
        if (run.turns.size() < choices.size())
            std::printf("The program ended at turn %zu, before the schedule's end (turn %zu): it is not the one\n"
                        "  the schedule was saved for.\n", run.turns.size(), choices.size());
        else
            std::printf("The schedule ends here; no fault showed.\n");
        return run.turns.size() < choices.size() ? 2 : 0;
    }
    print_fault(screen, run.fault);
    return 1;
}

}  // namespace interleave
