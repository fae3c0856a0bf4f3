// Two std::threads run at once, each with its own copy of a vector, and write their own slot; main joins both.
// interleave: 0: nothing is shared; the C++ runtime frees the first thread's state, and the allocator may give the block to the second, which is new memory then
// build: accesses
#include <cstdio>
#include <thread>
#include <vector>

int main()
{
    std::vector<int> v{1, 2, 3};
    int sums[2] = {0, 0};
    std::thread a([v, &sums] { sums[0] = v[0] + v[1]; });
    std::thread b([v, &sums] { sums[1] = v[1] + v[2]; });
    a.join();
    b.join();
    std::printf("%d %d\n", sums[0], sums[1]);
    return sums[0] == 3 && sums[1] == 5 ? 0 : 1;
}
