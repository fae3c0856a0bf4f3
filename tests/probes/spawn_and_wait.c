// A worker runs /bin/true through posix_spawn while main runs system("true"); each waits for its own child.
// interleave: 0: correct: each child is waited for by its own pid, and both end with status 0 in any order
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

extern char **environ;

static int spawned_status = -1;  // read by main after the join

static void *spawner(void *arg)
{
    (void)arg;
    char *argv[] = {"true", NULL};
    pid_t pid;
    if (posix_spawn(&pid, "/bin/true", NULL, NULL, argv, environ) == 0)
        waitpid(pid, &spawned_status, 0);
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, spawner, NULL);
    int system_status = system("true");
    pthread_join(tid, NULL);
    int spawned_ok = WIFEXITED(spawned_status) && WEXITSTATUS(spawned_status) == 0;
    int system_ok = system_status != -1 && WIFEXITED(system_status) && WEXITSTATUS(system_status) == 0;
    printf("posix_spawn %s, system %s\n", spawned_ok ? "ok" : "failed", system_ok ? "ok" : "failed");
    return spawned_ok && system_ok ? 0 : 1;
}
