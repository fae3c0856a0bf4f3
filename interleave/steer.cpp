// The steering library of interleave, preloaded (LD_PRELOAD) into the program it runs. It
// stands in front of every call that synchronises the program's threads or processes, and
// of its writes, reads, sleeps and clock. At each, the thread asks interleave for its turn
// and waits; when its turn comes, it makes the call for real. The real call never blocks,
// since interleave's model of the locks and semaphores lets it go on only when it can.
//
// This file: the library's state, the asking for turns, and the life of threads and
// processes (start, end, crash, fork, exec, wait, kill, exit).
//
// Only the process interleave started, and the processes it forks, are steered: another
// program that one of them starts finds the library idle. The library keeps its state in
// the shared region and a few values per thread, and waits with raw futex calls, which are
// no cancellation points.

#include "access.h"
#include "steer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <string>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace steer {
namespace {

region_t *region;               // null: this process is not steered
pid_t driver = 0;               // interleave itself
pid_t run_parent = 0;           // the parent of the run's first process: interleave, or its server
std::atomic<bool> exiting;      // the program's own exit handlers have run: what is left is
                                // the runtimes' (a sanitizer's leak check), not the program's
thread_local int me = -1;       // this thread's channel; -1: the thread is not steered
thread_local bool wrapped;      // started through begin(), which reports its end
thread_local bool inside;       // in ask(): a signal handler's calls are not steered
thread_local bool in_fork;      // between our atfork handlers: the thread is in no process yet
thread_local int forking = -1;  // the channel a fork of this thread's gives its child
thread_local bool flushed;      // the thread flushed a standard stream since its last ask
thread_local bool unlocked;     // and used a stream through an unlocked call
// What the coming call reads or writes of the program's memory itself (buffer_t).
thread_local const void *buffer_at, *buffer_code;
thread_local int64_t buffer_size;
thread_local void *alt_stack;   // where a crash's handler runs, even on an overflowed stack
thread_local uint64_t asked;    // how many turns the thread has asked for
// What the thread's call of exit or quick_exit was given, and its `asked` after that turn:
// two threads may be on their ways out at once, each to end the process with its own.
thread_local int exit_status;
thread_local uint64_t asked_at_exit;
uintptr_t program_low, program_high;      // where the program itself is loaded
std::atomic<bool> exit_handlers_given;    // the program has given exit handlers of its own
uint64_t random_state = 0x9E3779B97F4A7C15ULL;  // this process's random bytes: set at its start
constexpr std::size_t kAltStack = 64 * 1024;
constexpr int kSpins = 1000;  // looks at the turn word before a thread sleeps on it

real_t real;
std::atomic<bool> found;

}  // namespace
}  // namespace steer

// interleave's access library's, in a program built with interleave-cc; null elsewhere.
extern "C" void __interleave_access_library() __attribute__((weak));

// ThreadSanitizer's, where its runtime is in the process; null where it is not. A weak
// reference, not dlsym: a failed dlsym leaves an error record in the thread that asked,
// which a main thread that leaves by pthread_exit never frees, and a leak checker reports.
extern "C" void __tsan_release(void *) __attribute__((weak));
extern "C" void __tsan_acquire(void *) __attribute__((weak));

namespace steer {
namespace {

template <typename F>
void find(F &function, const char *name)
{
    function = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Called before any real function is used: a library's constructor may call ours before
// our own constructor has run.
void find_real()
{
    if (found.load(std::memory_order_acquire))
        return;
    find(real.mutex_init, "pthread_mutex_init");
    find(real.mutex_lock, "pthread_mutex_lock");
    find(real.mutex_trylock, "pthread_mutex_trylock");
    find(real.mutex_timedlock, "pthread_mutex_timedlock");
    find(real.mutex_clocklock, "pthread_mutex_clocklock");
    find(real.mutex_unlock, "pthread_mutex_unlock");
    find(real.mutex_destroy, "pthread_mutex_destroy");
    find(real.spin_init, "pthread_spin_init");
    find(real.spin_lock, "pthread_spin_lock");
    find(real.spin_trylock, "pthread_spin_trylock");
    find(real.spin_unlock, "pthread_spin_unlock");
    find(real.spin_destroy, "pthread_spin_destroy");
    find(real.rwlock_init, "pthread_rwlock_init");
    find(real.rwlock_rdlock, "pthread_rwlock_rdlock");
    find(real.rwlock_tryrdlock, "pthread_rwlock_tryrdlock");
    find(real.rwlock_timedrdlock, "pthread_rwlock_timedrdlock");
    find(real.rwlock_clockrdlock, "pthread_rwlock_clockrdlock");
    find(real.rwlock_wrlock, "pthread_rwlock_wrlock");
    find(real.rwlock_timedwrlock, "pthread_rwlock_timedwrlock");
    find(real.rwlock_clockwrlock, "pthread_rwlock_clockwrlock");
    find(real.rwlock_trywrlock, "pthread_rwlock_trywrlock");
    find(real.rwlock_unlock, "pthread_rwlock_unlock");
    find(real.rwlock_destroy, "pthread_rwlock_destroy");
    find(real.cond_init, "pthread_cond_init");
    find(real.cond_wait, "pthread_cond_wait");
    find(real.cond_timedwait, "pthread_cond_timedwait");
    find(real.cond_clockwait, "pthread_cond_clockwait");
    find(real.cond_signal, "pthread_cond_signal");
    find(real.cond_broadcast, "pthread_cond_broadcast");
    find(real.cond_destroy, "pthread_cond_destroy");
    find(real.sem_init, "sem_init");
    find(real.sem_wait, "sem_wait");
    find(real.sem_timedwait, "sem_timedwait");
    find(real.sem_clockwait, "sem_clockwait");
    find(real.sem_trywait, "sem_trywait");
    find(real.sem_post, "sem_post");
    find(real.sem_destroy, "sem_destroy");
    find(real.sem_getvalue, "sem_getvalue");
    find(real.barrier_init, "pthread_barrier_init");
    find(real.barrier_wait, "pthread_barrier_wait");
    find(real.barrier_destroy, "pthread_barrier_destroy");
    find(real.once, "pthread_once");
    find(real.guard_acquire, "__cxa_guard_acquire");
    find(real.guard_release, "__cxa_guard_release");
    find(real.guard_abort, "__cxa_guard_abort");
    find(real.syscall, "syscall");
    find(real.create, "pthread_create");
    find(real.join, "pthread_join");
    find(real.detach, "pthread_detach");
    find(real.cancel, "pthread_cancel");
    find(real.testcancel, "pthread_testcancel");
    find(real.thread_exit, "pthread_exit");
    find(real.fork, "fork");
    find(real.execve, "execve");
    find(real.execvpe, "execvpe");
    find(real.system, "system");
    find(real.popen, "popen");
    find(real.pclose, "pclose");
    find(real.posix_spawn, "posix_spawn");
    find(real.posix_spawnp, "posix_spawnp");
    find(real.waitpid, "waitpid");
    find(real.exit, "exit");
    find(real.exit_now, "_exit");
    find(real.exit_now_too, "_Exit");
    find(real.quick_exit, "quick_exit");
    find(real.cxa_atexit, "__cxa_atexit");
    find(real.cxa_at_quick_exit, "__cxa_at_quick_exit");
    find(real.kill, "kill");
    find(real.sigaction, "sigaction");
    find(real.thread_mask, "pthread_sigmask");
    find(real.pthread_kill, "pthread_kill");
    find(real.sigqueue, "sigqueue");
    find(real.sigsuspend, "sigsuspend");
    find(real.pause, "pause");
    find(real.sigtimedwait, "sigtimedwait");
    find(real.timer_create, "timer_create");
    find(real.timer_settime, "timer_settime");
    find(real.timer_gettime, "timer_gettime");
    find(real.timer_getoverrun, "timer_getoverrun");
    find(real.timer_delete, "timer_delete");
    find(real.alarm, "alarm");
    find(real.setitimer, "setitimer");
    find(real.sleep, "sleep");
    find(real.usleep, "usleep");
    find(real.nanosleep, "nanosleep");
    find(real.clock_nanosleep, "clock_nanosleep");
    find(real.sched_yield, "sched_yield");
    find(real.poll, "poll");
    find(real.ppoll, "ppoll");
    find(real.select, "select");
    find(real.pselect, "pselect");
    find(real.getrandom, "getrandom");
    find(real.getentropy, "getentropy");
    find(real.tryjoin, "pthread_tryjoin_np");
    find(real.timedjoin, "pthread_timedjoin_np");
    find(real.clockjoin, "pthread_clockjoin_np");
    find(real.vprintf, "vprintf");
    find(real.vprintf_chk, "__vprintf_chk");
    find(real.vfprintf, "vfprintf");
    find(real.vfprintf_chk, "__vfprintf_chk");
    find(real.puts, "puts");
    find(real.putchar, "putchar");
    find(real.fputs, "fputs");
    find(real.fputc, "fputc");
    find(real.putc, "putc");
    find(real.fwrite, "fwrite");
    find(real.fflush, "fflush");
    find(real.perror, "perror");
    find(real.vdprintf, "vdprintf");
    find(real.psignal, "psignal");
    find(real.psiginfo, "psiginfo");
    find(real.write, "write");
    find(real.read, "read");
    find(real.pread, "pread64");
    find(real.preadv, "preadv64");
    find(real.preadv2, "preadv64v2");
    find(real.pwritev, "pwritev64");
    find(real.pwritev2, "pwritev64v2");
    find(real.read_chk, "__read_chk");
    find(real.pread_chk, "__pread64_chk");
    find(real.recv_chk, "__recv_chk");
    find(real.recvfrom_chk, "__recvfrom_chk");
    find(real.recvmsg, "recvmsg");
    find(real.sendmsg, "sendmsg");
    find(real.splice, "splice");
    find(real.vmsplice, "vmsplice");
    find(real.pwrite, "pwrite64");
    find(real.readv, "readv");
    find(real.writev, "writev");
    find(real.close, "close");
    find(real.fwrite_unlocked, "fwrite_unlocked");
    find(real.flockfile, "flockfile");
    find(real.ftrylockfile, "ftrylockfile");
    find(real.funlockfile, "funlockfile");
    find(real.fputs_unlocked, "fputs_unlocked");
    find(real.fputc_unlocked, "fputc_unlocked");
    find(real.putc_unlocked, "putc_unlocked");
    find(real.putchar_unlocked, "putchar_unlocked");
    find(real.fflush_unlocked, "fflush_unlocked");
    find(real.fgets_unlocked, "fgets_unlocked");
    find(real.fread_unlocked, "fread_unlocked");
    find(real.fgetc_unlocked, "fgetc_unlocked");
    find(real.getc_unlocked, "getc_unlocked");
    find(real.getchar_unlocked, "getchar_unlocked");
    find(real.openlog, "openlog");
    find(real.vsyslog, "vsyslog");
    find(real.vsyslog_chk, "__vsyslog_chk");
    find(real.closelog, "closelog");
    find(real.getpwnam, "getpwnam");
    find(real.getpwuid, "getpwuid");
    find(real.getpwnam_r, "getpwnam_r");
    find(real.getpwuid_r, "getpwuid_r");
    find(real.getgrnam, "getgrnam");
    find(real.getgrgid, "getgrgid");
    find(real.getgrnam_r, "getgrnam_r");
    find(real.getgrgid_r, "getgrgid_r");
    find(real.gethostbyname, "gethostbyname");
    find(real.gethostbyaddr, "gethostbyaddr");
    find(real.getaddrinfo, "getaddrinfo");
    find(real.getnameinfo, "getnameinfo");
    find(real.getservbyname, "getservbyname");
    find(real.getservbyport, "getservbyport");
    find(real.getlogin, "getlogin");
    find(real.getprotobyname, "getprotobyname");
    find(real.getprotobynumber, "getprotobynumber");
    find(real.getspnam, "getspnam");
    find(real.getgrouplist, "getgrouplist");
    find(real.initgroups, "initgroups");
    find(real.getpwent, "getpwent");
    find(real.getgrent, "getgrent");
    find(real.getnetbyname, "getnetbyname");
    find(real.getifaddrs, "getifaddrs");
    find(real.getusershell, "getusershell");
    find(real.gethostid, "gethostid");
    find(real.ttyname, "ttyname");
    find(real.ttyname_r, "ttyname_r");
    find(real.if_nametoindex, "if_nametoindex");
    find(real.if_indextoname, "if_indextoname");
    find(real.if_nameindex, "if_nameindex");
    find(real.get_nprocs, "get_nprocs");
    find(real.get_nprocs_conf, "get_nprocs_conf");
    find(real.sysconf, "sysconf");
    find(real.dlopen, "dlopen");
    find(real.glob, "glob");
    find(real.nftw, "nftw");
    find(real.ftw, "ftw");
    find(real.scandir, "scandir");
    find(real.setlocale, "setlocale");
    find(real.newlocale, "newlocale");
    find(real.iconv_open, "iconv_open");
    find(real.setmntent, "setmntent");
    find(real.localtime, "localtime");
    find(real.localtime_r, "localtime_r");
    find(real.gmtime, "gmtime");
    find(real.gmtime_r, "gmtime_r");
    find(real.mktime, "mktime");
    find(real.ctime, "ctime");
    find(real.ctime_r, "ctime_r");
    find(real.strftime, "strftime");
    find(real.tzset, "tzset");
    find(real.sem_open, "sem_open");
    find(real.setname_np, "pthread_setname_np");
    find(real.getname_np, "pthread_getname_np");
    find(real.getattr_np, "pthread_getattr_np");
    find(real.backtrace, "backtrace");
    find(real.getutent, "getutent");
    find(real.getutxent, "getutxent");
    find(real.setutent, "setutent");
    find(real.setutxent, "setutxent");
    find(real.endutent, "endutent");
    find(real.endutxent, "endutxent");
    find(real.pututline, "pututline");
    find(real.pututxline, "pututxline");
    find(real.getlogin_r, "getlogin_r");
    find(real.fts_open, "fts_open");
    find(real.fts_read, "fts_read");
    find(real.fts_children, "fts_children");
    find(real.fts_close, "fts_close");
    find(real.wordexp, "wordexp");
    find(real.lckpwdf, "lckpwdf");
    find(real.ulckpwdf, "ulckpwdf");
    find(real.setfsent, "setfsent");
    find(real.getfsent, "getfsent");
    find(real.getfsspec, "getfsspec");
    find(real.getfsfile, "getfsfile");
    find(real.openpty, "openpty");
    find(real.forkpty, "forkpty");
    find(real.daemon, "daemon");
    find(real.getpass, "getpass");
    find(real.getrpcbyname, "getrpcbyname");
    find(real.getrpcbynumber, "getrpcbynumber");
    find(real.innetgr, "innetgr");
    find(real.ttyslot, "ttyslot");
    find(real.mq_open, "mq_open");
    find(real.mq_close, "mq_close");
    find(real.mq_unlink, "mq_unlink");
    find(real.sem_unlink, "sem_unlink");
    find(real.mq_send, "mq_send");
    find(real.mq_timedsend, "mq_timedsend");
    find(real.mq_receive, "mq_receive");
    find(real.mq_timedreceive, "mq_timedreceive");
    find(real.posix_openpt, "posix_openpt");
    find(real.getpt, "getpt");
    find(real.dup, "dup");
    find(real.fcntl, "fcntl");
    find(real.socket, "socket");
    find(real.eventfd, "eventfd");
    find(real.epoll_create, "epoll_create");
    find(real.epoll_create1, "epoll_create1");
    find(real.memfd_create, "memfd_create");
    find(real.timerfd_create, "timerfd_create");
    find(real.inotify_init, "inotify_init");
    find(real.inotify_init1, "inotify_init1");
    find(real.close_range, "close_range");
    find(real.closefrom, "closefrom");
    find(real.fsync, "fsync");
    find(real.recv, "recv");
    find(real.recvfrom, "recvfrom");
    find(real.send, "send");
    find(real.sendto, "sendto");
    find(real.shutdown, "shutdown");
    find(real.ioctl, "ioctl");
    find(real.isatty, "isatty");
    find(real.tcgetattr, "tcgetattr");
    find(real.fdopen, "fdopen");
    find(real.signalfd, "signalfd");
    find(real.shm_open, "shm_open");
    find(real.fdatasync, "fdatasync");
    find(real.socketpair, "socketpair");
    find(real.accept, "accept");
    find(real.accept4, "accept4");
    find(real.dup2, "dup2");
    find(real.dup3, "dup3");
    find(real.pipe2, "pipe2");
    find(real.fclose, "fclose");
    find(real.fgets, "fgets");
    find(real.getdelim, "getdelim");
    find(real.fgetc, "fgetc");
    find(real.getc, "getc");
    find(real.getchar, "getchar");
    find(real.uflow, "__uflow");
    find(real.fread, "fread");
    find(real.vscanf, "__isoc99_vscanf");
    find(real.vfscanf, "__isoc99_vfscanf");
    find(real.time, "time");
    find(real.clock_gettime, "clock_gettime");
    find(real.gettimeofday, "gettimeofday");
    find(real.openat, "openat");
    find(real.creat, "creat");
    find(real.creat64, "creat64");
    find(real.fopen, "fopen");
    find(real.fopen64, "fopen64");
    find(real.freopen, "freopen");
    find(real.freopen64, "freopen64");
    find(real.opendir, "opendir");
    find(real.closedir, "closedir");
    find(real.mkstemp, "mkstemp");
    find(real.mkostemp, "mkostemp");
    find(real.tmpfile, "tmpfile");
    find(real.access, "access");
    find(real.faccessat, "faccessat");
    find(real.stat, "stat");
    find(real.stat64, "stat64");
    find(real.lstat, "lstat");
    find(real.lstat64, "lstat64");
    find(real.fstatat, "fstatat");
    find(real.fstatat64, "fstatat64");
    find(real.statx, "statx");
    find(real.readlink, "readlink");
    find(real.unlink, "unlink");
    find(real.unlinkat, "unlinkat");
    find(real.remove, "remove");
    find(real.rmdir, "rmdir");
    find(real.rename, "rename");
    find(real.renameat, "renameat");
    find(real.renameat2, "renameat2");
    find(real.mkdir, "mkdir");
    find(real.mkdirat, "mkdirat");
    find(real.mkfifo, "mkfifo");
    find(real.link, "link");
    find(real.linkat, "linkat");
    find(real.symlink, "symlink");
    find(real.symlinkat, "symlinkat");
    find(real.truncate, "truncate");
    find(real.truncate64, "truncate64");
    find(real.chmod, "chmod");
    find(real.lseek, "lseek");
    find(real.lseek64, "lseek64");
    find(real.fstat, "fstat");
    find(real.fstat64, "fstat64");
    find(real.ftruncate, "ftruncate");
    find(real.ftruncate64, "ftruncate64");
    find(real.mmap, "mmap");
    find(real.mmap64, "mmap64");
    find(real.fallocate, "fallocate");
    find(real.posix_fallocate, "posix_fallocate");
    find(real.sendfile, "sendfile");
    find(real.copy_file_range, "copy_file_range");
    real.tsan_release = __tsan_release;
    real.tsan_acquire = __tsan_acquire;
    found.store(true, std::memory_order_release);
}

// Tells interleave that something happened: a thread asked, ended or crashed. It is woken
// only if it sleeps: most of the time it is looking at the channels already.
void ring()
{
    region->bell.fetch_add(1);
    if (region->sleeping.load() != 0)
        r().syscall(SYS_futex, &region->bell, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// Waits until interleave answers. If interleave itself is gone, nobody ever will: then the
// program ends, instead of waiting for ever.
void wait_for_answer(channel_t &c)
{
    // The answer often comes within microseconds: look for it a while before sleeping.
    for (int k = 0; k < kSpins && c.turn.load(std::memory_order_acquire) != kGo && c.nap.load(std::memory_order_relaxed) == 0;
         k++)
        __builtin_ia32_pause();
    const timespec second{1, 0};
    // Said before the last look: interleave, which writes Go before it looks at `parked`,
    // then either sees it and wakes us, or wrote Go before that look.
    c.parked.store(1);
    while (c.turn.load() != kGo)
        if (r().syscall(SYS_futex, &c.turn, FUTEX_WAIT, kAsking, &second, nullptr, 0) == -1 && errno == ETIMEDOUT &&
            r().syscall(SYS_kill, driver, 0) == -1 && errno == ESRCH)
            r().exit_now(111);
    c.parked.store(0, std::memory_order_relaxed);
    c.nap.store(0, std::memory_order_relaxed);
    c.turn.store(kRunning, std::memory_order_relaxed);
}

void register_me(int channel)
{
    me = channel;
    channel_t &c = region->channels[channel];
    c.pid = getpid();
    c.tid = gettid();
    c.handle = static_cast<uint64_t>(pthread_self());  // a first thread's, which no creator writes
}

// Where the thread's stack lies, in a program whose accesses are turns: a replay names its
// locals after it; and once the thread has ended, the system may give it to a new thread,
// whose accesses to it follow the old one's without a synchronisation of the program's.
// (Before the thread is steered: the look may allocate, and free.)
void note_stack(channel_t &c, bool first_thread)
{
    c.stack_low = c.stack_high = c.stack_top = 0;
    pthread_attr_t attr;
    if (__interleave_access_library == nullptr || r().getattr_np(pthread_self(), &attr) != 0)
        return;
    void *low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0) {
        c.stack_low = reinterpret_cast<uint64_t>(low);
        c.stack_high = c.stack_low + size;
        // A thread's own frames lie below where it began here, its thread-locals above.
        // The first thread comes here from the library's set-up, before the program's
        // start, whose frames may lie above: all of its stack is its locals.
        c.stack_top = first_thread ? c.stack_high : reinterpret_cast<uint64_t>(__builtin_frame_address(0));
    }
    pthread_attr_destroy(&attr);
}

// Gives the thread a stack of its own for a crash's handler, so that a thread whose stack
// overflowed can still say that it crashed.
void set_alt_stack()
{
    void *stack = r().mmap(nullptr, kAltStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED)
        return;
    const stack_t alt{stack, 0, kAltStack};
    if (sigaltstack(&alt, nullptr) == 0)
        alt_stack = stack;
    else
        munmap(stack, kAltStack);
}

void drop_alt_stack()
{
    if (alt_stack == nullptr)
        return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(alt_stack, kAltStack);
    alt_stack = nullptr;
}

// What a thread's end tells of its last turn: the value its last access found, and
// whether it flushed a standard stream.
uint32_t end_flags(channel_t &c)
{
    const uint32_t flags =
        (take_seen(c.seen) ? kSeen : 0u) | (flushed ? kStreamsFlushed : 0u) | (unlocked ? kUnlockedStream : 0u);
    flushed = unlocked = false;
    return flags;
}

// The thread is done with the program's code; it takes no more turns.
void end_me()
{
    if (region == nullptr || me < 0)
        return;
    channel_t &c = region->channels[me];
    c.flags = end_flags(c);
    c.turn.store(kEnded, std::memory_order_release);
    ring();
    me = -1;
}

// A crash says which thread it struck before the process dies of it.
void on_fatal(int sig)
{
    region->fatal_channel.store(me);
    region->fatal_signal.store(sig);
    ring();
    raise(sig);  // the handler was reset: the default action ends the process
}

// An exit handler with the program's own handle (a library, a sanitizer's runtime
// included, gives its own with its own handle).
void given_by_the_program(void *handle)
{
    const auto at = reinterpret_cast<uintptr_t>(handle);
    if (at >= program_low && at < program_high)
        exit_handlers_given.store(true);
}

int note_base(dl_phdr_info *info, size_t, void *)
{
    region->base.store(info->dlpi_addr);
    program_low = program_high = info->dlpi_addr;
    for (int k = 0; k < info->dlpi_phnum; k++)
        if (info->dlpi_phdr[k].p_type == PT_LOAD)
            program_high = std::max<uintptr_t>(program_high, info->dlpi_addr + info->dlpi_phdr[k].p_vaddr + info->dlpi_phdr[k].p_memsz);
    return 1;  // the first object is the program itself
}

// A fork gives the child the channel interleave chose for it. Our handlers were set up
// before any of the program's: our prepare handler runs last, just before the real fork,
// and our child and parent handlers first, so that the program's own handlers run steered
// in the right process.
void before_fork()
{
    if (forking >= 0)
        in_fork = true;
}

void in_parent()
{
    if (forking < 0)
        return;
    uint32_t free = kFree;
    region->channels[forking].turn.compare_exchange_strong(free, kRunning);  // the child is coming
    in_fork = false;
}

// Registered before any of the program's exit handlers, so run after all of them. Where
// the program's handlers (or its destructors) took turns, the other threads went on beside
// them, as they do natively until the process ends: its end is then a turn of its own,
// which may come after any of theirs. So it is where standard output still holds text:
// the exit writes it out, and leaves the stream unbuffered at a turn, as the C library's
// cleanup does after the last handler. Another thread may print between the two (its
// text is kept until the second) or after them (it goes out at once), and its _exit may
// come before the turn or after it. (A print just before the write, or an _exit, ends
// the same ways as one just after it.)
void after_the_programs_exit_handlers()
{
    const bool unwritten = stdout->_IO_write_ptr > stdout->_IO_write_base;
    if (steered() && (unwritten || asked > asked_at_exit)) {
        write_out_at_exit();
        ask({.call = call_t::exit, .value = exit_status, .flags = kHandlersRun});
    }
    exiting.store(true);
}

// The same after the handlers given to at_quick_exit, but quick_exit writes nothing out:
// what stdio keeps is lost.
void after_the_programs_quick_exit_handlers()
{
    if (steered() && asked > asked_at_exit)
        ask({.call = call_t::exit, .value = exit_status, .flags = kHandlersRun});
    exiting.store(true);
}

// The exit turn of a process that ends by exit(), quick_exit() or by returning from main:
// the program's exit handlers (or its quick-exit handlers) run after it.
void exit_turn(int status)
{
    if (!steered())
        return;
    ask({.call = call_t::exit, .value = status});
    exit_status = status;
    asked_at_exit = asked;
}

void in_child()
{
    if (forking < 0)
        return;
    const int channel = forking;
    forking = -1;
    in_fork = false;
    forget_held_reads();
    make_room_aside();
    register_me(channel);
    wrapped = false;
    random_state ^= static_cast<uint64_t>(channel) * 0xBF58476D1CE4E5B9ULL;
    ask({call_t::start});
}

// Whether a descriptor is the region interleave made: a program that this one started
// with exec has the same environment, but not the descriptor, whose number may now be one
// of its own files.
// (Without allocating: the heap of a program started afresh must be laid out as that of one
// forked by the server, which does not look.)
bool is_region(int fd)
{
    char path[64], link[64] = {}, expected[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    std::snprintf(expected, sizeof expected, "/memfd:%s", kRegionName);
    const ssize_t n = readlink(path, link, sizeof link - 1);
    return n > 0 && std::strncmp(link, expected, std::strlen(expected)) == 0;
}

bool is_socket(int fd)
{
    struct stat st {};
    return r().fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

__attribute__((constructor)) void begin_steering()
{
    const char *region_fd = std::getenv(kRegionVariable);
    const char *server_fd = std::getenv(kServerVariable);
    const char *pid = std::getenv(kPidVariable);
    if (pid == nullptr || std::atoi(pid) != getpid())
        return;
    const int server = server_fd == nullptr ? -1 : std::atoi(server_fd);
    const bool serving = server != -1 && is_socket(server);
    if (!serving && (region_fd == nullptr || !is_region(std::atoi(region_fd))))
        return;
    // Nothing of interleave's is left for the program, or for one that it starts, to find.
    unsetenv(kRegionVariable);
    unsetenv(kServerVariable);
    unsetenv(kPidVariable);
    if (std::getenv(kBoundVariable) != nullptr) {
        unsetenv(kBoundVariable);
        unsetenv("LD_BIND_NOW");
    }
    find_real();
    // What each signal does, as the program starts: the same in every run a server forks.
    start_signals();
    driver = getppid();
    // A fork server returns here in each run's process, as if interleave had started it.
    const int fd = serving ? serve_runs(server) : std::atoi(region_fd);
    run_parent = getppid();
    void *shared = r().mmap(nullptr, sizeof(region_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (shared == MAP_FAILED)
        return;
    region = static_cast<region_t *>(shared);
    dl_iterate_phdr(note_base, nullptr);
    set_alt_stack();
    struct sigaction fatal {};
    fatal.sa_handler = on_fatal;
    fatal.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        r().sigaction(sig, &fatal, nullptr);
    pthread_atfork(before_fork, in_parent, in_child);
    std::atexit(after_the_programs_exit_handlers);
    at_quick_exit(after_the_programs_quick_exit_handlers);
    // The program's standard output is a pipe to interleave, which it buffers as at a
    // terminal. What stays in the buffer stays there as it would: a fork copies it, an _exit
    // or a crash loses it, and the call that writes it out (a newline, a flush, the end) is
    // the turn at which it reaches the pipe.
    start_output();
    make_room_aside();
    note_stack(region->channels[0], true);
    register_me(0);
    hold_signals(nullptr);
    if (inline_unlocked_streams())
        used_unlocked_stream();
    if (const std::string_view call = unknown_library_call(); !call.empty() && region->unknown_call[0] == '\0')
        call.copy(region->unknown_call, std::min(call.size(), sizeof region->unknown_call - 1));
    ask({.call = call_t::start, .flags = __interleave_access_library != nullptr ? kAccessesWatched : 0u});
}

// A thread on its way out: where interleave does not see threads end as the system ends
// them, it says now that it has ended; else it marks its routine done, and its end is
// seen when the system has made it.
void thread_leaves()
{
    if (region->ends_seen.load() == 0) {
        end_me();
    } else {
        channel_t &c = region->channels[me];
        c.flags = end_flags(c);
        c.done = 1;
    }
}

// The thread's routine has returned (or it was cancelled). Where interleave sees the
// thread's end as the system ends it, the thread goes on being steered through its exit,
// whose destructors may lock, signal or post; else it says now that it has ended.
void routine_done()
{
    // A signal sent to the process, or to this thread, may still arrive here on its way out,
    // as the system may deliver it to any thread that lets it through until the thread is
    // gone: its end is then a turn, at which the signal's arrival is a choice, as is a
    // signal's sending before it or after it.
    // Where the program gave exit handlers (atexit, a static object's destructor), the last
    // thread to end runs them, as itself: which one that is, is a choice of the schedule.
    if (signal_may_arrive() || handler_may_run() || exit_handlers_given.load())
        ask({call_t::thread_exit});
    drop_alt_stack();
    thread_leaves();
}

struct start_t {
    void *(*routine)(void *);
    void *arg;
    int channel;
    sigset_t mask;  // the one its creator's program meant for it
};

// A new thread starts here: it takes its channel and waits for its first turn; when it
// ends, by returning, by pthread_exit or by cancellation, it says so.
void *begin(void *p)
{
    const start_t start = *static_cast<start_t *>(p);
    delete static_cast<start_t *>(p);
    note_stack(region->channels[start.channel], false);
    register_me(start.channel);
    hold_signals(&start.mask);
    wrapped = true;
    set_alt_stack();
    ask({call_t::start});
    void *result = nullptr;
    try {
        result = start.routine(start.arg);
    } catch (abi::__forced_unwind &) {
        routine_done();
        throw;
    }
    routine_done();
    return result;
}

uint64_t handle_of(pthread_t thread)
{
    return static_cast<uint64_t>(thread);
}

// A program started by exec is not steered: its process goes on without the scheduler.
// An exec that fails comes back, and the thread goes on as before.
void leave_for_exec()
{
    starting_another_program();
    if (steered())
        ask({call_t::exec});
    use_program_mask();  // the other program starts with the mask its thread meant
}

std::vector<char *> arguments(const char *first, va_list rest)
{
    std::vector<char *> argv{const_cast<char *>(first)};
    while (argv.back() != nullptr)
        argv.push_back(va_arg(rest, char *));
    return argv;
}

}  // namespace

const real_t &r()
{
    find_real();
    return real;
}

void wait_for_a_program(int fd)
{
    channel_t &c = region->channels[me];
    c.outside = 1;
    pollfd p{fd, POLLIN, 0};
    while (r().poll(&p, 1, -1) == -1 && errno == EINTR)
        ;
    c.outside = 0;
}

bool steered_process()
{
    return region != nullptr;
}

void flushed_streams()
{
    flushed = true;
}

}  // namespace steer

extern "C" void __interleave_access(int kind, const void *address, std::size_t size, int order, const void *code);

namespace steer {

void library_writes(const void *at, std::size_t size, const void *code)
{
    if (__interleave_access_library != nullptr && at != nullptr && size > 0)
        __interleave_access(access_library::kLibraryWrite, at, size, access_library::kPlain, code);
}

// Only where the program's accesses are turns: a plain build's memory is not watched.
buffer_t::buffer_t(uintptr_t at, int64_t size, const void *code)
{
    if (__interleave_access_library == nullptr || !steered() || size == 0 || !program_code(code))
        return;
    buffer_at = reinterpret_cast<const void *>(at);
    buffer_size = size;
    buffer_code = code;
    told = true;
}

buffer_t::~buffer_t()
{
    if (!told)
        return;
    buffer_at = buffer_code = nullptr;
    buffer_size = 0;
}

void used_unlocked_stream()
{
    unlocked = true;
}

void starting_another_program()
{
    if (region != nullptr)
        region->others_started.store(1);
}

bool others_started()
{
    return region != nullptr && region->others_started.load() != 0;
}

bool stands_for_parent(pid_t pid)
{
    return pid == driver || pid == run_parent;
}


bool steered()
{
    return region != nullptr && me >= 0 && !inside && !in_fork && !exiting.load(std::memory_order_relaxed);
}

namespace {

int64_t ask_once(const request_t &q)
{
    const int saved = errno;
    inside = true;
    // What the library does here is no cancellation point of the program's: a flush's write
    // would be one, and leave stdout's lock held by a thread that unwound.
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    channel_t &c = region->channels[me];
    c.call = q.call;
    c.object = reinterpret_cast<uint64_t>(q.object);
    c.object2 = q.object2;
    c.value = q.value;
    c.extra = q.extra;
    c.deadline = q.deadline;
    c.buffer = reinterpret_cast<uint64_t>(buffer_at);
    c.buffer_size = buffer_size;
    c.buffer_code = reinterpret_cast<uint64_t>(buffer_code);
    const bool told = take_seen(c.seen);
    c.flags = q.flags | (cancel_state == PTHREAD_CANCEL_ENABLE ? kCancelEnabled : 0u) |
              (flushed ? kStreamsFlushed : 0u) | (unlocked ? kUnlockedStream : 0u) |
              (told ? kSeen : 0u);
    tell_signals(c);
    flushed = unlocked = false;
    asked++;
    c.turn.store(kAsking, std::memory_order_release);
    ring();
    wait_for_answer(c);
    pthread_setcancelstate(cancel_state, nullptr);
    inside = false;
    errno = saved;
    return c.answer;
}

}  // namespace

int64_t ask(const request_t &q)
{
    request_t asking = q;
    for (;;) {
        const int64_t answer = ask_once(asking);
        if (answer > kArrivesBefore)
            return answer;
        // A signal arrives first: its handler runs, its calls turns of their own; then the
        // call is made, or, if the signal came in the middle of a wait that it cuts short,
        // the wait ends.
        const bool during = answer <= kArrivesDuring;
        const int sig = static_cast<int>((during ? kArrivesDuring : kArrivesBefore) - answer);
        const int64_t cut = during ? cut_short(q, sig) : 0;
        if (cut != 0)
            let_go_of_wait();
        arrive(sig);
        if (cut != 0)
            return cut;
        asking.flags |= kResumed;
    }
}

int64_t ask_at_cancellation_point(const request_t &q)
{
    if (!steered())
        return 1;
    request_t at_point = q;
    at_point.flags |= kCancellationPoint;
    const int64_t answer = ask(at_point);
    if (answer == kCancelled)
        r().testcancel();
    return answer;
}

void random_bytes(void *data, std::size_t size)
{
    auto *bytes = static_cast<unsigned char *>(data);
    for (std::size_t k = 0; k < size; k++) {
        // splitmix64, a byte at a time.
        uint64_t z = (random_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        bytes[k] = static_cast<unsigned char>(z ^ (z >> 31));
    }
}

int64_t now_ns()
{
    return region->clock_ns.fetch_add(kReadingNs) + kReadingNs;
}

int64_t deadline_on(clockid_t clock, const timespec *deadline)
{
    if (deadline == nullptr)
        return -1;
    const int64_t ns = static_cast<int64_t>(deadline->tv_sec) * 1000000000 + deadline->tv_nsec;
    return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI
               ? ns
               : ns - kMonotonicStartNs + kEpochNs;
}

int64_t deadline_after(int64_t duration_ns)
{
    return region->clock_ns.load() + std::max<int64_t>(duration_ns, 0);
}

int64_t deadline_after(const timespec *duration)
{
    return duration == nullptr ? -1
                               : deadline_after(static_cast<int64_t>(duration->tv_sec) * 1000000000 + duration->tv_nsec);
}

}  // namespace steer

using namespace steer;

extern "C" {

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg)
{
    const buffer_t told(reinterpret_cast<uintptr_t>(thread), sizeof *thread, __builtin_return_address(0));  // the handle, written
    return create_thread(thread, attr, routine, arg, reinterpret_cast<void *>(routine));
}

}  // extern "C"

namespace steer {

int create_thread(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg,
                  const void *named_after)
{
    if (!steered())
        return r().create(thread, attr, routine, arg);
    int detached = PTHREAD_CREATE_JOINABLE;
    if (attr != nullptr)
        pthread_attr_getdetachstate(attr, &detached);
    const int64_t channel = ask({.call = call_t::create, .extra = reinterpret_cast<int64_t>(named_after),
                                 .flags = detached == PTHREAD_CREATE_DETACHED ? kDetached : 0u});
    if (channel < 0)
        return EAGAIN;
    channel_t &c = region->channels[channel];
    c.routine = reinterpret_cast<uint64_t>(named_after);
    c.pid = getpid();  // now, for a join that comes before the thread begins
    auto *start = new start_t{routine, arg, static_cast<int>(channel), program_mask()};
    const int rc = r().create(thread, attr, begin, start);
    if (rc != 0) {
        delete start;
        c.turn.store(kEnded, std::memory_order_release);
        ring();
    } else {
        c.handle = handle_of(*thread);
    }
    return rc;
}

}  // namespace steer

extern "C" {

int pthread_join(pthread_t thread, void **result)
{
    ask_at_cancellation_point({.call = call_t::join, .object2 = handle_of(thread)});
    return r().join(thread, result);
}

// The joins that do not wait for ever: a try, and a wait with a deadline.
int pthread_tryjoin_np(pthread_t thread, void **result)
{
    if (steered() && ask({.call = call_t::join, .object2 = handle_of(thread), .flags = kTry}) == 0)
        return EBUSY;
    return r().tryjoin(thread, result);
}

int pthread_timedjoin_np(pthread_t thread, void **result, const timespec *deadline)
{
    if (!steered())
        return r().timedjoin(thread, result, deadline);
    if (ask_at_cancellation_point({.call = call_t::join, .object2 = handle_of(thread),
                                   .deadline = deadline_on(CLOCK_REALTIME, deadline)}) == 0)
        return ETIMEDOUT;
    return r().join(thread, result);
}

int pthread_clockjoin_np(pthread_t thread, void **result, clockid_t clock, const timespec *deadline)
{
    if (!steered())
        return r().clockjoin(thread, result, clock, deadline);
    if (ask_at_cancellation_point({.call = call_t::join, .object2 = handle_of(thread),
                                   .deadline = deadline_on(clock, deadline)}) == 0)
        return ETIMEDOUT;
    return r().join(thread, result);
}

int pthread_detach(pthread_t thread)
{
    if (steered())
        ask({.call = call_t::detach, .object2 = handle_of(thread)});
    return r().detach(thread);
}

int pthread_cancel(pthread_t thread)
{
    unwinder_loaded_first("pthread_cancel");
    if (steered())
        ask({.call = call_t::cancel, .object2 = handle_of(thread)});
    return r().cancel(thread);
}

void pthread_testcancel()
{
    ask_at_cancellation_point({call_t::testcancel});
    r().testcancel();
}

void pthread_exit(void *result)
{
    unwinder_loaded_first("pthread_exit");
    if (steered()) {
        ask({call_t::thread_exit});
        // The process's first thread, the others going on: its way out decides whether it
        // is the last thread, which ends the process and runs its exit handlers; where
        // interleave sees its end, no other turn comes before it.
        if (!wrapped)
            thread_leaves();
    }
    r().thread_exit(result);
    __builtin_unreachable();
}

pid_t fork()
{
    if (!steered())
        return r().fork();
    const int64_t channel = ask({call_t::fork});
    if (channel < 0) {
        errno = EAGAIN;
        return -1;
    }
    forking = static_cast<int>(channel);
    const pid_t pid = r().fork();
    if (pid == -1) {
        in_fork = false;
        region->channels[channel].turn.store(kEnded, std::memory_order_release);
        ring();
    }
    forking = -1;
    return pid;
}

// vfork's child borrows its parent's memory until it execs: as a fork, the child is a
// process of its own, which the scheduler can steer.
pid_t vfork()
{
    return fork();
}

int execve(const char *path, char *const argv[], char *const envp[])
{
    leave_for_exec();
    const int rc = r().execve(path, argv, envp);
    hold_again();
    return rc;
}

int execv(const char *path, char *const argv[])
{
    leave_for_exec();
    const int rc = r().execve(path, argv, environ);
    hold_again();
    return rc;
}

int execvp(const char *file, char *const argv[])
{
    leave_for_exec();
    const int rc = r().execvpe(file, argv, environ);
    hold_again();
    return rc;
}

int execvpe(const char *file, char *const argv[], char *const envp[])
{
    leave_for_exec();
    const int rc = r().execvpe(file, argv, envp);
    hold_again();
    return rc;
}

// Programs run and waited for: a turn to start them; interleave knows the thread is in
// them (and for how long it may be), and which process posix_spawn made.
int system(const char *command)
{
    starting_another_program();
    if (!steered())
        return r().system(command);
    ask({call_t::command});
    channel_t &c = region->channels[me];
    c.outside = 1;
    use_program_mask();  // the other program starts with the mask its thread meant
    const int status = r().system(command);
    hold_again();
    c.outside = 0;
    return status;
}

FILE *popen(const char *command, const char *mode)
{
    starting_another_program();
    if (steered())
        ask({.call = call_t::command, .flags = kNumbers});
    use_program_mask();
    FILE *stream = r().popen(command, mode);
    hold_again();
    if (stream != nullptr && mode != nullptr && mode[0] == 'r')
        fed_by_a_program(fileno(stream), true);
    return stream;
}

int pclose(FILE *stream)
{
    if (stream != nullptr)
        fed_by_a_program(fileno(stream), false);
    if (!steered())
        return r().pclose(stream);
    ask({.call = call_t::command, .flags = kNumbers});
    channel_t &c = region->channels[me];
    c.outside = 1;
    const int status = r().pclose(stream);
    c.outside = 0;
    return status;
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attributes, char *const argv[], char *const envp[])
{
    starting_another_program();
    if (steered())
        ask({call_t::command});
    pid_t child = 0;
    use_program_mask();
    const int rc = r().posix_spawn(&child, path, actions, attributes, argv, envp);
    hold_again();
    if (rc == 0 && steered())
        region->channels[me].spawned = child;
    if (pid != nullptr)
        *pid = child;
    return rc;
}

int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                 const posix_spawnattr_t *attributes, char *const argv[], char *const envp[])
{
    starting_another_program();
    if (steered())
        ask({call_t::command});
    pid_t child = 0;
    use_program_mask();
    const int rc = r().posix_spawnp(&child, file, actions, attributes, argv, envp);
    hold_again();
    if (rc == 0 && steered())
        region->channels[me].spawned = child;
    if (pid != nullptr)
        *pid = child;
    return rc;
}

int execl(const char *path, const char *arg, ...)
{
    va_list rest;
    va_start(rest, arg);
    const std::vector<char *> argv = arguments(arg, rest);
    va_end(rest);
    return execv(path, argv.data());
}

int execlp(const char *file, const char *arg, ...)
{
    va_list rest;
    va_start(rest, arg);
    const std::vector<char *> argv = arguments(arg, rest);
    va_end(rest);
    return execvp(file, argv.data());
}

int execle(const char *path, const char *arg, ...)
{
    va_list rest;
    va_start(rest, arg);
    const std::vector<char *> argv = arguments(arg, rest);
    char *const *envp = va_arg(rest, char *const *);
    va_end(rest);
    return execve(path, argv.data(), envp);
}

pid_t waitpid(pid_t pid, int *status, int options)
{
    if (ask_at_cancellation_point({.call = call_t::wait, .value = pid, .flags = (options & WNOHANG) != 0 ? kNoHang : 0u}) ==
        kInterrupted) {
        errno = EINTR;  // a signal's handler ran while it waited
        return -1;
    }
    return r().waitpid(pid, status, options);
}

pid_t wait(int *status)
{
    return waitpid(-1, status, 0);
}

// A program's main returns into the C library, which ends the process with exit(): a call
// that no program makes through its own code, so it is not seen there. The program's
// start comes through here instead, and its main returns to a turn of its own: the end of
// the process, which every other thread's next turn depends on.
using main_t = int (*)(int, char **, char **);
using start_main_t = int (*)(main_t, int, char **, void (*)(), void (*)(), void (*)(), void *);
main_t program_main;

int main_then_exit(int argc, char **argv, char **envp)
{
    const int status = program_main(argc, argv, envp);
    exit_turn(status);
    r().exit(status);
    __builtin_unreachable();
}

int __libc_start_main(main_t main, int argc, char **argv, void (*init)(), void (*fini)(), void (*rtld_fini)(),
                      void *stack_end)
{
    const auto real_start = reinterpret_cast<start_main_t>(dlsym(RTLD_NEXT, "__libc_start_main"));
    program_main = main;
    return real_start(steered_process() ? main_then_exit : main, argc, argv, init, fini, rtld_fini, stack_end);
}

void exit(int status)
{
    exit_turn(status);
    r().exit(status);
    __builtin_unreachable();
}

// An exit handler given by the program itself (atexit and the destructors of static objects
// come here, with the program's own handle), not by a library.
int __cxa_atexit(void (*handler)(void *), void *arg, void *handle)
{
    given_by_the_program(handle);
    return r().cxa_atexit(handler, arg, handle);
}

int __cxa_at_quick_exit(void (*handler)(void *), void *handle)
{
    given_by_the_program(handle);
    return r().cxa_at_quick_exit(handler, handle);
}

// quick_exit runs the handlers given to at_quick_exit, as exit runs its own, and then
// ends the process as _exit does: what stdio still buffers is lost.
void quick_exit(int status)
{
    exit_turn(status);
    r().quick_exit(status);
    __builtin_unreachable();
}

void _exit(int status)
{
    if (steered())
        ask({.call = call_t::exit, .value = status});
    r().exit_now(status);
    __builtin_unreachable();
}

void _Exit(int status)
{
    if (steered())
        ask({.call = call_t::exit, .value = status});
    r().exit_now_too(status);
    __builtin_unreachable();
}

}  // extern "C"
