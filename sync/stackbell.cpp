// stackbell: a producer and a consumer thread handing numbered products over through a
// linked list guarded by a mutex, with a condition variable that lets the consumer sleep
// while the list is empty. Products are pushed at the head and taken from the head, so
// the newest is consumed first: a stack.
//
// Run:   stackbell           (stop it with Ctrl-C; tracewatch stackbell shows the list)
// Watch: when the producer gets ahead, the newest product is consumed first: after
//        "-Produce ---5" and "-Produce ---9", "-Consume ---9" comes before "-Consume ---5".

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>
#include <unistd.h>

constexpr int kPause = 5;  // pauses of 0 to 4 seconds

// One product; next points toward older ones.
struct msg {
    msg *next;
    int num;
};

msg *head;  // the newest product, or none
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;        // guards head and the links
pthread_cond_t has_product = PTHREAD_COND_INITIALIZER;  // signalled after each push

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
        std::perror("stackbell: write");
    _exit(1);
}

// Both threads draw from the one generator, rand(). POSIX does not promise that it may be
// called from several threads at once; glibc's locks its state.

// Locking, unlocking, waiting and signalling with a default, statically initialised
// mutex and condition variable cannot fail when used as here; their results are not
// looked at.
void *producer(void *)
{
    for (;;) {
        msg *mp = new (std::nothrow) msg;
        if (mp == nullptr) {
            std::fprintf(stderr, "stackbell: no memory for another product\n");
            std::exit(1);
        }
        mp->num = std::rand() % 1000 + 1;
        if (std::printf("-Produce ---%d\n", mp->num) < 0)
            output_failed();

        pthread_mutex_lock(&lock);
        mp->next = head;
        head = mp;
        pthread_mutex_unlock(&lock);

        pthread_cond_signal(&has_product);
        sleep(static_cast<unsigned>(std::rand() % kPause));
    }
}

void *consumer(void *)
{
    for (;;) {
        pthread_mutex_lock(&lock);
        // The wait gives the mutex up while it sleeps and takes it back before returning;
        // the list is looked at again after every wake-up, which may be spurious.
        while (head == nullptr)
            pthread_cond_wait(&has_product, &lock);
        msg *mp = head;
        head = mp->next;
        pthread_mutex_unlock(&lock);

        if (std::printf("-Consume ---%d\n", mp->num) < 0)
            output_failed();
        delete mp;
        sleep(static_cast<unsigned>(std::rand() % kPause));
    }
}

int main()
{
    // Every line reaches a pipe or a file at once, and none is lost when we are stopped.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::srand(static_cast<unsigned>(std::time(nullptr)));
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
    return 0;
}
