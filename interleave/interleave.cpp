// interleave: runs a threaded program again and again under a scheduler of its own, which
// lets one thread (or process) run at a time and decides at every mutex, condition
// variable, semaphore, thread, fork, sleep and write which one goes next. It tries the
// orders of turns that a terminal almost never shows, judges each run, and saves the first
// schedule that breaks a rule so that it can be replayed, turn by turn, at will.
//
// Run:   interleave [--as NAME] [--save FILE] [--runs N] [--turns N] [--input N]
//                   [--seed N] PROGRAM [ARG...]
//        interleave --replay FILE
//        interleave --step [--as NAME] [--save FILE] [--input N] PROGRAM [ARG...]
//        interleave --step --replay FILE      (you choose every turn)
//        PROGRAM is one of the programs beside interleave (the six that print a trace, or
//        an exercise) or a path; --as says whose rules apply when its name does not.
// Watch: a deadlock, with who waits for what and who holds it; a crash; a misuse (a mutex
//        unlocked by a thread that does not hold it); a rule of the demo broken. The
//        replay shows each turn: who ran, what it did, who holds what, the program's output.
//        Exit status: 0 nothing found within the bounds, 1 a fault found (or replayed),
//        2 wrong use, or a program that cannot be steered.
//
// Limits: threads switch only at the calls interleave steers, so a data race between two
// such calls is invisible to it (the ThreadSanitizer build finds those). "Nothing found"
// means within the bounds, not a proof.

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

#include "run.h"
#include "schedule.h"
#include "step.h"

namespace {

using interleave::action_t;
using interleave::fault_t;
using interleave::run_result_t;

constexpr int kWindow = 60;      // the systematic search switches threads within these first turns
constexpr int kDeviations = 2;   // at most this many times more than the program must
constexpr const char *kDim = "\033[2m", *kRed = "\033[31m", *kBold = "\033[1m", *kPlain = "\033[0m";

struct options_t {
    std::string self;  // how interleave was called, for the replay command it prints
    interleave::target_t target;
    interleave::bounds_t bounds;
    int runs = 1000;
    unsigned seed = 1;
    std::string save;    // where a faulty schedule goes
    std::string replay;  // a schedule to replay
    bool step = false;   // the learner chooses every turn
};

[[noreturn]] void usage(const std::string &why)
{
    std::fprintf(stderr, "interleave: %s\n"
                         "usage: interleave [--as NAME] [--save FILE] [--runs N] [--turns N] [--input N]\n"
                         "                  [--seed N] PROGRAM [ARG...]\n"
                         "       interleave --replay FILE\n"
                         "       interleave --step [--as NAME] [--save FILE] [--input N] PROGRAM [ARG...]\n"
                         "       interleave --step --replay FILE\n"
                         "NAME: dinerspawn, dinerlanes, duetlock, stackbell, slotring, pulsewait\n", why.c_str());
    std::exit(2);
}

[[noreturn]] void cannot(const std::string &why)
{
    std::fprintf(stderr, "interleave: %s\n", why.c_str());
    std::exit(2);
}

std::string folder_of_self()
{
    std::array<char, PATH_MAX> self{};
    if (readlink("/proc/self/exe", self.data(), self.size() - 1) <= 0)
        return ".";
    const std::string path = self.data();
    return path.substr(0, path.rfind('/'));
}

// The steering library lies beside interleave in a build, and in ../lib once installed.
std::string find_library()
{
    const std::string folder = folder_of_self();
    for (const std::string &path : {folder + "/libinterleave_steer.so", folder + "/../lib/libinterleave_steer.so"})
        if (access(path.c_str(), R_OK) == 0)
            return path;
    cannot("the steering library libinterleave_steer.so is not beside interleave nor in ../lib");
}

// A bare name is a program beside interleave; whose rules apply follows from its name
// unless --as says.
void resolve(options_t &o)
{
    std::string &program = o.target.program;
    if (program.empty())
        usage("the program's name is empty");
    const std::string base = program.substr(program.rfind('/') + 1);
    if (!o.target.demo)
        o.target.demo = watch::demo_of_program(base);
    if (program.find('/') == std::string::npos)
        program = folder_of_self() + "/" + program;
    if (access(program.c_str(), X_OK) != 0)
        cannot("cannot run " + program + ": " + std::strerror(errno));
    std::string why;
    if (!interleave::steerable(program, why))
        cannot("cannot steer " + program + ": " + why);
    o.target.library = find_library();
}

int number(const char *text, int low, int high, const char *what)
{
    char *end;
    const long n = std::strtol(text, &end, 10);
    if (*end != '\0' || n < low || n > high)
        usage(std::string(what) + " must be a number from " + std::to_string(low) + " to " + std::to_string(high));
    return static_cast<int>(n);
}

options_t read_options(int argc, char *argv[])
{
    options_t o;
    o.self = argv[0];
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--step") {
            o.step = true;
            i--;
            continue;
        }
        if (i + 1 >= argc)
            usage(flag + " needs a value");
        const char *value = argv[i + 1];
        if (flag == "--as") {
            o.target.demo = watch::demo_named(value);
            if (!o.target.demo)
                usage(std::string(value) + " is not one of the six");
        } else if (flag == "--save") {
            o.save = value;
        } else if (flag == "--replay") {
            o.replay = value;
        } else if (flag == "--runs") {
            o.runs = number(value, 1, 10000000, "--runs");
        } else if (flag == "--turns") {
            o.bounds.turns = number(value, 1, 1000000, "--turns");
        } else if (flag == "--input") {
            o.target.input_lines = number(value, 0, 1000, "--input");
        } else if (flag == "--seed") {
            o.seed = static_cast<unsigned>(number(value, 0, INT_MAX, "--seed"));
        } else {
            usage("unknown option " + flag);
        }
    }
    if (!o.replay.empty()) {
        if (i < argc)
            usage("--replay takes no program: the schedule names it");
        return o;
    }
    if (i >= argc)
        usage("which program?");
    o.target.program = argv[i];
    o.target.args.assign(argv + i + 1, argv + argc);
    resolve(o);
    return o;
}

// ---- choosing the next turn ----

// The schedule that switches threads only when it must: the thread that ran last goes on
// while it can, then the next one that can, in the order they were created. A timeout or
// a wake-up without signal happens only when nothing else can.
int by_default(const std::vector<action_t> &actions, int last)
{
    int best = -1;
    for (std::size_t k = 0; k < actions.size(); k++) {
        const action_t &a = actions[k];
        if (a.how == 's' || (a.how == 't' && best >= 0))
            continue;
        if (a.slot == last && a.how != 't')
            return static_cast<int>(k);
        const auto after = [&](int slot) { return (slot - last + 1000) % 1000; };
        if (best < 0 || actions[static_cast<std::size_t>(best)].how == 't' ||
            after(a.slot) < after(actions[static_cast<std::size_t>(best)].slot))
            best = static_cast<int>(k);
    }
    return best;
}

// A systematic schedule: the default one, except at a few turns where another thread (or
// a timeout, or a wake-up with no signal) is chosen instead.
struct plan_t {
    std::vector<std::pair<int, action_t>> deviations;  // turn, what happens there instead
};

interleave::chooser_t following(const plan_t &plan)
{
    return [plan](const std::vector<action_t> &actions, int last, int turn, const interleave::look_t &) {
        for (const auto &[at, wanted] : plan.deviations)
            if (at == turn)
                for (std::size_t k = 0; k < actions.size(); k++)
                    if (actions[k] == wanted)
                        return static_cast<int>(k);
        return by_default(actions, last);
    };
}

// A random schedule: any thread that can go on, with the same chance; now and then a
// timeout or a wake-up with no signal instead, where one can happen.
interleave::chooser_t at_random(unsigned seed)
{
    auto rng = std::make_shared<std::mt19937>(seed);
    return [rng](const std::vector<action_t> &actions, int, int, const interleave::look_t &) {
        std::vector<int> usual, rare;
        for (std::size_t k = 0; k < actions.size(); k++)
            (actions[k].how == 't' || actions[k].how == 's' ? rare : usual).push_back(static_cast<int>(k));
        std::vector<int> &from = usual.empty() || (!rare.empty() && (*rng)() % 10 == 0) ? rare : usual;
        return from[(*rng)() % from.size()];
    };
}

interleave::chooser_t replaying(const std::vector<action_t> &choices)
{
    return [choices](const std::vector<action_t> &actions, int, int turn, const interleave::look_t &) {
        if (turn >= static_cast<int>(choices.size()))
            return -1;
        for (std::size_t k = 0; k < actions.size(); k++)
            if (actions[k] == choices[static_cast<std::size_t>(turn)])
                return static_cast<int>(k);
        return -1;
    };
}

// ---- saying what happened ----

struct screen_t {
    bool colours;
};

std::string paint(const screen_t &screen, const std::string &text, const char *colour)
{
    return screen.colours ? colour + text + kPlain : text;
}

void print_fault(const screen_t &screen, const interleave::fault_report_t &fault)
{
    std::printf("%s\n", paint(screen, "turn " + std::to_string(fault.turn) + ": " + fault.headline, kRed).c_str());
    for (const std::string &line : fault.details)
        std::printf("  %s\n", line.c_str());
}

std::string rules_of(const interleave::target_t &target)
{
    return target.demo ? "judged by " + std::string(watch::name_of(*target.demo)) + "'s rules"
                       : "judged for deadlocks, crashes and misuse (no demo's rules)";
}

// Shows a replayed run turn by turn: who ran and what it did; who holds what, when that
// changed; the program's output as it came, with the rules' notes.
void show(const screen_t &screen, const run_result_t &run)
{
    std::printf("%s\n", paint(screen, " turn thread    does", kBold).c_str());
    for (std::size_t k = 0; k < run.turns.size(); k++) {
        const interleave::turn_t &turn = run.turns[k];
        std::string does = turn.does;
        if (does.size() > 63)
            does = does.substr(0, 60) + "...";
        std::printf("%5zu %-9.9s %s\n", k + 1, run.names[static_cast<std::size_t>(turn.slot)].c_str(), does.c_str());
        for (const interleave::shown_t &line : interleave::output_of(turn)) {
            std::string text = "  > " + line.text;
            if (!line.note.empty())
                text += std::string(static_cast<std::size_t>(std::max(2, watch::kColumn - watch::width(line.text))), ' ') +
                        paint(screen, line.note, kDim);
            std::printf("%s\n", text.c_str());
            for (const std::string &broken : line.broken)
                std::printf("    %s\n", paint(screen, broken, kRed).c_str());
        }
        for (std::size_t from = 0; from < turn.err.size();) {
            const std::size_t nl = turn.err.find('\n', from);
            std::printf("  ! %s\n", turn.err.substr(from, nl == std::string::npos ? std::string::npos : nl - from).c_str());
            from = nl == std::string::npos ? turn.err.size() : nl + 1;
        }
        if (turn.changed && turn.state.empty())
            std::printf("%s\n", paint(screen, "                nothing held", kDim).c_str());
        if (turn.changed && !turn.state.empty()) {
            // Wrapped at 80 columns, under the turn.
            std::string line = "                ";
            std::istringstream items(turn.state);
            for (std::string item; std::getline(items, item, ',');) {
                if (item.starts_with(" "))
                    item.erase(0, 1);
                if (line.size() + item.size() + 2 > 80 && line.size() > 16) {
                    std::printf("%s\n", paint(screen, line, kDim).c_str());
                    line = "                ";
                }
                line += (line.size() > 16 ? ", " : "") + item;
            }
            std::printf("%s\n", paint(screen, line, kDim).c_str());
        }
    }
}

// A schedule read back, with its program found as a search would find it; the rules are
// the ones saved with it, and no others.
std::vector<action_t> load(const std::string &path, options_t &o)
{
    std::string why;
    const std::optional<std::vector<action_t>> choices = interleave::load_schedule(path, o.target, o.bounds, why);
    if (!choices)
        cannot(why);
    const bool had_demo = o.target.demo.has_value();
    resolve(o);
    if (!had_demo)
        o.target.demo.reset();
    return *choices;
}

int replay(const options_t &loaded, const std::vector<action_t> &choices, const screen_t &screen)
{
    interleave::bounds_t bounds = loaded.bounds;
    bounds.turns = static_cast<int>(choices.size());
    run_result_t run = interleave::run_once(loaded.target, bounds, replaying(choices));
    interleave::judge(loaded.target, run);
    std::printf("interleave: replaying %s: %zu turns of\n  %s,\n  %s\n\n", loaded.replay.c_str(), choices.size(),
                loaded.target.program.c_str(), rules_of(loaded.target).c_str());
    show(screen, run);
    std::printf("\n");
    if (run.fault.kind == fault_t::unsteerable)
        cannot(run.fault.headline);
    if (run.fault.kind == fault_t::diverged) {
        const action_t wanted = choices[run.turns.size()];
        std::printf("turn %zu: the schedule says %s goes on here, and it cannot: the program is not the one\n"
                    "  the schedule was saved for (was it changed since?). The replay stops.\n",
                    run.turns.size() + 1,
                    wanted.slot < static_cast<int>(run.names.size()) ? run.names[static_cast<std::size_t>(wanted.slot)].c_str()
                                                                     : ("thread " + std::to_string(wanted.slot)).c_str());
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

// ---- the search ----

// A schedule is saved in the current folder, named after the program.
std::string default_path(const options_t &o)
{
    return o.target.program.substr(o.target.program.rfind('/') + 1) + ".schedule";
}

int search(const options_t &o, const screen_t &screen)
{
    const auto started = std::chrono::steady_clock::now();
    std::printf("interleave: %s,\n  %s:\n"
                "  up to %d runs of at most %d turns each: the schedule that switches threads only\n"
                "  when one must wait, then those that switch once or twice more within the first\n"
                "  %d turns%s, alternating with random schedules\n",
                o.target.program.c_str(), rules_of(o.target).c_str(), o.runs, o.bounds.turns, kWindow,
                o.bounds.spurious > 0 ? " (or wake a waiter with no signal)" : "");
    std::fflush(stdout);
    std::deque<plan_t> plans{plan_t{}};
    long turns = 0;
    int systematic = 0, random = 0;
    std::vector<std::pair<std::string, int>> tested;  // each rule, and the runs that put it to the test
    for (int k = 0; k < o.runs; k++) {
        const bool by_plan = !plans.empty() && (k % 2 == 0 || random >= o.runs / 2);
        plan_t plan;
        std::string how;
        interleave::chooser_t choose;
        if (by_plan) {
            plan = plans.front();
            plans.pop_front();
            systematic++;
            how = plan.deviations.empty() ? "the default schedule"
                                          : "switching " + std::to_string(plan.deviations.size()) + " time" +
                                                (plan.deviations.size() == 1 ? "" : "s") + " more";
            choose = following(plan);
        } else {
            const unsigned seed = o.seed + static_cast<unsigned>(random++);
            how = "random, seed " + std::to_string(seed);
            choose = at_random(seed);
        }
        run_result_t run = interleave::run_once(o.target, o.bounds, choose);
        interleave::judge(o.target, run);
        turns += static_cast<long>(run.turns.size());
        if (run.fault.kind == fault_t::unsteerable)
            cannot("cannot steer " + o.target.program + ": " + run.fault.headline +
                   (run.fault.details.empty() ? "" : "\n  " + run.fault.details.front()));
        if (run.fault.kind != fault_t::none) {
            // Found. The schedule ends where the fault showed; run by it once more, to be
            // sure that it shows the same way.
            std::vector<action_t> schedule(run.choices.begin(),
                                           run.choices.begin() + std::min<long>(run.fault.turn, static_cast<long>(run.choices.size())));
            interleave::bounds_t bounds = o.bounds;
            bounds.turns = static_cast<int>(schedule.size());
            run_result_t again = interleave::run_once(o.target, bounds, replaying(schedule));
            interleave::judge(o.target, again);
            std::printf("\nrun %d of %d (%s): %s\n", k + 1, o.runs, how.c_str(),
                        paint(screen, interleave::kind_name(run.fault.kind), kBold).c_str());
            print_fault(screen, run.fault);
            if (again.fault.kind != run.fault.kind || again.fault.turn != run.fault.turn) {
                std::printf("\nBut replayed by its schedule, the run went another way: the program does something\n"
                            "the scheduler does not steer (a call it does not know, or time it does not keep).\n");
                return 1;
            }
            const std::string path = !o.save.empty() ? o.save : default_path(o);
            if (!interleave::save_schedule(path, o.target, o.bounds, schedule))
                cannot("cannot write the schedule to " + path + ": " + std::strerror(errno));
            std::printf("\nThe schedule (%zu turns) is saved in %s; see it turn by turn with\n  %s --replay %s\n",
                        schedule.size(), path.c_str(), o.self.c_str(), path.c_str());
            return 1;
        }
        // A run without a fault: the next systematic schedules switch once more, after the
        // last switch of this one, within the window.
        if (by_plan && static_cast<int>(plan.deviations.size()) < kDeviations) {
            const int from = plan.deviations.empty() ? 0 : plan.deviations.back().first + 1;
            for (int turn = from; turn < std::min<int>(kWindow, static_cast<int>(run.choosable.size())); turn++)
                for (const action_t &other : run.choosable[static_cast<std::size_t>(turn)])
                    if (!(other == run.choices[static_cast<std::size_t>(turn)])) {
                        plan_t next = plan;
                        next.deviations.push_back({turn, other});
                        plans.push_back(next);
                    }
        }
        for (const auto &[name, count] : run.tested) {
            auto it = std::find_if(tested.begin(), tested.end(), [&](const auto &t) { return t.first == name; });
            if (it == tested.end())
                tested.push_back({name, count > 0});
            else
                it->second += count > 0;
        }
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("\nNothing found in %d runs (%d by the default and systematic schedules, %d random),\n"
                "  %ld turns in all, in %.1f s. Within these bounds there was no deadlock, crash or\n"
                "  misuse%s; that is not a proof.\n",
                o.runs, systematic, random, turns, took, o.target.demo ? ", and no rule broke" : "");
    for (const auto &[name, count] : tested)
        std::printf("  %-11s %s (in %d of the runs)\n", count > 0 ? "held" : "not shown", name.c_str(), count);
    return 0;
}

}  // namespace

// Started with a standard stream closed, we would hand its number to the region or a pipe
// of ours, and the program's stream would take its place: hold all three open first.
void open_standard_streams()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            std::exit(2);
}

// What was said must have reached standard output: a full disk must not pass for a verdict.
int written(int status)
{
    if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
        std::fprintf(stderr, "interleave: could not write to standard output\n");
        return 2;
    }
    return status;
}

int main(int argc, char *argv[])
{
    open_standard_streams();
    // A launcher may have left SIGCHLD ignored: the kernel would then reap the program
    // itself, and its exit status would be lost.
    signal(SIGCHLD, SIG_DFL);
    options_t o = read_options(argc, argv);
    const screen_t screen{isatty(1) && std::getenv("NO_COLOR") == nullptr};
    // Whatever a run leaves behind when its first process ends becomes ours, to end and reap.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (!o.replay.empty()) {
        options_t loaded = o;
        const std::vector<action_t> choices = load(o.replay, loaded);
        loaded.replay = o.replay;
        if (o.step)
            return interleave::play(loaded.target, loaded.bounds, choices, o.save.empty() ? o.replay : o.save, o.self);
        return written(replay(loaded, choices, screen));
    }
    if (o.step)
        return interleave::play(o.target, o.bounds, {}, o.save.empty() ? default_path(o) : o.save, o.self);
    return written(search(o, screen));
}
