// Fork handlers take a log mutex before fork and give it back on both sides, while a worker thread uses the log.
// interleave: 0: correct: the child's copy of the mutex is always free, since the handlers hold it across the fork
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;  // held while a line is written

static void take_log(void) { pthread_mutex_lock(&log_lock); }
static void give_log(void) { pthread_mutex_unlock(&log_lock); }

static void *worker(void *arg)
{
    (void)arg;
    for (int k = 0; k < 3; k++) {
        pthread_mutex_lock(&log_lock);
        printf("worker line %d\n", k);
        fflush(stdout);
        pthread_mutex_unlock(&log_lock);
    }
    return NULL;
}

int main(void)
{
    pthread_atfork(take_log, give_log, give_log);
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == -1) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        pthread_mutex_lock(&log_lock);
        printf("child line\n");
        pthread_mutex_unlock(&log_lock);
        exit(0);
    }
    int status;
    waitpid(pid, &status, 0);
    pthread_join(tid, NULL);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
