// Exercise: two threads counting into one counter.
//
// What it should do: two threads each count one visitor into a shared counter; the main
// thread waits for both and says how many came: 2.
// What goes wrong: it says 2 on almost every run; on some, 1.
//
// Built with interleave-c++ (as the build does), so that every read and write of memory is
// a turn of its own: count++ is a read, then a write.
//
// From the repository's top folder, once ./tour has built everything:
// Find it:   build/release/bin/interleave lost_update
// See it:    build/release/bin/interleave --replay lost_update.schedule
// Play it:   build/release/bin/interleave --step lost_update   (you choose every turn: let
//            both threads read count before either writes it back)
// Mend it:   a read and the write that follows it must be one step to the other thread.
//            Rebuild it (cmake --build --preset release --target lost_update) and search
//            again: it should find nothing, and say that it tried every distinct order of
//            its calls and memory accesses: a proof.

#include <cstdio>
#include <pthread.h>

int count;  // visitors so far, shared by both threads

void *visitor(void *)
{
    count++;
    return nullptr;
}

int main()
{
    pthread_t one, two;
    pthread_create(&one, nullptr, visitor, nullptr);
    pthread_create(&two, nullptr, visitor, nullptr);
    pthread_join(one, nullptr);
    pthread_join(two, nullptr);
    std::printf("%d visitors\n", count);
    return count == 2 ? 0 : 1;
}
