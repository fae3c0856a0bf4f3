// Every distinct order: programs whose number of orders is known by hand, a fault that one
// order in twenty shows, mended programs proved, the shortest schedule, and the count of
// orders against what a search of every schedule finds on the same small programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const fs::path kProbes = PROBE_DIR;

harness::result_t interleave(const harness::temp_dir &dir, std::vector<std::string> args)
{
    return harness::run(INTERLEAVE_PATH, {.args = std::move(args), .cwd = dir.path, .limit = 120});
}

using harness::has;

// A number in the JSON object, or -1.
long field(const std::string &json, const std::string &name)
{
    const std::string key = "\"" + name + "\": ";
    const std::size_t at = json.find(key);
    if (at == std::string::npos || json.compare(at + key.size(), 4, "null") == 0)
        return -1;
    return std::stol(json.substr(at + key.size()));
}

// k threads taking one lock: k! orders, each tried once; work on locks of their own adds none.
TEST(Orders, KThreadsTakingOneLockHaveKFactorialOrders)
{
    harness::temp_dir dir;
    for (const auto &[k, orders] : {std::pair{"2", 2L}, {"3", 6L}, {"4", 24L}})
        for (const bool own : {false, true}) {
            std::vector<std::string> args{"--json", "--search", "orders", (kProbes / "one_lock_each").string(), k};
            if (own)
                args.push_back("private");
            SCOPED_TRACE(std::string(k) + (own ? " with private locks" : ""));
            const harness::result_t r = interleave(dir, args);
            EXPECT_TRUE(r.exited(0)) << r.out << r.err;
            EXPECT_TRUE(has(r.out, "\"complete\": true")) << r.out;
            EXPECT_EQ(field(r.out, "distinct_orders"), orders) << r.out;
            EXPECT_EQ(field(r.out, "runs"), orders) << r.out;
        }
    const harness::result_t r = interleave(dir, {(kProbes / "one_lock_each").string(), "3"});
    EXPECT_TRUE(r.exited(0));
    EXPECT_TRUE(has(harness::one_line(r.out), "Every distinct order of its calls tried: 6 orders in 6 runs; none breaks a rule."))
        << r.out;
    EXPECT_TRUE(has(harness::one_line(r.out), "Not a proof: memory between the calls was not watched")) << r.out;

    // A recursive mutex taken four deep and an error-checking one taken twice: four orders
    // (who takes each first), each run once, as what a holder does to its own lock (takes
    // it again, lets go of one hold of many, hears EDEADLK) no other thread can see; and
    // the summary counts what the JSON counts.
    const std::string nested = (kProbes / "recursive_and_errorcheck").string();
    const harness::result_t json = interleave(dir, {"--json", "--search", "orders", nested});
    EXPECT_TRUE(json.exited(0)) << json.out << json.err;
    EXPECT_EQ(field(json.out, "distinct_orders"), 4) << json.out;
    EXPECT_EQ(field(json.out, "runs"), 4) << json.out;
    const harness::result_t text = interleave(dir, {"--search", "orders", nested});
    EXPECT_TRUE(has(harness::one_line(text.out), "Every distinct order of its calls tried: 4 orders in 4 runs;")) << text.out;

    // Three threads through one pthread_once: a thread that finds the set-up done could
    // not have come while it ran (it would have waited), so that is no order to try.
    const harness::result_t once = interleave(dir, {"--json", "--search", "orders", (kProbes / "once_pthread").string()});
    EXPECT_TRUE(has(once.out, "\"complete\": true")) << once.out;
    EXPECT_EQ(field(once.out, "distinct_orders"), 18) << once.out;
    EXPECT_LE(field(once.out, "runs"), 19) << once.out;
    // Where every way on is an order tried already, the run stops there.
    const harness::result_t forked = interleave(dir, {"--search", "orders", (kProbes / "mutex_pshared_fork").string()});
    EXPECT_TRUE(has(harness::one_line(forked.out), "stopped early: the order they began was one tried already")) << forked.out;
}

// A fault only when two threads' three sections alternate: five switches, found by trying
// every order, fewest switches first; mended, its twenty orders are all tried and it is proved.
TEST(Orders, AFaultThatNeedsTheThreadsToAlternateIsFoundAndItsMendProved)
{
    harness::temp_dir dir;
    const std::string program = (kProbes / "alternate_three").string();
    harness::result_t r = interleave(dir, {"--search", "orders", program});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    // The fewest switches there can be: the turn leaves a thread that could have gone on
    // after A's first section, B's first, A's second and B's second.
    EXPECT_TRUE(has(r.out, "(every distinct order, switching 4 times more): exit status")) << r.out;
    EXPECT_TRUE(has(r.out, "ended with status 1")) << r.out;
    EXPECT_TRUE(has(r.out, "the sections came in the order ")) << r.out;
    EXPECT_TRUE(fs::exists(dir / "alternate_three.schedule"));
    r = interleave(dir, {"--json", "--search", "orders", program, "mended"});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "\"complete\": true")) << r.out;
    EXPECT_EQ(field(r.out, "distinct_orders"), 20) << r.out;
    // With runs for only some of them, it claims no more than it tried.
    r = interleave(dir, {"--json", "--runs", "12", program, "mended"});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "\"complete\": false")) << r.out;
}

// Of two faulty orders, the one of fewer switches is found first, wherever the search came
// upon the other.
TEST(Orders, TheFaultOfFewestSwitchesIsFoundFirst)
{
    harness::temp_dir dir;
    const harness::result_t r =
        interleave(dir, {"--search", "orders", (kProbes / "alternate_three").string(), "AABBAB", "BBBAAA"});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "(every distinct order, switching once more): exit status")) << r.out;
    EXPECT_TRUE(has(r.out, "the sections came in the order BBBAAA")) << r.out;
}

// The mended exercise is proved; runs that are cut never are, however many orders were tried.
TEST(Orders, AMendedExerciseIsProvedAndACutSearchIsNot)
{
    harness::temp_dir dir;
    harness::result_t r = interleave(dir, {(kProbes / "two_locks_same_order").string()});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_TRUE(has(harness::one_line(r.out), "Every distinct order of its calls tried: 40 orders in ")) << r.out;
    const std::vector<std::string> cut{"--search", "orders", "--runs", "100000", "--turns", "16",
                                       (kProbes / "slotring_five_ahead").string()};
    r = interleave(dir, cut);
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_TRUE(has(harness::one_line(r.out), "until it found none more to try; as the runs were cut, that is not every order"))
        << r.out;
    EXPECT_FALSE(has(r.out, "proof for")) << r.out;
    // A thread that times out and writes, again and again, does not spin: a thread asleep
    // beside it (its turns tried already) stays asleep, instead of being tried once more
    // at every turn. pulsewait's first 60 turns: three orders, each run once.
    r = interleave(dir, {"--json", "--search", "orders", "--turns", "60", "--runs", "1000", "pulsewait"});
    EXPECT_EQ(field(r.out, "distinct_orders"), 3) << r.out;
    EXPECT_EQ(field(r.out, "runs"), 3) << r.out;
}

// The first fault found has the fewest switches, and is saved at its shortest: the two
// threads each take their first lock, and nothing more.
TEST(Orders, TheSavedScheduleIsTheShortest)
{
    harness::temp_dir dir;
    const harness::result_t r = interleave(dir, {"--search", "orders", (kProbes / "two_locks_unlock_order").string()});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "(every distinct order, switching once more): deadlock")) << r.out;
    EXPECT_TRUE(has(r.out, "The schedule (7 turns")) << r.out;
}

// Where a search of every schedule can finish, the distinct orders it finds among its runs
// are the ones partial-order reduction tries, one run each.
TEST(Orders, AsManyOrdersAsASearchOfEverySchedule)
{
    harness::temp_dir dir;
    for (const std::vector<std::string> &program :
         {std::vector<std::string>{(kProbes / "one_lock_each").string(), "2"}, {(kProbes / "mutex_errorcheck").string()},
          {(kProbes / "join_reuse_tid").string()}}) {
        SCOPED_TRACE(program.front());
        std::vector<std::string> orders{"--json", "--search", "orders"}, all{"--json", "--search", "departures"};
        orders.insert(orders.end(), program.begin(), program.end());
        all.insert(all.end(), program.begin(), program.end());
        const harness::result_t by_orders = interleave(dir, orders), by_all = interleave(dir, all);
        ASSERT_TRUE(has(by_all.out, "\"complete\": true")) << by_all.out;
        EXPECT_TRUE(has(by_orders.out, "\"complete\": true")) << by_orders.out;
        EXPECT_EQ(field(by_orders.out, "distinct_orders"), field(by_all.out, "distinct_orders")) << by_orders.out << by_all.out;
        EXPECT_EQ(field(by_orders.out, "runs"), field(by_orders.out, "distinct_orders")) << by_orders.out;
    }
}

// What stdout still keeps, the exit writes out at a turn of its own, and then leaves the
// stream unbuffered: a print of another thread's may come before the write, and another's
// _exit after it, so "AHW" with that _exit's status is one of the ways the program ends;
// and a print after them goes out at once, before an _exit that follows it ("AwB").
TEST(Orders, TheExitWritesOutAtATurnOfItsOwn)
{
    harness::temp_dir dir;
    const harness::result_t r = interleave(dir, {"--outcomes", (kProbes / "prints_beside_the_exit").string()});
    EXPECT_TRUE(has(r.out, "exit status, status 3, output \"AHW\"")) << r.out;
    EXPECT_TRUE(has(r.out, "no fault, status 0, output \"AHW\"")) << r.out;
    const harness::result_t after = interleave(dir, {"--outcomes", (kProbes / "prints_after_the_exit_writes_out").string()});
    EXPECT_TRUE(has(after.out, "exit status, status 3, output \"AwB\"")) << after.out;
    // A print between the write and the unbuffering is kept until the second, and lost to
    // an _exit that comes before it.
    EXPECT_TRUE(has(after.out, "exit status, status 3, output \"Aw\"")) << after.out;
}

// A flush in a thread's last turn writes out what another thread printed: the thread's end
// tells it, so the order in which that print comes first is tried too.
TEST(Orders, AFlushInAThreadsLastTurnWritesOutAnothersPrint)
{
    harness::temp_dir dir;
    const harness::result_t r = interleave(dir, {"--outcomes", (kProbes / "flushes_as_it_ends").string()});
    EXPECT_TRUE(has(r.out, "no fault, status 0, output \"B\\nA\"")) << r.out;
}

}  // namespace
