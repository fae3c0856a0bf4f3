// interleave-cc and interleave-c++: gcc and g++ as they are, with the compiler's
// thread-sanitizer instrumentation turned on, so that every load and store of the program's
// own code, and every atomic operation, calls out first. The calls go to interleave's access
// library, found where the sanitizer's runtime would be (the compiler's -B folder), which
// asks interleave for a turn at each. Under interleave a lost update then shows access by
// access; run on its own, the program runs as it would.
//
//   interleave-cc -O1 -o counter counter.c -pthread
//   interleave counter
//
// The same arguments as gcc's: these add their own before them, and run the compiler.
// Debug information (-g) is on unless the arguments turn it off: interleave names each
// access's source line from it.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifndef COMPILER
#error "COMPILER names the compiler this command runs: gcc or g++"
#endif

namespace {

[[noreturn]] void fail(const std::string &why)
{
    std::fprintf(stderr, "interleave-cc: %s\n", why.c_str());
    std::exit(2);
}

bool is_folder(const std::string &path)
{
    struct stat s {};
    return stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

// The access library lies beside this command in a build, and in the lib folder beside
// its bin folder once installed.
std::string access_folder()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        fail("cannot tell where this command lies (/proc/self/exe)");
    self[n] = '\0';
    std::string here(self);
    here.erase(here.rfind('/'));
    for (const std::string &folder : {here + "/interleave-access", here + "/../lib/interleave-access"})
        if (is_folder(folder))
            return folder;
    fail("interleave's access library is not where it belongs: " + here + "/interleave-access");
}

}  // namespace

int main(int argc, char *argv[])
{
    const std::string folder = access_folder();
    const std::string compiler = COMPILER;
    std::vector<std::string> words = {compiler,
                                      "-B" + folder + "/",
                                      "-fsanitize=thread",
                                      // This machine's compiler links a plain build with
                                      // --as-needed, and a sanitized one without: the
                                      // program is to need the libraries it needs on its
                                      // own (a C++ program that uses nothing of the C++
                                      // library's loads no unwinder at its start).
                                      "-Wl,--as-needed",
                                      "--param=tsan-instrument-func-entry-exit=0",
                                      // The C library's copies stay calls, which the access
                                      // library tells: written out inline, no access of
                                      // theirs would be a turn.
                                      "-fno-builtin-memcpy", "-fno-builtin-memmove", "-fno-builtin-memset",
                                      "-fno-builtin-strcpy", "-fno-builtin-strncpy", "-fno-builtin-strcat",
                                      "-fno-builtin-strlen", "-fno-builtin-sprintf", "-fno-builtin-snprintf",
                                      "-fno-builtin-bzero", "-fno-builtin-stpcpy", "-fno-builtin-strcmp",
                                      "-fno-builtin-strncmp", "-fno-builtin-memcmp",
                                      "-g",
                                      "-Wl,-rpath," + folder};
    for (int k = 1; k < argc; k++)
        words.emplace_back(argv[k]);
    std::vector<char *> args;
    for (std::string &w : words)
        args.push_back(w.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    fail("cannot run " + compiler + ": " + std::string(strerror(errno)));
}
