// main forks while a worker thread may hold the log mutex across a pause; the child then takes that mutex.
// interleave: 1: deadlock in the child when the fork comes while the worker holds the mutex: no thread of the child will unlock it
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;

static void *worker(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&log_lock);
    usleep(1000);
    pthread_mutex_unlock(&log_lock);
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == -1) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        pthread_mutex_lock(&log_lock);  // the child's copy: locked for ever if the worker held it
        printf("child logs\n");
        pthread_mutex_unlock(&log_lock);
        exit(0);
    }
    int status;
    waitpid(pid, &status, 0);
    pthread_join(tid, NULL);
    return 0;
}
