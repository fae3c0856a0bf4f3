#include "report.h"
#include "symbols.h"
#include "build.h"
#include "schedule.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <sys/wait.h>

namespace interleave {
namespace {

constexpr const char *kPlain = "\033[0m";
constexpr std::size_t kWidth = 80;     // every line interleave prints fits in this many columns
constexpr std::size_t kNameMost = 24;  // a thread's name in the replay's column, at most

// A string of JSON: a text from elsewhere (the program's name, its standard error) is
// first made visible, so that what is written is UTF-8 whatever bytes it held; but a line
// break is JSON's own \n, which a script reads back as one (a compiler's messages come in
// lines).
std::string quoted(const std::string &text)
{
    std::string q = "\"";
    for (std::size_t from = 0;;) {
        const std::size_t end = text.find('\n', from);
        for (char c : visible(text.substr(from, end == std::string::npos ? std::string::npos : end - from))) {
            if (c == '"' || c == '\\')
                q += '\\';
            q += c;
        }
        if (end == std::string::npos)
            break;
        q += "\\n";
        from = end + 1;
    }
    return q + "\"";
}

std::string spaces(std::size_t n)
{
    return std::string(n, ' ');
}

// Where to cut a text to keep at most `most` bytes, not within a character of UTF-8.
std::size_t cut_at(const std::string &text, std::size_t most)
{
    std::size_t at = std::min(most, text.size());
    while (at > 1 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80)
        at--;
    return at;
}

}  // namespace

const char *const kRed = "\033[31m", *const kBold = "\033[1m", *const kDim = "\033[2m";

std::string paint(const screen_t &screen, const std::string &text, const char *colour)
{
    return screen.colours ? colour + text + kPlain : text;
}

std::vector<std::string> wrap(const std::string &text, std::size_t first, std::size_t rest)
{
    std::vector<std::string> lines;
    std::istringstream words(visible(text));
    std::string line = spaces(first), word;
    std::size_t indent = first;
    while (words >> word) {
        if (line.size() > indent && line.size() + 1 + word.size() > kWidth) {
            lines.push_back(line);
            line = spaces(indent = rest);
        }
        // A word longer than a whole line (a path) is cut where it must be.
        while (line.size() == indent && indent + word.size() > kWidth) {
            const std::size_t room = cut_at(word, std::max<std::size_t>(kWidth - indent, 10));
            lines.push_back(line + word.substr(0, room));
            word.erase(0, room);
            line = spaces(indent = rest);
        }
        if (!word.empty())
            line += (line.size() > indent ? " " : "") + word;
    }
    if (line.size() > indent || lines.empty())
        lines.push_back(line);
    return lines;
}

void say(const screen_t &screen, const std::string &text, std::size_t first, std::size_t rest, const char *colour)
{
    for (const std::string &line : wrap(text, first, rest))
        std::printf("%s\n", colour == nullptr ? line.c_str() : paint(screen, line, colour).c_str());
}

void complain(const std::string &text, const std::vector<std::string> &details)
{
    std::istringstream paragraphs("interleave: " + text);
    for (std::string paragraph; std::getline(paragraphs, paragraph);) {
        if (paragraph.starts_with("  ")) {
            std::fprintf(stderr, "%s\n", visible(paragraph).c_str());
            continue;
        }
        for (const std::string &line : wrap(visible(paragraph), 0, 2))
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    for (const std::string &detail : details)
        for (const std::string &line : wrap(visible(detail), 2, 4))
            std::fprintf(stderr, "%s\n", line.c_str());
}

void print_fault(const screen_t &screen, const fault_report_t &fault)
{
    say(screen, "turn " + std::to_string(fault.turn) + ": " + fault.headline, 0, 2, kRed);
    for (const std::string &line : fault.details) {
        // A quoted standard error keeps its own lines and their indent.
        const std::size_t own = line.find_first_not_of(' ');
        say(screen, line, 2 + (own == std::string::npos ? 0 : own), 4 + (own == std::string::npos ? 0 : own), nullptr);
    }
}

std::string rules_of(const target_t &target)
{
    return target.demo ? "judged by " + std::string(watch::name_of(*target.demo)) + "'s rules"
                       : "judged for deadlocks, crashes, misuse and how it ends";
}

void show(const screen_t &screen, const run_result_t &run)
{
    std::size_t width = 6;
    for (const std::string &name : run.names)
        width = std::max(width, std::min(name.size(), kNameMost));
    const std::size_t does_at = 5 + 3 + width + 2;  // turn, switch mark, name
    std::printf("%s\n", paint(screen, " turn   " + std::string("thread") + spaces(width - 6) + "  does", kBold).c_str());
    const std::vector<std::vector<shown_t>> lines = shown_lines(run);
    std::string err_line;
    for (std::size_t k = 0; k < run.turns.size(); k++) {
        const turn_t &turn = run.turns[k];
        std::string name = run.names[static_cast<std::size_t>(turn.thread)];
        if (name.size() > kNameMost)
            name = name.substr(0, kNameMost - 3) + "...";
        char head[32];
        std::snprintf(head, sizeof head, "%5zu %c ", k + 1, turn.switched ? '*' : ' ');
        const std::string does = (turn.call == call_t::output && turn.action.how == 'r' ? writes(turn) : turn.does) +
                                 (turn.where.empty() ? "" : " at " + turn.where);
        std::vector<std::string> said = wrap(does, does_at, does_at);
        said.front().replace(0, does_at, head + name + spaces(width - name.size() + 2));
        for (const std::string &line : said)
            std::printf("%s\n", line.c_str());
        for (const shown_t &line : lines[k]) {
            if (!line.text.empty() || line.broken.empty()) {
                // The line as the program wrote it, made safe to show; one too long for a
                // row goes on in the rows under it.
                std::string rest;
                for (char c : line.text)  // tabs to the next stop of eight, as a terminal shows them
                    rest += c == '\t' ? spaces(8 - rest.size() % 8) : std::string(1, c);
                rest = visible(rest);
                while (rest.size() > kWidth - 4) {
                    const std::size_t piece = cut_at(rest, kWidth - 4);
                    std::printf("  > %s\n", rest.substr(0, piece).c_str());
                    rest.erase(0, piece);
                }
                const std::string text = "  > " + rest;
                const int column = 4 + watch::kColumn;
                const int used = 4 + watch::width(rest);
                const std::string note = line.unfinished ? "(its end of line never came)" : line.note;
                // The note beside the line where there is room (as tracewatch writes it), or
                // under it; wrapped at the same column either way.
                const bool beside = !note.empty() && used + 2 <= column;
                if (!beside)
                    std::printf("%s\n", text.c_str());
                const std::vector<std::string> parts =
                    note.empty() ? std::vector<std::string>{}
                                 : wrap(note, static_cast<std::size_t>(column), static_cast<std::size_t>(column));
                for (std::size_t p = 0; p < parts.size(); p++)
                    std::printf("%s%s\n", p == 0 && beside ? (text + spaces(static_cast<std::size_t>(column - used))).c_str()
                                                            : spaces(static_cast<std::size_t>(column)).c_str(),
                                paint(screen, parts[p].substr(static_cast<std::size_t>(column)), kDim).c_str());
            }
            for (const std::string &broken : line.broken)
                say(screen, broken, 4, 6, kRed);
        }
        // Standard error, as stdout, in whole lines under the turn that ended them.
        for (char c : turn.err) {
            if (c != '\n') {
                err_line += c;
                continue;
            }
            say(screen, "! " + err_line, 2, 6, nullptr);
            err_line.clear();
        }
        if (k + 1 == run.turns.size() && !err_line.empty())
            say(screen, "! " + err_line, 2, 6, nullptr);
        if (turn.changed) {
            // Who holds what, under the turn, when it changed.
            std::string line = spaces(does_at);
            std::istringstream items(turn.state.empty() ? "nothing held" : turn.state);
            for (std::string item; std::getline(items, item, ',');) {
                if (item.starts_with(" "))
                    item.erase(0, 1);
                item = visible(item);
                if (line.size() + item.size() + 2 > kWidth && line.size() > does_at) {
                    std::printf("%s\n", paint(screen, line, kDim).c_str());
                    line = spaces(does_at);
                }
                if (does_at + item.size() > kWidth) {  // long names: the item on lines of its own
                    for (const std::string &part : wrap(item, does_at, does_at + 2))
                        std::printf("%s\n", paint(screen, part, kDim).c_str());
                    continue;
                }
                line += (line.size() > does_at ? ", " : "") + item;
            }
            if (line.size() > does_at)
                std::printf("%s\n", paint(screen, line, kDim).c_str());
        }
    }
}

namespace {

// How the user could give interleave the program's source: its name, as a C file.
std::string source_guess(const options_t &o)
{
    const std::string &named = o.target.named.empty() ? o.target.program : o.target.named;
    const std::string name = named.substr(named.rfind('/') + 1);
    return shell_word(is_source(name) ? name : name + ".c");
}

}  // namespace

bool exhausted(const search_t &s)
{
    return !s.covered.empty() && s.covered.back().complete;
}

bool proved(const search_t &s)
{
    return exhausted(s) && !s.fault;
}

bool proof(const search_t &s)
{
    return proved(s) && s.accesses && !s.weak && !s.mapped && !s.others && !s.unlocked && s.library_call.empty() &&
           s.unknown_call.empty() && !s.stream_tries;
}

namespace {

constexpr char kApart = '\x1f';  // between the parts of an outcome's key

// The parts of an outcome's key: its fault, its end, its output.
std::array<std::string, 3> parts_of(const std::string &key)
{
    const std::size_t a = key.find(kApart), b = key.find(kApart, a + 1);
    return {key.substr(0, a), key.substr(a + 1, b - a - 1), key.substr(b + 1)};
}

}  // namespace

std::string outcome_of(const run_result_t &run)
{
    // A fault that stops the run is told by its headline (which signal, which rule); a run
    // that came to its end, by its exit status.
    const fault_t kind = run.fault.kind;
    const bool ended = kind == fault_t::none || kind == fault_t::status || kind == fault_t::race;
    std::string end = "not ended";
    if (ended && run.status && WIFEXITED(*run.status))
        end = "status " + std::to_string(WEXITSTATUS(*run.status));
    else if (ended && run.status && WIFSIGNALED(*run.status))
        end = "signal " + std::to_string(WTERMSIG(*run.status));
    const std::string fault = kind == fault_t::none ? "none" : kind == fault_t::race || kind == fault_t::status
                                                                    ? fault_name(kind)
                                                                    : run.fault.headline;
    return fault + kApart + end + kApart + run.out;
}

void print_summary(const options_t &o, const search_t &s)
{
    const screen_t plain;
    const std::string turns = std::to_string(o.bounds.turns);
    if (o.outcomes) {
        say(plain, "The schedules:", 0, 2, nullptr);
        for (const coverage_t &c : s.covered)
            say(plain, "- " + c.said + ".", 2, 4, nullptr);
        say(plain, "The runs ended in " + plural(static_cast<long>(s.outcomes.size()), "way") + ":", 0, 2, nullptr);
        for (const auto &[key, runs] : s.outcomes) {
            const auto [fault, end, out] = parts_of(key);
            say(plain, "- " + (fault == "none" ? std::string("no fault") : fault) + ", " + end + ", output " + quoted(out) +
                           " (" + plural(runs, "run") + ")",
                2, 4, nullptr);
        }
        return;
    }
    if (proved(s)) {
        std::string said = s.covered.back().said;
        said[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(said[0])));
        if (const std::size_t at = said.find(" of its calls"); at != std::string::npos && s.accesses)
            said.replace(at, 13, " of its calls and memory accesses");
        if (!s.accesses) {
            // Said at once, where a teacher reads first: what a plain build leaves out.
            say(plain,
                said + "; none breaks a rule. Not a proof: memory between the calls was not watched, so a data "
                       "race there would not be seen.",
                0, 2, nullptr);
            say(plain,
                "Given the program's source (interleave " + source_guess(o) +
                    "), interleave builds it so that every load and store is a turn too, and a search that tries "
                    "every order then is a proof; or build it yourself with interleave-cc.",
                2, 2, nullptr);
        } else if (s.mapped || s.weak || s.others || s.unlocked || !s.library_call.empty() || !s.unknown_call.empty() ||
                   s.stream_tries) {
            say(plain, said + "; none breaks a rule.", 0, 2, nullptr);
            say(plain,
                s.stream_tries
                    ? "Not a proof: a thread tried a stream's lock (ftrylockfile), which another thread's print "
                      "holds for a moment, and a try in such a moment was not tried."
                : !s.library_call.empty()
                    ? "Not a proof: a thread called " + s.library_call +
                          ", where the C library may take descriptors of its own, and which numbers it took, and "
                          "when, was not watched."
                : !s.unknown_call.empty()
                    ? "Not a proof: the program calls " + readable_name(s.unknown_call) +
                          ", a function of the C or C++ library's that interleave neither steers nor knows to touch none "
                          "of the program's memory unwatched, take no descriptor and wait for nothing; what it does was not "
                          "watched."
                : s.unlocked ? "Not a proof: the program uses streams through the C library's unlocked calls "
                             "(fwrite_unlocked, putc_unlocked..., or the code an optimised build writes inline for "
                             "them), which are not turns, so what they do to the stream's buffer is not ordered "
                             "against the other threads' use of it."
                : s.others ? "Not a proof: the program started another program (system, popen, posix_spawn, an exec), "
                           "which ran on its own: interleave does not order what that program does against the "
                           "program's turns."
                : s.mapped ? "Not a proof: the program mapped a file into memory and also read or changed files through "
                             "descriptors or names, and interleave does not order the loads and stores of the mapping "
                             "against those."
                           : "Not a proof: atomic operations in an order weaker than sequential consistency ran (relaxed, "
                             "acquire, release), and interleave makes every atomic operation sequentially consistent, so "
                             "the older values such a load may read were not tried.",
                2, 2, nullptr);
        } else {
            say(plain, said + "; none breaks a rule.", 0, 2, nullptr);
            say(plain,
                "That is a proof: the program was built with interleave-cc (or interleave-c++), so every load and "
                "store of its own code and every atomic operation was a turn, as was every signal's arrival, "
                "every read and write of a pipe or file, every call on a file's name, and what the C library's "
                "copies, string copies and prints into a buffer do to the program's memory and its calls to the "
                "environment, strtok, localtime and rand to theirs; and no two threads' accesses raced. What "
                "other code not built so does (a library's, a copy the compiler wrote inline) is one step to it, "
                "and memory that only such code touches is not watched.",
                2, 2, nullptr);
        }
    } else {
        std::string head;
        if (s.cut == 0)
            head = "Nothing found in " + plural(s.runs, "run", "runs") + ": the program came to its end in " +
                   (s.runs == 1 ? "it" : "every one") + ", " + (o.bounds.status == 0 ? "with status 0" : "as it should") + ".";
        else if (s.ended == 0 && o.target.demo)
            head = "Nothing found in " + plural(s.runs, "run", "runs") + " of " + watch::name_of(*o.target.demo) +
                   "'s first " + plural(o.bounds.turns, "turn") + " (it runs until stopped, so every run is cut there).";
        else if (s.ended == 0)
            head = "Nothing found in the first " + plural(o.bounds.turns, "turn") + " of " + plural(s.runs, "run", "runs") +
                   "; none of them came to the program's end, so nothing is known of what comes after" +
                   (o.turns_given ? "." : ": the program may never end.");
        else
            head = "Nothing found in " + plural(s.runs, "run", "runs") + ": " + std::to_string(s.ended) +
                   " came to the program's end, and " + plural(s.cut, "was", "were") + " cut at " + turns +
                   " turns, so nothing is known of what came after in " + (s.cut == 1 ? "it" : "them") + ".";
        say(plain, head, 0, 2, nullptr);
        say(plain, "The schedules:", 2, 2, nullptr);
        for (const coverage_t &c : s.covered)
            say(plain, "- " + c.said + ".", 4, 6, nullptr);
    }
    std::string how = plural(s.turns, "turn", "turns") + " in all, in " + std::to_string(static_cast<int>(s.seconds + 0.5)) + " s.";
    if (s.out_of_time)
        how += " The time limit (" + std::to_string(static_cast<int>(o.seconds)) + " s) ended the search.";
    say(plain, how, 2, 2, nullptr);
    if (!proved(s) && s.accesses)
        say(plain,
            "Memory accesses were turns (the program was built with interleave-cc or interleave-c++), and no two "
            "threads' accesses raced in these runs. This is a search within its bounds, not a proof.",
            2, 2, nullptr);
    else if (!proved(s))
        say(plain,
            "Not seen: threads switch only at the calls interleave steers, so whatever they do to memory between "
            "two calls is one step to it. This is a search within its bounds, not a proof.",
            2, 2, nullptr);
    if (!s.tested.empty()) {
        std::printf("  %s's rules:\n", watch::name_of(*o.target.demo));
        for (const auto &[name, runs] : s.tested) {
            say(plain, name, 4, 6, nullptr);
            std::printf("      %s\n", runs == 0 ? "never put to the test"
                                                 : ("put to the test in " + plural(runs, "run", "runs")).c_str());
        }
    }
}

int refuse(const std::string &verdict, const std::string &complaint, const std::string &why, bool json)
{
    complain(complaint);
    if (json)
        std::printf("{\"program\": null, \"verdict\": %s, \"why\": %s, \"fault\": null, \"runs\": 0, "
                    "\"runs_ended\": 0, \"runs_cut\": 0, \"complete\": false, \"proof\": false, \"distinct_orders\": null, "
                    "\"seconds\": 0, \"schedule\": null}\n",
                    quoted(verdict).c_str(), quoted(why).c_str());
    return 2;
}

std::string json_of(const options_t &o, const search_t &s)
{
    std::string j = "{";
    j += "\"program\": " + quoted(o.target.named.empty() ? o.target.program : o.target.named);
    const bool cannot = s.fault && !programs_fault(s.fault->kind);
    j += ", \"verdict\": " + quoted(s.stopped_by != 0 ? "stopped" : !s.fault ? "nothing found" : cannot ? "cannot steer" : "fault");
    if (s.fault && !cannot) {
        j += ", \"fault\": {\"kind\": " + quoted(fault_name(s.fault->kind)) + ", \"turn\": " + std::to_string(s.fault->turn) +
             ", \"headline\": " + quoted(s.fault->headline) + ", \"details\": [";
        for (std::size_t k = 0; k < s.fault->details.size(); k++)
            j += (k == 0 ? "" : ", ") + quoted(s.fault->details[k]);
        j += "]}";
    } else {
        j += ", \"fault\": null";
    }
    if (cannot)
        j += ", \"why\": " + quoted(s.fault->headline);
    j += ", \"runs\": " + std::to_string(s.runs) + ", \"runs_ended\": " + std::to_string(s.ended) +
         ", \"runs_cut\": " + std::to_string(s.cut) + ", \"turns\": " + std::to_string(s.turns);
    // The orders the summary counts: the search of every distinct order's, where it ran;
    // else those among all the runs.
    long orders = s.orders.empty() ? -1 : static_cast<long>(s.orders.size());
    for (const coverage_t &c : s.covered)
        if (c.orders >= 0) {
            orders = c.orders;
            break;
        }
    j += std::string(", \"complete\": ") + (proved(s) ? "true" : "false") +
         ", \"proof\": " + (proof(s) ? "true" : "false") +
         ", \"distinct_orders\": " + (orders < 0 ? std::string("null") : std::to_string(orders));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", s.seconds);
    j += std::string(", \"seconds\": ") + seconds;
    j += std::string(", \"accesses\": ") + (s.accesses ? "true" : "false");
    j += ", \"schedule\": " + (s.schedule.empty() ? std::string("null") : quoted(s.schedule));
    if (o.outcomes) {
        j += std::string(", \"exhaustive\": ") + (exhausted(s) ? "true" : "false") + ", \"outcomes\": [";
        bool first = true;
        for (const auto &[key, runs] : s.outcomes) {
            const auto [fault, end, out] = parts_of(key);
            j += std::string(first ? "" : ", ") + "{\"fault\": " + quoted(fault) + ", \"end\": " + quoted(end) +
                 ", \"output\": " + quoted(out) + ", \"runs\": " + std::to_string(runs) + "}";
            first = false;
        }
        j += "]";
    }
    j += ", \"rules\": [";
    for (std::size_t k = 0; k < s.tested.size(); k++)
        j += (k == 0 ? "" : ", ") + std::string("{\"rule\": ") + quoted(s.tested[k].first) +
             ", \"runs_tested\": " + std::to_string(s.tested[k].second) + "}";
    j += "]}";
    return j;
}

}  // namespace interleave
