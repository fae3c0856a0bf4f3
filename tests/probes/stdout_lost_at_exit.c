// A child prints "x" to standard output, a pipe to its parent, with no newline; a thread of the child ends the child at once with _exit as main returns. The parent checks that the "x" came.
// interleave: 1: stdio keeps the "x" in its buffer until the child's exit writes it out; _exit first, and it is lost
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static void *quitter(void *arg)
{
    (void)arg;
    _exit(0);
}

int main(void)
{
    int ends[2];
    if (pipe(ends) != 0)
        return 2;
    pid_t child = fork();
    if (child == 0) {
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        printf("x");
        pthread_t thread;
        pthread_create(&thread, NULL, quitter, NULL);
        return 0;
    }
    close(ends[1]);
    waitpid(child, NULL, 0);
    char got;
    if (read(ends[0], &got, 1) != 1)
        abort();
    return 0;
}
