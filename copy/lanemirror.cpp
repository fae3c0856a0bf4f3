// lanemirror: copies a file through memory mappings with several threads of one process,
// each copying its own contiguous range of the file one byte at a time.
//
// Run:   lanemirror src dst [n]      (5 threads by default)
// Watch: `cmp src dst` prints nothing: the copy is exact. The threads share the two
//        mappings and need no lock, because no two of them touch the same byte. The
//        destination gets its length from one byte written at its end, which the copy
//        then overwrites.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

constexpr int kDefaultThreads = 5;
constexpr mode_t kMode = 0644;  // rw-r--r--, before the file-creation mask

// One thread's work: the bytes from off up to off + size - 1.
struct arg_t {
    off_t off;
    off_t size;
};

char *s;  // the source mapping, read by every thread
char *d;  // the destination mapping, written by every thread

// Report a failed call that sets errno, in the perror form, and end the run.
[[noreturn]] void die(const char *label)
{
    std::perror(label);
    std::exit(1);
}

// The same for a failure that comes as an error number, as the pthread calls return it.
[[noreturn]] void die_rc(int rc, const char *label)
{
    std::fprintf(stderr, "%s: %s\n", label, std::strerror(rc));
    std::exit(1);
}

// Refuse what the program cannot do, before it touches anything.
[[noreturn]] [[gnu::format(printf, 1, 2)]] void refuse(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("lanemirror: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::exit(1);
}

// Reads a number the way atoi does ("12abc" is 12, "abc" is 0), except that a number
// too large for an int saturates instead of being undefined.
int read_count(const char *text)
{
    long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// Asks the kernel to fill in the page tables for bytes [off, off + size) of a mapping
// now, in one call, instead of taking one page fault per page inside the copy loop.
// Each thread does this for its own range, so the page-table work is shared out like
// the copy. The start must lie on a page boundary. It is only a hint: on a kernel
// without it, the loop faults the pages in as it goes.
void populate(char *mapping, off_t off, off_t size, int advice)
{
    const off_t page = sysconf(_SC_PAGESIZE);
    const off_t start = off / page * page;
    madvise(mapping + start, static_cast<std::size_t>(off + size - start), advice);
}

void *tfn(void *arg)
{
    auto *a = static_cast<arg_t *>(arg);
    // Take the mappings and the count into locals first. Through the shared variables,
    // every byte stored could, for all the compiler knows, change s, d or the record, so it
    // would reload them after each byte; with locals it may copy many bytes per step.
    const char *from = s + a->off;
    char *to = d + a->off;
    const off_t size = a->size;
    populate(s, a->off, size, MADV_POPULATE_READ);
    populate(d, a->off, size, MADV_POPULATE_WRITE);
    for (off_t i = 0; i < size; i++)
        to[i] = from[i];
    return nullptr;
}

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::printf("Enter like this please: ./a.out src dst [thread number]\n");
        return 1;
    }
    int n = (argc == 4) ? read_count(argv[3]) : kDefaultThreads;
    if (n < 1)
        refuse("the thread number must be at least 1, not '%s'", argv[3]);

    // O_NONBLOCK matters only for a FIFO, whose open would otherwise wait for a writer.
    int fd_src = open(argv[1], O_RDONLY | O_NONBLOCK);
    if (fd_src == -1)
        die("open src");
    struct stat statbuf;
    if (stat(argv[1], &statbuf) == -1)
        die("stat src");
    // A directory, FIFO or device has no length to map; a FIFO would look empty and its
    // data would be lost.
    if (!S_ISREG(statbuf.st_mode))
        refuse("%s is not a regular file", argv[1]);
    // Opening the destination truncates it. If it is the source under another name (the
    // same path, a hard link, a symbolic link), that would destroy the source.
    struct stat dst_stat;
    if (stat(argv[2], &dst_stat) == 0 && dst_stat.st_dev == statbuf.st_dev &&
        dst_stat.st_ino == statbuf.st_ino)
        refuse("%s and %s are the same file", argv[1], argv[2]);

    int fd_dst = open(argv[2], O_RDWR | O_CREAT | O_TRUNC, kMode);
    if (fd_dst == -1)
        die("open dst");
    off_t length = statbuf.st_size;
    // An empty source is copied once the destination is empty; there is nothing to map.
    if (length == 0)
        return 0;

    // Give the destination its length by writing its last byte.
    if (lseek(fd_dst, length - 1, SEEK_SET) == -1)
        die("lseek dst");
    if (write(fd_dst, "a", 1) != 1)
        die("write dst");

    s = static_cast<char *>(mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd_src, 0));
    if (s == MAP_FAILED)
        die("mmap src");
    d = static_cast<char *>(mmap(nullptr, length, PROT_WRITE, MAP_SHARED, fd_dst, 0));
    if (d == MAP_FAILED)
        die("mmap dst");
    // Ask for 2 MiB pages: where the filesystem can hold the file's cached pages that way
    // (ext4 can, tmpfs only if configured to), one page-table entry then maps 2 MiB and
    // the threads set up 512 times fewer entries. A hint: ignored where unsupported.
    madvise(s, static_cast<std::size_t>(length), MADV_HUGEPAGE);
    madvise(d, static_cast<std::size_t>(length), MADV_HUGEPAGE);
    // The mappings stay valid without the descriptors.
    close(fd_src);
    close(fd_dst);

    auto *tid = new (std::nothrow) pthread_t[n];
    auto *p = new (std::nothrow) arg_t[n];
    if (tid == nullptr || p == nullptr)
        die_rc(ENOMEM, "allocate");

    off_t size = length / n;
    off_t off = 0;
    for (int i = 0; i < n; i++) {
        p[i].off = off;
        p[i].size = size;
        off += size;
    }
    p[n - 1].size += length % n;

    // Every thread is started before any is joined, so they all copy at once.
    for (int i = 0; i < n; i++)
        if (int rc = pthread_create(&tid[i], nullptr, tfn, &p[i]); rc != 0)
            die_rc(rc, "pthread_create");
    for (int i = 0; i < n; i++)
        if (int rc = pthread_join(tid[i], nullptr); rc != 0)
            die_rc(rc, "pthread_join");

    munmap(s, length);
    munmap(d, length);
    delete[] p;
    delete[] tid;
    return 0;
}
