// Three threads meet at a barrier of three, three rounds running; one of them checks each round.
// interleave: 0: correct: nobody leaves a round before all three have arrived, and one thread per round is told it is the serial one
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>

enum { kThreads = 3, kRounds = 3 };

static pthread_barrier_t barrier;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;  // guards the two tables
static int arrived[kRounds];
static int serial[kRounds];
static int early;  // rounds whose serial thread found someone missing

static void *worker(void *arg)
{
    (void)arg;
    for (int round = 0; round < kRounds; round++) {
        pthread_mutex_lock(&lock);
        arrived[round]++;
        pthread_mutex_unlock(&lock);
        if (pthread_barrier_wait(&barrier) == PTHREAD_BARRIER_SERIAL_THREAD) {
            pthread_mutex_lock(&lock);
            serial[round]++;
            early += arrived[round] != kThreads;
            pthread_mutex_unlock(&lock);
        }
    }
    return NULL;
}

int main(void)
{
    pthread_barrier_init(&barrier, NULL, kThreads);
    pthread_t tid[kThreads];
    for (int i = 0; i < kThreads; i++)
        pthread_create(&tid[i], NULL, worker, NULL);
    for (int i = 0; i < kThreads; i++)
        pthread_join(tid[i], NULL);
    pthread_barrier_destroy(&barrier);
    int ok = early == 0;
    for (int round = 0; round < kRounds; round++)
        ok = ok && serial[round] == 1;
    printf("%d rounds, %s\n", kRounds, ok ? "all met" : "someone left early");
    return ok ? 0 : 1;
}
