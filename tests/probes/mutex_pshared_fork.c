// A parent and its forked child each add 3 to a counter in a shared mapping, under a process-shared mutex beside it.
// interleave: 0: correct: the mutex is set up PTHREAD_PROCESS_SHARED in memory both processes map, so no update is lost
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

struct shared {
    pthread_mutex_t lock;  // process-shared
    int count;             // guarded by lock
};

static void add_three(struct shared *s)
{
    for (int k = 0; k < 3; k++) {
        pthread_mutex_lock(&s->lock);
        int seen = s->count;
        usleep(0);
        s->count = seen + 1;
        pthread_mutex_unlock(&s->lock);
    }
}

int main(void)
{
    struct shared *s = mmap(NULL, sizeof *s, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (s == MAP_FAILED) {
        perror("mmap");
        return 1;
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(&s->lock, &attr);
    pthread_mutexattr_destroy(&attr);

    fflush(stdout);
    pid_t pid = fork();
    if (pid == -1) {
        perror("fork");
        return 1;
    }
    add_three(s);
    if (pid == 0)
        exit(0);
    int status;
    waitpid(pid, &status, 0);
    printf("count %d\n", s->count);
    return s->count == 6 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
