// A worker writes a byte to a file that main has mapped into its memory; main reads it there after the join.
// interleave: 0: correct: the join orders the write before the read (though the mapping's loads are not ordered against the file's writes)
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

static int fd;

static void *writer(void *arg)
{
    (void)arg;
    if (pwrite(fd, "T", 1, 0) != 1)
        perror("pwrite");
    return NULL;
}

int main(void)
{
    fd = open("maps_its_file.data", O_CREAT | O_RDWR | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, 4096) != 0)
        return 3;
    const char *page = mmap(NULL, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED)
        return 3;
    pthread_t t;
    pthread_create(&t, NULL, writer, NULL);
    pthread_join(t, NULL);
    const int seen = page[0] == 'T';
    munmap((void *)page, 4096);
    close(fd);
    unlink("maps_its_file.data");
    printf("%d\n", seen);
    return seen ? 0 : 1;
}
