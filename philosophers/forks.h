// The fork order of the dining philosophers, the same in dinerspawn and dinerlanes.
#pragma once

constexpr int kPhilosophers = 5;  // and as many forks, fork k lying between philosophers k - 1 and k

struct forks_t {
    int l;  // taken first, waiting for it if need be
    int r;  // only tried: if a neighbour holds it, the philosopher puts l back
};

// Philosopher i takes fork i first and tries fork i + 1, except the last, who takes fork 0
// first and tries fork 4. So everyone reaches first for the lower-numbered of their two
// forks, and no ring of philosophers can each hold one fork while waiting for the next:
// this order alone rules out deadlock, even if the second fork were waited for. Only
// trying the second fork is a second, separate cure; either would do.
constexpr forks_t fork_order(int i)
{
    return (i == kPhilosophers - 1) ? forks_t{0, i} : forks_t{i, i + 1};
}
