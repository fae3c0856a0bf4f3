// Two workers each format a line in a buffer of their own and copy it into one shared buffer under a mutex.
// interleave: 0: correct: the lock orders the copies, and a worker's own buffer is its own
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <string.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static char line[32];

static void *copy_name(void *name)
{
    char own[32];
    snprintf(own, sizeof own, "from %s", (const char *)name);
    pthread_mutex_lock(&lock);
    strcpy(line, own);
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    pthread_t one, two;
    pthread_create(&one, NULL, copy_name, "first");
    pthread_create(&two, NULL, copy_name, "second");
    pthread_join(one, NULL);
    pthread_join(two, NULL);
    puts(strlen(line) > 5 ? line : "short");
    return 0;
}
