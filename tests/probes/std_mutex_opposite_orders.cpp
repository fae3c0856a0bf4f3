// Two std::threads each take two std::mutexes with std::lock_guard, in opposite orders.
// interleave: 1: deadlock when each thread holds its first mutex and waits for the other's
#include <cstdio>
#include <mutex>
#include <thread>

std::mutex ledger, audit;
int entries;  // guarded by both

void take(std::mutex &first, std::mutex &second)
{
    std::lock_guard<std::mutex> one(first);
    std::lock_guard<std::mutex> two(second);
    entries++;
}

int main()
{
    std::thread a([] { take(ledger, audit); });
    std::thread b([] { take(audit, ledger); });
    a.join();
    b.join();
    std::printf("%d entries\n", entries);
    return 0;
}
