#include "search.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>

#include "choosers.h"
#include "policy.h"
#include "report.h"
#include "schedule.h"
#include "shorten.h"

namespace interleave {
namespace {

constexpr int kAfterRace = 200;  // runs tried after a race, for one in which it does harm

volatile sig_atomic_t stopped_by;  // the signal that stops the search, or 0

void on_stop(int sig)
{
    stopped_by = sig;
}

bool stopping()
{
    return stopped_by != 0;
}

int stopped(const options_t &o, search_t &s)
{
    s.stopped_by = stopped_by;
    if (o.json) {
        std::printf("%s\n", json_of(o, s).c_str());
        return 128 + stopped_by;
    }
    std::string text = "interleave: stopped by " + std::string(strsignal(stopped_by)) + " after " + plural(s.runs, "run");
    if (s.fault)  // found, and stopped while its schedule was made shorter
        text += ": " + s.found_by + " found a fault (" + s.fault->headline + "), but no schedule of it is saved.";
    else
        text += "; nothing more was tried.";
    std::printf("\n");
    for (const std::string &line : wrap(text, 0, 2))
        std::printf("%s\n", line.c_str());
    return 128 + stopped_by;
}

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

int cannot_steer(const options_t &o, search_t &s, const fault_report_t &fault)
{
    s.fault = fault;
    complain("cannot steer " + shell_word(o.target.named) + ": " + fault.headline, fault.details);
    if (o.json)
        std::printf("%s\n", json_of(o, s).c_str());
    return 2;
}

// A fault: its schedule is made as short as it can be and run once more to be sure it
// shows the same way (shorten does both), saved, and told.
int found(const options_t &o, const screen_t &screen, search_t &s, const run_result_t &run, const std::string &by,
          std::chrono::steady_clock::time_point started)
{
    const std::vector<action_t> first(run.choices.begin(),
                                      run.choices.begin() + std::min<long>(run.fault.turn, static_cast<long>(run.choices.size())));
    const shortened_t shortest = shorten(o.target, o.bounds, first, run.fault, stopping);
    if (stopped_by != 0) {
        s.seconds = since(started);
        s.fault = run.fault;
        s.found_by = by;
        return stopped(o, s);
    }
    const std::vector<action_t> &schedule = shortest.schedule;
    s.seconds = since(started);
    s.fault = shortest.fault;
    s.found_by = by;
    s.found_turns = static_cast<int>(first.size());
    const bool same = shortest.replays;
    if (same) {
        // A schedule that cannot be saved takes nothing from the fault: it is told all the same.
        const std::string path = !o.save.empty() ? o.save : default_path(o);
        if (std::string why; save_schedule(path, o.target, o.bounds, schedule, why))
            s.schedule = path;
        else
            complain("the schedule could not be saved: " + why);
    }
    if (o.json) {
        std::printf("%s\n", json_of(o, s).c_str());
        return 1;
    }
    std::printf("\n");
    say(screen, s.found_by + ": " + fault_name(shortest.fault.kind), 0, 2, kBold);
    print_fault(screen, shortest.fault);
    std::printf("\n");
    if (!same) {
        say(screen, "But replayed by its schedule, the run went another way: the program depends on "
                    "something the schedule does not fix (a call interleave does not steer, its process id, "
                    "a file, the real clock). No schedule is saved.", 0, 2, nullptr);
        return 1;
    }
    const std::string turns = plural(static_cast<long>(schedule.size()), "turn");
    if (s.schedule.empty()) {
        say(screen, "Its schedule (" + turns + ") could not be saved: see why above.", 0, 2, nullptr);
        return 1;
    }
    say(screen, "The schedule (" + turns +
                    (first.size() > schedule.size() ? ", shortened from the " + std::to_string(first.size()) + " of the run that found it"
                                                    : "") +
                    ") is saved in " + s.schedule + "; see it turn by turn with",
        0, 2, nullptr);
    // A command broken over two lines cannot be pasted, so it stands whole on its own line.
    std::printf("  %s\n", command_line(o.self, {"--replay", s.schedule}).c_str());
    return 1;
}

}  // namespace

void stop_on_signals()
{
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &stop, nullptr);
}

std::string default_path(const options_t &o)
{
    return o.target.program.substr(o.target.program.rfind('/') + 1) + ".schedule";
}

int search(const options_t &o, const screen_t &screen)
{
    const auto started = std::chrono::steady_clock::now();
    if (!o.json) {
        say(screen, "interleave: " + o.target.named + ", " + rules_of(o.target) + "; up to " + plural(o.runs, "run") +
                        " or " + std::to_string(static_cast<int>(o.seconds)) + " s, " + (o.runs == 1 ? "" : "each ") +
                        (o.turns_given || o.target.demo ? "cut after " + plural(o.bounds.turns, "turn")
                                                        : "to the program's end (or " + plural(o.bounds.turns, "turn") + ")"),
            0, 2, nullptr);
        std::fflush(stdout);
    }
    std::vector<phase_t> phases = policies(o);
    search_t s;
    std::optional<run_result_t> raced;  // the first run with a race, and no worse fault
    std::string raced_by;
    int raced_at = 0;
    // The time limit holds within a run too: one that it cuts short counts for nothing.
    const auto out_of_time = [&] { return stopped_by != 0 || since(started) >= o.seconds; };
    for (phase_t &phase : phases) {
        policy_t &policy = *phase.policy;
        bounds_t bounds = o.bounds;
        bounds.details = o.target.demo.has_value();  // the demos' rules judge each turn
        bounds.steps = policy.wants_steps();
        bounds.window = policy.window();
        const int runs = phase.share >= 1 ? o.runs : static_cast<int>(std::ceil(o.runs * phase.share));
        chooser_t choose;
        std::string how;
        while (s.runs < runs && since(started) < o.seconds * phase.share && (s.runs == 0 || !out_of_time()) &&
               !(raced && s.runs - raced_at >= kAfterRace) && policy.next(choose, how)) {
            run_result_t run = run_once(o.target, bounds, choose, out_of_time);
            if (stopped_by != 0) {
                s.seconds = since(started);
                return stopped(o, s);
            }
            if (run.stopped && out_of_time()) {  // by the time limit: what it was to try is untried
                s.out_of_time = true;
                break;
            }
            judge(o.target, run);
            s.runs++;
            s.turns += static_cast<long>(run.choices.size());
            s.ended += run.status.has_value();
            s.cut += run.cut;
            s.accesses = s.accesses || run.accesses;
            s.weak = s.weak || run.weak;
            s.mapped = s.mapped || run.mapped;
            s.others = s.others || run.others;
            s.unlocked = s.unlocked || run.unlocked;
            if (s.library_call.empty())
                s.library_call = run.library_call;
            if (s.unknown_call.empty())
                s.unknown_call = run.unknown_call;
            s.stream_tries = s.stream_tries || run.stream_tries;
            if (run.fault.kind == fault_t::unsteerable) {
                s.seconds = since(started);
                return cannot_steer(o, s, run.fault);
            }
            const std::string by = "run " + std::to_string(s.runs) + " of " + std::to_string(o.runs) + " (" + how + ")";
            if (o.outcomes) {
                // Every way the runs end is listed: a fault is one of them, and the search goes on.
                // (A run its chooser stopped early, as it could only repeat an order tried, ends no way.)
                if (!run.stopped)
                    s.outcomes[outcome_of(run)]++;
                if (programs_fault(run.fault.kind) && !s.fault) {
                    s.fault = run.fault;
                    s.found_by = by;
                }
            } else if (programs_fault(run.fault.kind) && run.fault.kind != fault_t::race) {
                return found(o, screen, s, run, by, started);
            }
            // A race is kept while the search looks a little longer for a run in which it
            // does harm (a lost update that the program's own check sees): that run shows
            // why the race matters, and tells of the race too.
            if (run.fault.kind == fault_t::race && !raced && !o.outcomes) {
                raced = run;
                raced_by = by;
                raced_at = s.runs;
            }
            if (!run.stopped)
                if (std::string name = order_name(run); !name.empty())
                    s.orders.insert(std::move(name));
            policy.learn(run);
            count_tests(s, run);
            if (policy.covered().complete)
                break;
        }
        if (policy.runs > 0)
            s.covered.push_back(policy.covered());
        if (policy.covered().complete || s.out_of_time || out_of_time() || (raced && s.runs - raced_at >= kAfterRace))
            break;
    }
    if (raced)
        return found(o, screen, s, *raced, raced_by, started);
    if (s.runs == 0) {
        // Not one run was over: nothing was seen, and nothing may be said of the program.
        const std::string why = "nothing was tried: the time limit (" + std::to_string(static_cast<int>(o.seconds)) +
                                " s) ended the search before its first run was over (--seconds N gives it more)";
        return refuse("not tried", why, why, o.json);
    }
    s.out_of_time = s.out_of_time || (since(started) >= o.seconds);
    s.seconds = since(started);
    if (o.json)
        std::printf("%s\n", json_of(o, s).c_str());
    else
        print_summary(o, s);
    return s.fault ? 1 : 0;
}

int replay(const options_t &loaded, const std::vector<action_t> &choices, const screen_t &screen)
{
    bounds_t bounds = loaded.bounds;
    bounds.turns = static_cast<int>(choices.size());
    bounds.window = 0;
    run_result_t run = run_once(loaded.target, bounds, replaying(choices), stopping);
    if (stopped_by != 0)
        return 128 + stopped_by;
    judge(loaded.target, run);
    if (run.fault.kind == fault_t::unsteerable) {
        complain("cannot steer " + shell_word(loaded.target.named) + ": " + run.fault.headline);
        return 2;
    }
    say(screen, "interleave: replaying " + loaded.replay + ": " + std::to_string(choices.size()) +
                    (choices.size() == 1 ? " turn of " : " turns of ") +
                    command_line(loaded.target.named, loaded.target.args) + ", " + rules_of(loaded.target),
        0, 2, nullptr);
    say(screen, "(* marks a switch where the thread before could have gone on)", 2, 3, nullptr);
    std::printf("\n");
    show(screen, run);
    if (run.turns.size() < run.choices.size())
        say(screen, "(the " + std::to_string(run.choices.size() - run.turns.size()) + " turns after turn " +
                        std::to_string(run.turns.size()) + " are not shown: a replay keeps that many at most)",
            0, 1, nullptr);
    std::printf("\n");
    // Where the program went another way than the schedule says: what is known, and what
    // may be the cause.
    const std::string departed = " It may have been changed since the schedule was saved, or depend on something "
                                 "the schedule does not fix: its process id, a file, the real clock.";
    const std::size_t taken = run.choices.size();
    if (run.fault.kind == fault_t::diverged) {
        const action_t wanted = choices[taken];
        const std::string who = wanted.thread < static_cast<int>(run.names.size())
                                    ? run.names[static_cast<std::size_t>(wanted.thread)]
                                    : "thread " + std::to_string(wanted.thread);
        say(screen, "turn " + std::to_string(taken + 1) + ": the program went another way: the schedule says " +
                        who + " goes on here, and it cannot." + departed + " The replay stops.",
            0, 2, nullptr);
        return 2;
    }
    if (run.fault.kind == fault_t::none) {
        if (taken < choices.size())
            say(screen, "turn " + std::to_string(taken) + ": the program went another way: it ended, where the schedule goes on to turn " +
                            std::to_string(choices.size()) + "." + departed, 0, 2, nullptr);
        else
            say(screen, "The schedule ends here; no fault showed.", 0, 2, nullptr);
        return taken < choices.size() ? 2 : 0;
    }
    print_fault(screen, run.fault);
    return 1;
}

}  // namespace interleave
