// main puts a pipe of its own in place of standard output before it prints, prints "once\n", forks a child that exits at once, then reads back what came through the pipe and checks it is "once\n".
// interleave: 1: stdio buffers a pipe whole, not a line at a time as a terminal: the line is still in the buffer at the fork, and the child writes it out too
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    int ends[2];
    if (pipe(ends) != 0)
        return 2;
    const int terminal = dup(STDOUT_FILENO);
    dup2(ends[1], STDOUT_FILENO);
    close(ends[1]);
    printf("once\n");
    pid_t child = fork();
    if (child == 0)
        exit(0);
    waitpid(child, NULL, 0);
    fflush(stdout);
    dup2(terminal, STDOUT_FILENO);  // the pipe's last write end goes
    char got[32] = {0};
    size_t have = 0;
    ssize_t n;
    while (have < sizeof got - 1 && (n = read(ends[0], got + have, sizeof got - 1 - have)) > 0)
        have += (size_t)n;
    if (strcmp(got, "once\n") != 0)
        abort();
    return 0;
}
