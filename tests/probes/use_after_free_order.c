// main frees a message once it has made its worker thread, and the worker may not have read it yet.
// interleave: 1: heap-use-after-free, which AddressSanitizer ends with status 1, when main frees before the worker reads
// build: asan
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char *message;

static void *worker(void *arg)
{
    (void)arg;
    printf("worker starts\n");
    printf("worker read %c\n", message[0]);
    return NULL;
}

int main(void)
{
    message = malloc(16);
    if (message == NULL)
        return 1;
    strcpy(message, "hello");
    pthread_t tid;
    pthread_create(&tid, NULL, worker, NULL);
    printf("main frees the message\n");
    free(message);
    pthread_join(tid, NULL);
    return 0;
}
