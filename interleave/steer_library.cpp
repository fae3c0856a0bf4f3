// The steering library: calls of the C library that take descriptors of their own inside
// them. syslog keeps a socket open from its first message (or from openlog) to closelog; a
// look-up of a user, a group or a host opens and closes the files and sockets that answer
// it. Another thread's open natively gets another number while one of them holds a
// descriptor, so each is a turn that takes a number: the other threads' opens and closes
// are ordered against it. Which numbers it takes inside, and for how long, interleave does
// not see, and a search in which one ran is no proof.
//
// A few hold one descriptor for a moment and no more (get_nprocs, which
// std::thread::hardware_concurrency calls, reads one file of the system's): those are two
// turns, between which the library holds the lowest free number, as the call would; the
// call itself runs after the second, at once.

#include <algorithm>
#include <cstdarg>
#include <iterator>
#include <string_view>

#include <fcntl.h>
#include <sys/sysinfo.h>
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

int getloadavg(double *loads, int count)
{
    for_a_moment("getloadavg");
    return r().getloadavg(loads, count);
}

}  // extern "C"
