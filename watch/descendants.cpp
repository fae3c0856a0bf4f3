#include "descendants.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace watch {

std::vector<pid_t> descendants()
{
    std::vector<std::pair<pid_t, pid_t>> all;  // pid, parent
    if (DIR *proc = opendir("/proc")) {
        while (const dirent *entry = readdir(proc)) {
            const std::string name = entry->d_name;
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            FILE *stat = std::fopen(("/proc/" + name + "/stat").c_str(), "r");
            if (stat == nullptr)
                continue;
            // pid (name) state ppid: the name may hold blanks and parentheses.
            char text[512];
            const std::size_t n = std::fread(text, 1, sizeof text - 1, stat);
            std::fclose(stat);
            text[n] = '\0';
            const char *close = std::strrchr(text, ')');
            int ppid = 0;
            if (close != nullptr && std::sscanf(close + 1, " %*c %d", &ppid) == 1)
                all.push_back({static_cast<pid_t>(std::stoi(name)), static_cast<pid_t>(ppid)});
        }
        closedir(proc);
    }
    std::vector<pid_t> ours{getpid()};
    for (std::size_t k = 0; k < ours.size(); k++)
        for (const auto &[pid, ppid] : all)
            if (ppid == ours[k])
                ours.push_back(pid);
    ours.erase(ours.begin());
    return ours;
}

}  // namespace watch
