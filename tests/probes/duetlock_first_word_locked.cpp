// Two threads printing two-part lines, "mended" by locking only around the second thread's first word.
// interleave: 1: rule broken when main prints between "hello " and "world": the mutex is free during the pause
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

pthread_mutex_t mutex;  // held while a line is being printed

// Pauses of 0 to 20 ms, so that a real run ends at once; under interleave a pause is a turn.
void pause_a_little()
{
    usleep(static_cast<useconds_t>(std::rand() % 3) * 10000);
}

void *tfn(void *)
{
    for (;;) {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        pthread_mutex_lock(&mutex);
        std::printf("hello ");
        std::fflush(stdout);
        pthread_mutex_unlock(&mutex);
        pause_a_little();
        std::printf("world\n");
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        pthread_testcancel();
        pause_a_little();
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
        pause_a_little();
        std::printf("WORLD\n");
        pthread_mutex_unlock(&mutex);
        pause_a_little();
    }
    pthread_cancel(tid);
    pthread_join(tid, nullptr);
    pthread_mutex_destroy(&mutex);
    return 0;
}
