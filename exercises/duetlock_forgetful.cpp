// Exercise: two threads printing two-part lines.
//
// What it should do: as duetlock, the main thread prints five HELLO WORLD lines and a
// second thread hello world lines, each line in two parts with a pause between them; a
// mutex keeps every line whole.
// What goes wrong: the lines come out whole in most runs, and yet a line can be torn.
//
// From the repository's top folder, once ./tour has built everything:
// Find it:   build/release/bin/interleave duetlock_forgetful
// See it:    build/release/bin/interleave --replay duetlock_forgetful.schedule
// Play it:   build/release/bin/interleave --step duetlock_forgetful   (you choose every
//            turn: switch threads between the two words of a line)
// Mend it:   a mutex protects only what every thread does while holding it. Rebuild it
//            (cmake --build --preset release --target duetlock_forgetful) and search again.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

pthread_mutex_t mutex;  // held while a line is being printed

void *tfn(void *)
{
    for (;;) {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        std::printf("hello ");
        std::fflush(stdout);
        sleep(static_cast<unsigned>(std::rand() % 3));
        std::printf("world\n");
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        pthread_testcancel();
        sleep(static_cast<unsigned>(std::rand() % 3));
    }
}

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    pthread_mutex_init(&mutex, nullptr);
    pthread_t tid;
    pthread_create(&tid, nullptr, tfn, nullptr);
    for (int flag = 5; flag--;) {
        pthread_mutex_lock(&mutex);
        std::printf("HELLO ");
        std::fflush(stdout);
        sleep(static_cast<unsigned>(std::rand() % 3));
        std::printf("WORLD\n");
        pthread_mutex_unlock(&mutex);
        sleep(static_cast<unsigned>(std::rand() % 3));
    }
    pthread_cancel(tid);
    pthread_join(tid, nullptr);
    pthread_mutex_destroy(&mutex);
    return 0;
}
