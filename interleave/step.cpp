#include "step.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <deque>
#include <sys/wait.h>
#include <unistd.h>

#include "report.h"
#include "schedule.h"

namespace interleave {
namespace {

constexpr int kPerRow = 6;     // thread columns side by side
constexpr int kBlock = 6;      // rows a row of thread columns takes
constexpr int kPoll = 100;     // ms a wait for a key lasts before it looks for Ctrl-C
constexpr int kWideEnough = 80, kTallEnough = 24;
constexpr int kRunOnMost = 500;  // turns that one press of space runs on, at most
constexpr int kNothingNew = 50;  // turns in a row that change nothing and print nothing stop a run-on
// The keys of the thread columns, in order: q, s and u quit, save and undo.
constexpr std::string_view kThreadKeys = "1234567890abcdefghijklmnoprtvwxyz";

enum pair_t : short { kGoPair = 1, kWaitPair = 2 };

volatile sig_atomic_t leaving;  // the signal that came: Ctrl-C, SIGTERM or SIGHUP

void on_leave(int signal)
{
    leaving = signal;
}

struct player_t {
    const target_t &target;
    bounds_t bounds;
    std::string path{};  // where s saves
    std::string self{};
    std::vector<action_t> taken{};    // the turns chosen so far
    std::vector<action_t> planned{};  // a saved schedule, followed a turn at a key
    bool colours = false;
    std::string message{};  // said at the foot of the screen
    bool bad = false;       // and said in red
    bool quit = false;
    bool undo = false;
    int ran_on = -1;          // turns run on since space was pressed; -1 when not running on
    std::deque<int> keys{};   // pressed while a thread computed, still to be taken
    std::vector<int> shown{};  // the threads that have a column, in the order of their keys
};

bool big_enough()
{
    return COLS >= kWideEnough && LINES >= kTallEnough;
}

void put(const player_t &p, int row, int col, const std::string &text, attr_t attr = A_NORMAL, short pair = 0)
{
    if (row < 0 || row >= LINES || col < 0 || col >= COLS)
        return;
    if (pair != 0 && p.colours)
        attr |= COLOR_PAIR(pair);
    attron(attr);
    // The program's own text may hold what a terminal acts on (a carriage return, an
    // escape): it is shown, not obeyed.
    mvaddnstr(row, col, visible(text).c_str(), COLS - col);
    attroff(attr);
}

// Cuts a text into lines of at most `width` columns, at blanks where it can.
std::vector<std::string> wrapped(const std::string &text, int width)
{
    const std::size_t most = static_cast<std::size_t>(std::max(width, 1));
    std::vector<std::string> lines;
    std::string rest = text;
    while (rest.size() > most) {
        std::size_t cut = rest.rfind(' ', most);
        if (cut == std::string::npos || cut == 0)
            cut = most;
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

// What a thread's key does now: a signal sent to it arrives, as the system would deliver it
// at once; else its call, or else its only move (a timeout, a wake-up with no signal); -1 if
// nothing.
int action_of(const std::vector<action_t> &actions, int thread)
{
    int found = -1;
    for (std::size_t k = 0; k < actions.size(); k++)
        if (actions[k].thread == thread &&
            (found < 0 || actions[k].how == 'g' ||
             (actions[static_cast<std::size_t>(found)].how != 'g' && (actions[k].how == 'r' || actions[k].how == 'c'))))
            found = static_cast<int>(k);
    return found;
}

// The one move when only one thread can go on (a wake-up with no signal aside); else -1.
int only_move(const std::vector<action_t> &actions)
{
    int thread = -1;
    for (const action_t &a : actions) {
        if (a.how == 's')
            continue;
        if (thread >= 0 && a.thread != thread)
            return -1;
        thread = a.thread;
    }
    return thread < 0 ? -1 : action_of(actions, thread);
}

// The planned turn, where there is one and the program still follows it; else -1.
int planned_move(const player_t &p, const std::vector<action_t> &actions, int turn)
{
    if (turn >= static_cast<int>(p.planned.size()))
        return -1;
    for (std::size_t k = 0; k < actions.size(); k++)
        if (actions[k] == p.planned[static_cast<std::size_t>(turn)])
            return static_cast<int>(k);
    return -1;
}

// Which threads get a column: those that can go on first, then the others still there,
// then the ended ones, as many as the screen has room for; shown in the order created.
void choose_columns(player_t &p, const view_t &view, const std::vector<action_t> &actions)
{
    const int blocks = std::max(1, (LINES - 12) / kBlock);
    const std::size_t room = std::min<std::size_t>(static_cast<std::size_t>(blocks * kPerRow), kThreadKeys.size());
    std::vector<int> order;
    for (int pass = 0; pass < 3; pass++)
        for (std::size_t k = 0; k < view.threads.size(); k++) {
            const int id = static_cast<int>(k);
            const bool can = action_of(actions, id) >= 0;
            const bool ended = view.threads[k].ended;
            if ((pass == 0 && can) || (pass == 1 && !can && !ended) || (pass == 2 && ended))
                order.push_back(id);
        }
    if (order.size() > room)
        order.resize(room);
    std::sort(order.begin(), order.end());
    p.shown = order;
}

void draw_too_small()
{
    erase();
    const std::string text = "Needs " + std::to_string(kWideEnough) + "x" + std::to_string(kTallEnough) + ", this is " +
                             std::to_string(COLS) + "x" + std::to_string(LINES) +
                             ": make the terminal larger, or press q to leave.";
    const std::vector<std::string> lines = wrapped(text, COLS);
    for (std::size_t k = 0; k < lines.size() && static_cast<int>(k) < LINES; k++)
        mvaddnstr(static_cast<int>(k), 0, lines[k].c_str(), COLS);
    refresh();
}

void draw(player_t &p, const view_t &view, const std::vector<action_t> &actions, const run_result_t &seen, bool over)
{
    if (!big_enough()) {
        draw_too_small();
        return;
    }
    erase();
    const std::string program = p.target.named.substr(p.target.named.rfind('/') + 1);
    put(p, 0, 0, "interleave --step " + program + "   turn " + std::to_string(seen.turns.size()) + "   " +
                     (p.target.demo ? std::string(watch::name_of(*p.target.demo)) + "'s rules" : "no demo's rules"),
        A_BOLD);
    choose_columns(p, view, over ? std::vector<action_t>{} : actions);
    // One column per thread: its key and name, its next call, whether it can go on.
    const int width = COLS / kPerRow;
    for (std::size_t k = 0; k < p.shown.size(); k++) {
        const int id = p.shown[k];
        const thread_view_t &t = view.threads[static_cast<std::size_t>(id)];
        const int row = 2 + static_cast<int>(k) / kPerRow * kBlock, col = static_cast<int>(k) % kPerRow * width;
        put(p, row, col, std::string(1, kThreadKeys[k]) + " ", A_BOLD);
        put(p, row, col + 2, t.name.substr(0, static_cast<std::size_t>(width - 3)), A_BOLD);
        if (t.ended) {
            put(p, row + 1, col, "ended", A_DIM);
            continue;
        }
        const std::vector<std::string> next = wrapped(t.next, width - 1);
        for (std::size_t l = 0; l < std::min<std::size_t>(next.size(), 2); l++)
            put(p, row + 1 + static_cast<int>(l), col, next[l]);
        const int move = over ? -1 : action_of(actions, id);
        const std::vector<std::string> reason = wrapped(t.waits, width - 1);
        if (t.next.empty()) {
            put(p, row + 3, col, "runs", A_DIM);
        } else if (move < 0) {
            if (!t.waits.empty()) {
                put(p, row + 3, col, "waits:", A_NORMAL, kWaitPair);
                for (std::size_t l = 0; l < std::min<std::size_t>(reason.size(), 2); l++)
                    put(p, row + 4 + static_cast<int>(l), col, reason[l], A_NORMAL, kWaitPair);
            }
        } else if (actions[static_cast<std::size_t>(move)].how == 'r' || actions[static_cast<std::size_t>(move)].how == 'c') {
            put(p, row + 3, col, "can go on", A_BOLD, kGoPair);
        } else if (actions[static_cast<std::size_t>(move)].how == 'g') {
            put(p, row + 3, col, "a signal", A_BOLD, kGoPair);
            put(p, row + 4, col, "arrives", A_BOLD, kGoPair);
        } else {
            // Its call must wait, but it has another move: a timeout, a wake-up with no signal.
            put(p, row + 3, col, "waits, but", A_NORMAL, kWaitPair);
            put(p, row + 4, col, actions[static_cast<std::size_t>(move)].how == 't' ? "can time out" : "can wake up",
                A_NORMAL, kGoPair);
        }
    }
    int row = 2 + (static_cast<int>(p.shown.size()) + kPerRow - 1) / kPerRow * kBlock;
    if (const std::size_t hidden = view.threads.size() - p.shown.size(); hidden > 0)
        put(p, row++ - 1, 0, "and " + std::to_string(hidden) + (hidden == 1 ? " more thread" : " more threads") +
                                 ", which cannot go on now", A_DIM);
    // Who holds what, and the semaphores' counts.
    const std::vector<std::string> state = wrapped(view.state.empty() ? "nothing held" : view.state, COLS - 1);
    for (std::size_t k = 0; k < std::min<std::size_t>(state.size(), 2); k++)
        put(p, row++, 0, state[k], A_DIM);
    // The program's output so far, the newest at the bottom, with the rules' notes, and
    // what it wrote to standard error.
    const int foot = LINES - 4;
    std::vector<std::pair<std::string, std::string>> lines;  // text, note
    std::vector<short> colour;
    const std::vector<std::vector<shown_t>> shown = shown_lines(seen);
    for (std::size_t k = 0; k < seen.turns.size(); k++) {
        for (const shown_t &line : shown[k]) {
            if (!line.text.empty() || line.broken.empty()) {
                lines.push_back({expand_tabs(line.text), line.note});
                colour.push_back(0);
            }
            for (const std::string &b : line.broken) {
                lines.push_back({"  " + b, ""});
                colour.push_back(kWaitPair);
            }
        }
        for (std::size_t from = 0; from < seen.turns[k].err.size();) {
            const std::string &err = seen.turns[k].err;
            const std::size_t nl = err.find('\n', from);
            lines.push_back({"! " + err.substr(from, nl == std::string::npos ? std::string::npos : nl - from), ""});
            colour.push_back(kWaitPair);
            from = nl == std::string::npos ? err.size() : nl + 1;
        }
    }
    put(p, row++, 0, "output:", A_BOLD);
    const int room = std::max(0, foot - row);
    const std::size_t first = lines.size() > static_cast<std::size_t>(room) ? lines.size() - static_cast<std::size_t>(room) : 0;
    for (std::size_t k = first; k < lines.size(); k++, row++) {
        put(p, row, 0, lines[k].first, colour[k] != 0 ? A_BOLD : A_NORMAL, colour[k]);
        if (!lines[k].second.empty())
            put(p, row, std::max(watch::kColumn, static_cast<int>(lines[k].first.size()) + 2), lines[k].second, A_DIM);
    }
    // What the last turn did, what there is to say, and the keys.
    if (!seen.turns.empty()) {
        const turn_t &last = seen.turns.back();
        put(p, LINES - 4, 0, "turn " + std::to_string(seen.turns.size()) + ": " +
                                 view.threads[static_cast<std::size_t>(last.thread)].name + " " +
                                 (last.call == call_t::output && last.action.how == 'r' ? writes(last) : last.does));
    }
    const std::vector<std::string> said = wrapped(p.message, COLS - 1);
    for (std::size_t k = 0; k < std::min<std::size_t>(said.size(), 2); k++)
        put(p, LINES - 3 + static_cast<int>(k), 0, said[k], p.bad ? A_BOLD : A_NORMAL, p.bad ? kWaitPair : 0);
    const bool following = static_cast<int>(seen.turns.size()) < static_cast<int>(p.planned.size());
    std::string keys = over ? "u undo   s save   q quit"
                            : std::string(1, kThreadKeys.front()) + "-" +
                                  kThreadKeys[std::max<std::size_t>(p.shown.size(), 1) - 1] + " run that thread   " +
                                  (following ? "space the schedule's next turn" : "space run on") +
                                  "   u undo   s save   q quit";
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
    std::string why;
    if (p.taken.empty()) {
        p.message = "nothing to save yet";
        p.bad = false;
    } else if (!save_schedule(p.path, p.target, p.bounds, p.taken, why)) {
        p.message = "not saved: " + why;
        p.bad = true;
    } else {
        p.message = "saved " + std::to_string(p.taken.size()) + (p.taken.size() == 1 ? " turn" : " turns") + " in " +
                    p.path + "; replay them with " + command_line(p.self, {"--replay", p.path});
        p.bad = false;
    }
}

int next_key(player_t &p)
{
    if (!p.keys.empty()) {
        const int key = p.keys.front();
        p.keys.pop_front();
        return key;
    }
    return getch();
}

// The keys that work at every moment: undo, save, quit. True when the key was one of them.
bool common_key(player_t &p, int key)
{
    if (key == 'q' || key == 3 || leaving) {
        if (key == 3)
            leaving = SIGINT;
        p.quit = true;
    } else if (key == 'u') {
        if (p.taken.empty()) {
            p.message = "nothing to undo";
            p.bad = false;
            return true;
        }
        p.taken.pop_back();
        p.undo = true;
        p.ran_on = -1;
        p.message.clear();
    } else if (key == 's') {
        save(p);
        return true;
    } else {
        return false;
    }
    return true;
}

// Nothing new for a while: turns that changed nothing the model holds and printed nothing.
bool nothing_new(const run_result_t &so_far)
{
    int quiet = 0;
    for (auto turn = so_far.turns.rbegin(); turn != so_far.turns.rend() && quiet < kNothingNew; ++turn, ++quiet)
        if (turn->changed || !turn->out.empty() || !turn->err.empty())
            return false;
    return quiet >= kNothingNew;
}

// The keys pressed since the last look, without waiting: q and Ctrl-C (or SIGTERM) end the
// play at once; the others are kept for when the player asks for a key. True to leave.
bool watch_keys(player_t &p)
{
    timeout(0);
    for (int key; (key = getch()) != ERR;) {
        if (key == 3)
            leaving = SIGINT;
        if (key == 'q' || key == 3)
            p.quit = true;
        else
            p.keys.push_back(key);
    }
    timeout(kPoll);
    if (leaving)
        p.quit = true;
    return p.quit;
}

int take(player_t &p, const std::vector<action_t> &actions, int k)
{
    p.taken.push_back(actions[static_cast<std::size_t>(k)]);
    return k;
}

chooser_t chooser(player_t &p)
{
    return [&p](const decision_t &d) {
        const std::vector<action_t> &actions = d.actions;
        // First the turns already chosen: after an undo.
        if (d.turn < static_cast<int>(p.taken.size())) {
            for (std::size_t k = 0; k < actions.size(); k++)
                if (actions[k] == p.taken[static_cast<std::size_t>(d.turn)])
                    return static_cast<int>(k);
            p.message = "at turn " + std::to_string(d.turn + 1) +
                        " the program went another way than before; the turns after it are dropped";
            p.bad = true;
            p.taken.resize(static_cast<std::size_t>(d.turn));
        }
        // Running on, while only one thread can go on and something new happens. Keys
        // pressed meanwhile wait for the run-on to end, but q and Ctrl-C, which end it.
        if (p.ran_on >= 0) {
            const int only = only_move(actions);
            watch_keys(p);
            if (only >= 0 && !p.quit && p.ran_on < kRunOnMost && !nothing_new(*d.look().so_far)) {
                p.ran_on++;
                return take(p, actions, only);
            }
            if (p.quit)
                return kStop;
            if (only >= 0)
                p.message = p.ran_on >= kRunOnMost ? "ran on " + std::to_string(kRunOnMost) + " turns: space runs on more"
                                                   : "nothing new in " + std::to_string(kNothingNew) + " turns: the thread "
                                                     "goes round without changing anything";
            p.ran_on = -1;
        }
        const view_t view = d.look();
        const run_result_t seen = judged(p, view, *view.so_far);
        if (seen.fault.kind == fault_t::rule && p.message.empty()) {
            p.message = seen.fault.headline;
            p.bad = true;
        }
        for (;;) {
            draw(p, view, actions, seen, false);
            const int key = next_key(p);
            if (key == ERR && !leaving)
                continue;
            if (common_key(p, key)) {
                if (p.quit || p.undo)
                    return kStop;
                continue;
            }
            if (!big_enough())
                continue;
            if (key == ' ' || key == '\n' || key == KEY_ENTER) {
                if (const int planned = planned_move(p, actions, d.turn); planned >= 0) {
                    p.message.clear();
                    return take(p, actions, planned);
                }
                if (const int only = only_move(actions); only >= 0) {
                    p.ran_on = 0;
                    p.message.clear();
                    return take(p, actions, only);
                }
                p.message = "more than one thread can go on here: choose one";
                p.bad = false;
                continue;
            }
            const std::size_t index = kThreadKeys.find(static_cast<char>(key));
            if (key < 0 || key > 255 || index == std::string_view::npos || index >= p.shown.size())
                continue;
            const int id = p.shown[index];
            if (const int move = action_of(actions, id); move >= 0) {
                const int planned = planned_move(p, actions, d.turn);
                p.message = planned >= 0 && planned != move ? "you left the schedule here: its turns after this one are dropped" : "";
                p.bad = false;
                if (planned >= 0 && planned != move)
                    p.planned.resize(static_cast<std::size_t>(d.turn));
                return take(p, actions, move);
            }
            const thread_view_t &t = view.threads[static_cast<std::size_t>(id)];
            p.message = t.name + (t.ended ? " has ended" : " cannot " + t.next + " now: " + t.waits);
            p.bad = false;
        }
    };
}

std::function<bool()> watching_keys(player_t &p)
{
    return [&p] { return watch_keys(p); };
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

int play(const target_t &target, const bounds_t &bounds, std::vector<action_t> planned, const std::string &path,
         const std::string &self)
{
    if (!isatty(0) || !isatty(1)) {
        complain("--step needs a terminal: its standard input and output are the keys you press and the screen "
                 "you read");
        return 2;
    }
    player_t p{.target = target, .bounds = bounds, .path = path, .self = self, .planned = std::move(planned)};
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
        run_result_t run = run_once(p.target, p.bounds, chooser(p), watching_keys(p));
        if (p.undo) {
            p.undo = false;
            continue;
        }
        if (p.quit)
            break;
        if (run.fault.kind == fault_t::unsteerable) {
            endwin();
            complain("cannot steer " + shell_word(target.named) + ": " + run.fault.headline);
            return 2;
        }
        judge(p.target, run);
        p.message = ending(run);
        p.bad = run.fault.kind != fault_t::none;
        // The run is over: undo, save or quit.
        for (;;) {
            draw(p, run.end, {}, run, true);
            const int key = next_key(p);
            if ((key != ERR || leaving) && common_key(p, key) && (p.quit || p.undo))
                break;
        }
        p.undo = false;
    }
    endwin();
    // Stopped by a signal, it says so as a search does: 128 and the signal's number.
    return leaving != 0 ? 128 + leaving : 0;
}

}  // namespace interleave
