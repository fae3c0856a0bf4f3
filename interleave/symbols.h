// Names for a program's addresses: its global variables and its functions, read from the
// symbol table of its file, so that a replay can say "lock" and "m[2]" where the program
// said them, instead of numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace interleave {

struct symbol_t {
    uint64_t value;  // from the load address
    uint64_t size;
    std::string name;
    bool function;
};

using symbols_t = std::vector<symbol_t>;

symbols_t read_symbols(const std::string &path);

// The variable at `offset` from the load address, as "lock" or, inside an array of
// `element`-byte items, "m[2]"; empty when no variable holds it.
std::string object_name(const symbols_t &symbols, uint64_t offset, uint64_t element);
// The function that starts at `offset`, without its parameters; empty if none does.
std::string function_name(const symbols_t &symbols, uint64_t offset);

// A function's name as its source has it ("std::string::append"), from its symbol's.
std::string readable_name(const std::string &symbol);

// Whether the file is a program whose calls a preloaded library can stand in front of: a
// dynamically linked ELF executable. If not, why.
bool steerable(const std::string &path, std::string &why);

}  // namespace interleave
