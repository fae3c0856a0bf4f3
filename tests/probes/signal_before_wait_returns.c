// A child sends its parent SIGUSR1 and ends; the parent waits for it, and then expects its handler to have run.
// interleave: 0: correct: the signal waits for the parent before the child ends, and a wait hands it over before it returns
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile sig_atomic_t told;

static void on_usr1(int sig)
{
    (void)sig;
    told = 1;
}

int main(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_usr1;
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, NULL);
    const pid_t child = fork();
    if (child == 0) {
        kill(getppid(), SIGUSR1);
        _exit(0);
    }
    waitpid(child, NULL, 0);
    puts(told ? "told" : "not told");
    return told ? 0 : 1;
}
