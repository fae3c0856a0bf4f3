// The rules that six of the programs exist to show, judged from their output alone: one
// line at a time, with the moment it arrived. tracewatch writes the judgement beside each
// line as the program runs; the tests judge their runs of the programs with the same code.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace watch {

enum class demo_t { dinerspawn, dinerlanes, duetlock, stackbell, slotring, pulsewait };
constexpr std::array<demo_t, 6> kDemos = {demo_t::dinerspawn, demo_t::dinerlanes,
                                          demo_t::duetlock,   demo_t::stackbell,
                                          demo_t::slotring,   demo_t::pulsewait};

const char *name_of(demo_t demo);
std::optional<demo_t> demo_named(std::string_view name);

// One line of output, without its newline, and when it came: `begun` and `at` in seconds
// on a monotonic clock, `wall` in seconds since the epoch.
struct line_t {
    std::string text;
    double begun = 0;  // when its first byte arrived
    double at = 0;     // when its newline arrived
    double wall = 0;   // the moment `at` on the wall clock
};

struct rule_t {
    const char *name;
    int broken = 0;      // lines that broke it
    int first_line = 0;  // the first of them, counted from 1
    std::string first_why;
    bool judged = true;  // false for a rule about a run's end, when the run was stopped first
};

// What goes beside a line: the state the line implies, or the rule it broke and why.
struct note_t {
    std::string text;
    bool broken = false;
};

struct product_t {
    int num;
    double at;  // when its produce line arrived
};

constexpr int kPhilosophers = 5;
constexpr int kSlots = 5;

// Everything the judge remembers between lines; each program's rules use their own part.
struct watch_t {
    demo_t demo;
    std::vector<rule_t> rules;
    int lines = 0;
    // slotring and stackbell: products announced and not yet consumed, oldest first
    std::vector<product_t> waiting;
    int consumed = 0;
    int produced = 0;                 // slotring
    std::array<int, kSlots> ring{};   // slotring: the number in each slot, 0 when empty
    int most_waiting = 0;             // slotring: the most ever waiting at once
    int stack_shown = 0;   // stackbell: consumes that took the newest of two or more
    // duetlock
    int upper = 0;              // HELLO WORLD lines
    double longest_wait = 0;    // seconds a whole line's first word waited for its second
    // dinerspawn and dinerlanes
    std::array<int, kPhilosophers> meals{};
    std::array<double, kPhilosophers> last_meal{};  // `at` of each one's latest meal
    std::array<long, kPhilosophers> last_second{};  // its whole wall-clock second
    // pulsewait
    double previous_at = -1;
    int on_second = 0;  // lines that came on a whole second of the clock
};

watch_t start_watch(demo_t demo);
note_t judge_line(watch_t &w, const line_t &line);
// The end of the output: `unfinished` is what came after the last newline; a run that
// `ended_by_itself` was not stopped from outside, so the rules about its end apply.
void judge_end(watch_t &w, const std::string &unfinished, bool ended_by_itself);
// A whole run at once.
watch_t judge_run(demo_t demo, const std::vector<line_t> &lines, const std::string &unfinished,
                  bool ended_by_itself);

bool all_held(const watch_t &w);
std::string facts(const watch_t &w);       // what the run showed, on one line
std::string verdict(const rule_t &rule);   // "held ...", "BROKEN ..." or "not judged ..."
std::string summary(const watch_t &w);     // the facts, then one verdict per line

// How far into its wall-clock second a moment lies, 0 to 1.
double into_second(double wall);

}  // namespace watch
