#include "build.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "report.h"
#include "schedule.h"

namespace fs = std::filesystem;

namespace interleave {
namespace {

constexpr std::array<const char *, 4> kExtensions = {".c", ".cpp", ".cc", ".cxx"};
constexpr std::size_t kMostLog = 1u << 20;  // of the compiler's messages kept to show

// Unoptimised: at -O1 the three count++ of a loop become one write of 3, and the lost
// update a learner is looking for is gone from the program. Debug information names each
// access's line.
constexpr std::array<const char *, 3> kFlags = {"-O0", "-g", "-pthread"};

// A private folder made for this run when there is no cache to write to, removed when
// interleave ends (by the process that made it, not by a child that exits through it).
std::array<char, PATH_MAX> private_folder{};
pid_t private_owner;

void remove_private_folder()
{
    if (getpid() != private_owner)
        return;
    std::error_code e;
    fs::remove_all(private_folder.data(), e);
}

// FNV-1a, 64 bits: the key only has to tell builds apart, not stand against an adversary,
// who could only make the cache of their own account run a program of their own.
struct hasher_t {
    std::uint64_t value = 14695981039346656037ull;

    void bytes(const char *data, std::size_t n)
    {
        for (std::size_t k = 0; k < n; k++) {
            value ^= static_cast<unsigned char>(data[k]);
            value *= 1099511628211ull;
        }
    }
    // A text with its length first, so that two texts never read as one other pair.
    void text(const std::string &t)
    {
        const std::uint64_t n = t.size();
        bytes(reinterpret_cast<const char *>(&n), sizeof n);
        bytes(t.data(), t.size());
    }
    std::string hex() const
    {
        char out[17];
        std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(value));
        return out;
    }
};

bool is_cpp(const std::string &source)
{
    return fs::path(source).extension() != ".c";
}

// A file's identity as a build depends on it: its size and when it was last written.
std::string identity(const std::string &path)
{
    struct stat s {};
    if (stat(path.c_str(), &s) != 0)
        return path + " missing";
    return path + " " + std::to_string(s.st_size) + " " + std::to_string(s.st_mtim.tv_sec) + "." +
           std::to_string(s.st_mtim.tv_nsec);
}

// A source as the compiler is given it: a name that begins with - would read as an option.
std::string as_argument(const std::string &source)
{
    return source.starts_with("-") ? "./" + source : source;
}

// Where the cache lies: $XDG_CACHE_HOME/interleave, else $HOME/.cache/interleave; when
// neither can be made and written (no HOME, a read-only home, a file in the folder's place),
// a private folder for this run, said on standard error.
bool cache_root(std::string &root, std::string &why)
{
    std::vector<std::string> tried;
    for (const auto &[variable, below] : {std::pair{"XDG_CACHE_HOME", ""}, std::pair{"HOME", "/.cache"}}) {
        const char *value = std::getenv(variable);
        if (value == nullptr || value[0] != '/')  // a relative one means nothing steady
            continue;
        root = std::string(value) + below + "/interleave";
        tried.push_back(root);
        std::error_code e;
        fs::create_directories(fs::path(root).parent_path(), e);
        if (mkdir(root.c_str(), 0700) != 0 && errno != EEXIST)
            continue;
        if (fs::is_directory(root, e) && access(root.c_str(), W_OK | X_OK) == 0)
            return true;
    }
    if (private_folder[0] == '\0') {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/interleave-XXXXXX";
        if (pattern.size() >= private_folder.size())
            pattern = "/tmp/interleave-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            why = "no folder to build in: no cache folder could be made, nor a temporary one (" +
                  std::string(std::strerror(errno)) + ")";
            return false;
        }
        std::copy(pattern.begin(), pattern.end(), private_folder.begin());
        private_owner = getpid();
        std::atexit(remove_private_folder);
        std::string where;
        for (const std::string &t : tried)
            where += (where.empty() ? "" : ", ") + shell_word(t);
        complain("no cache folder could be made or written" + (where.empty() ? std::string(" (no HOME)") : " (" + where + ")") +
                 ": building in " + shell_word(private_folder.data()) + ", for this run only");
    }
    root = private_folder.data();
    return true;
}

// Whether the file is an ELF program or shared object: a build cut short, or garbage put in
// its place, is not.
bool is_elf(const std::string &path)
{
    std::array<unsigned char, EI_NIDENT + 2> head{};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char *>(head.data()), head.size()))
        return false;
    const unsigned type = head[EI_NIDENT] | (head[EI_NIDENT + 1] << 8);  // e_type, little-endian
    return std::memcmp(head.data(), ELFMAG, SELFMAG) == 0 && (type == ET_EXEC || type == ET_DYN);
}

// The record beside a program built whole: it names the size the program had, so that one
// cut short (a full disk, a build killed as it wrote) is built again.
const char *const kRecord = "built";

bool cached_whole(const build_plan_t &plan)
{
    std::ifstream in(plan.folder + "/" + kRecord);
    long long size = -1;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("size "))
            size = std::atoll(line.c_str() + 5);
    struct stat s {};
    return size > 0 && lstat(plan.program.c_str(), &s) == 0 && S_ISREG(s.st_mode) && s.st_size == size &&
           access(plan.program.c_str(), X_OK) == 0 && is_elf(plan.program);
}

// The folder of this key, made if it is not there; something else in its place (a file,
// a link) is the cache's own garbage, and goes.
bool make_folder(const std::string &folder, std::string &why)
{
    struct stat s {};
    if (lstat(folder.c_str(), &s) == 0 && !S_ISDIR(s.st_mode) && unlink(folder.c_str()) != 0) {
        why = "cannot remove " + shell_word(folder) + ", which is in the cache's way: " + std::strerror(errno);
        return false;
    }
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "cannot make " + shell_word(folder) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// A file of a unique name in the folder, for what is written there before it is renamed
// into place: two interleaves building the same sources at once never see each other's
// half-written program.
std::string unique_in(const std::string &folder, const std::string &stem, int &fd)
{
    std::string name = folder + "/" + stem + ".part-XXXXXX";
    fd = mkstemp(name.data());
    return fd < 0 ? "" : name;
}

std::string read_some(int fd)
{
    std::string text;
    std::array<char, 65536> chunk{};
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; text.size() < kMostLog && (n = read(fd, chunk.data(), chunk.size())) > 0;)
        text.append(chunk.data(), static_cast<std::size_t>(n));
    if (text.size() > kMostLog)
        text.resize(kMostLog);
    return text;
}

// Runs the compiler with its messages going to `log_fd`, as a shell would start it: its
// signals at their defaults and none blocked, whatever interleave was started with. Its
// wait status, or -1.
int compile(std::vector<std::string> words, int log_fd)
{
    std::vector<char *> args;
    for (std::string &w : words)
        args.push_back(w.data());
    args.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int nothing = open("/dev/null", O_RDONLY);
        if (nothing >= 0)
            dup2(nothing, 0);
        dup2(log_fd, 1);
        dup2(log_fd, 2);
        struct sigaction fresh {};
        fresh.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; sig++)
            sigaction(sig, &fresh, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(args[0], args.data());
        const std::string why = std::string("interleave: cannot run ") + args[0] + ": " + std::strerror(errno) + "\n";
        [[maybe_unused]] const ssize_t ignored = write(2, why.data(), why.size());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

}  // namespace

std::string folder_of_self()
{
    std::array<char, PATH_MAX> self{};
    if (readlink("/proc/self/exe", self.data(), self.size() - 1) <= 0)
        return ".";
    const std::string path = self.data();
    return path.substr(0, path.rfind('/'));
}

bool is_source(const std::string &word)
{
    const std::string extension = fs::path(word).extension().string();
    return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

std::string unusable_source(const std::string &source)
{
    struct stat s {};
    if (stat(source.c_str(), &s) != 0)
        return std::strerror(errno);
    if (S_ISDIR(s.st_mode))
        return "it is a folder";
    if (!S_ISREG(s.st_mode))
        return "it is not a file of its own (a pipe, a device...)";
    if (access(source.c_str(), R_OK) != 0)
        return std::strerror(errno);
    return "";
}

bool plan_build(const std::vector<std::string> &sources, build_plan_t &plan, std::string &why)
{
    const std::string self = folder_of_self();
    const bool cpp = std::any_of(sources.begin(), sources.end(), is_cpp);
    const std::string compiler = self + (cpp ? "/interleave-c++" : "/interleave-cc");
    if (access(compiler.c_str(), X_OK) != 0) {
        why = "cannot build: " + shell_word(compiler) + ": " + std::strerror(errno) +
              " (interleave-cc and interleave-c++ lie beside interleave)";
        return false;
    }
    std::string access_folder = self + "/interleave-access";
    if (!fs::is_directory(access_folder))
        access_folder = self + "/../lib/interleave-access";

    plan.sources = sources;
    plan.command.assign({compiler});
    plan.command.insert(plan.command.end(), kFlags.begin(), kFlags.end());
    for (const std::string &source : sources) {
        // g++ would take a C source for C++: among C++ sources, it is named C.
        if (cpp && !is_cpp(source))
            plan.command.insert(plan.command.end(), {"-x", "c", as_argument(source), "-x", "none"});
        else
            plan.command.push_back(as_argument(source));
    }

    hasher_t key;
    std::error_code e;
    key.text(fs::current_path(e).string());
    for (const std::string &word : plan.command)
        key.text(word);
    for (const std::string &file : {compiler, access_folder + "/libtsan.so", access_folder + "/libtsan_preinit.o"})
        key.text(identity(file));
    for (const std::string &source : sources) {
        key.text(fs::absolute(source, e).lexically_normal().string());
        std::ifstream in(source, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            why = "cannot read " + shell_word(source) + ": " + std::strerror(errno);
            return false;
        }
        key.text(bytes);
    }

    std::string root;
    if (!cache_root(root, why))
        return false;
    plan.folder = root + "/" + key.hex();
    plan.program = plan.folder + "/" + fs::path(sources.front()).stem().string();
    return true;
}

std::string build_command(const build_plan_t &plan)
{
    std::vector<std::string> words(plan.command.begin() + 1, plan.command.end());
    words.insert(words.end(), {"-o", plan.program});
    return command_line(plan.command.front(), words);
}

built_t build(const build_plan_t &plan, std::string &log, std::string &why)
{
    if (cached_whole(plan))
        return built_t::cached;
    if (!make_folder(plan.folder, why))
        return built_t::cannot;
    const std::string stem = fs::path(plan.program).filename().string();
    int log_fd = -1, out_fd = -1;
    const std::string log_part = unique_in(plan.folder, "build.log", log_fd);
    const std::string program_part = unique_in(plan.folder, stem, out_fd);
    if (log_part.empty() || program_part.empty()) {
        why = "cannot write in " + shell_word(plan.folder) + ": " + std::strerror(errno);
        for (const std::string &part : {log_part, program_part})
            if (!part.empty())
                unlink(part.c_str());
        return built_t::cannot;
    }
    close(out_fd);
    std::vector<std::string> words = plan.command;
    words.insert(words.end(), {"-o", program_part});
    const int status = compile(words, log_fd);
    log = read_some(log_fd);
    close(log_fd);
    rename(log_part.c_str(), (plan.folder + "/build.log").c_str());
    if (status == -1) {
        unlink(program_part.c_str());
        why = std::string("cannot run the compiler: ") + std::strerror(errno);
        return built_t::cannot;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !is_elf(program_part)) {
        unlink(program_part.c_str());
        if (WIFSIGNALED(status))
            log += "interleave: the compiler was killed by signal " + std::to_string(WTERMSIG(status)) + "\n";
        return built_t::failed;
    }

    // The program goes into place first, then the record of its size: a reader that finds
    // the record finds the program whole.
    struct stat s {};
    stat(program_part.c_str(), &s);
    int record_fd = -1;
    const std::string record_part = unique_in(plan.folder, kRecord, record_fd);
    const std::string record = "# interleave's build of " + stem +
                               " in this folder, by the command below; it is run again without\n"
                               "# a build while it has the size below, and built anew otherwise\n"
                               "size " + std::to_string(s.st_size) + "\ncommand " + build_command(plan) + "\n";
    const bool recorded = record_fd >= 0 && write(record_fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
    if (record_fd >= 0)
        close(record_fd);
    if (rename(program_part.c_str(), plan.program.c_str()) != 0) {
        why = "cannot put the program in place in " + shell_word(plan.folder) + ": " + std::strerror(errno);
        unlink(program_part.c_str());
        unlink(record_part.c_str());
        return built_t::cannot;
    }
    // Without its record the program is built again next time: a loss of time, no more.
    if (!recorded || rename(record_part.c_str(), (plan.folder + "/" + kRecord).c_str()) != 0)
        unlink(record_part.c_str());
    return built_t::built;
}

}  // namespace interleave
