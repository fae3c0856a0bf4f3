// Two threads race for a lock, each run appending where the heap put a small and a large
// block, where its argument lies and where main keeps a local, to the file it is given:
// every run, the first (started afresh) and those after it, must find its memory as a
// fresh start of the program does, or a program that prints a pointer, or hashes one,
// would not replay.
#include <cstdio>
#include <cstdlib>
#include <pthread.h>

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int turns = 0;

void *take(void *)
{
    pthread_mutex_lock(&lock);
    turns++;
    pthread_mutex_unlock(&lock);
    return nullptr;
}

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    void *small = std::malloc(100);
    void *large = std::malloc(1 << 20);
    pthread_t threads[2];
    for (pthread_t &t : threads)
        pthread_create(&t, nullptr, take, nullptr);
    for (pthread_t t : threads)
        pthread_join(t, nullptr);
    FILE *notes = std::fopen(argv[1], "a");
    if (notes == nullptr)
        return 2;
    int local = 0;
    std::fprintf(notes, "%p %p %p %p\n", small, large, static_cast<void *>(argv[1]), static_cast<void *>(&local));
    std::fclose(notes);
    std::free(small);
    std::free(large);
    return 0;
}
