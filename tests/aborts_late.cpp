// Two threads race for a lock; where the second one wins, main computes for a minute of
// processor time and then aborts. A search with a short time limit is cut in that run:
// it must not call the orders it never finished tried.
#include <cstdlib>
#include <ctime>
#include <pthread.h>

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int first = 0;

void *racer(void *arg)
{
    pthread_mutex_lock(&lock);
    if (first == 0)
        first = *static_cast<int *>(arg);
    pthread_mutex_unlock(&lock);
    return nullptr;
}

int main()
{
    int names[2] = {1, 2};
    pthread_t threads[2];
    for (int k = 0; k < 2; k++)
        pthread_create(&threads[k], nullptr, racer, &names[k]);
    for (pthread_t t : threads)
        pthread_join(t, nullptr);
    if (first == 2) {
        // clock() measures the processor time the program used, which no steering moves.
        volatile unsigned long sum = 0;
        while (std::clock() < 60 * CLOCKS_PER_SEC)
            for (int k = 0; k < 1000000; k++)
                sum = sum + static_cast<unsigned long>(k);
        std::abort();
    }
    return 0;
}
