// Three workers fill their parts of a result, count down a std::latch and wait on a second one; main waits on the first.
// interleave: 0: correct: main reads the result only after all three counted down, and the workers leave together
#include <array>
#include <cstdio>
#include <latch>
#include <thread>

std::array<int, 3> part;
std::latch filled(3);    // main waits for the three parts
std::latch leaving(3);   // the workers wait for each other

void worker(int i)
{
    part[static_cast<std::size_t>(i)] = i + 1;
    filled.count_down();
    leaving.arrive_and_wait();
}

int main()
{
    std::thread a(worker, 0), b(worker, 1), c(worker, 2);
    filled.wait();
    const int sum = part[0] + part[1] + part[2];
    a.join();
    b.join();
    c.join();
    std::printf("sum %d\n", sum);
    return sum == 6 ? 0 : 1;
}
