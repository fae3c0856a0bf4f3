// Two readers and a writer share a pair of values under a read-write lock; the writer changes them one at a time.
// interleave: 0: correct: readers may overlap each other, but never the writer, so a reader always sees the pair equal
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static pthread_rwlock_t rw = PTHREAD_RWLOCK_INITIALIZER;
static int first, second;  // equal whenever nobody holds the write lock
static int torn;           // pairs seen unequal; guarded by count_lock

static pthread_mutex_t count_lock = PTHREAD_MUTEX_INITIALIZER;

static void *reader(void *arg)
{
    (void)arg;
    for (int k = 0; k < 3; k++) {
        pthread_rwlock_rdlock(&rw);
        int a = first;
        usleep(0);
        int b = second;
        pthread_rwlock_unlock(&rw);
        pthread_mutex_lock(&count_lock);
        torn += a != b;
        pthread_mutex_unlock(&count_lock);
    }
    return NULL;
}

static void *writer(void *arg)
{
    (void)arg;
    for (int k = 0; k < 3; k++) {
        pthread_rwlock_wrlock(&rw);
        first++;
        usleep(0);
        second++;
        pthread_rwlock_unlock(&rw);
    }
    return NULL;
}

int main(void)
{
    pthread_t r1, r2, w;
    pthread_create(&r1, NULL, reader, NULL);
    pthread_create(&w, NULL, writer, NULL);
    pthread_create(&r2, NULL, reader, NULL);
    pthread_join(r1, NULL);
    pthread_join(w, NULL);
    pthread_join(r2, NULL);
    printf("%d torn reads, pair %d %d\n", torn, first, second);
    return torn == 0 && first == 3 && second == 3 ? 0 : 1;
}
