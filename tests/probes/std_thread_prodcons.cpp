// A std::thread producer queues ten numbers for a consumer thread, with a std::mutex and a std::condition_variable.
// interleave: 0: correct: the consumer waits with a predicate, so it neither misses an item nor takes one that is not there
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

constexpr int kItems = 10;

std::mutex lock;
std::condition_variable has_item;
std::deque<int> queue;  // guarded by lock

void producer()
{
    for (int k = 1; k <= kItems; k++) {
        {
            std::lock_guard<std::mutex> guard(lock);
            queue.push_back(k);
        }
        has_item.notify_one();
    }
}

int main()
{
    std::thread t(producer);
    int sum = 0;
    for (int k = 0; k < kItems; k++) {
        std::unique_lock<std::mutex> held(lock);
        has_item.wait(held, [] { return !queue.empty(); });
        sum += queue.front();
        queue.pop_front();
    }
    t.join();
    std::printf("sum %d\n", sum);
    return sum == kItems * (kItems + 1) / 2 ? 0 : 1;
}
