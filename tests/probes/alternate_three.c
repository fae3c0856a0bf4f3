// Two threads each enter a critical section three times; the program ends with status 1 only when the sections alternate (ABABAB or BABABA); given "mended", never; given orders such as AABBAB, when the sections come in one of those.
// interleave: 1: the alternation needs five switches, and is one of the twenty orders of the six sections that a search of every distinct order tries
#include <pthread.h>
#include <stdio.h>
#include <string.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static char order[7];  // who entered, in turn; guarded by lock
static int entered;

static void *enter(void *arg)
{
    const char *me = arg;
    for (int k = 0; k < 3; k++) {
        pthread_mutex_lock(&lock);
        order[entered++] = *me;
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

int main(int argc, char **argv)
{
    pthread_t a, b;
    pthread_create(&a, NULL, enter, "A");
    pthread_create(&b, NULL, enter, "B");
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    const char *alternating[] = {"ABABAB", "BABABA"};
    char **wrong = argc > 1 ? argv + 1 : (char **)alternating;
    const int count = argc > 1 ? argc - 1 : 2;
    for (int k = 0; k < count; k++)
        if (strcmp(order, wrong[k]) == 0) {
            fprintf(stderr, "the sections came in the order %s\n", order);
            return 1;
        }
    return 0;
}
