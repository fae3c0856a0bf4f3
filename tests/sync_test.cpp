// The four synchronisation demos, judged by the rules that tracewatch shows. Where a rule
// shows only when one thread runs ahead of the other, the fault shim sets the threads'
// pauses so that it does, every run; the unpaced programs are judged too.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "harness.h"

namespace {

harness::result_t run_for(const char *program, double seconds, const std::string &pace = "")
{
    harness::options_t o;
    o.stop_after = seconds;
    o.keep_input_open = true;
    if (!pace.empty())
        harness::preload(o, FAULT_SHIM_PATH, {"PACE_SLEEP_MS=" + pace});
    return harness::run(program, o);
}

// Runs stopped by Ctrl-C, quiet on standard error, and every rule held.
watch::watch_t expect_rules_held(watch::demo_t demo, const harness::result_t &r)
{
    EXPECT_TRUE(r.killed_by(SIGINT));
    EXPECT_EQ(r.err, "");
    watch::watch_t w = harness::judge(demo, r);
    EXPECT_TRUE(watch::all_held(w)) << watch::summary(w);
    return w;
}

TEST(Duetlock, RunsToItsEndWithWholeLinesAndFiveUpperCaseOnes)
{
    // Into a full disk alongside: the failed writes must not pass for success.
    auto full = std::async(std::launch::async, [] {
        return harness::run_script("exec \"$0\" >/dev/full", DUETLOCK_PATH, {.limit = 45});
    });
    harness::result_t r = harness::run(DUETLOCK_PATH, {.limit = 45});  // 5 lines of at most 6 s
    EXPECT_TRUE(r.exited(0));
    EXPECT_EQ(r.err, "");
    watch::watch_t w = harness::judge(watch::demo_t::duetlock, r);
    EXPECT_TRUE(watch::all_held(w)) << watch::summary(w);
    EXPECT_EQ(w.upper, 5);

    harness::result_t f = full.get();
    EXPECT_TRUE(f.exited(1));
    EXPECT_EQ(f.err, "duetlock: could not write to standard output\n");
}

TEST(Stackbell, EveryProductIsConsumedOnceAndTheNewestFirst)
{
    // Paced: the producer pauses 0.3 s and the consumer 1.5 s, so several products wait
    // at every pop after the first, and taking any but the newest breaks the rule.
    auto paced = std::async(std::launch::async, [] { return run_for(STACKBELL_PATH, 6, "0,300,1500"); });
    watch::watch_t w = expect_rules_held(watch::demo_t::stackbell, run_for(STACKBELL_PATH, 8));
    EXPECT_GE(w.consumed, 2);

    w = expect_rules_held(watch::demo_t::stackbell, paced.get());
    EXPECT_GE(w.stack_shown, 1) << "the producer never got ahead: stack order went untested";
}

TEST(Slotring, NumbersComeOutFirstInFirstOutAndNeverMoreThanFiveAhead)
{
    // Paced: the producer pauses 0.1 s and the consumer 1 s, so the ring fills and the
    // producer waits for a free slot.
    auto paced = std::async(std::launch::async, [] { return run_for(SLOTRING_PATH, 5, "0,100,1000"); });
    watch::watch_t w = expect_rules_held(watch::demo_t::slotring, run_for(SLOTRING_PATH, 8));
    EXPECT_GE(w.consumed, 2);

    w = expect_rules_held(watch::demo_t::slotring, paced.get());
    EXPECT_EQ(w.most_waiting, 5) << "the ring never filled: the bound went untested";
}

// The programs that run until stopped end when their output fails: quietly when the
// reader went away (with SIGPIPE ignored, as some launchers leave it), with a message
// when the disk is full.
TEST(EndlessDemos, AFailedWriteEndsTheRun)
{
    for (const char *program : {STACKBELL_PATH, SLOTRING_PATH, PULSEWAIT_PATH}) {
        SCOPED_TRACE(program);
        // pulsewait's second line comes at once on input, instead of five seconds later
        harness::options_t o{.feed = {{1.5, "x\n"}}, .keep_input_open = true, .limit = 15};
        harness::result_t r =
            harness::run_script("trap '' PIPE; \"$0\" | head -n 1; exit ${PIPESTATUS[0]}", program, o);
        EXPECT_TRUE(r.exited(1));
        EXPECT_EQ(r.err, "");
        r = harness::run_script("exec \"$0\" >/dev/full", program, o);
        EXPECT_TRUE(r.exited(1));
        EXPECT_NE(r.err.find(": write: No space left on device\n"), std::string::npos) << r.err;
    }
}

// pulsewait's lines: when each came, and where in its wall-clock second. Its deadlines are
// on the wall clock, so a run during which the host set its clock is run again.
constexpr double kPrompt = 0.3;  // how late a line may arrive and still count as at once
constexpr double kAtOnce = 0.9;  // the same for a line an input brings, on a busy machine

// How late a line may come on a whole second: kPrompt, and on a host so busy that a thread
// of the tests woke late for a whole second too, that much more.
double late_allowed(const harness::result_t &r)
{
    return kPrompt + r.host_late;
}

// Without input: the first line on the next whole second, then one every 5 s.
void expect_rhythm(const harness::result_t &r, double from)
{
    const std::vector<harness::line_t> &lines = r.lines;
    for (std::size_t k = 1; k < lines.size(); k++)
        if (lines[k - 1].at >= from) {
            EXPECT_NEAR(lines[k].at - lines[k - 1].at, 5.0, late_allowed(r)) << "line " << k;
            EXPECT_LT(watch::into_second(lines[k].wall), late_allowed(r)) << "line " << k << " not on a whole second";
        }
}

TEST(Pulsewait, WithoutInputALineEveryFiveSecondsOnWholeSeconds)
{
    harness::result_t r = harness::on_a_steady_clock(PULSEWAIT_PATH, {.keep_input_open = true, .stop_after = 12});
    if (r.clock_set)
        GTEST_SKIP() << "the wall clock was set during every run: its whole seconds cannot be judged";
    expect_rules_held(watch::demo_t::pulsewait, r);
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_LT(r.lines[0].at, 1 + late_allowed(r));
    EXPECT_LT(watch::into_second(r.lines[0].wall), late_allowed(r)) << "the host woke a thread late by " << r.host_late;
    expect_rhythm(r, 0);
}

TEST(Pulsewait, EachInputBringsALineAtOnce)
{
    harness::options_t o;
    o.stop_after = 12;
    o.keep_input_open = true;
    // Three lines a second apart are three reads, as three lines typed would be, even on a
    // machine busy enough to keep the demo waiting for the processor for most of a second.
    o.feed = {{2.5, "one\n"}, {3.5, "two\n"}, {4.5, "three\n"}};
    harness::result_t r = harness::on_a_steady_clock(PULSEWAIT_PATH, o);
    if (r.clock_set)
        GTEST_SKIP() << "the wall clock was set during every run: its whole seconds cannot be judged";
    expect_rules_held(watch::demo_t::pulsewait, r);
    // At once: well before the beat, which comes 4 to 5 s after the line before.
    std::vector<harness::line_t> prompt;
    for (const harness::line_t &line : r.lines)
        if (line.at >= 2.5 && line.at < 4.5 + kAtOnce)
            prompt.push_back(line);
    ASSERT_EQ(prompt.size(), 3u) << "one line per input, each at once";
    for (std::size_t k = 0; k < 3; k++)
        EXPECT_LT(prompt[k].at, 2.5 + static_cast<double>(k) + kAtOnce) << "input " << k << " brought its line late";
    // The next wait starts from the last of them and ends on a whole second 4 to 5 s later.
    auto next = std::find_if(r.lines.begin(), r.lines.end(),
                             [&](const harness::line_t &l) { return l.at > prompt.back().at; });
    ASSERT_NE(next, r.lines.end());
    EXPECT_GE(next->at - prompt.back().at, 4 - late_allowed(r));
    EXPECT_LE(next->at - prompt.back().at, 5 + late_allowed(r));
    EXPECT_LT(watch::into_second(next->wall), late_allowed(r));
    expect_rhythm(r, next->at);
}

TEST(Pulsewait, AtEndOfInputTheRhythmGoesOnWithoutAFlood)
{
    harness::options_t o;
    o.stop_after = 7;  // input is closed from the start
    harness::result_t r = harness::on_a_steady_clock(PULSEWAIT_PATH, o);
    if (r.clock_set)
        GTEST_SKIP() << "the wall clock was set during every run: its rhythm cannot be judged";
    expect_rules_held(watch::demo_t::pulsewait, r);
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_LT(r.lines[0].at, 1 + late_allowed(r));
    expect_rhythm(r, 0);
}

}  // namespace
