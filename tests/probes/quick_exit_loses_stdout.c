// A child prints "x" to standard output, a pipe to its parent, with no newline, and leaves with quick_exit; the parent aborts if the "x" came.
// interleave: 0: quick_exit runs its handlers and ends the process as _exit does, and what stdio keeps is lost
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
        quick_exit(0);
    }
    close(ends[1]);
    char text[8];
    const ssize_t got = read(ends[0], text, sizeof text);
    waitpid(child, NULL, 0);
    if (got > 0)
        abort();
    return 0;
}
