// The library of library_set_up.c: its constructor starts a thread that waits for ever, as
// a library's worker or watchdog might, and notes the process it ran in.
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static pid_t set_up_in;

static void *wait_for_ever(void *arg)
{
    (void)arg;
    for (;;)
        pause();
    return NULL;
}

__attribute__((constructor)) static void set_up(void)
{
    pthread_t worker;
    pthread_create(&worker, NULL, wait_for_ever, NULL);
    set_up_in = getpid();
}

// Whether the set-up was done in this process, and its thread is here: two threads, as
// the kernel counts them.
int set_up_here(void)
{
    FILE *status = fopen("/proc/self/status", "r");
    char line[256];
    int threads = 0;
    while (status != NULL && fgets(line, sizeof line, status) != NULL)
        if (sscanf(line, "Threads: %d", &threads) == 1)
            break;
    if (status != NULL)
        fclose(status);
    return set_up_in == getpid() && threads == 2;
}
