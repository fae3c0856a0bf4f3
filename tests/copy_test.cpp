// forkmirror and lanemirror end to end: exact copies for awkward sizes and worker counts,
// the destination's mode, and every way a run can be refused or fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

struct copier_t {
    std::string name;
    fs::path path;
    mode_t mode;                  // of a destination created under umask 0
    std::string open_src_label;   // the label of a failed source open
    std::string open_dst_label;   // the label of a failed destination open
    std::string mmap_src_label;   // the label of a failed source mapping
    std::string fail_second;      // the fault that fails the second worker's creation
    std::string create_error;     // what its failure says
};

void PrintTo(const copier_t &c, std::ostream *os)
{
    *os << c.name;
}

const copier_t kForkmirror{"forkmirror", FORKMIRROR_PATH, 0664, "open dict.txt err", "open dict.cp err",
                           "mmap src err", "FAULT_FORK_FAILS_AT=2", "fork: Resource temporarily unavailable\n"};
const copier_t kLanemirror{"lanemirror", LANEMIRROR_PATH, 0644, "open src", "open dst", "mmap src",
                           "FAULT_THREAD_FAILS_AT=2", "pthread_create: Resource temporarily unavailable\n"};

// Bytes that differ from position to position and from size to size, so that a block
// copied to the wrong offset cannot go unnoticed.
std::string pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    unsigned x = 2463534242u ^ static_cast<unsigned>(size);
    for (char &c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

class Copy : public testing::TestWithParam<copier_t> {
protected:
    harness::temp_dir dir;
    fs::path src = dir / "src", dst = dir / "dst";

    harness::result_t copy(std::vector<std::string> args, harness::options_t o = {})
    {
        o.args = std::move(args);
        o.limit = 30;
        return harness::run(GetParam().path, o);
    }

    // A refused run: status 1, a message, nothing on standard output, no destination.
    void expect_refused(const harness::result_t &r, const std::string &message)
    {
        EXPECT_TRUE(r.exited(1));
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(dst));
    }
};

TEST_P(Copy, EveryByteForEverySizeAndWorkerCount)
{
    for (std::size_t size : {0, 1, 3, 12, 4095, 4096, 4097, 3 * 1024 * 1024 + 4097}) {
        std::string data = pattern(size);
        harness::write_file(src, data);
        std::vector<std::string> counts{"", "1", "2", "3", "5"};
        if (size < 100)
            counts.push_back(std::to_string(size + 2));  // more workers than bytes
        for (const std::string &n : counts) {
            std::vector<std::string> args{src, dst};
            if (!n.empty())
                args.push_back(n);
            harness::result_t r = copy(args);
            SCOPED_TRACE("size " + std::to_string(size) + ", workers '" + n + "'");
            EXPECT_TRUE(r.exited(0));
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(harness::read_file(dst) == data) << "the copy differs from the source";
            fs::remove(dst);
        }
    }
}

TEST_P(Copy, DestinationIsCreatedWithItsModeOrTruncated)
{
    harness::write_file(src, pattern(12));
    harness::options_t o;
    o.umask = 0;
    ASSERT_TRUE(copy({src, dst}, o).exited(0));
    EXPECT_EQ(fs::status(dst).permissions(), static_cast<fs::perms>(GetParam().mode));

    harness::write_file(dst, pattern(10000));
    ASSERT_TRUE(copy({src, dst, "2"}).exited(0));
    EXPECT_EQ(harness::read_file(dst), pattern(12)) << "a longer destination must be cut";
}

TEST_P(Copy, WorkerCountOutsideOneToAHundredIsRefusedBeforeAnyFileIsTouched)
{
    harness::write_file(src, pattern(12));
    for (const char *n : {"0", "-3", "abc", "", "101", "2147483648"}) {
        SCOPED_TRACE(std::string("count '") + n + "'");
        expect_refused(copy({src, dst, n}), "must be from 1 to 100");
    }
    harness::write_file(dst, pattern(100000));
    EXPECT_TRUE(copy({src, dst, "100000"}).exited(1));
    EXPECT_TRUE(harness::read_file(dst) == pattern(100000)) << "the destination was touched";
    harness::result_t r = copy({src, dst, "12abc"});  // read as 12, like atoi
    EXPECT_TRUE(r.exited(0));
    EXPECT_EQ(harness::read_file(dst), pattern(12));
}

TEST_P(Copy, SameFileUnderAnotherNameIsRefusedAndTheSourceKept)
{
    harness::write_file(src, pattern(4097));
    fs::create_hard_link(src, dir / "hard");
    fs::create_symlink(src, dir / "soft");
    for (const fs::path &other : {src, dir / "hard", dir / "soft", dir / "." / "src"}) {
        SCOPED_TRACE(other.string());
        harness::result_t r = copy({src, other});
        EXPECT_TRUE(r.exited(1));
        EXPECT_NE(r.err.find("are the same file"), std::string::npos) << r.err;
        EXPECT_TRUE(harness::read_file(src) == pattern(4097)) << "the source was damaged";
    }
    // Started with standard input and error closed, the second file opened would become
    // descriptor 2, and the refusal would be written into it: into the source itself.
    harness::result_t r = harness::run_script("exec \"$0\" \"$1\" \"$1\" <&- 2>&-", GetParam().path, {.args = {src}});
    EXPECT_TRUE(r.exited(1));
    EXPECT_TRUE(harness::read_file(src) == pattern(4097)) << "the message went into the source";
}

TEST_P(Copy, OnlyARegularFileIsCopiedOrWritten)
{
    fs::create_directory(dir / "folder");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const fs::path &source : {dir / "folder", dir / "fifo"}) {
        SCOPED_TRACE(source.string());
        expect_refused(copy({source, dst}), "is not a regular file");
    }
    // A destination that is not a regular file is refused in so many words, first.
    harness::write_file(src, pattern(12));
    for (const fs::path &destination : {dir / "folder", dir / "fifo", fs::path("/dev/null")}) {
        SCOPED_TRACE(destination.string());
        harness::result_t r = copy({src, destination});
        EXPECT_TRUE(r.exited(1));
        EXPECT_EQ(r.err, GetParam().name + ": " + destination.string() + " is not a regular file\n");
    }
}

TEST_P(Copy, MissingSourceCreatesNoDestination)
{
    harness::result_t r = copy({dir / "missing", dst});
    EXPECT_TRUE(r.exited(1));
    EXPECT_EQ(r.err, GetParam().open_src_label + ": No such file or directory\n");
    EXPECT_FALSE(fs::exists(dst));
}

// The fault shim makes a worker's creation fail, or pulls the source from under the mappings.
harness::options_t with_fault(std::vector<std::string> args, const std::string &fault)
{
    harness::options_t o;
    o.args = std::move(args);
    harness::preload(o, FAULT_SHIM_PATH, {fault});
    return o;
}

TEST_P(Copy, FailedWorkerCreationIsReportedAndTheCreatedWorkersFinish)
{
    harness::write_file(src, pattern(4097));
    harness::options_t o = with_fault({src, dst, "4"}, GetParam().fail_second);
    harness::result_t r = harness::run(GetParam().path, o);
    EXPECT_TRUE(r.exited(1));
    EXPECT_FALSE(r.stragglers);
    EXPECT_EQ(r.err, GetParam().create_error + GetParam().name + ": the copy in " + dst.string() + " is incomplete\n");
    // Worker 0 was created and did its block of 1024 bytes.
    std::string copied = harness::read_file(dst);
    ASSERT_EQ(copied.size(), 4097u);
    EXPECT_EQ(copied.substr(0, 1024), pattern(4097).substr(0, 1024));
    EXPECT_NE(copied.substr(1024, 1024), pattern(4097).substr(1024, 1024));
}

TEST_P(Copy, SourceShrinkingUnderItsMappingIsReported)
{
    harness::write_file(src, pattern(64 * 1024));
    // Cut to nothing right before the first worker is created: touching the mapping then
    // raises SIGBUS.
    // Every worker faults; the first failure is told slowly, so the others fault meanwhile:
    // the copy is called incomplete once.
    harness::options_t o = with_fault({src, dst, "4"}, "FAULT_TRUNCATE=" + src.string());
    o.env.push_back("PACE_ERROR_MS=300");
    harness::result_t r = harness::run(GetParam().path, o);
    EXPECT_TRUE(r.exited(1));
    const std::string incomplete = "the copy in " + dst.string() + " is incomplete\n";
    const std::size_t first = r.err.find(incomplete);
    EXPECT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(incomplete, first + 1), std::string::npos) << r.err;
}

TEST_P(Copy, SourceOfUnknownSizeOrThatCannotBeMappedLeavesTheDestinationAlone)
{
    // /proc files call themselves empty and yet have text.
    expect_refused(copy({"/proc/self/status", dst}), "its size is unknown, so it cannot be mapped");

    const fs::path unmappable = "/sys/devices/system/cpu/online";
    if (!fs::exists(unmappable))
        GTEST_SKIP() << unmappable << " is missing here";
    harness::write_file(dst, "keep me");
    harness::result_t r = copy({unmappable, dst});
    EXPECT_TRUE(r.exited(1));
    EXPECT_EQ(r.err, GetParam().mmap_src_label + ": No such device\n");
    EXPECT_EQ(harness::read_file(dst), "keep me");
}

INSTANTIATE_TEST_SUITE_P(Both, Copy, testing::Values(kForkmirror, kLanemirror),
                         [](const auto &info) { return info.param.name; });

TEST(Forkmirror, UsageLineForAWrongArgumentCount)
{
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"a"}, {"a", "b", "1", "x"}}) {
        harness::options_t o;
        o.args = args;
        harness::result_t r = harness::run(FORKMIRROR_PATH, o);
        EXPECT_TRUE(r.exited(1));
        EXPECT_EQ(r.out, "Enter like this please: ./a.out file_src file_dst [process number]\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(Lanemirror, UsageLineForAWrongArgumentCount)
{
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"a"}, {"a", "b", "2", "extra"}}) {
        harness::options_t o;
        o.args = args;
        harness::result_t r = harness::run(LANEMIRROR_PATH, o);
        EXPECT_TRUE(r.exited(1));
        EXPECT_EQ(r.out, "Enter like this please: ./a.out src dst [thread number]\n");
    }
}

// A child that is not a worker (`job & exec forkmirror`: here one that has already ended
// with status 3), or SIGCHLD ignored by whoever started it, must not make forkmirror
// miss its own workers.
TEST(Forkmirror, WaitsForItsOwnWorkersAndNoOtherChild)
{
    harness::temp_dir dir;
    harness::write_file(dir / "src", pattern(1 << 20));
    harness::options_t o;
    o.args = {dir / "src", dir / "dst", "2"};
    for (const char *perl : {"pipe(R, W); if (!fork) { close R; exit 3 } close W; <R>;",
                             "$SIG{CHLD} = 'IGNORE';"}) {
        const std::string script = std::string("exec perl -e '") + perl + " exec @ARGV' \"$0\" \"$@\"";
        SCOPED_TRACE(perl);
        harness::result_t r = harness::run_script(script, FORKMIRROR_PATH, o);
        EXPECT_TRUE(r.exited(0));
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(harness::read_file(dir / "dst") == pattern(1 << 20));
    }
}

}  // namespace
