// forkmirror: copies a file through memory mappings, the work divided into contiguous
// blocks among several worker processes created with fork.
//
// Run:   forkmirror file_src file_dst [process number]      (5 workers by default, 1 to 100)
// Watch: `cmp file_src file_dst` prints nothing: the copy is exact. Both files are mapped
//        before the first fork, so every worker inherits both mappings; each copies its
//        own block with one move, and because the destination mapping is shared with the
//        file, what a worker writes lands in the file. No locks: the blocks are disjoint.

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

constexpr int kDefaultWorkers = 5;
// More workers would gain nothing on any machine and could fill its process table, failing
// other programs' forks while they run.
constexpr int kMostWorkers = 100;
constexpr mode_t kMode = 0664;  // rw-rw-r--, before the file-creation mask

// Report a failed call in the perror form (label, colon, blank, the system's text) and end.
// The labels name fixed files ("open dict.txt err", whatever the source is called), as
// the usage line names ./a.out: both are kept exactly as this program has always printed
// them.
void err_int(int ret, const char *err)
{
    if (ret == -1) {
        std::perror(err);
        std::exit(1);
    }
}

void err_str(void *ret, const char *err)
{
    if (ret == MAP_FAILED) {
        std::perror(err);
        std::exit(1);
    }
}

// Refuse what the program cannot do, before it touches anything.
[[noreturn]] [[gnu::format(printf, 1, 2)]] void refuse(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("forkmirror: ", stderr);
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

// A file of /proc, such as /proc/cpuinfo, calls itself a regular file of 0 bytes and yet
// has text: its size is known only once it has been read. Reading one byte tells it from
// a file that is really empty.
bool has_data(int fd)
{
    char byte;
    return read(fd, &byte, 1) == 1;
}

// Reads a number the way atoi does: leading blanks and a sign, then digits up to the first
// other character, 0 if there are none ("12abc" is 12). Unlike atoi, a number too large
// for an int is not undefined: it saturates.
int read_count(const char *text)
{
    long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// Tells whether a worker did its share; says on standard error what went wrong if not.
bool worker_succeeded(pid_t pid, int status)
{
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        std::fprintf(stderr, "forkmirror: worker %d was killed by signal %d (%s)\n",
                     static_cast<int>(pid), sig, strsignal(sig));
        return false;
    }
    if (WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "forkmirror: worker %d ended with status %d\n",
                     static_cast<int>(pid), WEXITSTATUS(status));
        return false;
    }
    return true;
}

// Speed hints for the kernel, gathered here so that a first reading can skip them: the
// copy is the same without them, only slower. What they gain depends on the kernel and
// the file system, and where one is not supported it is ignored.

// Asks for 2 MiB pages: where the file system keeps the file's cached pages in pieces
// that large, one page-table entry then maps 2 MiB instead of 4 KiB. Flags of a mapping,
// unlike its page tables, are inherited by fork.
void hint_huge_pages(char *mapping, off_t len)
{
    madvise(mapping, static_cast<std::size_t>(len), MADV_HUGEPAGE);
}

// Asks the kernel to fill in the page tables for bytes [off, off + size) of a mapping
// now, in one call, instead of one page fault per page during the copy. Each worker does
// this for its own block: a fork does not copy the page tables of a shared file mapping,
// so doing it in the first process would not help the workers. The start must lie on a
// page boundary.
void populate(char *mapping, off_t off, off_t size, int advice)
{
    const off_t page = sysconf(_SC_PAGESIZE);
    const off_t start = off / page * page;
    madvise(mapping + start, static_cast<std::size_t>(off + size - start), advice);
}

int main(int argc, char *argv[])
{
    open_standard_streams();
    if (argc != 3 && argc != 4) {
        std::printf("Enter like this please: ./a.out file_src file_dst [process number]\n");
        return 1;
    }
    int n = (argc == 4) ? read_count(argv[3]) : kDefaultWorkers;
    if (n < 1 || n > kMostWorkers)
        refuse("the process number must be from 1 to %d, not '%s'", kMostWorkers, argv[3]);
    // A destination that exists must be a regular file: a FIFO, a device or a folder has
    // no length to give and no pages to map. (Looked at again once it is open, below.)
    struct stat dst_stat;
    if (stat(argv[2], &dst_stat) == 0 && !S_ISREG(dst_stat.st_mode))
        refuse("%s is not a regular file", argv[2]);
    // A launcher may have left SIGCHLD ignored: the kernel would then reap the workers by
    // itself, and the waits below would find none.
    signal(SIGCHLD, SIG_DFL);

    // O_NONBLOCK matters only for a FIFO, whose open would otherwise wait for a writer;
    // for a regular file it changes nothing.
    int fd_src = open(argv[1], O_RDONLY | O_NONBLOCK);
    err_int(fd_src, "open dict.txt err");
    struct stat statbuf;
    err_int(fstat(fd_src, &statbuf), "fstat err");
    // A directory, FIFO or device has no length to map; a FIFO would look empty and its
    // data would be lost.
    if (!S_ISREG(statbuf.st_mode))
        refuse("%s is not a regular file", argv[1]);
    off_t len = statbuf.st_size;
    if (len == 0 && has_data(fd_src))
        refuse("%s says it holds 0 bytes but has data: its size is unknown, so it cannot be "
               "mapped", argv[1]);

    // The source is mapped before the destination is opened: a source that cannot be
    // mapped then leaves an existing destination as it was. An empty one has nothing to map.
    char *mp_src = nullptr;
    if (len > 0) {
        mp_src = static_cast<char *>(mmap(nullptr, len, PROT_READ, MAP_SHARED, fd_src, 0));
        err_str(mp_src, "mmap src err");
    }

    // Opened without truncating, so that the opened file itself can be compared with the
    // source: if it is the source under another name (the same path, a hard link, a
    // symbolic link), truncating it would destroy the source. A check of the name before
    // the open could be fooled by a name that changes in between.
    // The workers' ids are kept in room made now, before the destination is touched.
    std::vector<pid_t> workers;
    workers.reserve(static_cast<std::size_t>(n));
    int fd_dst = open(argv[2], O_RDWR | O_CREAT, kMode);
    err_int(fd_dst, "open dict.cp err");
    err_int(fstat(fd_dst, &dst_stat), "fstat err");
    if (dst_stat.st_dev == statbuf.st_dev && dst_stat.st_ino == statbuf.st_ino)
        refuse("%s and %s are the same file", argv[1], argv[2]);
    if (!S_ISREG(dst_stat.st_mode))
        refuse("%s is not a regular file", argv[2]);
    if (len < n)
        n = static_cast<int>(len);
    // An older destination is emptied first, so that nothing of it survives; then the file
    // gets the source's length. Only a file that holds something is emptied: a file system
    // may take a cut to zero as a file being replaced, and write all of it out to disk as
    // soon as it is closed (ext4 does, unless mounted with noauto_da_alloc).
    if (dst_stat.st_size > 0)
        err_int(ftruncate(fd_dst, 0), "truncate fd_dst err");
    err_int(ftruncate(fd_dst, len), "truncate fd_dst err");
    if (len == 0)
        return 0;

    auto *mp_dst = static_cast<char *>(
        mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd_dst, 0));
    err_str(mp_dst, "mmap dst err");
    hint_huge_pages(mp_src, len);  // speed hints, see above
    hint_huge_pages(mp_dst, len);

    off_t bs = len / n;
    off_t mod = len % n;

    // A new process leaves the loop at once as worker i; the first process goes on and
    // keeps each worker's id, so as to wait for its own workers and no other child.
    pid_t pid = -1;
    int i;
    for (i = 0; i < n; i++) {
        pid = fork();
        if (pid == 0)
            break;
        if (pid == -1) {
            std::perror("fork");
            break;
        }
        workers.push_back(pid);
    }

    int status = 0;
    if (pid == 0) {
        off_t size = (i == n - 1) ? bs + mod : bs;
        populate(mp_src, i * bs, size, MADV_POPULATE_READ);  // speed hints, see above
        populate(mp_dst, i * bs, size, MADV_POPULATE_WRITE);
        std::memcpy(mp_dst + i * bs, mp_src + i * bs, static_cast<std::size_t>(size));
    } else {
        // The first process: fewer than n workers means a fork failed.
        if (i < n)
            status = 1;
        // A child that is not a worker (a shell's `job & exec forkmirror ...` hands its
        // background job to us) is never waited for: only the workers' ids are.
        for (pid_t worker : workers) {
            int worker_status;
            if (waitpid(worker, &worker_status, 0) == -1) {
                std::perror("waitpid");
                status = 1;
            } else if (!worker_succeeded(worker, worker_status)) {
                status = 1;
            }
        }
        if (status != 0)
            std::fprintf(stderr, "forkmirror: the copy in %s is incomplete\n", argv[2]);
    }

    munmap(mp_src, len);
    munmap(mp_dst, len);
    return status;
}
