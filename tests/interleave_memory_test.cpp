// Memory accesses as turns, in programs built with interleave-c++ and interleave-cc: the
// lost update found and replayed access by access, with values and source lines; a race
// told with both its lines; and the mended programs, locked or atomic, proved quiet.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const fs::path kBin = fs::path(INTERLEAVE_PATH).parent_path();
const fs::path kProbes = PROBE_DIR;
const fs::path kExercises = EXERCISE_DIR;

harness::result_t interleave(const harness::temp_dir &dir, std::vector<std::string> args)
{
    return harness::run(INTERLEAVE_PATH, {.args = std::move(args), .cwd = dir.path, .limit = 60});
}

// The text as one line: where interleave wraps depends on the program's path.
std::string flat(const std::string &text)
{
    return std::regex_replace(text, std::regex("\n +"), " ");
}

// The number of the first line of a source file that holds `part`, as "file:12".
std::string line_of(const fs::path &source, const std::string &part)
{
    std::ifstream in(source);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        number++;
        if (line.find(part) != std::string::npos)
            return source.filename().string() + ":" + std::to_string(number);
    }
    return "(not in " + source.string() + ")";
}

TEST(Memory, ALostUpdateIsFoundAndItsReplayShowsEachAccessWithItsValueAndLine)
{
    // Run on its own, the program built for interleave is an ordinary program.
    const harness::result_t bare = harness::run((kBin / "lost_update").string(), {});
    EXPECT_TRUE(bare.exited(0));
    EXPECT_EQ(bare.out, "2 visitors\n");

    harness::temp_dir dir;
    const harness::result_t found = interleave(dir, {"lost_update"});
    ASSERT_TRUE(found.exited(1)) << found.out << found.err;
    const std::string at = line_of(kExercises / "lost_update.cpp", "    count++;");
    // The program's own check fails, and the race that lost the update is told with it.
    EXPECT_TRUE(flat(found.out).find("ended with status 1") != std::string::npos) << found.out;
    EXPECT_TRUE(std::regex_search(flat(found.out), std::regex("data race on count: visitor( 2)? (reads|writes) it \\(" + at +
                                                              "\\), visitor( 2)? (reads|writes) it \\(" + at +
                                                              "\\), nothing orders them")))
        << found.out;

    const harness::result_t replay = interleave(dir, {"--replay", "lost_update.schedule"});
    EXPECT_TRUE(replay.exited(1));
    // Both threads read 0 before either writes its 1 back: the lost update, line by line.
    const std::regex lost("visitor( 2)? +reads count \\(0\\) at " + at + "\n(.*\n)*.*visitor( 2)? +reads count \\(0\\) at " + at +
                          "\n(.*\n)*.*visitor( 2)? +writes count \\(1\\) at " + at + "\n(.*\n)*.*visitor( 2)? +writes count \\(1\\) at " +
                          at + "\n");
    EXPECT_TRUE(std::regex_search(replay.out, lost)) << replay.out;
    EXPECT_EQ(interleave(dir, {"--replay", "lost_update.schedule"}).out, replay.out) << "a replay differed from the one before";
}

TEST(Memory, ARaceIsToldWithBothItsLinesEvenWhereTheProgramEndsWell)
{
    harness::temp_dir dir;
    const harness::result_t seat = interleave(dir, {"check_then_act"});
    ASSERT_TRUE(seat.exited(1)) << seat.out << seat.err;
    const fs::path source = kExercises / "check_then_act.cpp";
    EXPECT_TRUE(std::regex_search(flat(seat.out), std::regex("data race on free_seat: customer( 2)? (reads|writes) it \\(")))
        << seat.out;
    EXPECT_TRUE(flat(seat.out).find(line_of(source, "    if (free_seat)")) != std::string::npos) << seat.out;
    EXPECT_TRUE(flat(seat.out).find(line_of(source, "        free_seat = false;")) != std::string::npos) << seat.out;

    // A flag written by one thread and read by another, with nothing between: the program
    // ends well whatever main saw, and the race is the fault.
    const harness::result_t flag = interleave(dir, {"--json", (kProbes / "flag_unordered").string()});
    EXPECT_TRUE(flag.exited(1));
    EXPECT_TRUE(flag.out.find("\"kind\": \"data race\"") != std::string::npos) << flag.out;
    EXPECT_TRUE(std::regex_search(flag.out, std::regex("data race on ready: (main|setter) (reads|writes) it \\(flag_unordered.c:[0-9]+\\), "
                                                       "(main|setter) (reads|writes) it \\(flag_unordered.c:[0-9]+\\)")))
        << flag.out;
}

TEST(Memory, TheMendsLockedOrAtomicAreQuietAndProvedWithTheirAccesses)
{
    harness::temp_dir dir;
    for (const std::string probe : {"count_locked", "count_atomic", "handoff_semaphore"}) {
        const harness::result_t r = interleave(dir, {"--json", (kProbes / probe).string()});
        EXPECT_TRUE(r.exited(0)) << probe << ": " << r.out << r.err;
        EXPECT_TRUE(r.out.find("\"complete\": true") != std::string::npos) << probe << ": " << r.out;
        EXPECT_TRUE(r.out.find("\"accesses\": true") != std::string::npos) << probe << ": " << r.out;
    }
    // A copy too long to follow word by word: its turns are told only in part, so no proof.
    const harness::result_t copy = interleave(dir, {"--json", "--search", "orders", (kProbes / "big_copy_locked").string()});
    EXPECT_TRUE(copy.exited(0)) << copy.out << copy.err;
    EXPECT_TRUE(copy.out.find("\"complete\": false") != std::string::npos) << copy.out;
    const harness::result_t said = interleave(dir, {(kProbes / "count_locked").string()});
    EXPECT_TRUE(flat(said.out).find("That is a proof for what interleave steers, memory accesses included") != std::string::npos)
        << said.out;
    // A program built the usual way: its accesses were no turns, and the summary says so.
    const harness::result_t usual = interleave(dir, {"--json", (kProbes / "lost_update_detected").string()});
    EXPECT_TRUE(usual.out.find("\"accesses\": false") != std::string::npos) << usual.out;
}

// Memory is named as the program names it, down to the member and element, and a value
// reads as its type; an atomic operation inlined from the C++ library stands at the line of
// the program that called it.
TEST(Memory, TheReplayNamesWhatEachAccessTouchesAndReadsItsValueAsItsType)
{
    harness::temp_dir dir;
    ASSERT_TRUE(interleave(dir, {"--search", "priorities", "--runs", "1", "names_its_memory"}).exited(1));
    const std::string replay = flat(interleave(dir, {"--replay", "names_its_memory.schedule"}).out);
    const fs::path source = fs::path(TESTS_DIR) / "names_its_memory.cpp";
    for (const auto &[does, line] : {std::pair{"writes pt.y (2)", "    pt.y = 2;"},
                                     {"writes grid[1][2] (7)", "    grid[1][2] = 7;"},
                                     {"writes done (true)", "    done = true;"},
                                     {"writes big (4000000001)", "    big = 4000000001u;"},
                                     {"writes share (2.5)", "    share = 2.5;"},
                                     {"writes where (0x", "    where = &grid[0][0];"},
                                     {"updates hits (1)", "    hits.fetch_add(1);"},
                                     {"reads a local of main", "    pthread_join(t, nullptr);"}}) {
        const std::string said = std::string(does);
        const std::size_t at = replay.find(said);
        ASSERT_NE(at, std::string::npos) << said << "\n" << replay;
        EXPECT_EQ(replay.find(" at " + line_of(source, line), at), replay.find(" at ", at)) << replay.substr(at, 80);
    }
}

}  // namespace
