// The steering library: calls of the C library that take descriptors of their own inside
// them. syslog keeps a socket open from its first message (or from openlog) to closelog; a
// look-up of a user, a group or a host opens and closes the files and sockets that answer
// it. Another thread's open natively gets another number while one of them holds a
// descriptor, so each is a turn that takes a number: the other threads' opens and closes
// are ordered against it. Which numbers it takes inside, and for how long, interleave does
// not see, and a search in which one ran is no proof.
//
// A few hold one descriptor for a moment and no more (get_nprocs, which
// std::thread::hardware_concurrency calls, reads one file of the system's; the first
// localtime, gmtime, mktime or strftime of a process reads the time zone's): those are two
// turns, between which the library holds the lowest free number, as the call would; the
// call itself runs after the second, at once. So do sem_open (a file in /dev/shm, mapped
// and closed), a look at or a change of another thread's name (a file in /proc), a look at
// the first thread's stack (its map in /proc), and perror on a standard error that no
// print has used yet (which it copies, to print through the copy). So does the first pthread_exit or
// pthread_cancel of a C program: the C library loads the unwinder's library (libgcc_s)
// then, which a C++ program has loaded from its start, and which the steering library,
// written in C++, brings into every process.

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <iterator>
#include <string_view>

#include <fcntl.h>
#include <sys/sysinfo.h>
#include <wchar.h>
#include <unistd.h>

#include "steer.h"

namespace steer {

namespace {

int64_t place_of(std::string_view call)
{
    return std::distance(kLibraryCalls.begin(), std::find(kLibraryCalls.begin(), kLibraryCalls.end(), call));
}

}  // namespace

void in_library(std::string_view call)
{
    numbered(kInLibrary, -1, place_of(call));
}

namespace {

const pthread_t first_thread = pthread_self();  // the process's first, where the library is loaded

std::atomic<bool> zone_read;  // by this process, or its parent before the fork

}  // namespace

void zone_read_first(std::string_view call)
{
    if (steered() && !zone_read.exchange(true))
        for_a_moment(call);
}

namespace {

std::atomic<bool> unwinder_loaded;  // by this process, or its parent before the fork

}  // namespace

void unwinder_loaded_by_program()
{
    unwinder_loaded.store(true);
}

void unwinder_loaded_first(std::string_view call)
{
    if (steered() && !unwinder_loaded.exchange(true) && !unwinder_from_start())
        for_a_moment(call);
}

void for_a_moment(std::string_view call)
{
    if (!steered())
        return;
    numbered(kForAMoment, -1, place_of(call));
    const int held = r().openat(AT_FDCWD, "/", O_PATH | O_CLOEXEC);
    numbered(kLetsGo, held, place_of(call));
    if (held >= 0)
        r().close(held);
}

}  // namespace steer

using steer::for_a_moment;
using steer::zone_read_first;
using steer::unwinder_loaded_first;
using steer::library_writes;
using steer::in_library;
using steer::r;

extern "C" {

void openlog(const char *ident, int options, int facility)
{
    in_library("openlog");
    r().openlog(ident, options, facility);
}

void vsyslog(int priority, const char *format, va_list args)
{
    in_library("syslog");
    r().vsyslog(priority, format, args);
}

void syslog(int priority, const char *format, ...)
{
    in_library("syslog");
    va_list args;
    va_start(args, format);
    r().vsyslog(priority, format, args);
    va_end(args);
}

// What a build with _FORTIFY_SOURCE calls for syslog.
void __vsyslog_chk(int priority, int flag, const char *format, va_list args)
{
    in_library("syslog");
    r().vsyslog_chk(priority, flag, format, args);
}

void __syslog_chk(int priority, int flag, const char *format, ...)
{
    in_library("syslog");
    va_list args;
    va_start(args, format);
    r().vsyslog_chk(priority, flag, format, args);
    va_end(args);
}

void closelog()
{
    in_library("closelog");
    r().closelog();
}

passwd *getpwnam(const char *name)
{
    in_library("getpwnam");
    return r().getpwnam(name);
}

passwd *getpwuid(uid_t uid)
{
    in_library("getpwuid");
    return r().getpwuid(uid);
}

int getpwnam_r(const char *name, passwd *entry, char *buffer, size_t size, passwd **result)
{
    in_library("getpwnam_r");
    return r().getpwnam_r(name, entry, buffer, size, result);
}

int getpwuid_r(uid_t uid, passwd *entry, char *buffer, size_t size, passwd **result)
{
    in_library("getpwuid_r");
    return r().getpwuid_r(uid, entry, buffer, size, result);
}

group *getgrnam(const char *name)
{
    in_library("getgrnam");
    return r().getgrnam(name);
}

group *getgrgid(gid_t gid)
{
    in_library("getgrgid");
    return r().getgrgid(gid);
}

int getgrnam_r(const char *name, group *entry, char *buffer, size_t size, group **result)
{
    in_library("getgrnam_r");
    return r().getgrnam_r(name, entry, buffer, size, result);
}

int getgrgid_r(gid_t gid, group *entry, char *buffer, size_t size, group **result)
{
    in_library("getgrgid_r");
    return r().getgrgid_r(gid, entry, buffer, size, result);
}

hostent *gethostbyname(const char *name)
{
    in_library("gethostbyname");
    return r().gethostbyname(name);
}

hostent *gethostbyaddr(const void *address, socklen_t size, int type)
{
    in_library("gethostbyaddr");
    return r().gethostbyaddr(address, size, type);
}

int getaddrinfo(const char *node, const char *service, const addrinfo *hints, addrinfo **result)
{
    in_library("getaddrinfo");
    return r().getaddrinfo(node, service, hints, result);
}

int getnameinfo(const sockaddr *address, socklen_t size, char *host, socklen_t host_size, char *service,
                socklen_t service_size, int flags)
{
    in_library("getnameinfo");
    return r().getnameinfo(address, size, host, host_size, service, service_size, flags);
}

servent *getservbyname(const char *name, const char *protocol)
{
    in_library("getservbyname");
    return r().getservbyname(name, protocol);
}

servent *getservbyport(int port, const char *protocol)
{
    in_library("getservbyport");
    return r().getservbyport(port, protocol);
}

char *getlogin()
{
    in_library("getlogin");
    return r().getlogin();
}

protoent *getprotobyname(const char *name)
{
    in_library("getprotobyname");
    return r().getprotobyname(name);
}

protoent *getprotobynumber(int number)
{
    in_library("getprotobynumber");
    return r().getprotobynumber(number);
}

spwd *getspnam(const char *name)
{
    in_library("getspnam");
    return r().getspnam(name);
}

int getgrouplist(const char *user, gid_t group, gid_t *groups, int *count)
{
    in_library("getgrouplist");
    return r().getgrouplist(user, group, groups, count);
}

int initgroups(const char *user, gid_t group)
{
    in_library("initgroups");
    return r().initgroups(user, group);
}

passwd *getpwent()
{
    in_library("getpwent");
    return r().getpwent();
}

group *getgrent()
{
    in_library("getgrent");
    return r().getgrent();
}

netent *getnetbyname(const char *name)
{
    in_library("getnetbyname");
    return r().getnetbyname(name);
}

int getifaddrs(ifaddrs **list)
{
    in_library("getifaddrs");
    return r().getifaddrs(list);
}

char *getusershell()
{
    in_library("getusershell");
    return r().getusershell();
}

long gethostid()
{
    in_library("gethostid");
    return r().gethostid();
}

char *ttyname(int fd)
{
    in_library("ttyname");
    return r().ttyname(fd);
}

int ttyname_r(int fd, char *name, size_t size)
{
    in_library("ttyname_r");
    return r().ttyname_r(fd, name, size);
}

unsigned if_nametoindex(const char *name)
{
    in_library("if_nametoindex");
    return r().if_nametoindex(name);
}

char *if_indextoname(unsigned index, char *name)
{
    in_library("if_indextoname");
    return r().if_indextoname(index, name);
}

struct if_nameindex *if_nameindex()
{
    in_library("if_nameindex");
    return r().if_nameindex();
}

int get_nprocs()
{
    for_a_moment("get_nprocs");
    return r().get_nprocs();
}

int get_nprocs_conf()
{
    for_a_moment("get_nprocs_conf");
    return r().get_nprocs_conf();
}

// Asked for the processors, sysconf reads them as get_nprocs does; its other answers take no
// descriptor.
long sysconf(int name)
{
    if (name == _SC_NPROCESSORS_ONLN || name == _SC_NPROCESSORS_CONF)
        for_a_moment("sysconf");
    return r().sysconf(name);
}

void *dlopen(const char *file, int mode)
{
    in_library("dlopen");
    void *library = r().dlopen(file, mode);
    // The unwinder's library, opened by the program itself (not by a sanitizer's runtime, say,
    // which the program does not have on its own): a pthread_exit loads it no more.
    const std::string_view name = file != nullptr ? file : "";
    if (library != nullptr && name.substr(name.rfind('/') + 1).starts_with("libgcc_s.") &&
        steer::program_code(__builtin_return_address(0)))
        steer::unwinder_loaded_by_program();
    return library;
}

int glob(const char *pattern, int flags, int (*on_error)(const char *, int), glob_t *found)
{
    in_library("glob");
    return r().glob(pattern, flags, on_error, found);
}

int nftw(const char *dir, int (*each)(const char *, const struct stat *, int, FTW *), int open_most, int flags)
{
    in_library("nftw");
    return r().nftw(dir, each, open_most, flags);
}

int ftw(const char *dir, int (*each)(const char *, const struct stat *, int), int open_most)
{
    in_library("ftw");
    return r().ftw(dir, each, open_most);
}

int scandir(const char *dir, dirent ***list, int (*keep)(const dirent *), int (*order)(const dirent **, const dirent **))
{
    in_library("scandir");
    return r().scandir(dir, list, keep, order);
}

char *setlocale(int category, const char *name)
{
    in_library("setlocale");
    return r().setlocale(category, name);
}

locale_t newlocale(int categories, const char *name, locale_t base)
{
    in_library("newlocale");
    return r().newlocale(categories, name, base);
}

iconv_t iconv_open(const char *to, const char *from)
{
    in_library("iconv_open");
    return r().iconv_open(to, from);
}

FILE *setmntent(const char *file, const char *mode)
{
    in_library("setmntent");
    return r().setmntent(file, mode);
}

// The time zone's file is read once, by the first of these calls in the process: a
// descriptor held for a moment, then.
tm *localtime(const time_t *when)
{
    zone_read_first("localtime");
    return r().localtime(when);
}

tm *localtime_r(const time_t *when, tm *out)
{
    library_writes(out, sizeof *out, __builtin_return_address(0));
    zone_read_first("localtime_r");
    return r().localtime_r(when, out);
}

tm *gmtime(const time_t *when)
{
    zone_read_first("gmtime");
    return r().gmtime(when);
}

tm *gmtime_r(const time_t *when, tm *out)
{
    library_writes(out, sizeof *out, __builtin_return_address(0));
    zone_read_first("gmtime_r");
    return r().gmtime_r(when, out);
}

time_t mktime(tm *when)
{
    zone_read_first("mktime");
    return r().mktime(when);
}

char *ctime(const time_t *when)
{
    zone_read_first("ctime");
    return r().ctime(when);
}

char *ctime_r(const time_t *when, char *out)
{
    library_writes(out, 26, __builtin_return_address(0));
    zone_read_first("ctime_r");
    return r().ctime_r(when, out);
}

size_t strftime(char *out, size_t size, const char *format, const tm *when)
{
    library_writes(out, size, __builtin_return_address(0));
    zone_read_first("strftime");
    return r().strftime(out, size, format, when);
}

void tzset()
{
    zone_read_first("tzset");
    r().tzset();
}

sem_t *sem_open(const char *name, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const auto rights = static_cast<mode_t>(va_arg(args, unsigned));
    const unsigned value = va_arg(args, unsigned);
    va_end(args);
    for_a_moment("sem_open");
    return (flags & O_CREAT) != 0 ? r().sem_open(name, flags, rights, value) : r().sem_open(name, flags);
}

// The thread's own name is the system's to give (prctl); another's is a file in /proc.
int pthread_setname_np(pthread_t thread, const char *name)
{
    if (!pthread_equal(thread, pthread_self()))
        for_a_moment("pthread_setname_np");
    return r().setname_np(thread, name);
}

int pthread_getname_np(pthread_t thread, char *name, size_t size)
{
    library_writes(name, size, __builtin_return_address(0));
    if (!pthread_equal(thread, pthread_self()))
        for_a_moment("pthread_getname_np");
    return r().getname_np(thread, name, size);
}

// A thread the C library made knows where its stack lies; the first thread's is read off
// the process's map.
int pthread_getattr_np(pthread_t thread, pthread_attr_t *attributes)
{
    if (pthread_equal(thread, steer::first_thread))
        for_a_moment("pthread_getattr_np");
    return r().getattr_np(thread, attributes);
}

int backtrace(void **frames, int size)
{
    unwinder_loaded_first("backtrace");
    return r().backtrace(frames, size);
}

utmp *getutent()
{
    in_library("getutent");
    return r().getutent();
}

utmpx *getutxent()
{
    in_library("getutxent");
    return r().getutxent();
}

void setutent()
{
    in_library("setutent");
    r().setutent();
}

void setutxent()
{
    in_library("setutxent");
    r().setutxent();
}

void endutent()
{
    in_library("endutent");
    r().endutent();
}

void endutxent()
{
    in_library("endutxent");
    r().endutxent();
}

utmp *pututline(const utmp *entry)
{
    in_library("pututline");
    return r().pututline(entry);
}

utmpx *pututxline(const utmpx *entry)
{
    in_library("pututxline");
    return r().pututxline(entry);
}

int getlogin_r(char *name, size_t size)
{
    in_library("getlogin_r");
    return r().getlogin_r(name, size);
}

FTS *fts_open(char *const *paths, int options, int (*order)(const FTSENT **, const FTSENT **))
{
    in_library("fts_open");
    return r().fts_open(paths, options, order);
}

FTSENT *fts_read(FTS *walk)
{
    in_library("fts_read");
    return r().fts_read(walk);
}

FTSENT *fts_children(FTS *walk, int options)
{
    in_library("fts_children");
    return r().fts_children(walk, options);
}

int fts_close(FTS *walk)
{
    in_library("fts_close");
    return r().fts_close(walk);
}

int wordexp(const char *words, wordexp_t *out, int flags)
{
    in_library("wordexp");
    return r().wordexp(words, out, flags);
}

int lckpwdf()
{
    in_library("lckpwdf");
    return r().lckpwdf();
}

int ulckpwdf()
{
    in_library("ulckpwdf");
    return r().ulckpwdf();
}

int setfsent()
{
    in_library("setfsent");
    return r().setfsent();
}

fstab *getfsent()
{
    in_library("getfsent");
    return r().getfsent();
}

fstab *getfsspec(const char *name)
{
    in_library("getfsspec");
    return r().getfsspec(name);
}

fstab *getfsfile(const char *name)
{
    in_library("getfsfile");
    return r().getfsfile(name);
}

int openpty(int *master, int *slave, char *name, const termios *settings, const winsize *size)
{
    in_library("openpty");
    return r().openpty(master, slave, name, settings, size);
}

pid_t forkpty(int *master, char *name, const termios *settings, const winsize *size)
{
    in_library("forkpty");
    return r().forkpty(master, name, settings, size);
}

int daemon(int stay, int keep_streams)
{
    in_library("daemon");
    return r().daemon(stay, keep_streams);
}

char *getpass(const char *prompt)
{
    in_library("getpass");
    return r().getpass(prompt);
}

rpcent *getrpcbyname(const char *name)
{
    in_library("getrpcbyname");
    return r().getrpcbyname(name);
}

rpcent *getrpcbynumber(int number)
{
    in_library("getrpcbynumber");
    return r().getrpcbynumber(number);
}

int innetgr(const char *group, const char *host, const char *user, const char *domain)
{
    in_library("innetgr");
    return r().innetgr(group, host, user, domain);
}

int ttyslot()
{
    in_library("ttyslot");
    return r().ttyslot();
}

}  // extern "C"
