// A program named by its sources: interleave builds it with interleave-cc (or
// interleave-c++) itself, unoptimised and with debug information, so that a learner's
// counter.c is explored access by access without a build of their own, and never by
// mistake as a plain build whose accesses are no turns.
//
// What is built is kept in a cache, one folder per key: the key is a hash of the sources'
// names and bytes, the compiler's command and the folder it runs in (the names are taken
// from it), and the size and time of interleave-cc and of the access library, so that a
// changed source or a rebuilt interleave builds anew and an unchanged one runs the program
// built before. The folder holds the program, the
// compiler's messages (build.log) and a record of what was built and how (built), from
// which a program cut short is told from a whole one.
#pragma once

#include <string>
#include <vector>

namespace interleave {

// The folder interleave lies in: its build folder, or an installed bin/. The steering
// library, interleave-cc and interleave-c++ are found from it.
std::string folder_of_self();

// Whether a word of the command line names a source: a .c, .cpp, .cc or .cxx file.
bool is_source(const std::string &word);
// Why a source cannot be built from (it is missing, a folder, unreadable), or "".
std::string unusable_source(const std::string &source);

// How sources become a program: the command, and where the program goes.
struct build_plan_t {
    std::vector<std::string> sources;  // as they were named, from the current folder
    std::vector<std::string> command;  // the compiler and its arguments, the output left out
    std::string folder;                // the cache's folder for these sources
    std::string program;               // the program in it
};

// The plan for `sources`: false, with `why` said, when interleave-cc is not beside
// interleave or a source cannot be read.
bool plan_build(const std::vector<std::string> &sources, build_plan_t &plan, std::string &why);
// The command that builds the program, as a shell would take it.
std::string build_command(const build_plan_t &plan);

enum class built_t { built, cached, failed, cannot };
// Builds the program unless the cache holds it whole. `failed`: the compiler refused, and
// `log` holds what it wrote; `cannot`: the build could not be made at all, and `why` says so.
// The compiler's warnings on a build that succeeds are in `log` too.
built_t build(const build_plan_t &plan, std::string &log, std::string &why);

}  // namespace interleave
