#include "step.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <curses.h>

#include "schedule.h"

namespace interleave {
namespace {

constexpr int kKeys = 10;     // threads 1 to 9, and 0 for the tenth
constexpr int kPerRow = 6;    // thread columns side by side
constexpr int kBlock = 6;     // rows a row of thread columns takes
constexpr int kPoll = 200;    // ms a wait for a key lasts before it looks for Ctrl-C

enum pair_t : short { kGoPair = 1, kWaitPair = 2 };

volatile sig_atomic_t leaving;  // Ctrl-C, SIGTERM or SIGHUP came

void on_leave(int)
{
    leaving = 1;
}

struct player_t {
    const target_t &target;
    bounds_t bounds;
    std::string path{};  // where s saves
    std::string self{};
    std::vector<action_t> taken{};  // the turns chosen so far
    bool colours = false;
    std::string message{};          // said at the foot of the screen
    bool bad = false;             // and said in red
    bool quit = false;
    bool undo = false;
    bool run_on = false;
};

char key_of(int slot)
{
    return slot < 9 ? static_cast<char>('1' + slot) : slot == 9 ? '0' : ' ';
}

int slot_of_key(int key)
{
    return key >= '1' && key <= '9' ? key - '1' : key == '0' ? 9 : -1;
}

void put(const player_t &p, int row, int col, const std::string &text, attr_t attr = A_NORMAL, short pair = 0)
{
    if (row < 0 || row >= LINES || col >= COLS)
        return;
    if (pair != 0 && p.colours)
        attr |= COLOR_PAIR(pair);
    attron(attr);
    mvaddnstr(row, col, text.c_str(), COLS - col);
    attroff(attr);
}

// Cuts a text into lines of at most `width` columns, at blanks where it can.
std::vector<std::string> wrapped(const std::string &text, std::size_t width)
{
    std::vector<std::string> lines;
    std::string rest = text;
    while (rest.size() > width) {
        std::size_t cut = rest.rfind(' ', width);
        if (cut == std::string::npos || cut == 0)
            cut = width;
        lines.push_back(rest.substr(0, cut));
        rest = rest.substr(cut + (rest[cut] == ' '));
    }
    lines.push_back(rest);
    return lines;
}

std::string expand_tabs(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == '\t' ? std::string(8 - out.size() % 8, ' ') : std::string(1, c);
    return out;
}

// What a thread's key does now: its call, or else its only move (a timeout, a wake-up
// with no signal); -1 if nothing.
int action_of(const std::vector<action_t> &actions, int slot)
{
    int found = -1;
    for (std::size_t k = 0; k < actions.size(); k++)
        if (actions[k].thread == slot && (found < 0 || actions[k].how == 'r' || actions[k].how == 'c'))
            found = static_cast<int>(k);
    return found;
}

// The one move when only one thread can go on (a wake-up with no signal aside); else -1.
int only_move(const std::vector<action_t> &actions)
{
    int slot = -1;
    for (const action_t &a : actions) {
        if (a.how == 's')
            continue;
        if (slot >= 0 && a.thread != slot)
            return -1;
        slot = a.thread;
    }
    return slot < 0 ? -1 : action_of(actions, slot);
}

std::string how_text(char how)
{
    return how == 't' ? "can time out" : "can wake up";
}

void draw(player_t &p, const view_t &view, const std::vector<action_t> &actions, const run_result_t &seen, bool over)
{
    erase();
    const std::string program = p.target.program.substr(p.target.program.rfind('/') + 1);
    put(p, 0, 0, "interleave --step " + program + "   turn " + std::to_string(seen.turns.size()) + "   " +
                     (p.target.demo ? std::string(watch::name_of(*p.target.demo)) + "'s rules" : "no demo's rules"),
        A_BOLD);
    // One column per thread: its key and name, its next call, whether it can go on.
    const int width = COLS / kPerRow;
    const int shown = std::min<int>(static_cast<int>(view.threads.size()), kKeys);
    for (int k = 0; k < shown; k++) {
        const thread_view_t &t = view.threads[static_cast<std::size_t>(k)];
        const int row = 2 + k / kPerRow * kBlock, col = k % kPerRow * width;
        put(p, row, col, std::string(1, key_of(k)) + " ", A_BOLD);
        put(p, row, col + 2, t.name.substr(0, static_cast<std::size_t>(width - 3)), A_BOLD);
        if (t.ended) {
            put(p, row + 1, col, "ended", A_DIM);
            continue;
        }
        const std::vector<std::string> next = wrapped(t.next, static_cast<std::size_t>(width - 1));
        for (std::size_t l = 0; l < std::min<std::size_t>(next.size(), 2); l++)
            put(p, row + 1 + static_cast<int>(l), col, next[l]);
        const int move = action_of(actions, k);
        const std::string reason = t.waits.substr(0, static_cast<std::size_t>(width - 1));
        if (t.next.empty()) {
            put(p, row + 3, col, "runs", A_DIM);
        } else if (over || move < 0) {
            if (!t.waits.empty()) {
                put(p, row + 3, col, "waits:", A_NORMAL, kWaitPair);
                put(p, row + 4, col, reason, A_NORMAL, kWaitPair);
            }
        } else if (move >= 0 && (actions[static_cast<std::size_t>(move)].how == 'r' || actions[static_cast<std::size_t>(move)].how == 'c'))
            put(p, row + 3, col, "can go on", A_BOLD, kGoPair);
        else {
            // Its call must wait, but it has another move: a timeout, a wake-up with no signal.
            put(p, row + 3, col, "waits, but", A_NORMAL, kWaitPair);
            put(p, row + 4, col, how_text(actions[static_cast<std::size_t>(move)].how).substr(0, static_cast<std::size_t>(width - 1)), A_NORMAL, kGoPair);
        }
    }
    int row = 2 + (shown + kPerRow - 1) / kPerRow * kBlock;
    // Who holds what, and the semaphores' counts.
    for (const std::string &line : wrapped(view.state.empty() ? "nothing held" : view.state, static_cast<std::size_t>(COLS - 1)))
        put(p, row++, 0, line, A_DIM);
    row++;
    // The program's output so far, the newest at the bottom, with the rules' notes.
    const int foot = LINES - 4;
    std::vector<std::pair<std::string, std::string>> lines;  // text, note
    std::vector<bool> broken;
    for (const turn_t &turn : seen.turns)
        for (const shown_t &line : output_of(turn)) {
            if (!line.text.empty() || line.broken.empty()) {
                lines.push_back({expand_tabs(line.text), line.note});
                broken.push_back(false);
            }
            for (const std::string &b : line.broken) {
                lines.push_back({"  " + b, ""});
                broken.push_back(true);
            }
        }
    put(p, row++, 0, "output:", A_BOLD);
    const int room = std::max(0, foot - row);
    const std::size_t first = lines.size() > static_cast<std::size_t>(room) ? lines.size() - static_cast<std::size_t>(room) : 0;
    for (std::size_t k = first; k < lines.size(); k++, row++) {
        put(p, row, 0, lines[k].first, broken[k] ? A_BOLD : A_NORMAL, broken[k] ? kWaitPair : 0);
        if (!lines[k].second.empty())
            put(p, row, std::max(watch::kColumn, static_cast<int>(lines[k].first.size()) + 2), lines[k].second, A_DIM);
    }
    // What the last turn did, what there is to say, and the keys.
    if (!seen.turns.empty()) {
        const turn_t &last = seen.turns.back();
        put(p, LINES - 4, 0, "turn " + std::to_string(seen.turns.size()) + ": " +
                                 view.threads[static_cast<std::size_t>(last.thread)].name + " " + last.does);
    }
    const std::vector<std::string> said = wrapped(p.message, static_cast<std::size_t>(COLS - 1));
    for (std::size_t k = 0; k < std::min<std::size_t>(said.size(), 2); k++)
        put(p, LINES - 3 + static_cast<int>(k), 0, said[k], p.bad ? A_BOLD : A_NORMAL, p.bad ? kWaitPair : 0);
    const std::string keys = over ? "u undo   s save   q quit"
                                  : std::string("1-") + key_of(std::max(0, shown - 1)) +
                                        " run that thread   space run on   u undo   s save   q quit";
    put(p, LINES - 1, 0, keys, A_REVERSE);
    refresh();
}

// A copy of the run so far, judged: the rules' notes, and a rule broken now.
run_result_t judged(const player_t &p, const view_t &view, const run_result_t &so_far)
{
    run_result_t seen = so_far;
    seen.names.clear();
    for (const thread_view_t &t : view.threads)
        seen.names.push_back(t.name);
    seen.cut = true;
    judge(p.target, seen);
    return seen;
}

void save(player_t &p)
{
    if (p.taken.empty()) {
        p.message = "nothing to save yet";
        p.bad = false;
    } else if (!save_schedule(p.path, p.target, p.bounds, p.taken)) {
        p.message = "cannot save to " + p.path + ": " + std::strerror(errno);
        p.bad = true;
    } else {
        p.message = "saved " + std::to_string(p.taken.size()) + " turns in " + p.path + "; replay them with " +
                    p.self + " --replay " + p.path;
        p.bad = false;
    }
}

// The keys that work at every moment: undo, save, quit. True when the key was one of them.
bool common_key(player_t &p, int key)
{
    if (key == 'q' || key == 3 || leaving) {
        p.quit = true;
    } else if (key == 'u') {
        if (p.taken.empty()) {
            p.message = "nothing to undo";
            p.bad = false;
            return true;
        }
        p.taken.pop_back();
        p.undo = true;
        p.message.clear();
    } else if (key == 's') {
        save(p);
        return true;
    } else {
        return false;
    }
    return true;
}

chooser_t chooser(player_t &p)
{
    return [&p](const decision_t &d) {
        const std::vector<action_t> &actions = d.actions;
        const int turn = d.turn;
        const look_t &look = d.look;
        // First the turns already chosen: after an undo, or from a saved schedule.
        if (turn < static_cast<int>(p.taken.size())) {
            for (std::size_t k = 0; k < actions.size(); k++)
                if (actions[k] == p.taken[static_cast<std::size_t>(turn)])
                    return static_cast<int>(k);
            p.message = "at turn " + std::to_string(turn + 1) +
                        " the program went another way than the schedule; the turns after it are dropped";
            p.bad = true;
            p.taken.resize(static_cast<std::size_t>(turn));
        }
        if (p.run_on) {
            if (const int only = only_move(actions); only >= 0) {
                p.taken.push_back(actions[static_cast<std::size_t>(only)]);
                return only;
            }
            p.run_on = false;
        }
        const view_t view = look();
        const run_result_t seen = judged(p, view, *view.so_far);
        if (seen.fault.kind == fault_t::rule && p.message.empty()) {
            p.message = seen.fault.headline;
            p.bad = true;
        }
        for (;;) {
            draw(p, view, actions, seen, false);
            const int key = getch();
            if (key == ERR && !leaving)
                continue;
            if (common_key(p, key)) {
                if (p.quit || p.undo)
                    return kStop;
                continue;
            }
            if (key == ' ' || key == '\n' || key == KEY_ENTER) {
                if (const int only = only_move(actions); only >= 0) {
                    p.run_on = true;
                    p.message.clear();
                    p.taken.push_back(actions[static_cast<std::size_t>(only)]);
                    return only;
                }
                p.message = "more than one thread can go on here: choose one";
                p.bad = false;
            } else if (const int slot = slot_of_key(key); slot >= 0 && slot < static_cast<int>(view.threads.size())) {
                if (const int move = action_of(actions, slot); move >= 0) {
                    p.message.clear();
                    p.taken.push_back(actions[static_cast<std::size_t>(move)]);
                    return move;
                }
                const thread_view_t &t = view.threads[static_cast<std::size_t>(slot)];
                p.message = t.name + (t.ended ? " has ended" : " cannot " + t.next + " now: " + t.waits);
                p.bad = false;
            }
        }
    };
}

// The end of a run: what ended it, and the keys that are left.
std::string ending(const run_result_t &run)
{
    if (run.fault.kind != fault_t::none)
        return run.fault.headline + (run.fault.kind == fault_t::deadlock ? ": each column says what it waits for"
                                     : run.fault.details.empty()           ? ""
                                                                           : ": " + run.fault.details.front());
    if (run.status && WIFSIGNALED(*run.status))
        return "the program was killed by signal " + std::to_string(WTERMSIG(*run.status));
    if (run.status)
        return "the program ended, with status " + std::to_string(WEXITSTATUS(*run.status));
    return "the run ended";
}

}  // namespace

int play(const target_t &target, const bounds_t &bounds, std::vector<action_t> taken, const std::string &path,
         const std::string &self)
{
    player_t p{.target = target, .bounds = bounds, .path = path, .self = self, .taken = std::move(taken)};
    p.bounds.turns = 1000000;
    p.bounds.spurious = 1000;  // POSIX allows them at any time: the player chooses
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    timeout(kPoll);
    p.colours = has_colors() && std::getenv("NO_COLOR") == nullptr;
    if (p.colours) {
        start_color();
        use_default_colors();
        init_pair(kGoPair, COLOR_GREEN, -1);
        init_pair(kWaitPair, COLOR_RED, -1);
    }
    struct sigaction leave {};
    leave.sa_handler = on_leave;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &leave, nullptr);

    while (!p.quit) {
        run_result_t run = run_once(p.target, p.bounds, chooser(p));
        if (p.undo) {
            p.undo = false;
            continue;
        }
        if (p.quit)
            break;
        if (run.fault.kind == fault_t::unsteerable) {
            endwin();
            std::fprintf(stderr, "interleave: cannot steer %s: %s\n", target.program.c_str(), run.fault.headline.c_str());
            return 2;
        }
        judge(p.target, run);
        p.message = ending(run);
        p.bad = run.fault.kind != fault_t::none;
        // The run is over: undo, save or quit.
        for (;;) {
            draw(p, run.end, {}, run, true);
            const int key = getch();
            if ((key != ERR || leaving) && common_key(p, key) && (p.quit || p.undo))
                break;
        }
        p.undo = false;
    }
    endwin();
    return 0;
}

}  // namespace interleave
