// A parent and its forked child take turns three times through two named semaphores; the child opens one by name.
// interleave: 0: correct: named semaphores are shared by every process that opens them, and each turn is waited for
#define _GNU_SOURCE
#include <fcntl.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    char ping_name[64], pong_name[64];
    snprintf(ping_name, sizeof ping_name, "/probe_ping_%d", (int)getpid());
    snprintf(pong_name, sizeof pong_name, "/probe_pong_%d", (int)getpid());
    sem_unlink(ping_name);  // left by an earlier process of this id that was killed
    sem_unlink(pong_name);
    sem_t *ping = sem_open(ping_name, O_CREAT | O_EXCL, 0600, 0);
    sem_t *pong = sem_open(pong_name, O_CREAT | O_EXCL, 0600, 0);
    if (ping == SEM_FAILED || pong == SEM_FAILED) {
        perror("sem_open");
        return 1;
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid == -1) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        sem_t *mine = sem_open(ping_name, 0);  // the same semaphore, found by its name
        if (mine == SEM_FAILED)
            exit(1);
        for (int turn = 1; turn <= 3; turn++) {
            sem_wait(mine);
            printf("pong %d\n", turn);
            sem_post(pong);
        }
        exit(0);
    }
    for (int turn = 1; turn <= 3; turn++) {
        printf("ping %d\n", turn);
        fflush(stdout);
        sem_post(ping);
        sem_wait(pong);
        if (turn == 1) {  // the child has opened ping by now: the names can go
            sem_unlink(ping_name);
            sem_unlink(pong_name);
        }
    }
    int status;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
