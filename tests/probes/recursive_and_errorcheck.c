// Two threads each take a recursive mutex four deep, then an error-checking one twice (the second time: EDEADLK); main unlocks it unheld (EPERM).
// interleave: 0: correct: four orders in all (who takes each mutex first), however deep the recursion
#include <errno.h>
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t nested, checked;
static int depth;

static void take_nested(int more)
{
    pthread_mutex_lock(&nested);
    depth++;
    if (more > 0)
        take_nested(more - 1);
    pthread_mutex_unlock(&nested);
}

static void *worker(void *arg)
{
    (void)arg;
    take_nested(3);
    if (pthread_mutex_lock(&checked) != 0)
        return (void *)1;
    const int again = pthread_mutex_lock(&checked);
    pthread_mutex_unlock(&checked);
    return again == EDEADLK ? NULL : (void *)2;
}

int main(void)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&nested, &attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&checked, &attr);
    pthread_t threads[2];
    for (int i = 0; i < 2; i++)
        pthread_create(&threads[i], NULL, worker, NULL);
    int bad = 0;
    for (int i = 0; i < 2; i++) {
        void *result;
        pthread_join(threads[i], &result);
        bad = bad || result != NULL;
    }
    const int unheld = pthread_mutex_unlock(&checked);
    printf("depth %d, unlocking it unheld: %s\n", depth, unheld == EPERM ? "EPERM" : "something else");
    return bad || depth != 8 || unheld != EPERM;
}
