// While a worker prints, main vforks; the child execs /bin/true and main waits for it and checks its status.
// interleave: 0: correct: the child only execs (or _exits), as vfork requires, and its status is 0
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

static void *worker(void *arg)
{
    (void)arg;
    printf("worker runs\n");
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    fflush(stdout);
    pid_t pid = vfork();
    if (pid == 0) {
        execl("/bin/true", "true", (char *)NULL);
        _exit(127);
    }
    int status = -1;
    if (pid != -1)
        waitpid(pid, &status, 0);
    pthread_join(tid, NULL);
    int ok = pid != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    printf("/bin/true %s\n", ok ? "exited 0" : "failed");
    return ok ? 0 : 1;
}
