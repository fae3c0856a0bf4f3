// Two threads each add 1 to a std::atomic<int> three times with fetch_add; main checks the total after joining.
// interleave: 0: an atomic read-modify-write cannot lose an update, and atomic accesses do not race with each other
// build: accesses
#include <atomic>
#include <cstdio>
#include <thread>

std::atomic<int> counter{0};

int main()
{
    const auto add = [] {
        for (int k = 0; k < 3; k++)
            counter.fetch_add(1);
    };
    std::thread a(add), b(add);
    a.join();
    b.join();
    std::printf("%d\n", counter.load());
    return counter.load() == 6 ? 0 : 1;
}
