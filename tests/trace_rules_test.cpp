// The rule checkers on short made-up traces: for each program, a trace that keeps its
// rules, and each way to break them.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "trace_rules.h"

namespace {

using watch::demo_t;

// Lines with arrival times: {text, seconds}. Each line arrives whole, at 0.2 s into its
// wall-clock second.
watch::watch_t judged(demo_t demo, const std::vector<std::pair<std::string, double>> &trace,
                      bool ended_by_itself = false, const std::string &unfinished = "")
{
    std::vector<watch::line_t> lines;
    for (const auto &[text, at] : trace)
        lines.push_back({text, at, at, 1000.2 + at});
    return watch::judge_run(demo, lines, unfinished, ended_by_itself);
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

using names = std::vector<std::string>;

TEST(TraceRules, Slotring)
{
    watch::watch_t w = judged(demo_t::slotring, {{"----Produce---5", 0}, {"----Produce---9", 0},
                                                 {"-Consume---5", 1}, {"-Consume---9", 2}});
    EXPECT_EQ(broken(w), names{});
    EXPECT_EQ(w.most_waiting, 2);

    EXPECT_EQ(broken(judged(demo_t::slotring, {{"----Produce---5", 0}, {"----Produce---9", 0}, {"-Consume---9", 1}})),
              names{"first in, first out"});
    EXPECT_EQ(broken(judged(demo_t::slotring, {{"-Consume---9", 1}})), names{"first in, first out"});
    std::vector<std::pair<std::string, double>> six(6, {"----Produce---7", 0});
    EXPECT_EQ(broken(judged(demo_t::slotring, six)), names{"never more than five waiting"});
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
    EXPECT_EQ(broken(judged(demo_t::stackbell, {{"-Produce ---5", 0}, {"-Consume ---5", 1}, {"-Consume ---5", 2}})),
              names{"each consumed product was waiting"});
    EXPECT_EQ(broken(judged(demo_t::stackbell, {{"-Produce---5", 0}})),
              names{"every line is a produce or a consume line"});
}

TEST(TraceRules, Duetlock)
{
    std::vector<std::pair<std::string, double>> run(5, {"HELLO WORLD", 0});
    run.insert(run.begin() + 2, {"hello world", 0});
    EXPECT_EQ(broken(judged(demo_t::duetlock, run, true)), names{});
    // A torn line; a run that ends short of five; the same stopped from outside.
    EXPECT_EQ(broken(judged(demo_t::duetlock, run, true, "hello ")),
              names{"every line is whole: HELLO WORLD or hello world"});
    run[0].first = "HELLO hello world";
    EXPECT_EQ(broken(judged(demo_t::duetlock, run, true)),
              (names{"every line is whole: HELLO WORLD or hello world", "five HELLO WORLD lines, then the end"}));
    watch::watch_t stopped = judged(demo_t::duetlock, {{"HELLO WORLD", 0}}, false, "hello ");
    EXPECT_TRUE(watch::all_held(stopped));
    EXPECT_FALSE(stopped.rules[1].judged);

    // How long the first word waited for its second.
    watch::watch_t w = watch::start_watch(demo_t::duetlock);
    EXPECT_EQ(watch::judge_line(w, {"HELLO WORLD", 3.0, 4.5, 0}).text,
              "HELLO waited 1.50 s for WORLD, the mutex held; HELLO WORLD 1 of 5");
}

TEST(TraceRules, Philosophers)
{
    watch::watch_t w = judged(demo_t::dinerspawn, {{" A is eating", 0}, {" E is eating", 0.1}, {" A is eating", 3}});
    EXPECT_EQ(broken(w), names{});
    EXPECT_EQ(w.meals, (std::array<int, 5>{2, 0, 0, 0, 1}));
    // E ate in the same wall-clock second as A.
    watch::watch_t spawn = watch::start_watch(demo_t::dinerspawn);
    watch::judge_line(spawn, {" A is eating", 0, 0, 1000.1});
    EXPECT_NE(watch::judge_line(spawn, {" E is eating", 0, 0, 1000.3}).text.find("same second as A"), std::string::npos);

    EXPECT_EQ(broken(judged(demo_t::dinerlanes, {{"\tB is eating ", 0}})), names{});
    for (const char *wrong : {" F is eating", "\tB is eating", " B is eating ", " B is eating A is eating"})
        EXPECT_EQ(broken(judged(demo_t::dinerspawn, {{wrong, 0}})).size(), 1u) << wrong;
}

TEST(TraceRules, Pulsewait)
{
    watch::watch_t w = watch::start_watch(demo_t::pulsewait);
    EXPECT_NE(watch::judge_line(w, {" hello world", 1, 1, 1000.01}).text.find("on a whole second"), std::string::npos);
    EXPECT_NE(watch::judge_line(w, {" hello world", 3, 3, 1002.5}).text.find("+2.00 s, between seconds"),
              std::string::npos);
    EXPECT_EQ(broken(w), names{});
    EXPECT_EQ(w.on_second, 1);
    EXPECT_EQ(broken(judged(demo_t::pulsewait, {{"hello world", 0}})), names{"every line is \" hello world\""});
}

}  // namespace
