// A parent waits for its child to end before it posts the shared semaphore that the child is waiting for.
// interleave: 1: deadlock in every order: the parent waits in waitpid for a child that waits in sem_wait for the parent
#define _GNU_SOURCE
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    sem_t *go = mmap(NULL, sizeof *go, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (go == MAP_FAILED || sem_init(go, 1, 0) == -1) {
        perror("shared semaphore");
        return 1;
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid == -1) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        sem_wait(go);
        printf("child went\n");
        exit(0);
    }
    int status;
    waitpid(pid, &status, 0);
    sem_post(go);  // too late: the child never ends without it
    return 0;
}
