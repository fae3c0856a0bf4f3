#include "schedule.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace interleave {
namespace {

constexpr long kMostThreads = 100000000;  // a thread's number in a schedule is below this

std::string choice_text(const action_t &a)
{
    return std::to_string(a.thread) + (a.how == 'r' ? "" : std::string(1, a.how));
}

bool number_in(const std::string &text, int high, int &value)
{
    char *end;
    const long n = std::strtol(text.c_str(), &end, 10);
    value = static_cast<int>(n);
    return end != text.c_str() && *end == '\0' && n >= 0 && n <= high;
}

}  // namespace

bool save_schedule(const std::string &path, const target_t &target, const bounds_t &bounds,
                   const std::vector<action_t> &choices)
{
    std::ofstream file(path);
    file << "# interleave schedule: replay it with  interleave --replay " << path << "\n";
    file << "program " << target.program << "\n";
    if (target.demo)
        file << "as " << watch::name_of(*target.demo) << "\n";
    for (const std::string &arg : target.args)
        file << "arg " << arg << "\n";
    file << "input " << target.input_lines << "\n";
    file << "spurious " << bounds.spurious << "\n";
    if (bounds.status != 0)
        file << "status " << bounds.status << "\n";
    file << "turns";
    for (std::size_t k = 0; k < choices.size(); k++)
        file << (k % 20 == 0 ? "\n " : " ") << choice_text(choices[k]);
    file << "\n";
    return static_cast<bool>(file.flush());
}

std::optional<std::vector<action_t>> load_schedule(const std::string &path, target_t &target, bounds_t &bounds,
                                                   std::string &why)
{
    std::ifstream file(path);
    if (!file) {
        why = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::vector<action_t> choices;
    bool in_turns = false;
    for (std::string line; std::getline(file, line);) {
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
                       (*end == '\0' || (std::strchr("tsc", *end) != nullptr && end[1] == '\0'));
                if (good)
                    choices.push_back({static_cast<int>(thread), *end == '\0' ? 'r' : *end});
            }
        } else if (word == "program") {
            target.program = rest;
        } else if (word == "as") {
            target.demo = watch::demo_named(rest);
            good = target.demo.has_value();
        } else if (word == "arg") {
            target.args.push_back(rest);
        } else if (word == "input") {
            good = number_in(rest, 1000, target.input_lines);
        } else if (word == "spurious") {
            good = number_in(rest, 1000, bounds.spurious);
        } else if (word == "status") {
            good = number_in(rest, 255, bounds.status);
        } else if (word == "turns") {
            in_turns = true;
        } else {
            good = false;
        }
        if (!good) {
            why = path + ": cannot read the line '" + line + "'";
            return std::nullopt;
        }
    }
    if (target.program.empty() || !in_turns) {
        why = path + " is not a schedule saved by interleave";
        return std::nullopt;
    }
    return choices;
}

}  // namespace interleave
