// interleave's verdict on each probe program (tests/probes): a correct program must get 0,
// however it synchronises; a faulty one 1, with a schedule saved; one that waits where
// interleave cannot see, 2, with no schedule saved as if the program were at fault.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

struct probe_t {
    fs::path program;
    int verdict = 0;
    std::vector<std::string> options;
};

std::vector<probe_t> probes()
{
    std::vector<probe_t> list;
    std::ifstream file(PROBE_LIST);
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        probe_t p;
        std::string program;
        std::getline(fields, program, '\t');
        fields >> p.verdict;
        for (std::string option; fields >> option;)
            p.options.push_back(option);
        p.program = program;
        list.push_back(p);
    }
    return list;
}

// gtest names each case by this (else it would print the record's bytes).
void PrintTo(const probe_t &p, std::ostream *os)
{
    *os << p.program.filename().string() << " (verdict " << p.verdict << ")";
}

class Probe : public testing::TestWithParam<probe_t> {};

TEST_P(Probe, GetsItsVerdict)
{
    const probe_t &p = GetParam();
    harness::temp_dir dir;
    std::vector<std::string> args{"--runs", "100"};  // the probe's own --runs, if any, comes later and holds
    args.insert(args.end(), p.options.begin(), p.options.end());
    args.push_back(p.program.string());
    const harness::result_t r = harness::run(INTERLEAVE_PATH, {.args = args, .cwd = dir.path, .limit = 240});
    EXPECT_TRUE(r.exited(p.verdict)) << "status " << r.status << "\n" << r.out << r.err;
    const bool saved = fs::exists(dir / (p.program.filename().string() + ".schedule"));
    EXPECT_EQ(saved, p.verdict == 1) << r.out << r.err;
    if (p.verdict == 2) {
        EXPECT_NE(r.err.find("interleave: cannot steer"), std::string::npos) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Interleave, Probe, testing::ValuesIn(probes()),
                         [](const testing::TestParamInfo<probe_t> &info) { return info.param.program.stem().string(); });

}  // namespace
