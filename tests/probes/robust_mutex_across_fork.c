// A child process locks a robust, process-shared mutex in a shared mapping and exits holding it; the parent mends it.
// interleave: 0: correct: the child's exit is reported to the next locker as EOWNERDEAD, which marks the mutex consistent
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

struct shared {
    pthread_mutex_t lock;  // robust and process-shared
    int mended;            // guarded by lock: the locks that found its holder gone
};

static int lock_mending(struct shared *s)
{
    int rc = pthread_mutex_lock(&s->lock);
    if (rc == EOWNERDEAD) {
        s->mended++;
        rc = pthread_mutex_consistent(&s->lock);
    }
    return rc;
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
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&s->lock, &attr);
    pthread_mutexattr_destroy(&attr);

    pid_t pid = fork();  // nothing printed yet, so no buffered output to copy
    if (pid == 0) {
        lock_mending(s);
        _exit(0);  // still holding the lock
    }
    if (pid == -1) {
        perror("fork");
        return 1;
    }
    // Before or after the child's exit: the one lock that comes after it gets EOWNERDEAD.
    int status = 0;
    for (int k = 0; k < 2; k++) {
        if (lock_mending(s) != 0)
            return 1;
        pthread_mutex_unlock(&s->lock);
        if (k == 0)
            waitpid(pid, &status, 0);
    }
    printf("mended %d time(s)\n", s->mended);
    return s->mended == 1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
