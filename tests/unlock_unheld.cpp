// A thread that unlocks a mutex another thread holds: the misuse interleave reports.
#include <pthread.h>

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

void *tfn(void *)
{
    pthread_mutex_unlock(&lock);
    return nullptr;
}

int main()
{
    pthread_mutex_lock(&lock);
    pthread_t tid;
    pthread_create(&tid, nullptr, tfn, nullptr);
    pthread_join(tid, nullptr);
    return 0;
}
