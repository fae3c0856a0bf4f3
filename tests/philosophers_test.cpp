// The dining philosophers end to end, and the fork order the two programs share.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>

#include "forks.h"
#include "harness.h"

namespace {

TEST(ForkOrder, EveryoneReachesFirstForTheLowerOfTheirTwoForks)
{
    static_assert(fork_order(4).l == 0 && fork_order(4).r == 4);
    std::array<int, kPhilosophers> users{};
    for (int i = 0; i < kPhilosophers; i++) {
        const auto [l, r] = fork_order(i);
        EXPECT_EQ((std::set<int>{l, r}), (std::set<int>{i, (i + 1) % kPhilosophers}))
            << "philosopher " << i << " must use the two forks beside it";
        EXPECT_LT(l, r);
        users[l]++;
        users[r]++;
    }
    for (int u : users)
        EXPECT_EQ(u, 2) << "every fork lies between exactly two philosophers";
}

// Why at least three of the five eat in ten seconds: a philosopher misses a meal only
// when a neighbour holds the fork it tries at that very moment, and a fork is held only
// for the microseconds of one print. Each philosopher rests at most 4 s, so it tries at
// least three times in the run; and fork 4 is only ever a second fork, so D can miss it
// only while E is eating, and E only while D is.
constexpr double kRun = 10;
constexpr std::size_t kMost = 3;

harness::result_t dine(const char *program, harness::options_t o = {})
{
    if (o.stop_after == 0)
        o.stop_after = kRun;
    return harness::run(program, o);
}

// Checks every line against the program's format; returns the letters that ate.
std::set<char> eaters(const harness::result_t &r, const std::string &before,
                      const std::string &after)
{
    std::set<char> letters;
    for (const harness::line_t &line : r.lines) {
        const std::string &t = line.text;
        bool ok = t.size() == before.size() + 1 + after.size() && t.starts_with(before) &&
                  t.ends_with(after) && t[before.size()] >= 'A' && t[before.size()] <= 'E';
        EXPECT_TRUE(ok) << "line '" << t << "'";
        letters.insert(t[before.size()]);
    }
    EXPECT_TRUE(r.out.empty() || r.out.back() == '\n') << "a torn last line";
    return letters;
}

TEST(Dinerlanes, EveryLineIsAPhilosopherEatingAndMostEat)
{
    harness::result_t r = dine(DINERLANES_PATH);
    EXPECT_TRUE(r.killed_by(SIGINT));
    EXPECT_EQ(r.err, "");
    EXPECT_GE(eaters(r, "\t", " is eating ").size(), kMost);
}

TEST(Dinerspawn, LinesArriveThroughAPipeWhileItRunsAndMostEat)
{
    harness::result_t r = dine(DINERSPAWN_PATH);
    EXPECT_TRUE(r.killed_by(SIGINT));
    EXPECT_FALSE(r.stragglers);
    EXPECT_EQ(r.err, "");
    EXPECT_GE(eaters(r, " ", " is eating").size(), kMost);
    // Lines buffered in a philosopher would only come out at its end, and here it ends
    // by a signal: then they would never arrive at all.
    ASSERT_FALSE(r.lines.empty());
    EXPECT_LT(r.lines.front().at, kRun - 4) << "the first meal came late";
}

TEST(Dinerspawn, TermToTheFirstProcessAloneEndsEveryPhilosopher)
{
    harness::options_t o;
    o.stop_after = 2;
    o.stop_signal = SIGTERM;
    o.signal_group = false;
    harness::result_t r = dine(DINERSPAWN_PATH, o);
    EXPECT_TRUE(r.killed_by(SIGTERM));
    EXPECT_FALSE(r.stragglers) << "a philosopher outlived the first process";
}

TEST(Dinerspawn, FailedForkEndsThePhilosophersAlreadyCreated)
{
    harness::options_t o;
    o.limit = 10;
    harness::preload(o, FAULT_SHIM_PATH, "FAULT_FORK_FAILS_AT=4");
    harness::result_t r = harness::run(DINERSPAWN_PATH, o);
    EXPECT_TRUE(r.exited(1));
    EXPECT_FALSE(r.stragglers);
    EXPECT_NE(r.err.find("fork: Resource temporarily unavailable\n"), std::string::npos) << r.err;
}

}  // namespace
