// Two std::threads pass a turn back and forth three times through two std::binary_semaphores.
// interleave: 0: correct: each side waits for the other's release before going on, and both end
#include <cstdio>
#include <semaphore>
#include <thread>

std::binary_semaphore ping(0), pong(0);
int turns;  // changed only by whoever holds the turn

void ponger()
{
    for (int k = 0; k < 3; k++) {
        ping.acquire();
        turns++;
        pong.release();
    }
}

int main()
{
    std::thread t(ponger);
    for (int k = 0; k < 3; k++) {
        turns++;
        ping.release();
        pong.acquire();
    }
    t.join();
    std::printf("%d turns\n", turns);
    return turns == 6 ? 0 : 1;
}
