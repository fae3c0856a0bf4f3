// What a program's debug information says (read with elfutils' libdw): the source line of
// an instruction, and the variable that a piece of the program's static memory belongs to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace interleave {

// The file and line ("counter.c:12") of the instruction at `address`, an address of the
// program's file as it is linked (its load address taken off); empty if its debug
// information does not say. Where the instruction is a library's inlined into the program
// (a std::atomic's operation, from a system header), the line of the program's own code that
// the library was called from. The file's information is read once and kept.
std::string source_line(const std::string &program, uint64_t address);

// A variable of the program's, named down to the part that an access of `size` bytes at
// `address` touches ("pt.y", "grid[1][2]"), and how a value of that part reads.
struct variable_t {
    std::string name;
    enum { number, count, real, truth, pointer, character } reads = number;  // signed, unsigned, floating, bool
};
std::optional<variable_t> variable_at(const std::string &program, uint64_t address, uint64_t size);

}  // namespace interleave
