// pulsewait: a line printed each time a wait on a semaphore reaches its deadline, and at
// once whenever the user enters a line. The main thread waits with a deadline; a reader
// thread posts the semaphore after each read from standard input, ending the wait early.
//
// Run:   pulsewait           (type lines; stop it with Ctrl-C; tracewatch pulsewait shows
//                              the gaps)
// Watch: " hello world" every five seconds, on a whole second of the clock; a line the
//        moment you press Enter, and the next one 4 to 5 seconds after it. Three lines
//        typed quickly bring three lines at once.

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

constexpr time_t kPeriod = 5;  // seconds between lines when nobody types
constexpr std::size_t kBuffer = 1024;

sem_t s;  // one post per completed read

[[noreturn]] void die(const char *label)
{
    std::perror(label);
    std::exit(1);
}

// A print that fails ends the run. If the reader of our output went away, SIGPIPE has
// usually ended us already; where it is ignored, the print fails with EPIPE instead, and
// we leave as quietly. Any other failure (a full disk) is worth a word.
[[noreturn]] void output_failed()
{
    if (errno != EPIPE)
        std::perror("pulsewait: write");
    _exit(1);
}

void *tfn(void *)
{
    std::array<char, kBuffer> buf;  // what is read is never looked at
    for (;;) {
        ssize_t n = read(0, buf.data(), buf.size());
        if (n == -1 && errno == EINTR)
            continue;
        // At the end of input every read returns at once, and posting for each would
        // print without pause; nothing more can come, so the reader stops. The rhythm of
        // the deadlines goes on.
        if (n == 0)
            return nullptr;
        if (n == -1) {
            std::perror("pulsewait: read");
            return nullptr;
        }
        sem_post(&s);  // fails only if the count would overflow
    }
}

// The current time in whole seconds, from the clock the timed wait measures against.
// (time() reads a coarser clock that can lag behind it by a tick; a deadline built on it
// would make a wait that starts right after a timeout last 4 seconds instead of 5.)
time_t now_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

int main()
{
    // Every line reaches a pipe or a file at once, and none is lost when we are stopped.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (sem_init(&s, 0, 0) == -1)
        die("sem_init");
    pthread_t tid;
    if (int rc = pthread_create(&tid, nullptr, tfn, nullptr); rc != 0) {
        std::fprintf(stderr, "pthread_create: %s\n", std::strerror(rc));
        return 1;
    }

    timespec t{now_seconds() + 1, 0};  // the deadline: the next whole second
    for (;;) {
        // The wait ends by taking a post, by reaching the deadline or by an interruption;
        // the line comes all the same, so the result is not looked at.
        sem_timedwait(&s, &t);
        if (std::printf(" hello world\n") < 0)
            output_failed();
        t = {now_seconds() + kPeriod, 0};
    }
}
