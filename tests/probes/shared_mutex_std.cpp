// Two readers and a writer share a pair of values under a std::shared_mutex; the writer changes them one at a time.
// interleave: 0: correct: shared holders may overlap each other but never the exclusive one, so the pair reads equal
#include <chrono>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <thread>

std::shared_mutex rw;
int first, second;  // equal whenever nobody holds rw exclusively
std::mutex count_lock;
int torn;  // pairs seen unequal; guarded by count_lock

void pause_briefly()
{
    std::this_thread::sleep_for(std::chrono::microseconds(1));
}

void reader()
{
    for (int k = 0; k < 3; k++) {
        int a, b;
        {
            std::shared_lock<std::shared_mutex> shared(rw);
            a = first;
            pause_briefly();
            b = second;
        }
        std::lock_guard<std::mutex> guard(count_lock);
        torn += a != b;
    }
}

void writer()
{
    for (int k = 0; k < 3; k++) {
        std::unique_lock<std::shared_mutex> exclusive(rw);
        first++;
        pause_briefly();
        second++;
    }
}

int main()
{
    std::thread r1(reader), w(writer), r2(reader);
    r1.join();
    w.join();
    r2.join();
    std::printf("%d torn reads, pair %d %d\n", torn, first, second);
    return torn == 0 && first == 3 && second == 3 ? 0 : 1;
}
