// Exercise: two threads and one last seat.
//
// What it should do: two threads each try to book the one seat left; the one that finds
// it free takes it, the other is turned away. The main thread then says who has it: one
// booking, never two.
// What goes wrong: on almost every run one thread books it; on some, both do.
//
// Built with interleave-c++ (as the build does), so that every read and write of memory is
// a turn of its own: the look at `free_seat` and the write that takes it are two.
//
// From the repository's top folder, once ./tour has built everything:
// Find it:   build/release/bin/interleave check_then_act
// See it:    build/release/bin/interleave --replay check_then_act.schedule
// Play it:   build/release/bin/interleave --step check_then_act   (you choose every turn:
//            let both threads look at the seat before either takes it)
// Mend it:   what a thread saw is only true while no other can change it. Rebuild it
//            (cmake --build --preset release --target check_then_act) and search again: it
//            should find nothing, and say that it tried every distinct order of its calls
//            and memory accesses: a proof.

#include <cstdio>
#include <pthread.h>

bool free_seat = true;  // the last seat: free until someone books it
int bookings;           // seats booked, by either thread

void *customer(void *)
{
    if (free_seat) {
        free_seat = false;
        __atomic_add_fetch(&bookings, 1, __ATOMIC_SEQ_CST);  // counted with no loss of its own
    }
    return nullptr;
}

int main()
{
    pthread_t one, two;
    pthread_create(&one, nullptr, customer, nullptr);
    pthread_create(&two, nullptr, customer, nullptr);
    pthread_join(one, nullptr);
    pthread_join(two, nullptr);
    std::printf("%d booking%s of the last seat\n", bookings, bookings == 1 ? "" : "s");
    return bookings == 1 ? 0 : 1;
}
