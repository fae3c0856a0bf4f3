// A source file as the program: interleave builds the learner's counter.c with
// interleave-cc and finds its lost update, with its line; keeps the build while the source
// stays the same, and builds again when it changes or the build was cut short; shows a
// compile error as the compiler wrote it and explores nothing; and builds a schedule's
// sources only when the user names them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const fs::path kCounter = fs::path(EXERCISE_DIR) / "counter.c";

using harness::has;
using harness::line_of;

// interleave in `dir`, with a cache of the test's own in it.
harness::result_t interleave(const harness::temp_dir &dir, std::vector<std::string> args,
                             std::vector<std::string> env = {})
{
    env.insert(env.begin(), "XDG_CACHE_HOME=" + (dir / "cache").string());
    return harness::run(INTERLEAVE_PATH, {.args = std::move(args), .cwd = dir.path, .env = std::move(env), .limit = 60});
}

// The cache's folders, one a build.
std::vector<fs::path> builds(const harness::temp_dir &dir)
{
    std::vector<fs::path> found;
    std::error_code e;
    for (const auto &entry : fs::directory_iterator(dir / "cache/interleave", e))
        found.push_back(entry.path());
    return found;
}

struct stat_t {
    ino_t inode = 0;
    timespec written{};
};

stat_t look(const fs::path &path)
{
    struct stat s {};
    if (stat(path.c_str(), &s) != 0)
        return {};
    return {s.st_ino, s.st_mtim};
}

bool same(const stat_t &a, const stat_t &b)
{
    return a.inode == b.inode && a.written.tv_sec == b.written.tv_sec && a.written.tv_nsec == b.written.tv_nsec;
}

TEST(Sources, ACounterIsBuiltItsLostUpdateFoundAndItsScheduleReplaysFromTheSource)
{
    harness::temp_dir dir, elsewhere;
    fs::copy_file(kCounter, dir / "counter.c");
    const std::string at = line_of(kCounter, "        count++;");

    // Two visitors each (the argument after --): the race on count, at its line, in a
    // program named by its source.
    const harness::result_t found = interleave(dir, {"counter.c", "--", "2"});
    ASSERT_TRUE(found.exited(1)) << found.out << found.err;
    const std::string said = harness::one_line(found.out);
    EXPECT_TRUE(said.starts_with("interleave: counter.c, ")) << found.out;
    EXPECT_TRUE(has(said, "data race on count: visitors") && has(said, "(" + at + ")")) << found.out;
    const std::string schedule = harness::read_file(dir / "counter.schedule");
    EXPECT_TRUE(has(schedule, "\nsource counter.c\narg 2\n")) << schedule;
    EXPECT_FALSE(has(schedule, "\nprogram ")) << schedule;

    // Replayed with the source named: each thread counts the two it was given, and both
    // read one value of count, so that one of their updates is lost.
    const harness::result_t replay = interleave(dir, {"--replay", "counter.schedule", "counter.c"});
    EXPECT_TRUE(replay.exited(1)) << replay.out << replay.err;
    EXPECT_TRUE(has(harness::one_line(replay.out), "turns of counter.c 2, ")) << replay.out;
    EXPECT_TRUE(has(replay.out, "writes each (2) at " + line_of(kCounter, "    each = "))) << replay.out;
    std::map<std::string, std::set<std::string>> readers;  // each value of count read, and by whom
    std::istringstream lines(replay.out);
    for (std::string line; std::getline(lines, line);)
        if (const std::size_t read = line.find(" reads count ("); read != std::string::npos && has(line, " at " + at)) {
            const std::size_t open = read + std::strlen(" reads count (");
            std::istringstream words(line.substr(0, read));
            std::string turn, who, more;
            words >> turn >> who;
            while (words >> more)
                who += " " + more;
            readers[line.substr(open, line.find(')', open) - open)].insert(who);
        }
    EXPECT_TRUE(std::any_of(readers.begin(), readers.end(), [](const auto &r) { return r.second.size() == 2; })) << replay.out;

    // A schedule is data from someone else: its sources are not built unless named, and
    // the commands it would run are shown whole, the source taken from the schedule's folder.
    const harness::result_t unnamed = harness::run(INTERLEAVE_PATH, {.args = {"--replay", (dir / "counter.schedule").string()},
                                                                      .cwd = elsewhere.path,
                                                                      .env = {"XDG_CACHE_HOME=" + (elsewhere / "cache").string()},
                                                                      .limit = 60});
    EXPECT_TRUE(unnamed.exited(2)) << unnamed.err;
    const std::string told = harness::one_line(unnamed.err);
    EXPECT_TRUE(has(told, "builds and runs sources you have not named")) << unnamed.err;
    EXPECT_TRUE(has(told, "interleave-cc -O0 -g -pthread " + (dir / "counter.c").string() + " -o " +
                              (elsewhere / "cache/interleave/").string()))
        << unnamed.err;
    EXPECT_TRUE(unnamed.out.empty()) << unnamed.out;
    EXPECT_FALSE(fs::exists(elsewhere / "cache/interleave") && !fs::is_empty(elsewhere / "cache/interleave"))
        << "a schedule's sources were built without asking";
}

TEST(Sources, ABuildIsKeptUntilItsSourceChangesOrIsFoundCutShort)
{
    harness::temp_dir dir;
    fs::copy_file(kCounter, dir / "counter.c");
    ASSERT_TRUE(interleave(dir, {"--runs", "1", "counter.c"}).exited(1));
    ASSERT_EQ(builds(dir).size(), 1u);
    const fs::path program = builds(dir).front() / "counter";
    const stat_t built = look(program);
    ASSERT_NE(built.inode, 0u) << program;

    // The same source: the program built before runs, the compiler is not run again.
    ASSERT_TRUE(interleave(dir, {"--runs", "1", "counter.c"}).exited(1));
    EXPECT_TRUE(same(look(program), built)) << "an unchanged source was built again";
    EXPECT_EQ(builds(dir).size(), 1u);

    // A program cut short in the cache (a disk that filled up): built again, whole.
    const auto whole = fs::file_size(program);
    fs::resize_file(program, whole / 2);
    const harness::result_t again = interleave(dir, {"--runs", "1", "counter.c"});
    EXPECT_TRUE(again.exited(1)) << again.out << again.err;
    EXPECT_EQ(fs::file_size(program), whole);
    EXPECT_FALSE(same(look(program), built));

    // A changed source is another build: the mend, found quiet.
    std::string mended = harness::read_file(dir / "counter.c");
    const std::string racy = "        count++;";
    mended.replace(mended.find(racy), racy.size(), "        __atomic_fetch_add(&count, 1, __ATOMIC_SEQ_CST);");
    harness::write_file(dir / "counter.c", mended);
    const harness::result_t quiet = interleave(dir, {"--json", "counter.c"});
    EXPECT_TRUE(quiet.exited(0)) << quiet.out << quiet.err;
    EXPECT_TRUE(has(quiet.out, "\"program\": \"counter.c\"") && has(quiet.out, "\"complete\": true") &&
                has(quiet.out, "\"accesses\": true"))
        << quiet.out;
    EXPECT_EQ(builds(dir).size(), 2u);
}

TEST(Sources, ACompileErrorIsTheCompilersOwnAndNothingIsExplored)
{
    harness::temp_dir dir;
    harness::write_file(dir / "broken.c", "int main(void)\n{\n    return nope;\n}\n");
    const harness::result_t r = interleave(dir, {"broken.c"});
    EXPECT_TRUE(r.exited(2));
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_TRUE(has(r.err, "broken.c:3:12: error: ")) << r.err;
    EXPECT_TRUE(has(r.err, "interleave: broken.c does not compile: nothing is explored")) << r.err;
    EXPECT_FALSE(fs::exists(dir / "broken.schedule"));

    // A script gets one JSON object, the compiler's lines in its why as lines.
    const harness::result_t json = interleave(dir, {"--json", "broken.c"});
    EXPECT_TRUE(json.exited(2));
    EXPECT_TRUE(json.out.starts_with("{\"program\": null, \"verdict\": \"does not compile\", \"why\": \"broken.c does not compile:\\n"))
        << json.out;
    EXPECT_TRUE(has(json.out, "\\nbroken.c:3:12: error: ")) << json.out;
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1) << json.out;
}

// What a learner may type or have around them: a missing source, a folder, an argument
// without --, names a shell or the compiler could misread, and no cache to be had.
TEST(Sources, WrongUseIsToldAndAnyNameOrSurroundingsWillDo)
{
    harness::temp_dir dir;
    fs::create_directory(dir / "folder.c");
    fs::copy_file(kCounter, dir / "counter.c");
    for (const auto &[args, why] :
         {std::pair{std::vector<std::string>{"missing.c"}, "cannot build from missing.c: No such file or directory"},
          {{"folder.c"}, "cannot build from folder.c: it is a folder"},
          {{"counter.c", "2"}, "2 follows a source, and is not one"}}) {
        const harness::result_t r = interleave(dir, args);
        EXPECT_TRUE(r.exited(2)) << args.front();
        EXPECT_TRUE(has(harness::one_line(r.err), why)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }

    // A name with a blank that begins with -, which the compiler must not take for an option.
    fs::copy_file(kCounter, dir / "-my counter.c");
    const harness::result_t odd = interleave(dir, {"--json", "--", "-my counter.c"});
    EXPECT_TRUE(odd.exited(1)) << odd.out << odd.err;
    EXPECT_TRUE(has(odd.out, "\"program\": \"-my counter.c\"") && has(odd.out, "(-my counter.c:")) << odd.out;
    EXPECT_TRUE(fs::exists(dir / "-my counter.schedule"));

    // No home, and a file where the cache would go: a private folder for the run, said, and
    // gone when it ends.
    harness::write_file(dir / "blocked", "not a folder");
    const harness::result_t homeless =
        interleave(dir, {"--json", "--runs", "1", "counter.c"}, {"XDG_CACHE_HOME=" + (dir / "blocked").string(), "HOME="});
    EXPECT_TRUE(homeless.exited(1)) << homeless.out << homeless.err;
    const std::string said = harness::one_line(homeless.err);
    ASSERT_TRUE(has(said, "no cache folder could be made or written") && has(said, "for this run only")) << homeless.err;
    const std::size_t in = said.find("building in ") + 12;
    const fs::path folder = said.substr(in, said.find(',', in) - in);
    EXPECT_TRUE(folder.string().find("/interleave-") != std::string::npos) << folder;
    EXPECT_FALSE(fs::exists(folder)) << folder << " was left behind";
}

// A program built with interleave-cc that touches no memory of its own between its calls
// (it prints and leaves with _exit) had its memory watched all the same: a proof.
TEST(Sources, AProgramWithNoAccessesOfItsOwnIsStillProved)
{
    harness::temp_dir dir;
    harness::write_file(dir / "leaves.c", "#include <stdio.h>\n#include <unistd.h>\n"
                                          "int main(void) { printf(\"M\"); _exit(0); }\n");
    const harness::result_t r = interleave(dir, {"--json", "leaves.c"});
    EXPECT_TRUE(r.exited(0)) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "\"complete\": true, \"proof\": true") && has(r.out, "\"accesses\": true")) << r.out;
}

// A thread that waits in a read, or for a signal, is cancelled there: its join returns at
// once, as natively, where a cancel that only a condition wait or a sleep took would leave a
// deadlock.
TEST(Sources, AThreadWaitingInAReadOrForASignalIsCancelledThere)
{
    harness::temp_dir dir;
    for (const std::string waits : {"char c; read(p[0], &c, 1);", "pause();", "sigset_t s; sigemptyset(&s); "
                                                                             "sigaddset(&s, SIGUSR1); int sig; sigwait(&s, &sig);"}) {
        harness::write_file(dir / "cancelled.c",
                            "#include <pthread.h>\n#include <signal.h>\n#include <stdlib.h>\n#include <unistd.h>\n"
                            "static int p[2];\nstatic void *w(void *x) { " + waits + " return x; }\n"
                            "int main(void) { if (pipe(p)) return 2; pthread_t t; void *r;\n"
                            "    pthread_create(&t, 0, w, 0); pthread_cancel(t); pthread_join(t, &r);\n"
                            "    if (r != PTHREAD_CANCELED) abort(); return 0; }\n");
        const harness::result_t r = interleave(dir, {"--json", "cancelled.c"});
        EXPECT_TRUE(r.exited(0) && has(r.out, "\"complete\": true")) << waits << ": " << r.out << r.err;
    }
}

// A C++ program that uses the C++ library has the unwinder's library from its start, and its
// first pthread_exit takes no descriptor: nothing found, and a proof. One that uses nothing
// of it is linked without it, as this machine's compiler links it, and loads it then.
TEST(Sources, TheUnwinderOfACxxProgramIsLoadedFromItsStartIfItUsesTheCxxLibrary)
{
    harness::temp_dir dir;
    const auto program = [](const std::string &uses) {
        return "#include <cstdlib>\n#include <string>\n#include <fcntl.h>\n#include <pthread.h>\n"
               "#include <unistd.h>\nstatic int low;\n"
               "static void *a(void *) { if (dup(0) != low) abort(); return nullptr; }\n"
               "static void *b(void *) { pthread_exit(nullptr); }\n"
               "int main() { " + uses + " low = dup(0); close(low); pthread_t ta, tb;\n"
               "    pthread_create(&ta, nullptr, a, nullptr); pthread_create(&tb, nullptr, b, nullptr);\n"
               "    pthread_join(ta, nullptr); pthread_join(tb, nullptr); return 0; }\n";
    };
    harness::write_file(dir / "uses.cpp", program("int *kept = new int(4); if (*kept != 4) return 2; delete kept;"));
    harness::write_file(dir / "plain.cpp", program(""));
    const harness::result_t uses = interleave(dir, {"--json", "uses.cpp"});
    EXPECT_TRUE(uses.exited(0)) << uses.out << uses.err;
    EXPECT_TRUE(has(uses.out, "\"complete\": true, \"proof\": true")) << uses.out;
    const harness::result_t plain = interleave(dir, {"--json", "plain.cpp"});
    EXPECT_TRUE(plain.exited(1) && has(plain.out, "signal 6 (Aborted)")) << plain.out << plain.err;
}

// A program that points descriptor 0, 1 or 2 at a pipe or a file of its own writes and reads
// that pipe or file: its writes and reads are turns on it, as another descriptor's are. Each
// case is one program made from a template: `set_up` in main points the descriptor, thread
// a does `write`, and thread b does `read`; the program aborts where b sees what a wrote,
// which natively it often does. Two more are correct: a thread that puts standard output
// back (closing the pipe's last writer, so that a reader finds its end), and a read of
// standard input that waits for a thread to write.
std::string standard_stream_program(const std::string &set_up, const std::string &write, const std::string &read)
{
    return "#define _GNU_SOURCE\n#include <fcntl.h>\n#include <mqueue.h>\n#include <pthread.h>\n#include <pwd.h>\n#include <semaphore.h>\n#include <sched.h>\n#include <signal.h>\n#include <stdio.h>\n#include <stdlib.h>\n#include <time.h>\n#include <sys/eventfd.h>\n#include <sys/socket.h>\n#include <sys/stat.h>\n#include <sys/sysinfo.h>\n#include <sys/uio.h>\n"
           "#include <unistd.h>\n"
           "static int p[2], saved, low[2];\nstatic char path[] = \"written\";\n"
           "static void *a(void *x) { (void)x; " + write + " return 0; }\n"
           "static void *b(void *x) { (void)x; char c[8]; long n = 0, got; " + read + " (void)got; return (void *)n; }\n"
           "int main(void) {\n    pthread_t ta, tb; void *r;\n    if (pipe(p)) return 2;\n    saved = dup(1);\n"
           "    " + set_up + "\n"
           "    pthread_create(&tb, 0, b, 0); pthread_create(&ta, 0, a, 0);\n"
           "    pthread_join(ta, 0); pthread_join(tb, &r);\n    (void)saved; (void)path;\n"
           "    return (long)r;\n}\n";
}

// A write of more than a pipe holds waits for room: with nobody to read it, that is a
// deadlock, told as one; with a reader that drains it, every order ends well, even where
// main closes the writer's descriptor while the write waits (the write holds its pipe).
TEST(Sources, AWriteThatFindsAPipeFullWaitsForARead)
{
    harness::temp_dir dir;
    harness::write_file(dir / "fills.c",
                        "#include <pthread.h>\n#include <stdlib.h>\n#include <unistd.h>\n"
                        "static int p[2], closes;\nstatic char big[70000], in[16384];\n"
                        "static void *w(void *x) { (void)x; if (write(p[1], big, sizeof big) != sizeof big && !closes) "
                        "abort(); if (!closes) close(p[1]); return 0; }\n"
                        "int main(int argc, char **argv) {\n    (void)argv; pthread_t t; long total = 0; ssize_t n;\n"
                        "    if (pipe(p)) return 2;\n    closes = argc > 2;\n    pthread_create(&t, 0, w, 0);\n"
                        "    if (closes) close(p[1]);\n"
                        "    while (argc > 1 && (n = read(p[0], in, sizeof in)) > 0) total += n;\n"
                        "    pthread_join(t, 0);\n    return argc > 1 && total != sizeof big && !(closes && total == 0);\n}\n");
    const harness::result_t full = interleave(dir, {"--json", "fills.c"});
    EXPECT_TRUE(full.exited(1) && has(full.out, "\"kind\": \"deadlock\"") &&
                has(full.out, "w waits to write to pipe 1, which is full"))
        << full.out << full.err;
    const harness::result_t drained = interleave(dir, {"--json", "fills.c", "--", "drain"});
    EXPECT_TRUE(drained.exited(0) && has(drained.out, "\"complete\": true, \"proof\": true")) << drained.out << drained.err;
    const harness::result_t closed = interleave(dir, {"--json", "fills.c", "--", "drain", "close"});
    EXPECT_TRUE(closed.exited(0) && has(closed.out, "\"complete\": true, \"proof\": true")) << closed.out << closed.err;
}

// What interleave does to standard output itself never waits for a lock that another thread
// holds (flockfile): the C library's exit writes the stream out without it, so main's
// return ends the program in every order; and the first print, which sets the stream's
// buffer, waits for the hold first.
TEST(Sources, TheLibraryWaitsForNoStreamLockItself)
{
    harness::temp_dir dir;
    harness::write_file(dir / "leaves_held.c",
                        "#include <pthread.h>\n#include <stdio.h>\n"
                        "static void *x(void *a) { (void)a; flockfile(stdout); printf(\"x\"); funlockfile(stdout); "
                        "return 0; }\n"
                        "int main(void) { pthread_t t; pthread_create(&t, 0, x, 0); printf(\"m\\n\"); return 0; }\n");
    harness::write_file(dir / "first_print.c",
                        "#include <pthread.h>\n#include <stdio.h>\n"
                        "static void *x(void *a) { (void)a; flockfile(stdout); fputs(\"x\\n\", stdout); "
                        "funlockfile(stdout); return 0; }\n"
                        "int main(void) { pthread_t t; pthread_create(&t, 0, x, 0); printf(\"m\\n\"); "
                        "pthread_join(t, 0); return 0; }\n");
    for (const char *source : {"leaves_held.c", "first_print.c"}) {
        const harness::result_t r = interleave(dir, {"--json", source});
        EXPECT_TRUE(r.exited(0) && has(r.out, "\"complete\": true, \"proof\": true")) << source << r.out << r.err;
    }
    // b's print may come before a's hold, or wait for its end: b notes, under a mutex,
    // whether a's hold had begun, and main aborts where it had not.
    harness::write_file(dir / "print_before_hold.c",
                        "#include <pthread.h>\n#include <stdio.h>\n#include <stdlib.h>\n"
                        "static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER; static int held, first;\n"
                        "static void *a(void *x) { (void)x; flockfile(stdout); printf(\"a\\n\"); pthread_mutex_lock(&m); "
                        "held = 1; pthread_mutex_unlock(&m); funlockfile(stdout); return 0; }\n"
                        "static void *b(void *x) { (void)x; printf(\"b\\n\"); pthread_mutex_lock(&m); first = !held; "
                        "pthread_mutex_unlock(&m); return 0; }\n"
                        "int main(void) { pthread_t ta, tb; pthread_create(&ta, 0, a, 0); pthread_create(&tb, 0, b, 0);\n"
                        "    pthread_join(ta, 0); pthread_join(tb, 0); if (first) abort(); return 0; }\n");
    const harness::result_t found = interleave(dir, {"--json", "print_before_hold.c"});
    EXPECT_TRUE(found.exited(1) && has(found.out, "signal 6 (Aborted)")) << found.out << found.err;
}

struct stream_case_t {
    const char *name;
    std::string set_up, write, read;
    int verdict;         // 1 the abort found, 0 nothing to report
    bool proved = true;  // with 0: the search is a proof
};

const std::string to_pipe_1 = "fcntl(p[0], F_SETFL, O_NONBLOCK); dup2(p[1], 1); close(p[1]);";

void behave_as_natively(const std::vector<stream_case_t> &cases)
{
    harness::temp_dir dir;
    for (const stream_case_t &c : cases) {
        const std::string source = std::string(c.name) + ".c";
        harness::write_file(dir / source, standard_stream_program(c.set_up, c.write, c.read));
        const harness::result_t r = interleave(dir, {"--json", source});
        EXPECT_TRUE(r.exited(c.verdict)) << c.name << ": " << r.out << r.err;
        if (c.verdict == 1) {
            EXPECT_TRUE(has(r.out, "\"kind\": \"crash\", \"turn\"") && has(r.out, "signal 6 (Aborted)"))
                << c.name << ": " << r.out;
            // Standard output closed is no pipe of the program's, which made only one (save
            // where a thread makes another).
            const harness::result_t replay = interleave(dir, {"--replay", std::string(c.name) + ".schedule", source});
            EXPECT_TRUE(replay.exited(1)) << c.name << ": " << replay.out;
            EXPECT_EQ(has(replay.out, "pipe 2"), has(c.read, "pipe(")) << c.name << ": " << replay.out;
            // A close of a pipe's end says which end.
            if (has(c.write, "close(p[0])")) {
                EXPECT_TRUE(has(replay.out, "closes the reading end of pipe 1")) << c.name << ": " << replay.out;
            }
            continue;
        }
        EXPECT_TRUE(has(r.out, std::string("\"complete\": true, \"proof\": ") + (c.proved ? "true" : "false")))
            << c.name << ": " << r.out;
        // The proof's check: the first hundred schedules, with no reduction, find nothing either.
        const harness::result_t every = interleave(dir, {"--search", "schedules", "--runs", "100", source});
        EXPECT_TRUE(every.exited(0)) << c.name << ": " << every.out << every.err;
    }
}

TEST(Sources, StandardStreamsPointedAtPipesBehaveAsNatively)
{
    const std::string peek = "if (read(p[0], c, 1) == 1) abort();";
    behave_as_natively({
        {"write_1", to_pipe_1, "write(1, \"x\", 1);", peek, 1},
        {"writev_1", to_pipe_1, "struct iovec v = {(void *)\"x\", 1}; writev(1, &v, 1);", peek, 1},
        {"printf", to_pipe_1, "printf(\"x\"); fflush(stdout);", peek, 1},
        {"write_2", "fcntl(p[0], F_SETFL, O_NONBLOCK); dup2(p[1], 2); close(p[1]);", "write(2, \"x\", 1);", peek, 1},
        {"read_0", "fcntl(p[0], F_SETFL, O_NONBLOCK); dup2(p[0], 0); close(p[0]);", "write(p[1], \"x\", 1);",
         "if (read(0, c, 1) == 1) abort();", 1},
        {"getchar", "fcntl(p[0], F_SETFL, O_NONBLOCK); dup2(p[0], 0); close(p[0]);", "write(p[1], \"x\", 1);",
         "if (getchar() != EOF) abort();", 1},
        {"close_then_open", "close(1); if (open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600) != 1) return 2;",
         "write(1, \"x\", 1);", "int fd = open(path, O_RDONLY); if (read(fd, c, 1) == 1) abort(); close(fd);", 1},
        {"put_back", "dup2(p[1], 1); close(p[1]);", "write(1, \"hi\\n\", 3); sched_yield(); dup2(saved, 1);",
         "while ((got = read(p[0], c, sizeof c)) > 0) n += got; n = n != 3;", 0},
        {"kept_while_closed", "close(1);", "if (printf(\"xy\\n\") != 3) abort();", "", 0},
        {"waits_for_input", "dup2(p[0], 0); close(p[0]);", "write(p[1], \"x\", 1);", "n = read(0, c, 1) != 1;", 0},
    });
}

TEST(Sources, DescriptorNumbersAreTakenAsNatively)
{
    // The two lowest numbers free, whatever the test's surroundings left open.
    const std::string fifo = "unlink(\"fifo\"); if (mkfifo(\"fifo\", 0600)) return 2; low[0] = dup(0); low[1] = dup(0); "
                             "close(low[0]); close(low[1]);";
    behave_as_natively({
        // Which number an open, a dup or a pipe gets depends on the other threads' closes
        // and copies before it.
        {"open_after_close", "", "close(1);", "if (open(path, O_WRONLY | O_CREAT, 0600) == 1) abort();", 1},
        {"open_after_dup2", "close(1);", "dup2(p[1], 1);", "if (open(path, O_WRONLY | O_CREAT, 0600) != 1) abort();", 1},
        {"dup_after_close", "", "close(2);", "if (dup(0) == 2) abort();", 1},
        {"file_closed", "close(saved); saved = open(path, O_WRONLY | O_CREAT, 0600);", "close(saved);",
         "if (open(path, O_RDONLY) == saved) abort();", 1},
        {"pipe_after_close", "", "close(p[0]);", "int q[2]; if (pipe(q) == 0 && q[0] == p[0]) abort();", 1},
        {"fstat_after_close", "close(saved); saved = open(\"/dev/null\", O_RDONLY);", "close(saved);",
         "struct stat st; if (fstat(saved, &st) != 0) abort();", 1},
        {"fcntl_after_close", "close(saved); saved = open(\"/dev/null\", O_RDONLY);", "close(saved);",
         "if (fcntl(saved, F_GETFD) < 0) abort();", 1},
        {"eventfd_after_close", "", "close(saved);", "if (eventfd(0, 0) == saved) abort();", 1},
        {"close_range_frees", "", "close_range(saved, saved, 0);", "if (dup(0) == saved) abort();", 1},
        // A read or write of a number that names no steered file (nothing, once closed) is
        // ordered against the close too: b closes first in the first run, and a's call must
        // be tried before it.
        {"read_before_close", "close(saved); saved = open(\"/dev/null\", O_RDONLY);",
         "char c[8]; if (read(saved, c, 1) == 0) abort();", "close(saved);", 1},
        {"write_before_close", "close(saved); saved = open(\"/dev/null\", O_WRONLY);",
         "if (write(saved, \"x\", 1) == 1) abort();", "close(saved);", 1},
        {"recv_before_close",
         "close(saved); int sv[2]; if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv)) return 2; saved = sv[0]; "
         "write(sv[1], \"x\", 1);",
         "char c[8]; if (recv(saved, c, 1, 0) == 1) abort();", "close(saved);", 1},
        {"fdopen_before_close", "close(saved); saved = open(\"/dev/null\", O_RDONLY);",
         "if (fdopen(saved, \"r\")) abort();", "close(saved);", 1},
        {"write_after_close", "close(saved); saved = open(path, O_WRONLY | O_CREAT, 0600);", "close(saved);",
         "if (write(saved, \"x\", 1) != 1) abort();", 1},
        // A FIFO's opens get the numbers they would natively, whichever waits for the other,
        {"fifo_numbers", fifo, "int fd = open(\"fifo\", O_WRONLY); if (fd != low[0] && fd != low[1]) abort();",
         "int fd = open(\"fifo\", O_RDONLY); n = fd != low[0] && fd != low[1];", 0},
        // and the system takes a FIFO's number as its open begins, before the open waits.
        {"fifo_number_first", fifo, "if (open(\"fifo\", O_WRONLY) == low[0]) abort();", "open(\"fifo\", O_RDONLY);", 1},
        // get_nprocs holds one descriptor for a moment, whose number another thread's dup may
        // find taken.
        {"nprocs_holds_a_number", "low[0] = dup(0); close(low[0]);", "get_nprocs();", "if (dup(0) != low[0]) abort();", 1},
        // So does the first look at the time zone, which reads its file.
        {"zone_holds_a_number", "low[0] = dup(0); close(low[0]);", "time_t t = 0; localtime(&t);",
         "if (dup(0) != low[0]) abort();", 1},
        // And the first pthread_exit of a C program, which loads the unwinder's library;
        // sem_open, which maps a file; and perror, which prints through a copy of standard
        // error.
        {"exit_loads_unwinder", "low[0] = dup(0); close(low[0]);", "pthread_exit(0);", "if (dup(0) != low[0]) abort();", 1},
        {"sem_open_holds_a_number", "low[0] = dup(0); close(low[0]);",
         "sem_t *s = sem_open(\"/number_held\", O_CREAT, 0600, 1); sem_close(s); sem_unlink(\"/number_held\");",
         "if (dup(0) != low[0]) abort();", 1},
        {"perror_holds_a_number", "low[0] = dup(0); close(low[0]);", "perror(\"a\");", "if (dup(0) != low[0]) abort();", 1},
        // A message queue is a descriptor, from its open to its close.
        {"queue_holds_a_number", "low[0] = dup(0); close(low[0]);",
         "mqd_t q = mq_open(\"/number_held\", O_CREAT | O_RDWR, 0600, 0); mq_close(q); mq_unlink(\"/number_held\");",
         "if (dup(0) != low[0]) abort();", 1},
        // A look-up of a user opens files inside the C library, whose numbers are not watched.
        {"library_takes_numbers", "", "getpwnam(\"root\");", "n = open(path, O_WRONLY | O_CREAT, 0600) < 0;", 0, false},
        {"numbers_kept_apart", "", "close(saved); close(p[0]);", "int fd = open(path, O_WRONLY | O_CREAT, 0600); n = fd < 0;", 0},
    });
}

TEST(Sources, StreamLocksBehaveAsNatively)
{
    behave_as_natively({
        // A stream's lock: another thread's print waits while flockfile holds it, so that the
        // held prints come out together (b aborts where its print landed between them).
        {"print_waits_for_hold", to_pipe_1,
         "flockfile(stdout); printf(\"a\"); fflush(stdout); printf(\"b\"); fflush(stdout); funlockfile(stdout);",
         "printf(\"c\"); fflush(stdout); if (read(p[0], c, 2) == 2 && c[1] == 'c') abort();", 0},
        // Unlocked calls inside the thread's own hold of the standard stream are ordered by the
        // hold; to a pipe of the program's, stdio writes them out at no turn of theirs.
        {"unlocked_in_hold", "", "flockfile(stdout); putc_unlocked('a', stdout); putc_unlocked('\\n', stdout); "
         "funlockfile(stdout);", "printf(\"b\\n\");", 0},
        {"unlocked_to_pipe", to_pipe_1,
         "flockfile(stdout); putc_unlocked('a', stdout); fflush_unlocked(stdout); putc_unlocked('b', stdout); "
         "fflush_unlocked(stdout); funlockfile(stdout);",
         "printf(\"c\"); fflush(stdout); if (read(p[0], c, 2) == 2 && c[1] == 'c') abort();", 0, false},
        {"print_without_hold", to_pipe_1, "printf(\"a\"); fflush(stdout); printf(\"b\"); fflush(stdout);",
         "printf(\"c\"); fflush(stdout); if (read(p[0], c, 2) == 2 && c[1] == 'c') abort();", 1},
        {"trylock_while_held", "", "flockfile(stdout); funlockfile(stdout);",
         "if (ftrylockfile(stdout)) abort(); funlockfile(stdout);", 1},
        // A read of a stream waits for another thread's hold of it, as a print does: one that
        // begins inside the hold ends after it.
        {"read_waits_for_hold", "dup2(p[0], 0); close(p[0]); write(p[1], \"xy\", 2); close(p[1]);",
         "flockfile(stdin); __atomic_store_n(&low[0], 1, __ATOMIC_SEQ_CST); "
         "__atomic_store_n(&low[0], 2, __ATOMIC_SEQ_CST); funlockfile(stdin);",
         "got = __atomic_load_n(&low[0], __ATOMIC_SEQ_CST); getchar(); "
         "n = got == 1 && __atomic_load_n(&low[0], __ATOMIC_SEQ_CST) == 1;", 0},
        // A print holds the lock for a moment, inside its turn: a try then is not tried.
        {"trylock_beside_print", "", "printf(\"a\");", "if (ftrylockfile(stdout) == 0) funlockfile(stdout);", 0, false},
    });
    // A read that waits for a writer holds its stream's lock meanwhile: a writer that takes
    // the lock first waits for the reader, which waits for it. Natively it hangs every time.
    harness::temp_dir dir;
    harness::write_file(dir / "holds_while_it_waits.c",
                        standard_stream_program("dup2(p[0], 0); close(p[0]);",
                                                "flockfile(stdin); write(p[1], \"x\", 1); funlockfile(stdin);",
                                                "getchar();"));
    const harness::result_t r = interleave(dir, {"holds_while_it_waits.c"});
    EXPECT_TRUE(r.exited(1) && has(r.out, "deadlock") &&
                has(harness::one_line(r.out), "a waits for the lock of standard input, held by b"))
        << r.out << r.err;
}

TEST(Sources, ReadsOfPipesBehaveAsNatively)
{
    const std::string socket_pair = "close(p[0]); close(p[1]); if (socketpair(AF_UNIX, SOCK_STREAM, 0, p)) return 2;";
    behave_as_natively({
        // A read that waits holds its file: another thread's close of the descriptor, or a new
        // file at its number, does not take it away, and it gets what is written later.
        {"read_holds_its_file", "signal(SIGPIPE, SIG_IGN);", "close(p[0]); write(p[1], \"x\", 1);", "if (read(p[0], c, 1) == 1) abort();", 1},
        {"stream_holds_its_file", "signal(SIGPIPE, SIG_IGN);", "close(p[0]); open(\"/dev/null\", O_RDONLY); write(p[1], \"x\\n\", 2);",
         "FILE *f = fdopen(p[0], \"r\"); if (fgets(c, sizeof c, f)) abort();", 1},
        // A pipe has no place to read at: pread fails at once, and never waits for a writer.
        {"pread_of_pipe", "", "", "n = pread(p[0], c, 1, 0) != -1;", 0},
        // A line written in pieces is read whole, whichever piece the reader finds first.
        {"line_in_pieces", "", "write(p[1], \"a\", 1); write(p[1], \"b\\n\", 2);",
         "FILE *f = fdopen(p[0], \"r\"); n = !fgets(c, sizeof c, f) || c[1] != 'b';", 0},
        {"fread_in_pieces", "", "write(p[1], \"ab\", 2); write(p[1], \"cd\", 2); close(p[1]);",
         "FILE *f = fdopen(p[0], \"r\"); n = fread(c, 2, 2, f) != 2 || fread(c, 1, 1, f) != 0;", 0},
        // A stream's error mark stops getline at once; nothing to read waits for nothing.
        {"getline_after_error", "", "",
         "FILE *f = fdopen(p[0], \"r\"); int k = dup(p[0]); close(p[0]); char *l = 0; size_t s = 0; "
         "getline(&l, &s, f); dup2(k, p[0]); write(p[1], \"x\\n\", 2); n = getline(&l, &s, f) != -1; free(l);", 0},
        {"reads_of_nothing", "", "", "FILE *f = fdopen(p[0], \"r\"); n = fgets(c, 1, f) != c || fread(c, 1, 0, f) != 0;", 0},
        {"getline_in_pieces", "", "write(p[1], \"a\", 1); write(p[1], \"b\\n\", 2); close(p[1]);",
         "FILE *f = fdopen(p[0], \"r\"); char *l = 0; size_t s = 0; n = getline(&l, &s, f) != 3; free(l);", 0},
        // What one end of a socket pair writes, the other reads: its reader waits for that
        // write, finds the end at the other's close, and may find half of two writes.
        {"socket_pair_to_its_end", socket_pair, "write(p[0], \"x\", 1); close(p[0]);",
         "while ((got = read(p[1], c, sizeof c)) > 0) n += got; n = n != 1;", 0},
        {"socket_pair_in_pieces", socket_pair, "write(p[0], \"a\", 1); write(p[0], \"b\", 1);",
         "if (read(p[1], c, sizeof c) == 1) abort();", 1},
        // A write of more than the socket holds waits for the reader, in the model.
        {"socket_pair_full", socket_pair, "static char big[300000]; write(p[0], big, sizeof big); close(p[0]);",
         "static char d[65536]; while ((got = read(p[1], d, sizeof d)) > 0) n += got; n = n != 300000;", 0},
    });
}

// The other reads and writes (at a place, of several buffers, of a message, with flags; a
// receive that does not wait is a read all the same), and a message queue's.
TEST(Sources, OtherReadsAndWritesBehaveAsNatively)
{
    const std::string socket_pair = "close(p[0]); close(p[1]); if (socketpair(AF_UNIX, SOCK_STREAM, 0, p)) return 2;";
    const std::string file = "close(saved); saved = open(path, O_RDWR | O_CREAT | O_TRUNC, 0600);";
    const std::string queue = "mq_unlink(\"/reads_q\"); saved = mq_open(\"/reads_q\", O_CREAT | O_RDWR, 0600, 0); "
                              "mq_unlink(\"/reads_q\"); if (saved < 0) return 2;";
    behave_as_natively({
        {"pwritev_then_pread", file, "struct iovec w = {(void *)\"x\", 1}; pwritev(saved, &w, 1, 0);",
         "if (pread(saved, c, 1, 0) == 1) abort();", 1},
        {"pwrite_then_preadv", file, "pwrite(saved, \"x\", 1, 0);",
         "struct iovec v = {c, 1}; if (preadv(saved, &v, 1, 0) == 1) abort();", 1},
        {"dprintf_is_a_write", "fcntl(p[0], F_SETFL, O_NONBLOCK);", "dprintf(p[1], \"x\");",
         "if (read(p[0], c, 1) == 1) abort();", 1},
        {"receive_that_does_not_wait", socket_pair, "send(p[0], \"x\", 1, 0);",
         "if (recv(p[1], c, 1, MSG_DONTWAIT) == 1) abort();", 1},
        {"preadv2_of_a_pipe", "", "write(p[1], \"x\", 1); close(p[1]);",
         "struct iovec v = {c, 1}; n = preadv2(p[0], &v, 1, -1, 0) != 1;", 0},
        {"recvmsg_waits", socket_pair, "send(p[0], \"x\", 1, 0);",
         "struct iovec v = {c, 1}; struct msghdr m = {0}; m.msg_iov = &v; m.msg_iovlen = 1; n = recvmsg(p[1], &m, 0) != 1;", 0},
        // A message queue's receive waits for a send, as a pipe's read for a write; a send
        // and a close are ordered as a write and a close.
        {"queue_receive_waits", queue, "mq_send(saved, \"m\", 1, 0);",
         "char m[8192]; n = mq_receive(saved, m, sizeof m, 0) != 1;", 0},
        {"queue_send_before_close", queue, "if (mq_send(saved, \"m\", 1, 0) == 0) abort();", "mq_close(saved);", 1},
        {"splice_waits", "", "write(p[1], \"xy\", 2); close(p[1]);",
         "int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600); while ((got = splice(p[0], 0, fd, 0, 8, 0)) > 0) n += got; "
         "n = n != 2;", 0},
    });
}

}  // namespace
