// Fewest departures first: every schedule that follows the default order but at k turns,
// where something else that could happen happens instead (another thread goes on, a wait
// times out), for k = 0, 1, 2... Most bugs need one or two; each k is complete when every
// such schedule has run. Each schedule with k departures is made once, from the one with
// its first k - 1, by one more departure after the last.
#include <climits>
#include <deque>

#include "choosers.h"
#include "policy.h"

namespace interleave {
namespace {

using departures_t = std::vector<std::pair<int, action_t>>;  // turn, what happens there instead

// A run of one level, and the departures that the next level adds to it.
struct parent_t {
    departures_t departures;
    std::vector<std::pair<int, action_t>> more;
    std::size_t next = 0;
};

class fewest_departures_t : public policy_t {
public:
    int window() const override { return INT_MAX; }
    bool wants_steps() const override { return true; }  // for the count of distinct orders among its runs

    bool next(chooser_t &choose, std::string &how) override
    {
        departures_t plan;
        if (runs > 0) {
            while (!parents_.empty() && parents_.front().next == parents_.front().more.size())
                parents_.pop_front();
            if (parents_.empty())
                return false;
            parent_t &p = parents_.front();
            plan = p.departures;
            plan.push_back(p.more[p.next++]);
        }
        current_ = plan;
        how = plan.empty() ? "the default order" : "the default order, leaving it " + times(plan.size());
        choose = [plan](const decision_t &d) {
            for (const auto &[at, wanted] : plan)
                if (at == d.turn)
                    for (std::size_t i = 0; i < d.actions.size(); i++)
                        if (d.actions[i] == wanted)
                            return static_cast<int>(i);
            return by_default(d);
        };
        return true;
    }

    void learn(const run_result_t &run) override
    {
        runs++;
        cut_ = cut_ || run.cut;
        const std::size_t level = current_.size();
        if (total_.size() < level + 2) {
            total_.resize(level + 2, 0);
            done_.resize(level + 2, 0);
        }
        total_[0] = 1;
        done_[level]++;
        parent_t p;
        p.departures = current_;
        const int from = current_.empty() ? 0 : current_.back().first + 1;
        for (int turn = from; turn < static_cast<int>(run.choosable.size()); turn++)
            for (const action_t &other : run.choosable[static_cast<std::size_t>(turn)])
                if (!(other == run.choices[static_cast<std::size_t>(turn)]))
                    p.more.push_back({turn, other});
        total_[level + 1] += static_cast<long>(p.more.size());
        if (!p.more.empty())
            parents_.push_back(std::move(p));
    }

    coverage_t covered() const override
    {
        coverage_t c;
        // The levels all of whose schedules have run; the next one's count is then known.
        std::size_t complete = 0;
        while (complete < done_.size() && done_[complete] == total_[complete] && total_[complete] > 0)
            complete++;
        if (complete == 0) {
            c.said = runs == 0 ? "nothing" : "the default order";
            return c;
        }
        const long next = complete < total_.size() ? total_[complete] : 0;
        if (next == 0 && !cut_) {
            c.complete = true;
            c.said = "every schedule there is, leaving the default order at any turns: " + plural(runs, "run");
            return c;
        }
        if (next == 0) {
            // What lay past the cut was never a choice, so this is no proof of any turns.
            c.said = "every schedule that leaves the default order at any turn before the cut: " + plural(runs, "run") +
                     "; as the runs were cut, that is not every schedule";
            return c;
        }
        c.said = complete == 1 ? "the default order" : "every schedule that leaves the default order at most " +
                                                           times(complete - 1) + " (another thread, a timeout)";
        c.said += complete == 1 ? ", and " : "; and ";
        c.said += std::to_string(done_[complete]) + " of the " + std::to_string(next) + " schedules that leave it " +
                  times(complete);
        return c;
    }

private:
    static std::string times(std::size_t k)
    {
        return k == 1 ? "once" : k == 2 ? "twice" : std::to_string(k) + " times";
    }

    std::deque<parent_t> parents_;
    departures_t current_;
    std::vector<long> total_, done_;  // schedules of each level, and those run
    bool cut_ = false;                 // some run met the turn bound
};

}  // namespace

std::unique_ptr<policy_t> fewest_departures()
{
    return std::make_unique<fewest_departures_t>();
}

}  // namespace interleave
