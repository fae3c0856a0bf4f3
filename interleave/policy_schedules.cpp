// Every schedule, with no reduction: at every turn where more than one thing could happen,
// each of them is tried, depth first, so that every run differs from all the others at
// some turn. A program of a few turns has few schedules; one of a few dozen has far too
// many. It is the search that every other is checked against: the outcomes that every
// distinct order reaches must be the ones that every schedule reaches.
#include <algorithm>
#include <climits>

#include "choosers.h"
#include "policy.h"

namespace interleave {
namespace {

// A turn of the runs tried so far: what the last of them took there, and what is left to
// take there, each with the same turns before it.
struct branch_t {
    action_t taken;
    std::vector<action_t> left;
};

class every_schedule_t : public policy_t {
public:
    int window() const override { return INT_MAX; }
    bool wants_steps() const override { return true; }  // for the count of distinct orders among its runs

    bool next(chooser_t &choose, std::string &how) override
    {
        std::vector<action_t> prefix;
        if (runs > 0) {
            while (!path_.empty() && path_.back().left.empty())
                path_.pop_back();
            if (path_.empty())
                return false;
            branch_t &b = path_.back();
            b.taken = b.left.back();
            b.left.pop_back();
            for (const branch_t &each : path_)
                prefix.push_back(each.taken);
        }
        planned_ = prefix.size();
        how = "every schedule, " + (runs == 0 ? std::string("the default order first") : "run " + std::to_string(runs + 1));
        choose = [prefix](const decision_t &d) {
            const auto t = static_cast<std::size_t>(d.turn);
            if (t >= prefix.size())
                return by_default(d);
            for (std::size_t k = 0; k < d.actions.size(); k++)
                if (d.actions[k] == prefix[t])
                    return static_cast<int>(k);
            return -1;
        };
        return true;
    }

    void learn(const run_result_t &run) override
    {
        runs++;
        cut_ = cut_ || run.cut;
        if (run.fault.kind == fault_t::diverged || run.choices.size() < planned_) {
            lost_ = true;  // the program went another way than the same turns before: no proof
            path_.clear();
            return;
        }
        // The turns after the branch, each with what else could have happened there.
        for (std::size_t t = planned_; t < run.choices.size() && t < run.choosable.size(); t++) {
            branch_t b{run.choices[t], {}};
            for (const action_t &a : run.choosable[t])
                if (!(a == run.choices[t]))
                    b.left.push_back(a);
            path_.push_back(std::move(b));
        }
    }

    coverage_t covered() const override
    {
        coverage_t c;
        const bool done = runs > 0 && std::all_of(path_.begin(), path_.end(), [](const branch_t &b) { return b.left.empty(); });
        if (lost_) {
            c.said = "every schedule, one run each, until a run went another way than the same turns before (the "
                     "program depends on something interleave does not fix): " + plural(runs, "run");
        } else if (done && !cut_) {
            c.complete = true;
            c.said = "every schedule there is, with no reduction: " + plural(runs, "run");
        } else if (done) {
            c.said = "every schedule of the turns before the cut, with no reduction: " + plural(runs, "run") +
                     "; as the runs were cut, that is not every schedule";
        } else {
            c.said = "schedules one by one, with no reduction: " + plural(runs, "run") + ", and more were left to try";
        }
        return c;
    }

private:
    std::vector<branch_t> path_;
    std::size_t planned_ = 0;  // turns the run given out follows before it goes its own way
    bool cut_ = false;
    bool lost_ = false;
};

}  // namespace

std::unique_ptr<policy_t> every_schedule()
{
    return std::make_unique<every_schedule_t>();
}

}  // namespace interleave
