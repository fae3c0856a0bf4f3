// A worker retries std::timed_mutex::try_lock_for with short waits while main holds the mutex for a while.
// interleave: 0: correct: a failed timed try is expected and retried, and the lock is given back once taken
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

std::timed_mutex lock;

void worker()
{
    int failed = 0;
    while (!lock.try_lock_for(std::chrono::milliseconds(20)))
        failed++;
    lock.unlock();
    std::printf("locked after %d failed tries\n", failed);
}

int main()
{
    lock.lock();
    std::thread t(worker);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    lock.unlock();
    t.join();
    return 0;
}
