// Memory accesses as turns, in programs built with interleave-c++ and interleave-cc: the
// lost update found and replayed access by access, with values and source lines; a race
// told with both its lines; and the mended programs, locked or atomic, proved quiet.
#include <gtest/gtest.h>

#include <filesystem>
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

using harness::has;

// Whether the parts stand in the text in this order, each after the one before.
bool in_order(const std::string &text, const std::vector<std::string> &parts)
{
    std::size_t at = 0;
    for (const std::string &part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos)
            return false;
        at += part.size();
    }
    return true;
}

using harness::line_of;

TEST(Memory, ALostUpdateIsFoundAndItsReplayShowsEachAccessWithItsValueAndLine)
{
    // Run on its own, a program built for interleave is an ordinary program (the mended
    // one: the exercise itself may lose its update for real).
    const harness::result_t bare = harness::run((kProbes / "count_locked").string(), {});
    EXPECT_TRUE(bare.exited(0));
    EXPECT_EQ(bare.out, "4\n");

    harness::temp_dir dir;
    const harness::result_t found = interleave(dir, {"lost_update"});
    ASSERT_TRUE(found.exited(1)) << found.out << found.err;
    const std::string at = line_of(kExercises / "lost_update.cpp", "    count++;");
    // The program's own check fails, and the race that lost the update is told with it.
    EXPECT_TRUE(has(harness::one_line(found.out), "ended with status 1")) << found.out;
    EXPECT_TRUE(in_order(harness::one_line(found.out), {"data race on count: visitor", " it (" + at + "), visitor", " it (" + at + "), nothing orders them"}))
        << found.out;

    const harness::result_t replay = interleave(dir, {"--replay", "lost_update.schedule"});
    EXPECT_TRUE(replay.exited(1));
    // Both threads read 0 before either writes its 1 back: the lost update, line by line.
    const std::string read = "reads count (0) at " + at + "\n", wrote = "writes count (1) at " + at + "\n";
    EXPECT_TRUE(in_order(replay.out, {read, read, wrote, wrote})) << replay.out;
    EXPECT_EQ(interleave(dir, {"--replay", "lost_update.schedule"}).out, replay.out) << "a replay differed from the one before";
}

TEST(Memory, ARaceIsToldWithBothItsLinesEvenWhereTheProgramEndsWell)
{
    harness::temp_dir dir;
    const harness::result_t seat = interleave(dir, {"check_then_act"});
    ASSERT_TRUE(seat.exited(1)) << seat.out << seat.err;
    const fs::path source = kExercises / "check_then_act.cpp";
    EXPECT_TRUE(has(harness::one_line(seat.out), "data race on free_seat: customer")) << seat.out;
    EXPECT_TRUE(has(harness::one_line(seat.out), line_of(source, "    if (free_seat)"))) << seat.out;
    EXPECT_TRUE(has(harness::one_line(seat.out), line_of(source, "        free_seat = false;"))) << seat.out;

    // A flag written by one thread and read by another, with nothing between: the program
    // ends well whatever main saw, and the race is the fault.
    const harness::result_t flag = interleave(dir, {"--json", (kProbes / "flag_unordered").string()});
    EXPECT_TRUE(flag.exited(1));
    EXPECT_TRUE(has(flag.out, "\"kind\": \"data race\"")) << flag.out;
    const fs::path probe = fs::path(TESTS_DIR) / "probes" / "flag_unordered.c";
    EXPECT_TRUE(in_order(flag.out, {"data race on ready: ", " it (" + line_of(probe, "    const int seen = ready;") + ")",
                                    " it (" + line_of(probe, "    ready = 1;") + ")"}) ||
                in_order(flag.out, {"data race on ready: ", " it (" + line_of(probe, "    ready = 1;") + ")",
                                    " it (" + line_of(probe, "    const int seen = ready;") + ")"}))
        << flag.out;
}

TEST(Memory, TheMendsLockedOrAtomicAreQuietAndProvedWithTheirAccesses)
{
    harness::temp_dir dir;
    for (const std::string probe : {"count_locked", "count_atomic", "handoff_semaphore"}) {
        const harness::result_t r = interleave(dir, {"--json", (kProbes / probe).string()});
        EXPECT_TRUE(r.exited(0)) << probe << ": " << r.out << r.err;
        EXPECT_TRUE(has(r.out, "\"complete\": true, \"proof\": true")) << probe << ": " << r.out;
        EXPECT_TRUE(has(r.out, "\"accesses\": true")) << probe << ": " << r.out;
    }
    // A copy too long to follow word by word: its turns are told only in part, so no proof.
    const harness::result_t copy = interleave(dir, {"--json", "--search", "orders", (kProbes / "big_copy_locked").string()});
    EXPECT_TRUE(copy.exited(0)) << copy.out << copy.err;
    EXPECT_TRUE(has(copy.out, "\"complete\": false, \"proof\": false")) << copy.out;
    const harness::result_t said = interleave(dir, {(kProbes / "count_locked").string()});
    EXPECT_TRUE(has(harness::one_line(said.out), "Every distinct order of its calls and memory accesses tried: 6 orders in 6 runs; "
                                                 "none breaks a rule. That is a proof: the program was built with interleave-cc"))
        << said.out;
    // A relaxed atomic runs as a sequentially consistent one: every order tried, and no proof.
    const harness::result_t weak = interleave(dir, {"--json", "--search", "orders", (kProbes / "relaxed_counts").string()});
    EXPECT_TRUE(has(weak.out, "\"complete\": true, \"proof\": false")) << weak.out;
    EXPECT_TRUE(has(harness::one_line(interleave(dir, {(kProbes / "relaxed_counts").string()}).out),
                    "none breaks a rule. Not a proof: atomic operations in an order weaker than sequential consistency ran"));
    // A file mapped into memory and written through a descriptor too: the mapping's loads are
    // not ordered against the writes, so no proof.
    const harness::result_t mapped = interleave(dir, {"--json", (kProbes / "maps_its_file").string()});
    EXPECT_TRUE(has(mapped.out, "\"complete\": true, \"proof\": false")) << mapped.out << mapped.err;
    EXPECT_TRUE(has(harness::one_line(interleave(dir, {(kProbes / "maps_its_file").string()}).out),
                    "none breaks a rule. Not a proof: the program mapped a file into memory and also read or changed files"));
    // A program that another program, which runs on its own, writes to: no proof either.
    const harness::result_t others = interleave(dir, {"--json", (kProbes / "reads_a_program_through_popen").string()});
    EXPECT_TRUE(has(others.out, "\"complete\": true, \"proof\": false")) << others.out << others.err;
    EXPECT_TRUE(has(harness::one_line(interleave(dir, {(kProbes / "reads_a_program_through_popen").string()}).out),
                    "none breaks a rule. Not a proof: the program started another program (system, popen, posix_spawn, "
                    "an exec), which ran on its own"));
    // Two threads writing one stream through the C library's unlocked calls: what those do
    // to the stream's buffer is ordered against nothing, so no proof.
    harness::write_file(dir / "unlocked.c", "#include <pthread.h>\n#include <stdio.h>\n"
                                            "static void *t(void *x) { fwrite_unlocked(\"ab\\n\", 1, 3, stdout); return x; }\n"
                                            "int main(void) { pthread_t a; pthread_create(&a, 0, t, 0); t(0);\n"
                                            "    pthread_join(a, 0); return 0; }\n");
    const harness::result_t unlocked = interleave(dir, {"--json", "unlocked.c"});
    EXPECT_TRUE(has(unlocked.out, "\"complete\": true, \"proof\": false")) << unlocked.out << unlocked.err;
    EXPECT_TRUE(has(harness::one_line(interleave(dir, {"unlocked.c"}).out),
                    "none breaks a rule. Not a proof: the program uses streams through the C library's unlocked calls"));
    // A function of the C library's that interleave neither steers nor knows to take no
    // descriptor: what it does is not watched, and the search says which it was.
    harness::write_file(dir / "unknown.c", "#include <pthread.h>\n#include <stdio.h>\n"
                                           "static void *t(void *x) { char name[L_ctermid]; ctermid(name); return x; }\n"
                                           "int main(void) { pthread_t a; pthread_create(&a, 0, t, 0); t(0);\n"
                                           "    pthread_join(a, 0); return 0; }\n");
    const harness::result_t unknown = interleave(dir, {"unknown.c"});
    EXPECT_TRUE(unknown.exited(0) && has(harness::one_line(unknown.out), "none breaks a rule. Not a proof: the program "
                                                                          "calls ctermid, a function of the C or C++ library's"))
        << unknown.out << unknown.err;
    // So does the C++ library's string code, which is not built to be watched either.
    harness::write_file(dir / "strings.cpp", "#include <pthread.h>\n#include <string>\nstatic std::string shared = \"a\";\n"
                                             "static void *t(void *x) { shared.append(\"b\"); return x; }\n"
                                             "int main() { pthread_t a; pthread_create(&a, nullptr, t, nullptr);\n"
                                             "    pthread_join(a, nullptr); return shared.size() != 2; }\n");
    const harness::result_t strings = interleave(dir, {"strings.cpp"});
    EXPECT_TRUE(strings.exited(0) && has(harness::one_line(strings.out), "none breaks a rule. Not a proof: the program "
                                                                          "calls std::"))
        << strings.out << strings.err;
    // Inside the thread's own hold of standard output the same calls keep the proof; built
    // with optimisation, they are code written inline on the buffer, unseen: no proof.
    harness::write_file(dir / "held.c", "#include <pthread.h>\n#include <stdio.h>\n"
                                        "static void *t(void *x) { flockfile(stdout); putc_unlocked('a', stdout);\n"
                                        "    putc_unlocked('\\n', stdout); funlockfile(stdout); return x; }\n"
                                        "int main(void) { pthread_t a; pthread_create(&a, 0, t, 0); t(0);\n"
                                        "    pthread_join(a, 0); return 0; }\n");
    const harness::result_t held = interleave(dir, {"--json", "held.c"});
    EXPECT_TRUE(has(held.out, "\"complete\": true, \"proof\": true")) << held.out << held.err;
    const harness::result_t built = harness::run((kBin / "interleave-cc").string(),
                                                 {.args = {"-O2", "-pthread", "held.c", "-o", "held_inline"}, .cwd = dir.path, .limit = 60});
    ASSERT_TRUE(built.exited(0)) << built.err;
    const harness::result_t inlined = interleave(dir, {"--json", "./held_inline"});
    EXPECT_TRUE(has(inlined.out, "\"complete\": true, \"proof\": false")) << inlined.out << inlined.err;
    // A program built the usual way: its accesses were no turns, and however complete the
    // search, the first thing it says is that this is no proof, and how to get one.
    const harness::result_t usual = interleave(dir, {"--json", (kProbes / "one_lock_each").string(), "2"});
    EXPECT_TRUE(has(usual.out, "\"complete\": true, \"proof\": false")) << usual.out;
    EXPECT_TRUE(has(usual.out, "\"accesses\": false")) << usual.out;
    const std::string plain = harness::one_line(interleave(dir, {(kProbes / "one_lock_each").string(), "2"}).out);
    EXPECT_TRUE(has(plain, "none breaks a rule. Not a proof: memory between the calls was not watched, so a data race "
                           "there would not be seen. Given the program's source (interleave one_lock_each.c)"))
        << plain;
}

// Memory is named as the program names it, down to the member and element, and a value
// reads as its type; an atomic operation inlined from the C++ library stands at the line of
// the program that called it.
TEST(Memory, TheReplayNamesWhatEachAccessTouchesAndReadsItsValueAsItsType)
{
    harness::temp_dir dir;
    ASSERT_TRUE(interleave(dir, {"--search", "priorities", "--runs", "1", "names_its_memory"}).exited(1));
    const std::string replay = harness::one_line(interleave(dir, {"--replay", "names_its_memory.schedule"}).out);
    const fs::path source = fs::path(TESTS_DIR) / "names_its_memory.cpp";
    for (const auto &[does, line] : {std::pair{"writes pt.y (2)", "    pt.y = 2;"},
                                     {"writes grid[1][2] (7)", "    grid[1][2] = 7;"},
                                     {"writes done (true)", "    done = true;"},
                                     {"writes big (4000000001)", "    big = 4000000001u;"},
                                     {"writes share (2.5)", "    share = 2.5;"},
                                     {"writes where (0x", "    where = &grid[0][0];"},
                                     {"updates hits (1)", "    hits.fetch_add(1);"},
                                     {"reads stdout (", "    std::fflush(stdout);"},
                                     {"reads a local of main (the handle of writer)", "    pthread_join(t, nullptr);"}}) {
        const std::string said = std::string(does);
        const std::size_t at = replay.find(said);
        ASSERT_NE(at, std::string::npos) << said << "\n" << replay;
        EXPECT_EQ(replay.find(" at " + line_of(source, line), at), replay.find(" at ", at)) << replay.substr(at, 80);
    }
}

// What a call reads or writes of the program's memory itself (the system filling a read's
// buffer, a clock's reading, a comparison of a string) is ordered against the program's own
// accesses: each program has thread a call, and thread b look at (or change) what the call
// touches, and aborts where a came first; given an argument, where b came first. Natively
// both orders come; both are found.
TEST(Memory, WhatACallTouchesOfTheProgramsMemoryIsOrderedAgainstItsAccesses)
{
    struct case_t {
        const char *name, *a, *b;
    };
    const std::vector<case_t> cases = {
        {"read_fills", "read(p[0], buf, 1);", "if ((buf[0] == 'b') != inv) abort();"},
        {"write_reads", "write(p[1], buf, 1); read(p[0], buf + 1, 1);", "buf[0] = 'c';"},
        {"clock_read", "clock_gettime(CLOCK_REALTIME, &now);", "if ((now.tv_sec != 0) != inv) abort();"},
        {"old_action", "sigaction(SIGUSR1, 0, &old);", "if ((old.sa_flags != 12345) != inv) abort();"},
        {"compared", "if ((strcmp(buf, \"a\") != 0) != inv) abort();", "buf[0] = 'c';"},
        {"converted", "if ((atoi(buf + 2) == 7) != inv) abort();", "buf[2] = '7';"},
        {"scanned", "fscanf(stream, \"%c\", &buf[0]);", "if ((buf[0] == 'b') != inv) abort();"},
        {"zeroed", "bzero(buf, 4);", "if ((buf[0] == 0) != inv) abort();"},
        {"copied_to_its_end", "stpcpy(buf, \"z\");", "if ((buf[0] == 'z') != inv) abort();"},
    };
    harness::temp_dir dir;
    for (const case_t &c : cases) {
        const std::string source = std::string(c.name) + ".c";
        harness::write_file(dir / source,
                            "#define _GNU_SOURCE\n#include <pthread.h>\n#include <signal.h>\n#include <stdio.h>\n"
                            "#include <stdlib.h>\n#include <string.h>\n#include <strings.h>\n#include <time.h>\n"
                            "#include <unistd.h>\n"
                            "static int inv, p[2];\nstatic char buf[16] = \"a\";\nstatic struct timespec now;\n"
                            "static struct sigaction old = {.sa_flags = 12345};\nstatic FILE *stream;\n"
                            "static void *a(void *x) { " + std::string(c.a) + " return x; }\n"
                            "static void *b(void *x) { " + std::string(c.b) + " return x; }\n"
                            "int main(int argc, char **argv) { (void)argv; inv = argc > 1; if (pipe(p)) return 2;\n"
                            "    if (write(p[1], \"b\", 1) != 1) return 2; stream = fdopen(p[0], \"r\");\n"
                            "    pthread_t ta, tb; pthread_create(&ta, 0, a, 0); pthread_create(&tb, 0, b, 0);\n"
                            "    pthread_join(ta, 0); pthread_join(tb, 0);\n"
                            "    if (buf[1] != 0 && (buf[1] == 'c') != inv) abort(); return 0; }\n");
        for (const bool inverted : {false, true}) {
            std::vector<std::string> args = {"--json", source};
            if (inverted)
                args.insert(args.end(), {"--", "inv"});
            const harness::result_t r = interleave(dir, args);
            EXPECT_TRUE(r.exited(1) && has(r.out, "\"verdict\": \"fault\"")) << c.name << (inverted ? " inv" : "") << ": " << r.out << r.err;
        }
    }
}

}  // namespace
