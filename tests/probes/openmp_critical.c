// Four OpenMP threads each add to a total inside a critical section.
// interleave: 2: cannot steer: OpenMP's runtime makes its threads and waits on raw futexes of its own
// build: openmp
#include <stdio.h>

int main(void)
{
    int total = 0;
#pragma omp parallel num_threads(4)
    {
#pragma omp critical
        total++;
    }
    printf("total %d\n", total);
    return total == 4 ? 0 : 1;
}
