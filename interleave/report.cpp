#include "report.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace interleave {
namespace {

constexpr const char *kPlain = "\033[0m";

std::string plural(long n, const std::string &one, const std::string &many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string quoted(const std::string &text)
{
    std::string q = "\"";
    for (char c : text) {
        switch (c) {
        case '"': q += "\\\""; break;
        case '\\': q += "\\\\"; break;
        case '\n': q += "\\n"; break;
        case '\t': q += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char code[8];
                std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                q += code;
            } else {
                q += c;
            }
        }
    }
    return q + "\"";
}

// Words that fill lines of at most `width` columns, each line after the first indented.
void print_wrapped(const std::string &text, std::size_t width, const std::string &indent)
{
    std::istringstream words(text);
    std::string line, word;
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            std::printf("%s\n", line.c_str());
            line = indent;
        }
        line += (line.empty() || line == indent ? "" : " ") + word;
    }
    if (!line.empty())
        std::printf("%s\n", line.c_str());
}

}  // namespace

const char *const kRed = "\033[31m", *const kBold = "\033[1m", *const kDim = "\033[2m";

std::string paint(const screen_t &screen, const std::string &text, const char *colour)
{
    return screen.colours ? colour + text + kPlain : text;
}

void print_fault(const screen_t &screen, const fault_report_t &fault)
{
    std::printf("%s\n", paint(screen, "turn " + std::to_string(fault.turn) + ": " + fault.headline, kRed).c_str());
    for (const std::string &line : fault.details)
        std::printf("  %s\n", line.c_str());
}

std::string rules_of(const target_t &target)
{
    return target.demo ? "judged by " + std::string(watch::name_of(*target.demo)) + "'s rules"
                       : "judged for deadlocks, crashes, misuse and how it ends";
}

void show(const screen_t &screen, const run_result_t &run)
{
    std::printf("%s\n", paint(screen, " turn thread    does", kBold).c_str());
    for (std::size_t k = 0; k < run.turns.size(); k++) {
        const turn_t &turn = run.turns[k];
        std::string does = turn.does;
        if (does.size() > 63)
            does = does.substr(0, 60) + "...";
        std::printf("%5zu %-9.9s %s\n", k + 1, run.names[static_cast<std::size_t>(turn.thread)].c_str(), does.c_str());
        for (const shown_t &line : output_of(turn)) {
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

void print_summary(const options_t &o, const search_t &s)
{
    const std::string turns = std::to_string(o.bounds.turns);
    std::string head;
    if (s.cut == 0)
        head = "Nothing found in " + plural(s.runs, "run", "runs") + ": the program came to its end in " +
               (s.runs == 1 ? "it" : "every one") + ", " + (o.bounds.status == 0 ? "with status 0" : "as it should") + ".";
    else if (s.ended == 0 && o.target.demo)
        head = "Nothing found in " + plural(s.runs, "run", "runs") + " of " + watch::name_of(*o.target.demo) +
               "'s first " + turns + " turns (it runs until stopped, so every run is cut there).";
    else if (s.ended == 0)
        head = "Nothing found in the first " + turns + " turns of " + plural(s.runs, "run", "runs") +
               "; none of them came to the program's end, so nothing is known of what comes after" +
               (o.turns_given ? "." : ": the program may never end.");
    else
        head = "Nothing found in " + plural(s.runs, "run", "runs") + ": " + std::to_string(s.ended) +
               " came to the program's end, and " + plural(s.cut, "was", "were") + " cut at " + turns +
               " turns, so nothing is known of what came after in " + (s.cut == 1 ? "it" : "them") + ".";
    print_wrapped(head, 80, "  ");
    std::string how = "The schedules: the default order, which switches threads only when one must";
    if (s.systematic > 1)
        how += "; " + std::to_string(s.systematic - 1) + (s.systematic == 2 ? " more that switches" : " more that switch") +
               " once or twice more, within the first " + std::to_string(o.bounds.window) + " turns";
    if (s.random > 0)
        how += "; " + std::to_string(s.random) + " random";
    how += ". " + plural(s.turns, "turn", "turns") + " in all, in " + std::to_string(static_cast<int>(s.seconds + 0.5)) + " s.";
    if (s.out_of_time)
        how += " The time limit (" + std::to_string(static_cast<int>(o.seconds)) + " s) ended the search.";
    print_wrapped("  " + how, 80, "  ");
    print_wrapped("  Not seen: threads switch only at the calls interleave steers, so whatever they do to "
                  "memory between two calls is one step to it. This is a search within its bounds, not a proof.",
                  80, "  ");
    if (!s.tested.empty()) {
        std::printf("  %s's rules:\n", watch::name_of(*o.target.demo));
        for (const auto &[name, runs] : s.tested) {
            std::printf("    %s\n", name.c_str());
            std::printf("      %s\n", runs == 0 ? "never put to the test"
                                                 : ("put to the test in " + plural(runs, "run", "runs")).c_str());
        }
    }
}

std::string json_of(const options_t &o, const search_t &s)
{
    std::string j = "{";
    j += "\"program\": " + quoted(o.target.program);
    const bool cannot = s.fault && !programs_fault(s.fault->kind);
    j += ", \"verdict\": " + quoted(!s.fault ? "nothing found" : cannot ? "cannot steer" : "fault");
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
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", s.seconds);
    j += std::string(", \"seconds\": ") + seconds;
    j += ", \"schedule\": " + (s.schedule.empty() ? std::string("null") : quoted(s.schedule));
    j += ", \"rules\": [";
    for (std::size_t k = 0; k < s.tested.size(); k++)
        j += (k == 0 ? "" : ", ") + std::string("{\"rule\": ") + quoted(s.tested[k].first) +
             ", \"runs_tested\": " + std::to_string(s.tested[k].second) + "}";
    j += "]}";
    return j;
}

}  // namespace interleave
