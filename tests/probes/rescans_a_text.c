// A thread counts three letters in a 6000-character text, one pass over it for each letter, and adds its counts under a mutex.
// interleave: 0: thousands of reads in a row that change nothing, but of ever other characters: no livelock
// build: accesses
#include <pthread.h>

static char text[6000];
static int total;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *counter(void *arg)
{
    (void)arg;
    int found = 0;
    for (const char *letter = "abc"; *letter != '\0'; letter++)
        for (int k = 0; k < 6000; k++)
            found += text[k] == *letter;
    pthread_mutex_lock(&lock);
    total += found;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    for (int k = 0; k < 6000; k++)
        text[k] = (char)('a' + k % 3);
    pthread_t t;
    pthread_create(&t, NULL, counter, NULL);
    pthread_join(t, NULL);
    return total == 6000 ? 0 : 1;
}
