// Inside the steering library: what its three files share. steer.cpp holds the library's
// state, the asking for turns, and the life of threads and processes; steer_sync.cpp the
// synchronisation calls it stands in front of; steer_io.cpp the writes, reads, sleeps and
// clock.
//
// The library never calls a function it stands in front of: another of its files, or the
// program's, would take the call for a steered one. It reaches the real functions through
// `r()`, found once with dlsym(RTLD_NEXT, ...).
#pragma once

#include <cstdint>
#include <cstdarg>
#include <dirent.h>
#include <grp.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <shadow.h>
#include <ftw.h>
#include <fstab.h>
#include <fts.h>
#include <mqueue.h>
#include <pty.h>
#include <utmp.h>
#include <utmpx.h>
#include <wordexp.h>
#include <glob.h>
#include <iconv.h>
#include <locale.h>
#include <mntent.h>
#include <termios.h>
#include <netdb.h>
#include <pwd.h>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <csignal>
#include <sys/select.h>
#include <sys/socket.h>
#include <semaphore.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/types.h>

#include "protocol.h"

namespace steer {

// The real functions, behind ours.
struct real_t {
    int (*mutex_init)(pthread_mutex_t *, const pthread_mutexattr_t *);
    int (*mutex_lock)(pthread_mutex_t *);
    int (*mutex_trylock)(pthread_mutex_t *);
    int (*mutex_timedlock)(pthread_mutex_t *, const timespec *);
    int (*mutex_clocklock)(pthread_mutex_t *, clockid_t, const timespec *);
    int (*mutex_unlock)(pthread_mutex_t *);
    int (*mutex_destroy)(pthread_mutex_t *);
    int (*spin_init)(pthread_spinlock_t *, int);
    int (*spin_lock)(pthread_spinlock_t *);
    int (*spin_trylock)(pthread_spinlock_t *);
    int (*spin_unlock)(pthread_spinlock_t *);
    int (*spin_destroy)(pthread_spinlock_t *);
    int (*rwlock_init)(pthread_rwlock_t *, const pthread_rwlockattr_t *);
    int (*rwlock_rdlock)(pthread_rwlock_t *);
    int (*rwlock_tryrdlock)(pthread_rwlock_t *);
    int (*rwlock_timedrdlock)(pthread_rwlock_t *, const timespec *);
    int (*rwlock_clockrdlock)(pthread_rwlock_t *, clockid_t, const timespec *);
    int (*rwlock_wrlock)(pthread_rwlock_t *);
    int (*rwlock_trywrlock)(pthread_rwlock_t *);
    int (*rwlock_timedwrlock)(pthread_rwlock_t *, const timespec *);
    int (*rwlock_clockwrlock)(pthread_rwlock_t *, clockid_t, const timespec *);
    int (*rwlock_unlock)(pthread_rwlock_t *);
    int (*rwlock_destroy)(pthread_rwlock_t *);
    int (*cond_init)(pthread_cond_t *, const pthread_condattr_t *);
    int (*cond_wait)(pthread_cond_t *, pthread_mutex_t *);
    int (*cond_timedwait)(pthread_cond_t *, pthread_mutex_t *, const timespec *);
    int (*cond_clockwait)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const timespec *);
    int (*cond_signal)(pthread_cond_t *);
    int (*cond_broadcast)(pthread_cond_t *);
    int (*cond_destroy)(pthread_cond_t *);
    int (*sem_init)(sem_t *, int, unsigned);
    int (*sem_wait)(sem_t *);
    int (*sem_timedwait)(sem_t *, const timespec *);
    int (*sem_clockwait)(sem_t *, clockid_t, const timespec *);
    int (*sem_trywait)(sem_t *);
    int (*sem_post)(sem_t *);
    int (*sem_destroy)(sem_t *);
    int (*sem_getvalue)(sem_t *, int *);
    int (*barrier_init)(pthread_barrier_t *, const pthread_barrierattr_t *, unsigned);
    int (*barrier_wait)(pthread_barrier_t *);
    int (*barrier_destroy)(pthread_barrier_t *);
    int (*once)(pthread_once_t *, void (*)());
    int (*guard_acquire)(int64_t *);
    void (*guard_release)(int64_t *);
    void (*guard_abort)(int64_t *);
    long (*syscall)(long, ...);
    int (*create)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    int (*join)(pthread_t, void **);
    int (*detach)(pthread_t);
    int (*cancel)(pthread_t);
    void (*testcancel)();
    void (*thread_exit)(void *);
    pid_t (*fork)();
    int (*execve)(const char *, char *const[], char *const[]);
    int (*execvpe)(const char *, char *const[], char *const[]);
    int (*system)(const char *);
    FILE *(*popen)(const char *, const char *);
    int (*pclose)(FILE *);
    int (*posix_spawn)(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                       char *const[], char *const[]);
    int (*posix_spawnp)(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                        char *const[], char *const[]);
    pid_t (*waitpid)(pid_t, int *, int);
    void (*exit)(int);
    void (*exit_now)(int);
    void (*exit_now_too)(int);
    void (*quick_exit)(int);
    int (*cxa_atexit)(void (*)(void *), void *, void *);
    int (*cxa_at_quick_exit)(void (*)(void *), void *);
    int (*kill)(pid_t, int);
    int (*sigaction)(int, const struct sigaction *, struct sigaction *);
    int (*thread_mask)(int, const sigset_t *, sigset_t *);
    int (*pthread_kill)(pthread_t, int);
    int (*sigqueue)(pid_t, int, const union sigval);
    int (*sigsuspend)(const sigset_t *);
    int (*pause)();
    int (*sigtimedwait)(const sigset_t *, siginfo_t *, const timespec *);
    int (*timer_create)(clockid_t, sigevent *, timer_t *);
    int (*timer_settime)(timer_t, int, const itimerspec *, itimerspec *);
    int (*timer_gettime)(timer_t, itimerspec *);
    int (*timer_getoverrun)(timer_t);
    int (*timer_delete)(timer_t);
    unsigned (*alarm)(unsigned);
    int (*setitimer)(__itimer_which_t, const itimerval *, itimerval *);
    unsigned (*sleep)(unsigned);
    int (*usleep)(useconds_t);
    int (*nanosleep)(const timespec *, timespec *);
    int (*clock_nanosleep)(clockid_t, int, const timespec *, timespec *);
    int (*sched_yield)();
    int (*poll)(pollfd *, nfds_t, int);
    int (*ppoll)(pollfd *, nfds_t, const timespec *, const sigset_t *);
    int (*select)(int, fd_set *, fd_set *, fd_set *, timeval *);
    int (*pselect)(int, fd_set *, fd_set *, fd_set *, const timespec *, const sigset_t *);
    ssize_t (*getrandom)(void *, size_t, unsigned);
    int (*getentropy)(void *, size_t);
    int (*tryjoin)(pthread_t, void **);
    int (*timedjoin)(pthread_t, void **, const timespec *);
    int (*clockjoin)(pthread_t, void **, clockid_t, const timespec *);
    int (*vprintf)(const char *, va_list);
    int (*vprintf_chk)(int, const char *, va_list);
    int (*vfprintf)(FILE *, const char *, va_list);
    int (*vdprintf)(int, const char *, va_list);
    void (*psignal)(int, const char *);
    void (*psiginfo)(const siginfo_t *, const char *);
    int (*vfprintf_chk)(FILE *, int, const char *, va_list);
    int (*puts)(const char *);
    int (*putchar)(int);
    int (*fputs)(const char *, FILE *);
    int (*fputc)(int, FILE *);
    int (*putc)(int, FILE *);
    size_t (*fwrite)(const void *, size_t, size_t, FILE *);
    int (*fflush)(FILE *);
    void (*perror)(const char *);
    ssize_t (*write)(int, const void *, size_t);
    ssize_t (*read)(int, void *, size_t);
    ssize_t (*pread)(int, void *, size_t, off_t);
    ssize_t (*pwrite)(int, const void *, size_t, off_t);
    ssize_t (*readv)(int, const iovec *, int);
    ssize_t (*preadv)(int, const iovec *, int, off_t);
    ssize_t (*preadv2)(int, const iovec *, int, off_t, int);
    ssize_t (*pwritev)(int, const iovec *, int, off_t);
    ssize_t (*pwritev2)(int, const iovec *, int, off_t, int);
    ssize_t (*read_chk)(int, void *, size_t, size_t);
    ssize_t (*pread_chk)(int, void *, size_t, off_t, size_t);
    ssize_t (*recv_chk)(int, void *, size_t, size_t, int);
    ssize_t (*recvfrom_chk)(int, void *, size_t, size_t, int, sockaddr *, socklen_t *);
    ssize_t (*recvmsg)(int, msghdr *, int);
    ssize_t (*sendmsg)(int, const msghdr *, int);
    ssize_t (*splice)(int, off64_t *, int, off64_t *, size_t, unsigned);
    ssize_t (*vmsplice)(int, const iovec *, size_t, unsigned);
    ssize_t (*writev)(int, const iovec *, int);
    int (*close)(int);
    int (*dup)(int);
    int (*fcntl)(int, int, ...);
    int (*socket)(int, int, int);
    int (*eventfd)(unsigned, int);
    int (*epoll_create)(int);
    int (*epoll_create1)(int);
    int (*memfd_create)(const char *, unsigned);
    int (*timerfd_create)(int, int);
    int (*inotify_init)();
    int (*inotify_init1)(int);
    int (*close_range)(unsigned, unsigned, int);
    void (*closefrom)(int);
    int (*fsync)(int);
    ssize_t (*recv)(int, void *, size_t, int);
    ssize_t (*recvfrom)(int, void *, size_t, int, sockaddr *, socklen_t *);
    ssize_t (*send)(int, const void *, size_t, int);
    ssize_t (*sendto)(int, const void *, size_t, int, const sockaddr *, socklen_t);
    int (*shutdown)(int, int);
    int (*ioctl)(int, unsigned long, void *);
    int (*isatty)(int);
    int (*tcgetattr)(int, termios *);
    FILE *(*fdopen)(int, const char *);
    int (*signalfd)(int, const sigset_t *, int);
    int (*shm_open)(const char *, int, mode_t);
    int (*fdatasync)(int);
    int (*socketpair)(int, int, int, int *);
    int (*accept)(int, sockaddr *, socklen_t *);
    int (*accept4)(int, sockaddr *, socklen_t *, int);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int);
    int (*pipe2)(int *, int);
    int (*fclose)(FILE *);
    size_t (*fwrite_unlocked)(const void *, size_t, size_t, FILE *);
    int (*fputs_unlocked)(const char *, FILE *);
    int (*fputc_unlocked)(int, FILE *);
    int (*putc_unlocked)(int, FILE *);
    int (*putchar_unlocked)(int);
    int (*fflush_unlocked)(FILE *);
    char *(*fgets_unlocked)(char *, int, FILE *);
    size_t (*fread_unlocked)(void *, size_t, size_t, FILE *);
    int (*fgetc_unlocked)(FILE *);
    void (*flockfile)(FILE *);
    int (*ftrylockfile)(FILE *);
    void (*funlockfile)(FILE *);
    int (*getc_unlocked)(FILE *);
    int (*getchar_unlocked)();
    void (*openlog)(const char *, int, int);
    void (*vsyslog)(int, const char *, va_list);
    void (*vsyslog_chk)(int, int, const char *, va_list);
    void (*closelog)();
    passwd *(*getpwnam)(const char *);
    passwd *(*getpwuid)(uid_t);
    int (*getpwnam_r)(const char *, passwd *, char *, size_t, passwd **);
    int (*getpwuid_r)(uid_t, passwd *, char *, size_t, passwd **);
    group *(*getgrnam)(const char *);
    group *(*getgrgid)(gid_t);
    int (*getgrnam_r)(const char *, group *, char *, size_t, group **);
    int (*getgrgid_r)(gid_t, group *, char *, size_t, group **);
    hostent *(*gethostbyname)(const char *);
    hostent *(*gethostbyaddr)(const void *, socklen_t, int);
    int (*getaddrinfo)(const char *, const char *, const addrinfo *, addrinfo **);
    int (*getnameinfo)(const sockaddr *, socklen_t, char *, socklen_t, char *, socklen_t, int);
    servent *(*getservbyname)(const char *, const char *);
    servent *(*getservbyport)(int, const char *);
    char *(*getlogin)();
    protoent *(*getprotobyname)(const char *);
    protoent *(*getprotobynumber)(int);
    spwd *(*getspnam)(const char *);
    int (*getgrouplist)(const char *, gid_t, gid_t *, int *);
    int (*initgroups)(const char *, gid_t);
    passwd *(*getpwent)();
    group *(*getgrent)();
    netent *(*getnetbyname)(const char *);
    int (*getifaddrs)(ifaddrs **);
    char *(*getusershell)();
    long (*gethostid)();
    char *(*ttyname)(int);
    int (*ttyname_r)(int, char *, size_t);
    unsigned (*if_nametoindex)(const char *);
    char *(*if_indextoname)(unsigned, char *);
    struct if_nameindex *(*if_nameindex)();
    int (*get_nprocs)();
    int (*get_nprocs_conf)();
    long (*sysconf)(int);
    void *(*dlopen)(const char *, int);
    int (*glob)(const char *, int, int (*)(const char *, int), glob_t *);
    int (*nftw)(const char *, int (*)(const char *, const struct stat *, int, FTW *), int, int);
    int (*ftw)(const char *, int (*)(const char *, const struct stat *, int), int);
    int (*scandir)(const char *, dirent ***, int (*)(const dirent *), int (*)(const dirent **, const dirent **));
    char *(*setlocale)(int, const char *);
    locale_t (*newlocale)(int, const char *, locale_t);
    iconv_t (*iconv_open)(const char *, const char *);
    FILE *(*setmntent)(const char *, const char *);
    tm *(*localtime)(const time_t *);
    tm *(*localtime_r)(const time_t *, tm *);
    tm *(*gmtime)(const time_t *);
    tm *(*gmtime_r)(const time_t *, tm *);
    time_t (*mktime)(tm *);
    char *(*ctime)(const time_t *);
    char *(*ctime_r)(const time_t *, char *);
    size_t (*strftime)(char *, size_t, const char *, const tm *);
    void (*tzset)();
    sem_t *(*sem_open)(const char *, int, ...);
    int (*setname_np)(pthread_t, const char *);
    int (*getname_np)(pthread_t, char *, size_t);
    int (*getattr_np)(pthread_t, pthread_attr_t *);
    int (*backtrace)(void **, int);
    utmp *(*getutent)();
    utmpx *(*getutxent)();
    void (*setutent)();
    void (*setutxent)();
    void (*endutent)();
    void (*endutxent)();
    utmp *(*pututline)(const utmp *);
    utmpx *(*pututxline)(const utmpx *);
    int (*getlogin_r)(char *, size_t);
    FTS *(*fts_open)(char *const *, int, int (*)(const FTSENT **, const FTSENT **));
    FTSENT *(*fts_read)(FTS *);
    FTSENT *(*fts_children)(FTS *, int);
    int (*fts_close)(FTS *);
    int (*wordexp)(const char *, wordexp_t *, int);
    int (*lckpwdf)();
    int (*ulckpwdf)();
    int (*setfsent)();
    fstab *(*getfsent)();
    fstab *(*getfsspec)(const char *);
    fstab *(*getfsfile)(const char *);
    int (*openpty)(int *, int *, char *, const termios *, const winsize *);
    pid_t (*forkpty)(int *, char *, const termios *, const winsize *);
    int (*daemon)(int, int);
    char *(*getpass)(const char *);
    rpcent *(*getrpcbyname)(const char *);
    rpcent *(*getrpcbynumber)(int);
    int (*innetgr)(const char *, const char *, const char *, const char *);
    int (*ttyslot)();
    mqd_t (*mq_open)(const char *, int, ...);
    int (*mq_close)(mqd_t);
    int (*mq_unlink)(const char *);
    int (*sem_unlink)(const char *);
    int (*mq_send)(mqd_t, const char *, size_t, unsigned);
    int (*mq_timedsend)(mqd_t, const char *, size_t, unsigned, const timespec *);
    ssize_t (*mq_receive)(mqd_t, char *, size_t, unsigned *);
    ssize_t (*mq_timedreceive)(mqd_t, char *, size_t, unsigned *, const timespec *);
    int (*posix_openpt)(int);
    int (*getpt)();
    char *(*fgets)(char *, int, FILE *);
    ssize_t (*getdelim)(char **, size_t *, int, FILE *);
    int (*fgetc)(FILE *);
    int (*getc)(FILE *);
    int (*getchar)();
    int (*uflow)(FILE *);
    size_t (*fread)(void *, size_t, size_t, FILE *);
    int (*vscanf)(const char *, va_list);
    int (*vfscanf)(FILE *, const char *, va_list);
    time_t (*time)(time_t *);
    int (*clock_gettime)(clockid_t, timespec *);
    int (*gettimeofday)(timeval *, void *);
    int (*openat)(int, const char *, int, ...);
    int (*creat)(const char *, mode_t);
    int (*creat64)(const char *, mode_t);
    FILE *(*fopen)(const char *, const char *);
    FILE *(*fopen64)(const char *, const char *);
    FILE *(*freopen)(const char *, const char *, FILE *);
    FILE *(*freopen64)(const char *, const char *, FILE *);
    DIR *(*opendir)(const char *);
    int (*closedir)(DIR *);
    int (*mkstemp)(char *);
    int (*mkostemp)(char *, int);
    FILE *(*tmpfile)();
    int (*access)(const char *, int);
    int (*faccessat)(int, const char *, int, int);
    int (*stat)(const char *, struct stat *);
    int (*stat64)(const char *, struct stat64 *);
    int (*lstat)(const char *, struct stat *);
    int (*lstat64)(const char *, struct stat64 *);
    int (*fstatat)(int, const char *, struct stat *, int);
    int (*fstatat64)(int, const char *, struct stat64 *, int);
    int (*statx)(int, const char *, int, unsigned, struct statx *);
    ssize_t (*readlink)(const char *, char *, size_t);
    int (*unlink)(const char *);
    int (*unlinkat)(int, const char *, int);
    int (*remove)(const char *);
    int (*rmdir)(const char *);
    int (*rename)(const char *, const char *);
    int (*renameat)(int, const char *, int, const char *);
    int (*renameat2)(int, const char *, int, const char *, unsigned);
    int (*mkdir)(const char *, mode_t);
    int (*mkdirat)(int, const char *, mode_t);
    int (*mkfifo)(const char *, mode_t);
    int (*link)(const char *, const char *);
    int (*linkat)(int, const char *, int, const char *, int);
    int (*symlink)(const char *, const char *);
    int (*symlinkat)(const char *, int, const char *);
    int (*truncate)(const char *, off_t);
    int (*truncate64)(const char *, off64_t);
    int (*chmod)(const char *, mode_t);
    off_t (*lseek)(int, off_t, int);
    off64_t (*lseek64)(int, off64_t, int);
    int (*fstat)(int, struct stat *);
    int (*fstat64)(int, struct stat64 *);
    int (*ftruncate)(int, off_t);
    int (*ftruncate64)(int, off64_t);
    void *(*mmap)(void *, size_t, int, int, int, off_t);
    void *(*mmap64)(void *, size_t, int, int, int, off64_t);
    int (*fallocate)(int, int, off_t, off_t);
    int (*posix_fallocate)(int, off_t, off_t);
    ssize_t (*sendfile)(int, int, off_t *, size_t);
    ssize_t (*copy_file_range)(int, off64_t *, int, off64_t *, size_t, unsigned);
    // ThreadSanitizer's, in a program built with it: hand-overs it cannot see for itself.
    void (*tsan_release)(void *);
    void (*tsan_acquire)(void *);
};

const real_t &r();

// What a thread is about to do, as it asks for its turn.
struct request_t {
    call_t call;
    const void *object = nullptr;
    uint64_t object2 = 0;
    int64_t value = 0;
    int64_t extra = 0;
    int64_t deadline = -1;
    uint32_t flags = 0;
};

// The program's memory that the coming call reads or writes itself (a read's buffer, which
// the system fills), told with each of its turns, so that the turn at which it is made is
// ordered against the program's accesses to that memory: from construction to the call's
// end. `size` positive: written; negative: read; `at` null: memory that cannot be told.
bool program_code(const void *code);  // whether code lies in the program's executable
// What a steered call that takes no turn of its own writes of the program's memory (a
// clock's reading, a name): told as an access of the C library's, at a turn of its own,
// just before the call writes it. Only where the program's accesses are turns.
void library_writes(const void *at, std::size_t size, const void *code);

struct buffer_t {
    bool told = false;  // this one set what the thread's asks tell (an outer call's may have)
    buffer_t(uintptr_t at, int64_t size, const void *code);  // an address, not read here
    ~buffer_t();
    buffer_t(const buffer_t &) = delete;
    buffer_t &operator=(const buffer_t &) = delete;
};

// The thread flushed a standard stream itself, which its next ask tells.
void flushed_streams();
// The thread used a stream through an unlocked call, which its next ask tells: such a call
// is no turn (it may run inside a flockfile's hold), and nothing orders what it does to the
// stream's buffer against another thread's use of the stream.
void used_unlocked_stream();

// Whether this thread is steered: its process is the one interleave started or one it
// forked, the thread began under the scheduler, and it is not inside a call of ours already
// (a signal handler of the program's that makes a call while its thread waits for a turn).
bool steered();
// Whether this process is steered at all, whatever the thread.
bool steered_process();
// Asks for this thread's turn to make the call, and waits for it; returns the answer. A
// signal that interleave lets arrive first runs its handler here; kInterrupted or
// kRestarted says that it came in the middle of a wait that it cuts short (cut_short).
int64_t ask(const request_t &request);
// For a call that is a cancellation point: a cancel that interleave let through takes
// effect here. Returns the answer otherwise.
int64_t ask_at_cancellation_point(const request_t &request);

// The program's clock, as a steered program reads it: realtime, in ns since the epoch.
int64_t now_ns();
// A deadline on one of the program's clocks, or a time from now, on interleave's clock.
int64_t deadline_on(clockid_t clock, const timespec *deadline);
int64_t deadline_after(const timespec *duration);
int64_t deadline_after(int64_t duration_ns);

// Creates a thread, steered from its start; its name comes from `named_after`, the routine
// the program gave (C11's threads start through a routine of ours).
int create_thread(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg,
                  const void *named_after);

// Waits on the socket for runs, and forks one process for each: returns in those only,
// with the run's region, its standard streams in place.
int serve_runs(int socket);

// What the thread's last read or write of memory found or left there, told with its next
// turn: false if there is nothing to tell.
bool take_seen(int64_t &value);

// Bytes that depend on nothing but the process's place in the run.
void random_bytes(void *data, std::size_t size);

// Whether a process is interleave, or the server that forked the run: the program's parent
// as far as the program can tell, which its signals must not reach.
bool stands_for_parent(pid_t pid);

// A program that interleave does not steer is about to start (exec, system, popen,
// posix_spawn); and whether one has, in any process of the run.
void starting_another_program();
bool others_started();

// ---- calls of the C library that take descriptors inside them (steer_library.cpp) ----
// Each is a turn that takes a number, ordered against the other threads' opens and closes;
// which numbers it takes inside, and for how long, is not watched, and the search says so.
void in_library(std::string_view call);
// One that holds a single descriptor for a moment (get_nprocs reads a file of the system's):
// two turns, between which the lowest free number is taken, as the call would take it.
void for_a_moment(std::string_view call);
// The first call in the process that reads the time zone's file (localtime, mktime...).
void zone_read_first(std::string_view call);
// The first pthread_exit or pthread_cancel of a process whose program, on its own, has not
// loaded the unwinder's library: the C library loads it then.
void unwinder_loaded_first(std::string_view call);
void unwinder_loaded_by_program();  // it opened the unwinder's library itself (dlopen)

// ---- what the program brings as it was linked (steer_program.cpp) ----
// Whether the libraries the program needs, and those they need, bring the unwinder's.
bool unwinder_from_start();
// Whether the program has stdio's unlocked calls written inline (an optimised build's
// putc_unlocked and getc_unlocked), which are no turns.
bool inline_unlocked_streams();
// The first function of the C library's that the program calls itself, that the steering
// library does not stand in front of and that is not known to take no descriptor; empty if
// there is none.
std::string_view unknown_library_call();

// ---- pipes and files (steer_files.cpp) ----
// A read of a pipe or a file, through a descriptor (and a stream of its, if through one): a
// turn, and for a pipe with nothing to read and a writer yet, a wait until another turn
// writes to it or closes it. A write, and a close of a pipe, are turns; so is a new pipe.
//
// A read that waited holds its file, as the system's does: another thread's close of its
// descriptor, or a new file at that number, does not take it away, and a writer still has
// a reader. The read goes on with `from`; a stream's, with that file lent back at the
// stream's number until the record ends (a stream's read goes to its number).
// A stream's lock, at a turn: what flockfile and its kin ask. A print or a read of a stream
// that another thread holds waits for it so (wait_for_stream: the stream, or nullptr where
// there was no wait), and lets it go after with a mutex_unlock.
int64_t ask_stream_lock(call_t call, FILE *f);
FILE *wait_for_stream(FILE *f);

struct reading_t {
    int from = -1;        // the descriptor to read
    FILE *waited_for = nullptr;  // a stream whose lock the read took at a turn (it waited for
                                 // another's hold, or waits for a writer): let go after
    bool failed = false;  // a signal's handler cut the wait short: the read fails with EINTR
    int held = -1;        // a copy of the file that the read waited on
    int lent = -1;        // the stream's number, lent that file
    int displaced = -1;   // what had that number, kept aside meanwhile
    int displaced_flags = 0;

    explicit reading_t(int fd) : from(fd) {}  // a read that is no turn here
    // `waits`: whether the read waits for a writer where the descriptor does (not a recv
    // with MSG_DONTWAIT, nor a splice with SPLICE_F_NONBLOCK).
    reading_t(int fd, FILE *stream, bool waits = true);
    ~reading_t();
    bool take_turns(int fd, FILE *stream, bool waits);
    reading_t(const reading_t &) = delete;
    reading_t &operator=(const reading_t &) = delete;
};
// Whether a stream reads a pipe of the program's, whose writers are steered: a line read
// from it may come in pieces, each a read that may wait.
bool reads_a_pipe(FILE *stream);
// A fork's child lets go of the files that its parent's waiting reads held.
void forget_held_reads();
// The descriptor table made big enough, while the process has one thread, for the copies
// that waiting reads and writes hold far above the program's numbers: growing it later,
// with threads that share it, waits for the system (a grace period of its own).
void make_room_aside();
void before_writing(int fd, FILE *stream);
// A write of a pipe through its descriptor, with its turn; one that finds no room waits for
// a read or a close, as a read of an empty pipe waits for a write.
ssize_t write_with_room(int fd, const void *data, size_t size);
void before_closing(int fd, FILE *stream);
void made_pipe(int fd);
// A call that takes or frees a descriptor's number where no pipe of the program's is its
// turn: a turn, which the next open of any thread of the process depends on.
void numbered(number_t how, int fd, int64_t other = -1, bool cancellation_point = false);
// The reading end of a pipe that another program, which interleave does not steer, writes
// to (popen's, to read): a read that finds it empty waits in the system for that program.
void fed_by_a_program(int fd, bool fed);
// Through a descriptor of a regular file: its place moved, a look at its size, its size set,
// a mapping of it that shares its contents. Each a turn on the file.
void before_descriptor(int fd, io_t what);
// An open by name: where the name is a FIFO's, a turn on it, and an open to read or to write
// that may wait waits for the FIFO's other end in the model. kNotAFifo where it is no FIFO.
constexpr int kNotAFifo = -2;
int open_fifo(int dir, const char *path, int flags, mode_t mode);
// A wait cut short ends before its handler runs, as the system's call returns first: what
// it held (the end of a FIFO that an open waits with) is let go.
void let_go_of_wait();
// Waits in the system until `fd` has something to read, or no writer: the wait of a thread
// for a program it started, which interleave does not steer.
void wait_for_a_program(int fd);

// ---- names in the file system (steer_names.cpp) ----
// A call that looks up, makes or changes a file by its name: a turn on the file system,
// which every thread and process shares.
void before_naming(name_t what, const char *path, uint32_t flags = 0);

// ---- signals (steer_signals.cpp) ----
// The process learns what its signals do as it starts; a thread begins to hold signals back
// for interleave, its program's mask being `program_mask` (its creator's), or the one it
// has if null.
void start_signals();
void hold_signals(const sigset_t *program_mask);
const sigset_t &program_mask();
// Told with every ask: the thread's mask, and what its process's signals do.
void tell_signals(channel_t &c);
// The process notes what its standard input, output and error are as it starts, so that it
// can buffer its output as at a terminal while it stays so, and tell a descriptor 0, 1 or
// 2 that the program has since pointed at a pipe or a file of its own (steer_io.cpp).
void start_output();
// What a descriptor names: one of the standard streams that interleave gave the program
// (which it reads from or writes to only as such, never as a pipe or a file of its own);
// nothing; or a pipe or a file of the program's own.
enum class names_t { given, nothing, its_own };
names_t naming(int fd);
// At the process's exit, after the program's handlers, as the C library's cleanup does:
// what standard output keeps is written out; and at a turn, the stream is left
// unbuffered (what was printed in between goes out then).
void write_out_at_exit();
// Whether a signal waits that the thread lets through: one held back for interleave, sent
// to the thread or to its process; and whether the thread lets through a signal that the
// process has a handler for, which another thread may yet send.
bool signal_may_arrive();
bool handler_may_run();
// Lets one signal arrive now, as interleave chose: its handler runs, or its default action
// is taken.
void arrive(int sig);
// What becomes of a call that a signal arrived in the middle of: 0, it goes on;
// kInterrupted, it ends there (EINTR); kRestarted, the system begins it again, as its
// caller must (a read of a pipe, a FIFO's open, which look again at what they wait for).
int64_t cut_short(const request_t &q, int sig);
// While the thread starts another program, the program has the mask its thread meant; after.
void use_program_mask();
void hold_again();

}  // namespace steer
