// A child process writes into a page it shares with its parent and exits; the parent waits for it, then reads the page.
// interleave: 0: the wait sees the child's end, which comes after everything the child wrote
// build: accesses
#define _GNU_SOURCE
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
    int *shared = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        return 2;
    const pid_t child = fork();
    if (child == 0) {
        shared[0] = 42;
        _exit(0);
    }
    waitpid(child, NULL, 0);
    return shared[0] == 42 ? 0 : 1;
}
