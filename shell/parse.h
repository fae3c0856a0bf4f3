// The command-line splitter of linecarver: cuts one line into pipeline commands, their
// words and their redirections, in place, without copying or allocating anything.
#pragma once

#include <array>

constexpr int kCommands = 16;  // records in the table
constexpr int kSlots = 8;      // argument slots in a record

// One command of a pipeline. Every reference points into the caller's line buffer.
struct cmd_t {
    std::array<char *, kSlots> argv;  // the name, then its words; the list ends at the first empty slot
    char *in;                         // target of "<", or empty
    char *out;                        // target of ">", or empty
};
static_assert(sizeof(cmd_t) == 10 * sizeof(char *), "a command is ten string references");

using table_t = std::array<cmd_t, kCommands>;

// The record after the last command holds an end mark, so 15 commands fill the table;
// the last argument slot must stay empty, so a command holds at most 7 words.
constexpr int kMaxCommands = kCommands - 1;
constexpr int kMaxWords = kSlots - 1;

// What parse returns instead of a count of commands when it refuses a line.
constexpr int kNoTarget = -1;         // a "<" or ">" with nothing after it
constexpr int kTooManyCommands = -2;  // more than kMaxCommands commands
constexpr int kTooManyWords = -3;     // a command with more than kMaxWords words

// Splits `line` (terminated, its newline removed) into `table` by writing terminators
// into it, and echoes the line's first command to standard output as it was typed.
// Returns the number of commands (0 for a line without any) or one of the refusals above.
int parse(char *line, table_t &table);
