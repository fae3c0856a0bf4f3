// A thread that writes one word of 200 letters to standard output and to standard error,
// a tab, and to standard error an escape sequence, a byte that is not UTF-8, a surrogate
// (which UTF-8 forbids) and a mark that turns the text right to left; then the
// program ends with status 3, a fault to interleave. Its report and its replay must still
// fit in 80 columns, and show those bytes rather than send them to the terminal.
#include <pthread.h>

#include <cstdio>
#include <string>

namespace {

void *writer(void *)
{
    const std::string word(200, 'x');
    std::printf("%s\n", word.c_str());
    std::printf("a\tb\n");
    std::fprintf(stderr, "long %s\n", word.c_str());
    std::fprintf(stderr, "red \x1b[31m, and \xff, \xed\xa0\x80 \xe2\x80\xae.\n");
    return nullptr;
}

}  // namespace

int main()
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, writer, nullptr) != 0 || pthread_join(thread, nullptr) != 0)
        return 1;
    return 3;
}
