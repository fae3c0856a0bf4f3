// main tries to exec a program that does not exist while a worker counts under a mutex; the exec fails and both go on.
// interleave: 0: correct: a failed exec returns -1 with ENOENT and leaves the process and its threads as they were
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int count;  // guarded by lock

static void add_three(const char *who)
{
    for (int k = 0; k < 3; k++) {
        pthread_mutex_lock(&lock);
        count++;
        printf("%s %d\n", who, count);
        pthread_mutex_unlock(&lock);
    }
}

static void *worker(void *arg)
{
    (void)arg;
    add_three("worker");
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    int rc = execl("/nonexistent/interleave-probe", "interleave-probe", (char *)NULL);
    int why = errno;
    add_three("main");
    pthread_join(tid, NULL);
    printf("exec gave %d (%s)\n", rc, why == ENOENT ? "ENOENT" : "another error");
    return rc == -1 && why == ENOENT && count == 6 ? 0 : 1;
}
