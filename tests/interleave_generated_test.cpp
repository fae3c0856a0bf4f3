// The search of every distinct order checked against a search of every schedule, with no
// reduction, on many small programs drawn from seeds: on each, the ways the runs end (each
// fault, and the exit status and output of each run that ends) must be the same. That is
// what makes "every distinct order" a proof: a reduction that left an order out would, on
// some program, miss a way to end.
//
// A fixed set of seeds in every run of the suite; any others by hand:
//   INTERLEAVE_SEEDS=1-2000 ctest -R Generated --output-on-failure
// (one family: INTERLEAVE_FAMILY=calls, memory or all; programs of more schedules than the
// suite takes: INTERLEAVE_MOST_SCHEDULES=2000). A mismatch prints the program as C, and
// both sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

using harness::has;

// A program with more schedules is left out: its search would be long.
int most_schedules()
{
    const char *asked = std::getenv("INTERLEAVE_MOST_SCHEDULES");
    return asked != nullptr && std::atoi(asked) > 0 ? std::atoi(asked) : 250;
}

struct family_t {
    std::string name;  // calls, memory, all
    fs::path program;  // the build that runs it: interleave-cc's for memory accesses
    int first, count;  // the seeds each run of the suite compares
};

// The ways a search's runs ended, each as fault, end and output; and how it went.
struct searched_t {
    std::set<std::string> outcomes;
    bool exhaustive = false;
    long runs = 0;
    int status = 0;
    std::string said;
};

// The value of a JSON string that starts at `at` (its opening quote), as it stands.
std::string json_string(const std::string &json, std::size_t &at)
{
    std::string text;
    for (at++; at < json.size() && json[at] != '"'; at++) {
        if (json[at] == '\\' && at + 1 < json.size())
            text += json[at++];
        text += json[at];
    }
    at++;
    return text;
}

searched_t search(const std::string &way, const family_t &family, int seed, int runs)
{
    const harness::result_t r = harness::run(
        INTERLEAVE_PATH, {.args = {"--json", "--outcomes", "--search", way, "--runs", std::to_string(runs), "--seconds", "120",
                                   family.program.string(), "--family", family.name, std::to_string(seed)},
                          .limit = 180});
    searched_t s;
    s.status = r.exited(0) ? 0 : r.exited(1) ? 1 : 2;
    s.said = r.out + r.err;
    s.exhaustive = has(r.out, "\"exhaustive\": true");
    if (const std::size_t at = r.out.find("\"runs\": "); at != std::string::npos)
        s.runs = std::stol(r.out.substr(at + 8));
    // Each outcome: {"fault": "...", "end": "...", "output": "...", "runs": N}
    const std::string key = "{\"fault\": ";
    for (std::size_t at = r.out.find(key); at != std::string::npos; at = r.out.find(key, at)) {
        at += key.size();
        const std::string fault = json_string(r.out, at);
        at = r.out.find('"', r.out.find("\"end\": ", at) + 6);
        const std::string end = json_string(r.out, at);
        at = r.out.find('"', r.out.find("\"output\": ", at) + 9);
        const std::string output = json_string(r.out, at);
        s.outcomes.insert(fault + " | " + end + " | " + output);
    }
    return s;
}

std::string listed(const std::set<std::string> &outcomes)
{
    std::string text;
    for (const std::string &o : outcomes)
        text += "    " + o + "\n";
    return text;
}

// The seeds to compare: the family's fixed ones, or those asked for by hand.
std::vector<int> seeds_of(const family_t &family)
{
    std::vector<int> seeds;
    const char *family_asked = std::getenv("INTERLEAVE_FAMILY");
    if (family_asked != nullptr && family.name != family_asked)
        return seeds;
    if (const char *asked = std::getenv("INTERLEAVE_SEEDS"); asked != nullptr) {
        if (family.first != 1)
            return seeds;  // asked for by hand: in the family's first slice alone
        const std::string text = asked;
        const std::size_t dash = text.find('-');
        const int from = std::atoi(text.c_str());
        const int to = dash == std::string::npos ? from : std::atoi(text.c_str() + dash + 1);
        for (int seed = from; seed <= to; seed++)
            seeds.push_back(seed);
        return seeds;
    }
    // A slower build (a sanitizer's) compares fewer of each slice: INTERLEAVE_SEEDS_EACH.
    const char *each = std::getenv("INTERLEAVE_SEEDS_EACH");
    const int count = each != nullptr ? std::min(family.count, std::max(1, std::atoi(each))) : family.count;
    for (int seed = family.first; seed < family.first + count; seed++)
        seeds.push_back(seed);
    return seeds;
}

// gtest names each case by this (else it would print the record's bytes).
void PrintTo(const family_t &f, std::ostream *os)
{
    *os << f.name << " seeds " << f.first << " to " << f.first + f.count - 1;
}

class Generated : public testing::TestWithParam<family_t> {};

TEST_P(Generated, EveryDistinctOrderEndsTheWaysEveryScheduleDoes)
{
    const family_t &family = GetParam();
    long compared = 0, left_out = 0, every_runs = 0, order_runs = 0;
    for (int seed : seeds_of(family)) {
        const searched_t every = search("schedules", family, seed, most_schedules());
        ASSERT_NE(every.status, 2) << "seed " << seed << ": interleave cannot steer the program\n" << every.said;
        if (!every.exhaustive) {
            left_out++;  // more schedules than a test can try
            continue;
        }
        // The reduction may run an order twice, but never more runs than there are schedules.
        const searched_t orders = search("orders", family, seed, static_cast<int>(every.runs) + 10);
        compared++;
        every_runs += every.runs;
        order_runs += orders.runs;
        if (std::getenv("INTERLEAVE_SEEDS") != nullptr)
            std::cout << "seed " << seed << ": every schedule " << every.runs << " runs, every distinct order "
                      << orders.runs << ", " << every.outcomes.size() << " ways to end\n";
        if (orders.exhaustive && orders.outcomes == every.outcomes)
            continue;
        const harness::result_t source =
            harness::run(family.program, {.args = {"--source", "--family", family.name, std::to_string(seed)}});
        ADD_FAILURE() << "seed " << seed << " (family " << family.name << "): every distinct order "
                      << (orders.exhaustive ? "ended in other ways" : "was not tried to its end") << " than every schedule\n"
                      << "  every schedule (" << every.runs << " runs):\n"
                      << listed(every.outcomes) << "  every distinct order (" << orders.runs << " runs):\n"
                      << listed(orders.outcomes) << "the program:\n"
                      << source.out;
    }
    // Enough programs are compared for the check to mean something.
    if (std::getenv("INTERLEAVE_SEEDS") == nullptr && std::getenv("INTERLEAVE_FAMILY") == nullptr) {
        EXPECT_GE(compared * 2, compared + left_out) << left_out << " of the programs had too many schedules";
    }
    std::cout << family.name << ": " << compared << " programs compared, " << left_out << " with more than "
              << most_schedules() << " schedules left out; every schedule took " << every_runs
              << " runs, every distinct order " << order_runs << " (" << (order_runs > 0 ? static_cast<double>(every_runs) / static_cast<double>(order_runs) : 0)
              << " times fewer)\n";
}

// The seeds of each run of the suite, in slices that run side by side.
std::vector<family_t> families()
{
    const fs::path plain = GENERATED_DIR "/random_program", accesses = GENERATED_DIR "/random_program_accesses";
    std::vector<family_t> all;
    // About a hundred programs: the comparison is deterministic, so wider ranges are compared
    // once by hand or by bench/interleave.sh rather than in every run of the suite.
    for (int slice = 0; slice < 2; slice++)
        all.push_back({"calls", plain, 1 + slice * 30, 30});
    for (int slice = 0; slice < 2; slice++)
        all.push_back({"memory", accesses, 1 + slice * 13, 13});
    all.push_back({"all", accesses, 1, 20});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Interleave, Generated, testing::ValuesIn(families()), [](const testing::TestParamInfo<family_t> &info) {
    return info.param.name + "_" + std::to_string(info.param.first) + "_" + std::to_string(info.param.first + info.param.count - 1);
});

}  // namespace
