// The steering library's side of memory accesses as turns. A program built with
// interleave-cc calls, before each load and store of its own code and in place of each
// atomic operation, an entry point of interleave's access library; that library asks here
// for the access's turn. Between two turns only one thread runs, so the access happens
// as the thread's turn, in the order interleave chose.
//
// A replay says what each access found or left ("reads count (0)"): the thread tells it
// with its next turn, when the access has happened. A read's value is taken right after
// the turn, from memory the program is about to read itself; a write's only at the next
// turn, by a read that cannot fault, since the thread may have let go of that memory.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <sys/uio.h>
#include <unistd.h>

#include "access.h"
#include "steer.h"

namespace steer {
namespace {

// The access whose value the thread's next turn tells.
struct seen_t {
    enum { none, value, address } what = none;
    int64_t found = 0;
    const void *at = nullptr;
    std::size_t size = 0;
};
thread_local seen_t seen;

int64_t as_number(const unsigned char *bytes, std::size_t size)
{
    switch (size) {
    case 1: return static_cast<int8_t>(bytes[0]);
    case 2: { int16_t v; std::memcpy(&v, bytes, 2); return v; }
    case 4: { int32_t v; std::memcpy(&v, bytes, 4); return v; }
    default: { int64_t v; std::memcpy(&v, bytes, 8); return v; }
    }
}

bool told_size(std::size_t size)
{
    return size == 1 || size == 2 || size == 4 || size == 8;
}

// Where the C library's code lies. A block that the C library frees for itself (a stream's
// buffer) is no turn: it may hold a lock of its own as it does, which a thread that ran in
// that turn could wait for, where interleave does not see it.
struct span_t {
    uintptr_t base = 0, low = 0, high = 0;
};

int find_span(dl_phdr_info *info, size_t, void *data)
{
    span_t &span = *static_cast<span_t *>(data);
    if (info->dlpi_addr != span.base)
        return 0;
    for (int k = 0; k < info->dlpi_phnum; k++)
        if (info->dlpi_phdr[k].p_type == PT_LOAD) {
            const uintptr_t start = info->dlpi_addr + info->dlpi_phdr[k].p_vaddr;
            span.low = span.low == 0 ? start : std::min(span.low, start);
            span.high = std::max(span.high, start + info->dlpi_phdr[k].p_memsz);
        }
    return 1;
}

// Found at the first look, by a steered thread (no guarded static: the library stands in
// front of the guards of statics, and would take a turn for its own).
span_t c_library;
std::atomic<bool> c_library_found;

bool c_library_code(const void *code)
{
    if (!c_library_found.load(std::memory_order_acquire)) {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void *>(&getpid), &info) != 0)
            c_library.base = reinterpret_cast<uintptr_t>(info.dli_fbase);
        dl_iterate_phdr(find_span, &c_library);
        c_library_found.store(true, std::memory_order_release);
    }
    const auto at = reinterpret_cast<uintptr_t>(code);
    return at >= c_library.low && at < c_library.high;
}

// The program's own code, the first object loaded: a C library function called from
// elsewhere (the steering library, the C++ library) works on memory of its own.
span_t program;
std::atomic<bool> program_found;

int find_program(dl_phdr_info *info, size_t size, void *data)
{
    static_cast<span_t *>(data)->base = info->dlpi_addr;
    return find_span(info, size, data);
}

// Which of the C library's own states (as the access library names them) an access of a C
// library function is to: 1 to 3, or 0 for the program's memory.
uint64_t state_of(const void *address)
{
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_sname == nullptr || info.dli_saddr != address)
        return 0;
    const std::string_view name = info.dli_sname;
    constexpr std::string_view kStates[] = {"interleave_environment", "interleave_tokens", "interleave_random_state"};
    for (std::size_t k = 0; k < std::size(kStates); k++)
        if (name == kStates[k])
            return k + 1;
    return 0;
}

}  // namespace

bool program_code(const void *code)
{
    if (!program_found.load(std::memory_order_acquire)) {
        dl_iterate_phdr(find_program, &program);
        program_found.store(true, std::memory_order_release);
    }
    const auto at = reinterpret_cast<uintptr_t>(code);
    return at >= program.low && at < program.high;
}


bool take_seen(int64_t &value)
{
    const seen_t s = seen;
    seen.what = seen_t::none;
    if (s.what == seen_t::value) {
        value = s.found;
        return true;
    }
    if (s.what != seen_t::address)
        return false;
    unsigned char bytes[8] = {};
    iovec to{bytes, s.size}, from{const_cast<void *>(s.at), s.size};
    if (process_vm_readv(getpid(), &to, 1, &from, 1, 0) != static_cast<ssize_t>(s.size))
        return false;
    value = as_number(bytes, s.size);
    return true;
}

}  // namespace steer

// The access library's way in (access.h says what it tells). Returns once the access may
// happen.
extern "C" __attribute__((visibility("default"))) void __interleave_access(int kind, const void *address,
                                                                            std::size_t size, int order,
                                                                            const void *code)
{
    using namespace steer;
    const bool freed = kind == access_library::kFree;
    const bool library = kind == access_library::kLibraryRead || kind == access_library::kLibraryWrite;
    if (!steered() || (freed && c_library_code(code)) || (library && (size == 0 || !program_code(code))))
        return;
    // By kind: a block freed is written as a whole.
    constexpr call_t kCallOf[] = {call_t::read, call_t::write, call_t::update, call_t::write, call_t::fence,
                                  call_t::read, call_t::write};
    const call_t call = kCallOf[kind < 0 || kind > access_library::kLibraryWrite ? 0 : kind];
    ask({call, address, library ? state_of(address) : 0, static_cast<int64_t>(size), reinterpret_cast<int64_t>(code), -1,
         (order != access_library::kPlain || call == call_t::update ? kAtomic : 0u) |
             (order == access_library::kRelaxed ? kRelaxed : 0u) | (freed ? kFreed : 0u) |
             (order == access_library::kRelaxed || order == access_library::kWeak ||
                      (call == call_t::fence && size != __ATOMIC_SEQ_CST)
                  ? kWeakOrder
                  : 0u)});
    seen = {};
    if (!told_size(size) || freed || library || call == call_t::fence)
        return;
    if (call == call_t::read) {
        seen.what = seen_t::value;
        seen.found = as_number(static_cast<const unsigned char *>(address), size);
    } else {
        seen = {seen_t::address, 0, address, size};
    }
}
