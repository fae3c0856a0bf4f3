// Two workers each make a lock file with O_CREAT | O_EXCL, which lets exactly one of them make it.
// interleave: 0: correct: the system makes the file once, so whatever the order one wins and one loses
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static const char *kLock = "create_exclusive.lock";
static pthread_mutex_t count_lock = PTHREAD_MUTEX_INITIALIZER;
static int winners;

static void *claim(void *arg)
{
    (void)arg;
    const int fd = open(kLock, O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (fd >= 0) {
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
