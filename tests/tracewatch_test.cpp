// tracewatch end to end: a bounded run of a real demo, a trace that breaks a rule, wrong
// use, Ctrl-C, which must print the summary and leave no process behind; and hostile
// surroundings, which must neither hang it, flood it, nor fool its verdict.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "harness.h"

namespace {

harness::result_t tracewatch(std::vector<std::string> args, harness::options_t o = {})
{
    o.args = std::move(args);
    o.limit = 20;
    return harness::run(TRACEWATCH_PATH, o);
}

// tracewatch started by a bash script: "$0" is tracewatch, "$1" the slotring beside it.
harness::result_t tracewatch_in(const std::string &script, harness::options_t o = {})
{
    o.args.insert(o.args.begin(), SLOTRING_PATH);
    o.limit = 20;
    return harness::run_script(script, TRACEWATCH_PATH, o);
}

using harness::has;

TEST(Tracewatch, NotesEveryLineAndJudgesTheRun)
{
    // The demo named is the one beside tracewatch; --as makes a path's rules known.
    harness::result_t r = tracewatch({"--for", "3", "--as", "slotring", SLOTRING_PATH});
    EXPECT_TRUE(r.exited(0));
    EXPECT_EQ(r.err, "");
    ASSERT_GE(r.lines.size(), 6u);
    EXPECT_TRUE(r.lines[0].text.starts_with("----Produce---")) << r.lines[0].text;
    EXPECT_TRUE(has(r.lines[0].text, "into slot 0 [")) << r.lines[0].text;
    // --for 3 stops it after three seconds; a busy machine may let it say a little more.
    const std::string ran_for = "\ntracewatch: slotring ran ";
    const std::size_t ran = r.out.find(ran_for);
    ASSERT_NE(ran, std::string::npos) << r.out;
    const double seconds = std::atof(r.out.c_str() + ran + ran_for.size());
    EXPECT_GE(seconds, 3.0) << r.out;
    EXPECT_LT(seconds, 4.0) << r.out;
    EXPECT_TRUE(has(r.out.substr(ran), " s and was stopped\n")) << r.out;
    EXPECT_TRUE(has(r.out, "  held        first in, first out\n")) << r.out;
    EXPECT_TRUE(has(r.out, "  not shown   while products wait")) << r.out;
    EXPECT_FALSE(has(r.out, "\033[")) << "escape sequences into a pipe";

    // pulsewait's input is passed on a line per read, as a terminal would: three lines
    // typed at once bring three lines at once, after the first deadline's line and long
    // before the next. (Its deadlines are on the wall clock: a run during which the host
    // set the clock is run again.)
    r = harness::on_a_steady_clock(TRACEWATCH_PATH, {.args = {"--for", "4", "pulsewait"},
                                                     .feed = {{2.5, "one\ntwo\nthree\n"}},
                                                     .limit = 20});
    const auto hello = [](const harness::line_t &l) { return l.text.starts_with(" hello world "); };
    if (!r.clock_set) {
        EXPECT_TRUE(r.exited(0));
        EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(), hello), 4) << r.out;
    }

    // A trace from standard input that breaks a rule; its lines end in CR LF.
    r = tracewatch({"--as", "slotring", "-"}, {.input = "----Produce---5\r\n----Produce---9\r\n-Consume---9\r\n"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_TRUE(has(r.out, "-Consume---9          out of slot 0")) << r.out;
    EXPECT_TRUE(has(r.out, "\n  BROKEN first in, first out: consumed 9, but 5 waited longer\n")) << r.out;
    EXPECT_TRUE(has(r.out, "  BROKEN      first in, first out (1 time)\n"
                           "              at line 3: consumed 9, but 5 waited longer\n")) << r.out;

    for (const std::vector<std::string> &wrong : {std::vector<std::string>{"nosuchdemo"}, {"--as", "slotring"},
                                                  {"--for", "x", "slotring"}, {"-"}, {"--as", "slotring", ""}}) {
        r = tracewatch(wrong);
        EXPECT_TRUE(r.exited(2));
        EXPECT_TRUE(has(r.err, "usage: tracewatch")) << r.err;
    }
    r = tracewatch({"--as", "slotring", "/nonexistent/slotring"});
    EXPECT_TRUE(r.exited(2));
    EXPECT_EQ(r.err, "tracewatch: cannot start /nonexistent/slotring: No such file or directory\n");
}

TEST(Tracewatch, CtrlCStopsTheWholeProgramAndPrintsTheSummary)
{
    harness::options_t o;
    o.stop_after = 2;  // Ctrl-C reaches tracewatch's process group, not the program's
    harness::result_t r = tracewatch({"dinerspawn"}, o);
    EXPECT_TRUE(r.exited(0));
    // How long it says it ran is its own clock's, from its start to the signal, which a busy
    // machine delivers late: about two seconds, not to the tenth.
    const std::string said = "\ntracewatch: dinerspawn ran ";
    const std::size_t at = r.out.find(said);
    ASSERT_NE(at, std::string::npos) << r.out;
    const double ran = std::stod(r.out.substr(at + said.size()));
    EXPECT_GE(ran, 1.5) << r.out;
    EXPECT_LE(ran, 10.0) << r.out;
    EXPECT_TRUE(has(r.out.substr(at), " s and was stopped\n")) << r.out;
    EXPECT_TRUE(has(r.out, "  held        every line is a philosopher, A to E, eating\n"));
    // Whatever tracewatch left running became our child (the harness adopts orphans).
    EXPECT_EQ(harness::children_of(getpid()).size(), 0u) << "processes left behind";
}

// Nothing it is given, and no way it is started, keeps it from its deadline, its stop or
// its end; and what it stops includes what left the program's process group.
TEST(Tracewatch, NeverStuck)
{
    // Input without a newline at its end.
    harness::result_t r = tracewatch({"--for", "2", "pulsewait"}, {.input = "abc"});
    EXPECT_TRUE(r.exited(0)) << r.out;
    // Standard input closed: the program's output is not taken for typed input.
    r = tracewatch_in("exec \"$0\" --for 2.5 pulsewait <&-");
    EXPECT_TRUE(r.exited(0));
    EXPECT_LE(r.lines.size(), 12u) << r.out;
    r = tracewatch_in("exec \"$0\" --for 1 --as slotring \"$1\" >&-");
    EXPECT_TRUE(r.exited(2));
    EXPECT_EQ(r.err, "tracewatch: standard output is closed: nowhere to show the watch\n");
    // Its reader gone: it ends, quietly, and nothing is left running.
    r = tracewatch_in("\"$0\" --as slotring \"$1\" | head -n 1; exit ${PIPESTATUS[0]}");
    EXPECT_TRUE(r.exited(2));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(harness::children_of(getpid()).size(), 0u) << "processes left behind";
    // Another failure of its output is said.
    r = tracewatch_in("exec \"$0\" --for 5 --as slotring \"$1\" >/dev/full");
    EXPECT_TRUE(r.exited(2));
    EXPECT_EQ(r.err, "tracewatch: write: No space left on device\n");
    // Started with the signals it waits for blocked: a program's end is seen, though its
    // output closed long before, and so is a SIGTERM, though no output comes.
    const std::string blocked = "exec perl -e 'use POSIX; sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGCHLD, SIGINT, "
                                "SIGTERM)); exec @ARGV' \"$0\" --as slotring ";
    r = tracewatch_in(blocked + "/bin/sh -c 'exec >&-; sleep 1'");
    EXPECT_TRUE(r.exited(1));
    EXPECT_TRUE(has(r.out, "it ended by itself, with status 0")) << r.out;
    // The SIGTERM comes from the program tracewatch started, so it cannot come before
    // tracewatch runs, however long a busy machine takes to start it.
    r = tracewatch_in(blocked + "/bin/sh -c 'kill -TERM $PPID; exec sleep 10'");
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "s and was stopped")) << r.out;
    EXPECT_LT(r.seconds, 5) << "the SIGTERM was not seen at once";
    // A process that left the program's group is stopped with the rest.
    r = tracewatch_in("exec \"$0\" --for 1 --as slotring /bin/sh -c 'setsid sleep 300 & exec \"$0\"' \"$1\"");
    EXPECT_TRUE(r.exited(0)) << r.out;
    EXPECT_EQ(harness::children_of(getpid()).size(), 0u) << "processes left behind";
}

// However long a line or a run, what it keeps and what it writes per line stay bounded.
TEST(Tracewatch, NeverFlooded)
{
    // A line without end: its peak memory, read while it runs, stays small.
    harness::result_t r = tracewatch_in(
        "tr -d '\\n' </dev/zero | \"$0\" --for 3 --as slotring - >/dev/null & tw=$!; sleep 2;"
        "grep VmHWM /proc/$tw/status; wait $tw");
    ASSERT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_LT(std::stol(r.out.substr(r.out.find(':') + 1)), 100 * 1024) << r.out;
    // 3000 products on stackbell's list: each note stays one short line.
    std::string trace;
    for (int k = 0; k < 3000; k++)
        trace += "-Produce ---" + std::to_string(k % 1000 + 1) + "\n";
    r = tracewatch({"--as", "stackbell", "-"}, {.input = trace});
    EXPECT_TRUE(r.exited(0));
    EXPECT_LT(r.out.size(), 3000u * 80);
    EXPECT_TRUE(has(r.out, " more (newest first)\n")) << r.out.substr(0, 400);
}

// A run is not called good for what it did not show: a crash or an end where none belongs
// is a failure, and so is input that could not be read.
TEST(Tracewatch, NeverFooledByAFailure)
{
    harness::result_t r = tracewatch({"--as", "slotring", "/bin/false"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_TRUE(has(r.out, "  BROKEN      it runs until stopped (1 time)\n"
                           "              at the end: it ended by itself, with status 1\n")) << r.out;
    r = tracewatch({"--as", "duetlock", "/bin/sh", "-c", "kill -SEGV $$"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_TRUE(has(r.out, "it was killed by signal 11 (Segmentation fault)")) << r.out;
    r = tracewatch_in("exec \"$0\" --as slotring - </");
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.out, "then reading failed: Is a directory")) << r.out;
}

}  // namespace
