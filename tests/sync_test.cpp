// The four synchronisation demos, judged by the traces they print.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

// A line "<prefix><number>" with a number from 1 to 1000: the number, else 0.
int number_after(const std::string &line, const std::string &prefix)
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

harness::result_t run_for(const char *program, double seconds)
{
    harness::options_t o;
    o.stop_after = seconds;
    o.keep_input_open = true;
    return harness::run(program, o);
}

TEST(Duetlock, RunsToItsEndWithWholeLinesAndFiveUpperCaseOnes)
{
    harness::options_t o;
    o.limit = 45;  // five lines of at most 6 s each, with room to spare
    harness::result_t r = harness::run(DUETLOCK_PATH, o);
    EXPECT_TRUE(r.exited(0));
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n') << "a torn last line";
    int upper = 0;
    for (const harness::line_t &line : r.lines) {
        EXPECT_TRUE(line.text == "HELLO WORLD" || line.text == "hello world") << line.text;
        upper += (line.text == "HELLO WORLD");
    }
    EXPECT_EQ(upper, 5);
}

// How the consumer's pops can be checked from the printed trace alone. The producer prints
// a product and then pushes it; the consumer pops one and then prints it. Every pause is a
// whole number of seconds and every print lies milliseconds from its push or pop, so the
// lines come in bursts a second or more apart. A product announced at least kSure before a
// consume line was therefore on the list when that pop took place. The pop took the newest
// product on the list: so either it took the newest of those surely pushed, or one
// announced just before the consume line (newer than all of them).
constexpr double kSure = 0.5;

struct product_t {
    int num;
    double at;  // when its produce line arrived
};

struct stack_check_t {
    int consumed = 0;
    int ahead = 0;  // pops with two or more surely pushed products to choose from
};

stack_check_t check_stack_order(const harness::result_t &r)
{
    stack_check_t c;
    std::vector<product_t> waiting;  // announced and not yet consumed, oldest first
    for (const harness::line_t &line : r.lines) {
        if (int n = number_after(line.text, "-Produce ---"); n != 0) {
            waiting.push_back({n, line.at});
            continue;
        }
        int n = number_after(line.text, "-Consume ---");
        EXPECT_NE(n, 0) << "not a product line: " << line.text;
        // the newest waiting product with this number
        auto it = waiting.end();
        while (it != waiting.begin() && (it - 1)->num != n)
            --it;
        if (it == waiting.begin()) {
            ADD_FAILURE() << "consumed " << n << " before it was produced, or twice";
            continue;
        }
        const product_t taken = *--it;
        int surely_pushed = 0;
        bool newer_surely_pushed = false;
        for (const product_t &p : waiting) {
            bool sure = p.at <= line.at - kSure;
            surely_pushed += sure;
            newer_surely_pushed |= sure && p.at > taken.at;
        }
        EXPECT_FALSE(newer_surely_pushed)
            << "consumed " << n << " while a newer product lay on top of it";
        c.ahead += surely_pushed >= 2;
        c.consumed++;
        waiting.erase(it);
    }
    return c;
}

TEST(Stackbell, EveryProductIsConsumedOnceAndNewestFirst)
{
    // Three runs a second apart, so that their seeds and so their pauses differ; the
    // producer then gets ahead of the consumer in at least one of them.
    constexpr int kRuns = 3;
    std::vector<harness::result_t> runs(kRuns);
    std::vector<std::thread> threads;
    for (int k = 0; k < kRuns; k++) {
        threads.emplace_back([&runs, k] { runs[k] = run_for(STACKBELL_PATH, 14); });
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    }
    for (std::thread &t : threads)
        t.join();

    int ahead = 0;
    for (const harness::result_t &r : runs) {
        EXPECT_TRUE(r.killed_by(SIGINT));
        EXPECT_EQ(r.err, "");
        stack_check_t c = check_stack_order(r);
        EXPECT_GE(c.consumed, 3);
        ahead += c.ahead;
    }
    EXPECT_GE(ahead, 1) << "the producer never got ahead: stack order went untested";
}

TEST(Slotring, NumbersComeOutFirstInFirstOutAndNeverMoreThanFiveAhead)
{
    harness::result_t r = run_for(SLOTRING_PATH, 14);
    EXPECT_TRUE(r.killed_by(SIGINT));
    EXPECT_EQ(r.err, "");
    // The producer prints before it posts and the consumer after it waits, so even in
    // output order every number is consumed after it was produced, in the same order.
    std::vector<int> produced, consumed;
    for (const harness::line_t &line : r.lines) {
        if (int n = number_after(line.text, "----Produce---"); n != 0) {
            produced.push_back(n);
        } else {
            int m = number_after(line.text, "-Consume---");
            ASSERT_NE(m, 0) << "not a ring line: " << line.text;
            consumed.push_back(m);
            ASSERT_LE(consumed.size(), produced.size()) << "consumed before produced";
            EXPECT_EQ(m, produced[consumed.size() - 1]) << "out of order";
        }
        EXPECT_LE(produced.size() - consumed.size(), 5u) << "more than five slots in use";
    }
    EXPECT_GE(consumed.size(), 4u);
}

// pulsewait's lines: when each came, and where in its wall-clock second.
constexpr double kPrompt = 0.3;  // how late a line may arrive and still count as at once

double into_second(const harness::line_t &line)
{
    return line.wall - std::floor(line.wall);
}

// Without input: the first line on the next whole second, then one every 5 s.
void expect_rhythm(const std::vector<harness::line_t> &lines, double from)
{
    for (std::size_t k = 1; k < lines.size(); k++)
        if (lines[k - 1].at >= from) {
            EXPECT_NEAR(lines[k].at - lines[k - 1].at, 5.0, kPrompt) << "line " << k;
            EXPECT_LT(into_second(lines[k]), kPrompt) << "line " << k << " not on a whole second";
        }
}

TEST(Pulsewait, WithoutInputALineEveryFiveSecondsOnWholeSeconds)
{
    harness::result_t r = run_for(PULSEWAIT_PATH, 12);
    EXPECT_TRUE(r.killed_by(SIGINT));
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.lines.size(), 3u);
    for (const harness::line_t &line : r.lines)
        EXPECT_EQ(line.text, " hello world");
    EXPECT_LT(r.lines[0].at, 1 + kPrompt);
    EXPECT_LT(into_second(r.lines[0]), kPrompt);
    expect_rhythm(r.lines, 0);
}

TEST(Pulsewait, EachInputBringsALineAtOnce)
{
    harness::options_t o;
    o.stop_after = 12;
    o.keep_input_open = true;
    // Three lines 50 ms apart are three reads, as three lines typed quickly would be.
    o.feed = {{2.5, "one\n"}, {2.55, "two\n"}, {2.6, "three\n"}};
    harness::result_t r = harness::run(PULSEWAIT_PATH, o);
    EXPECT_TRUE(r.killed_by(SIGINT));
    EXPECT_EQ(r.err, "");
    std::vector<harness::line_t> prompt;
    for (const harness::line_t &line : r.lines)
        if (line.at >= 2.5 && line.at < 2.6 + kPrompt)
            prompt.push_back(line);
    ASSERT_EQ(prompt.size(), 3u) << "one line per input, each at once";
    // The next wait starts from the last of them and ends on a whole second 4 to 5 s later.
    auto next = std::find_if(r.lines.begin(), r.lines.end(),
                             [&](const harness::line_t &l) { return l.at > prompt.back().at; });
    ASSERT_NE(next, r.lines.end());
    EXPECT_GE(next->at - prompt.back().at, 4 - kPrompt);
    EXPECT_LE(next->at - prompt.back().at, 5 + kPrompt);
    EXPECT_LT(into_second(*next), kPrompt);
    expect_rhythm(r.lines, next->at);
}

TEST(Pulsewait, AtEndOfInputTheRhythmGoesOnWithoutAFlood)
{
    harness::options_t o;
    o.stop_after = 7;  // input is closed from the start
    harness::result_t r = harness::run(PULSEWAIT_PATH, o);
    EXPECT_TRUE(r.killed_by(SIGINT));
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_LT(r.lines[0].at, 1 + kPrompt);
    expect_rhythm(r.lines, 0);
}

}  // namespace
