// Random priorities (probabilistic concurrency testing, Burckhardt and others, 2010): each
// thread gets a random priority as it starts, the highest that can go on always goes, and
// at d - 1 random turns the thread about to go drops below all the others. A bug that needs
// d turns to come in a certain order shows in each run with a chance of at least
// 1 / (n k^(d-1)), for n threads and k turns: a guarantee that plain random choice lacks.
#include <algorithm>
#include <map>
#include <memory>
#include <random>

#include "policy.h"

namespace interleave {
namespace {

class random_priorities_t : public policy_t {
public:
    random_priorities_t(unsigned seed, int depth) : seed_(seed), depth_(std::max(depth, 1)) {}

    bool next(chooser_t &choose, std::string &how) override
    {
        auto rng = std::make_shared<std::mt19937>(seed_ + static_cast<unsigned>(runs));
        std::vector<int> changes;
        for (int k = 1; k < depth_; k++)
            changes.push_back(1 + static_cast<int>((*rng)() % static_cast<unsigned>(std::max(turns_, 1))));
        auto priority = std::make_shared<std::map<int, long>>();
        how = "random priorities, seed " + std::to_string(seed_ + static_cast<unsigned>(runs));
        const int depth = depth_;
        choose = [rng, changes, priority, depth](const decision_t &d) {
            // A thread's own choice: a signal sent to it, which arrives as soon as it can;
            // else its call if it can make it, else its timeout, else a wake-up with no signal.
            const auto rank = [](char how) {
                return how == 'g' ? 0 : how == 'r' || how == 'c' ? 1 : how == 't' || how == 'a' ? 2 : 3;
            };
            for (const action_t &a : d.actions)
                if (!priority->contains(a.thread))
                    (*priority)[a.thread] = depth + static_cast<long>((*rng)() % 1000000);
            const auto best = [&] {
                int chosen = -1;
                for (std::size_t k = 0; k < d.actions.size(); k++) {
                    const action_t &a = d.actions[k];
                    if (chosen < 0)
                        chosen = static_cast<int>(k);
                    const action_t &b = d.actions[static_cast<std::size_t>(chosen)];
                    const long pa = priority->at(a.thread), pb = priority->at(b.thread);
                    if (pa > pb || (pa == pb && rank(a.how) < rank(b.how)))
                        chosen = static_cast<int>(k);
                }
                return chosen;
            };
            int chosen = best();
            // A thread that sleeps or backs off gives way: it drops below every other, as on a
            // real machine any thread that can go now goes before a sleeper wakes. Without
            // this, a thread of high priority that loops through its sleeps would keep every
            // other from its turn for ever.
            const action_t &c = d.actions[static_cast<std::size_t>(chosen)];
            const bool now = std::ranges::any_of(d.actions, [&](const action_t &a) { return a.at < c.at; });
            if (now || (d.backing_off.contains(c.thread) && d.actions.size() > 1)) {
                long lowest = priority->begin()->second;
                for (const auto &[thread, p] : *priority)
                    lowest = std::min(lowest, p);
                (*priority)[c.thread] = lowest - 1;
                chosen = best();
            }
            for (std::size_t i = 0; i < changes.size(); i++)
                if (changes[i] == d.turn + 1) {
                    (*priority)[d.actions[static_cast<std::size_t>(chosen)].thread] = static_cast<long>(i) + 1;
                    chosen = best();
                }
            return chosen;
        };
        return true;
    }

    void learn(const run_result_t &run) override
    {
        runs++;
        turns_ = std::max(turns_, static_cast<int>(run.choices.size()));
        threads_ = std::max(threads_, static_cast<int>(run.names.size()));
    }

    coverage_t covered() const override
    {
        coverage_t c;
        const double k = std::max(turns_, 1);
        double odds = std::max(threads_, 1);
        for (int i = 1; i < depth_; i++)
            odds *= k;
        c.said = std::to_string(runs) + " with random priorities that change at " + std::to_string(depth_ - 1) +
                 " turns: each finds a fault that needs " + std::to_string(depth_) +
                 " turns in a given order with a chance of at least 1 in " + number(odds) + " (" +
                 plural(threads_, "thread") + ", " + plural(turns_, "turn") + ")";
        return c;
    }

private:
    static std::string number(double n)
    {
        char text[32];
        std::snprintf(text, sizeof text, n < 1e7 ? "%.0f" : "%.1e", n);
        return text;
    }

    unsigned seed_;
    int depth_;
    int turns_ = 1, threads_ = 1;  // the most seen in a run
};

}  // namespace

std::unique_ptr<policy_t> random_priorities(unsigned seed, int depth)
{
    return std::make_unique<random_priorities_t>(seed, depth);
}

}  // namespace interleave
