// interleave --step through a real terminal of 80x24: tmux plays it, a server of the test's
// own, with keys pressed and the screen read back. One test per kind of interaction:
// choosing turns (the philosophers driven into their deadlock, the ring filled), undo,
// save and replay, and leaving with q or Ctrl-C, which must leave nothing running.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

// A tmux server of this terminal's own, with one window of 80x24 running a command.
struct terminal_t {
    std::string server;

    terminal_t(const std::string &command, const fs::path &cwd, int columns = 80, int lines = 24)
    {
        static int count = 0;
        server = "interleave-step-" + std::to_string(getpid()) + "-" + std::to_string(++count);
        const harness::result_t started =
            tmux({"new-session", "-d", "-x", std::to_string(columns), "-y", std::to_string(lines), "-c", cwd.string(),
                  command + "; echo EXIT=$?; sleep 60"});
        EXPECT_TRUE(started.exited(0)) << "tmux did not start: " << started.err;
    }
    ~terminal_t() { tmux({"kill-server"}); }
    terminal_t(const terminal_t &) = delete;
    terminal_t &operator=(const terminal_t &) = delete;

    harness::result_t tmux(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"-L", server});
        return harness::run("/usr/bin/tmux", {.args = args, .limit = 10});
    }
    // Each character is a key; "C-c" as a whole is Ctrl-C.
    void press(const std::string &keys) const
    {
        tmux(keys == "C-c" ? std::vector<std::string>{"send-keys", "C-c"}
                           : std::vector<std::string>{"send-keys", "-l", keys});
    }
    std::string screen() const
    {
        const harness::result_t shot = tmux({"capture-pane", "-p"});
        return shot.exited(0) ? shot.out : "(tmux: " + shot.err + ")";
    }
    // The screen once it shows `text` and has stopped changing (ncurses may be drawing it
    // still when the text first shows), or as it is after ten seconds.
    std::string shows(const std::string &text) const
    {
        std::string now, before;
        for (int k = 0, same = 0; k < 200 && same < 2; k++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            now = screen();
            same = now.find(text) != std::string::npos && now == before ? same + 1 : 0;
            before = now;
        }
        return now;
    }
};

using harness::has;

std::string step(const std::string &args)
{
    std::string command = "'";
    command.append(INTERLEAVE_PATH).append("' --step ").append(args);
    return command;
}

// Whether a process of this test still runs the given program: the terminal's server and
// all it started descend from the test, and so does anything left behind, since the
// harness adopts orphans. (Other tests may run the same program at the same time.)
bool running(const fs::path &program)
{
    std::vector<pid_t> ours{getpid()};
    for (std::size_t k = 0; k < ours.size(); k++)
        for (pid_t child : harness::children_of(ours[k]))
            ours.push_back(child);
    for (pid_t pid : ours) {
        std::error_code error;
        if (fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) == program)
            return true;
    }
    return false;
}

// Whether a process of this test runs the program and has computed for a second, within
// five seconds.
bool computed_a_second(const fs::path &program)
{
    for (int k = 0; k < 100; k++) {
        std::vector<pid_t> ours{getpid()};
        for (std::size_t n = 0; n < ours.size(); n++)
            for (pid_t child : harness::children_of(ours[n]))
                ours.push_back(child);
        for (pid_t pid : ours) {
            std::error_code error;
            if (fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) != program)
                continue;
            const std::string stat = harness::read_file("/proc/" + std::to_string(pid) + "/stat");
            std::istringstream fields(stat.substr(stat.rfind(')') + 2));
            std::string field;
            long user = 0;
            for (int f = 3; f <= 14 && fields >> field; f++)
                if (f == 14)
                    user = std::stol(field);
            if (user >= sysconf(_SC_CLK_TCK))
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST(InterleaveStep, ThePlayerDrivesThePhilosophersIntoTheirDeadlockUndoesSavesAndQuits)
{
    harness::temp_dir dir;
    terminal_t t(step("dinerlanes_same_side"), dir.path);
    ASSERT_TRUE(has(t.shows("run that thread"), "1 main")) << t.screen();
    // Run on through the set-up, let main create the five, then each takes its left fork.
    t.press(" 1111223344556");
    std::string screen = t.shows("turn 20 ");
    EXPECT_TRUE(has(screen, "forks: A B C D .")) << screen;
    t.press("6");
    screen = t.shows("deadlock");
    EXPECT_TRUE(has(screen, "deadlock: no thread can go on")) << screen;
    EXPECT_TRUE(has(screen, "forks: A B C D E")) << screen;
    EXPECT_TRUE(has(screen, "B holds it")) << screen;
    // Undo goes back a turn; the schedule saved there replays to the same forks.
    t.press("u");
    EXPECT_TRUE(has(t.shows("turn 20 "), "forks: A B C D .")) << t.screen();
    t.press("s");
    EXPECT_TRUE(has(t.shows("saved 20 turns"), "dinerlanes_same_side.schedule")) << t.screen();
    harness::result_t replay = harness::run(INTERLEAVE_PATH, {.args = {"--replay", "dinerlanes_same_side.schedule"},
                                                              .cwd = dir.path, .limit = 30});
    EXPECT_TRUE(replay.exited(0));
    EXPECT_TRUE(has(replay.out, "forks: A B C D .\n   20 * E       starts\n")) << replay.out;
    EXPECT_TRUE(running(DINERLANES_SAME_SIDE_PATH));
    t.press("q");
    EXPECT_TRUE(has(t.shows("EXIT="), "EXIT=0")) << t.screen();
    EXPECT_FALSE(running(DINERLANES_SAME_SIDE_PATH)) << "the program was left running";
}

TEST(InterleaveStep, TheProducerFillsTheRingAndWaitsAndCtrlCLeaves)
{
    harness::temp_dir dir;
    terminal_t t(step("slotring"), dir.path);
    ASSERT_TRUE(has(t.shows("run that thread"), "1 main")) << t.screen();
    // Run on, let main go on ten times, then only the producer, thirty times.
    t.press(" 1111111111222222222222222222222222222222");
    // The last presses come after the ring is full: the screen is final once they say so.
    const std::string screen = t.shows("producer cannot take blank_number now: none left");
    EXPECT_TRUE(has(screen, "blank_number = 0, product_number = 5")) << screen;
    EXPECT_TRUE(has(screen, "5 waiting")) << screen;
    EXPECT_TRUE(has(screen, "producer cannot take blank_number now: none left")) << screen;
    EXPECT_TRUE(running(SLOTRING_PATH));
    t.press("C-c");
    EXPECT_TRUE(has(t.shows("EXIT="), "EXIT=130")) << t.screen();
    EXPECT_FALSE(running(SLOTRING_PATH)) << "the program was left running";
}

// Any size of terminal is safe: a small one is told the size the player needs, and q
// still leaves.
TEST(InterleaveStep, ATerminalTooSmallIsToldTheSizeItNeeds)
{
    harness::temp_dir dir;
    terminal_t t(step("dinerlanes_same_side"), dir.path, 10, 8);
    std::string screen = t.shows("q");
    std::erase_if(screen, [](char c) { return c == '\n' || c == ' '; });
    EXPECT_TRUE(has(screen, "Needs80x24,thisis10x8")) << t.screen();
    t.press("q");
    EXPECT_TRUE(has(t.shows("EXIT="), "EXIT=0")) << t.screen();
    EXPECT_FALSE(running(DINERLANES_SAME_SIDE_PATH)) << "the program was left running";
}

// While a thread computes for seconds between two calls (running on, after space), q is
// answered at once, not when the thread comes back.
TEST(InterleaveStep, QLeavesAtOnceWhileAThreadComputes)
{
    harness::temp_dir dir;
    terminal_t t(step(COMPUTES_A_WHILE_PATH), dir.path);
    ASSERT_TRUE(has(t.shows("run that thread"), "1 main")) << t.screen();
    t.press(" ");
    // What a turn prints shows at its end: the computing is seen in the program's CPU time.
    ASSERT_TRUE(computed_a_second(COMPUTES_A_WHILE_PATH)) << t.screen();
    const auto pressed = std::chrono::steady_clock::now();
    t.press("q");
    EXPECT_TRUE(has(t.shows("EXIT="), "EXIT=0")) << t.screen();
    // The thread computes for eight seconds: leaving when it came back would take longer.
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(5));
    EXPECT_FALSE(running(COMPUTES_A_WHILE_PATH)) << "the program was left running";
}

// Every thread that can go on has a key: with twelve workers waiting to start, the twelfth
// is the key b.
TEST(InterleaveStep, EveryThreadThatCanGoOnHasAKey)
{
    harness::temp_dir dir;
    terminal_t t(step(TWELVE_THREADS_PATH), dir.path);
    ASSERT_TRUE(has(t.shows("run that thread"), "1 main")) << t.screen();
    // main starts and creates the twelve, then waits to join the first.
    t.press(" 111111111111");
    std::string screen = t.shows("b worker 12");
    EXPECT_TRUE(has(screen, "b worker 12")) << screen;
    t.press("b");
    screen = t.shows("worker 12 starts");
    EXPECT_TRUE(has(screen, "turn 15: worker 12 starts")) << screen;
    t.press("q");
    EXPECT_TRUE(has(t.shows("EXIT="), "EXIT=0")) << t.screen();
}

// A program built with interleave-c++: each thread's next memory access is its next turn,
// and the player chooses at it.
TEST(InterleaveStep, EachThreadsNextAccessIsShownAndChosenAt)
{
    harness::temp_dir dir;
    terminal_t t(step(LOST_UPDATE_PATH), dir.path);
    ASSERT_TRUE(has(t.shows("run that thread"), "1 main")) << t.screen();
    t.press(" 111");  // main starts, creates both visitors and reads the first one's handle
    t.press("2");
    std::string screen = t.shows("turn 5: visitor starts");
    EXPECT_TRUE(has(screen, "read count")) << screen;
    t.press("2");
    screen = t.shows("turn 6:");
    EXPECT_TRUE(has(screen, "turn 6: visitor reads count")) << screen;
    EXPECT_TRUE(has(screen, "write count")) << screen;
    t.press("q");
    EXPECT_TRUE(has(t.shows("EXIT="), "EXIT=0")) << t.screen();
}

}  // namespace
