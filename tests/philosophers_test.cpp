// The dining philosophers end to end, and the fork order the two programs share.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>

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
constexpr long kMost = 3;

harness::result_t dine(const char *program, harness::options_t o = {})
{
    if (o.stop_after == 0)
        o.stop_after = kRun;
    return harness::run(program, o);
}

// Every line is a philosopher eating; returns how many of the five ate.
long eaters(watch::demo_t demo, const harness::result_t &r)
{
    watch::watch_t w = harness::judge(demo, r);
    EXPECT_TRUE(watch::all_held(w)) << watch::summary(w);
    return std::count_if(w.meals.begin(), w.meals.end(), [](int meals) { return meals > 0; });
}

TEST(Dinerlanes, EveryLineIsAPhilosopherEatingAndMostEat)
{
    harness::result_t r = dine(DINERLANES_PATH);
    EXPECT_TRUE(r.killed_by(SIGINT));
    EXPECT_EQ(r.err, "");
    EXPECT_GE(eaters(watch::demo_t::dinerlanes, r), kMost);

    // A failed write ends the run: quietly when the reader went away (SIGPIPE ignored).
    r = harness::run_script("trap '' PIPE; \"$0\" | head -n 1; exit ${PIPESTATUS[0]}", DINERLANES_PATH);
    EXPECT_TRUE(r.exited(1));
    EXPECT_EQ(r.err, "");
    r = harness::run_script("exec \"$0\" >/dev/full", DINERLANES_PATH);
    EXPECT_TRUE(r.exited(1));
    EXPECT_TRUE(r.err.starts_with("dinerlanes: write: No space left on device\n")) << r.err;
}

TEST(Dinerspawn, LinesArriveThroughAPipeWhileItRunsAndMostEat)
{
    harness::result_t r = dine(DINERSPAWN_PATH);
    EXPECT_TRUE(r.killed_by(SIGINT));
    EXPECT_FALSE(r.stragglers);
    EXPECT_EQ(r.err, "");
    EXPECT_GE(eaters(watch::demo_t::dinerspawn, r), kMost);
    // Lines buffered in a philosopher would only come out at its end, and here it ends
    // by a signal: then they would never arrive at all.
    ASSERT_FALSE(r.lines.empty());
    EXPECT_LT(r.lines.front().at, kRun - 4) << "the first meal came late";
}

// Paced so that every meal takes 50 ms and every rest 10 ms: neighbours then wait for
// each other's forks all the time. A fork is held only for a meal, so no wait can last
// seconds, unless a post in one process fails to wake a waiter in another.
TEST(Dinerspawn, AWaitForAForkEndsWhenTheNeighbourPutsItBack)
{
    harness::options_t o;
    o.stop_after = 5;
    harness::preload(o, FAULT_SHIM_PATH, {"PACE_SLEEP_MS=10", "PACE_HOLD_MS=50", "PACE_WAIT_LIMIT_S=3"});
    harness::result_t r = harness::run(DINERSPAWN_PATH, o);
    EXPECT_TRUE(r.killed_by(SIGINT));
    EXPECT_EQ(r.err, "") << "a philosopher was never woken";
    EXPECT_EQ(eaters(watch::demo_t::dinerspawn, r), kPhilosophers);
}

// No philosopher outlives the first process, and none is left waiting for the forks of
// one that died: whatever ends one of them, or the first process, ends them all.
TEST(Dinerspawn, NobodyOutlivesTheDinnerNorWaitsForADeadNeighbour)
{
    // One philosopher killed from outside, a second after the start.
    auto dinner = std::async(std::launch::async, [] { return harness::run(DINERSPAWN_PATH, {.limit = 15}); });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<pid_t> first = harness::children_of(getpid());
    ASSERT_EQ(first.size(), 1u);
    std::vector<pid_t> philosophers = harness::children_of(first[0]);
    ASSERT_EQ(philosophers.size(), 5u);
    kill(philosophers[2], SIGKILL);
    harness::result_t r = dinner.get();
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(r.err.find("was killed by signal 9 (Killed); the dinner is over\n"), std::string::npos) << r.err;
    EXPECT_FALSE(r.stragglers);

    // The reader goes away, with SIGPIPE at its default and ignored.
    harness::options_t o{.limit = 15};
    r = harness::run_script("\"$0\" | head -n 3", DINERSPAWN_PATH, o);
    EXPECT_TRUE(r.exited(0));
    EXPECT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.stragglers);
    r = harness::run_script("trap '' PIPE; \"$0\" | head -n 3; exit ${PIPESTATUS[0]}", DINERSPAWN_PATH, o);
    EXPECT_TRUE(r.exited(1));
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.stragglers);

    // A full disk fails every philosopher's print. With short rests and a first process
    // slow to see the first one leave, several fail; the first to fail says so, once.
    harness::preload(o, FAULT_SHIM_PATH, {"PACE_SLEEP_MS=10", "PACE_WAITPID_MS=1000"});
    r = harness::run_script("exec \"$0\" >/dev/full", DINERSPAWN_PATH, o);
    EXPECT_TRUE(r.exited(1));
    EXPECT_EQ(r.err, "dinerspawn: write: No space left on device\n");
    EXPECT_FALSE(r.stragglers);

    // The first process killed, by SIGTERM or, while SIGTERM is ignored, by SIGKILL.
    o = {.stop_after = 2, .stop_signal = SIGTERM, .signal_group = false};
    r = dine(DINERSPAWN_PATH, o);
    EXPECT_TRUE(r.killed_by(SIGTERM));
    EXPECT_FALSE(r.stragglers) << "a philosopher outlived the first process";
    o.stop_signal = SIGKILL;
    r = harness::run_script("trap '' TERM; exec \"$0\"", DINERSPAWN_PATH, o);
    EXPECT_TRUE(r.killed_by(SIGKILL));
    EXPECT_FALSE(r.stragglers) << "a philosopher outlived the first process";
}

TEST(Dinerspawn, FailedForkEndsThePhilosophersAlreadyCreated)
{
    harness::options_t o;
    o.limit = 10;
    harness::preload(o, FAULT_SHIM_PATH, {"FAULT_FORK_FAILS_AT=4"});
    harness::result_t r = harness::run(DINERSPAWN_PATH, o);
    EXPECT_TRUE(r.exited(1));
    EXPECT_FALSE(r.stragglers);
    EXPECT_NE(r.err.find("fork: Resource temporarily unavailable\n"), std::string::npos) << r.err;
}

}  // namespace
