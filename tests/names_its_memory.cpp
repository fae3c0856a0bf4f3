// A thread writes a member, an element of a two-dimensional array, a bool, an unsigned,
// a double, a pointer and an atomic counter, and reads the C library's stdout; main joins it, reads what it wrote through a
// local, and ends with status 1, so that interleave saves its one run's schedule.
#include <atomic>
#include <cstdio>
#include <pthread.h>

struct point {
    int x;
    int y;
};
point pt;
int grid[3][4];
bool done;
unsigned big = 4000000000u;
double share = 1.5;
int *where;
std::atomic<int> hits;

void *writer(void *)
{
    pt.y = 2;
    grid[1][2] = 7;
    done = true;
    big = 4000000001u;
    share = 2.5;
    where = &grid[0][0];
    hits.fetch_add(1);
    std::fflush(stdout);
    return nullptr;
}

int main()
{
    pthread_t t;
    pthread_create(&t, nullptr, writer, nullptr);
    pthread_join(t, nullptr);
    return pt.y + grid[1][2] + hits.load() == 10 ? 1 : 0;
}
