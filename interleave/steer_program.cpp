// The steering library: what the program brings as it was linked, read off its dynamic
// section. Which libraries it needs, and they need in turn: a C program has no unwinder's
// library from its start, and the C library loads it at its first pthread_exit, taking a
// descriptor for a moment, where the steering library (written in C++) has it loaded
// already. And which of the C library's calls it makes from code that the compiler wrote
// inline: an optimised build writes putc_unlocked and getc_unlocked out as code on the
// stream's buffer, which calls __overflow or __uflow only when the buffer is full or empty.
// And whether it calls, itself, a function of the C library's that the steering library does
// not stand in front of and that is not known to take no descriptor: a search of it is no
// proof.

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string_view>
#include <utility>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include "steer.h"

namespace steer {

namespace {

// The program, or a library, as loaded: its names, and where its dynamic section's tables
// lie. (Fixed tables, not the heap: a free of the program's allocator would be a turn.)
struct loaded_t {
    std::string_view path;  // empty for the program itself
    std::string_view soname;
    const ElfW(Dyn) *dynamic = nullptr;
    ElfW(Addr) strings = 0, symbols = 0, plt = 0, rela = 0;
    ElfW(Xword) plt_size = 0, rela_size = 0;
};

constexpr std::size_t kObjects = 256;

struct objects_t {
    std::array<loaded_t, kObjects> at;
    std::size_t count = 0;
};

// The loader has made a table's address absolute where it could write the dynamic section
// (most systems); where it could not, the address is still relative to the object's base.
ElfW(Addr) absolute(ElfW(Addr) address, ElfW(Addr) base)
{
    return address < base ? base + address : address;
}

int note_object(dl_phdr_info *info, size_t, void *out)
{
    auto &objects = *static_cast<objects_t *>(out);
    if (objects.count == kObjects)
        return 1;
    loaded_t &object = objects.at[objects.count++];
    object = loaded_t{};
    object.path = info->dlpi_name ? info->dlpi_name : "";
    for (int i = 0; i < info->dlpi_phnum; i++)
        if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
            object.dynamic = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    // The system's own page of code has a section whose addresses the loader never made
    // absolute; it needs nothing, and nothing of it matters here.
    if (object.dynamic == nullptr || object.path.starts_with("linux-vdso")) {
        object.dynamic = nullptr;
        return 0;
    }
    const ElfW(Addr) base = info->dlpi_addr;
    for (const ElfW(Dyn) *d = object.dynamic; d->d_tag != DT_NULL; d++) {
        switch (d->d_tag) {
        case DT_STRTAB: object.strings = absolute(d->d_un.d_ptr, base); break;
        case DT_SYMTAB: object.symbols = absolute(d->d_un.d_ptr, base); break;
        case DT_JMPREL: object.plt = absolute(d->d_un.d_ptr, base); break;
        case DT_PLTRELSZ: object.plt_size = d->d_un.d_val; break;
        case DT_RELA: object.rela = absolute(d->d_un.d_ptr, base); break;
        case DT_RELASZ: object.rela_size = d->d_un.d_val; break;
        default: break;
        }
    }
    if (object.strings == 0) {
        object.dynamic = nullptr;
        return 0;
    }
    for (const ElfW(Dyn) *d = object.dynamic; d->d_tag != DT_NULL; d++)
        if (d->d_tag == DT_SONAME)
            object.soname = reinterpret_cast<const char *>(object.strings + d->d_un.d_val);
    return 0;
}

// Calls `each` with the name of every library the object needs, until it says to stop.
template <typename F>
bool any_needed(const loaded_t &object, F each)
{
    if (object.dynamic == nullptr)
        return false;
    for (const ElfW(Dyn) *d = object.dynamic; d->d_tag != DT_NULL; d++)
        if (d->d_tag == DT_NEEDED && each(std::string_view(reinterpret_cast<const char *>(object.strings + d->d_un.d_val))))
            return true;
    return false;
}

// The C library's functions that take no descriptor, open no file, wait for nothing, and
// touch no memory of the program's that interleave does not watch (the copies, compares
// and conversions that the access library tells; the allocator; ids; attribute records),
// sorted: a program may call them unsteered. Its data (stdout, environ) are no calls.
constexpr std::array<std::string_view, 261> kTakeNoDescriptor = {
    "__assert_fail", "__assert_perror_fail", "__chk_fail", "__ctype_b_loc", "__ctype_get_mb_cur_max",
    "__ctype_tolower_loc", "__ctype_toupper_loc", "__cxa_finalize", "__cxa_thread_atexit_impl",
    "__errno_location", "__libc_current_sigrtmax", "__libc_current_sigrtmin", "__libc_start_main",
    "__longjmp_chk", "__pthread_register_cancel", "__pthread_unregister_cancel", "__pthread_unwind_next",
    "__register_atfork", "__sigsetjmp", "__stack_chk_fail", "_longjmp", "_setjmp", "abort", "abs",
    "aligned_alloc", "arc4random", "arc4random_uniform", "atof", "atoi", "atol", "atoll", "btowc", "calloc",
    "cfree", "clearenv", "clearerr", "clearerr_unlocked", "clock", "copysign", "div", "drand48", "feof",
    "feof_unlocked", "ferror", "ferror_unlocked", "ffs", "ffsl", "ffsll", "fileno", "fileno_unlocked", "finite",
    "free", "freeaddrinfo", "fwide", "gai_strerror", "get_avphys_pages", "get_phys_pages", "getegid", "getenv",
    "geteuid", "getgid", "getpagesize", "getpgid", "getpgrp", "getpid", "getppid", "getpriority", "getsid",
    "gettid", "getuid", "htonl", "htons", "imaxabs", "imaxdiv", "index", "isalnum", "isalpha", "isascii",
    "isblank", "iscntrl", "isdigit", "isgraph", "isinf", "islower", "isnan", "isprint", "ispunct", "isspace",
    "isupper", "iswalnum", "iswalpha", "iswblank", "iswcntrl", "iswdigit", "iswgraph", "iswlower", "iswprint",
    "iswpunct", "iswspace", "iswupper", "iswxdigit", "isxdigit", "labs", "ldexp", "ldiv", "llabs", "lldiv",
    "longjmp", "lrand48", "madvise", "malloc", "malloc_trim", "malloc_usable_size", "mallopt", "memalign",
    "memcmp", "memcpy", "memmove", "memset", "mlockall", "mprotect", "mrand48", "mremap", "munlockall", "munmap",
    "ntohl", "ntohs", "personality", "posix_madvise", "posix_memalign", "prctl", "pthread_attr_destroy",
    "pthread_attr_getaffinity_np", "pthread_attr_getdetachstate", "pthread_attr_getguardsize",
    "pthread_attr_getinheritsched", "pthread_attr_getschedparam", "pthread_attr_getschedpolicy",
    "pthread_attr_getscope", "pthread_attr_getsigmask_np", "pthread_attr_getstack", "pthread_attr_getstackaddr",
    "pthread_attr_getstacksize", "pthread_attr_init", "pthread_attr_setaffinity_np",
    "pthread_attr_setdetachstate", "pthread_attr_setguardsize", "pthread_attr_setinheritsched",
    "pthread_attr_setschedparam", "pthread_attr_setschedpolicy", "pthread_attr_setscope",
    "pthread_attr_setsigmask_np", "pthread_attr_setstack", "pthread_attr_setstackaddr",
    "pthread_attr_setstacksize", "pthread_barrierattr_destroy", "pthread_barrierattr_getpshared",
    "pthread_barrierattr_init", "pthread_barrierattr_setpshared", "pthread_condattr_destroy",
    "pthread_condattr_getclock", "pthread_condattr_getpshared", "pthread_condattr_init",
    "pthread_condattr_setclock", "pthread_condattr_setpshared", "pthread_equal", "pthread_getaffinity_np",
    "pthread_getconcurrency", "pthread_getcpuclockid", "pthread_getschedparam", "pthread_getspecific",
    "pthread_key_create", "pthread_key_delete", "pthread_mutex_consistent", "pthread_mutexattr_destroy",
    "pthread_mutexattr_getprioceiling", "pthread_mutexattr_getprotocol", "pthread_mutexattr_getpshared",
    "pthread_mutexattr_getrobust", "pthread_mutexattr_gettype", "pthread_mutexattr_init",
    "pthread_mutexattr_setprioceiling", "pthread_mutexattr_setprotocol", "pthread_mutexattr_setpshared",
    "pthread_mutexattr_setrobust", "pthread_mutexattr_settype", "pthread_rwlockattr_destroy",
    "pthread_rwlockattr_getkind_np", "pthread_rwlockattr_getpshared", "pthread_rwlockattr_init",
    "pthread_rwlockattr_setkind_np", "pthread_rwlockattr_setpshared", "pthread_self", "pthread_setaffinity_np",
    "pthread_setcancelstate", "pthread_setcanceltype", "pthread_setconcurrency", "pthread_setschedparam",
    "pthread_setschedprio", "pthread_setspecific", "putenv", "pvalloc", "rand", "random", "realloc",
    "reallocarray", "rindex", "scalbn", "sched_get_priority_max", "sched_get_priority_min", "sched_getcpu",
    "sched_getscheduler", "secure_getenv", "setenv", "setjmp", "setlinebuf", "setpriority", "setvbuf",
    "sigabbrev_np", "sigaddset", "sigdelset", "sigdescr_np", "sigemptyset", "sigfillset", "sigismember",
    "siglongjmp", "snprintf", "sprintf", "srand", "srand48", "srandom", "strcasecmp", "strcat", "strcmp",
    "strcpy", "strerror", "strerror_l", "strerrordesc_np", "strerrorname_np", "strlen", "strncasecmp", "strncmp",
    "strncpy", "strsignal", "strtod", "strtok", "strtol", "strtoll", "strtoul", "strtoull", "toascii", "tolower",
    "toupper", "towlower", "towupper", "umask", "unsetenv", "valloc", "vsnprintf", "vsprintf", "wctob"};
static_assert(std::is_sorted(kTakeNoDescriptor.begin(), kTakeNoDescriptor.end()));

// Whether a relocation of the object's takes a symbol of one of these names from another.
bool takes(const loaded_t &object, std::initializer_list<std::string_view> names)
{
    if (object.dynamic == nullptr || object.symbols == 0)
        return false;
    const auto *symbol = reinterpret_cast<const ElfW(Sym) *>(object.symbols);
    for (const auto &[table, size] : {std::pair{object.plt, object.plt_size}, std::pair{object.rela, object.rela_size}}) {
        if (table == 0)
            continue;
        const auto *relocation = reinterpret_cast<const ElfW(Rela) *>(table);
        for (std::size_t k = 0; k < size / sizeof(ElfW(Rela)); k++)
            if (const std::size_t which = ELF64_R_SYM(relocation[k].r_info); which != 0) {
                const std::string_view name(reinterpret_cast<const char *>(object.strings + symbol[which].st_name));
                if (std::find(names.begin(), names.end(), name) != names.end())
                    return true;
            }
    }
    return false;
}

}  // namespace

bool unwinder_from_start()
{
    objects_t objects;
    dl_iterate_phdr(note_object, &objects);  // the program comes first
    if (objects.count == 0)
        return false;
    // The libraries the program needs, and those they need, found by name among those
    // loaded: marked as reached, and gone through until no more are. interleave's access
    // library is none of the program's own (built with a sanitizer, it needs the unwinder).
    std::array<bool, kObjects> reached{};
    const auto reach = [&](std::string_view name) {
        if (name.starts_with("libgcc_s."))
            return true;
        for (std::size_t k = 1; k < objects.count; k++) {
            const loaded_t &o = objects.at[k];
            if ((o.soname == name || o.path.substr(o.path.rfind('/') + 1) == name) &&
                o.path.find("/interleave-access/") == std::string_view::npos)
                reached[k] = true;
        }
        return false;
    };
    if (any_needed(objects.at[0], reach))
        return true;
    std::array<bool, kObjects> gone_through{};
    for (bool more = true; more;) {
        more = false;
        for (std::size_t k = 1; k < objects.count; k++)
            if (reached[k] && !gone_through[k]) {
                gone_through[k] = more = true;
                if (any_needed(objects.at[k], reach))
                    return true;
            }
    }
    return false;
}

// The C++ library's calls that touch none of the program's memory unwatched, by their
// mangled names' beginnings: the allocator, threads, condition variables (which wait through
// the C library's calls), the clocks, sleeps, and the runtime's own (exceptions, statics'
// guards). Its strings and streams read and write the program's memory in code not built
// to be watched: a program that calls them is no proof.
bool cxx_known(std::string_view name)
{
    constexpr std::array<std::string_view, 14> kKnown = {
        "_Znw", "_Zna", "_Zdl", "_Zda", "_ZNSt6thread", "_ZNSt18condition_variable", "_ZNSt6chrono3_V212steady_clock3now",
        "_ZNSt6chrono3_V212system_clock3now", "_ZSt9terminatev", "_ZNSt11this_thread", "_ZSt15__once_proxy",
        "__gxx_personality_v0", "__cxa_", "_ZNSt9exceptionD"};
    if (std::any_of(kKnown.begin(), kKnown.end(), [&](std::string_view known) { return name.starts_with(known); }))
        return true;
    // std::__throw_bad_alloc and its kin: each throws, and the program ends there or catches it.
    return name.starts_with("_ZSt") && name.find("__throw_") != std::string_view::npos && name.find("__throw_") < 8;
}

std::string_view unknown_library_call()
{
    objects_t objects;
    dl_iterate_phdr(note_object, &objects);
    if (objects.count == 0 || objects.at[0].dynamic == nullptr || objects.at[0].symbols == 0)
        return {};
    const loaded_t &program = objects.at[0];
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&unknown_library_call), &self) == 0)
        return {};
    const auto *symbol = reinterpret_cast<const ElfW(Sym) *>(program.symbols);
    for (const auto &[table, size] : {std::pair{program.plt, program.plt_size}, std::pair{program.rela, program.rela_size}}) {
        if (table == 0)
            continue;
        const auto *relocation = reinterpret_cast<const ElfW(Rela) *>(table);
        for (std::size_t k = 0; k < size / sizeof(ElfW(Rela)); k++) {
            const std::size_t which = ELF64_R_SYM(relocation[k].r_info);
            const ElfW(Sym) &s = symbol[which];
            // A weak reference may stay unresolved (and a failed look-up allocates its
            // message); a variable is no call.
            if (which == 0 || s.st_shndx != SHN_UNDEF || ELF64_ST_BIND(s.st_info) == STB_WEAK ||
                ELF64_ST_TYPE(s.st_info) == STT_OBJECT)
                continue;
            const char *name = reinterpret_cast<const char *>(program.strings + s.st_name);
            if (std::binary_search(kTakeNoDescriptor.begin(), kTakeNoDescriptor.end(), std::string_view(name)))
                continue;
            Dl_info at{};
            void *where = dlsym(RTLD_DEFAULT, name);
            if (where == nullptr || dladdr(where, &at) == 0 || at.dli_fbase == self.dli_fbase || at.dli_fname == nullptr)
                continue;
            const std::string_view library = at.dli_fname;
            if (library.ends_with("/libc.so.6") || (library.ends_with("/libstdc++.so.6") && !cxx_known(name)))
                return name;
        }
    }
    return {};
}

bool inline_unlocked_streams()
{
    objects_t objects;
    dl_iterate_phdr(note_object, &objects);
    return objects.count > 0 && takes(objects.at[0], {"__overflow", "__uflow", "__underflow"});
}

}  // namespace steer
