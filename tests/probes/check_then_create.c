// Two workers each look for a lock file with access(), and make it where it is missing; one of them should win.
// interleave: 1: both may look before either makes the file, so both win and it ends with status 1
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static const char *kLock = "check_then_create.lock";
static pthread_mutex_t count_lock = PTHREAD_MUTEX_INITIALIZER;
static int winners;

static void *claim(void *arg)
{
    (void)arg;
    if (access(kLock, F_OK) != 0) {
        const int fd = open(kLock, O_CREAT | O_WRONLY, 0600);
        if (fd >= 0)
            close(fd);
        pthread_mutex_lock(&count_lock);
        winners++;
        pthread_mutex_unlock(&count_lock);
    }
    return NULL;
}

int main(void)
{
    unlink(kLock);
    pthread_t one, two;
    pthread_create(&one, NULL, claim, NULL);
    pthread_create(&two, NULL, claim, NULL);
    pthread_join(one, NULL);
    pthread_join(two, NULL);
    unlink(kLock);
    printf("%d winners\n", winners);
    return winners == 1 ? 0 : 1;
}
