// linecarver end to end: the prompt, the listing, the exit words and the end of input.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace {

harness::result_t carve(const std::string &input)
{
    harness::options_t o;
    o.input = input;
    o.limit = 10;
    return harness::run(LINECARVER_PATH, o);
}

// Runs the input to its end and expects a clean exit with exactly this output.
void expect_output(const std::string &input, const std::string &out)
{
    harness::result_t r = carve(input);
    EXPECT_TRUE(r.exited(0)) << "input: " << input;
    EXPECT_EQ(r.out, out) << "input: " << input;
    EXPECT_EQ(r.err, "") << "input: " << input;
}

TEST(Linecarver, ListsEveryCommandOfAPipeline)
{
    expect_output("ls -l < a.txt | wc -c > b.txt\n",
                  "sh%ls -l < a.txt \n"
                  "cmd-show:ls,argv:-l,in:a.txt, out:(null)\n"
                  "cmd-show:wc,argv:-c,in:(null), out:b.txt\n"
                  "sh%\n");
    expect_output("cat < > out\n", "sh%cat < > out\ncmd-show:cat,in:, out:out\nsh%\n");
    expect_output("cat <in\n", "sh%cat <in\ncmd-show:cat,in:in, out:(null)\nsh%\n");
    expect_output("   \n", "sh%   \ncmd-show:(null),in:(null), out:(null)\nsh%\n");
    expect_output("\n|||\n", "sh%sh%sh%\n");
    expect_output("cat <\nls\n", "sh%cat <\nsh%ls\ncmd-show:ls,in:(null), out:(null)\nsh%\n");
}

TEST(Linecarver, ExitWordsEndTheRunOnlyAsAWholeLine)
{
    for (const char *word : {"exit", "Exit", "QUIT", "Bye", "eXiT"})
        expect_output(std::string(word) + "\nls\n", "sh%");
    expect_output("exit \n", "sh%exit \ncmd-show:exit,in:(null), out:(null)\nsh%\n");
    expect_output("exit|bye\n",
                  "sh%exit\ncmd-show:exit,in:(null), out:(null)\n"
                  "cmd-show:bye,in:(null), out:(null)\nsh%\n");
}

TEST(Linecarver, EndOfInputEndsTheRunCleanlyUnlessTheOutputFailed)
{
    expect_output("", "sh%\n");
    expect_output("ls", "sh%ls\ncmd-show:ls,in:(null), out:(null)\nsh%\n");
    for (const char *input : {"ls -l\n", "ls -l\nbye\n"}) {
        harness::result_t r = harness::run_script("exec \"$0\" >/dev/full", LINECARVER_PATH, {.input = input});
        EXPECT_TRUE(r.exited(1)) << input;
        EXPECT_EQ(r.err, "linecarver: could not write to standard output\n");
    }
}

TEST(Linecarver, LongLinesArriveInPiecesOf1023)
{
    std::string piece1(1023, 'a'), piece2(1023, 'b'), piece3(454, 'c');
    auto listed = [](const std::string &word) {
        return "sh%" + word + "\ncmd-show:" + word + ",in:(null), out:(null)\n";
    };
    expect_output(piece1 + piece2 + piece3 + "\n",
                  listed(piece1) + listed(piece2) + listed(piece3) + "sh%\n");
}

TEST(Linecarver, RefusesLinesTooBigForTheTable)
{
    std::string sixteen = "a";
    for (int i = 1; i < 16; i++)
        sixteen += "|a";
    harness::result_t r = carve(sixteen + "\nls\n");
    EXPECT_TRUE(r.exited(0));
    EXPECT_EQ(r.out, "sh%a\nsh%ls\ncmd-show:ls,in:(null), out:(null)\nsh%\n");
    EXPECT_EQ(r.err, "linecarver: line refused: more than 15 commands\n");

    r = carve("a b c d e f g h\n");
    EXPECT_TRUE(r.exited(0));
    EXPECT_EQ(r.out, "sh%a b c d e f g h\nsh%\n");
    EXPECT_EQ(r.err, "linecarver: line refused: a command with more than 7 words\n");
}

}  // namespace
