// Source lines of a program's code, from its debug information (read with elfutils' libdw).
#pragma once

#include <cstdint>
#include <string>

namespace interleave {

// The file and line ("counter.c:12") of the instruction at `address`, an address of the
// program's file as it is linked (its load address taken off); empty if its debug
// information does not say. The file's information is read once and kept.
std::string source_line(const std::string &program, uint64_t address);

}  // namespace interleave
