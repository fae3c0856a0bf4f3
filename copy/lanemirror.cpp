// lanemirror: copies a file through memory mappings with several threads of one process,
// each copying its own contiguous range of the file one byte at a time (in the source:
// an optimised build moves 16 bytes a step).
//
// Run:   lanemirror src dst [n]      (5 threads by default, 1 to 100)
// Watch: `cmp src dst` prints nothing: the copy is exact. The threads share the two
//        mappings and need no lock, because no two of them touch the same byte. The
//        destination gets its length from one byte written at its end, which the copy
//        then overwrites.

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
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
constexpr int kMostThreads = 100;  // more would gain nothing on any machine
constexpr mode_t kMode = 0644;  // rw-r--r--, before the file-creation mask

// One thread's work: the bytes from off up to off + size - 1.
struct arg_t {
    off_t off;
    off_t size;
};

char *s;  // the source mapping, read by every thread
char *d;  // the destination mapping, written by every thread

// What the SIGBUS handler says, written out in full before the copy starts: a handler may
// call only async-signal-safe functions, and formatting text is not one of them.
std::array<char, 8192> bus_message;
std::size_t bus_message_length;
std::atomic_flag bus_said;  // set by the first thread to say it; lock-free, so safe in a handler

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

// Started with standard input, output or error closed, the program would hand those numbers
// to the files it opens (open takes the lowest free descriptor), and a message meant for
// standard error would land in the destination. So hold all three open, on /dev/null if
// need be, before opening anything.
void open_standard_streams()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            std::exit(1);
}

// A file of /proc, such as /proc/self/status, calls itself a regular file of 0 bytes and
// yet has text: its size is known only once it has been read. Reading one byte tells it
// from a file that is really empty.
bool has_data(int fd)
{
    char byte;
    return read(fd, &byte, 1) == 1;
}

// A page of a file mapping that the kernel cannot supply, because the source shrank under
// its mapping or the destination's file system has no room left for it, raises SIGBUS in
// the thread that touches it. Say so, and end the run instead of a bare crash. Several
// threads may fault at once: the first says it and ends the process, the others wait for
// that end.
void on_bus_error(int)
{
    if (!bus_said.test_and_set()) {
        [[maybe_unused]] ssize_t ignored = write(2, bus_message.data(), bus_message_length);
        _exit(1);
    }
    for (;;)
        pause();
}

void catch_bus_errors(const char *dst)
{
    int len = std::snprintf(bus_message.data(), bus_message.size(),
                            "lanemirror: a page of the source or of %s could not be reached "
                            "(the source shrank, or the disk is full); the copy in %s is "
                            "incomplete\n", dst, dst);
    bus_message_length = std::min(static_cast<std::size_t>(len), bus_message.size() - 1);
    struct sigaction action {};
    action.sa_handler = on_bus_error;
    sigaction(SIGBUS, &action, nullptr);
}

// Reads a number the way atoi does ("12abc" is 12, "abc" is 0), except that a number
// too large for an int saturates instead of being undefined.
int read_count(const char *text)
{
    long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// Speed hints for the kernel, gathered here so that a first reading can skip them: the
// copy is the same without them, only slower. What they gain depends on the kernel and
// the file system, and where one is not supported it is ignored.

// Asks for 2 MiB pages: where the file system keeps the file's cached pages in pieces
// that large, one page-table entry then maps 2 MiB instead of 4 KiB.
void hint_huge_pages(char *mapping, off_t len)
{
    madvise(mapping, static_cast<std::size_t>(len), MADV_HUGEPAGE);
}

// Asks the kernel to fill in the page tables for bytes [off, off + size) of a mapping
// now, in one call, instead of one page fault per page inside the copy loop. Each thread
// does this for its own range, so the page-table work is shared out like the copy. The
// start must lie on a page boundary.
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
    // would reload them after each byte. With locals, an optimised build turns the byte
    // loop below into 16-byte moves; a build without optimisation copies byte by byte.
    const char *from = s + a->off;
    char *to = d + a->off;
    const off_t size = a->size;
    populate(s, a->off, size, MADV_POPULATE_READ);  // speed hints, see above
    populate(d, a->off, size, MADV_POPULATE_WRITE);
    for (off_t i = 0; i < size; i++)
        to[i] = from[i];
    return nullptr;
}

int main(int argc, char *argv[])
{
    open_standard_streams();
    if (argc != 3 && argc != 4) {
        std::printf("Enter like this please: ./a.out src dst [thread number]\n");
        return 1;
    }
    int n = (argc == 4) ? read_count(argv[3]) : kDefaultThreads;
    if (n < 1 || n > kMostThreads)
        refuse("the thread number must be from 1 to %d, not '%s'", kMostThreads, argv[3]);
    // A destination that exists must be a regular file: a FIFO, a device or a folder has
    // no length to give and no pages to map. (Looked at again once it is open, below.)
    struct stat dst_stat;
    if (stat(argv[2], &dst_stat) == 0 && !S_ISREG(dst_stat.st_mode))
        refuse("%s is not a regular file", argv[2]);
    // What the threads need is allocated before any file is touched.
    auto *tid = new (std::nothrow) pthread_t[n];
    auto *p = new (std::nothrow) arg_t[n];
    if (tid == nullptr || p == nullptr)
        die_rc(ENOMEM, "allocate");

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
    off_t length = statbuf.st_size;
    if (length == 0 && has_data(fd_src))
        refuse("%s says it holds 0 bytes but has data: its size is unknown, so it cannot be "
               "mapped", argv[1]);

    // The source is mapped before the destination is opened: a source that cannot be
    // mapped then leaves an existing destination as it was. An empty one has nothing to map.
    // Private is enough for the source, which is only read: a page of a private mapping
    // is the file's own page until someone writes to it, so no copy is ever made.
    if (length > 0) {
        s = static_cast<char *>(mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd_src, 0));
        if (s == MAP_FAILED)
            die("mmap src");
    }

    // Opened without truncating, so that the opened file itself can be compared with the
    // source: if it is the source under another name (the same path, a hard link, a
    // symbolic link), truncating it would destroy the source. A check of the name before
    // the open could be fooled by a name that changes in between.
    int fd_dst = open(argv[2], O_RDWR | O_CREAT, kMode);
    if (fd_dst == -1)
        die("open dst");
    if (fstat(fd_dst, &dst_stat) == -1)
        die("fstat dst");
    if (dst_stat.st_dev == statbuf.st_dev && dst_stat.st_ino == statbuf.st_ino)
        refuse("%s and %s are the same file", argv[1], argv[2]);
    if (!S_ISREG(dst_stat.st_mode))
        refuse("%s is not a regular file", argv[2]);
    // An older destination is emptied, so that nothing of it survives. Only a file that
    // holds something: a file system may take a cut to zero as a file being replaced, and
    // write all of it out to disk as soon as it is closed (ext4 does, unless mounted with
    // noauto_da_alloc).
    if (dst_stat.st_size > 0 && ftruncate(fd_dst, 0) == -1)
        die("truncate dst");
    if (length == 0) {
        delete[] p;
        delete[] tid;
        return 0;
    }

    // Give the destination its length by writing its last byte.
    if (lseek(fd_dst, length - 1, SEEK_SET) == -1)
        die("lseek dst");
    if (write(fd_dst, "a", 1) != 1)
        die("write dst");

    d = static_cast<char *>(mmap(nullptr, length, PROT_WRITE, MAP_SHARED, fd_dst, 0));
    if (d == MAP_FAILED)
        die("mmap dst");
    hint_huge_pages(s, length);  // speed hints, see above
    hint_huge_pages(d, length);
    // The mappings stay valid without the descriptors.
    close(fd_src);
    close(fd_dst);

    off_t size = length / n;
    off_t off = 0;
    for (int i = 0; i < n; i++) {
        p[i].off = off;
        p[i].size = size;
        off += size;
    }
    p[n - 1].size += length % n;

    // Every thread is started before any is joined, so they all copy at once. If one
    // cannot be started, those already running still finish their ranges.
    catch_bus_errors(argv[2]);
    int started = 0;
    for (; started < n; started++)
        if (int rc = pthread_create(&tid[started], nullptr, tfn, &p[started]); rc != 0) {
            std::fprintf(stderr, "pthread_create: %s\n", std::strerror(rc));
            break;
        }
    for (int i = 0; i < started; i++)
        if (int rc = pthread_join(tid[i], nullptr); rc != 0)
            die_rc(rc, "pthread_join");

    munmap(s, length);
    munmap(d, length);
    delete[] p;
    delete[] tid;
    if (started < n) {
        std::fprintf(stderr, "lanemirror: the copy in %s is incomplete\n", argv[2]);
        return 1;
    }
    return 0;
}
