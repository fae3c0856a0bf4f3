// The six demos' rules, judged on a run from the order in which things really happened:
// tracewatch's rules, seen as a schedule (watch::seen_t::schedule), where each line's moment
// is a turn and the holders of the philosophers' forks are known.
#include <algorithm>
#include <csignal>
#include <limits>
#include <sys/wait.h>

#include "run.h"
#include "schedule.h"

namespace interleave {
namespace {

struct line_at_t {
    std::string text;
    int begun;   // the turn of its first byte
    int at;      // the turn of its newline
    int thread;  // the thread that wrote it
    double moment = 0;  // when what it tells of happened
};

// The lines of standard output, each with the turns it was written in.
std::vector<line_at_t> lines_of(const run_result_t &run, std::string &unfinished)
{
    std::vector<line_at_t> lines;
    unfinished.clear();
    int begun = 0;
    for (std::size_t k = 0; k < run.turns.size(); k++) {
        const int turn = static_cast<int>(k) + 1;
        for (char c : run.turns[k].out) {
            if (unfinished.empty())
                begun = turn;
            if (c != '\n') {
                if (unfinished.size() < watch::kKept)
                    unfinished += c;
                continue;
            }
            lines.push_back({unfinished, begun, turn, run.turns[k].thread});
            unfinished.clear();
        }
    }
    return lines;
}

// A thread's stretch of turns holding a mutex: from the turn that took it to the one that
// let it go (or the run's end). What happened in it happened at its end; in one still open
// at the run's end, just after it began, since nobody else held the mutex since.
struct held_t {
    int from, to;
    bool open = false;
    double moment() const { return open ? from + 0.5 : to; }
};

std::vector<std::vector<held_t>> held_by_thread(const run_result_t &run)
{
    std::vector<std::vector<held_t>> held(run.names.size());
    std::vector<std::map<int, int>> taken(run.names.size());  // per thread: mutex, turn taken
    for (std::size_t k = 0; k < run.turns.size(); k++) {
        const turn_t &turn = run.turns[k];
        const int number = static_cast<int>(k) + 1;
        auto &mine = taken[static_cast<std::size_t>(turn.thread)];
        if (turn.effect.unlocked >= 0 && mine.contains(turn.effect.unlocked)) {
            held[static_cast<std::size_t>(turn.thread)].push_back({mine[turn.effect.unlocked], number});
            mine.erase(turn.effect.unlocked);
        }
        if (turn.effect.locked >= 0)
            mine[turn.effect.locked] = number;
    }
    for (std::size_t t = 0; t < taken.size(); t++)
        for (const auto &[mutex, from] : taken[t])
            held[t].push_back({from, std::numeric_limits<int>::max(), true});
    for (auto &stretches : held)
        std::sort(stretches.begin(), stretches.end(), [](const held_t &a, const held_t &b) { return a.from < b.from; });
    return held;
}

// stackbell's list changes at its pushes and pops, each inside a stretch in which the
// thread holds the list's mutex, whether it prints inside that stretch or outside it: a
// produce line tells of the push in the stretch around it or the next one; a consume line,
// of the pop in the stretch around it or the one before. Either happened when that stretch
// ended: the stretches of one mutex never overlap, so their ends order the changes as
// they really happened, whatever the order of the prints.
double stack_moment(const std::vector<held_t> &held, const line_at_t &line, int end)
{
    const bool produce = line.text.starts_with("-Produce");
    for (const held_t &h : held)
        if (h.from < line.at && line.at < h.to)
            return h.moment();
    if (produce) {
        for (const held_t &h : held)
            if (h.from > line.at)
                return h.moment();
        return end + 1;  // never pushed
    }
    for (auto h = held.rbegin(); h != held.rend(); ++h)
        if (h->to < line.at)
            return h->moment();
    return line.at;
}

// Where the judging of stackbell's list must stop: a thread that held the list's mutex
// after the last line it printed (or before it printed any) may have changed the list there
// and not told yet, so after the first such stretch ends, the list is not known.
// A product told of and never pushed under the mutex, by a thread that went on after it
// (a program that pushes without the lock), was pushed where nobody saw: the list is not
// known from that line on either.
double known_until(const run_result_t &run, const std::vector<std::vector<held_t>> &held,
                   const std::vector<line_at_t> &lines, int end)
{
    std::vector<double> told(held.size(), -1);
    for (const line_at_t &line : lines)
        told[static_cast<std::size_t>(line.thread)] = std::max(told[static_cast<std::size_t>(line.thread)], line.moment);
    double until = std::numeric_limits<double>::max();
    for (std::size_t t = 0; t < held.size(); t++)
        for (const held_t &h : held[t])
            if (h.moment() > told[t])  // a thread that has told nothing yet, too
                until = std::min(until, h.moment());
    std::vector<int> last(held.size(), 0);
    for (std::size_t k = 0; k < run.turns.size(); k++)
        last[static_cast<std::size_t>(run.turns[k].thread)] = static_cast<int>(k) + 1;
    for (const line_at_t &line : lines)
        if (line.moment > end && last[static_cast<std::size_t>(line.thread)] > line.at)
            until = std::min(until, static_cast<double>(line.at) - 0.5);
    return until;
}

int philosopher_of(const run_result_t &run, int thread)
{
    const std::string &name = run.names[static_cast<std::size_t>(thread)];
    return name.size() == 1 && name[0] >= 'A' && name[0] < 'A' + watch::kPhilosophers ? name[0] - 'A' : -1;
}

// What the rules see, in the order it happened: a fork taken or put back in a turn, then
// the lines that tell of what happened in it.
struct event_t {
    double when;
    int kind;   // 0 a fork, 1 a line
    int index;  // the turn, or the line
};

}  // namespace

void judge(const target_t &target, run_result_t &run)
{
    if (!target.demo || run.fault.kind == fault_t::unsteerable || run.fault.kind == fault_t::diverged)
        return;
    watch::watch_t w = watch::start_watch(*target.demo, watch::seen_t::schedule);
    std::string unfinished;
    std::vector<line_at_t> lines = lines_of(run, unfinished);
    const int end = static_cast<int>(run.turns.size());
    const std::vector<std::vector<held_t>> held = held_by_thread(run);
    std::vector<event_t> events;
    for (std::size_t k = 0; k < run.turns.size(); k++)
        if (run.turns[k].effect.fork >= 0)
            events.push_back({static_cast<double>(k + 1), 0, static_cast<int>(k)});
    for (std::size_t k = 0; k < lines.size(); k++) {
        line_at_t &line = lines[k];
        line.moment = target.demo == watch::demo_t::stackbell
                          ? stack_moment(held[static_cast<std::size_t>(line.thread)], line, end)
                          : line.at;
        events.push_back({line.moment, 1, static_cast<int>(k)});
    }
    std::stable_sort(events.begin(), events.end(), [](const event_t &a, const event_t &b) {
        return a.when != b.when ? a.when < b.when : a.kind < b.kind;
    });
    if (target.demo == watch::demo_t::stackbell) {
        const double until = known_until(run, held, lines, end);
        std::erase_if(events, [&](const event_t &e) { return e.when > until; });
    }
    fault_report_t first;
    auto broke = [&](const watch::note_t &note, int turn, int thread) {
        if (note.broken.empty() || first.kind != fault_t::none)
            return;
        first = {fault_t::rule, std::min(turn, end), note.broken.front(),
                 {"shown in turn " + std::to_string(std::min(turn, end)) +
                  (thread >= 0 ? ", by " + run.names[static_cast<std::size_t>(thread)] : "")}};
    };
    std::vector<watch::note_t> notes(lines.size());
    for (const event_t &e : events) {
        if (e.kind == 0) {
            turn_t &turn = run.turns[static_cast<std::size_t>(e.index)];
            const int who = philosopher_of(run, turn.thread);
            if (turn.effect.took) {
                const watch::note_t note = watch::fork_taken(w, turn.effect.fork, who);
                broke(note, e.index + 1, turn.thread);
                turn.broken.insert(turn.broken.end(), note.broken.begin(), note.broken.end());
            } else {
                watch::fork_put(w, turn.effect.fork, who);
            }
            continue;
        }
        const line_at_t &line = lines[static_cast<std::size_t>(e.index)];
        notes[static_cast<std::size_t>(e.index)] =
            watch::judge_line(w, {line.text, static_cast<double>(line.begun), line.moment, 0, 0});
        broke(notes[static_cast<std::size_t>(e.index)], static_cast<int>(std::max<double>(line.at, line.moment)),
              line.thread);
    }
    // The notes go beside the lines as they were printed.
    for (std::size_t k = 0; k < lines.size(); k++)
        run.turns[static_cast<std::size_t>(lines[k].at - 1)].notes.push_back(notes[k]);
    watch::ending_t ending;
    ending.stopped = run.cut || run.stopped || run.fault.kind != fault_t::none;
    ending.status = ending.stopped ? std::optional<int>(W_EXITCODE(0, SIGKILL)) : run.status;
    ending.at = static_cast<double>(run.turns.size());
    watch::judge_end(w, unfinished, ending);
    if (first.kind == fault_t::none)
        for (const watch::rule_t &rule : w.rules)
            if (rule.broken > 0 && rule.first_where == "at the end") {
                first = {fault_t::rule, end, "BROKEN " + rule.name + ": " + rule.first_why, {"at the end of the run"}};
                break;
            }
    if (first.kind != fault_t::none && (run.fault.kind == fault_t::none || first.turn < run.fault.turn))
        run.fault = first;
    for (const watch::rule_t &rule : w.rules)
        run.tested.push_back({rule.name, rule.tested});
}

std::vector<std::vector<shown_t>> shown_lines(const run_result_t &run)
{
    std::vector<std::vector<shown_t>> shown(run.turns.size());
    std::string line;
    std::size_t last = 0;  // the turn of the unfinished line's last byte
    for (std::size_t k = 0; k < run.turns.size(); k++) {
        const turn_t &turn = run.turns[k];
        std::size_t note = 0;
        for (char c : turn.out) {
            if (c != '\n') {
                if (line.size() < watch::kKept)
                    line += c;
                last = k;
                continue;
            }
            shown_t whole{line, "", {}, false};
            if (note < turn.notes.size()) {
                whole.note = turn.notes[note].text;
                whole.broken = turn.notes[note++].broken;
            }
            shown[k].push_back(whole);
            line.clear();
        }
        for (const std::string &broken : turn.broken)
            shown[k].push_back({"", "", {broken}, false});
    }
    if (!line.empty())
        shown[last].push_back({line, "", {}, true});
    return shown;
}

std::string writes(const turn_t &turn)
{
    constexpr std::size_t kShort = 30;
    if (turn.out.empty())
        return turn.err.empty() ? "writes" : "writes to standard error";
    if (turn.out.find('\n') != std::string::npos)
        return "writes";
    return "writes \"" + visible(turn.out.substr(0, kShort)) + (turn.out.size() > kShort ? "...\"" : "\"");
}

}  // namespace interleave
