// main starts a program with popen and reads its two lines with fgets, then closes it with pclose.
// interleave: 0: the read waits in the system for the program, which interleave does not steer, and no proof is claimed
#include <stdio.h>

static int lines;  // a global: its accesses are turns in this build

int main(void)
{
    FILE *program = popen("echo one; echo two", "r");
    if (program == NULL)
        return 1;
    char line[32];
    while (fgets(line, sizeof line, program) != NULL)
        lines++;
    const int status = pclose(program);
    printf("%d lines, status %d\n", lines, status);
    return lines == 2 && status == 0 ? 0 : 1;
}
