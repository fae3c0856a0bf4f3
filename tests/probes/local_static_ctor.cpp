// Two threads reach a function-local static whose constructor fills a table in two halves, printing between them.
// interleave: 0: correct: the C++ runtime builds the static once, and a thread that comes during the build waits for it
#include <array>
#include <cstdio>
#include <mutex>
#include <thread>

int built;  // constructions; only the constructor changes it

struct squares_t {
    std::array<int, 16> value;
    squares_t()
    {
        built++;
        for (int i = 0; i < 8; i++)
            value[i] = i * i;
        std::printf("building the table\n");
        for (int i = 8; i < 16; i++)
            value[i] = i * i;
    }
};

const squares_t &squares()
{
    static squares_t table;
    return table;
}

std::mutex lock;
int wrong;  // lookups that found an unfinished table; guarded by lock

void look_up()
{
    const int last = squares().value[15];
    std::lock_guard<std::mutex> guard(lock);
    wrong += last != 225;
}

int main()
{
    std::thread a(look_up), b(look_up);
    a.join();
    b.join();
    std::printf("built %d time(s), %d wrong lookups\n", built, wrong);
    return built == 1 && wrong == 0 ? 0 : 1;
}
