// A POSIX timer (timer_create) sends SIGUSR1, with a value, a second after it is set; its handler posts the semaphore main waits on.
// interleave: 0: correct: the timer runs out on the program's clock, and its signal arrives with the value it was given
#define _GNU_SOURCE
#include <errno.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
static sem_t rang;
static void on_timer(int sig, siginfo_t *info, void *context) { (void)sig; (void)context; if (info->si_value.sival_int == 42) sem_post(&rang); }
int main(void)
{
    sem_init(&rang, 0, 0);
    struct sigaction sa = {0};
    sa.sa_sigaction = on_timer;
    sa.sa_flags = SA_SIGINFO;
    sigaction(SIGUSR1, &sa, NULL);
    struct sigevent ev = {0};
    ev.sigev_notify = SIGEV_SIGNAL;
    ev.sigev_signo = SIGUSR1;
    ev.sigev_value.sival_int = 42;
    timer_t t;
    if (timer_create(CLOCK_MONOTONIC, &ev, &t) != 0) { perror("timer_create"); return 2; }
    struct itimerspec in = {{0, 0}, {1, 0}};
    timer_settime(t, 0, &in, NULL);
    while (sem_wait(&rang) == -1 && errno == EINTR)
        ;
    timer_delete(t);
    printf("the timer rang\n");
    return 0;
}
