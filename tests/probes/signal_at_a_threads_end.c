// main holds SIGUSR1 back and sends it to its own process, so that only the worker lets it through; the worker's last call closes a descriptor, and the handler aborts if it runs on the worker after that close.
// interleave: 1: the system may hand the signal to the worker at any moment until the worker is gone, after its last call too
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

static pthread_t main_thread;
static int descriptor;

static void noted(int sig)
{
    (void)sig;
    if (!pthread_equal(pthread_self(), main_thread) && fcntl(descriptor, F_GETFD) == -1)
        abort();
}

static void *closer(void *arg)
{
    (void)arg;
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_UNBLOCK, &usr1, NULL);
    close(descriptor);
    return NULL;
}

int main(void)
{
    main_thread = pthread_self();
    int ends[2];
    if (pipe(ends) != 0)
        return 2;
    descriptor = ends[1];
    signal(SIGUSR1, noted);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, NULL);
    pthread_t worker;
    pthread_create(&worker, NULL, closer, NULL);
    kill(getpid(), SIGUSR1);
    pthread_join(worker, NULL);
    pthread_sigmask(SIG_UNBLOCK, &usr1, NULL);
    return 0;
}
