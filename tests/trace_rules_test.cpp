// The rule checkers on short made-up traces: for each program, a trace that keeps its
// rules, and each way to break them; and what a verdict may claim when a run showed little.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "trace_rules.h"

namespace {

using watch::demo_t;
using watch::rule_id;

// Lines with arrival times: {text, seconds}. Each line arrives whole, at 0.2 s into its
// wall-clock second. By default the run was stopped by Ctrl-C at the last line's moment.
watch::watch_t judged(demo_t demo, const std::vector<std::pair<std::string, double>> &trace,
                      std::optional<watch::ending_t> end = std::nullopt, const std::string &unfinished = "")
{
    std::vector<watch::line_t> lines;
    for (const auto &[text, at] : trace)
        lines.push_back({text, at, at, 1000.2 + at});
    if (!end)
        end = watch::ending_t{true, W_EXITCODE(0, SIGINT), trace.empty() ? 0 : trace.back().second};
    return watch::judge_run(demo, lines, unfinished, *end);
}

// The names of the rules the trace broke.
std::vector<std::string> broken(const watch::watch_t &w)
{
    std::vector<std::string> names;
    for (const watch::rule_t &rule : w.rules)
        if (rule.broken > 0)
            names.push_back(rule.name);
    return names;
}

// "held", "not shown", "not judged" or "BROKEN".
std::string verdict_of(const watch::watch_t &w, rule_id id)
{
    std::string v = watch::verdict(*watch::find_rule(w, id));
    return v.substr(0, v.find("  "));
}

using names = std::vector<std::string>;

TEST(TraceRules, Slotring)
{
    watch::watch_t w = judged(demo_t::slotring, {{"----Produce---5", 0}, {"----Produce---9", 0},
                                                 {"-Consume---5", 1}, {"-Consume---9", 2}});
    EXPECT_EQ(broken(w), names{});
    EXPECT_EQ(verdict_of(w, rule_id::fifo), "held");
    EXPECT_EQ(verdict_of(w, rule_id::at_most_five), "not shown") << "the ring never filled";

    EXPECT_EQ(broken(judged(demo_t::slotring, {{"----Produce---5", 0}, {"----Produce---9", 0}, {"-Consume---9", 1}})),
              names{"first in, first out"});
    // A consume of an empty slot reads 0.
    EXPECT_EQ(broken(judged(demo_t::slotring, {{"-Consume---0", 1}})), names{"first in, first out"});
    // A number never produced breaks the order once; the next good line is judged right.
    w = judged(demo_t::slotring, {{"----Produce---5", 0}, {"-Consume---7", 1}, {"-Consume---5", 2}});
    EXPECT_EQ(watch::find_rule(w, rule_id::fifo)->broken, 1);
    // Six ahead: the sixth overwrites the first, which is lost and never waits again.
    std::vector<std::pair<std::string, double>> seven(7, {"----Produce---7", 0});
    for (int k = 0; k < 7; k++)
        seven[static_cast<std::size_t>(k)].first = "----Produce---" + std::to_string(k + 1);
    w = judged(demo_t::slotring, std::vector(seven.begin(), seven.begin() + 5));
    EXPECT_EQ(verdict_of(w, rule_id::at_most_five), "held") << "the ring filled";
    w = judged(demo_t::slotring, seven);
    EXPECT_EQ(broken(w), names{"never more than five waiting"});
    EXPECT_EQ(w.waiting.size(), 5u);
    EXPECT_EQ(w.lost, 2);
    EXPECT_EQ(watch::find_rule(w, rule_id::at_most_five)->first_why, "6 ahead, 1 lost from slot 0");
    EXPECT_EQ(broken(judged(demo_t::slotring, {{"----Produce---0", 0}, {"-Consume--- 5", 0}})),
              names{"every line is a produce or a consume line"});
}

TEST(TraceRules, Stackbell)
{
    watch::watch_t w = judged(demo_t::stackbell, {{"-Produce ---5", 0}, {"-Produce ---9", 0},
                                                  {"-Consume ---9", 1}, {"-Consume ---5", 2}});
    EXPECT_EQ(broken(w), names{});
    EXPECT_EQ(w.stack_shown, 1);

    EXPECT_EQ(broken(judged(demo_t::stackbell, {{"-Produce ---5", 0}, {"-Produce ---9", 0}, {"-Consume ---5", 1}})),
              names{"the newest product is consumed first"});
    // 9 was announced too shortly before the pop to be surely on the list.
    w = judged(demo_t::stackbell, {{"-Produce ---5", 0}, {"-Produce ---9", 0.8}, {"-Consume ---5", 1}});
    EXPECT_EQ(broken(w), names{});
    EXPECT_EQ(w.stack_shown, 0);
    // Two products numbered 5: the newer, announced just before the pop, may be the one
    // taken, with nothing on top of it.
    EXPECT_EQ(broken(judged(demo_t::stackbell, {{"-Produce ---5", 0}, {"-Produce ---9", 0}, {"-Produce ---5", 0.9},
                                                {"-Consume ---5", 1}, {"-Consume ---9", 2}, {"-Consume ---5", 3}})),
              names{});
    // Lines that came in one read (a saved trace) cannot tell what was on the list.
    w = judged(demo_t::stackbell, {{"-Produce ---5", 0}, {"-Produce ---9", 0}, {"-Consume ---5", 0}});
    EXPECT_EQ(verdict_of(w, rule_id::newest_first), "not judged");
    EXPECT_EQ(broken(judged(demo_t::stackbell, {{"-Produce ---5", 0}, {"-Consume ---5", 1}, {"-Consume ---5", 2}})),
              names{"each consumed product was waiting"});
    EXPECT_EQ(broken(judged(demo_t::stackbell, {{"-Produce---5", 0}})),
              names{"every line is a produce or a consume line"});
}

TEST(TraceRules, Duetlock)
{
    std::vector<std::pair<std::string, double>> run(5, {"HELLO WORLD", 0});
    run.insert(run.begin() + 2, {"hello world", 0});
    const watch::ending_t ended{false, 0, 10};
    EXPECT_EQ(broken(judged(demo_t::duetlock, run, ended)), names{});
    // A torn line; a run that ends short of five; the same stopped from outside; a crash.
    EXPECT_EQ(broken(judged(demo_t::duetlock, run, ended, "hello ")),
              names{"every line is whole: HELLO WORLD or hello world"});
    run[0].first = "HELLO hello world";
    EXPECT_EQ(broken(judged(demo_t::duetlock, run, ended)),
              (names{"every line is whole: HELLO WORLD or hello world", "five HELLO WORLD lines, then the end"}));
    watch::watch_t stopped = judged(demo_t::duetlock, {{"HELLO WORLD", 0}}, std::nullopt, "hello ");
    EXPECT_TRUE(watch::all_held(stopped));
    EXPECT_EQ(verdict_of(stopped, rule_id::five_hello), "not judged");
    EXPECT_EQ(broken(judged(demo_t::duetlock, {}, watch::ending_t{false, SIGSEGV, 1})),
              (names{"five HELLO WORLD lines, then the end", "it ends by itself, with status 0"}));

    // The note says what the output shows: how long the first word waited for its second.
    watch::watch_t w = watch::start_watch(demo_t::duetlock);
    EXPECT_EQ(watch::judge_line(w, {"HELLO WORLD", 3.0, 4.5, 0}).text,
              "HELLO waited 1.50 s for WORLD; HELLO WORLD 1 of 5");
}

TEST(TraceRules, Philosophers)
{
    watch::watch_t w = judged(demo_t::dinerspawn, {{" A is eating", 0}, {" E is eating", 0.1}, {" A is eating", 3}});
    EXPECT_EQ(broken(w), names{});
    EXPECT_EQ(w.meals, (std::array<int, 5>{2, 0, 0, 0, 1}));
    // E ate in the same wall-clock second as A.
    watch::watch_t spawn = watch::start_watch(demo_t::dinerspawn);
    watch::judge_line(spawn, {" A is eating", 0, 0, 1000.1});
    EXPECT_NE(watch::judge_line(spawn, {" E is eating", 0, 0, 1000.3}).text.find("in step with A"), std::string::npos);

    EXPECT_EQ(broken(judged(demo_t::dinerlanes, {{"\tB is eating ", 0}})), names{});
    for (const char *wrong : {" F is eating", "\tB is eating", " B is eating ", " B is eating A is eating"})
        EXPECT_EQ(broken(judged(demo_t::dinerspawn, {{wrong, 0}})).size(), 1u) << wrong;
}

TEST(TraceRules, Pulsewait)
{
    watch::watch_t w = watch::start_watch(demo_t::pulsewait);
    EXPECT_EQ(watch::judge_line(w, {" hello world", 1, 1, 1000.01}).text, "the first line: the first deadline");
    EXPECT_EQ(watch::judge_line(w, {" hello world", 3, 3, 1002.5}).text, "+2.00 s: a post cut the wait short");
    // On a whole second, but too soon after the line before to be its deadline.
    EXPECT_EQ(watch::judge_line(w, {" hello world", 5.03, 5.03, 1004.03}).text, "+2.03 s: a post cut the wait short");
    EXPECT_EQ(watch::judge_line(w, {" hello world", 9.99, 9.99, 1009.0}).text,
              "+4.96 s, on a whole second: the deadline");
    EXPECT_EQ(broken(w), names{});
    EXPECT_EQ(w.deadlines, 2);
    EXPECT_EQ(broken(judged(demo_t::pulsewait, {{"hello world", 0}})), names{"every line is \" hello world\""});
}

// A rule the run never put to the test is not "held"; a table or a list that stays stuck
// breaks the rule of the pause bound; a demo that ends by itself, or crashes, fails.
TEST(TraceRules, VerdictsSayOnlyWhatTheRunShowed)
{
    watch::watch_t w = judged(demo_t::dinerlanes, {});
    EXPECT_EQ(verdict_of(w, rule_id::line_format), "not shown");
    EXPECT_EQ(verdict_of(w, rule_id::keeps_eating), "not shown");
    w = judged(demo_t::dinerlanes, {}, watch::ending_t{true, SIGINT, 15});
    EXPECT_EQ(broken(w), names{"someone eats at least every 12 s"});
    w = judged(demo_t::dinerlanes, {{"\tA is eating ", 1}, {"\tB is eating ", 12.5}}, watch::ending_t{true, SIGINT, 20});
    EXPECT_EQ(broken(w), names{});
    EXPECT_EQ(verdict_of(w, rule_id::keeps_eating), "held");

    // Products waiting and none consumed: broken as soon as the bound passes, once.
    w = watch::start_watch(demo_t::stackbell);
    watch::judge_line(w, {"-Produce ---5", 2, 2, 0});
    EXPECT_TRUE(watch::judge_quiet(w, 13).broken.empty());
    EXPECT_EQ(watch::next_look(w), 14);
    EXPECT_EQ(watch::judge_quiet(w, 14).broken,
              std::vector<std::string>{"BROKEN while products wait, one is consumed every 12 s: 1 waiting for 12 s"});
    EXPECT_TRUE(watch::judge_quiet(w, 30).broken.empty());

    EXPECT_EQ(broken(judged(demo_t::slotring, {}, watch::ending_t{false, W_EXITCODE(1, 0), 2})),
              names{"it runs until stopped"});
    EXPECT_EQ(broken(judged(demo_t::slotring, {}, watch::ending_t{true, SIGSEGV, 2})), names{"it runs until stopped"});
    EXPECT_EQ(verdict_of(judged(demo_t::slotring, {}, watch::ending_t{}), rule_id::ending), "not judged");
}

// Every note fits beside its line, and every broken rule on a line of its own, in 80 columns.
TEST(TraceRules, NotesFitInEightyColumns)
{
    std::vector<std::pair<demo_t, std::vector<std::string>>> runs = {
        {demo_t::slotring, {"----Produce---1000", "----Produce---1000", "----Produce---1000", "----Produce---1000",
                            "----Produce---1000", "----Produce---1000", "-Consume---1000", "-Consume---77"}},
        {demo_t::stackbell, std::vector<std::string>(12, "-Produce ---1000")},
        {demo_t::duetlock, {"HELLO WORLD", "HELLO hello world"}},
        {demo_t::dinerspawn, {" A is eating", " B is eating", " C is eating", " D is eating", " E is eating"}},
        {demo_t::pulsewait, {" hello world", " hello world"}},
    };
    runs[1].second.insert(runs[1].second.end(), {"-Consume ---1000", "-Consume ---99"});
    for (const auto &[demo, lines] : runs) {
        watch::watch_t w = watch::start_watch(demo);
        double at = 0;
        for (const std::string &text : lines) {
            at += 100;  // and so every gap takes as many digits as it can
            watch::note_t note = watch::judge_line(w, {text, at - 99.5, at, 1000.3});
            EXPECT_LE(std::max(watch::kColumn, watch::width(text) + 2) + watch::width(note.text), 80) << note.text;
            for (const std::string &b : note.broken)
                EXPECT_LE(2 + watch::width(b), 80) << b;
        }
    }
}

}  // namespace
