// The steering library: writes to standard output and error, reads of standard input,
// sleeps, yields and the clock.
//
// A write is a turn, taken before the stream is locked; a read of standard input is a turn
// where interleave hands the program a line (or the end of its input) when there is none
// left to read. A sleep is a turn that comes when its time has come on the program's clock,
// which is interleave's: it moves with the sleeps and timeouts of the schedule alone, so a
// run's values depend on its schedule and nothing else.
//
// Descriptors 0, 1 and 2 are these streams while they name what interleave gave the
// program; one that it points at a pipe or a file of its own (dup2, or a close and an
// open) is read and written as that pipe or file is.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>

#include "steer.h"

namespace steer {
namespace {

// What interleave gave the process as its standard input, output and error: its output
// stands where the learner's terminal would.
std::array<struct stat, 3> given;
std::array<bool, 3> given_known;
bool output_pipe_known;  // standard output was given as a pipe
char terminal_buffer[1024];  // the block a terminal gives stdio

// Whether descriptor 0, 1 or 2 names a pipe or a file other than the one interleave gave
// (the program put one there with dup2, or closed it and opened another): its reads and
// writes are then turns on that pipe or file, as any other descriptor's are. A descriptor
// closed, naming nothing, is still the standard stream, whose writes fail.
bool standard_elsewhere(int fd)
{
    return fd >= 0 && fd <= 2 && naming(fd) == names_t::its_own;
}

bool standard(FILE *f)
{
    return (f == stdout || f == stderr) && !standard_elsewhere(fileno(f));
}

// stdio chooses a stream's buffering as it first writes to it: whole blocks to a pipe or a
// file, a line at a time to a terminal. While standard output is still interleave's pipe,
// it is buffered as at a terminal, unless the program chose a buffering of its own. (A
// descriptor closed is no terminal: stdio keeps whole blocks for it.)
void buffer_as_at_a_terminal()
{
    constexpr int kLineBuffered = 0x200, kUnbuffered = 0x2;  // glibc's marks on a stream
    if (!output_pipe_known || stdout->_IO_buf_base != nullptr || (stdout->_flags & (kLineBuffered | kUnbuffered)) != 0)
        return;
    if (naming(STDOUT_FILENO) == names_t::given)
        setvbuf(stdout, terminal_buffer, _IOLBF, sizeof terminal_buffer);
}

// How many write system calls the thread has made, from the system's count of them.
uint64_t writes_made()
{
    const long fd = r().syscall(SYS_openat, AT_FDCWD, "/proc/thread-self/io", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[512] = {};
    const long n = r().syscall(SYS_read, fd, text, sizeof text - 1);
    r().syscall(SYS_close, fd);
    const char *count = n > 0 ? std::strstr(text, "syscw:") : nullptr;
    return count != nullptr ? std::strtoull(count + 6, nullptr, 10) : 0;
}

// A stream's lock, as the C library keeps it: flockfile holds it across calls, so that a
// thread's prints come out together, and another thread's print to the stream waits for it.
// Here it is a recursive lock in the model too, so that the wait is a turn's, not the
// system's.
struct stream_lock_t {
    int lock;
    int count;
    void *owner;
};

const void *owner_of(FILE *f)
{
    if (f == nullptr || (f->_flags & _IO_USER_LOCK) != 0 || f->_lock == nullptr)
        return nullptr;
    return static_cast<const stream_lock_t *>(f->_lock)->owner;
}

bool held_by_me(FILE *f)
{
    return owner_of(f) == reinterpret_cast<void *>(pthread_self());
}

bool held_by_another(FILE *f)
{
    return owner_of(f) != nullptr && !held_by_me(f);
}

// An unlocked call of the C library's on a stream: see fwrite_unlocked below.
void unlocked_use(FILE *f, bool writes)
{
    if (!writes || f == nullptr || !standard(f) || !held_by_me(f))
        used_unlocked_stream();
}

// A poll of descriptors: what their numbers name depends on the other threads' closes. (Out
// of line: the C library's poll is declared to write its array, which then looks unset.)
__attribute__((noinline)) void looks_at(const pollfd *fds)
{
    numbered(kUses, fds[0].fd, -1, true);
}


// A print to a standard stream is a turn, taken before the stream is locked (a flush is
// none). Most stay in stdio's buffer; one that writes it out is a system call, and a
// signal that waited for the thread arrives before it returns, as the system hands it
// over there: then the print's return is a turn too, at which the signal arrives. Where
// another thread holds the stream's lock, the print waits for it, a turn, and lets it go
// after, another.
struct print_t {
    FILE *stream;
    bool waiting = false;  // a signal the thread lets through waits
    uint64_t writes = 0;
    FILE *waited_for = nullptr;  // the stream whose lock it waited for

    explicit print_t(FILE *f, bool turn = true, FILE *held = nullptr) : stream(f)
    {
        const bool to_interleave = standard(f);
        if (to_interleave && turn)
            ask_at_cancellation_point({.call = call_t::output, .value = f == stdout ? 1 : 2});
        else if (!to_interleave && f != nullptr)
            before_writing(fileno(f), f);
        if (held == nullptr)
            held = f;
        waited_for = wait_for_stream(held);
        // Setting the stream's buffer takes its lock: only once no other thread holds it.
        if (to_interleave) {
            if (f == stdout)
                buffer_as_at_a_terminal();
            waiting = steered() && signal_may_arrive();
            writes = waiting ? writes_made() : 0;
        }
    }
    ~print_t()
    {
        // A write that failed (standard output closed: EBADF) is a system call that the
        // system's count leaves out; the stream's error mark says it was made.
        if (waiting && (writes_made() > writes || ferror_unlocked(stream) != 0))
            ask({.call = call_t::output, .value = stream == stdout ? 1 : 2, .flags = kSystemCall | kWroteOut});
        if (waited_for != nullptr)
            ask_stream_lock(call_t::mutex_unlock, waited_for);
    }
    print_t(const print_t &) = delete;
    print_t &operator=(const print_t &) = delete;
};

// A read of standard input through its stream needs a turn only when the stream has
// nothing left to hand out; a read of another stream, of a pipe or a file, is a turn.
reading_t input(FILE *f)
{
    if (f == stdin && !standard_elsewhere(STDIN_FILENO)) {
        if (stdin->_IO_read_ptr >= stdin->_IO_read_end)
            ask_at_cancellation_point({call_t::input});
        return reading_t(STDIN_FILENO);
    }
    return reading_t(f != nullptr ? fileno(f) : -1, f);
}

// A read through a descriptor: of standard input, when it is the one interleave gave.
reading_t input(int fd)
{
    if (fd == STDIN_FILENO && !standard_elsewhere(fd)) {
        ask_at_cancellation_point({call_t::input});
        return reading_t(fd);
    }
    return reading_t(fd, nullptr);
}

// A line read from a pipe may come in pieces, each a read of its own: the stream's buffer
// is filled afresh as it runs out, each fill a read that may wait for a writer, as the C
// library's would in the system. The stream stays locked for the whole line, as there.
// One character: the first of a call is a turn whatever the buffer holds.
int piece(FILE *f, bool first)
{
    if (!first && f->_IO_read_ptr < f->_IO_read_end)
        return r().getc(f);
    const reading_t reading = input(f);
    return reading.failed ? EOF : r().getc(f);
}

// An error in the middle of the line (a handler that cut a read short) loses what was
// read, as the C library's fgets does; an error from before the call does not count.
char *line_in_pieces(char *line, int size, FILE *f)
{
    flockfile(f);
    const int old_error = f->_flags & _IO_ERR_SEEN;
    f->_flags &= ~_IO_ERR_SEEN;
    int n = 0;
    for (int c = 0; n < size - 1 && c != '\n';) {
        if ((c = piece(f, n == 0)) == EOF)
            break;
        line[n++] = static_cast<char>(c);
    }
    const bool failed = (f->_flags & _IO_ERR_SEEN) != 0 && errno != EAGAIN;
    f->_flags |= old_error;
    funlockfile(f);
    if (n == 0 || failed)
        return nullptr;
    line[n] = '\0';
    return line;
}

// getdelim keeps what it read before an error or the end, as the C library's does, and reads
// nothing from a stream whose error mark is set.
ssize_t delimited_in_pieces(char **line, size_t *size, int delimiter, FILE *f)
{
    if (*line == nullptr || *size == 0) {
        char *first = static_cast<char *>(std::realloc(*line, 120));
        if (first == nullptr)
            return -1;
        *line = first;
        *size = 120;
    }
    flockfile(f);
    if (ferror_unlocked(f) != 0) {
        funlockfile(f);
        return -1;
    }
    std::size_t n = 0;
    bool out_of_memory = false;
    for (int c = 0; c != delimiter;) {
        if ((c = piece(f, n == 0)) == EOF)
            break;
        if (n + 2 > *size) {
            char *grown = static_cast<char *>(std::realloc(*line, *size * 2));
            if ((out_of_memory = grown == nullptr))
                break;
            *line = grown;
            *size *= 2;
        }
        (*line)[n++] = static_cast<char>(c);
    }
    funlockfile(f);
    if (n == 0 || out_of_memory)
        return -1;
    (*line)[n] = '\0';
    return static_cast<ssize_t>(n);
}

// fread wants its count whole, as the C library's reads the pipe until it has it (or the end,
// or an error): each piece that the buffer holds is taken from it without a read of the
// system's, and each fill is a turn.
size_t read_in_pieces(void *data, size_t size, size_t count, FILE *f)
{
    auto *to = static_cast<unsigned char *>(data);
    const std::size_t want = size * count;
    std::size_t done = 0;
    flockfile(f);
    while (done < want) {
        const int c = piece(f, done == 0);
        if (c == EOF)
            break;
        to[done++] = static_cast<unsigned char>(c);
        const auto buffered = static_cast<std::size_t>(f->_IO_read_end - f->_IO_read_ptr);
        done += r().fread_unlocked(to + done, 1, std::min(buffered, want - done), f);
    }
    funlockfile(f);
    return done / size;
}

// Returns the time left, in ns, when a signal cut the sleep short (0 when it slept it all).
int64_t sleep_until(int64_t deadline)
{
    if (ask_at_cancellation_point({.call = call_t::sleep, .deadline = deadline}) != kInterrupted)
        return 0;
    return std::max<int64_t>(deadline - deadline_after(int64_t{0}), 1);
}

timespec as_timespec(int64_t ns)
{
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

int64_t monotonic(int64_t realtime)
{
    return realtime - kEpochNs + kMonotonicStartNs;
}

bool virtual_clock(clockid_t clock)
{
    return clock == CLOCK_REALTIME || clock == CLOCK_MONOTONIC || clock == CLOCK_BOOTTIME ||
           clock == CLOCK_REALTIME_COARSE || clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_MONOTONIC_RAW ||
           clock == CLOCK_TAI;
}

bool realtime(clockid_t clock)
{
    return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI;
}

}  // namespace

int64_t ask_stream_lock(call_t call, FILE *f)
{
    return ask({.call = call, .object = f, .value = f->_fileno, .flags = kRecursive | kStream});
}

FILE *wait_for_stream(FILE *f)
{
    if (f == nullptr || !steered() || !held_by_another(f))
        return nullptr;
    ask_stream_lock(call_t::mutex_lock, f);
    return f;
}

names_t naming(int fd)
{
    struct stat now {};
    if (r().fstat(fd, &now) != 0)
        return names_t::nothing;
    for (std::size_t k = 0; k < given.size(); k++)
        if (given_known[k] && now.st_dev == given[k].st_dev && now.st_ino == given[k].st_ino)
            return names_t::given;
    return names_t::its_own;
}

void write_out_at_exit()
{
    // The C library's exit never waits for a stream's lock: it writes out a stream that
    // another thread holds (with flockfile) without it, and leaves its buffering as it is.
    const bool held = held_by_another(stdout);
    if (held)
        r().fflush_unlocked(stdout);
    else
        r().fflush(stdout);
    if (standard(stdout))
        ask({.call = call_t::output, .value = 1});
    else
        before_writing(fileno(stdout), stdout);
    if (!held)
        setvbuf(stdout, nullptr, _IONBF, 0);  // which writes out what was printed since
}

void start_output()
{
    for (std::size_t fd = 0; fd < given.size(); fd++)
        given_known[fd] = r().fstat(static_cast<int>(fd), &given[fd]) == 0;
    output_pipe_known = given_known[STDOUT_FILENO] && S_ISFIFO(given[STDOUT_FILENO].st_mode);
}

}  // namespace steer

using namespace steer;

extern "C" {

// Writes to standard output and error: a turn each, before the stream is locked.
int printf(const char *format, ...)
{
    const print_t print(stdout);
    va_list args;
    va_start(args, format);
    const int n = r().vprintf(format, args);
    va_end(args);
    return n;
}

int vprintf(const char *format, va_list args)
{
    const print_t print(stdout);
    return r().vprintf(format, args);
}

int __printf_chk(int flag, const char *format, ...)
{
    const print_t print(stdout);
    va_list args;
    va_start(args, format);
    const int n = r().vprintf_chk(flag, format, args);
    va_end(args);
    return n;
}

int __vprintf_chk(int flag, const char *format, va_list args)
{
    const print_t print(stdout);
    return r().vprintf_chk(flag, format, args);
}

int fprintf(FILE *f, const char *format, ...)
{
    const print_t print(f);
    va_list args;
    va_start(args, format);
    const int n = r().vfprintf(f, format, args);
    va_end(args);
    return n;
}

int vfprintf(FILE *f, const char *format, va_list args)
{
    const print_t print(f);
    return r().vfprintf(f, format, args);
}

int __fprintf_chk(FILE *f, int flag, const char *format, ...)
{
    const print_t print(f);
    va_list args;
    va_start(args, format);
    const int n = r().vfprintf_chk(f, flag, format, args);
    va_end(args);
    return n;
}

int __vfprintf_chk(FILE *f, int flag, const char *format, va_list args)
{
    const print_t print(f);
    return r().vfprintf_chk(f, flag, format, args);
}

int puts(const char *s)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(s), -static_cast<int64_t>(std::strlen(s) + 1), __builtin_return_address(0));
    const print_t print(stdout);
    return r().puts(s);
}

int putchar(int c)
{
    const print_t print(stdout);
    return r().putchar(c);
}

int fputs(const char *s, FILE *f)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(s), -static_cast<int64_t>(std::strlen(s) + 1), __builtin_return_address(0));
    const print_t print(f);
    return r().fputs(s, f);
}

int fputc(int c, FILE *f)
{
    const print_t print(f);
    return r().fputc(c, f);
}

int putc(int c, FILE *f)
{
    const print_t print(f);
    return r().putc(c, f);
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *f)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), size != 0 && count <= INT64_MAX / size ? -static_cast<int64_t>(size * count) : 0, __builtin_return_address(0));
    const print_t print(f);
    return r().fwrite(data, size, count, f);
}

// A flush of a standard stream writes out what its buffer holds, which may be another
// thread's text, in the turn that runs: it is no turn of its own, unless a signal waits
// (see print_t). A flush of another stream writes to its pipe or file.
int fflush(FILE *f)
{
    FILE *const out = f == nullptr ? stdout : f;  // (all streams: stdout stands for them)
    const bool to_interleave = standard(out);
    if (!to_interleave && out->_IO_write_ptr > out->_IO_write_base)
        before_writing(fileno(out), out);
    if (f == nullptr || to_interleave)
        flushed_streams();
    const print_t print(to_interleave ? out : nullptr, false, out);  // another stream took its turn above
    return r().fflush(f);
}

int fclose(FILE *f)
{
    if (f != nullptr && !standard(f) && f != stdin) {
        if (f->_IO_write_ptr > f->_IO_write_base)
            before_writing(fileno(f), f);
        before_closing(fileno(f), f);
    } else if (f != nullptr && fileno(f) >= 0) {
        before_closing(fileno(f), nullptr);  // the stream's number is free after it
    }
    return r().fclose(f);
}

// On a standard error that nothing has printed to yet, perror copies its descriptor (the
// lowest free number, for a moment) and prints through the copy.
void perror(const char *label)
{
    if (fwide(stderr, 0) == 0 && fileno(stderr) >= 0)
        for_a_moment("perror");
    const print_t print(stderr);
    r().perror(label);
}

// A print to a descriptor is a write of it, in one call of the system's.
int vdprintf(int fd, const char *format, va_list args)
{
    if ((fd == 1 || fd == 2) && !standard_elsewhere(fd))
        ask_at_cancellation_point({.call = call_t::output, .value = fd, .flags = kSystemCall});
    else
        before_writing(fd, nullptr);
    return r().vdprintf(fd, format, args);
}

int dprintf(int fd, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vdprintf(fd, format, args);
    va_end(args);
    return n;
}

// A signal's description, printed to standard error.
void psignal(int sig, const char *label)
{
    const print_t print(stderr);
    r().psignal(sig, label);
}

void psiginfo(const siginfo_t *info, const char *label)
{
    const print_t print(stderr);
    r().psiginfo(info, label);
}

ssize_t write(int fd, const void *data, size_t size)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), -static_cast<int64_t>(size), __builtin_return_address(0));
    if ((fd != 1 && fd != 2) || standard_elsewhere(fd))
        return write_with_room(fd, data, size);
    ask_at_cancellation_point({.call = call_t::output, .value = fd, .flags = kSystemCall});
    return r().write(fd, data, size);
}

// Reads of standard input, and of pipes and files.
ssize_t read(int fd, void *data, size_t size)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    const reading_t reading = input(fd);
    if (reading.failed)
        return -1;
    return r().read(reading.from, data, size);
}

ssize_t pread(int fd, void *data, size_t size, off_t at)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    // A pipe has no place to read at: the system refuses at once (ESPIPE), and never waits.
    if (struct stat st {}; r().fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
        return r().pread(fd, data, size, at);
    const reading_t reading(fd, nullptr);
    if (reading.failed)
        return -1;
    return r().pread(reading.from, data, size, at);
}

// What a build with _FORTIFY_SOURCE calls for read and pread.
ssize_t __read_chk(int fd, void *data, size_t size, size_t room)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    const reading_t reading = input(fd);
    if (reading.failed)
        return -1;
    return r().read_chk(reading.from, data, size, room);
}

ssize_t pread64(int fd, void *data, size_t size, off64_t at)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    return pread(fd, data, size, at);
}

ssize_t __pread_chk(int fd, void *data, size_t size, off_t at, size_t room)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    if (struct stat st {}; r().fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
        return r().pread_chk(fd, data, size, at, room);
    const reading_t reading(fd, nullptr);
    if (reading.failed)
        return -1;
    return r().pread_chk(reading.from, data, size, at, room);
}

ssize_t __pread64_chk(int fd, void *data, size_t size, off64_t at, size_t room)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    return __pread_chk(fd, data, size, at, room);
}

ssize_t pwrite(int fd, const void *data, size_t size, off_t at)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), -static_cast<int64_t>(size), __builtin_return_address(0));
    before_writing(fd, nullptr);
    return r().pwrite(fd, data, size, at);
}

ssize_t pwrite64(int fd, const void *data, size_t size, off64_t at)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), -static_cast<int64_t>(size), __builtin_return_address(0));
    return pwrite(fd, data, size, at);
}

// At a place, as pread and pwrite; preadv2 and pwritev2 at the descriptor's own place where
// the place is -1, as readv and writev.
ssize_t preadv(int fd, const iovec *parts, int count, off_t at)
{
    const buffer_t told(count == 1 ? reinterpret_cast<uintptr_t>(parts[0].iov_base) : 0, count == 1 ? static_cast<int64_t>(parts[0].iov_len) : 1, __builtin_return_address(0));
    if (struct stat st {}; r().fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
        return r().preadv(fd, parts, count, at);
    const reading_t reading(fd, nullptr);
    if (reading.failed)
        return -1;
    return r().preadv(reading.from, parts, count, at);
}

ssize_t preadv64(int fd, const iovec *parts, int count, off64_t at)
{
    const buffer_t told(count == 1 ? reinterpret_cast<uintptr_t>(parts[0].iov_base) : 0, count == 1 ? static_cast<int64_t>(parts[0].iov_len) : 1, __builtin_return_address(0));
    return preadv(fd, parts, count, at);
}

ssize_t preadv2(int fd, const iovec *parts, int count, off_t at, int flags)
{
    const buffer_t told(count == 1 ? reinterpret_cast<uintptr_t>(parts[0].iov_base) : 0, count == 1 ? static_cast<int64_t>(parts[0].iov_len) : 1, __builtin_return_address(0));
    if (at != -1) {
        if (struct stat st {}; r().fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
            return r().preadv2(fd, parts, count, at, flags);
    }
    const reading_t reading = at == -1 && (flags & RWF_NOWAIT) == 0 ? input(fd) : reading_t(fd, nullptr, false);
    if (reading.failed)
        return -1;
    return r().preadv2(reading.from, parts, count, at, flags);
}

ssize_t preadv64v2(int fd, const iovec *parts, int count, off64_t at, int flags)
{
    const buffer_t told(count == 1 ? reinterpret_cast<uintptr_t>(parts[0].iov_base) : 0, count == 1 ? static_cast<int64_t>(parts[0].iov_len) : 1, __builtin_return_address(0));
    return preadv2(fd, parts, count, at, flags);
}

ssize_t pwritev(int fd, const iovec *parts, int count, off_t at)
{
    const buffer_t told(count == 1 ? reinterpret_cast<uintptr_t>(parts[0].iov_base) : 0, count == 1 ? -static_cast<int64_t>(parts[0].iov_len) : -1, __builtin_return_address(0));
    before_writing(fd, nullptr);
    return r().pwritev(fd, parts, count, at);
}

ssize_t pwritev64(int fd, const iovec *parts, int count, off64_t at)
{
    const buffer_t told(count == 1 ? reinterpret_cast<uintptr_t>(parts[0].iov_base) : 0, count == 1 ? -static_cast<int64_t>(parts[0].iov_len) : -1, __builtin_return_address(0));
    return pwritev(fd, parts, count, at);
}

ssize_t pwritev2(int fd, const iovec *parts, int count, off_t at, int flags)
{
    const buffer_t told(count == 1 ? reinterpret_cast<uintptr_t>(parts[0].iov_base) : 0, count == 1 ? -static_cast<int64_t>(parts[0].iov_len) : -1, __builtin_return_address(0));
    if (at == -1 && (fd == 1 || fd == 2) && !standard_elsewhere(fd))
        ask_at_cancellation_point({.call = call_t::output, .value = fd, .flags = kSystemCall});
    else
        before_writing(fd, nullptr);
    return r().pwritev2(fd, parts, count, at, flags);
}

ssize_t pwritev64v2(int fd, const iovec *parts, int count, off64_t at, int flags)
{
    const buffer_t told(count == 1 ? reinterpret_cast<uintptr_t>(parts[0].iov_base) : 0, count == 1 ? -static_cast<int64_t>(parts[0].iov_len) : -1, __builtin_return_address(0));
    return pwritev2(fd, parts, count, at, flags);
}

ssize_t readv(int fd, const iovec *parts, int count)
{
    const buffer_t told(count == 1 ? reinterpret_cast<uintptr_t>(parts[0].iov_base) : 0, count == 1 ? static_cast<int64_t>(parts[0].iov_len) : 1, __builtin_return_address(0));
    const reading_t reading = input(fd);
    if (reading.failed)
        return -1;
    return r().readv(reading.from, parts, count);
}

ssize_t writev(int fd, const iovec *parts, int count)
{
    const buffer_t told(count == 1 ? reinterpret_cast<uintptr_t>(parts[0].iov_base) : 0, count == 1 ? -static_cast<int64_t>(parts[0].iov_len) : -1, __builtin_return_address(0));
    if ((fd == 1 || fd == 2) && !standard_elsewhere(fd))
        ask_at_cancellation_point({.call = call_t::output, .value = fd, .flags = kSystemCall});
    else
        before_writing(fd, nullptr);
    return r().writev(fd, parts, count);
}

int close(int fd)
{
    before_closing(fd, nullptr);
    return r().close(fd);
}

int pipe(int fds[2])
{
    const buffer_t told(reinterpret_cast<uintptr_t>(fds), 2 * sizeof(int), __builtin_return_address(0));
    numbered(kMakesPipe, -1);
    const int rc = r().pipe2(fds, 0);
    if (rc == 0)
        made_pipe(fds[0]);
    return rc;
}

int pipe2(int fds[2], int flags)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(fds), 2 * sizeof(int), __builtin_return_address(0));
    numbered(kMakesPipe, -1);
    const int rc = r().pipe2(fds, flags);
    if (rc == 0)
        made_pipe(fds[0]);
    return rc;
}

char *fgets(char *line, int size, FILE *f)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(line), size > 0 ? size : 0, __builtin_return_address(0));
    if (size <= 1)  // room for the end of the string alone: nothing is read
        return r().fgets(line, size, f);
    if (f != nullptr && reads_a_pipe(f))
        return line_in_pieces(line, size, f);
    const reading_t reading = input(f);
    if (reading.failed)
        return nullptr;
    return r().fgets(line, size, f);
}

// What a getline writes of the program's memory: the line's buffer, as it is when the call
// begins; or, where there is none yet, the variable that will point to a new one.
buffer_t line_written(char **line, const size_t *size, const void *code)
{
    if (line != nullptr && *line != nullptr && size != nullptr && *size > 0)
        return buffer_t(reinterpret_cast<uintptr_t>(*line), static_cast<int64_t>(*size), code);
    return buffer_t(reinterpret_cast<uintptr_t>(line), line != nullptr ? sizeof *line : 0, code);
}

ssize_t getdelim(char **line, size_t *size, int delimiter, FILE *f)
{
    const buffer_t told = line_written(line, size, __builtin_return_address(0));
    if (line != nullptr && size != nullptr && f != nullptr && reads_a_pipe(f))
        return delimited_in_pieces(line, size, delimiter, f);
    const reading_t reading = input(f);
    if (reading.failed)
        return -1;
    return r().getdelim(line, size, delimiter, f);
}

ssize_t getline(char **line, size_t *size, FILE *f)
{
    const buffer_t told = line_written(line, size, __builtin_return_address(0));
    return getdelim(line, size, '\n', f);
}

// What an optimised build calls for getline, and what getc_unlocked and its kin call when
// the stream's buffer is empty.
ssize_t __getdelim(char **line, size_t *size, int delimiter, FILE *f)
{
    const buffer_t told = line_written(line, size, __builtin_return_address(0));
    return getdelim(line, size, delimiter, f);
}

int __uflow(FILE *f)
{
    const reading_t reading = input(f);
    if (reading.failed)
        return EOF;
    return r().uflow(f);
}

int fgetc(FILE *f)
{
    const reading_t reading = input(f);
    if (reading.failed)
        return EOF;
    return r().fgetc(f);
}

int getc(FILE *f)
{
    const reading_t reading = input(f);
    if (reading.failed)
        return EOF;
    return r().getc(f);
}

int getchar()
{
    const reading_t reading = input(stdin);
    if (reading.failed)
        return EOF;
    return r().getchar();
}

size_t fread(void *data, size_t size, size_t count, FILE *f)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), size != 0 && count <= INT64_MAX / size ? static_cast<int64_t>(size * count) : 0, __builtin_return_address(0));
    if (size == 0 || count == 0)  // nothing to read
        return 0;
    if (count <= SIZE_MAX / size && f != nullptr && reads_a_pipe(f))
        return read_in_pieces(data, size, count, f);
    const reading_t reading = input(f);
    if (reading.failed)
        return 0;
    return r().fread(data, size, count, f);
}

int __isoc99_vscanf(const char *format, va_list args)
{
    const buffer_t told(0, 1, __builtin_return_address(0));
    const reading_t reading = input(stdin);
    if (reading.failed)
        return EOF;
    return r().vscanf(format, args);
}

int __isoc99_scanf(const char *format, ...)
{
    const buffer_t told(0, 1, __builtin_return_address(0));
    const reading_t reading = input(stdin);
    if (reading.failed)
        return EOF;
    va_list args;
    va_start(args, format);
    const int n = r().vscanf(format, args);
    va_end(args);
    return n;
}

int __isoc99_vfscanf(FILE *f, const char *format, va_list args)
{
    const buffer_t told(0, 1, __builtin_return_address(0));
    const reading_t reading = input(f);
    if (reading.failed)
        return EOF;
    return r().vfscanf(f, format, args);
}

int __isoc99_fscanf(FILE *f, const char *format, ...)
{
    const buffer_t told(0, 1, __builtin_return_address(0));
    const reading_t reading = input(f);
    if (reading.failed)
        return EOF;
    va_list args;
    va_start(args, format);
    const int n = r().vfscanf(f, format, args);
    va_end(args);
    return n;
}

// Sleeps: a turn that comes at its time on the program's clock.
unsigned sleep(unsigned seconds)
{
    if (!steered())
        return r().sleep(seconds);
    const int64_t left = sleep_until(deadline_after(static_cast<int64_t>(seconds) * 1000000000));
    return static_cast<unsigned>((left + 999999999) / 1000000000);
}

int usleep(useconds_t microseconds)
{
    if (!steered())
        return r().usleep(microseconds);
    if (sleep_until(deadline_after(static_cast<int64_t>(microseconds) * 1000)) > 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

int nanosleep(const timespec *request, timespec *remaining)
{
    if (!steered())
        return r().nanosleep(request, remaining);
    const int64_t left = sleep_until(deadline_after(request));
    if (remaining != nullptr)
        *remaining = as_timespec(left);
    if (left > 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const timespec *request, timespec *remaining)
{
    if (!steered())
        return r().clock_nanosleep(clock, flags, request, remaining);
    const int64_t left = sleep_until((flags & TIMER_ABSTIME) != 0 ? deadline_on(clock, request) : deadline_after(request));
    if (remaining != nullptr && (flags & TIMER_ABSTIME) == 0)
        *remaining = as_timespec(left);
    return left > 0 ? EINTR : 0;
}

// (pthread_yield is the same symbol in the C library's headers.)
// A poll or select of no descriptor is a nap, as a sleep is; one of descriptors is the
// program's own business (and a wait interleave cannot see, if they are another thread's).
int poll(pollfd *fds, nfds_t count, int timeout)
{
    if (count != 0)
        looks_at(fds);
    if (!steered() || count != 0 || timeout < 0)
        return r().poll(fds, count, timeout);
    if (sleep_until(deadline_after(static_cast<int64_t>(timeout) * 1000000)) > 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

int ppoll(pollfd *fds, nfds_t count, const timespec *timeout, const sigset_t *mask)
{
    if (count != 0)
        looks_at(fds);
    if (!steered() || count != 0 || timeout == nullptr)
        return r().ppoll(fds, count, timeout, mask);
    if (sleep_until(deadline_after(timeout)) > 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

int select(int count, fd_set *in, fd_set *out, fd_set *bad, timeval *timeout)
{
    if (count != 0)
        numbered(kUses, count - 1, -1, true);
    if (!steered() || count != 0 || timeout == nullptr)
        return r().select(count, in, out, bad, timeout);
    const int64_t left = sleep_until(deadline_after(static_cast<int64_t>(timeout->tv_sec) * 1000000000 + timeout->tv_usec * 1000));
    *timeout = {static_cast<time_t>(left / 1000000000), static_cast<suseconds_t>(left % 1000000000 / 1000)};
    if (left > 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

int pselect(int count, fd_set *in, fd_set *out, fd_set *bad, const timespec *timeout, const sigset_t *mask)
{
    if (!steered() || count != 0 || timeout == nullptr)
        return r().pselect(count, in, out, bad, timeout, mask);
    if (sleep_until(deadline_after(timeout)) > 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

// Random bytes from the system: the same in every run of one schedule, as the clock is. A
// forked child draws from a stream of its own.
ssize_t getrandom(void *data, size_t size, unsigned flags)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    if (!steered_process())
        return r().getrandom(data, size, flags);
    random_bytes(data, size);
    return static_cast<ssize_t>(size);
}

int getentropy(void *data, size_t size)
{
    if (!steered_process())
        return r().getentropy(data, size);
    if (size > 256) {
        errno = EIO;
        return -1;
    }
    random_bytes(data, size);
    return 0;
}

int sched_yield()
{
    if (!steered())
        return r().sched_yield();
    ask({call_t::yield});
    return 0;
}

// The clock of a steered program is interleave's.
time_t time(time_t *t)
{
    if (t != nullptr)
        library_writes(t, sizeof *t, __builtin_return_address(0));
    if (!steered_process())
        return r().time(t);
    const time_t now = static_cast<time_t>(now_ns() / 1000000000);
    if (t != nullptr)
        *t = now;
    return now;
}

int clock_gettime(clockid_t clock, timespec *now)
{
    library_writes(now, sizeof *now, __builtin_return_address(0));
    if (!steered_process() || !virtual_clock(clock))
        return r().clock_gettime(clock, now);
    const int64_t read = now_ns();
    const int64_t ns = realtime(clock) ? read : monotonic(read);
    *now = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    return 0;
}

int timespec_get(timespec *now, int base)
{
    return base == TIME_UTC && clock_gettime(CLOCK_REALTIME, now) == 0 ? base : 0;
}

int gettimeofday(timeval *now, void *zone)
{
    library_writes(now, sizeof *now, __builtin_return_address(0));
    if (!steered_process())
        return r().gettimeofday(now, zone);
    const int64_t ns = now_ns();
    *now = {static_cast<time_t>(ns / 1000000000), static_cast<suseconds_t>(ns % 1000000000 / 1000)};
    return 0;
}

void flockfile(FILE *f)
{
    if (steered())
        ask_stream_lock(call_t::mutex_lock, f);
    r().flockfile(f);
}

int ftrylockfile(FILE *f)
{
    if (steered() && ask_stream_lock(call_t::mutex_trylock, f) == 0)
        return 1;
    return r().ftrylockfile(f);
}

void funlockfile(FILE *f)
{
    if (steered())
        ask_stream_lock(call_t::mutex_unlock, f);
    r().funlockfile(f);
}

// The unlocked calls are no turns: a program calls them inside its own flockfile's hold,
// where another thread's turn could not go on. Inside its hold of a standard stream
// nothing else touches the stream's buffer, and what it writes reaches interleave in the
// order of the holds. Anywhere else (a read, which may read a pipe or a file, or a write
// to one, which stdio may write out at any call) what they do is ordered against nothing,
// and the next ask tells so (unlocked_use).
size_t fwrite_unlocked(const void *data, size_t size, size_t count, FILE *f)
{
    unlocked_use(f, true);
    return r().fwrite_unlocked(data, size, count, f);
}

int fputs_unlocked(const char *s, FILE *f)
{
    unlocked_use(f, true);
    return r().fputs_unlocked(s, f);
}

int fputc_unlocked(int c, FILE *f)
{
    unlocked_use(f, true);
    return r().fputc_unlocked(c, f);
}

int putc_unlocked(int c, FILE *f)
{
    unlocked_use(f, true);
    return r().putc_unlocked(c, f);
}

int putchar_unlocked(int c)
{
    unlocked_use(stdout, true);
    return r().putchar_unlocked(c);
}

int fflush_unlocked(FILE *f)
{
    unlocked_use(f, true);
    return r().fflush_unlocked(f);
}

char *fgets_unlocked(char *line, int size, FILE *f)
{
    unlocked_use(f, false);
    return r().fgets_unlocked(line, size, f);
}

size_t fread_unlocked(void *data, size_t size, size_t count, FILE *f)
{
    unlocked_use(f, false);
    return r().fread_unlocked(data, size, count, f);
}

int fgetc_unlocked(FILE *f)
{
    unlocked_use(f, false);
    return r().fgetc_unlocked(f);
}

int getc_unlocked(FILE *f)
{
    unlocked_use(f, false);
    return r().getc_unlocked(f);
}

int getchar_unlocked()
{
    unlocked_use(stdin, false);
    return r().getchar_unlocked();
}

}  // extern "C"
