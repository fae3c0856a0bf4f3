// interleave --step through a real terminal of 80x24: tmux plays it, a server of the test's
// own, with keys pressed and the screen read back. One test per kind of interaction:
// choosing turns (the philosophers driven into their deadlock, the ring filled), undo,
// save and replay, and leaving with q or Ctrl-C, which must leave nothing running.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

// A tmux server of this terminal's own, with one window of 80x24 running a command.
struct terminal_t {
    std::string server;

    terminal_t(const std::string &command, const fs::path &cwd)
    {
        static int count = 0;
        server = "interleave-step-" + std::to_string(getpid()) + "-" + std::to_string(++count);
        const harness::result_t started =
            tmux({"new-session", "-d", "-x", "80", "-y", "24", "-c", cwd.string(), command + "; echo EXIT=$?; sleep 60"});
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

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

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
    EXPECT_TRUE(has(replay.out, "forks: A B C D .\n   20 E         starts\n")) << replay.out;
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
    EXPECT_TRUE(has(t.shows("EXIT="), "EXIT=0")) << t.screen();
    EXPECT_FALSE(running(SLOTRING_PATH)) << "the program was left running";
}

}  // namespace
