// The steering library: calls that find, make or change files by their names (open, stat,
// access, unlink, rename, mkdir...). The file system is shared by every thread and process,
// and what one such call finds depends on what the others did before it: two threads that
// each create a file that must not exist yet, or check that a file is missing and then make
// it, race there as surely as on a variable. So each is a turn, taken before the call.

#include <cstdarg>
#include <cstring>

#include "steer.h"

namespace steer {

void before_naming(name_t what, const char *path, uint32_t flags)
{
    if (steered())
        ask_at_cancellation_point({.call = call_t::io, .object = path, .object2 = what, .value = -1, .extra = kName,
                                   .flags = kSystemCall | flags});
}

namespace {

// An open that may make the file, or empty it, changes the file system; one that does
// neither only looks a name up.
name_t opening(int flags)
{
    return (flags & (O_CREAT | O_TRUNC | O_TMPFILE)) != 0 ? kCreate : kOpen;
}

// Every open by name, with its mode. A FIFO's is a turn on the FIFO (and may wait for its
// other end); any other, a turn on the file system.
int opened(int dir, const char *path, int flags, mode_t mode)
{
    if (steered())
        if (const int fd = open_fifo(dir, path, flags, mode); fd != kNotAFifo)
            return fd;
    before_naming(opening(flags), path, kNumbers);
    // Another turn may have made the name a FIFO's while this one waited for its own.
    if (steered())
        if (const int fd = open_fifo(dir, path, flags, mode); fd != kNotAFifo)
            return fd;
    return r().openat(dir, path, flags, mode);
}

// The mode comes after the flags, where the flags say that there is one.
int opened(int dir, const char *path, int flags, va_list &rest)
{
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(rest, int)) : 0;
    return opened(dir, path, flags, mode);
}

// A stream's mode: "r" and "r+" open what is there, the others may make or empty a file.
name_t opening(const char *mode)
{
    return mode != nullptr && mode[0] == 'r' ? kOpen : kCreate;
}

// A stream opened by its name. On a FIFO, to read or to write, its open is the FIFO's,
// which may wait for the other end.
FILE *opened_stream(const char *path, const char *mode, FILE *(*real)(const char *, const char *))
{
    const auto on_a_fifo = [&](FILE *&stream) {
        if (!steered() || mode == nullptr || std::strchr(mode, '+') != nullptr || std::strchr(mode, 'x') != nullptr)
            return false;
        const int flags = (mode[0] == 'r' ? O_RDONLY : O_WRONLY | (mode[0] == 'a' ? O_APPEND : 0)) |
                          (std::strchr(mode, 'e') != nullptr ? O_CLOEXEC : 0);
        const int fd = open_fifo(AT_FDCWD, path, flags, 0);
        if (fd == kNotAFifo)
            return false;
        stream = fd < 0 ? nullptr : r().fdopen(fd, mode);
        if (stream == nullptr && fd >= 0)
            r().close(fd);
        return true;
    };
    FILE *stream = nullptr;
    if (on_a_fifo(stream))
        return stream;
    before_naming(opening(mode), path, kNumbers);
    // Another turn may have made the name a FIFO's while this one waited for its own.
    if (on_a_fifo(stream))
        return stream;
    return real(path, mode);
}

}  // namespace

}  // namespace steer

using namespace steer;

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = opened(AT_FDCWD, path, flags, rest);
    va_end(rest);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = opened(AT_FDCWD, path, flags | O_LARGEFILE, rest);
    va_end(rest);
    return fd;
}

int openat(int dir, const char *path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = opened(dir, path, flags, rest);
    va_end(rest);
    return fd;
}

int openat64(int dir, const char *path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = opened(dir, path, flags | O_LARGEFILE, rest);
    va_end(rest);
    return fd;
}

// What a build with _FORTIFY_SOURCE calls for an open with no mode.
int __open_2(const char *path, int flags)
{
    return opened(AT_FDCWD, path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return opened(AT_FDCWD, path, flags | O_LARGEFILE, 0);
}

int __openat_2(int dir, const char *path, int flags)
{
    return opened(dir, path, flags, 0);
}

int creat(const char *path, mode_t mode)
{
    before_naming(kCreate, path, kNumbers);
    return r().creat(path, mode);
}

int creat64(const char *path, mode_t mode)
{
    before_naming(kCreate, path, kNumbers);
    return r().creat64(path, mode);
}

FILE *fopen(const char *path, const char *mode)
{
    return opened_stream(path, mode, r().fopen);
}

FILE *fopen64(const char *path, const char *mode)
{
    return opened_stream(path, mode, r().fopen64);
}

FILE *freopen(const char *path, const char *mode, FILE *stream)
{
    before_naming(opening(mode), path, kNumbers);
    return r().freopen(path, mode, stream);
}

FILE *freopen64(const char *path, const char *mode, FILE *stream)
{
    before_naming(opening(mode), path, kNumbers);
    return r().freopen64(path, mode, stream);
}

DIR *opendir(const char *path)
{
    before_naming(kLookUp, path, kNumbers);
    return r().opendir(path);
}

int closedir(DIR *directory)
{
    numbered(kFrees, dirfd(directory));
    return r().closedir(directory);
}

// A file made with a name of its own, which it may not have had before.
int mkstemp(char *path)
{
    before_naming(kCreate, path, kNumbers);
    return r().mkstemp(path);
}

int mkostemp(char *path, int flags)
{
    before_naming(kCreate, path, kNumbers);
    return r().mkostemp(path, flags);
}

FILE *tmpfile()
{
    before_naming(kCreate, nullptr, kNumbers);
    return r().tmpfile();
}

int access(const char *path, int how)
{
    before_naming(kLookUp, path);
    return r().access(path, how);
}

int faccessat(int dir, const char *path, int how, int flags)
{
    before_naming(kLookUp, path);
    return r().faccessat(dir, path, how, flags);
}

int stat(const char *path, struct stat *st)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(st), sizeof *st, __builtin_return_address(0));
    before_naming(kLookUp, path);
    return r().stat(path, st);
}

int stat64(const char *path, struct stat64 *st)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(st), sizeof *st, __builtin_return_address(0));
    before_naming(kLookUp, path);
    return r().stat64(path, st);
}

int lstat(const char *path, struct stat *st)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(st), sizeof *st, __builtin_return_address(0));
    before_naming(kLookUp, path);
    return r().lstat(path, st);
}

int lstat64(const char *path, struct stat64 *st)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(st), sizeof *st, __builtin_return_address(0));
    before_naming(kLookUp, path);
    return r().lstat64(path, st);
}

int fstatat(int dir, const char *path, struct stat *st, int flags)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(st), sizeof *st, __builtin_return_address(0));
    before_naming(kLookUp, path);
    return r().fstatat(dir, path, st, flags);
}

int fstatat64(int dir, const char *path, struct stat64 *st, int flags)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(st), sizeof *st, __builtin_return_address(0));
    before_naming(kLookUp, path);
    return r().fstatat64(dir, path, st, flags);
}

int statx(int dir, const char *path, int flags, unsigned mask, struct statx *st)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(st), sizeof *st, __builtin_return_address(0));
    before_naming(kLookUp, path);
    return r().statx(dir, path, flags, mask, st);
}

ssize_t readlink(const char *path, char *into, size_t size)
{
    before_naming(kLookUp, path);
    return r().readlink(path, into, size);
}

int unlink(const char *path)
{
    before_naming(kRemove, path);
    return r().unlink(path);
}

// A queue's or a named semaphore's name is one of the file system's too.
int mq_unlink(const char *name)
{
    before_naming(kRemove, name);
    return r().mq_unlink(name);
}

int sem_unlink(const char *name)
{
    before_naming(kRemove, name);
    return r().sem_unlink(name);
}

int unlinkat(int dir, const char *path, int flags)
{
    before_naming(kRemove, path);
    return r().unlinkat(dir, path, flags);
}

int remove(const char *path)
{
    before_naming(kRemove, path);
    return r().remove(path);
}

int rmdir(const char *path)
{
    before_naming(kRemove, path);
    return r().rmdir(path);
}

int rename(const char *from, const char *to)
{
    before_naming(kRename, from);
    return r().rename(from, to);
}

int renameat(int from_dir, const char *from, int to_dir, const char *to)
{
    before_naming(kRename, from);
    return r().renameat(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags)
{
    before_naming(kRename, from);
    return r().renameat2(from_dir, from, to_dir, to, flags);
}

int mkdir(const char *path, mode_t mode)
{
    before_naming(kMakeDirectory, path);
    return r().mkdir(path, mode);
}

int mkdirat(int dir, const char *path, mode_t mode)
{
    before_naming(kMakeDirectory, path);
    return r().mkdirat(dir, path, mode);
}

int mkfifo(const char *path, mode_t mode)
{
    before_naming(kMakeFifo, path);
    return r().mkfifo(path, mode);
}

int link(const char *from, const char *to)
{
    before_naming(kLink, to);
    return r().link(from, to);
}

int linkat(int from_dir, const char *from, int to_dir, const char *to, int flags)
{
    before_naming(kLink, to);
    return r().linkat(from_dir, from, to_dir, to, flags);
}

int symlink(const char *target, const char *path)
{
    before_naming(kLink, path);
    return r().symlink(target, path);
}

int symlinkat(const char *target, int dir, const char *path)
{
    before_naming(kLink, path);
    return r().symlinkat(target, dir, path);
}

int truncate(const char *path, off_t size)
{
    before_naming(kTruncate, path);
    return r().truncate(path, size);
}

int truncate64(const char *path, off64_t size)
{
    before_naming(kTruncate, path);
    return r().truncate64(path, size);
}

int chmod(const char *path, mode_t mode)
{
    before_naming(kRights, path);
    return r().chmod(path, mode);
}

}  // extern "C"
