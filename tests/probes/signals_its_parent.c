// A program that tells its parent it has started (SIGTERM, SIGSTOP) and then races two
// threads on a lock. Under interleave its parent is interleave itself, or the copy of the
// program that forks each run: neither may be ended or stopped by it, whatever the run.
// interleave: 0: correct: the signals go nowhere, and every run comes to its end
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int count;

static void *add(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    count++;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    kill(getppid(), SIGTERM);
    kill(getppid(), SIGSTOP);
    pthread_t a, b;
    pthread_create(&a, NULL, add, NULL);
    pthread_create(&b, NULL, add, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    printf("%d\n", count);
    return 0;
}
