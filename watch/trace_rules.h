// The rules that six of the programs exist to show, judged from their output alone: one
// line at a time, with the moment it arrived. tracewatch writes the judgement beside each
// line as the program runs; the tests judge their runs of the programs with the same code.
//
// A verdict says only what the run showed: "held" for a rule that the run put to the test,
// "not shown" for one it never put to the test (nothing was consumed, the run was too
// short), "not judged" where the output cannot tell, and "BROKEN" with the first line that
// broke it.
#pragma once

#include <array>
#include <cstddef>
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
// Whose rules apply to a program by its file name: a demo's own name, or the name and an
// underscore before more (slotring_ahead, a changed slotring).
std::optional<demo_t> demo_of_program(std::string_view file_name);

constexpr int kPhilosophers = 5;
constexpr int kSlots = 5;
// Every pause of these programs lasts at most 4 s. A table where nobody eats, or a list
// where products wait and none is consumed, for three of the longest pauses is stuck.
constexpr double kStuck = 12;
// A line keeps at most this many bytes for judging; every line of the six is far shorter.
constexpr std::size_t kKept = 1024;
// Notes start at this column (or two blanks after a longer line) and fit in 80 columns.
constexpr int kColumn = 22;
constexpr int kNoteWidth = 80 - kColumn;

// One line of output, without its newline, and when it came: `begun` and `at` in seconds
// on a monotonic clock from the start of the watch, `wall` in seconds since the epoch.
struct line_t {
    std::string text;       // its first kKept bytes
    double begun = 0;       // when its first byte arrived
    double at = 0;          // when its newline arrived
    double wall = 0;        // the moment `at` on the wall clock
    std::size_t cut = 0;    // bytes beyond `text` that were not kept
};

enum class rule_id {
    line_format,      // every line is one of the program's own
    fifo,             // slotring
    at_most_five,     // slotring
    was_waiting,      // stackbell
    newest_first,     // stackbell
    keeps_consuming,  // stackbell, slotring: none waits for ever
    five_hello,       // duetlock
    keeps_eating,     // the philosophers: nobody starves the whole table
    both_forks,       // the philosophers, where the holders of the forks are known
    one_holder,       // the same
    ending,           // the five that run until stopped do; duetlock ends well
};

struct rule_t {
    rule_id id;
    std::string name;
    int broken = 0;          // times it broke
    std::string first_where;  // where it first broke: "at line 14", "at 12.0 s", "at the end"
    std::string first_why;
    int tested = 0;          // times the run put it to the test
    std::string not_shown;   // why it was never put to the test
    std::string not_judged;  // why the output cannot tell; empty when it can
};

// What goes beside a line: the state the line implies; and each rule it broke, with why.
struct note_t {
    std::string text;
    std::vector<std::string> broken;  // "BROKEN <rule>: <why>"
};

struct product_t {
    int num;
    double at;  // its produce line's moment
};

// How the run is seen. From its `output` alone (tracewatch, the tests): the moments are
// arrival times in seconds, and who holds what is unknown. As a `schedule` (interleave):
// the moments are the turns at which each thing really happened, in one order, and the
// holder of every fork is known; there is no clock.
enum class seen_t { output, schedule };

// Everything the judge remembers between lines; each program's rules use their own part.
struct watch_t {
    demo_t demo;
    seen_t seen = seen_t::output;
    std::vector<rule_t> rules;
    int lines = 0;
    double last_at = 0;  // the latest moment seen, of a line or of the clock
    bool resumed = false;  // the run was stopped and continued (Ctrl-Z, fg) since the last line
    std::string where;     // where what breaks now breaks (see rule_t::first_where)
    // slotring and stackbell: products announced and not yet consumed, oldest first
    std::vector<product_t> waiting;
    int produced = 0;
    int consumed = 0;
    int lost = 0;                     // slotring: products overwritten in their slot
    std::array<int, kSlots> ring{};   // slotring: the number in each slot, 0 when empty
    int most_waiting = 0;             // slotring: the most ever waiting at once
    int stack_shown = 0;     // stackbell: consumes that took the newest of two or more
    int newest_unclear = 0;  // stackbell: consumes where the times could not tell
    double first_product = -1;  // when the first product was announced
    double quiet_since = 0;     // since when nothing was consumed (or eaten) while it could be
    bool quiet_reported = false;
    // duetlock
    int upper = 0;              // HELLO WORLD lines
    int lower = 0;              // hello world lines
    double longest_wait = 0;    // seconds a whole line's first word waited for its second
    // dinerspawn and dinerlanes
    std::array<int, kPhilosophers> meals{};
    std::array<double, kPhilosophers> last_meal{};  // `at` of each one's latest meal
    std::array<long, kPhilosophers> last_second{};  // its whole wall-clock second
    std::array<unsigned, kPhilosophers> holders{};  // per fork, a bit per holder (bit 5: no philosopher)
    // pulsewait
    double previous_at = -1;
    int deadlines = 0;  // lines that came on a whole second, 4 to 5 s after the one before
    int posts = 0;      // lines that a post brought sooner
};

// How a run ended, as far as the watcher knows.
struct ending_t {
    bool stopped = false;       // stopped from outside (Ctrl-C, --for) before its end
    std::optional<int> status;  // the program's wait status; none when it is not known
    double at = 0;              // when the trace ended
};

watch_t start_watch(demo_t demo, seen_t seen = seen_t::output);
note_t judge_line(watch_t &w, const line_t &line);
// The time is now `at`, and no line came: a rule about a table or a list that stays stuck
// may break. Returns what broke, if anything; `next_look` is when to look again.
note_t judge_quiet(watch_t &w, double at);
double next_look(const watch_t &w);
// Seen as a schedule: philosopher `who` (0 to 4, or -1 for another thread or process) took
// or put back fork `fork`.
note_t fork_taken(watch_t &w, int fork, int who);
void fork_put(watch_t &w, int fork, int who);
// The end of the output: `unfinished` is what came after the last newline.
void judge_end(watch_t &w, const std::string &unfinished, const ending_t &end);
// A whole run at once.
watch_t judge_run(demo_t demo, const std::vector<line_t> &lines, const std::string &unfinished,
                  const ending_t &end);

const rule_t *find_rule(const watch_t &w, rule_id id);
bool all_held(const watch_t &w);           // no rule broken
std::string facts(const watch_t &w);       // what the run showed, on one line
std::string verdict(const rule_t &rule);   // "held ...", "BROKEN ...", "not shown ..."...
std::string summary(const watch_t &w);     // the facts, then one verdict per line

// How far into its wall-clock second a moment lies, 0 to 1.
double into_second(double wall);
// Columns a text takes on a terminal: tabs stop every 8, and only a UTF-8 sequence's first
// byte takes a column.
int width(std::string_view text);

}  // namespace watch
