// A thread that computes for eight seconds between two prints: the player of interleave
// --step must still answer q while it does.
#include <chrono>
#include <cstdio>

int main()
{
    std::printf("computing\n");
    volatile unsigned long sum = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (std::chrono::steady_clock::now() < until)  // steady_clock here is the program's own
        for (int k = 0; k < 1000000; k++)
            sum = sum + static_cast<unsigned long>(k);
    std::printf("done\n");
    return 0;
}
