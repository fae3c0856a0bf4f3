// A parent counts its children's deaths in a SIGCHLD handler, and looks twice at the count to see both gone.
// interleave: 1: the second child's death can arrive between the two looks, so they disagree and it ends with status 1
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile sig_atomic_t ended;

static void on_child(int sig)
{
    (void)sig;
    ended++;
}

int main(void)
{
    struct sigaction sa = {0};
    sa.sa_handler = on_child;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &sa, NULL);
    fflush(stdout);
    for (int k = 0; k < 2; k++)
        if (fork() == 0)
            _exit(0);
    while (ended < 1)
        usleep(1000);
    const int first = ended;
    usleep(1000);
    const int second = ended;
    while (wait(NULL) > 0)
        ;
    printf("%d then %d\n", first, second);
    return first == second ? 0 : 1;  // the count should not move between two looks
}
