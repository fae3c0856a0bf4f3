#include "trace_rules.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sys/wait.h>

namespace watch {
namespace {

// How long before a consume line a product must have been announced to be surely on
// stackbell's list when that pop took place, seen from the output. The producer prints a
// product and then pushes it; the consumer pops one and then prints it: each print lies
// microseconds from its push or pop, so anything announced this long before a consume line
// was pushed before that pop, however the two threads were scheduled.
constexpr double kSure = 0.5;
// A line that arrives this close after a whole second of the wall clock came on it.
constexpr double kOnSecond = 0.1;
// pulsewait's deadline is the whole second it starts waiting in, plus 5: so a line that a
// deadline brings comes 4 to 5 s after the line before it.
constexpr double kShortestWait = 4, kLongestWait = 5;
// Bytes of a stray text quoted in a note, and products of stackbell's list shown at most.
constexpr std::size_t kQuoted = 24;
constexpr std::size_t kQuotedLine = 18;  // of a duetlock line that is not whole
constexpr int kShownMost = 6;

std::string format(const char *pattern, auto... values)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// A text for a note: at most `most` bytes, control characters shown as '?'.
std::string quoted(std::string_view text, std::size_t most = kQuoted)
{
    std::string q = "\"";
    for (char c : text.substr(0, most))
        q += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return q + (text.size() > most ? "...\"" : "\"");
}

rule_t *rule(watch_t &w, rule_id id)
{
    return const_cast<rule_t *>(find_rule(w, id));
}

void tested(watch_t &w, rule_id id)
{
    if (rule_t *r = rule(w, id))
        r->tested++;
}

// Marks the rule broken by the current line and adds why to its note.
void breaks(watch_t &w, note_t &note, rule_id id, const std::string &why)
{
    rule_t *r = rule(w, id);
    if (r == nullptr)
        return;
    r->tested++;
    if (r->broken++ == 0) {
        r->first_where = w.where;
        r->first_why = why;
    }
    note.broken.push_back("BROKEN " + r->name + ": " + why);
}

void also(note_t &note, note_t &&more)
{
    if (!more.text.empty())
        note.text += (note.text.empty() ? "" : ", ") + more.text;
    note.broken.insert(note.broken.end(), more.broken.begin(), more.broken.end());
}

// The number of a line "<prefix><number>", from `lowest` to 1000; -1 if it is not one.
int number_after(const std::string &line, std::string_view prefix, int lowest)
{
    if (!line.starts_with(prefix) || line.size() == prefix.size() || line.size() > prefix.size() + 4)
        return -1;
    int n = 0;
    for (char c : line.substr(prefix.size())) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return (n >= lowest && n <= 1000) ? n : -1;
}

bool philosophers(const watch_t &w)
{
    return w.demo == demo_t::dinerspawn || w.demo == demo_t::dinerlanes;
}

// stackbell's list, newest first: `most` products at most, then how many more.
std::string stack_list(const watch_t &w, int most)
{
    if (w.waiting.empty())
        return "list empty";
    std::string list = "list";
    int shown = 0;
    for (auto p = w.waiting.rbegin(); p != w.waiting.rend() && shown < most; ++p, ++shown)
        list += ' ' + std::to_string(p->num);
    if (w.waiting.size() > static_cast<std::size_t>(shown))
        list += format(" +%zu more", w.waiting.size() - static_cast<std::size_t>(shown));
    return list;
}

// A note with stackbell's list, as many of its products as fit.
std::string with_list(const watch_t &w, const std::string &before, const std::string &after)
{
    std::string text;
    for (int most = kShownMost; most >= 0; most--) {
        text = before + stack_list(w, most) + after;
        if (width(text) <= kNoteWidth)
            break;
    }
    return text;
}

void product_arrives(watch_t &w, int num, double at)
{
    if (w.waiting.empty())
        w.quiet_since = at;  // from now on, something waits to be consumed
    if (w.first_product < 0)
        w.first_product = at;
    w.waiting.push_back({num, at});
    w.produced++;
}

void product_leaves(watch_t &w, double at)
{
    w.consumed++;
    w.quiet_since = at;
    w.quiet_reported = false;
}

// slotring: the k-th product goes into slot k mod 5, and the k-th consume empties it.
note_t slotring_line(watch_t &w, const line_t &line)
{
    note_t note;
    std::string where;
    if (int n = number_after(line.text, "----Produce---", 1); n > 0) {
        const int slot = w.produced % kSlots;
        if (w.produced + 1 - w.consumed == kSlots)
            tested(w, rule_id::at_most_five);  // the ring is full: the producer must wait now
        if (w.produced + 1 - w.consumed > kSlots)
            breaks(w, note, rule_id::at_most_five,
                   format("%d ahead", w.produced + 1 - w.consumed) +
                       (w.ring[slot] != 0 ? format(", %d lost from slot %d", w.ring[slot], slot) : ""));
        // A product still in the slot is overwritten: it can never come out.
        if (w.ring[slot] != 0) {
            auto it = std::find_if(w.waiting.begin(), w.waiting.end(),
                                   [&](const product_t &p) { return p.num == w.ring[slot]; });
            if (it != w.waiting.end())
                w.waiting.erase(it);
            w.lost++;
        }
        product_arrives(w, n, line.at);
        w.ring[slot] = n;
        w.most_waiting = std::max(w.most_waiting, static_cast<int>(w.waiting.size()));
        where = format("into slot %d", slot);
    } else if (int m = number_after(line.text, "-Consume---", 0); m >= 0) {
        // 0 is what the consumer reads from an empty slot.
        const int slot = w.consumed % kSlots;
        auto it = std::find_if(w.waiting.begin(), w.waiting.end(),
                               [m](const product_t &p) { return p.num == m; });
        tested(w, rule_id::fifo);
        if (w.waiting.empty())
            breaks(w, note, rule_id::fifo, format("consumed %d with nothing waiting", m));
        else if (it == w.waiting.end())
            breaks(w, note, rule_id::fifo, format("consumed %d, which was not waiting", m));
        else if (it != w.waiting.begin())
            breaks(w, note, rule_id::fifo, format("consumed %d, but %d waited longer", m, w.waiting.front().num));
        if (it != w.waiting.end())
            w.waiting.erase(it);
        w.ring[slot] = 0;
        product_leaves(w, line.at);
        where = format("out of slot %d", slot);
    } else {
        breaks(w, note, rule_id::line_format, "not a slotring line");
        return note;
    }
    tested(w, rule_id::line_format);
    std::string ring;
    for (int num : w.ring)
        ring += num == 0 ? "    ." : format("%5d", num);
    note.text = where + format(" [%s ] %zu waiting", ring.c_str(), w.waiting.size());
    return note;
}

// stackbell: the consumer pops the newest product on the list. Seen from the output, a
// product was surely on the list at a pop if it was announced kSure before the consume
// line; seen as a schedule, every moment is exact. "Newer" means later in the output.
note_t stackbell_line(watch_t &w, const line_t &line)
{
    note_t note;
    if (int n = number_after(line.text, "-Produce ---", 1); n > 0) {
        tested(w, rule_id::line_format);
        product_arrives(w, n, line.at);
        note.text = with_list(w, "", " (newest first)");
        return note;
    }
    int n = number_after(line.text, "-Consume ---", 1);
    if (n < 0) {
        breaks(w, note, rule_id::line_format, "not a stackbell line");
        return note;
    }
    tested(w, rule_id::line_format);
    tested(w, rule_id::was_waiting);
    auto on_list = [&](const product_t &p) {
        return w.seen == seen_t::schedule ? p.at < line.at : p.at <= line.at - kSure;
    };
    // Two products may bear the same number, and the output cannot tell which of them was
    // taken: the program has the benefit of the doubt. The one taken is the newest of
    // them with nothing surely on top of it, else the newest of them; seen as a schedule,
    // only one that was on the list at the pop can have been taken.
    auto it = w.waiting.end();
    for (auto p = w.waiting.end(); p != w.waiting.begin();) {
        --p;
        if (p->num != n || (w.seen == seen_t::schedule && !on_list(*p)))
            continue;
        if (it == w.waiting.end())
            it = p;
        if (std::none_of(p + 1, w.waiting.end(), on_list)) {
            it = p;
            break;
        }
    }
    if (it == w.waiting.end()) {
        breaks(w, note, rule_id::was_waiting, format("consumed %d, which was not waiting", n));
        note.text = with_list(w, "", "");
        return note;
    }
    auto newer = std::find_if(it + 1, w.waiting.end(), on_list);
    long others = 0, unclear = 0;
    for (auto p = w.waiting.begin(); p != w.waiting.end(); ++p)
        if (p != it)
            (on_list(*p) ? others : unclear)++;
    std::string shows;
    if (newer != w.waiting.end()) {
        breaks(w, note, rule_id::newest_first, format("consumed %d, but %d lay on top", n, newer->num));
    } else if (others >= 1) {
        tested(w, rule_id::newest_first);
        w.stack_shown++;
        shows = format(", the newest of %ld taken: the stack shows", others + 1);
    } else if (unclear >= 1 && w.seen == seen_t::output) {
        w.newest_unclear++;
    }
    w.waiting.erase(it);
    product_leaves(w, line.at);
    note.text = with_list(w, "", shows);
    return note;
}

note_t duetlock_line(watch_t &w, const line_t &line)
{
    note_t note;
    const double took = line.at - line.begun;
    if (line.text == "HELLO WORLD" || line.text == "hello world") {
        tested(w, rule_id::line_format);
        const bool upper = line.text == "HELLO WORLD";
        (upper ? w.upper : w.lower)++;
        if (w.seen == seen_t::output) {
            w.longest_wait = std::max(w.longest_wait, took);
            note.text = format("%.5s waited %.2f s for %s", line.text.c_str(), took, line.text.c_str() + 6);
        }
        if (upper && w.upper > 5)
            breaks(w, note, rule_id::five_hello, format("HELLO WORLD line %d", w.upper));
        else if (upper)
            note.text += format("%sHELLO WORLD %d of 5", note.text.empty() ? "" : "; ", w.upper);
    } else {
        // The line as it came, as much of it as fits beside the rule in 80 columns.
        breaks(w, note, rule_id::line_format, quoted(line.text, kQuotedLine));
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
        breaks(w, note, rule_id::line_format, "not a philosopher eating");
        return note;
    }
    tested(w, rule_id::line_format);
    const int i = t[before.size()] - 'A';
    if (w.seen == seen_t::schedule) {
        const unsigned mine = 1u << i;
        for (int fork : {i, (i + 1) % kPhilosophers})
            if ((w.holders[fork] & mine) == 0)
                breaks(w, note, rule_id::both_forks, format("%c ate without fork %d", 'A' + i, fork));
        tested(w, rule_id::both_forks);
    }
    const long second = static_cast<long>(std::floor(line.wall));
    std::string with;
    for (int k = 0; k < kPhilosophers; k++)
        if (k != i && w.meals[k] > 0 && w.last_second[k] == second)
            with += ' ' + std::string(1, static_cast<char>('A' + k));
    const double gap = line.at - w.last_meal[i];
    const std::string since = w.meals[i] == 0 ? format("%c's first meal", 'A' + i)
                              : gap < 10      ? format("%c again after %.1f s", 'A' + i, gap)
                                              : format("%c again after %.0f s", 'A' + i, gap);
    w.meals[i]++;
    w.last_meal[i] = line.at;
    w.last_second[i] = second;
    w.quiet_since = line.at;
    w.quiet_reported = false;
    for (int k = 0; k < kPhilosophers; k++)
        note.text += format("%s%c%d", k == 0 ? "" : " ", 'A' + k, w.meals[k]);
    if (w.seen == seen_t::schedule)
        return note;
    note.text += ", " + since;
    // The philosophers of dinerspawn seed their pauses in the same second, so they tend
    // to eat in step: one after the other, in the same second of the clock.
    if (!lanes && !with.empty())
        note.text += ", in step with" + with;
    return note;
}

note_t pulsewait_line(watch_t &w, const line_t &line)
{
    note_t note;
    if (line.text == " hello world")
        tested(w, rule_id::line_format);
    else
        breaks(w, note, rule_id::line_format, "not pulsewait's line");
    const bool on_second = into_second(line.wall) < kOnSecond;
    const double gap = line.at - w.previous_at;
    if (w.seen == seen_t::schedule) {
        note.text.clear();
    } else if (w.resumed) {
        note.text = "the first line after a stop: not judged";
    } else if (w.previous_at < 0) {
        // The first deadline is the next whole second after the start.
        const bool deadline = on_second && line.at < 1 + 2 * kOnSecond;
        (deadline ? w.deadlines : w.posts)++;
        note.text = deadline ? "the first line: the first deadline" : "the first line: a post, before any deadline";
    } else if (on_second && gap >= kShortestWait - kOnSecond && gap <= kLongestWait + kOnSecond) {
        w.deadlines++;
        note.text = format("+%.2f s, on a whole second: the deadline", gap);
    } else if (gap <= kLongestWait + kOnSecond) {
        w.posts++;
        note.text = format("+%.2f s: a post cut the wait short", gap);
    } else {
        note.text = format("+%.2f s: later than any deadline", gap);
    }
    w.previous_at = line.at;
    return note;
}

const char *line_format_name(demo_t demo)
{
    switch (demo) {
    case demo_t::duetlock:
        return "every line is whole: HELLO WORLD or hello world";
    case demo_t::stackbell:
    case demo_t::slotring:
        return "every line is a produce or a consume line";
    case demo_t::pulsewait:
        return "every line is \" hello world\"";
    default:
        return "every line is a philosopher, A to E, eating";
    }
}

std::string signal_text(int sig)
{
    return format("signal %d (%s)", sig, strsignal(sig));
}

// The rule about how the run ended: the five that run until stopped must not end by
// themselves, duetlock must end well, and none may crash.
void judge_ending(watch_t &w, const ending_t &end)
{
    rule_t *r = rule(w, rule_id::ending);
    if (r == nullptr)
        return;
    if (!end.status) {
        r->not_judged = "how the program ended is not known here";
        return;
    }
    const int s = *end.status;
    const bool signalled = WIFSIGNALED(s);
    const int sig = signalled ? WTERMSIG(s) : 0;
    const std::string how = signalled ? "it was killed by " + signal_text(sig)
                                      : format("it ended with status %d", WEXITSTATUS(s));
    note_t ignored;
    // A stop is Ctrl-C, then SIGKILL for a program that ignores it; any other signal is a crash.
    if (end.stopped) {
        if (signalled && sig != SIGINT && sig != SIGKILL)
            breaks(w, ignored, rule_id::ending, how + " while it was stopped");
        else if (w.demo == demo_t::duetlock)
            r->not_judged = "the run was stopped before its end";
        else
            r->tested++;
    } else if (w.demo != demo_t::duetlock) {
        breaks(w, ignored, rule_id::ending,
               signalled ? how : format("it ended by itself, with status %d", WEXITSTATUS(s)));
    } else if (signalled || WEXITSTATUS(s) != 0) {
        breaks(w, ignored, rule_id::ending, how);
    } else {
        r->tested++;
    }
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

std::optional<demo_t> demo_of_program(std::string_view file_name)
{
    for (demo_t demo : kDemos) {
        const std::string_view name = name_of(demo);
        if (file_name == name || (file_name.starts_with(name) && file_name.substr(name.size()).starts_with('_')))
            return demo;
    }
    return std::nullopt;
}

watch_t start_watch(demo_t demo, seen_t seen)
{
    watch_t w{};
    w.demo = demo;
    w.seen = seen;
    const bool clock = seen == seen_t::output;
    std::vector<std::pair<rule_id, std::string>> rules = {{rule_id::line_format, line_format_name(demo)}};
    const std::string stuck = format("%.0f s", kStuck);
    switch (demo) {
    case demo_t::slotring:
        rules.insert(rules.end(), {{rule_id::fifo, "first in, first out"},
                                   {rule_id::at_most_five, "never more than five waiting"}});
        break;
    case demo_t::stackbell:
        rules.insert(rules.end(), {{rule_id::was_waiting, "each consumed product was waiting"},
                                   {rule_id::newest_first, "the newest product is consumed first"}});
        break;
    case demo_t::duetlock:
        rules.push_back({rule_id::five_hello, "five HELLO WORLD lines, then the end"});
        break;
    case demo_t::dinerspawn:
    case demo_t::dinerlanes:
        if (!clock)
            rules.insert(rules.end(), {{rule_id::both_forks, "a philosopher eats only with both forks"},
                                       {rule_id::one_holder, "a fork has one holder at a time"}});
        else
            rules.push_back({rule_id::keeps_eating, "someone eats at least every " + stuck});
        break;
    case demo_t::pulsewait:
        break;
    }
    if (clock && (demo == demo_t::slotring || demo == demo_t::stackbell))
        rules.push_back({rule_id::keeps_consuming, "while products wait, one is consumed every " + stuck});
    rules.push_back({rule_id::ending, demo == demo_t::duetlock ? "it ends by itself, with status 0"
                                                               : "it runs until stopped"});
    for (auto &[id, name] : rules) {
        rule_t r{};
        r.id = id;
        r.name = name;
        w.rules.push_back(r);
    }
    return w;
}

note_t judge_quiet(watch_t &w, double at)
{
    note_t note;
    w.last_at = std::max(w.last_at, at);
    w.where = format("at %.1f s", at);
    const bool table = philosophers(w);
    if (w.seen != seen_t::output || w.quiet_reported || (!table && w.waiting.empty()) ||
        at - w.quiet_since < kStuck)
        return note;
    w.quiet_reported = true;
    if (table)
        breaks(w, note, rule_id::keeps_eating, format("no meal for %.0f s", kStuck));
    else
        breaks(w, note, rule_id::keeps_consuming,
               format("%zu waiting for %.0f s", w.waiting.size(), kStuck));
    return note;
}

double next_look(const watch_t &w)
{
    const bool table = philosophers(w);
    if (w.seen != seen_t::output || w.quiet_reported || (!table && w.waiting.empty()) ||
        (w.demo != demo_t::stackbell && w.demo != demo_t::slotring && !table))
        return std::numeric_limits<double>::infinity();
    return w.quiet_since + kStuck;
}

note_t judge_line(watch_t &w, const line_t &line)
{
    // A silence that ended with this line may have lasted too long.
    note_t note = judge_quiet(w, line.at);
    w.lines++;
    w.where = format("at line %d", w.lines);
    if (line.cut > 0) {
        breaks(w, note, rule_id::line_format, format("a line of %zu bytes", line.text.size() + line.cut));
        return note;
    }
    switch (w.demo) {
    case demo_t::slotring:
        also(note, slotring_line(w, line));
        break;
    case demo_t::stackbell:
        also(note, stackbell_line(w, line));
        break;
    case demo_t::duetlock:
        also(note, duetlock_line(w, line));
        break;
    case demo_t::pulsewait:
        also(note, pulsewait_line(w, line));
        break;
    default:
        also(note, philosopher_line(w, line));
        break;
    }
    w.resumed = false;
    return note;
}

note_t fork_taken(watch_t &w, int fork, int who)
{
    note_t note;
    const unsigned bit = 1u << (who >= 0 ? who : kPhilosophers);
    tested(w, rule_id::one_holder);
    if (w.holders[fork] != 0) {
        std::string held;
        for (int k = 0; k <= kPhilosophers; k++)
            if (w.holders[fork] & (1u << k))
                held += k < kPhilosophers ? std::string(1, static_cast<char>('A' + k)) : "another";
        breaks(w, note, rule_id::one_holder,
               format("fork %d taken by %s while %s held it", fork,
                      who >= 0 ? std::string(1, static_cast<char>('A' + who)).c_str() : "another",
                      held.c_str()));
    }
    w.holders[fork] |= bit;
    return note;
}

void fork_put(watch_t &w, int fork, int who)
{
    w.holders[fork] &= ~(1u << (who >= 0 ? who : kPhilosophers));
}

void judge_end(watch_t &w, const std::string &unfinished, const ending_t &end)
{
    note_t ignored;
    judge_quiet(w, end.at);
    // A line cut off by a stop from outside says nothing about the program.
    if (!unfinished.empty() && !end.stopped) {
        w.lines++;
        w.where = format("at line %d", w.lines);
        breaks(w, ignored, rule_id::line_format, "it ends inside a line: " + quoted(unfinished));
    }
    w.where = "at the end";
    for (rule_t &r : w.rules) {
        if (r.tested > 0 || !r.not_judged.empty())
            continue;
        switch (r.id) {
        case rule_id::line_format:
            r.not_shown = "no line came";
            break;
        case rule_id::fifo:
        case rule_id::was_waiting:
            r.not_shown = "nothing was consumed";
            break;
        case rule_id::at_most_five:
            r.not_shown = format("the ring never filled: at most %d waiting at once", w.most_waiting);
            break;
        case rule_id::newest_first:
            if (w.newest_unclear > 0)
                r.not_judged = "the lines came too close together to tell what was on the list";
            else
                r.not_shown = "never two products on the list at a pop";
            break;
        case rule_id::both_forks:
            r.not_shown = "nobody ate";
            break;
        case rule_id::one_holder:
            r.not_shown = "no fork was taken";
            break;
        case rule_id::keeps_eating:
            if (end.at >= kStuck)
                r.tested++;
            else
                r.not_shown = format("the run lasted %.1f s, less than %.0f s", end.at, kStuck);
            break;
        case rule_id::keeps_consuming:
            if (w.first_product >= 0 && end.at - w.first_product >= kStuck)
                r.tested++;
            else
                r.not_shown = format("the run went on less than %.0f s after the first product", kStuck);
            break;
        case rule_id::five_hello:
        case rule_id::ending:
            break;
        }
    }
    if (rule_t *r = rule(w, rule_id::five_hello); r != nullptr && r->broken == 0) {
        if (end.stopped)
            r->not_judged = "the run was stopped before its end";
        else if (w.upper < 5)
            breaks(w, ignored, rule_id::five_hello, format("only %d HELLO WORLD lines", w.upper));
        else
            r->tested++;
    }
    judge_ending(w, end);
}

watch_t judge_run(demo_t demo, const std::vector<line_t> &lines, const std::string &unfinished,
                  const ending_t &end)
{
    watch_t w = start_watch(demo);
    for (const line_t &line : lines)
        judge_line(w, line);
    judge_end(w, unfinished, end);
    return w;
}

const rule_t *find_rule(const watch_t &w, rule_id id)
{
    auto r = std::find_if(w.rules.begin(), w.rules.end(), [id](const rule_t &x) { return x.id == id; });
    return r == w.rules.end() ? nullptr : &*r;
}

bool all_held(const watch_t &w)
{
    return std::all_of(w.rules.begin(), w.rules.end(), [](const rule_t &r) { return r.broken == 0; });
}

std::string facts(const watch_t &w)
{
    std::string text = format("%d line%s", w.lines, w.lines == 1 ? "" : "s");
    switch (w.demo) {
    case demo_t::slotring:
        return text + format(", %d consumed, at most %d waiting at once", w.consumed, w.most_waiting) +
               (w.lost > 0 ? format(", %d lost", w.lost) : "");
    case demo_t::stackbell:
        return text + format(", %d consumed, %d of them the newest of two or more", w.consumed, w.stack_shown);
    case demo_t::duetlock:
        text += format(", %d HELLO WORLD, %d hello world", w.upper, w.lower);
        return w.seen == seen_t::output ? text + format(", a first word waited up to %.2f s", w.longest_wait)
                                        : text;
    case demo_t::pulsewait:
        return text + format(", %d at a deadline, %d after a post", w.deadlines, w.posts);
    default:
        text += ", meals";
        for (int k = 0; k < kPhilosophers; k++)
            text += format(" %c%d", 'A' + k, w.meals[k]);
        return text;
    }
}

// One or two lines: the verdict and the rule; under it, why, where there is something to say.
std::string verdict(const rule_t &rule)
{
    constexpr const char *kUnder = "\n            ";
    if (rule.broken > 0)
        return format("BROKEN      %s (%d time%s)", rule.name.c_str(), rule.broken, rule.broken == 1 ? "" : "s") +
               kUnder + (rule.broken > 1 ? "first " : "") + rule.first_where + ": " + rule.first_why;
    if (!rule.not_judged.empty())
        return "not judged  " + rule.name + kUnder + rule.not_judged;
    if (rule.tested == 0)
        return "not shown   " + rule.name + kUnder + rule.not_shown;
    return "held        " + rule.name;
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

int width(std::string_view text)
{
    int w = 0;
    for (unsigned char c : text)
        w = (c == '\t') ? (w / 8 + 1) * 8 : w + ((c & 0xC0) != 0x80);
    return w;
}

}  // namespace watch
