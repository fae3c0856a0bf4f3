// Three std::threads race to set up a table through std::call_once; the set-up pauses halfway.
// interleave: 0: correct: the routine runs once, and no thread returns from call_once before it has finished
#include <array>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

std::once_flag once;
std::array<int, 8> table;
int setups;
std::mutex lock;
int half_seen;  // threads that found the table unfinished after call_once; guarded by lock

void set_up()
{
    setups++;
    for (int i = 0; i < 4; i++)
        table[i] = i + 1;
    std::this_thread::sleep_for(std::chrono::microseconds(1));
    for (int i = 4; i < 8; i++)
        table[i] = i + 1;
}

void user()
{
    std::call_once(once, set_up);
    std::lock_guard<std::mutex> guard(lock);
    half_seen += table[7] != 8;
}

int main()
{
    std::thread a(user), b(user), c(user);
    a.join();
    b.join();
    c.join();
    std::printf("%d set-up, %d saw it unfinished\n", setups, half_seen);
    return setups == 1 && half_seen == 0 ? 0 : 1;
}
