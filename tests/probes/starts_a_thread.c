// The library of thread_before_main.c: its constructor starts a thread that waits for
// ever, as a library's worker or watchdog might.
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static void *wait_for_ever(void *arg)
{
    (void)arg;
    for (;;)
        pause();
    return NULL;
}

__attribute__((constructor)) static void start_worker(void)
{
    pthread_t worker;
    pthread_create(&worker, NULL, wait_for_ever, NULL);
}

// The threads of the process, as the kernel counts them.
int threads_now(void)
{
    FILE *status = fopen("/proc/self/status", "r");
    char line[256];
    int threads = 0;
    while (status != NULL && fgets(line, sizeof line, status) != NULL)
        if (sscanf(line, "Threads: %d", &threads) == 1)
            break;
    if (status != NULL)
        fclose(status);
    return threads;
}
