// A parent ends one child with SIGTERM while it waits on a shared semaphore, lets another exit with status 2, and checks both.
// interleave: 0: correct: the children end as their parent means them to, and the parent itself exits 0
#define _GNU_SOURCE
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    sem_t *never = mmap(NULL, sizeof *never, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (never == MAP_FAILED || sem_init(never, 1, 0) == -1) {
        perror("shared semaphore");
        return 1;
    }
    signal(SIGCHLD, SIG_DFL);
    fflush(stdout);
    pid_t waiting = fork();
    if (waiting == 0) {
        sem_wait(never);  // nobody posts it: this child ends only by the signal
        exit(0);
    }
    pid_t failing = fork();
    if (failing == 0)
        exit(2);
    if (waiting == -1 || failing == -1) {
        perror("fork");
        return 1;
    }
    kill(waiting, SIGTERM);
    int s1, s2;
    waitpid(waiting, &s1, 0);
    waitpid(failing, &s2, 0);
    int as_meant = WIFSIGNALED(s1) && WTERMSIG(s1) == SIGTERM && WIFEXITED(s2) && WEXITSTATUS(s2) == 2;
    printf("children ended %s\n", as_meant ? "as meant" : "otherwise");
    return as_meant ? 0 : 1;
}
