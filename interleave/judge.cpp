// The six demos' rules, judged on a run from the order in which things really happened:
// tracewatch's rules, seen as a schedule (watch::seen_t::schedule), where each line's moment
// is a turn and the holders of the philosophers' forks are known.
#include <csignal>
#include <sys/wait.h>

#include "run.h"

namespace interleave {
namespace {

struct line_at_t {
    std::string text;
    int begun;  // the turn of its first byte
    int at;     // the turn of its newline
    int slot;   // the thread that wrote it
};

// The lines of standard output, each with the turns it was written in.
std::vector<line_at_t> lines_of(const run_result_t &run, std::string &unfinished, int &unfinished_begun)
{
    std::vector<line_at_t> lines;
    unfinished.clear();
    unfinished_begun = 0;
    for (std::size_t k = 0; k < run.turns.size(); k++) {
        const int turn = static_cast<int>(k) + 1;
        for (char c : run.turns[k].out) {
            if (unfinished.empty())
                unfinished_begun = turn;
            if (c != '\n') {
                if (unfinished.size() < watch::kKept)
                    unfinished += c;
                continue;
            }
            lines.push_back({unfinished, unfinished_begun, turn, run.turns[k].slot});
            unfinished.clear();
        }
    }
    return lines;
}

// stackbell's producer prints a product and then pushes it; its consumer pops one and
// then prints it. The list changes at those pushes and pops, each inside the locked region
// that ends with the thread's unlock of the list's mutex: the unlock after a produce line,
// the unlock before a consume line.
int stack_moment(const run_result_t &run, const line_at_t &line)
{
    const bool produce = line.text.starts_with("-Produce");
    if (produce) {
        for (std::size_t k = static_cast<std::size_t>(line.at); k < run.turns.size(); k++)
            if (run.turns[k].slot == line.slot && run.turns[k].call == steer::call_t::mutex_unlock)
                return static_cast<int>(k) + 1;
        return static_cast<int>(run.turns.size()) + 1;  // never pushed
    }
    for (int k = line.at - 1; k >= 0; k--)
        if (run.turns[static_cast<std::size_t>(k)].slot == line.slot &&
            run.turns[static_cast<std::size_t>(k)].call == steer::call_t::mutex_unlock)
            return k + 1;
    return line.at;
}

int philosopher_of(const run_result_t &run, int slot)
{
    const std::string &name = run.names[static_cast<std::size_t>(slot)];
    return name.size() == 1 && name[0] >= 'A' && name[0] < 'A' + watch::kPhilosophers ? name[0] - 'A' : -1;
}

}  // namespace

void judge(const target_t &target, run_result_t &run)
{
    if (!target.demo || run.fault.kind == fault_t::unsteerable)
        return;
    watch::watch_t w = watch::start_watch(*target.demo, watch::seen_t::schedule);
    std::string unfinished;
    int unfinished_begun;
    std::vector<line_at_t> lines = lines_of(run, unfinished, unfinished_begun);
    fault_report_t first;
    auto broke = [&](const watch::note_t &note, int turn, int slot) {
        if (note.broken.empty() || first.kind != fault_t::none)
            return;
        first = {fault_t::rule, turn, note.broken.front(),
                 {"shown in turn " + std::to_string(turn) + (slot >= 0 ? ", by " + run.names[static_cast<std::size_t>(slot)] : "")}};
    };
    std::size_t next = 0;
    for (std::size_t k = 0; k < run.turns.size(); k++) {
        turn_t &turn = run.turns[k];
        const int number = static_cast<int>(k) + 1;
        if (turn.fork >= 0) {
            const int who = philosopher_of(run, turn.slot);
            if (turn.took) {
                const watch::note_t note = watch::fork_taken(w, turn.fork, who);
                broke(note, number, turn.slot);
                if (!note.broken.empty())
                    turn.notes.push_back(note);
            } else {
                watch::fork_put(w, turn.fork, who);
            }
        }
        for (; next < lines.size() && lines[next].at == number; next++) {
            const line_at_t &line = lines[next];
            const double at = target.demo == watch::demo_t::stackbell ? stack_moment(run, line) : line.at;
            const watch::note_t note = watch::judge_line(w, {line.text, static_cast<double>(line.begun), at, 0, 0});
            broke(note, number, line.slot);
            turn.notes.push_back(note);
        }
    }
    watch::ending_t end;
    end.stopped = run.cut || run.fault.kind != fault_t::none;
    end.status = run.cut ? std::optional<int>(W_EXITCODE(0, SIGKILL)) : run.status;
    end.at = static_cast<double>(run.turns.size());
    watch::judge_end(w, unfinished, end);
    if (first.kind == fault_t::none)
        for (const watch::rule_t &rule : w.rules)
            if (rule.broken > 0 && rule.first_where == "at the end") {
                first = {fault_t::rule, static_cast<int>(run.turns.size()),
                         "BROKEN " + rule.name + ": " + rule.first_why, {"at the end of the run"}};
                break;
            }
    if (first.kind != fault_t::none && (run.fault.kind == fault_t::none || first.turn < run.fault.turn))
        run.fault = first;
    for (const watch::rule_t &rule : w.rules)
        run.tested.push_back({rule.name, rule.tested});
}

std::vector<shown_t> output_of(const turn_t &turn)
{
    std::vector<shown_t> lines;
    std::size_t note = 0;
    for (std::size_t from = 0; from < turn.out.size();) {
        const std::size_t nl = turn.out.find('\n', from);
        shown_t line{turn.out.substr(from, nl == std::string::npos ? std::string::npos : nl - from), "", {}};
        if (nl != std::string::npos && note < turn.notes.size()) {
            line.note = turn.notes[note].text;
            line.broken = turn.notes[note++].broken;
        }
        lines.push_back(line);
        from = nl == std::string::npos ? turn.out.size() : nl + 1;
    }
    // A rule broken with no line to show it (a fork taken twice).
    for (; note < turn.notes.size(); note++)
        if (!turn.notes[note].broken.empty())
            lines.push_back({"", "", turn.notes[note].broken});
    return lines;
}

}  // namespace interleave
