// Two std::threads each add to a tally through nested calls that relock a std::recursive_mutex.
// interleave: 0: correct: the holder may relock a recursive mutex, and it is free only after the last unlock
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

std::recursive_mutex lock;  // set up by its constructor alone: no init call to see
int tally;                  // guarded by lock

void add(int depth)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (depth > 1)
        add(depth - 1);
    int seen = tally;
    std::this_thread::sleep_for(std::chrono::microseconds(1));
    tally = seen + 1;
}

void worker()
{
    for (int round = 0; round < 2; round++)
        add(3);
}

int main()
{
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    std::printf("tally %d\n", tally);
    return tally == 12 ? 0 : 1;
}
