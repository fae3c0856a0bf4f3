// Two workers each copy their name into one shared buffer with strcpy, with no lock; main prints it after both.
// interleave: 1: the two copies race: the C library's writes are told as the program's own
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <string.h>

static char line[32];

static void *copy_name(void *name)
{
    strcpy(line, name);
    return NULL;
}

int main(void)
{
    pthread_t one, two;
    pthread_create(&one, NULL, copy_name, "first");
    pthread_create(&two, NULL, copy_name, "second");
    pthread_join(one, NULL);
    pthread_join(two, NULL);
    puts(line);
    return 0;
}
