// A child opens a FIFO to write, as a stream, and writes "hi"; its parent opens it to read and reads to its end. Each open waits for the other.
// interleave: 0: whichever open comes first waits for the other; the parent always reads "hi", then the end
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    char path[64];
    snprintf(path, sizeof path, "fifo_opens_meet.%d", (int)getpid());
    unlink(path);
    if (mkfifo(path, 0600) != 0)
        return 3;
    const pid_t child = fork();
    if (child == 0) {
        FILE *stream = fopen(path, "w");
        _exit(stream != NULL && fputs("hi", stream) >= 0 && fclose(stream) == 0 ? 0 : 1);
    }
    const int fd = open(path, O_RDONLY);
    char text[8] = {0};
    size_t got = 0;
    ssize_t n;
    while (fd >= 0 && got < sizeof text - 1 && (n = read(fd, text + got, sizeof text - 1 - got)) > 0)
        got += (size_t)n;
    int status = 0;
    waitpid(child, &status, 0);
    unlink(path);
    printf("read \"%s\"\n", text);
    return fd >= 0 && strcmp(text, "hi") == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
