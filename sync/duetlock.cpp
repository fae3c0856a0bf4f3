// duetlock: a mutex keeping two threads' lines whole. The main thread prints HELLO WORLD
// lines and a second thread hello world lines; each line goes out in two parts with a
// pause between them, inside the locked region, so that the words of a line stay
// together and the two threads' lines never mix.
//
// Run:   duetlock            (it ends by itself after five HELLO WORLD lines; tracewatch
//                              duetlock shows how long each line held the mutex)
// Watch: a first word often waits a second or two for its second word, and nothing of the
//        other thread comes in between. After its fifth line the main thread cancels the
//        other thread, which can be cancelled only between its lines, never inside one.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

constexpr int kLines = 5;  // the main thread's lines
constexpr int kPause = 3;  // pauses of 0 to 2 seconds

pthread_mutex_t mutex;  // held while a line is being printed

// The pthread calls return an error number instead of setting errno.
[[noreturn]] void die_rc(int rc, const char *label)
{
    std::fprintf(stderr, "%s: %s\n", label, std::strerror(rc));
    std::exit(1);
}

// Locking and unlocking a default mutex that this thread does not already hold, and does
// hold, cannot fail; their results are not looked at.
void *tfn(void *)
{
    // The one generator, seeded again. POSIX does not promise that rand() may be called
    // from several threads at once; glibc's locks its state.
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    for (;;) {
        // Cancelled inside the locked region, this thread would leave half a line behind
        // and the mutex locked; so cancellation waits while it holds the mutex.
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        pthread_mutex_lock(&mutex);
        std::printf("hello ");
        std::fflush(stdout);  // show the first word now, before the pause
        sleep(static_cast<unsigned>(std::rand() % kPause));
        std::printf("world\n");
        pthread_mutex_unlock(&mutex);
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        pthread_testcancel();  // a cancel that came during the line takes effect here
        sleep(static_cast<unsigned>(std::rand() % kPause));
    }
}

int main()
{
    // Every line reaches a pipe or a file as soon as it is complete.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    int flag = kLines;
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    if (int rc = pthread_mutex_init(&mutex, nullptr); rc != 0)
        die_rc(rc, "pthread_mutex_init");
    pthread_t tid;
    if (int rc = pthread_create(&tid, nullptr, tfn, nullptr); rc != 0)
        die_rc(rc, "pthread_create");

    while (flag--) {
        pthread_mutex_lock(&mutex);
        std::printf("HELLO ");
        std::fflush(stdout);
        sleep(static_cast<unsigned>(std::rand() % kPause));
        std::printf("WORLD\n");
        pthread_mutex_unlock(&mutex);
        sleep(static_cast<unsigned>(std::rand() % kPause));
    }

    if (int rc = pthread_cancel(tid); rc != 0)
        die_rc(rc, "pthread_cancel");
    if (int rc = pthread_join(tid, nullptr); rc != 0)
        die_rc(rc, "pthread_join");
    pthread_mutex_destroy(&mutex);  // unlocked: the other thread ended between its lines

    // A failed write (a full disk, a closed pipe) leaves only the stream's error flag
    // behind: look at it before claiming success.
    if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
        std::fprintf(stderr, "duetlock: could not write to standard output\n");
        return 1;
    }
    return 0;
}
