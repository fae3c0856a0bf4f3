// The steering library: reads and writes of pipes and files, other than the standard
// streams. Two threads or processes that share a pipe or a file see each other's writes
// in the order their calls came, and a read of a pipe returns what has been written so far
// (a short read, if less than was asked): each read, write and close of one is a turn, so
// that every order of them is tried, and replayed.
//
// A read of a pipe that has nothing in it, while a writer may still write, waits: the
// thread looks (a turn that finds it empty) and then waits in interleave's model until
// another turn writes to the pipe or closes it, or a process ends, and looks again. It
// never waits in the system.
//
// Through a descriptor of a regular file, a move of its place (lseek), a look at its size
// (fstat), a change of its size (ftruncate, fallocate), a copy between files (sendfile,
// copy_file_range) and a mapping that shares its contents (mmap) are turns on the file too.
//
// A FIFO opened by its name to read waits, in the system, for a writer to open it, and one
// opened to write for a reader: here each open is a turn on the FIFO, and its wait is in the
// model, as a read's is.

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <utility>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include "steer.h"

namespace steer {
namespace {

struct opened_t {
    bool steered = false;  // a pipe, a FIFO, a socket or a regular file
    bool pipe = false;     // one whose reads may wait
    bool fifo = false;     // a pipe or a FIFO, not a socket
    dev_t device = 0;
    ino_t inode = 0;
};

// Descriptors that another program writes to, by number.
constexpr int kFedFds = 1024;
std::array<std::atomic<bool>, kFedFds> fed_by_program;

bool fed(int fd)
{
    return fd >= 0 && fd < kFedFds && fed_by_program[static_cast<std::size_t>(fd)].load();
}

// The two ends of a socket pair are two sockets to the system, each its own inode, and
// what one end writes the other reads: to the model they are one file, known by the first
// end's inode, so that a write to one end wakes a reader of the other. The table is the
// process's, copied by a fork as the sockets are. Should it fill, the second ends of the
// pairs made since are all one file, which orders more than it must but misses nothing.
constexpr std::size_t kPairs = 1024;
std::array<std::atomic<ino_t>, kPairs> second_end, first_end;
std::atomic<std::size_t> pairs_made;
constexpr ino_t kEverySecondEnd = ~ino_t{0};

ino_t pair_of(ino_t end)
{
    const std::size_t made = std::min(pairs_made.load(), kPairs);
    for (std::size_t k = 0; k < made; k++)
        if (second_end[k].load() == end)
            return first_end[k].load();
    return pairs_made.load() > kPairs ? kEverySecondEnd : end;
}

void note_pair(const int fds[2])
{
    struct stat first {}, second {};
    if (r().fstat(fds[0], &first) != 0 || r().fstat(fds[1], &second) != 0)
        return;
    if (const std::size_t k = pairs_made.fetch_add(1); k < kPairs) {
        first_end[k].store(first.st_ino);
        second_end[k].store(second.st_ino);
    }
}

// A message queue is a file of the queues' own file system, whose receive waits for a send
// as a pipe's read waits for a write.
constexpr long kQueuesFileSystem = 0x19800202;  // the kernel's mark of the queues' file system

bool queue(int fd, const struct stat &st)
{
    struct statfs where {};
    return S_ISREG(st.st_mode) && fstatfs(fd, &where) == 0 && where.f_type == kQueuesFileSystem;
}

opened_t look(int fd)
{
    struct stat st {};
    if (fd < 0 || r().fstat(fd, &st) != 0)
        return {};
    const bool pipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || queue(fd, st);
    return {pipe || S_ISREG(st.st_mode), pipe, S_ISFIFO(st.st_mode), st.st_dev,
            S_ISSOCK(st.st_mode) ? pair_of(st.st_ino) : st.st_ino};
}

int64_t turn(int fd, const opened_t &o, io_t what, uint32_t flags)
{
    return ask_at_cancellation_point({.call = call_t::io, .object = reinterpret_cast<const void *>(o.inode),
                                      .object2 = static_cast<uint64_t>(o.device), .value = fd, .extra = what,
                                      .flags = flags | (o.pipe ? kPipe : 0u)});
}

// Whether a FIFO or pipe has no writer: a copy of what is in it (tee, which takes nothing
// out) finds its end. The system's poll tells a FIFO's end only once a writer has come and
// gone since the reader opened it, while a read finds it at once when no writer ever came.
bool no_writer(int fd)
{
    int scratch[2];
    if (r().pipe2(scratch, O_CLOEXEC) != 0)
        return false;
    const ssize_t copied = tee(fd, scratch[1], 1, SPLICE_F_NONBLOCK);
    r().close(scratch[0]);
    r().close(scratch[1]);
    return copied == 0;
}

// Whether a read of the descriptor would return at once: something to read, its writers
// gone, or a descriptor that does not wait.
bool ready(int fd)
{
    pollfd p{fd, POLLIN, 0};
    const int flags = r().fcntl(fd, F_GETFL);
    return (flags != -1 && (flags & O_NONBLOCK) != 0) || r().poll(&p, 1, 0) != 0 || no_writer(fd);
}

// Whether a writer has opened the FIFO that `fd` reads since `fd` was opened, or has it open
// now: what a reader's open waits for.
bool writer_came(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return r().poll(&p, 1, 0) != 0 || !no_writer(fd);
}

void blocking(int fd)
{
    r().fcntl(fd, F_SETFL, r().fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

// The end of a FIFO that a reader's open holds while it waits: natively the reader counts
// from the moment its open begins.
thread_local int waiting_with = -1;

// The number a FIFO's open takes: the system takes it as the open begins, and holds it
// while the open waits. Here a handle on the FIFO holds it, and lets go of it just before
// each try of the open itself, so that the open needs no more numbers than the system's;
// the open's descriptor then takes that number, or, where the open failed, the handle
// takes it back.
int path_handle(int dir, const char *path, int flags)
{
    return r().openat(dir, path, O_PATH | O_CLOEXEC | (flags & O_NOFOLLOW));
}

int put_at(int fd, int at, int flags)
{
    if (fd < 0 || fd == at || r().dup3(fd, at, flags & O_CLOEXEC) < 0)
        return fd;
    r().close(fd);
    return at;
}

int open_in_place(int &handle, int dir, const char *path, int flags, mode_t mode)
{
    const int kept = handle;
    r().close(kept);
    const int fd = r().openat(dir, path, flags, mode);
    const int error = errno;
    handle = fd >= 0 ? -1 : put_at(path_handle(dir, path, flags), kept, O_CLOEXEC);
    errno = error;
    return put_at(fd, kept, flags);
}

// A writer counts from the moment its open begins, as a reader does: while it waits it holds
// a writing end, which the system gives only behind a reader, so the library is one for a
// moment. -1 where that is not allowed (a FIFO the process may only write): it then counts
// once its open returns.
int writer_in_waiting(int &handle, int dir, const char *path, int flags, mode_t mode)
{
    const int both = r().openat(dir, path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (both < 0)
        return -1;
    const int fd = open_in_place(handle, dir, path, flags | O_NONBLOCK, mode);
    r().close(both);
    return fd;
}

// A FIFO's open that waits for its other end, with `handle` naming the FIFO and holding its
// number: the system is only ever asked for one that does not wait, and the wait is a turn
// in the model.
int open_waiting(int &handle, const opened_t &o, int dir, const char *path, int flags, mode_t mode)
{
    const io_t end = (flags & O_ACCMODE) == O_RDONLY ? kOpenToRead : kOpenToWrite;
    for (;;) {
        // Again after a handler: the system begins it anew.
        if (handle < 0 && (handle = path_handle(dir, path, flags)) < 0)
            return -1;
        turn(handle, o, end, kSystemCall | kNumbers);
        int fd = open_in_place(handle, dir, path, flags | O_NONBLOCK, mode);
        const bool wait = end == kOpenToRead ? fd >= 0 && !writer_came(fd) : fd < 0 && errno == ENXIO;
        if (wait && end == kOpenToWrite)
            fd = writer_in_waiting(handle, dir, path, flags, mode);
        if (wait) {
            waiting_with = fd;
            const int64_t answer = turn(fd >= 0 ? fd : handle, o, end, kEmpty | kSystemCall | kNumbers);
            fd = std::exchange(waiting_with, -1);
            if (answer == kRestarted)
                continue;
            if (answer == kInterrupted) {
                errno = EINTR;
                return -1;
            }
            if (end == kOpenToWrite && fd < 0) {
                fd = open_in_place(handle, dir, path, flags | O_NONBLOCK, mode);
                // A reader opened it since, and has let go already: the system's open would
                // have returned, with no reader. So does this one, behind a reader of its own
                // for a moment.
                if (fd < 0 && errno == ENXIO) {
                    const int both = r().openat(dir, path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
                    fd = open_in_place(handle, dir, path, flags | O_NONBLOCK, mode);
                    if (both >= 0)
                        r().close(both);
                }
            }
        }
        if (fd >= 0)
            blocking(fd);
        return fd;
    }
}

// A copy of a descriptor that the library keeps for a while, at a number far above those
// the program takes, so that the program's next open gets the number it would natively.
int aside(int fd)
{
    rlimit limit{};
    rlim_t top = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        top = std::min<rlim_t>(limit.rlim_cur, 1024);
    return r().fcntl(fd, F_DUPFD_CLOEXEC, static_cast<int>(std::max<rlim_t>(top, 128) - 64));
}

// The copies that reads hold while they wait, plus one (0 is a free slot): a fork's child
// lets go of them, as it has only the files its parent's descriptors named.
std::array<std::atomic<int>, 64> held_reads;

void hold(int fd)
{
    for (std::atomic<int> &slot : held_reads) {
        int free = 0;
        if (slot.compare_exchange_strong(free, fd + 1))
            return;
    }
}

void let_go(int fd)
{
    for (std::atomic<int> &slot : held_reads) {
        int it = fd + 1;
        if (slot.compare_exchange_strong(it, 0))
            return;
    }
}

}  // namespace

void make_room_aside()
{
    const int any = r().openat(AT_FDCWD, "/", O_PATH | O_CLOEXEC);
    if (any < 0)
        return;
    if (const int high = aside(any); high >= 0)
        r().close(high);
    r().close(any);
}

reading_t::reading_t(int fd, FILE *stream, bool waits) : from(fd)
{
    if (!steered() || !take_turns(fd, stream, waits))
        return;
    // The C library locks the stream for the read: a hold of another thread's, which may
    // have begun while this one waited for its turns, comes first. Looked at after the
    // last turn, what it finds holds until the call.
    if (waited_for == nullptr)
        waited_for = wait_for_stream(stream);
    if (held < 0 || stream == nullptr)
        return;
    // Whatever has the stream's number now (if anything) steps aside for the call.
    const int flags = r().fcntl(fd, F_GETFD);
    const int kept = flags != -1 ? aside(fd) : -1;
    if ((flags != -1 && kept < 0) || r().dup2(held, fd) < 0) {
        if (kept >= 0)
            r().close(kept);
        return;
    }
    lent = fd;
    displaced = kept;
    displaced_flags = flags;
}

// The read's turns, and its wait for a writer: false where the read is not to go on here
// (a cancellation, or a signal that cut the wait short).
bool reading_t::take_turns(int fd, FILE *stream, bool waits)
{
    const opened_t o = look(fd);
    if (!o.steered) {
        // What the number names (nothing: EBADF; a terminal) depends on the closes and opens.
        numbered(kUses, fd, -1, true);
        return true;
    }
    // A stream with nothing left in its buffer fills it with a read of the system's, at
    // which a signal that waits arrives, as at any system call.
    const bool buffered = stream != nullptr && stream->_IO_read_ptr < stream->_IO_read_end;
    const uint32_t system = buffered ? 0u : kSystemCall;
    turn(fd, o, kRead, system);
    if (!o.pipe || buffered)
        return true;
    // No turn writes to it: the program does, in its own time.
    if (fed(fd)) {
        wait_for_a_program(fd);
        return true;
    }
    if (!waits || ready(fd))
        return true;
    // The C library holds the stream's lock while its read waits: another thread's
    // flockfile, or its read or print of the stream, waits for it.
    if (stream != nullptr) {
        ask_stream_lock(call_t::mutex_lock, stream);
        waited_for = stream;
    }
    if ((held = aside(fd)) >= 0)
        hold(held);
    for (int waits_on = held >= 0 ? held : fd; !ready(waits_on);) {
        const int64_t answer = turn(fd, o, kRead, kEmpty | system);
        if (answer == kCancelled)
            return false;
        // Restarted by the system after the handler, it begins again: it looks the number
        // up anew, and holds what it names now (nothing, if it was closed meanwhile).
        if (answer == kRestarted) {
            if (held >= 0) {
                let_go(held);
                r().close(held);
            }
            if ((held = aside(fd)) >= 0)
                hold(held);
            waits_on = held >= 0 ? held : fd;
        }
        if (answer == kInterrupted) {
            // The system's read would have failed with EINTR, and a stream's with its error set.
            if (stream != nullptr)
                stream->_flags |= _IO_ERR_SEEN;
            failed = true;
            errno = EINTR;
            return false;
        }
    }
    if (held >= 0 && stream == nullptr)
        from = held;
    return true;
}

reading_t::~reading_t()
{
    const int error = errno;
    if (lent >= 0 && displaced >= 0) {
        r().dup3(displaced, lent, (displaced_flags & FD_CLOEXEC) != 0 ? O_CLOEXEC : 0);
        r().close(displaced);
    } else if (lent >= 0) {
        r().close(lent);
    }
    if (held >= 0) {
        let_go(held);
        r().close(held);
    }
    if (waited_for != nullptr)
        ask_stream_lock(call_t::mutex_unlock, waited_for);
    errno = error;
}

void forget_held_reads()
{
    for (std::atomic<int> &slot : held_reads)
        if (const int it = slot.exchange(0); it > 0)
            r().close(it - 1);
}

void let_go_of_wait()
{
    if (waiting_with >= 0)
        r().close(std::exchange(waiting_with, -1));
}

void before_writing(int fd, FILE *stream)
{
    if (!steered())
        return;
    if (const opened_t o = look(fd); o.steered)
        turn(fd, o, kWrite, stream == nullptr ? kSystemCall : 0u);
    else
        numbered(kUses, fd, -1, true);
}

// A write to a pipe that has no room for all of it waits in the model, as a read of an empty
// one does: the system is only asked for a write that does not wait, which writes what fits
// (all of it or nothing, for one of at most PIPE_BUF bytes); the thread then waits until a
// turn reads from the pipe or closes it, or a process ends, and tries the rest. A pipe that
// a program interleave does not steer may read (one started since the run began) is written
// as the system writes it: that program's reads are no turns that could end the wait.
ssize_t write_with_room(int fd, const void *data, size_t size)
{
    if (!steered())
        return r().write(fd, data, size);
    const opened_t o = look(fd);
    if (!o.steered) {
        numbered(kUses, fd, -1, true);
        return r().write(fd, data, size);
    }
    turn(fd, o, kWrite, kSystemCall);
    const int flags = r().fcntl(fd, F_GETFL);
    // A pipe's, a FIFO's or a socket's: a write that finds no room waits for a reader.
    if (!o.pipe || flags == -1 || (flags & O_NONBLOCK) != 0 || others_started() || fed(fd))
        return r().write(fd, data, size);
    // A write that waits holds its file, as a read does: another thread's close of the
    // descriptor takes nothing from it.
    const auto *from = static_cast<const char *>(data);
    std::size_t done = 0;
    int held = -1;
    const auto let_go_of_held = [&held] {
        if (held >= 0) {
            let_go(held);
            r().close(std::exchange(held, -1));
        }
    };
    for (;;) {
        const int to = held >= 0 ? held : fd;
        r().fcntl(to, F_SETFL, flags | O_NONBLOCK);
        const ssize_t n = r().write(to, from + done, size - done);
        const int error = errno;
        r().fcntl(to, F_SETFL, flags);
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
        if (done == size || (n < 0 && error != EAGAIN)) {
            let_go_of_held();
            errno = error;
            return done > 0 ? static_cast<ssize_t>(done) : n;
        }
        if (held < 0 && (held = aside(fd)) >= 0)
            hold(held);
        const int64_t answer = turn(fd, o, kWrite, kEmpty | kSystemCall);
        // A handler cut the wait short: what was written is told, or EINTR. Restarted by the
        // system after the handler, with nothing written, it looks its number up anew.
        if (answer == kInterrupted || answer == kCancelled || (answer == kRestarted && done > 0)) {
            let_go_of_held();
            if (done > 0)
                return static_cast<ssize_t>(done);
            errno = EINTR;
            return -1;
        }
        if (answer == kRestarted)
            let_go_of_held();
    }
}

void fed_by_a_program(int fd, bool fed)
{
    if (fd >= 0 && fd < kFedFds)
        fed_by_program[static_cast<std::size_t>(fd)].store(fed);
}

// Any close frees a number. Closing one of the streams that interleave gave is no turn on a
// pipe of the program's: the replay names it as the stream.
void before_closing(int fd, FILE *stream)
{
    fed_by_a_program(fd, false);
    if (!steered())
        return;
    const names_t names = naming(fd);
    const opened_t o = look(fd);
    if (!o.pipe || names == names_t::given) {
        numbered(kFrees, fd, names == names_t::given, true);
        return;
    }
    const int mode = r().fcntl(fd, F_GETFL) & O_ACCMODE;
    const uint32_t end = mode == O_RDONLY ? kReadingEnd : mode == O_WRONLY ? kWritingEnd : 0u;
    turn(fd, o, kClose, (stream == nullptr ? kSystemCall : 0u) | kNumbers | end);
}

void numbered(number_t how, int fd, int64_t other, bool cancellation_point)
{
    if (!steered())
        return;
    const request_t q{.call = call_t::io, .object = reinterpret_cast<const void *>(other), .object2 = how,
                      .value = fd, .extra = kNumber, .flags = kSystemCall | (how == kUses ? 0u : kNumbers)};
    if (cancellation_point)
        ask_at_cancellation_point(q);
    else
        ask(q);
}

bool reads_a_pipe(FILE *stream)
{
    const int fd = fileno(stream);
    return steered() && fd >= 0 && naming(fd) != names_t::given && look(fd).pipe &&
           !fed(fd);
}

void made_pipe(int fd)
{
    if (!steered())
        return;
    if (const opened_t o = look(fd); o.pipe)
        turn(fd, o, kMake, kSystemCall);
}

// A handle on the name, if it names a FIFO.
int fifo_handle(int dir, const char *path, int flags, struct stat &st)
{
    const int handle = path_handle(dir, path, flags);
    if (handle >= 0 && (r().fstat(handle, &st) != 0 || !S_ISFIFO(st.st_mode))) {
        r().close(handle);
        return -1;
    }
    return handle;
}

int open_fifo(int dir, const char *path, int flags, mode_t mode)
{
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) || (flags & (O_PATH | O_DIRECTORY)) != 0)
        return kNotAFifo;
    // A look first, which holds nothing; then the number, at a turn of its own.
    struct stat st {};
    int handle = fifo_handle(dir, path, flags, st);
    if (handle < 0)
        return kNotAFifo;
    r().close(handle);
    numbered(kOpensFifo, -1, -1, true);
    if ((handle = fifo_handle(dir, path, flags, st)) < 0)
        return kNotAFifo;
    const opened_t o{true, true, true, st.st_dev, st.st_ino};
    const int access = flags & O_ACCMODE;
    const io_t end = access == O_RDONLY ? kOpenToRead : access == O_WRONLY ? kOpenToWrite : kOpenToReadWrite;
    int fd;
    if (end == kOpenToReadWrite || (flags & O_NONBLOCK) != 0) {
        turn(handle, o, end, kSystemCall | kNumbers);
        fd = open_in_place(handle, dir, path, flags, mode);
    } else {
        fd = open_waiting(handle, o, dir, path, flags, mode);
    }
    const int error = errno;
    if (handle >= 0)
        r().close(handle);
    errno = error;
    return fd;
}

void before_descriptor(int fd, io_t what)
{
    if (!steered())
        return;
    if (const opened_t o = look(fd); o.steered && !o.pipe)
        turn(fd, o, what, kSystemCall);
    else if (!o.steered)
        numbered(kUses, fd);  // a terminal's, a closed one: what it names depends on the closes
}

namespace {

// A copy of a descriptor takes a number. One over another that is open closes that one
// first: the end of a pipe it held may be its last writer's.
void before_copying(int fd, int over)
{
    if (fd != over && r().fcntl(fd, F_GETFD) != -1 && r().fcntl(over, F_GETFD) != -1 && naming(over) != names_t::given)
        before_closing(over, nullptr);
    else
        numbered(kCopies, fd, over);
}

}  // namespace

}  // namespace steer

using namespace steer;

extern "C" {

int dup(int fd)
{
    numbered(kCopies, fd);
    return r().dup(fd);
}

int dup2(int fd, int over)
{
    before_copying(fd, over);
    return r().dup2(fd, over);
}

int dup3(int fd, int over, int flags)
{
    before_copying(fd, over);
    return r().dup3(fd, over, flags);
}

// fcntl's copies take a number as dup's do; its other commands look at the descriptor. The
// argument is passed on as the C library's own fcntl passes it.
int fcntl(int fd, int command, ...)
{
    va_list rest;
    va_start(rest, command);
    void *argument = va_arg(rest, void *);
    va_end(rest);
    numbered(command == F_DUPFD || command == F_DUPFD_CLOEXEC ? kCopies : kUses, fd);
    return r().fcntl(fd, command, argument);
}

int fcntl64(int fd, int command, ...) __attribute__((alias("fcntl")));

// Other calls that take a number, or free a range of them.
// A message queue and a terminal's master end are descriptors too.
mqd_t mq_open(const char *name, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const auto rights = static_cast<mode_t>(va_arg(args, unsigned));
    mq_attr *attributes = va_arg(args, mq_attr *);
    va_end(args);
    numbered(kMakes, -1);
    return (flags & O_CREAT) != 0 ? r().mq_open(name, flags, rights, attributes) : r().mq_open(name, flags);
}

// A message queue's close is a descriptor's.
int mq_close(mqd_t queue)
{
    before_closing(queue, nullptr);
    return r().mq_close(queue);
}

// A queue's send and receive are a write and a read of it; a receive that finds it empty
// waits for a send, as a read of a pipe waits for a write.
int mq_send(mqd_t queue, const char *message, size_t size, unsigned priority)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(message), -static_cast<int64_t>(size), __builtin_return_address(0));
    before_writing(queue, nullptr);
    return r().mq_send(queue, message, size, priority);
}

int mq_timedsend(mqd_t queue, const char *message, size_t size, unsigned priority, const timespec *deadline)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(message), -static_cast<int64_t>(size), __builtin_return_address(0));
    before_writing(queue, nullptr);
    return r().mq_timedsend(queue, message, size, priority, deadline);
}

ssize_t mq_receive(mqd_t queue, char *message, size_t size, unsigned *priority)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(message), static_cast<int64_t>(size), __builtin_return_address(0));
    const reading_t reading(queue, nullptr);
    if (reading.failed)
        return -1;
    return r().mq_receive(reading.from, message, size, priority);
}

// A receive with a deadline waits as one without: the deadline is the real clock's, which
// a schedule does not move.
ssize_t mq_timedreceive(mqd_t queue, char *message, size_t size, unsigned *priority, const timespec *deadline)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(message), static_cast<int64_t>(size), __builtin_return_address(0));
    const reading_t reading(queue, nullptr);
    if (reading.failed)
        return -1;
    return r().mq_timedreceive(reading.from, message, size, priority, deadline);
}

int posix_openpt(int flags)
{
    numbered(kMakes, -1);
    return r().posix_openpt(flags);
}

int getpt()
{
    numbered(kMakes, -1);
    return r().getpt();
}

int eventfd(unsigned value, int flags)
{
    numbered(kMakes, -1);
    return r().eventfd(value, flags);
}

int epoll_create(int size)
{
    numbered(kMakes, -1);
    return r().epoll_create(size);
}

int epoll_create1(int flags)
{
    numbered(kMakes, -1);
    return r().epoll_create1(flags);
}

int memfd_create(const char *name, unsigned flags)
{
    numbered(kMakes, -1);
    return r().memfd_create(name, flags);
}

int timerfd_create(int clock, int flags)
{
    numbered(kMakes, -1);
    return r().timerfd_create(clock, flags);
}

int inotify_init()
{
    numbered(kMakes, -1);
    return r().inotify_init();
}

int inotify_init1(int flags)
{
    numbered(kMakes, -1);
    return r().inotify_init1(flags);
}

int close_range(unsigned first, unsigned last, int flags)
{
    numbered(kFreesRange, static_cast<int>(std::min<unsigned>(first, INT32_MAX)), std::min<unsigned>(last, INT32_MAX));
    return r().close_range(first, last, flags);
}

void closefrom(int first)
{
    numbered(kFreesRange, first, INT32_MAX);
    r().closefrom(first);
}

// Calls through a descriptor that are no read or write of a pipe or a file: each looks at the
// descriptor table (another thread's close or dup of the number comes before it or after).
// A socket's recv with no flags is a read, and may wait; its send is a write.
// The flags a receive may carry and still be a read here: one that does not wait
// (MSG_DONTWAIT), one that leaves what it read in place (MSG_PEEK, a read all the same), and
// those that change nothing of its order. Others are looks at the descriptor only.
constexpr int kReceiveFlags = MSG_DONTWAIT | MSG_PEEK | MSG_WAITALL | MSG_NOSIGNAL | MSG_TRUNC | MSG_CMSG_CLOEXEC;

bool receive_is_read(int flags)
{
    return (flags & ~kReceiveFlags) == 0;
}

ssize_t recv(int fd, void *data, size_t size, int flags)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    if (!receive_is_read(flags)) {
        numbered(kUses, fd, -1, true);
        return r().recv(fd, data, size, flags);
    }
    const reading_t reading(fd, nullptr, (flags & MSG_DONTWAIT) == 0);
    if (reading.failed)
        return -1;
    return r().recv(reading.from, data, size, flags);
}

ssize_t recvfrom(int fd, void *data, size_t size, int flags, sockaddr *from, socklen_t *from_size)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    if (!receive_is_read(flags)) {
        numbered(kUses, fd, -1, true);
        return r().recvfrom(fd, data, size, flags, from, from_size);
    }
    const reading_t reading(fd, nullptr, (flags & MSG_DONTWAIT) == 0);
    if (reading.failed)
        return -1;
    return r().recvfrom(reading.from, data, size, flags, from, from_size);
}

// A message may carry descriptors, which take numbers as they arrive.
ssize_t recvmsg(int fd, msghdr *message, int flags)
{
    const buffer_t told(0, 1, __builtin_return_address(0));
    if (message != nullptr && message->msg_controllen > 0)
        numbered(kMakes, -1);
    if (!receive_is_read(flags)) {
        numbered(kUses, fd, -1, true);
        return r().recvmsg(fd, message, flags);
    }
    const reading_t reading(fd, nullptr, (flags & MSG_DONTWAIT) == 0);
    if (reading.failed)
        return -1;
    return r().recvmsg(reading.from, message, flags);
}

ssize_t sendmsg(int fd, const msghdr *message, int flags)
{
    const buffer_t told(0, -1, __builtin_return_address(0));
    before_writing(fd, nullptr);
    return r().sendmsg(fd, message, flags);
}

// What a build with _FORTIFY_SOURCE calls for recv and recvfrom.
ssize_t __recv_chk(int fd, void *data, size_t size, size_t room, int flags)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    if (!receive_is_read(flags)) {
        numbered(kUses, fd, -1, true);
        return r().recv_chk(fd, data, size, room, flags);
    }
    const reading_t reading(fd, nullptr, (flags & MSG_DONTWAIT) == 0);
    if (reading.failed)
        return -1;
    return r().recv_chk(reading.from, data, size, room, flags);
}

ssize_t __recvfrom_chk(int fd, void *data, size_t size, size_t room, int flags, sockaddr *from, socklen_t *from_size)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), static_cast<int64_t>(size), __builtin_return_address(0));
    if (!receive_is_read(flags)) {
        numbered(kUses, fd, -1, true);
        return r().recvfrom_chk(fd, data, size, room, flags, from, from_size);
    }
    const reading_t reading(fd, nullptr, (flags & MSG_DONTWAIT) == 0);
    if (reading.failed)
        return -1;
    return r().recvfrom_chk(reading.from, data, size, room, flags, from, from_size);
}

// A splice reads one descriptor and writes another; a vmsplice writes a pipe.
ssize_t splice(int from, off64_t *from_at, int to, off64_t *to_at, size_t size, unsigned flags)
{
    const reading_t reading(from, nullptr, (flags & SPLICE_F_NONBLOCK) == 0);
    if (reading.failed)
        return -1;
    before_writing(to, nullptr);
    return r().splice(reading.from, from_at, to, to_at, size, flags);
}

ssize_t vmsplice(int to, const iovec *parts, size_t count, unsigned flags)
{
    const buffer_t told(0, -1, __builtin_return_address(0));
    before_writing(to, nullptr);
    return r().vmsplice(to, parts, count, flags);
}

ssize_t send(int fd, const void *data, size_t size, int flags)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), -static_cast<int64_t>(size), __builtin_return_address(0));
    before_writing(fd, nullptr);
    return r().send(fd, data, size, flags);
}

ssize_t sendto(int fd, const void *data, size_t size, int flags, const sockaddr *to, socklen_t to_size)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(data), -static_cast<int64_t>(size), __builtin_return_address(0));
    before_writing(fd, nullptr);
    return r().sendto(fd, data, size, flags, to, to_size);
}

// A shutdown ends a direction of the socket: a reader that waits on the other end finds its end.
int shutdown(int fd, int how)
{
    before_writing(fd, nullptr);
    return r().shutdown(fd, how);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    numbered(kUses, fd, -1, true);
    return r().ioctl(fd, request, argument);
}

int isatty(int fd)
{
    numbered(kUses, fd);
    return r().isatty(fd);
}

int tcgetattr(int fd, termios *settings)
{
    numbered(kUses, fd);
    return r().tcgetattr(fd, settings);
}

FILE *fdopen(int fd, const char *mode)
{
    numbered(kUses, fd);
    return r().fdopen(fd, mode);
}

// A shared memory object is opened by its name, as a file is.
int shm_open(const char *name, int flags, mode_t mode)
{
    before_naming((flags & O_CREAT) != 0 ? kCreate : kOpen, name, kNumbers);
    return r().shm_open(name, flags, mode);
}

int signalfd(int fd, const sigset_t *mask, int flags)
{
    numbered(fd == -1 ? kMakes : kUses, fd);
    return r().signalfd(fd, mask, flags);
}

int fsync(int fd)
{
    before_descriptor(fd, kLook);
    return r().fsync(fd);
}

int fdatasync(int fd)
{
    before_descriptor(fd, kLook);
    return r().fdatasync(fd);
}

int socket(int domain, int type, int protocol)
{
    numbered(kMakesSocket, -1);
    return r().socket(domain, type, protocol);
}

int socketpair(int domain, int type, int protocol, int fds[2])
{
    const buffer_t told(reinterpret_cast<uintptr_t>(fds), 2 * sizeof(int), __builtin_return_address(0));
    numbered(kMakesSocketPair, -1);
    const int made = r().socketpair(domain, type, protocol, fds);
    if (made == 0 && steered())
        note_pair(fds);
    return made;
}

int accept(int fd, sockaddr *address, socklen_t *size)
{
    numbered(kAccepts, fd, -1, true);
    return r().accept(fd, address, size);
}

int accept4(int fd, sockaddr *address, socklen_t *size, int flags)
{
    numbered(kAccepts, fd, -1, true);
    return r().accept4(fd, address, size, flags);
}

off_t lseek(int fd, off_t at, int whence)
{
    before_descriptor(fd, kSeek);
    return r().lseek(fd, at, whence);
}

off64_t lseek64(int fd, off64_t at, int whence)
{
    before_descriptor(fd, kSeek);
    return r().lseek64(fd, at, whence);
}

int fstat(int fd, struct stat *st)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(st), sizeof *st, __builtin_return_address(0));
    before_descriptor(fd, kLook);
    return r().fstat(fd, st);
}

int fstat64(int fd, struct stat64 *st)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(st), sizeof *st, __builtin_return_address(0));
    before_descriptor(fd, kLook);
    return r().fstat64(fd, st);
}

int ftruncate(int fd, off_t size)
{
    before_descriptor(fd, kResize);
    return r().ftruncate(fd, size);
}

int ftruncate64(int fd, off64_t size)
{
    before_descriptor(fd, kResize);
    return r().ftruncate64(fd, size);
}

void *mmap(void *at, size_t size, int protection, int flags, int fd, off_t offset)
{
    if ((flags & MAP_SHARED) != 0 && fd >= 0)
        before_descriptor(fd, kMap);
    return r().mmap(at, size, protection, flags, fd, offset);
}

void *mmap64(void *at, size_t size, int protection, int flags, int fd, off64_t offset)
{
    if ((flags & MAP_SHARED) != 0 && fd >= 0)
        before_descriptor(fd, kMap);
    return r().mmap64(at, size, protection, flags, fd, offset);
}

int fallocate(int fd, int mode, off_t at, off_t size)
{
    before_descriptor(fd, kResize);
    return r().fallocate(fd, mode, at, size);
}

int posix_fallocate(int fd, off_t at, off_t size)
{
    before_descriptor(fd, kResize);
    return r().posix_fallocate(fd, at, size);
}

// A copy from one file to another within the system: a read of one, a write of the other.
ssize_t sendfile(int to, int from, off_t *at, size_t size)
{
    before_descriptor(from, kLook);
    before_descriptor(to, kWrite);
    return r().sendfile(to, from, at, size);
}

ssize_t copy_file_range(int from, off64_t *from_at, int to, off64_t *to_at, size_t size, unsigned flags)
{
    before_descriptor(from, kLook);
    before_descriptor(to, kWrite);
    return r().copy_file_range(from, from_at, to, to_at, size, flags);
}

}  // extern "C"
