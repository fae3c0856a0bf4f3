// A thread waits for a flag with std::condition_variable::wait_for in short slices, counting the slices that ran out.
// interleave: 0: correct: a slice that ends without the flag is waited again; the predicate is looked at after every wake
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

std::mutex lock;
std::condition_variable changed;
bool ready;  // guarded by lock

void setter()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard<std::mutex> guard(lock);
        ready = true;
    }
    changed.notify_one();
}

int main()
{
    std::thread t(setter);
    int slices = 0;
    {
        std::unique_lock<std::mutex> held(lock);
        while (!changed.wait_for(held, std::chrono::milliseconds(10), [] { return ready; }))
            slices++;
    }
    t.join();
    std::printf("ready after %d empty slices\n", slices);
    return 0;
}
