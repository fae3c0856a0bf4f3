// main reads standard input with fgets_unlocked, a way of stdio's that no call stands in front of, until its end.
// interleave: 0: correct: interleave hands a read that blocks on standard input its next line, or the end, at once
// options: --input 3
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int printed;  // guarded by lock

static void *printer(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    printed++;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, printer, NULL);
    char line[64];
    int lines = 0;
    while (fgets_unlocked(line, sizeof line, stdin) != NULL)
        lines++;
    pthread_join(tid, NULL);
    printf("%d lines\n", lines);
    return lines == 3 && printed == 1 ? 0 : 1;
}
