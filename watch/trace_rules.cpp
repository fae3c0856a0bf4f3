#include "trace_rules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace watch {
namespace {

// How long before a consume line a product must have been announced to be surely on
// stackbell's list when that pop took place. The producer prints a product and then
// pushes it; the consumer pops one and then prints it: each print lies microseconds from
// its push or pop, so anything announced this long before a consume line was pushed
// before that pop, however the two threads were scheduled.
constexpr double kSure = 0.5;
// A line that arrives this close after a whole second of the wall clock came on it.
constexpr double kOnSecond = 0.1;

// The rule every line must keep, in the order of demo_t.
constexpr std::array<const char *, kDemos.size()> kLineFormats = {
    "every line is a philosopher, A to E, eating", "every line is a philosopher, A to E, eating",
    "every line is whole: HELLO WORLD or hello world",
    "every line is a produce or a consume line", "every line is a produce or a consume line",
    "every line is \" hello world\""};

std::string format(const char *pattern, auto... values)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// Marks the rule broken by this line and adds why to the line's note.
void breaks(watch_t &w, note_t &note, std::size_t rule, const std::string &why)
{
    rule_t &r = w.rules[rule];
    if (r.broken++ == 0) {
        r.first_line = w.lines;
        r.first_why = why;
    }
    note.text += (note.broken ? "; " : "BROKEN ") + std::string(r.name) + ": " + why;
    note.broken = true;
}

// The number of a line "<prefix><number>", a number from 1 to 1000; 0 if it is not one.
int number_after(const std::string &line, std::string_view prefix)
{
    if (!line.starts_with(prefix) || line.size() == prefix.size() || line.size() > prefix.size() + 4)
        return 0;
    int n = 0;
    for (char c : line.substr(prefix.size())) {
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + (c - '0');
    }
    return (n >= 1 && n <= 1000) ? n : 0;
}

// stackbell's list, newest first.
std::string stack_list(const watch_t &w)
{
    if (w.waiting.empty())
        return "empty";
    std::string list;
    for (auto p = w.waiting.rbegin(); p != w.waiting.rend(); ++p) {
        if (p != w.waiting.rbegin())
            list += ' ';
        list += std::to_string(p->num);
    }
    return list;
}

// slotring: the k-th product goes into slot k mod 5, and the k-th consume empties it.
note_t slotring_line(watch_t &w, const line_t &line)
{
    note_t note;
    std::string where;
    if (int n = number_after(line.text, "----Produce---"); n != 0) {
        const int slot = w.produced++ % kSlots;
        w.waiting.push_back({n, line.at});
        const int waiting = static_cast<int>(w.waiting.size());
        w.most_waiting = std::max(w.most_waiting, waiting);
        if (waiting > kSlots)
            breaks(w, note, 2, format("%d waiting, and slot %d still held %d", waiting, slot, w.ring[slot]));
        w.ring[slot] = n;
        where = format("into slot %d", slot);
    } else if (int m = number_after(line.text, "-Consume---"); m != 0) {
        const int slot = w.consumed++ % kSlots;
        auto it = std::find_if(w.waiting.begin(), w.waiting.end(),
                               [m](const product_t &p) { return p.num == m; });
        if (w.waiting.empty())
            breaks(w, note, 1, format("consumed %d with nothing waiting", m));
        else if (it != w.waiting.begin())
            breaks(w, note, 1, format("consumed %d, but %d had waited longer", m, w.waiting.front().num));
        if (!w.waiting.empty())
            w.waiting.erase(it != w.waiting.end() ? it : w.waiting.begin());
        w.ring[slot] = 0;
        where = format("out of slot %d", slot);
    } else {
        breaks(w, note, 0, "not a slotring line");
        return note;
    }
    std::string ring;
    for (int num : w.ring)
        ring += num == 0 ? "    ." : format("%5d", num);
    note.text += (note.broken ? ", " : "") + where + format(", ring [%s ], %zu waiting", ring.c_str(), w.waiting.size());
    return note;
}

// stackbell: the consumer pops the newest product on the list. Which products were surely
// on the list when it popped is told by their announcement times (kSure above); "newer"
// means later in the output, since two lines can arrive in one read with the same time.
note_t stackbell_line(watch_t &w, const line_t &line)
{
    note_t note;
    if (int n = number_after(line.text, "-Produce ---"); n != 0) {
        w.waiting.push_back({n, line.at});
        note.text = "list " + stack_list(w) + " (newest first)";
        return note;
    }
    int n = number_after(line.text, "-Consume ---");
    if (n == 0) {
        breaks(w, note, 0, "not a stackbell line");
        return note;
    }
    auto taken = std::find_if(w.waiting.rbegin(), w.waiting.rend(),
                              [n](const product_t &p) { return p.num == n; });
    if (taken == w.waiting.rend()) {
        breaks(w, note, 1, format("consumed %d, which was not waiting (never produced, or consumed already)", n));
        return note;
    }
    auto it = taken.base() - 1;
    const double sure_before = line.at - kSure;
    const bool newer_on_top = std::any_of(it + 1, w.waiting.end(),
                                          [&](const product_t &p) { return p.at <= sure_before; });
    const long others = std::count_if(w.waiting.begin(), w.waiting.end(), [&](const product_t &p) {
        return &p != &*it && p.at <= sure_before;
    });
    if (newer_on_top)
        breaks(w, note, 2, format("consumed %d while a newer product lay on top of it", n));
    w.waiting.erase(it);
    w.consumed++;
    note.text += (note.broken ? ", list " : "list ") + stack_list(w);
    if (!newer_on_top && others >= 1) {
        w.stack_shown++;
        note.text += format(", took the newest of %ld waiting: the stack shows", others + 1);
    }
    return note;
}

note_t duetlock_line(watch_t &w, const line_t &line)
{
    note_t note;
    const double took = line.at - line.begun;
    if (line.text == "HELLO WORLD" || line.text == "hello world") {
        w.longest_wait = std::max(w.longest_wait, took);
        w.upper += line.text == "HELLO WORLD";
        note.text = format("%.5s waited %.2f s for %s, the mutex held", line.text.c_str(), took,
                           line.text.c_str() + 6);
        if (line.text == "HELLO WORLD")
            note.text += format("; HELLO WORLD %d of 5", w.upper);
    } else {
        breaks(w, note, 0, "the words of two lines mixed, or a line torn");
        note.text += format(" (the line took %.2f s)", took);
    }
    return note;
}

note_t philosopher_line(watch_t &w, const line_t &line)
{
    note_t note;
    const bool lanes = w.demo == demo_t::dinerlanes;
    const std::string_view before = lanes ? "\t" : " ", after = lanes ? " is eating " : " is eating";
    const std::string &t = line.text;
    if (t.size() != before.size() + 1 + after.size() || !t.starts_with(before) ||
        !t.ends_with(after) || t[before.size()] < 'A' || t[before.size()] > 'E') {
        breaks(w, note, 0, "not a philosopher eating");
        return note;
    }
    const int i = t[before.size()] - 'A';
    const long second = static_cast<long>(std::floor(line.wall));
    std::string with;
    for (int k = 0; k < kPhilosophers; k++)
        if (k != i && w.meals[k] > 0 && w.last_second[k] == second)
            with += (with.empty() ? "" : ", ") + std::string(1, static_cast<char>('A' + k));
    const std::string since = w.meals[i] == 0 ? format("%c's first meal", 'A' + i)
                                              : format("%c again after %.1f s", 'A' + i, line.at - w.last_meal[i]);
    w.meals[i]++;
    w.last_meal[i] = line.at;
    w.last_second[i] = second;
    note.text = "meals";
    for (int k = 0; k < kPhilosophers; k++)
        note.text += format(" %c%d", 'A' + k, w.meals[k]);
    note.text += ", " + since;
    // The philosophers of dinerspawn seed their pauses in the same second, so they tend
    // to eat in step.
    if (!lanes && !with.empty())
        note.text += ", the same second as " + with;
    return note;
}

note_t pulsewait_line(watch_t &w, const line_t &line)
{
    note_t note;
    if (line.text != " hello world")
        breaks(w, note, 0, "not pulsewait's line");
    const bool on_second = into_second(line.wall) < kOnSecond;
    w.on_second += on_second;
    note.text += (note.broken ? ", " : "") +
                 (w.previous_at < 0 ? std::string("the first line") : format("+%.2f s", line.at - w.previous_at)) +
                 (on_second ? ", on a whole second: the deadline came"
                            : ", between seconds: a post cut the wait short");
    w.previous_at = line.at;
    return note;
}

}  // namespace

const char *name_of(demo_t demo)
{
    constexpr std::array<const char *, kDemos.size()> names = {
        "dinerspawn", "dinerlanes", "duetlock", "stackbell", "slotring", "pulsewait"};
    return names[static_cast<std::size_t>(demo)];
}

std::optional<demo_t> demo_named(std::string_view name)
{
    for (demo_t demo : kDemos)
        if (name == name_of(demo))
            return demo;
    return std::nullopt;
}

watch_t start_watch(demo_t demo)
{
    watch_t w{};
    w.demo = demo;
    std::vector<const char *> names = {kLineFormats[static_cast<std::size_t>(demo)]};
    if (demo == demo_t::slotring)
        names.insert(names.end(), {"first in, first out", "never more than five waiting"});
    else if (demo == demo_t::stackbell)
        names.insert(names.end(), {"each consumed product was waiting", "the newest product is consumed first"});
    else if (demo == demo_t::duetlock)
        names.push_back("five HELLO WORLD lines, then the end");
    for (const char *name : names) {
        rule_t rule{};
        rule.name = name;
        w.rules.push_back(rule);
    }
    return w;
}

note_t judge_line(watch_t &w, const line_t &line)
{
    w.lines++;
    switch (w.demo) {
    case demo_t::slotring:
        return slotring_line(w, line);
    case demo_t::stackbell:
        return stackbell_line(w, line);
    case demo_t::duetlock:
        return duetlock_line(w, line);
    case demo_t::pulsewait:
        return pulsewait_line(w, line);
    default:
        return philosopher_line(w, line);
    }
}

void judge_end(watch_t &w, const std::string &unfinished, bool ended_by_itself)
{
    // A line cut off by a stop from outside says nothing about the program.
    if (!unfinished.empty() && ended_by_itself) {
        w.lines++;
        note_t ignored;
        breaks(w, ignored, 0, "the output ends in the middle of a line: \"" + unfinished + "\"");
    }
    if (w.demo == demo_t::duetlock) {
        if (!ended_by_itself)
            w.rules[1].judged = false;
        else if (w.upper != 5) {
            note_t ignored;
            breaks(w, ignored, 1, format("%d HELLO WORLD lines", w.upper));
        }
    }
}

watch_t judge_run(demo_t demo, const std::vector<line_t> &lines, const std::string &unfinished,
                  bool ended_by_itself)
{
    watch_t w = start_watch(demo);
    for (const line_t &line : lines)
        judge_line(w, line);
    judge_end(w, unfinished, ended_by_itself);
    return w;
}

bool all_held(const watch_t &w)
{
    return std::all_of(w.rules.begin(), w.rules.end(), [](const rule_t &r) { return r.broken == 0; });
}

std::string facts(const watch_t &w)
{
    std::string text = format("%d lines", w.lines);
    switch (w.demo) {
    case demo_t::slotring:
        return text + format(", %d consumed, at most %d waiting at once", w.consumed, w.most_waiting);
    case demo_t::stackbell:
        return text + format(", %d consumed, %d of them the newest of two or more", w.consumed, w.stack_shown);
    case demo_t::duetlock:
        return text + format(", %d HELLO WORLD, a first word waited up to %.2f s for its second", w.upper,
                             w.longest_wait);
    case demo_t::pulsewait:
        return text + format(", %d on a whole second", w.on_second);
    default:
        text += ", meals";
        for (int k = 0; k < kPhilosophers; k++)
            text += format(" %c%d", 'A' + k, w.meals[k]);
        return text;
    }
}

std::string verdict(const rule_t &rule)
{
    if (!rule.judged)
        return std::string("not judged  ") + rule.name + " (the run was stopped before its end)";
    if (rule.broken == 0)
        return std::string("held        ") + rule.name;
    return format("BROKEN      %s: %d time%s, first at line %d: %s", rule.name, rule.broken,
                  rule.broken == 1 ? "" : "s", rule.first_line, rule.first_why.c_str());
}

std::string summary(const watch_t &w)
{
    std::string text = facts(w) + "\n";
    for (const rule_t &rule : w.rules)
        text += verdict(rule) + "\n";
    return text;
}

double into_second(double wall)
{
    return wall - std::floor(wall);
}

}  // namespace watch
