#include "parse.h"

#include <cstdio>
#include <cstring>

namespace {

// A redirection target runs up to the next blank, sign or the end of its command.
bool in_target(char c)
{
    return c != '\0' && c != ' ' && c != '<' && c != '>';
}

}  // namespace

int parse(char *line, table_t &table)
{
    // Cut the line at "|" the way strtok does: runs of "|" count as one separator, and a
    // leading or trailing "|" yields no empty command. strtok writes a terminator over
    // the separator that ends each segment.
    int count = 0;
    char *segment = std::strtok(line, "|");
    if (segment != nullptr)
        std::printf("%s\n", segment);  // the first command, before anything else cuts it up
    while (segment != nullptr) {
        if (count == kMaxCommands)
            return kTooManyCommands;
        table[count++].argv[0] = segment;
        segment = std::strtok(nullptr, "|");
    }
    table[count].argv[0] = nullptr;  // the end mark

    // Cut each command into words. A blank becomes a terminator, so a word starts at the
    // command's start or right after a terminator.
    for (int j = 0; j < count; j++) {
        cmd_t &cmd = table[j];
        cmd.in = nullptr;
        cmd.out = nullptr;
        int k = 0;
        char *p = cmd.argv[0];
        while (*p != '\0') {
            if (*p == ' ') {
                *p++ = '\0';
            } else if (*p == '<' || *p == '>') {
                char *&target = (*p == '<') ? cmd.in : cmd.out;
                *p++ = '\0';
                while (*p == ' ')
                    p++;
                if (*p == '\0')
                    return kNoTarget;
                // If another sign follows at once, it is cut off in turn and this target
                // stays present but empty, as in "cat < > out".
                target = p;
                // A target is never also a word, whether a blank comes before it or not.
                while (in_target(*p))
                    p++;
            } else {
                if (p == cmd.argv[0] || p[-1] == '\0') {
                    if (k == kMaxWords)
                        return kTooManyWords;
                    cmd.argv[k++] = p;
                }
                p++;
            }
        }
        cmd.argv[k] = nullptr;
    }
    return count;
}
