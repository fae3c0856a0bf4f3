// Every distinct order of a program's calls: two runs are one order when one becomes the
// other by swapping neighbouring turns that do not depend on each other (depend.h), so it
// is enough to run one of them. The search is the dynamic partial-order reduction that
// Flanagan and Godefroid published in 2005, with sleep sets: after each run it finds the
// pairs of dependent turns of different threads that nothing forced into the order they
// came in (a race), and plans a run that reverses each, from the point before the first;
// a sleep set carries the turns whose orders were already tried down each new run, and a
// run that could only repeat one of those is stopped early. The plans wait in a queue,
// fewest switches first, so the first fault found is one of the fewest switches.
//
// A run cut at the turn bound has each action that could have come next tried in place of a
// turn that could have been the last; that is not every order of the first N turns (orders
// that differ only in which turns fell past the cut may be left out), so a search with cut
// runs never says it is complete. A thread that tries again what failed (a try-lock in a
// loop) has each of its tries put in another order: the program may do something else
// after the second failure than after the first, and interleave cannot tell that it does
// not.
#include <algorithm>
#include <iterator>
#include <map>
#include <queue>
#include <set>

#include "choosers.h"
#include "policy.h"

namespace interleave {
namespace {

constexpr std::size_t kMostSteps = 20000;    // a longer run is beyond this search
constexpr std::size_t kMostNodes = 4000000;  // states kept, at most (about a gigabyte)
constexpr std::size_t kMostClocks = 20000000;  // turns times threads in one run's analysis
constexpr std::size_t kMostNamed = 5000;       // turns of a run whose order is named

using sleeper_t = std::pair<action_t, int>;  // an action, and what it touches (an index)

// A state reached by a run: what could happen there, what has been tried from it, and what
// is yet to be.
struct node_t {
    int parent = -1;
    action_t via{};  // what led here
    int touched = -1;  // what `via` touched
    int switches = 0;  // switches on the way here
    bool known = false;
    std::vector<action_t> enabled;
    std::vector<sleeper_t> asleep;  // tried in another order already: not to be tried here
    std::vector<std::pair<action_t, int>> started;  // and the state it led to (-1 until learnt)
    std::vector<action_t> wanted;
};

struct entry_t {
    int switches;
    long seq;
    int node;
    action_t action;
    bool operator<(const entry_t &o) const { return switches != o.switches ? switches > o.switches : seq < o.seq; }
};

// What one run follows, and what its chooser learns as it goes.
struct plan_t {
    std::vector<action_t> prefix;  // to the branch, and the action taken there
    std::vector<sleeper_t> asleep;  // at the branch, besides the action taken there
    std::vector<std::vector<sleeper_t>> sleeps;  // at each turn after the branch
    bool blocked = false;  // every action it could take was asleep
    std::map<int, bool> idle;  // each thread: whether its last turn was idle (run.h)
};

bool has(const std::vector<action_t> &list, const action_t &a)
{
    return std::find(list.begin(), list.end(), a) != list.end();
}

bool has(const std::vector<sleeper_t> &list, const action_t &a)
{
    return std::any_of(list.begin(), list.end(), [&](const sleeper_t &s) { return s.first == a; });
}

using clock_t_ = std::vector<uint32_t>;

void join(clock_t_ &into, const clock_t_ &from)
{
    if (into.size() < from.size())
        into.resize(from.size());
    for (std::size_t k = 0; k < from.size(); k++)
        into[k] = std::max(into[k], from[k]);
}

// The turns of one run that touched one thing, and the happens-before clocks they leave.
struct history_t {
    std::vector<std::pair<int, role_t>> writes, reads, commutes;  // by turn, in order
    clock_t_ w, r, c;  // the last exclusive turn's clock; the reads' and moves' since
};

using thing_key_t = std::tuple<thing_t, uint64_t, uint64_t>;

// A run seen as a partial order: each turn's thread, its number within its thread, its
// vector clock; each thread's turns; each thing's history.
struct order_t {
    std::vector<int> thread, index;
    std::vector<clock_t_> clock;
    std::vector<std::vector<int>> turns_of;  // by thread
    std::vector<clock_t_> born;              // a thread's clock as it was created
    std::vector<int> born_at;                // the turn that created it
    std::map<thing_key_t, history_t> things;
};

thing_key_t key_of(const access_t &x)
{
    return {x.thing, x.a, x.b};
}

// The clock a turn would have, given what it touches and its thread's clock before it.
void joined_clock(const order_t &o, const footprint_t &f, clock_t_ &c)
{
    for (const access_t &x : f) {
        const auto it = o.things.find(key_of(x));
        if (it == o.things.end())
            continue;
        join(c, it->second.w);
        if (!looks(x.role))
            join(c, it->second.r);
        if (x.role != role_t::commute)
            join(c, it->second.c);
    }
}

order_t order_of(const run_result_t &run, std::size_t threads)
{
    order_t o;
    const std::size_t n = run.steps.size();
    o.thread.resize(n);
    o.index.resize(n);
    o.clock.resize(n);
    o.turns_of.resize(threads);
    o.born.assign(threads, clock_t_(threads, 0));
    o.born_at.assign(threads, -1);
    std::vector<uint32_t> counted(threads, 0);
    for (std::size_t e = 0; e < n; e++) {
        const step_t &s = run.steps[e];
        const auto p = static_cast<std::size_t>(s.action.thread);
        clock_t_ c = o.turns_of[p].empty() ? o.born[p] : o.clock[static_cast<std::size_t>(o.turns_of[p].back())];
        joined_clock(o, s.touched, c);
        c[p] = ++counted[p];
        o.thread[e] = s.action.thread;
        o.index[e] = static_cast<int>(c[p]);
        for (const access_t &x : s.touched) {
            history_t &h = o.things[key_of(x)];
            const int turn = static_cast<int>(e);
            if (looks(x.role)) {
                join(h.r, c);
                h.reads.push_back({turn, x.role});
            } else if (x.role == role_t::commute) {
                join(h.c, c);
                h.commutes.push_back({turn, x.role});
            } else {
                h.w = c;
                h.r.clear();
                h.c.clear();
                h.writes.push_back({turn, x.role});
            }
        }
        if (s.new_thread != kNobody && static_cast<std::size_t>(s.new_thread) < threads) {
            o.born[static_cast<std::size_t>(s.new_thread)] = c;
            o.born_at[static_cast<std::size_t>(s.new_thread)] = static_cast<int>(e);
        }
        o.clock[e] = std::move(c);
        o.turns_of[p].push_back(static_cast<int>(e));
    }
    return o;
}

// How many threads a run's turns name: those that took turns or were made, and those that
// could have.
std::size_t threads_in(const run_result_t &run)
{
    std::size_t threads = 1;
    const auto count = [&](int thread) { threads = std::max(threads, static_cast<std::size_t>(std::max(thread, 0)) + 1); };
    for (const step_t &s : run.steps) {
        count(s.action.thread);
        count(s.new_thread);
        for (const auto &e : s.enabled)
            count(e.first.thread);
    }
    for (const auto &w : run.waiting)
        count(w.first.thread);
    return threads;
}

class every_order_t : public policy_t {
public:
    explicit every_order_t(const bounds_t &bounds) : bounds_(bounds) { nodes_.emplace_back(); }

    bool wants_steps() const override { return true; }

    bool next(chooser_t &choose, std::string &how) override
    {
        if (given_up_)
            return false;
        auto plan = std::make_shared<plan_t>();
        if (runs > 0) {
            entry_t e{};
            for (;;) {
                if (queue_.empty())
                    return false;
                e = queue_.top();
                queue_.pop();
                node_t &n = nodes_[static_cast<std::size_t>(e.node)];
                if (std::none_of(n.started.begin(), n.started.end(), [&](const auto &s) { return s.first == e.action; }))
                    break;
            }
            node_t &n = nodes_[static_cast<std::size_t>(e.node)];
            std::erase(n.wanted, e.action);
            plan->asleep = n.asleep;
            for (const auto &[a, child] : n.started)
                if (child >= 0)
                    plan->asleep.push_back({a, nodes_[static_cast<std::size_t>(child)].touched});
            n.started.push_back({e.action, -1});
            for (int at = e.node; at > 0; at = nodes_[static_cast<std::size_t>(at)].parent)
                plan->prefix.push_back(nodes_[static_cast<std::size_t>(at)].via);
            std::reverse(plan->prefix.begin(), plan->prefix.end());
            plan->prefix.push_back(e.action);
            how = "every distinct order, " + switches_text(e.switches);
        } else {
            how = "every distinct order, the default order first";
        }
        plan_ = plan;
        untold_ = true;
        choose = [this, plan](const decision_t &d) { return choose_in(*plan, d); };
        return true;
    }

    void learn(const run_result_t &run) override
    {
        runs++;
        untold_ = false;
        if (given_up_)
            return;
        if (run.fault.kind == fault_t::diverged || run.steps.size() < plan_->prefix.size()) {
            give_up("a run that followed the turns of one before went another way: the program depends on "
                    "something interleave does not fix (a file, its process id, the real clock)");
            return;
        }
        if (run.steps.size() > kMostSteps) {
            give_up("runs of more than " + std::to_string(kMostSteps) + " turns are beyond it");
            return;
        }
        if (run.vast) {
            give_up("the program reads or writes more than " + std::to_string(kWordsTold * 8) +
                    " bytes in one access (a copy of a big block), which it follows only in part");
            return;
        }
        if (run.aliased) {
            give_up("the program shares memory between processes at different addresses, and its turns "
                    "cannot be told apart");
            return;
        }
        // Orders are counted by their names, so that a run that turned out to be one tried
        // already (the search may come to an order twice) is not counted twice.
        if (plan_->blocked) {
            blocked_++;
        } else if (std::string name = order_name(run); name.empty()) {
            orders_++;  // too long to name: counted as it comes
        } else if (names_.insert(std::move(name)).second) {
            orders_++;
        }
        cut_ = cut_ || run.cut;
        const std::vector<int> path = remember(run);
        if (nodes_.size() > kMostNodes) {
            give_up("it reached as far as its memory allows");
            return;
        }
        const std::size_t threads = threads_in(run);
        if (threads * run.steps.size() > kMostClocks) {
            give_up("runs with this many threads and turns are beyond it");
            return;
        }
        analyse(run, path, order_of(run, threads));
    }

    coverage_t covered() const override
    {
        coverage_t c;
        c.orders = orders_;
        const std::string counted = plural(orders_, "order") + " in " + plural(runs, "run") +
                                    (blocked_ > 0 ? " (" + std::to_string(blocked_) + " of them stopped early: the order they "
                                                         "began was one tried already)"
                                                  : "");
        const std::string of = cut_ ? "of its first " + plural(bounds_.turns, "turn") : "of its calls";
        const std::string tried = plural(orders_, "distinct order") + " " + of + " tried in " + plural(runs, "run");
        // A run the time limit cut short never told what it found: its order is still to try.
        const std::size_t planned = queue_.size() + (untold_ ? 1 : 0);
        if (!given_up_ && planned == 0 && runs > 0 && !cut_) {
            c.complete = true;
            c.said = "every distinct order " + of + " tried: " + counted;
        } else if (!given_up_ && planned == 0 && runs > 0) {
            // Cut runs leave out orders that differ only in which turns came before the cut:
            // what it tried is no proof even of the turns before it.
            c.said = tried + ", fewest switches first, until it found none more to try; as the runs were cut, that "
                             "is not every order";
        } else if (given_up_) {
            c.said = tried + ", then it stopped: " + why_;
        } else {
            c.said = tried + ", fewest switches first; " + std::to_string(planned) +
                     (planned == 1 ? " more was planned" : " more were planned");
        }
        return c;
    }

private:
    static std::string switches_text(int n)
    {
        return n == 0 ? "no switch more" : n == 1 ? "switching once more" : n == 2 ? "switching twice more"
                                                                                      : "switching " + std::to_string(n) + " times more";
    }

    void give_up(const std::string &why)
    {
        given_up_ = true;
        why_ = why;
    }

    int choose_in(plan_t &plan, const decision_t &d)
    {
        const auto t = static_cast<std::size_t>(d.turn);
        const std::size_t branch = plan.prefix.size();
        if (t > 0)
            plan.idle[d.so_far.steps[t - 1].action.thread] = d.so_far.steps[t - 1].idle;
        if (t < branch) {
            for (std::size_t k = 0; k < d.actions.size(); k++)
                if (d.actions[k] == plan.prefix[t])
                    return static_cast<int>(k);
            return -1;
        }
        // What is asleep here: what was asleep before, but for what depends on the turn
        // just taken.
        std::vector<sleeper_t> asleep = t == branch ? plan.asleep : plan.sleeps.back();
        if (t > 0) {
            const step_t &last = d.so_far.steps[t - 1];
            std::erase_if(asleep, [&](const sleeper_t &s) {
                return s.first.thread == last.action.thread || s.second < 0 ||
                       dependent(footprints_[static_cast<std::size_t>(s.second)], last.touched);
            });
        }
        // A thread that backs off waits for another to change something. Where only such
        // threads are awake, and each spins (its last turn changed nothing and waited on
        // nothing), a sleeping one must wake, or the run would spin for ever: it goes again
        // where it has gone before, which costs a run but loses no order. (Where nothing at
        // all is awake, every way on is an order tried already: the run stops.) A thread that
        // writes, or times out waiting on an object whose changes would wake a sleeper, does
        // not spin: waking a sleeper for it would only try one order again at every turn.
        const auto awake_now = [&](const action_t &a) { return !has(asleep, a); };
        const bool only_backing_off =
            std::ranges::any_of(d.actions, awake_now) && std::ranges::all_of(d.actions, [&](const action_t &a) {
                return !awake_now(a) || (d.backing_off.contains(a.thread) && plan.idle[a.thread]);
            });
        if (only_backing_off)
            asleep.clear();
        plan.sleeps.push_back(asleep);
        std::vector<action_t> awake;
        std::vector<int> index;
        for (std::size_t k = 0; k < d.actions.size(); k++)
            if (!has(asleep, d.actions[k])) {
                awake.push_back(d.actions[k]);
                index.push_back(static_cast<int>(k));
            }
        if (awake.empty()) {
            plan.blocked = true;
            return kStop;
        }
        // The default order, among what is awake; where that leaves only waits that end
        // with no signal, one of those.
        const int k = by_default({awake, d.last, d.turn, d.backing_off, d.woken, d.look, d.so_far});
        return index[static_cast<std::size_t>(std::max(k, 0))];
    }

    bool switched(const node_t &n, const action_t &a) const
    {
        if (n.parent < 0 || a.thread == n.via.thread)
            return false;
        return has(n.enabled, action_t{n.via.thread, 'r', 0}) || has(n.enabled, action_t{n.via.thread, 'c', 0});
    }

    // The run's states in the tree, new ones added: one for each turn taken, and the last.
    std::vector<int> remember(const run_result_t &run)
    {
        std::vector<int> path{0};
        const std::size_t branch = plan_->prefix.size();
        for (std::size_t t = 0; t < run.steps.size(); t++) {
            const int at = path.back();
            const step_t &s = run.steps[t];
            if (!nodes_[static_cast<std::size_t>(at)].known) {
                node_t &n = nodes_[static_cast<std::size_t>(at)];
                n.known = true;
                for (const auto &[a, touched] : s.enabled)
                    n.enabled.push_back(a);
            }
            int child = -1;
            for (const auto &[a, c] : nodes_[static_cast<std::size_t>(at)].started)
                if (a == s.action)
                    child = c;
            if (child < 0) {
                node_t made;
                made.parent = at;
                made.via = s.action;
                made.touched = static_cast<int>(footprints_.size());
                footprints_.push_back(s.touched);
                made.switches = nodes_[static_cast<std::size_t>(at)].switches + switched(nodes_[static_cast<std::size_t>(at)], s.action);
                if (t + 1 >= branch && t + 1 - branch < plan_->sleeps.size())
                    made.asleep = plan_->sleeps[t + 1 - branch];
                child = static_cast<int>(nodes_.size());
                nodes_.push_back(std::move(made));
                auto &started = nodes_[static_cast<std::size_t>(at)].started;
                auto it = std::find_if(started.begin(), started.end(), [&](const auto &x) { return x.first == s.action; });
                if (it != started.end())
                    it->second = child;
                else
                    started.push_back({s.action, child});
            }
            path.push_back(child);
        }
        return path;
    }

    // Something to try at a state: the action, or where it cannot be taken there, every
    // action that can.
    void want(int at, const action_t &a)
    {
        node_t &n = nodes_[static_cast<std::size_t>(at)];
        if (!n.known)
            return;
        if (!has(n.enabled, a)) {
            for (const action_t &other : std::vector<action_t>(n.enabled))
                want(at, other);
            return;
        }
        if (has(n.wanted, a) || has(n.asleep, a) ||
            std::any_of(n.started.begin(), n.started.end(), [&](const auto &s) { return s.first == a; }))
            return;
        n.wanted.push_back(a);
        queue_.push({n.switches + (switched(n, a) ? 1 : 0), seq_++, at, a});
    }

    // The turns before `before` that race with an action of thread p touching f: dependent
    // on it, of another thread, not known to p, and able to be about to happen with it.
    // Those at or after `from` (where the action became p's next), and the last before it.
    std::vector<int> races(const order_t &o, const footprint_t &f, const std::vector<const footprint_t *> &touched, int p,
                           const clock_t_ &known, int from, int before) const
    {
        std::vector<int> found;
        int last_before = -1;
        const auto qualifies = [&](int i) {
            return o.thread[static_cast<std::size_t>(i)] != p &&
                   (static_cast<std::size_t>(o.thread[static_cast<std::size_t>(i)]) >= known.size() ||
                    known[static_cast<std::size_t>(o.thread[static_cast<std::size_t>(i)])] <
                        static_cast<uint32_t>(o.index[static_cast<std::size_t>(i)])) &&
                   coenabled(*touched[static_cast<std::size_t>(i)], o.thread[static_cast<std::size_t>(i)], f, p);
        };
        const auto known_to_p = [&](int i) {
            const auto q = static_cast<std::size_t>(o.thread[static_cast<std::size_t>(i)]);
            return o.thread[static_cast<std::size_t>(i)] == p ||
                   (q < known.size() && known[q] >= static_cast<uint32_t>(o.index[static_cast<std::size_t>(i)]));
        };
        for (const access_t &x : f) {
            const auto it = o.things.find(key_of(x));
            if (it == o.things.end())
                continue;
            const history_t &h = it->second;
            // The exclusive turns are in happens-before order: the first one known to p
            // hides all before it, and the reads and moves before it too.
            int hidden = -1;
            const auto scan = [&](const std::vector<std::pair<int, role_t>> &list, bool ordered) {
                auto end = std::lower_bound(list.begin(), list.end(), std::pair<int, role_t>{before, role_t::read},
                                            [](const auto &a, const auto &b) { return a.first < b.first; });
                for (auto at = end; at != list.begin();) {
                    --at;
                    const int i = at->first;
                    if (i < hidden)
                        break;
                    if (!conflict(at->second, x.role))
                        continue;
                    if (o.thread[static_cast<std::size_t>(i)] != p && known_to_p(i)) {
                        if (ordered) {
                            hidden = i;
                            break;
                        }
                        continue;
                    }
                    if (!qualifies(i))
                        continue;
                    if (i >= from) {
                        found.push_back(i);
                        continue;
                    }
                    last_before = std::max(last_before, i);
                    break;
                }
            };
            scan(h.writes, true);
            if (!looks(x.role))
                scan(h.reads, false);
            if (x.role != role_t::commute)
                scan(h.commutes, false);
        }
        if (last_before >= 0)
            found.push_back(last_before);
        return found;
    }

    // The race of turn i with action a (of another thread, whose happens-before clock is
    // `clock`, coming at `until`). Reversed, the run would go on from before i with the turns
    // after i that do not depend on it, then a: what can begin that order are its initials,
    // the turns that nothing before them in it must precede (source sets, Abdulla and
    // others, 2014). One of them is tried, unless one is tried already.
    void reversal(const order_t &o, const run_result_t &run, int at, int i, int until, const action_t &a,
                  const clock_t_ &clock)
    {
        const auto after_i = [&](const clock_t_ &c) {
            const auto q = static_cast<std::size_t>(o.thread[static_cast<std::size_t>(i)]);
            return q < c.size() && c[q] >= static_cast<uint32_t>(o.index[static_cast<std::size_t>(i)]);
        };
        // Each thread's first turn after i, if it does not come after i by happens-before.
        std::map<int, int> first;
        std::vector<int> seen;
        for (int k = i + 1; k < until; k++) {
            const int q = o.thread[static_cast<std::size_t>(k)];
            if (std::find(seen.begin(), seen.end(), q) != seen.end())
                continue;
            seen.push_back(q);
            if (!after_i(o.clock[static_cast<std::size_t>(k)]))
                first[q] = k;
        }
        const auto initial = [&](const clock_t_ &c, int k) {
            for (const auto &[r, kr] : first)
                if (kr < k && static_cast<std::size_t>(r) < c.size() &&
                    c[static_cast<std::size_t>(r)] >= static_cast<uint32_t>(o.index[static_cast<std::size_t>(kr)]))
                    return false;
            return true;
        };
        std::vector<action_t> initials;
        for (const auto &[q, k] : first)
            if (initial(o.clock[static_cast<std::size_t>(k)], k))
                initials.push_back(run.steps[static_cast<std::size_t>(k)].action);
        if (!first.contains(a.thread) && initial(clock, until))
            initials.push_back(a);
        node_t &n = nodes_[static_cast<std::size_t>(at)];
        for (const action_t &b : initials)
            if (has(n.wanted, b) || has(n.asleep, b) ||
                std::any_of(n.started.begin(), n.started.end(), [&](const auto &x) { return x.first == b; }))
                return;
        // The race's own action if it begins the order, else the first that does.
        const auto own = std::find(initials.begin(), initials.end(), a);
        want(at, own != initials.end() ? a : initials.empty() ? a : initials.front());
    }

    void analyse(const run_result_t &run, const std::vector<int> &path, const order_t &o)
    {
        const std::size_t n = run.steps.size();
        std::vector<const footprint_t *> touched(n);
        for (std::size_t e = 0; e < n; e++)
            touched[e] = &run.steps[e].touched;
        // Where each thread's next action became its next: after its turn before, or its creation.
        const auto start_of = [&](int p, std::size_t turn_pos) -> std::pair<int, clock_t_> {
            const auto &turns = o.turns_of[static_cast<std::size_t>(p)];
            auto it = std::lower_bound(turns.begin(), turns.end(), static_cast<int>(turn_pos));
            if (it != turns.begin()) {
                const int prev = *(it - 1);
                return {prev + 1, o.clock[static_cast<std::size_t>(prev)]};
            }
            return {o.born_at[static_cast<std::size_t>(p)] + 1, o.born[static_cast<std::size_t>(p)]};
        };
        // Each race reversed: unless a run from the state before its first turn already
        // begins as the reversed order would (or is asleep there), one more that does.
        const auto reverse = [&](const std::vector<int> &found, const action_t &a, const clock_t_ &clock, int until) {
            for (int i : found)
                reversal(o, run, path[static_cast<std::size_t>(i)], i, until, a, clock);
        };
        // Each turn taken, against the turns before it. And where the thread that took it
        // could have done something else instead (a signal arrives before its call, or its
        // wait times out), that is tried from the same state: a thread's own choice is no
        // race with another thread, which only an order of two threads' turns would show.
        for (std::size_t e = 0; e < n; e++) {
            const step_t &s = run.steps[e];
            const auto [from, known] = start_of(s.action.thread, e);
            reverse(races(o, s.touched, touched, s.action.thread, known, from, static_cast<int>(e)), s.action, o.clock[e],
                    static_cast<int>(e));
            for (const auto &[a, predicted] : s.enabled)
                if (a.thread == s.action.thread && !(a == s.action))
                    want(path[e], a);
            // A signal that arrived while its thread's call could not end: the call might
            // have ended first, once another turn let it, and the signal after. Which turn
            // that is the run does not say, so each that could come here is tried (an
            // action that cannot be taken is wanted so).
            if (s.action.how == 'g' && std::ranges::find(s.held, s.action.thread) != s.held.end())
                want(path[e], action_t{s.action.thread, 'r', 0});
        }
        // What could have happened and did not (a timeout, a wake-up with no signal), and
        // what each thread would have done next where the run ended.
        std::vector<bool> seen(run.predicted.size(), false);
        const auto other = [&](const action_t &a, int predicted, std::size_t at) {
            if (seen[static_cast<std::size_t>(predicted)])
                return;
            seen[static_cast<std::size_t>(predicted)] = true;
            const auto &turns = o.turns_of[static_cast<std::size_t>(a.thread)];
            const auto next = std::lower_bound(turns.begin(), turns.end(), static_cast<int>(at));
            const std::size_t until = next == turns.end() ? n : static_cast<std::size_t>(*next);
            if (until < n && run.steps[until].action.how == a.how)
                return;  // taken: looked at above, with what it really touched
            const auto [from, known] = start_of(a.thread, at);
            const footprint_t &f = run.predicted[static_cast<std::size_t>(predicted)];
            clock_t_ clock = known;
            joined_clock(o, f, clock);
            reverse(races(o, f, touched, a.thread, known, from, static_cast<int>(until)), a, clock, static_cast<int>(until));
        };
        for (std::size_t t = 0; t < n; t++)
            for (const auto &[a, predicted] : run.steps[t].enabled)
                if (!(a == run.steps[t].action))
                    other(a, predicted, t);
        for (const auto &[a, predicted] : run.waiting)
            other(a, predicted, n);
        // Cut at the bound: an action that could have come next instead takes the place of
        // a turn that could have been the last.
        if (!run.cut)
            return;
        for (const action_t &a : run.last_choosable) {
            const auto w = std::find_if(run.waiting.begin(), run.waiting.end(), [&](const auto &x) { return x.first == a; });
            if (w == run.waiting.end())
                continue;
            auto [from, known] = start_of(a.thread, n);
            clock_t_ c = known;
            joined_clock(o, run.predicted[static_cast<std::size_t>(w->second)], c);
            // Any turn that nothing after it depends on could have been the last one; so
            // could a, in its place, unless a must come after it.
            clock_t_ later(o.born.size(), 0);
            for (std::size_t j = n; j-- > 0;) {
                const auto q = static_cast<std::size_t>(o.thread[j]);
                const auto index = static_cast<uint32_t>(o.index[j]);
                const bool last = q >= later.size() || later[q] < index;
                if (last && o.thread[j] != a.thread && (q >= c.size() || c[q] < index))
                    want(path[j], a);
                for (std::size_t r = 0; r < later.size() && r < o.clock[j].size(); r++)
                    later[r] = std::max(later[r], o.clock[j][r]);
            }
        }
    }

    bounds_t bounds_;
    std::vector<node_t> nodes_;
    std::vector<footprint_t> footprints_;
    std::priority_queue<entry_t> queue_;
    long seq_ = 0;
    std::shared_ptr<plan_t> plan_;
    long orders_ = 0, blocked_ = 0;
    std::set<std::string> names_;  // of the orders tried
    bool cut_ = false;
    bool given_up_ = false;
    bool untold_ = false;  // the last run given out has not been learnt from
    std::string why_;
};

}  // namespace

std::string order_name(const run_result_t &run)
{
    if (run.steps.empty() || run.steps.size() > kMostNamed)
        return "";
    const std::size_t threads = threads_in(run);
    const order_t o = order_of(run, threads);
    // The first turn, in the order of the threads, that every turn it depends on has come
    // before: again and again.
    std::vector<std::size_t> next(threads, 0);
    std::vector<uint32_t> done(threads, 0);
    std::string name;
    for (std::size_t emitted = 0; emitted < run.steps.size(); emitted++)
        for (std::size_t p = 0; p < threads; p++) {
            if (next[p] == o.turns_of[p].size())
                continue;
            const auto e = static_cast<std::size_t>(o.turns_of[p][next[p]]);
            bool ready = true;
            for (std::size_t q = 0; q < threads && ready; q++)
                ready = q == p || o.clock[e][q] <= done[q];
            if (!ready)
                continue;
            next[p]++;
            done[p]++;
            name += std::to_string(p) + run.steps[e].action.how;
            break;
        }
    return name;
}

std::unique_ptr<policy_t> every_order(const bounds_t &bounds)
{
    return std::make_unique<every_order_t>(bounds);
}

}  // namespace interleave
