// A writer thread takes a read-write lock for writing and returns without unlocking it; a reader thread comes too.
// interleave: 1: deadlock when the reader asks for the lock after the writer has left with it
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>

static pthread_rwlock_t rw = PTHREAD_RWLOCK_INITIALIZER;
static int value;  // guarded by rw

static void *writer(void *arg)
{
    (void)arg;
    pthread_rwlock_wrlock(&rw);
    value = 42;
    return NULL;  // the unlock is forgotten
}

static void *reader(void *arg)
{
    (void)arg;
    pthread_rwlock_rdlock(&rw);
    printf("read %d\n", value);
    pthread_rwlock_unlock(&rw);
    return NULL;
}

int main(void)
{
    pthread_t w, r;
    pthread_create(&w, NULL, writer, NULL);
    pthread_create(&r, NULL, reader, NULL);
    pthread_join(w, NULL);
    pthread_join(r, NULL);
    return 0;
}
