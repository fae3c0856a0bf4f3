// Closes descriptors 3 to 1023, as a daemon does, then makes two files here; two threads write to both under a mutex.
// interleave: 0: correct: each thread writes its letter to both files in one hold of the mutex, so the files read back alike
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int first_fd, second_fd;

static void *writer(void *arg)
{
    const char *letter = arg;
    for (int k = 0; k < 3; k++) {
        pthread_mutex_lock(&lock);
        if (write(first_fd, letter, 1) != 1)
            perror("write");
        usleep(0);  // a turn: the other writer may try here, and the mutex keeps it out
        if (write(second_fd, letter, 1) != 1)
            perror("write");
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

int main(void)
{
    for (int fd = 3; fd < 1024; fd++)
        close(fd);  // most were never open
    char first[64], second[64];
    snprintf(first, sizeof first, "closes_all_descriptors.%d.a", (int)getpid());
    snprintf(second, sizeof second, "closes_all_descriptors.%d.b", (int)getpid());
    first_fd = open(first, O_RDWR | O_CREAT | O_TRUNC, 0600);
    second_fd = open(second, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (first_fd == -1 || second_fd == -1) {
        perror("open");
        return 1;
    }
    pthread_t one, other;
    pthread_create(&one, NULL, writer, "x");
    pthread_create(&other, NULL, writer, "y");
    pthread_join(one, NULL);
    pthread_join(other, NULL);

    char a[16] = "", b[16] = "";
    ssize_t got_a = pread(first_fd, a, sizeof a - 1, 0), got_b = pread(second_fd, b, sizeof b - 1, 0);
    unlink(first);
    unlink(second);
    int xs = 0;
    for (ssize_t i = 0; i < got_a; i++)
        xs += a[i] == 'x';
    printf("descriptors %d and %d hold \"%s\" and \"%s\"\n", first_fd, second_fd, a, b);
    return got_a == 6 && got_b == 6 && strcmp(a, b) == 0 && xs == 3 ? 0 : 1;
}
