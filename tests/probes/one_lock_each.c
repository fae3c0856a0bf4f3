// K threads (the first argument, 3 if none) each take one shared lock once; with "private" after it, each also takes a lock of its own three times.
// interleave: 0: correct; the threads take the shared lock in K! orders, and the private locks, which no other thread touches, add none
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kMost = 8 };

static pthread_mutex_t shared = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t own[kMost];
static int takers, with_private;

static void *take(void *arg)
{
    pthread_mutex_t *mine = arg;
    for (int k = 0; with_private && k < 3; k++) {
        pthread_mutex_lock(mine);
        pthread_mutex_unlock(mine);
    }
    pthread_mutex_lock(&shared);
    takers++;
    pthread_mutex_unlock(&shared);
    return NULL;
}

int main(int argc, char **argv)
{
    const int k = argc > 1 ? atoi(argv[1]) : 3;
    if (k < 1 || k > kMost) {
        fprintf(stderr, "one_lock_each: 1 to %d threads\n", kMost);
        return 2;
    }
    with_private = argc > 2 && strcmp(argv[2], "private") == 0;
    pthread_t threads[kMost];
    for (int i = 0; i < k; i++) {
        pthread_mutex_init(&own[i], NULL);
        pthread_create(&threads[i], NULL, take, &own[i]);
    }
    for (int i = 0; i < k; i++)
        pthread_join(threads[i], NULL);
    return takers == k ? 0 : 1;
}
