// A source of more than 2 GiB, which a 32-bit length or offset would corrupt: a sparse
// file with marked bytes around 2^31 and at its very end, copied by both programs.
// Skip it locally with `ctest -LE large`; CI runs it.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

constexpr off_t kTwoGiB = off_t{1} << 31;
constexpr off_t kSize = kTwoGiB + 3 * 4096 + 5;
const std::vector<std::pair<off_t, char>> kMarks = {
    {0, 'A'}, {kTwoGiB - 1, 'B'}, {kTwoGiB, 'C'}, {kTwoGiB + 4096, 'D'}, {kSize - 1, 'Z'}};

// Compares two files a chunk at a time; tells where they first differ, if they do.
std::string difference(const fs::path &a, const fs::path &b)
{
    int fa = open(a.c_str(), O_RDONLY), fb = open(b.c_str(), O_RDONLY);
    if (fa == -1 || fb == -1)
        return "cannot open";
    static std::array<char, 1 << 20> x, y;
    std::string found;
    for (off_t at = 0; found.empty(); at += static_cast<off_t>(x.size())) {
        ssize_t na = read(fa, x.data(), x.size()), nb = read(fb, y.data(), y.size());
        if (na != nb)
            found = "lengths differ near " + std::to_string(at);
        else if (na <= 0)
            break;
        else if (std::memcmp(x.data(), y.data(), static_cast<std::size_t>(na)) != 0)
            found = "bytes differ in the MiB at " + std::to_string(at);
    }
    close(fa);
    close(fb);
    return found;
}

// The destination is written in full: memory-backed where there is room, else the
// temporary folder.
std::optional<fs::path> room_for_the_copy()
{
    for (const fs::path &parent : {fs::path("/dev/shm"), fs::temp_directory_path()}) {
        struct statvfs space {};
        if (statvfs(parent.c_str(), &space) == 0 &&
            static_cast<off_t>(space.f_bavail * space.f_frsize) >= kSize + (off_t{256} << 20))
            return parent;
    }
    return std::nullopt;
}

TEST(LargeCopy, SparseSourceOver2GiBIsCopiedExactly)
{
    std::optional<fs::path> parent = room_for_the_copy();
    if (!parent)
        GTEST_SKIP() << "neither /dev/shm nor " << fs::temp_directory_path()
                     << " has the 2.3 GiB free that a 2 GiB copy needs";

    harness::temp_dir dir(*parent);
    fs::path src = dir / "src", dst = dir / "dst";
    int fd = open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(ftruncate(fd, kSize), 0);
    for (auto [at, mark] : kMarks)
        ASSERT_EQ(pwrite(fd, &mark, 1, at), 1);
    close(fd);

    for (const char *program : {FORKMIRROR_PATH, LANEMIRROR_PATH}) {
        SCOPED_TRACE(program);
        harness::options_t o;
        o.args = {src, dst, "3"};
        o.limit = 240;
        harness::result_t r = harness::run(program, o);
        EXPECT_TRUE(r.exited(0));
        EXPECT_EQ(r.err, "");
        ASSERT_EQ(fs::file_size(dst), static_cast<std::uintmax_t>(kSize));
        int copy = open(dst.c_str(), O_RDONLY);
        for (auto [at, mark] : kMarks) {
            char byte = 0;
            EXPECT_EQ(pread(copy, &byte, 1, at), 1);
            EXPECT_EQ(byte, mark) << "at offset " << at;
        }
        close(copy);
        EXPECT_EQ(difference(src, dst), "");
        fs::remove(dst);
    }
}

}  // namespace
