#include "schedule.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace interleave {
namespace {

constexpr long kMostThreads = 100000000;  // a thread's number in a schedule is below this
constexpr std::uintmax_t kMostBytes = 64u << 20;  // a schedule of a million turns is a few MB

constexpr const char *kExplained =
    "# interleave schedule: who went at each turn of one run of a program, so that the run\n"
    "# can be replayed to the byte:  interleave --replay THIS_FILE\n"
    "#   program   the program, as it was named: a bare name is a program beside interleave;\n"
    "#             a path that does not start with / is taken from this file's folder\n"
    "#   source    instead of program: a source it is built from, one a line, taken from\n"
    "#             this file's folder unless it starts with /; interleave builds it with\n"
    "#             interleave-cc (interleave-c++ for C++) -O0 -g -pthread\n"
    "#   arg       an argument of the program's, one a line (a newline in it written \\n,\n"
    "#             a backslash \\\\)\n"
    "#   as        whose rules judge it: one of the six demos\n"
    "#   input     how many lines reads of its standard input were handed\n"
    "#   spurious  how many waits could end with no wake-up, as POSIX allows\n"
    "#   status    its normal exit status, when it is not 0\n"
    "#   turns     who went at each turn: threads numbered as they were created, main 0;\n"
    "#             a letter after a number says what happened instead of its call:\n"
    "#             t its wait timed out, s it woke with no signal, c it was cancelled,\n"
    "#             a the timer of its process sent SIGALRM, g a signal sent to it (or to\n"
    "#             its process) arrived: its handler ran, or its default action was taken\n";

std::string choice_text(const action_t &a)
{
    return std::to_string(a.thread) + (a.how == 'r' ? "" : std::string(1, a.how));
}

bool number_in(const std::string &text, int high, int &value)
{
    char *end;
    errno = 0;
    const long n = std::strtol(text.c_str(), &end, 10);
    value = static_cast<int>(n);
    return end != text.c_str() && *end == '\0' && errno == 0 && n >= 0 && n <= high;
}

// A line's text as the file keeps it: a newline or a backslash in an argument would break
// its line, so they are written \\n and \\\\.
std::string escaped(const std::string &text)
{
    std::string e;
    for (char c : text)
        e += c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
    return e;
}

std::string unescaped(const std::string &text)
{
    std::string u;
    for (std::size_t k = 0; k < text.size(); k++)
        if (text[k] == '\\' && k + 1 < text.size()) {
            u += text[k + 1] == 'n' ? '\n' : text[k + 1];
            k++;
        } else {
            u += text[k];
        }
    return u;
}

// A file of its own that interleave can read as a schedule: never a pipe or a device,
// which an open or a read could wait on for ever, or fill the memory from.
bool is_schedule(const std::string &path)
{
    std::string why;
    return load_schedule(path, why).has_value();
}

// The program as the schedule keeps it: a bare name bare, an absolute path as it is, a
// relative path from the schedule's folder (so it still names the program wherever the
// schedule was saved).
std::string kept_name(const std::string &named, const std::string &path)
{
    if (named.find('/') == std::string::npos || named.starts_with("/"))
        return named;
    std::error_code e;
    const fs::path folder = fs::absolute(fs::path(path), e).parent_path();
    std::string relative = fs::absolute(fs::path(named), e).lexically_normal().lexically_relative(folder).string();
    if (relative.empty())
        return named;
    return relative.find('/') == std::string::npos ? "./" + relative : relative;
}

// A source as the schedule keeps it: from the schedule's folder, whatever its name, so
// that a schedule saved beside its sources finds them wherever the folder goes.
std::string kept_source(const std::string &source, const std::string &path)
{
    if (source.starts_with("/"))
        return source;
    std::error_code e;
    const fs::path folder = fs::absolute(fs::path(path), e).parent_path();
    const std::string relative = fs::absolute(fs::path(source), e).lexically_normal().lexically_relative(folder).string();
    return relative.empty() ? fs::absolute(fs::path(source), e).lexically_normal().string() : relative;
}

}  // namespace

bool may_save(const std::string &path, std::string &why)
{
    std::error_code e;
    if (fs::is_directory(path, e)) {
        why = shell_word(path) + " is a folder";
        return false;
    }
    // exists() follows a link: one that leads nowhere would be written through, so it is
    // looked at too.
    if ((fs::exists(path, e) || fs::is_symlink(path, e)) && !is_schedule(path)) {
        why = shell_word(path) + " is there already, and is not a schedule: it is left as it is (--save FILE names another)";
        return false;
    }
    const fs::path folder = fs::path(path).has_parent_path() ? fs::path(path).parent_path() : fs::path(".");
    if (!fs::is_directory(folder, e)) {
        why = "there is no folder " + shell_word(folder.string());
        return false;
    }
    if (fs::exists(path, e) ? access(path.c_str(), W_OK) != 0 : access(folder.c_str(), W_OK | X_OK) != 0) {
        why = "cannot write " + shell_word(path) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool save_schedule(const std::string &path, const target_t &target, const bounds_t &bounds,
                   const std::vector<action_t> &choices, std::string &why)
{
    if (!may_save(path, why))
        return false;
    std::ofstream file(path);
    file << kExplained;
    if (target.sources.empty())
        file << "program " << escaped(kept_name(target.named.empty() ? target.program : target.named, path)) << "\n";
    for (const std::string &source : target.sources)
        file << "source " << escaped(kept_source(source, path)) << "\n";
    for (const std::string &arg : target.args)
        file << "arg " << escaped(arg) << "\n";
    if (target.demo)
        file << "as " << watch::name_of(*target.demo) << "\n";
    file << "input " << target.input_lines << "\n";
    file << "spurious " << bounds.spurious << "\n";
    if (bounds.status != 0)
        file << "status " << bounds.status << "\n";
    file << "turns";
    for (std::size_t k = 0; k < choices.size(); k++)
        file << (k % 20 == 0 ? "\n " : " ") << choice_text(choices[k]);
    file << "\n";
    if (!file.flush()) {
        why = "cannot write " + shell_word(path) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::optional<schedule_t> load_schedule(const std::string &path, std::string &why)
{
    std::error_code e;
    if (fs::is_directory(path, e)) {
        why = shell_word(path) + " is a folder, not a schedule";
        return std::nullopt;
    }
    if (fs::exists(path, e) && !fs::is_regular_file(path, e)) {
        why = shell_word(path) + " is not a file of its own (a pipe, a device...), so not a schedule";
        return std::nullopt;
    }
    if (fs::exists(path, e) && fs::file_size(path, e) > kMostBytes) {
        why = shell_word(path) + " is too big for a schedule";
        return std::nullopt;
    }
    std::ifstream file(path);
    if (!file) {
        why = "cannot read " + shell_word(path) + ": " + std::strerror(errno);
        return std::nullopt;
    }
    schedule_t s;
    bool in_turns = false;
    for (std::string line; std::getline(file, line);) {
        if (line.ends_with('\r'))
            line.pop_back();  // a schedule that travelled through a system that ends lines so
        if (line.empty() || line[0] == '#')
            continue;
        const std::string word = line.substr(0, line.find(' '));
        const std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
        bool good = true;
        if (in_turns || word.empty()) {
            std::istringstream items(line);
            for (std::string item; good && items >> item;) {
                char *end;
                const long thread = std::strtol(item.c_str(), &end, 10);
                good = end != item.c_str() && thread >= 0 && thread < kMostThreads &&
                       (*end == '\0' || (std::strchr("tscag", *end) != nullptr && end[1] == '\0'));
                if (good)
                    s.turns.push_back({static_cast<int>(thread), *end == '\0' ? 'r' : *end});
            }
        } else if (word == "program") {
            // Said once, and with no NUL in it: a name cut short at one would run a program
            // other than the one shown.
            good = s.program.empty();
            s.program = unescaped(rest);
            good = good && s.sources.empty() && !s.program.empty() && s.program.find('\0') == std::string::npos;
        } else if (word == "source") {
            // Sources or a program, never both: what is built is what runs.
            s.sources.push_back(unescaped(rest));
            good = s.program.empty() && !s.sources.back().empty() && s.sources.back().find('\0') == std::string::npos;
        } else if (word == "as") {
            good = !s.demo.has_value();
            s.demo = watch::demo_named(rest);
            good = good && s.demo.has_value();
        } else if (word == "arg") {
            s.args.push_back(unescaped(rest));
            good = s.args.back().find('\0') == std::string::npos;
        } else if (word == "input") {
            good = number_in(rest, 1000, s.input_lines);
        } else if (word == "spurious") {
            good = number_in(rest, 1000, s.spurious);
        } else if (word == "status") {
            good = number_in(rest, 255, s.status);
        } else if (word == "turns") {
            in_turns = true;
        } else {
            good = false;
        }
        if (!good) {
            why = shell_word(path) + ": cannot read the line '" + visible(line.substr(0, 60)) + "'";
            return std::nullopt;
        }
    }
    if ((s.program.empty() && s.sources.empty()) || !in_turns) {
        why = shell_word(path) + " is not a schedule saved by interleave";
        return std::nullopt;
    }
    return s;
}

std::string program_from(const std::string &schedule_path, const std::string &program)
{
    if (program.find('/') == std::string::npos || program.starts_with("/"))
        return program;
    const std::string path = (fs::path(schedule_path).parent_path() / program).lexically_normal().string();
    return path.find('/') == std::string::npos ? "./" + path : path;
}

std::string source_from(const std::string &schedule_path, const std::string &source)
{
    if (source.starts_with("/"))
        return source;
    return (fs::path(schedule_path).parent_path() / source).lexically_normal().string();
}

namespace {

std::string hex_byte(unsigned char c)
{
    constexpr const char *kDigits = "0123456789abcdef";
    return std::string("\\x") + kDigits[c >> 4] + kDigits[c & 15];
}

// How many bytes of `text` from `at` make one printable character of UTF-8; 0 where
// they make none: a control character, a stray or cut-off byte, a form UTF-8 forbids (a
// longer form than needed, a surrogate, beyond U+10FFFF), or a mark that is not seen
// but changes what is (one that turns the direction of the text, a character of no width).
std::size_t printable_at(const std::string &text, std::size_t at)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(at);
    if (c < 0x20 || c == 0x7f)
        return 0;
    if (c < 0x80)
        return 1;
    const std::size_t length = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    char32_t code = c & (0x7f >> length);
    for (std::size_t k = 1; k < length; k++) {
        if ((byte(at + k) & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + k) & 0x3f);
    }
    const bool longer = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool forbidden = longer || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff;
    const bool unseen = (code >= 0x200b && code <= 0x200f) || (code >= 0x202a && code <= 0x202e) ||
                        (code >= 0x2060 && code <= 0x2069) || code == 0xfeff;
    const bool control = code < 0xa0;  // the second set of control characters, C1
    return forbidden || unseen || control ? 0 : length;
}

}  // namespace

std::string visible(const std::string &text)
{
    std::string shown;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = printable_at(text, at);
        shown += n == 0 ? hex_byte(static_cast<unsigned char>(text[at])) : text.substr(at, n);
        at += n == 0 ? 1 : n;
    }
    return shown;
}

// One word of a command, as a shell takes it back.
std::string shell_word(const std::string &word)
{
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                 "0123456789_-./=:,+@%") == std::string::npos)
        return word;
    std::string quoted;
    if (visible(word) == word) {
        for (char c : word)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return "'" + quoted + "'";
    }
    for (std::size_t at = 0; at < word.size();) {
        const std::size_t n = printable_at(word, at);
        if (n == 0)
            quoted += hex_byte(static_cast<unsigned char>(word[at]));
        else if (word[at] == '\'' || word[at] == '\\')
            quoted += std::string("\\") + word[at];
        else
            quoted += word.substr(at, n);
        at += n == 0 ? 1 : n;
    }
    return "$'" + quoted + "'";
}

std::string command_line(const std::string &program, const std::vector<std::string> &args)
{
    std::string line = shell_word(program);
    for (const std::string &arg : args) {
        line += ' ';
        line += shell_word(arg);
    }
    return line;
}

}  // namespace interleave
