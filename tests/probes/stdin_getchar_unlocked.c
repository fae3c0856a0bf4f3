// A reader counts the lines of standard input (three) with getchar_unlocked, under flockfile, to EOF, while main prints.
// interleave: 0: correct: the reader holds only stdin's lock and main only stdout's, and the input ends, so both finish
// options: --input 3
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>

static int lines, chars;  // read by main after the join
static int failed;

static void *reader(void *arg)
{
    (void)arg;
    flockfile(stdin);
    for (int c; (c = getchar_unlocked()) != EOF;) {
        chars++;
        lines += c == '\n';
    }
    failed = ferror_unlocked(stdin);
    funlockfile(stdin);
    return NULL;
}

int main(void)
{
    pthread_t tid;
    pthread_create(&tid, NULL, reader, NULL);
    for (int k = 0; k < 3; k++)
        printf("main prints %d\n", k);
    pthread_join(tid, NULL);
    printf("%d lines, %d characters read\n", lines, chars);
    return lines == 3 && !failed ? 0 : 1;
}
