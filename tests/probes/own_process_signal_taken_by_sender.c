// A worker sends SIGUSR1 to its own process, where main lets it through too; main, once it has joined the worker, checks that the handler did not run on the sender, as if the system always gave it to main, the thread it likes best.
// interleave: 1: the system may give a signal sent to the process to any thread that lets it through: here the sender takes it on its way out, after kill has returned
#include <stdlib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

static pthread_t main_thread;
static volatile sig_atomic_t on_main = -1;

static void noted(int sig)
{
    (void)sig;
    on_main = pthread_equal(pthread_self(), main_thread);
}

static void *sender(void *arg)
{
    (void)arg;
    kill(getpid(), SIGUSR1);
    return NULL;
}

int main(void)
{
    signal(SIGUSR1, noted);
    main_thread = pthread_self();
    pthread_t worker;
    pthread_create(&worker, NULL, sender, NULL);
    pthread_join(worker, NULL);
    if (on_main == 0)
        abort();
    return 0;
}
