// Sleeps three seconds and works out a rate from the seconds that time() says have passed.
// interleave: 0: correct: sleep(3) lets at least three seconds pass, so the division is never by zero
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int main(void)
{
    time_t start = time(NULL);
    sleep(3);
    long passed = (long)(time(NULL) - start);
    long per_second = 300 / passed;  // SIGFPE if no time had passed
    printf("%ld s passed, %ld a second\n", passed, per_second);
    return passed >= 3 ? 0 : 1;
}
