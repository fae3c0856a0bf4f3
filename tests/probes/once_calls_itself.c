// A pthread_once routine that, to be safe, calls pthread_once on its own control before it sets up.
// interleave: 1: deadlock in every order: the inner pthread_once waits for the routine that called it to finish
#include <pthread.h>
#include <stdio.h>

static pthread_once_t once = PTHREAD_ONCE_INIT;
static int ready;

static void set_up(void);

static void make_sure(void)
{
    pthread_once(&once, set_up);
}

static void set_up(void)
{
    make_sure();  // from inside the routine: waits for itself
    ready = 1;
}

int main(void)
{
    make_sure();
    printf("ready %d\n", ready);
    return 0;
}
