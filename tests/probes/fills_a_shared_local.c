// Main hands a worker a pointer to a buffer on its own stack, then fills the buffer with memset while the worker reads it.
// interleave: 1: the fill and the read race, although the buffer is one of main's locals
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <string.h>

static void *peek(void *buffer)
{
    printf("%c\n", ((const char *)buffer)[0]);
    return NULL;
}

int main(void)
{
    char buffer[16] = "nothing yet";
    pthread_t worker;
    pthread_create(&worker, NULL, peek, buffer);
    memset(buffer, 'o', 8);
    pthread_join(worker, NULL);
    return 0;
}
