// Feeds arbitrary lines to the splitter and checks what must hold for every one of them:
// no memory error (the sanitizers see to that), a known result, every stored reference
// inside the line buffer, and every argument list ended by an empty slot.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "parse.h"

namespace {

constexpr std::size_t kLine = 1024;  // linecarver's line buffer
char untouched;                      // what every slot of the table holds before parse runs

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "parse_fuzz: %s\n", what);
        std::abort();
    }
}

bool inside(const char *p, const char *buf)
{
    return p >= buf && p < buf + kLine;
}

// Words and targets end where parse wrote a terminator: never at a blank, sign or pipe.
bool clean_text(const char *p)
{
    return std::strpbrk(p, " <>|") == nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // parse echoes each line's first command; keep that out of the fuzzer's output.
    require(std::freopen("/dev/null", "w", stdout) != nullptr, "cannot silence stdout");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The line as the prompt loop hands it over: at most 1023 characters and a terminator.
    // Buffer and table are on the heap, exactly sized, so a write past either is caught.
    char *buf = new char[kLine];
    size = std::min(size, kLine - 1);
    std::memcpy(buf, data, size);
    buf[size] = '\0';
    auto *table = new table_t;
    for (cmd_t &cmd : *table) {
        cmd.argv.fill(&untouched);
        cmd.in = cmd.out = &untouched;
    }

    int result = parse(buf, *table);
    require(result == kNoTarget || result == kTooManyCommands || result == kTooManyWords ||
                (result >= 0 && result <= kMaxCommands),
            "unknown result");
    for (const cmd_t &cmd : *table) {
        for (const char *p : cmd.argv)
            require(p == nullptr || p == &untouched || inside(p, buf), "word outside the line");
        for (const char *p : {cmd.in, cmd.out})
            require(p == nullptr || p == &untouched || inside(p, buf), "target outside the line");
    }
    if (result >= 0) {
        require((*table)[result].argv[0] == nullptr, "no end mark after the last command");
        for (int i = 0; i < result; i++) {
            const cmd_t &cmd = (*table)[i];
            int k = 0;
            while (k < kSlots && cmd.argv[k] != nullptr) {
                require(*cmd.argv[k] != '\0' && clean_text(cmd.argv[k]), "bad word");
                k++;
            }
            require(k < kSlots, "argument list without an empty slot");
            for (const char *p : {cmd.in, cmd.out})
                require(p != &untouched && (p == nullptr || clean_text(p)), "bad target");
        }
    }
    delete table;
    delete[] buf;
    return 0;
}
