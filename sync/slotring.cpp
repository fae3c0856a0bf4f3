// slotring: a producer and a consumer thread passing numbers through a ring of five
// slots; two counting semaphores do all the coordination.
//
// Run:   slotring            (stop it with Ctrl-C; tracewatch slotring shows the ring)
// Watch: numbers come out in the order they went in, and the producer is never more
//        than five ahead. The generator is never seeded, so every run draws the same values.
//
// Why no mutex: each thread keeps its own slot index, and the semaphores keep the producer
// off any slot the consumer has not emptied yet and the consumer off any slot not yet
// filled, so no slot is ever used by both at once. A second producer would share the
// producer's side of the ring: two producers could take the same slot, and they would
// need a mutex around choosing a slot and filling it.

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

constexpr int kSlots = 5;
constexpr int kPause = 3;  // pauses of 0 to 2 seconds

// Both threads draw their numbers and pauses from the one generator. POSIX does not promise
// that rand() may be called from several threads at once; glibc's locks its state.
std::array<int, kSlots> queue;  // 0 marks a free slot
sem_t blank_number;             // free slots
sem_t product_number;           // filled slots

[[noreturn]] void die(const char *label)
{
    std::perror(label);
    std::exit(1);
}

// The pthread calls return an error number instead of setting errno.
[[noreturn]] void die_rc(int rc, const char *label)
{
    std::fprintf(stderr, "%s: %s\n", label, std::strerror(rc));
    std::exit(1);
}

// A print that fails ends the run. If the reader of our output went away, SIGPIPE has
// usually ended us already; where it is ignored, the print fails with EPIPE instead, and
// we leave as quietly. Any other failure (a full disk) is worth a word.
[[noreturn]] void output_failed()
{
    if (errno != EPIPE)
        std::perror("slotring: write");
    _exit(1);
}

// Takes one from a semaphore, waiting while it is 0. A wait can be cut short by a signal
// (after Ctrl-Z and fg, say); then it simply waits again.
void take(sem_t *sem)
{
    while (sem_wait(sem) == -1)
        if (errno != EINTR)
            die("sem_wait");
}

// A post fails only when the count would overflow, which the ring's bound rules out.
void *producer(void *)
{
    for (int i = 0;; i = (i + 1) % kSlots) {
        take(&blank_number);
        queue[i] = std::rand() % 1000 + 1;
        if (std::printf("----Produce---%d\n", queue[i]) < 0)
            output_failed();
        sem_post(&product_number);
        sleep(static_cast<unsigned>(std::rand() % kPause));
    }
}

void *consumer(void *)
{
    for (int i = 0;; i = (i + 1) % kSlots) {
        take(&product_number);
        if (std::printf("-Consume---%d\n", queue[i]) < 0)
            output_failed();
        queue[i] = 0;
        sem_post(&blank_number);
        sleep(static_cast<unsigned>(std::rand() % kPause));
    }
}

int main()
{
    // Every line reaches a pipe or a file at once, and none is lost when we are stopped.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // pshared = 0: the semaphores are shared by the threads of this process only.
    if (sem_init(&blank_number, 0, kSlots) == -1 || sem_init(&product_number, 0, 0) == -1)
        die("sem_init");
    pthread_t pid, cid;
    if (int rc = pthread_create(&pid, nullptr, producer, nullptr); rc != 0)
        die_rc(rc, "pthread_create");
    if (int rc = pthread_create(&cid, nullptr, consumer, nullptr); rc != 0)
        die_rc(rc, "pthread_create");

    // Neither thread ends: the joins wait until the process is stopped from outside.
    if (int rc = pthread_join(pid, nullptr); rc != 0)
        die_rc(rc, "pthread_join");
    if (int rc = pthread_join(cid, nullptr); rc != 0)
        die_rc(rc, "pthread_join");
    sem_destroy(&blank_number);
    sem_destroy(&product_number);
    return 0;
}
