// A parent waits for its child's post on a semaphore in a shared mapping, but the semaphore was set up with pshared 0.
// interleave: 1: misuse: a semaphore made private to one process is used by two; for real, a post may never wake the waiter
#define _GNU_SOURCE
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    sem_t *turn = mmap(NULL, sizeof *turn, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (turn == MAP_FAILED) {
        perror("mmap");
        return 1;
    }
    sem_init(turn, 0, 0);  // should be 1: two processes share it
    fflush(stdout);
    pid_t pid = fork();
    if (pid == -1) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        printf("child posts\n");
        sem_post(turn);
        exit(0);
    }
    sem_wait(turn);
    printf("parent got the post\n");
    int status;
    waitpid(pid, &status, 0);
    return 0;
}
