// linecarver: the front half of a shell. It reads command lines, splits each into the
// commands of a pipeline, their words and their "<" / ">" redirections, and lists what
// it found. It runs nothing.
//
// Run:   linecarver          (type lines at the sh% prompt; exit, quit or bye ends it,
//                              and so does Ctrl-D)
// Watch: the first command is echoed as typed before it is split; then one cmd-show line
//        per command. A command without a name or without a redirection shows (null)
//        there. Only blanks separate words: a tab is part of a word.

#include <array>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "parse.h"

constexpr int kLine = 1024;  // at most 1023 characters and the terminator
constexpr std::array<const char *, 4> kExitWords = {"exit", "quit", "EXIT", "bye"};

// A line ends the run only if it is an exit word and nothing else, in any letter case.
bool is_exit_word(const char *line)
{
    for (const char *word : kExitWords)
        if (strcasecmp(line, word) == 0)
            return true;
    return false;
}

// A missing string is printed as "(null)". Passing a null pointer to printf itself
// would be undefined, and may crash where the compiler turns the call into puts.
const char *or_null(const char *text)
{
    return text != nullptr ? text : "(null)";
}

void show(const table_t &table, int count)
{
    for (int i = 0; i < count; i++) {
        const cmd_t &cmd = table[i];
        std::printf("cmd-show:%s,", or_null(cmd.argv[0]));
        for (int k = 1; k < kSlots && cmd.argv[0] != nullptr && cmd.argv[k] != nullptr; k++)
            std::printf("argv:%s,", cmd.argv[k]);
        std::printf("in:%s, out:%s\n", or_null(cmd.in), or_null(cmd.out));
    }
}

void report_refusal(int result)
{
    if (result == kTooManyCommands)
        std::fprintf(stderr, "linecarver: line refused: more than %d commands\n", kMaxCommands);
    else if (result == kTooManyWords)
        std::fprintf(stderr, "linecarver: line refused: a command with more than %d words\n",
                     kMaxWords);
    // A sign without a target (kNoTarget) drops the line without a word: only the echo of
    // the first command was printed, so when the sign is in a later command, as in
    // "cat < in | grep x >", nothing shows what was wrong but the missing listing.
}

// A failed write (a full disk, a closed pipe) leaves only the stream's error flag behind:
// look at it before claiming success.
int finish()
{
    if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
        std::fprintf(stderr, "linecarver: could not write to standard output\n");
        return 1;
    }
    return 0;
}

int main()
{
    // Whole lines reach a pipe or a file as soon as they are written.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::array<char, kLine> buf;
    table_t table;
    for (;;) {
        std::printf("sh%%");
        std::fflush(stdout);  // the prompt has no newline, so it must be pushed out by hand

        // A line longer than the buffer arrives in pieces, each handled as a line.
        if (std::fgets(buf.data(), kLine, stdin) == nullptr) {
            if (std::ferror(stdin)) {
                std::perror("linecarver: read");
                return 1;
            }
            std::printf("\n");  // end of input (Ctrl-D) ends the run like an exit word
            return finish();
        }
        std::size_t len = std::strlen(buf.data());
        if (len > 0 && buf[len - 1] == '\n')
            buf[len - 1] = '\0';

        if (is_exit_word(buf.data()))
            return finish();
        int count = parse(buf.data(), table);
        report_refusal(count);
        show(table, count);
    }
}
