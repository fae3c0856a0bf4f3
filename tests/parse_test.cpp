// The splitter on its own: what it stores, what it echoes, and what it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parse.h"

namespace {

struct parsed_t {
    int result;
    std::string echo;
    std::vector<std::string> cmds;  // each record as "word,word <in >out", "-" for an empty target
};

std::string text(const char *s)
{
    return s != nullptr ? std::string(s) : "-";
}

parsed_t split(std::string line)
{
    line.resize(1024, '\0');  // a line buffer, as linecarver's
    table_t table{};
    testing::internal::CaptureStdout();
    int result = parse(line.data(), table);
    parsed_t p{result, testing::internal::GetCapturedStdout(), {}};
    for (int i = 0; i < result; i++) {
        std::string words;
        for (int k = 0; k < kSlots && table[i].argv[k] != nullptr; k++) {
            if (k > 0)
                words += ',';
            words += table[i].argv[k];
        }
        p.cmds.push_back(words + " <" + text(table[i].in) + " >" + text(table[i].out));
    }
    if (result >= 0) {
        EXPECT_EQ(table[result].argv[0], nullptr) << "the end mark follows the last command";
    }
    return p;
}

struct case_t {
    std::string line;
    int result;
    std::string echo;
    std::vector<std::string> cmds;
};

void check(const std::vector<case_t> &cases)
{
    for (const case_t &c : cases) {
        parsed_t p = split(c.line);
        EXPECT_EQ(p.result, c.result) << "line: '" << c.line << "'";
        EXPECT_EQ(p.echo, c.echo) << "line: '" << c.line << "'";
        EXPECT_EQ(p.cmds, c.cmds) << "line: '" << c.line << "'";
    }
}

TEST(Parse, SplitsAtPipeSignsLikeStrtok)
{
    check({
        {"", 0, "", {}},
        {"|||", 0, "", {}},
        {"a||b", 2, "a\n", {"a <- >-", "b <- >-"}},
        {"|a|b|", 2, "a\n", {"a <- >-", "b <- >-"}},
        {"   ", 1, "   \n", {" <- >-"}},
        {" | ", 2, " \n", {" <- >-", " <- >-"}},
        {"ls -l < a.txt | wc -c > b.txt", 2, "ls -l < a.txt \n",
         {"ls,-l <a.txt >-", "wc,-c <- >b.txt"}},
    });
}

TEST(Parse, WordsAreSeparatedByBlanksOnly)
{
    check({
        {"  ls   -a  ", 1, "  ls   -a  \n", {"ls,-a <- >-"}},
        {"ls\t-l", 1, "ls\t-l\n", {"ls\t-l <- >-"}},
        {"a b c d e f g", 1, "a b c d e f g\n", {"a,b,c,d,e,f,g <- >-"}},
    });
}

TEST(Parse, RedirectionTargetsAreNeverWords)
{
    check({
        {"cat < in", 1, "cat < in\n", {"cat <in >-"}},
        {"cat <in", 1, "cat <in\n", {"cat <in >-"}},
        {"ls>out", 1, "ls>out\n", {"ls <- >out"}},
        {"<in cat", 1, "<in cat\n", {"cat <in >-"}},
        {"sort<a>b -r", 1, "sort<a>b -r\n", {"sort,-r <a >b"}},
        {"cat < a < b > c > d", 1, "cat < a < b > c > d\n", {"cat <b >d"}},
        {"ab<cd ef", 1, "ab<cd ef\n", {"ab,ef <cd >-"}},
        {"cat < > out", 1, "cat < > out\n", {"cat < >out"}},
        {"cat <> out", 1, "cat <> out\n", {"cat < >out"}},
        {"x <\ty", 1, "x <\ty\n", {"x <\ty >-"}},
    });
}

TEST(Parse, SignWithoutTargetRefusesAfterTheEcho)
{
    check({
        {"cat <", kNoTarget, "cat <\n", {}},
        {"cat >   ", kNoTarget, "cat >   \n", {}},
        {"cat < | wc", kNoTarget, "cat < \n", {}},
        {"ls | wc >", kNoTarget, "ls \n", {}},
        {"cat < >", kNoTarget, "cat < >\n", {}},
    });
}

TEST(Parse, BoundsOfTheTable)
{
    std::string fifteen = "a";
    for (int i = 1; i < 15; i++)
        fifteen += "|a";
    parsed_t p = split(fifteen);
    EXPECT_EQ(p.result, 15);
    EXPECT_EQ(p.echo, "a\n");
    EXPECT_EQ(split(fifteen + "|a").result, kTooManyCommands);
    EXPECT_EQ(split(fifteen + "|a").echo, "a\n");

    EXPECT_EQ(split("a b c d e f g").result, 1);
    EXPECT_EQ(split("a b c d e f g h").result, kTooManyWords);
    EXPECT_EQ(split("ok | a b c d e f g h").result, kTooManyWords);
    EXPECT_EQ(split("a b c d e f g <in >out").result, 1) << "targets take no argument slot";
}

}  // namespace
