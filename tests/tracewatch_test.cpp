// tracewatch end to end: a bounded run of a real demo, a trace that breaks a rule, wrong
// use, and Ctrl-C, which must print the summary and leave no process behind.
#include <gtest/gtest.h>

#include <algorithm>
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

TEST(Tracewatch, NotesEveryLineAndJudgesTheRun)
{
    // The demo named is the one beside tracewatch; --as makes a path's rules known.
    harness::result_t r = tracewatch({"--for", "3", "--as", "slotring", SLOTRING_PATH});
    EXPECT_TRUE(r.exited(0));
    EXPECT_EQ(r.err, "");
    ASSERT_GE(r.lines.size(), 6u);
    EXPECT_TRUE(r.lines[0].text.starts_with("----Produce---")) << r.lines[0].text;
    EXPECT_NE(r.lines[0].text.find("into slot 0, ring ["), std::string::npos) << r.lines[0].text;
    EXPECT_NE(r.out.find("\ntracewatch: slotring ran 3.0 s and was stopped\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  held        first in, first out\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\033["), std::string::npos) << "escape sequences into a pipe";

    // pulsewait's input is passed on a line per read, as a terminal would: three lines
    // typed at once bring three lines at once, after the first deadline's line and long
    // before the next.
    r = tracewatch({"--for", "4", "pulsewait"}, {.feed = {{2.5, "one\ntwo\nthree\n"}}});
    EXPECT_TRUE(r.exited(0));
    EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(),
                            [](const harness::line_t &l) { return l.text.starts_with(" hello world "); }),
              4) << r.out;

    // A trace from standard input that breaks a rule.
    r = tracewatch({"--as", "slotring", "-"}, {.input = "----Produce---5\n----Produce---9\n-Consume---9\n"});
    EXPECT_TRUE(r.exited(1));
    EXPECT_NE(r.out.find("BROKEN      first in, first out: 1 time, first at line 3: consumed 9, but 5 had waited longer"),
              std::string::npos) << r.out;

    for (const std::vector<std::string> &wrong :
         {std::vector<std::string>{"nosuchdemo"}, {"--as", "slotring"}, {"--for", "x", "slotring"}, {"-"}}) {
        r = tracewatch(wrong);
        EXPECT_TRUE(r.exited(2));
        EXPECT_NE(r.err.find("usage: tracewatch"), std::string::npos) << r.err;
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
    EXPECT_NE(r.out.find("\ntracewatch: dinerspawn ran 2.0 s and was stopped\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  held        every line is a philosopher, A to E, eating\n"), std::string::npos);
    // Whatever tracewatch left running became our child (the harness adopts orphans).
    EXPECT_EQ(harness::children_of(getpid()).size(), 0u) << "processes left behind";
}

}  // namespace
