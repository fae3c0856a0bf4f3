// The library of library_set_up.c: its constructor notes the process it ran in, as a
// library that opens a file, starts a helper or seeds a generator there would.
#include <unistd.h>

static pid_t set_up_in;

__attribute__((constructor)) static void set_up(void)
{
    set_up_in = getpid();
}

int set_up_here(void)
{
    return set_up_in == getpid();
}
