// A thread first tries a semaphore, then waits for it with sem_timedwait in short slices until another thread posts.
// interleave: 0: correct: EAGAIN and ETIMEDOUT are expected answers, each followed by another wait
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

static sem_t posted;

static void *poster(void *arg)
{
    (void)arg;
    usleep(50000);
    sem_post(&posted);
    return NULL;
}

int main(void)
{
    sem_init(&posted, 0, 0);
    pthread_t tid;
    pthread_create(&tid, NULL, poster, NULL);
    int timeouts = 0;
    if (sem_trywait(&posted) == -1) {
        if (errno != EAGAIN) {
            perror("sem_trywait");
            return 1;
        }
        for (;;) {
            struct timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_nsec += 10 * 1000 * 1000;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_sec++;
                deadline.tv_nsec -= 1000000000L;
            }
            if (sem_timedwait(&posted, &deadline) == 0)
                break;
            if (errno != ETIMEDOUT && errno != EINTR) {
                perror("sem_timedwait");
                return 1;
            }
            timeouts++;
        }
    }
    pthread_join(tid, NULL);
    printf("posted after %d timeouts\n", timeouts);
    return 0;
}
