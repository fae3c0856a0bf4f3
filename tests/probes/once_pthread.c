// Three threads race to set up a table through pthread_once; the set-up pauses halfway.
// interleave: 0: correct: the routine runs once, and no thread returns from pthread_once before it has finished
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static pthread_once_t once = PTHREAD_ONCE_INIT;
static int table[8];
static int setups;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;  // guards half_seen
static int half_seen;  // threads that found the table unfinished after pthread_once

static void set_up(void)
{
    setups++;
    for (int i = 0; i < 4; i++)
        table[i] = i + 1;
    usleep(0);
    for (int i = 4; i < 8; i++)
        table[i] = i + 1;
}

static void *user(void *arg)
{
    (void)arg;
    pthread_once(&once, set_up);
    pthread_mutex_lock(&lock);
    half_seen += table[7] != 8;
    pthread_mutex_unlock(&lock);
    return NULL;
}

int main(void)
{
    pthread_t tid[3];
    for (int i = 0; i < 3; i++)
        pthread_create(&tid[i], NULL, user, NULL);
    for (int i = 0; i < 3; i++)
        pthread_join(tid[i], NULL);
    printf("%d set-up, %d saw it unfinished\n", setups, half_seen);
    return setups == 1 && half_seen == 0 ? 0 : 1;
}
