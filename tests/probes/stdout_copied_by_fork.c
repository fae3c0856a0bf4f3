// A child prints "x" to standard output, a pipe to its parent, with no newline, sleeps for no time, then forks a grandchild; both end. The parent checks that one "x" came.
// interleave: 1: the fork copies stdio's buffer with the "x" in it, and both write it out as they end: "xx", in every run
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

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
        usleep(0);
        if (fork() == 0)
            return 0;
        wait(NULL);
        return 0;
    }
    close(ends[1]);
    waitpid(child, NULL, 0);
    char got[3];
    if (read(ends[0], got, sizeof got) != 1)
        abort();
    return 0;
}
