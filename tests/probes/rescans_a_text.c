// A thread counts five letters in a 2600-character text, one pass over it for each letter, and adds its counts under a mutex.
// interleave: 0: thousands of reads in a row that change nothing, but of ever other characters: no livelock
// build: accesses
#include <pthread.h>

static char text[2600];
static int total;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *counter(void *arg)
{
    (void)arg;
    int found = 0;
    for (const char *letter = "abcde"; *letter != '\0'; letter++)
        for (int k = 0; k < 2600; k++)
            found += text[k] == *letter;
    pthread_mutex_lock(&lock);
    total += found;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    for (int k = 0; k < 2600; k++)
        text[k] = (char)('a' + k % 5);
    pthread_t t;
    pthread_create(&t, NULL, counter, NULL);
    pthread_join(t, NULL);
    return total == 2600 ? 0 : 1;
}
