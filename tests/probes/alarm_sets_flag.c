// alarm(1) arms a timer whose SIGALRM handler sets a flag; a worker naps 10 ms at a time until it sees the flag.
// interleave: 0: correct: the timer rings after a second whatever the order, and the worker's naps let it come
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t rang;

static void on_alarm(int sig)
{
    (void)sig;
    rang = 1;
}

static void *napper(void *arg)
{
    (void)arg;
    while (!rang)
        usleep(10000);
    return NULL;
}

int main(void)
{
    struct sigaction sa = {0};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, NULL);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    alarm(1);
    pthread_t tid;
    pthread_create(&tid, NULL, napper, NULL);
    pthread_join(tid, NULL);
    clock_gettime(CLOCK_MONOTONIC, &end);
    double passed = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    printf("the alarm rang\n");
    return passed >= 1.0 ? 0 : 1;  // not before its second
}
