// Three workers each finish one job; the program's exit status is the number of jobs done, so its normal end is status 3.
// interleave: 0: correct: every order ends with status 3, which the options say is this program's normal end
// options: --status 3
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int done;  // guarded by lock

static void *job(void *arg)
{
    (void)arg;
    pthread_mutex_lock(&lock);
    done++;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    pthread_t tid[3];
    for (int i = 0; i < 3; i++)
        pthread_create(&tid[i], NULL, job, NULL);
    for (int i = 0; i < 3; i++)
        pthread_join(tid[i], NULL);
    printf("%d jobs done\n", done);
    return done;
}
