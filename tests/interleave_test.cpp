// interleave end to end: each kind of fault found in an exercise and saved, a replay that
// is the same to the byte every time and that stops where the program no longer follows
// it, schedules that are safe to share and that travel, what a replay shows, what a search
// says it covered, the six demos explored at a small bound, and programs it cannot steer.
//
// These tests run under AddressSanitizer and UndefinedBehaviorSanitizer too, with the
// programs it steers built the same way (the steering library is not: it must come before
// their runtime). They are left out of the ThreadSanitizer run: its runtime stands in front
// of the same calls as the steering library, and would see the scheduler's hand-overs,
// made in the library's own shared memory, as races.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const fs::path kBin = fs::path(INTERLEAVE_PATH).parent_path();

struct found_t {
    harness::result_t run;
    std::string schedule;  // the saved schedule's text
};

// Searches a program beside interleave with the default bounds, in a folder of its own.
found_t search(const harness::temp_dir &dir, std::vector<std::string> args)
{
    harness::options_t o;
    o.args = std::move(args);
    o.cwd = dir.path;
    o.limit = 60;
    found_t f{harness::run(INTERLEAVE_PATH, o), ""};
    for (const auto &entry : fs::directory_iterator(dir.path))
        if (entry.path().extension() == ".schedule")
            f.schedule = harness::read_file(entry.path());
    return f;
}

harness::result_t replay(const harness::temp_dir &dir, const std::string &schedule)
{
    return harness::run(INTERLEAVE_PATH, {.args = {"--replay", schedule}, .cwd = dir.path, .limit = 30});
}

using harness::has;

// Whether a message says something, wherever its lines were wrapped.
bool says(const std::string &text, const std::string &part)
{
    std::string joined;
    for (char c : text)
        if (!(c == ' ' || c == '\n') || (!joined.empty() && joined.back() != ' '))
            joined += c == '\n' ? ' ' : c;
    return has(joined, part);
}

// Every line at most 80 columns wide. The command a report suggests stands whole on its line
// and names interleave as it was called, here by the build's own path, whose length is the
// build folder's and not the report's: it is measured as a user who types "interleave" sees it.
bool fits(std::string text)
{
    const std::string self = INTERLEAVE_PATH;
    for (std::size_t at; (at = text.find(self)) != std::string::npos;)
        text.replace(at, self.size(), "interleave");
    std::size_t from = 0;
    for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        if (nl - from > 80)
            return false;
    return text.size() - from <= 80;
}

TEST(Interleave, FindsAndSavesEachKindOfFault)
{
    harness::temp_dir dir;
    // A deadlock, with the cycle of holds and waits.
    found_t f = search(dir, {"dinerlanes_same_side"});
    EXPECT_TRUE(f.run.exited(1)) << f.run.out << f.run.err;
    EXPECT_TRUE(has(f.run.out, "deadlock: no thread can go on")) << f.run.out;
    for (const char *wait : {"A waits for fork 1 (m[1]), held by B", "E waits for fork 0 (m[0]), held by A"})
        EXPECT_TRUE(has(f.run.out, wait)) << f.run.out;
    EXPECT_TRUE(has(f.run.out, "interleave --replay dinerlanes_same_side.schedule\n")) << f.run.out;
    // Saved at its shortest: five forks set up, five threads created, each starts and takes
    // its left fork.
    EXPECT_TRUE(has(f.run.out, "The schedule (21 turns, shortened from the ")) << f.run.out;
    EXPECT_TRUE(f.schedule.starts_with("# interleave schedule")) << f.schedule;

    // A crash: a consumer woken to an empty list (signal 6 where a sanitizer stops it first).
    f = search(dir, {"stackbell_two_consumers"});
    EXPECT_TRUE(f.run.exited(1));
    EXPECT_TRUE(has(f.run.out, "): crash\nturn ")) << f.run.out;
    EXPECT_TRUE(has(f.run.out, ": killed by signal ")) << f.run.out;
    EXPECT_TRUE(has(f.run.out, "consumer 2 crashed in turn ") || has(f.run.out, "consumer crashed in turn "))
        << f.run.out;

    // A rule of the demo whose name the exercise begins with.
    f = search(dir, {"slotring_seven_ahead"});
    EXPECT_TRUE(f.run.exited(1));
    EXPECT_TRUE(has(f.run.out, "BROKEN never more than five waiting: 6 ahead")) << f.run.out;

    // Misuse: a mutex unlocked by a thread that does not hold it; saved where --save says.
    f = search(dir, {"--save", "misuse.schedule", UNLOCK_UNHELD_PATH});
    EXPECT_TRUE(f.run.exited(1));
    EXPECT_TRUE(has(f.run.out, "BROKEN a mutex is unlocked only by the thread that holds it\n"
                               "  tfn unlocked lock, which main held\n")) << f.run.out;
    EXPECT_TRUE(fs::exists(dir / "misuse.schedule"));
}

TEST(Interleave, AReplayIsTheSameEveryTimeAndStopsWhereTheProgramGoesAnotherWay)
{
    harness::temp_dir dir;
    ASSERT_TRUE(search(dir, {"two_locks"}).run.exited(1));
    const harness::result_t first = replay(dir, "two_locks.schedule");
    EXPECT_TRUE(first.exited(1));
    EXPECT_TRUE(has(first.out, "deadlock: no thread can go on")) << first.out;
    EXPECT_EQ(replay(dir, "two_locks.schedule").out, first.out) << "a replay differed from the one before";

    // The same schedule given to another program.
    std::string schedule = harness::read_file(dir / "two_locks.schedule");
    schedule.replace(schedule.find("two_locks\n"), 9, "duetlock_forgetful");
    harness::write_file(dir / "changed.schedule", schedule);
    const harness::result_t changed = replay(dir, "changed.schedule");
    EXPECT_TRUE(changed.exited(2));
    EXPECT_TRUE(has(changed.out, "the schedule says")) << changed.out;

    // Every run finds the heap where a fresh start of the program finds it: the first run,
    // started as any program is, and those after it, forked from the program held at its start.
    const fs::path notes = dir / "heap";
    ASSERT_TRUE(search(dir, {"--search", "priorities", "--runs", "4", "notes_its_heap", notes.string()}).run.exited(0));
    std::istringstream lines(harness::read_file(notes));
    std::vector<std::string> seen;
    for (std::string line; std::getline(lines, line);)
        seen.push_back(line);
    ASSERT_EQ(seen.size(), 4U);
    for (const std::string &line : seen)
        EXPECT_EQ(line, seen.front()) << "a run found its heap elsewhere";
}

// A schedule is data from someone else: it runs nothing the replaying user did not choose
// or see, never overwrites what is not a schedule, and still works from another folder, or
// with an installed copy of interleave, when it names a program beside interleave.
TEST(Interleave, AScheduleIsSafeToShareAndTravels)
{
    harness::temp_dir dir, elsewhere;
    harness::write_file(dir / "shell.schedule", "# interleave schedule\nprogram /bin/sh\narg -c\narg touch pwned\n"
                                                "turns\n 0\n");
    harness::result_t r = replay(dir, "shell.schedule");
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.err, "runs a program you have not named:\n  /bin/sh -c 'touch pwned'\n")) << r.err;
    EXPECT_FALSE(fs::exists(dir / "pwned"));
    // What a terminal would act on (here: go back to the line's start and write over it) is
    // shown as escapes, so the command shown is all the command there is.
    harness::write_file(dir / "hidden.schedule", "# interleave schedule\nprogram /bin/sh\narg -c\n"
                                                 "arg touch pwned\x1b[2K\r  two_locks\nturns\n 0\n");
    r = replay(dir, "hidden.schedule");
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.err, "\n  /bin/sh -c $'touch pwned\\x1b[2K\\x0d  two_locks'\n")) << r.err;
    EXPECT_FALSE(has(r.err, "\x1b") || has(r.err, "\r")) << r.err;
    // Nor can a second program line, or a NUL that would cut the name short, make what runs
    // other than what is shown.
    for (const std::string &program : {std::string("program two_locks\nprogram /bin/sh\n"),
                                      std::string("program two_locks\0/../sh\n", 25)}) {
        harness::write_file(dir / "loose.schedule", program + "turns\n 0\n");
        r = replay(dir, "loose.schedule");
        EXPECT_TRUE(r.exited(2));
        EXPECT_TRUE(has(r.err, "cannot read the line")) << r.err;
    }

    // A bare name: from another folder, and with an installed copy; and with its lines
    // ended as another system ends them.
    ASSERT_TRUE(search(dir, {"two_locks"}).run.exited(1));
    EXPECT_TRUE(has(harness::read_file(dir / "two_locks.schedule"), "\nprogram two_locks\n"));
    r = replay(elsewhere, (dir / "two_locks.schedule").string());
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "deadlock: no thread can go on")) << r.out;
    std::string crlf;
    for (char c : harness::read_file(dir / "two_locks.schedule"))
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    harness::write_file(elsewhere / "crlf.schedule", crlf);
    EXPECT_TRUE(replay(elsewhere, "crlf.schedule").exited(1));
    const fs::path installed = elsewhere / "prefix";
    fs::create_directories(installed / "bin");
    fs::create_directories(installed / "lib");
    fs::copy_file(INTERLEAVE_PATH, installed / "bin/interleave");
    fs::copy_file(TWO_LOCKS_PATH, installed / "bin/two_locks");
    fs::copy_file(kBin / "libinterleave_steer.so", installed / "lib/libinterleave_steer.so");
    r = harness::run(installed / "bin/interleave", {.args = {"--replay", (dir / "two_locks.schedule").string()},
                                                    .cwd = elsewhere.path, .limit = 30});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;

    // A path is taken from the schedule's folder, and runs only when named again.
    fs::copy_file(TWO_LOCKS_PATH, dir / "mine");
    ASSERT_TRUE(search(dir, {"--as", "duetlock", "--save", "mine.schedule", "./mine"}).run.exited(1));
    r = replay(elsewhere, (dir / "mine.schedule").string());
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.err, "runs a program you have not named")) << r.err;
    r = harness::run(INTERLEAVE_PATH, {.args = {"--replay", (dir / "mine.schedule").string(), (dir / "mine").string()},
                                       .cwd = elsewhere.path, .limit = 30});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;

    // What is not a schedule is not overwritten; a folder is no program.
    harness::write_file(dir / "victim", "keep me");
    r = search(dir, {"--save", "victim", "two_locks"}).run;
    EXPECT_TRUE(r.exited(2));
    EXPECT_EQ(harness::read_file(dir / "victim"), "keep me");
    r = search(dir, {"--json", "--save", "victim", "two_locks"}).run;
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.out, "\"verdict\": \"not saved\"")) << r.out;
    EXPECT_EQ(harness::read_file(dir / "victim"), "keep me");
    // Nor is a search begun whose schedule would have nowhere to go; its JSON comes even
    // after an option's value.
    r = search(dir, {"--save", "nowhere/two_locks.schedule", "--json", "two_locks"}).run;
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.out, "\"verdict\": \"not saved\"")) << r.out;
    EXPECT_TRUE(says(r.err, "the schedule could not be saved: there is no folder nowhere")) << r.err;
    // A pipe or a device is never opened as a schedule: either could wait, or fill the
    // memory, for ever.
    harness::temp_dir piped;
    ASSERT_EQ(mkfifo((piped / "pipe.schedule").c_str(), 0600), 0);
    r = harness::run(INTERLEAVE_PATH, {.args = {"--save", "pipe.schedule", "two_locks"}, .cwd = piped.path, .limit = 30});
    EXPECT_TRUE(r.exited(2)) << r.out << r.err;
    r = replay(piped, "pipe.schedule");
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(says(r.err, "pipe.schedule is not a file of its own")) << r.err;
    r = replay(piped, "/dev/zero");
    EXPECT_TRUE(r.exited(2));
    r = search(dir, {"/tmp"}).run;
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.err, "cannot run /tmp: it is a folder")) << r.err;
    r = search(dir, {"no such\nprogram"}).run;
    EXPECT_TRUE(has(r.err, "cannot run $'no such\\x0aprogram': No such file")) << r.err;
    r = replay(dir, "/tmp");
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.err, "/tmp is a folder")) << r.err;
}

// A replay a class can read: whole thread names, a torn line shown whole under the turn that
// ended it and quoted where it breaks the rule, what each write wrote, the switches the
// schedule made, and every line within 80 columns.
TEST(Interleave, AReplayShowsWholeNamesAndLinesWithinEightyColumns)
{
    harness::temp_dir dir;
    found_t f = search(dir, {"duetlock_forgetful"});
    ASSERT_TRUE(f.run.exited(1)) << f.run.out;
    EXPECT_TRUE(fits(f.run.out)) << f.run.out;
    harness::result_t r = replay(dir, "duetlock_forgetful.schedule");
    EXPECT_TRUE(r.exited(1));
    EXPECT_TRUE(fits(r.out)) << r.out;
    EXPECT_TRUE(has(r.out, " main    writes \"HELLO \"\n")) << r.out;
    const std::size_t quote = r.out.find("or hello world: \"");
    ASSERT_NE(quote, std::string::npos) << r.out;
    const std::size_t from = quote + 17;
    const std::string torn = r.out.substr(from, r.out.find('"', from) - from);
    EXPECT_TRUE(has(r.out, "  > " + torn + "\n")) << torn << "\n" << r.out;
    EXPECT_TRUE(has(r.out, " * tfn ")) << r.out;

    f = search(dir, {"stackbell_two_consumers"});
    ASSERT_TRUE(f.run.exited(1));
    r = replay(dir, "stackbell_two_consumers.schedule");
    EXPECT_TRUE(has(r.out, " consumer 2  ")) << r.out;
    EXPECT_TRUE(fits(r.out)) << r.out;

    // A line wider than the screen goes on in the rows under it, whole; a tab is spaces.
    f = search(dir, {PRINTS_LONG_LINES_PATH});
    ASSERT_TRUE(f.run.exited(1)) << f.run.out;
    EXPECT_TRUE(fits(f.run.out)) << f.run.out;
    r = harness::run(INTERLEAVE_PATH, {.args = {"--replay", "prints_long_lines.schedule", PRINTS_LONG_LINES_PATH},
                                       .cwd = dir.path, .limit = 30});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_TRUE(fits(r.out)) << r.out;
    EXPECT_TRUE(has(r.out, "  > " + std::string(76, 'x') + "\n  > " + std::string(76, 'x') + "\n  > " +
                               std::string(48, 'x') + "\n")) << r.out;
    EXPECT_TRUE(has(r.out, "  > a       b\n")) << r.out;
    // What a terminal would act on, and bytes that are not UTF-8, are shown, not sent; the
    // JSON stays UTF-8.
    EXPECT_TRUE(has(r.out, "! red \\x1b[31m, and \\xff, \\xed\\xa0\\x80 \\xe2\\x80\\xae.\n")) << r.out;
    EXPECT_TRUE(has(f.run.out, "red \\x1b[31m, and \\xff")) << f.run.out;
    for (const std::string *text : {&r.out, &f.run.out})
        EXPECT_FALSE(has(*text, "\x1b") || has(*text, "\xff")) << *text;
    r = search(dir, {"--json", PRINTS_LONG_LINES_PATH}).run;
    EXPECT_TRUE(has(r.out, "red \\\\x1b[31m, and \\\\xff, \\\\xed\\\\xa0\\\\x80 \\\\xe2\\\\x80\\\\xae.")) << r.out;
    EXPECT_FALSE(has(r.out, "\x1b") || has(r.out, "\xff") || has(r.out, "\xed") || has(r.out, "\xe2")) << r.out;
}

// The six demos hold every rule in a small exploration: the philosophers' processes and
// threads, and pulsewait with and without input.
TEST(Interleave, TheSixDemosKeepTheirRules)
{
    harness::temp_dir dir;
    for (std::vector<std::string> args : {std::vector<std::string>{"dinerspawn"}, {"dinerlanes"}, {"duetlock"},
                                          {"stackbell"}, {"slotring"}, {"pulsewait"}, {"--input", "2", "pulsewait"}}) {
        args.insert(args.begin(), {"--runs", "12", "--turns", "200"});
        SCOPED_TRACE(args.back());
        const harness::result_t r = search(dir, args).run;
        EXPECT_TRUE(r.exited(0)) << r.out << r.err;
        // A demo with few orders in its first turns has them all tried in fewer runs.
        EXPECT_TRUE(has(r.out, "Nothing found in 12 runs") ||
                    has(r.out, "Every distinct order of its first 200 turns tried"))
            << r.out;
        EXPECT_FALSE(has(r.out, "BROKEN")) << r.out;
    }
}

// What a search says it covered: runs that came to the program's end, runs cut before it
// (never a plain "nothing found"), how often each rule was put to the test; and the same
// as one JSON object, and nothing else, for a teacher's script.
TEST(Interleave, SaysWhatItCovered)
{
    harness::temp_dir dir;
    harness::result_t r = search(dir, {"--runs", "20", "duetlock"}).run;
    EXPECT_TRUE(r.exited(0));
    EXPECT_TRUE(has(r.out, "Nothing found in 20 runs: the program came to its end in every one")) << r.out;
    EXPECT_TRUE(has(r.out, "five HELLO WORLD lines, then the end\n      put to the test in 20 runs")) << r.out;
    r = search(dir, {"--runs", "3", "--turns", "5", "two_locks"}).run;
    EXPECT_TRUE(r.exited(0));
    EXPECT_TRUE(has(r.out, "Nothing found in the first 5 turns of 3 runs; none of them came to the program's"))
        << r.out;
    // Every schedule of runs that were all cut is no proof: what lay past the cut was never tried.
    r = search(dir, {"--search", "departures", "--turns", "5", "two_locks"}).run;
    EXPECT_TRUE(r.exited(0));
    EXPECT_TRUE(says(r.out, "as the runs were cut, that is not every schedule")) << r.out;
    EXPECT_FALSE(has(r.out, "That is a proof")) << r.out;
    // Not one run over in the time given: nothing was seen, so nothing is said to be found.
    r = search(dir, {"--seconds", "1", SPIN_ON_FLAG_PATH}).run;
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(says(r.err, "nothing was tried: the time limit (1 s) ended the search before its first run was over"))
        << r.err;
    // A run the time limit cut short tried nothing: the order it was to try is still to try,
    // and the one order run to its end is no proof.
    r = search(dir, {"--seconds", "2", "--search", "orders", ABORTS_LATE_PATH}).run;
    EXPECT_TRUE(r.exited(0));
    EXPECT_TRUE(says(r.out, "1 distinct order of its calls tried in 1 run, fewest switches first; 1 more was planned"))
        << r.out;
    r = search(dir, {"--json", "--seconds", "2", ABORTS_LATE_PATH}).run;
    EXPECT_TRUE(has(r.out, "\"complete\": false")) << r.out;

    const auto one_object = [](const std::string &out) {
        return out.starts_with("{") && out.ends_with("}\n") && out.find('\n') == out.size() - 1;
    };
    r = search(dir, {"--json", "two_locks"}).run;
    EXPECT_TRUE(r.exited(1));
    EXPECT_TRUE(one_object(r.out)) << r.out;
    for (const char *part : {"\"verdict\": \"fault\"", "\"kind\": \"deadlock\"", "\"headline\": \"deadlock: no thread can go on\"",
                             "\"schedule\": \"two_locks.schedule\"", "\"runs_cut\": 0"})
        EXPECT_TRUE(has(r.out, part)) << part << "\n" << r.out;
    r = search(dir, {"--json", "--runs", "5", "duetlock"}).run;
    EXPECT_TRUE(r.exited(0));
    EXPECT_TRUE(one_object(r.out)) << r.out;
    for (const char *part : {"\"verdict\": \"nothing found\"", "\"fault\": null", "\"runs\": 5", "\"runs_ended\": 5",
                             "\"schedule\": null", "{\"rule\": \"it ends by itself, with status 0\", \"runs_tested\": 5}"})
        EXPECT_TRUE(has(r.out, part)) << part << "\n" << r.out;
}

// A thread that runs on without a call interleave steers is given --stall seconds, and
// then the search ends as one that cannot steer the program, saying which flag gives more.
TEST(Interleave, AThreadThatRunsOnStallsTheSearchAndSaysWhichFlagGivesMore)
{
    harness::temp_dir dir;
    harness::result_t r = search(dir, {"--stall", "1", SPIN_ON_FLAG_PATH}).run;
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(says(r.err, "main ran on after pthread_create for 1 s without a call interleave steers")) << r.err;
    EXPECT_TRUE(has(r.err, "--stall SECONDS (now 1)")) << r.err;
    r = search(dir, {"--json", "--stall", "1", SPIN_ON_FLAG_PATH}).run;
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.out, "\"verdict\": \"cannot steer\"")) << r.out;
}

TEST(Interleave, RefusesWhatItCannotSteer)
{
    harness::temp_dir dir;
    harness::result_t r = search(dir, {STATIC_PROGRAM_PATH}).run;
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(says(r.err, "it is statically linked")) << r.err;
    r = search(dir, {"no_such_program"}).run;
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.err, "No such file or directory")) << r.err;
    r = search(dir, {"--runs", "0", "two_locks"}).run;
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(has(r.err, "usage: interleave")) << r.err;
}

}  // namespace
