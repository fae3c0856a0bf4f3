// interleave: runs a threaded program again and again under a scheduler of its own, which
// lets one thread (or process) run at a time and decides at every mutex, condition
// variable, semaphore, thread, fork, sleep and write which one goes next. It tries the
// orders of turns that a terminal almost never shows, judges each run, and saves the first
// schedule that breaks a rule so that it can be replayed, turn by turn, at will.
//
// Run:   interleave [OPTION...] PROGRAM [ARG...]       (options before the program)
//        interleave [OPTION...] SOURCE... [-- ARG...]  (built first: counter.c)
//        interleave --replay FILE
//        interleave --step [OPTION...] PROGRAM [ARG...]  (you choose every turn)
//        interleave --step --replay FILE
//        PROGRAM is one of the programs beside interleave (the six that print a trace, or
//        an exercise) or a path; --as says whose rules apply when its name does not.
//        SOURCE is a .c, .cpp, .cc or .cxx file, which interleave builds with interleave-cc
//        (or interleave-c++), unoptimised, and keeps built while it does not change.
//        interleave --help lists the options.
// Watch: a deadlock, with who waits for what and who holds it; a crash; a misuse (a mutex
//        unlocked by a thread that does not hold it); a rule of the demo broken. The
//        replay shows each turn: who ran, what it did, who holds what, the program's output.
//        Exit status: 0 nothing found within the bounds, 1 a fault found (or replayed),
//        2 wrong use, or a program that cannot be steered.
//
// Limits: threads switch only at the calls interleave steers, so whatever they do to memory
// between two calls is invisible to it (the ThreadSanitizer build finds data races).
// "Nothing found" means within the bounds, not a proof.

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

#include "build.h"
#include "options.h"
#include "policy.h"
#include "report.h"
#include "schedule.h"
#include "search.h"
#include "step.h"

namespace {

using interleave::options_t;

constexpr const char *kUsage =
    "usage: interleave [OPTION...] PROGRAM [ARG...]   search for a failing order\n"
    "       interleave [OPTION...] SOURCE... [-- ARG...]   the same, of a program\n"
    "                  built from .c, .cpp, .cc or .cxx files with interleave-cc or\n"
    "                  interleave-c++ -O0 -g -pthread (kept built until they change)\n"
    "       interleave --replay FILE [PROGRAM | SOURCE...]   a schedule turn by turn\n"
    "       interleave --step [OPTION...] PROGRAM [ARG...]     you choose every turn\n"
    "       interleave --step --replay FILE [PROGRAM | SOURCE...]  a turn a key\n"
    "Options come before PROGRAM: what follows it is the program's own; -- ends them.\n"
    "After SOURCE..., only more sources, and the program's own arguments after --.\n"
    "A schedule from someone else runs (or builds) the program it names only if you\n"
    "name it too (PROGRAM, SOURCE...), or type yes when asked; but a program beside\n"
    "interleave with no arguments runs at once.\n"
    "  --as NAME      judge by a demo's rules: dinerspawn, dinerlanes, duetlock,\n"
    "                 stackbell, slotring, pulsewait (a name that begins with one\n"
    "                 and _ says so itself)\n"
    "  --runs N       runs at most (1000)\n"
    "  --seconds N    stop the search after N seconds (60; a demo: 25)\n"
    "  --turns N      cut each run after N turns (a demo: 400; any other program\n"
    "                 runs to its end, and is cut only after 100000)\n"
    "  --stall N      seconds a thread may compute between two calls (10)\n"
    "  --status N     the program's normal exit status (0)\n"
    "  --input N      hand N lines to reads of standard input, then its end (0)\n"
    "  --search WAY   only one way of choosing schedules: orders (every distinct\n"
    "                 order of the calls), departures (the default order, left at\n"
    "                 1, 2... turns), priorities (random priorities); all three in\n"
    "                 turn when not given; or schedules: every schedule, with no\n"
    "                 reduction (a check of a proof, for small programs only)\n"
    "  --outcomes     go on past every fault, and list each distinct way the runs\n"
    "                 ended (a fault, or the exit status and the output)\n"
    "  --seed N       of the random priorities (1)\n"
    "  --save FILE    where a faulty schedule goes (PROGRAM.schedule)\n"
    "  --json         standard output is one JSON object, for a script\n"
    "Exit status: 0 nothing found, 1 a fault found or replayed, 2 wrong use, a\n"
    "program that cannot be steered, not one run over in the time given, or a replay\n"
    "that the program goes another way from; 130 or 143 when Ctrl-C or SIGTERM\n"
    "stopped it (and everything it ran).\n";

bool json;  // --json: even a refusal is one JSON object on standard output

[[noreturn]] void usage(const std::string &why)
{
    interleave::refuse("wrong use", why, why, json);
    std::fprintf(stderr, "%s", kUsage);
    std::exit(2);
}

[[noreturn]] void cannot(const std::string &why)
{
    std::exit(interleave::refuse("cannot steer", why, why, json));
}

// A file named on the command line that is not there to be used: wrong use, with no
// lesson in the options, which are not at fault.
[[noreturn]] void unusable(const std::string &why)
{
    std::exit(interleave::refuse("wrong use", why, why, json));
}

using interleave::folder_of_self;

// The steering library lies beside interleave in a build, and in ../lib once installed.
std::string find_library()
{
    const std::string folder = folder_of_self();
    for (const std::string &path : {folder + "/libinterleave_steer.so", folder + "/../lib/libinterleave_steer.so"})
        if (access(path.c_str(), R_OK) == 0)
            return path;
    cannot("the steering library libinterleave_steer.so is not beside interleave nor in ../lib");
}

// A program named by its sources is built, or found built in the cache, and named by its
// first source from then on: counter.c, in every message and summary, and whose rules
// apply follows from that name (slotring_mine.c is judged as slotring). What the compiler
// says is shown as it wrote it; a source it refuses ends interleave, with nothing explored.
void build_from_sources(options_t &o)
{
    interleave::build_plan_t plan;
    std::string why, log;
    if (!interleave::plan_build(o.target.sources, plan, why))
        std::exit(interleave::refuse("cannot build", why, why, json));
    if (o.target.named.empty())
        o.target.named = o.target.sources.front();
    const interleave::built_t built = interleave::build(plan, log, why);
    if (built == interleave::built_t::cannot)
        std::exit(interleave::refuse("cannot build", why, why, json));
    std::fwrite(log.data(), 1, log.size(), stderr);
    if (built == interleave::built_t::failed) {
        const std::string source = interleave::shell_word(o.target.named);
        std::exit(interleave::refuse("does not compile", source + " does not compile: nothing is explored",
                                     source + " does not compile:\n" + log, json));
    }
    o.target.program = plan.program;
    if (!o.target.demo)
        o.target.demo = watch::demo_of_program(std::filesystem::path(o.target.named).stem().string());
}

// A bare name is a program beside interleave; whose rules apply follows from its name
// unless --as says.
void resolve(options_t &o)
{
    if (!o.target.sources.empty())
        build_from_sources(o);
    std::string &program = o.target.program;
    if (program.empty())
        usage("the program's name is empty");
    if (o.target.named.empty())
        o.target.named = program;
    const std::string base = program.substr(program.rfind('/') + 1);
    if (!o.target.demo)
        o.target.demo = watch::demo_of_program(base);
    if (program.find('/') == std::string::npos)
        program = folder_of_self() + "/" + program;
    struct stat file {};
    if (stat(program.c_str(), &file) == 0 && S_ISDIR(file.st_mode))
        cannot("cannot run " + interleave::shell_word(o.target.named) + ": it is a folder");
    if (access(program.c_str(), X_OK) != 0) {
        const std::string error = std::strerror(errno);
        cannot("cannot run " + interleave::shell_word(o.target.named) + ": " + error +
               (o.target.named.find('/') == std::string::npos && access(o.target.named.c_str(), X_OK) == 0
                    ? " (a name without a / is a program beside interleave; ./" + o.target.named + " is the one here)"
                    : ""));
    }
    std::string why;
    if (!interleave::steerable(program, why))
        cannot("cannot steer " + interleave::shell_word(o.target.sources.empty() ? program : o.target.named) + ": " + why);
    o.target.library = find_library();
    if (!o.turns_given)
        o.bounds.turns = o.target.demo ? interleave::kTurnsOfADemo : interleave::kTurnsOfAnyProgram;
    if (!o.seconds_given && o.target.demo)
        o.seconds = interleave::kSecondsOfADemo;
}

long number(const char *text, long low, long high, const std::string &what)
{
    char *end;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || n < low || n > high)
        usage(what + " must be a number from " + std::to_string(low) + " to " + std::to_string(high));
    return n;
}

// The options that take a value, the word after them.
bool takes_value(const std::string &flag)
{
    constexpr std::array<std::string_view, 11> valued = {"--as",    "--save",  "--replay", "--runs",  "--seconds", "--turns",
                                                         "--stall", "--status", "--input", "--search", "--seed"};
    return std::find(valued.begin(), valued.end(), flag) != valued.end();
}

// Sources from argv[i] on: nothing but sources, then the program's arguments after --,
// where `arguments` allows them.
void read_sources(options_t &o, int argc, char *argv[], int i, bool arguments)
{
    for (; i < argc; i++) {
        const std::string word = argv[i];
        if (word == "--") {
            if (!arguments)
                usage("--replay takes no arguments for the program: the schedule names them");
            o.target.args.assign(argv + i + 1, argv + argc);
            return;
        }
        if (!interleave::is_source(word))
            usage(interleave::shell_word(word) + " follows a source, and is not one (.c, .cpp, .cc, .cxx): the "
                  "program's arguments go after --, as in  interleave counter.c -- 3");
        if (const std::string why = interleave::unusable_source(word); !why.empty())
            unusable("cannot build from " + interleave::shell_word(word) + ": " + why);
        o.target.sources.push_back(word);
    }
}

options_t read_options(int argc, char *argv[])
{
    options_t o;
    o.self = argv[0];
    // A script that asked for JSON gets it for a refusal of any of the options too.
    for (int k = 1; k < argc && std::strncmp(argv[k], "--", 2) == 0 && std::strcmp(argv[k], "--") != 0; k++) {
        json = json || std::strcmp(argv[k], "--json") == 0;
        k += takes_value(argv[k]);
    }
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; i++) {
        const std::string flag = argv[i];
        if (flag == "--") {
            i++;
            break;
        }
        if (flag == "--help") {
            std::printf("%s", kUsage);
            std::exit(std::fflush(stdout) == 0 ? 0 : 2);
        }
        if (flag == "--step" || flag == "--json" || flag == "--outcomes") {
            (flag == "--step" ? o.step : flag == "--json" ? o.json : o.outcomes) = true;
            continue;
        }
        if (!takes_value(flag))
            usage("unknown option " + flag);
        if (i + 1 >= argc)
            usage(flag + " needs a value");
        const char *value = argv[++i];
        if (flag == "--as") {
            o.target.demo = watch::demo_named(value);
            if (!o.target.demo)
                usage(std::string(value) + " is not one of the six");
        } else if (flag == "--save") {
            o.save = value;
            if (o.save.empty())
                usage("--save needs a file name");
        } else if (flag == "--replay") {
            o.replay = value;
        } else if (flag == "--runs") {
            o.runs = static_cast<int>(number(value, 1, 10000000, "--runs"));
        } else if (flag == "--seconds") {
            o.seconds = static_cast<double>(number(value, 1, 1000000, "--seconds"));
            o.seconds_given = true;
        } else if (flag == "--turns") {
            o.bounds.turns = static_cast<int>(number(value, 1, 100000000, "--turns"));
            o.turns_given = true;
        } else if (flag == "--stall") {
            o.bounds.stall = static_cast<double>(number(value, 1, 100000, "--stall"));
        } else if (flag == "--status") {
            o.bounds.status = static_cast<int>(number(value, 0, 255, "--status"));
        } else if (flag == "--input") {
            o.target.input_lines = static_cast<int>(number(value, 0, 1000, "--input"));
        } else if (flag == "--search") {
            o.search = value;
            if (!interleave::known_search(o.search))
                usage(o.search + " is not a way of searching: orders, departures, priorities or schedules");
        } else {  // --seed, the last of them
            o.seed = static_cast<unsigned>(number(value, 0, INT_MAX, "--seed"));
        }
    }
    if ((!o.replay.empty() || o.step) && (o.json || o.outcomes))
        usage(std::string(o.json ? "--json" : "--outcomes") + " goes with a search, not with --replay or --step");
    if (!o.replay.empty()) {
        if (i < argc && interleave::is_source(argv[i])) {
            read_sources(o, argc, argv, i, false);
            return o;
        }
        if (i + 1 < argc)
            usage("--replay takes at most a program, or its sources: the schedule names its arguments");
        if (i < argc)
            o.target.program = argv[i];
        return o;
    }
    if (i >= argc)
        usage("which program?");
    if (interleave::is_source(argv[i])) {
        read_sources(o, argc, argv, i, true);
    } else {
        o.target.program = argv[i];
        o.target.args.assign(argv + i + 1, argv + argc);
    }
    resolve(o);
    return o;
}

// Whether the user agrees to what a schedule would do (`does`, then the commands, and the
// question, "Run it?"): typed yes on the terminal.
bool agreed(const std::string &does, const std::string &commands, const std::string &question)
{
    interleave::complain(does + "\n  " + commands);
    std::fprintf(stderr, "%s Type yes to run it: ", question.c_str());
    std::fflush(stderr);
    char answer[16] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr)
        return false;
    return std::string(answer) == "yes\n";
}

// A schedule read back, with its program found as a search would find it; the rules are
// the ones saved with it, and no others. A schedule is data from someone else: the program
// it names runs only if it is one beside interleave with no arguments, or if the user
// names it on the command line, or agrees on a terminal to the command it shows.
std::vector<interleave::action_t> load(const std::string &path, options_t &o)
{
    std::string why;
    const std::optional<interleave::schedule_t> s = interleave::load_schedule(path, why);
    if (!s)
        cannot(why);
    o.target.args = s->args;
    o.target.demo = s->demo;
    o.target.input_lines = s->input_lines;
    o.bounds.spurious = s->spurious;
    o.bounds.status = s->status;
    if (o.target.program.empty() && o.target.sources.empty() && !s->sources.empty()) {
        // Sources are a program too: built and run only as a program path would be run.
        for (const std::string &source : s->sources) {
            o.target.sources.push_back(interleave::source_from(path, source));
            if (const std::string why = interleave::unusable_source(o.target.sources.back()); !why.empty())
                cannot(interleave::shell_word(path) + " is built from " + interleave::shell_word(o.target.sources.back()) +
                       ": " + why);
        }
        interleave::build_plan_t plan;
        if (!interleave::plan_build(o.target.sources, plan, why))
            cannot(why);
        const std::string commands = interleave::build_command(plan) + "\n  " + interleave::command_line(plan.program, s->args);
        if (!isatty(0))
            cannot(interleave::shell_word(path) + " builds and runs sources you have not named:\n  " + commands +
                   "\nName them to run them:\n  " + interleave::command_line(o.self, {"--replay", path, "SOURCE..."}));
        if (!agreed(interleave::shell_word(path) + " builds and runs", commands, "Build it and run it?"))
            cannot("not run");
    } else if (o.target.program.empty() && o.target.sources.empty()) {
        const bool beside = s->program.find('/') == std::string::npos;
        o.target.program = interleave::program_from(path, s->program);
        o.target.named = o.target.program;
        const std::string command = interleave::command_line(o.target.program, s->args);
        if (!beside || !s->args.empty()) {
            if (!isatty(0))
                cannot(interleave::shell_word(path) + " runs a program you have not named:\n  " + command +
                       "\nName it to run it:\n  " + interleave::command_line(o.self, {"--replay", path, "PROGRAM"}));
            if (!agreed(interleave::shell_word(path) + " runs", command, "Run it?"))
                cannot("not run");
        }
    }
    o.turns_given = true;
    const auto demo = o.target.demo;
    resolve(o);
    o.target.demo = demo;
    return s->turns;
}

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

}  // namespace

int main(int argc, char *argv[])
{
    open_standard_streams();
    // A launcher may have left SIGCHLD ignored: the kernel would then reap the program
    // itself, and its exit status would be lost.
    signal(SIGCHLD, SIG_DFL);
    options_t o = read_options(argc, argv);
    const interleave::screen_t screen{isatty(1) && std::getenv("NO_COLOR") == nullptr};
    // Whatever a run leaves behind when its first process ends becomes ours, to end and reap.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (!o.replay.empty()) {
        options_t loaded = o;
        const std::vector<interleave::action_t> choices = load(o.replay, loaded);
        loaded.replay = o.replay;
        if (o.step)
            return interleave::play(loaded.target, loaded.bounds, choices, o.save.empty() ? o.replay : o.save, o.self);
        interleave::stop_on_signals();
        return written(interleave::replay(loaded, choices, screen));
    }
    // Where a fault's schedule would go is looked at before the search, not after it.
    const std::string path = o.save.empty() ? interleave::default_path(o) : o.save;
    if (std::string why; !interleave::may_save(path, why))
        return interleave::refuse("not saved", "the schedule could not be saved: " + why, why, json);
    if (o.step)
        return interleave::play(o.target, o.bounds, {}, path, o.self);
    interleave::stop_on_signals();
    return written(interleave::search(o, screen));
}
