// Schedules on file: a short text that names the program, its rules, arguments and input,
// and lists who went at each turn ("0 0 1 2t": thread 2, the third to start, timed out),
// so that a run can be passed on and replayed to the byte. The file explains its own lines.
//
// A schedule is data from someone else: reading one runs nothing. The program it names is
// kept as it was given (a bare name, which means the program beside interleave, or a path,
// which is taken from the schedule's own folder when it is relative), or, for a program
// interleave built, as the sources it was built from, each from the schedule's folder; so
// that a schedule travels with the folder it lies in.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run.h"

namespace interleave {

struct schedule_t {
    std::string program;  // as the file names it
    std::vector<std::string> sources;  // or the sources it is built from, as the file names them
    std::vector<std::string> args;
    std::optional<watch::demo_t> demo;
    int input_lines = 0;
    int spurious = 1;
    int status = 0;
    std::vector<action_t> turns;
};

// Writes the schedule of `target`, whose program the user named `named`; false, with `why`
// said, if it could not be written, or if `path` holds something other than a schedule,
// which a schedule never overwrites.
bool save_schedule(const std::string &path, const target_t &target, const bounds_t &bounds,
                   const std::vector<action_t> &choices, std::string &why);
// Whether a schedule may be written at `path`: nothing is there, or a schedule is; else
// `why` says what is there, which is left as it is.
bool may_save(const std::string &path, std::string &why);
// Reads a schedule; nothing, with `why` said, if it is not one.
std::optional<schedule_t> load_schedule(const std::string &path, std::string &why);

// Where a schedule's program is, seen from here: a bare name stays bare (the caller finds it
// beside interleave); a relative path is taken from the schedule's folder.
std::string program_from(const std::string &schedule_path, const std::string &program);
// Where a schedule's source is, seen from here: from the schedule's folder, a bare name too.
std::string source_from(const std::string &schedule_path, const std::string &source);

// The command a schedule runs, as a shell would take it: "./prog 'two words'"; a word with
// a character a terminal would act on (an escape, a carriage return) is written with
// escapes, $'a\x1bb', so that what is shown is all there is.
std::string command_line(const std::string &program, const std::vector<std::string> &args);
// One word of it: how a file's name is shown in a message, so that a name with a blank, a
// line break or an escape in it reads as the one name it is.
std::string shell_word(const std::string &word);
// A text from elsewhere made safe to show on a terminal: control characters and bytes
// that are not UTF-8 text become \xNN.
std::string visible(const std::string &text);

}  // namespace interleave
