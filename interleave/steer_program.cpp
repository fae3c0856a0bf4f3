// The steering library: what the program brings as it was linked, read off its dynamic
// section. Which libraries it needs, and they need in turn: a C program has no unwinder's
// library from its start, and the C library loads it at its first pthread_exit, taking a
// descriptor for a moment, where the steering library (written in C++) has it loaded
// already. And which of the C library's calls it makes from code that the compiler wrote
// inline: an optimised build writes putc_unlocked and getc_unlocked out as code on the
// stream's buffer, which calls __overflow or __uflow only when the buffer is full or empty.

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string_view>
#include <utility>

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
    // loaded: marked as reached, and gone through until no more are.
    std::array<bool, kObjects> reached{};
    const auto reach = [&](std::string_view name) {
        if (name.starts_with("libgcc_s."))
            return true;
        for (std::size_t k = 1; k < objects.count; k++) {
            const loaded_t &o = objects.at[k];
            if (o.soname == name || o.path.substr(o.path.rfind('/') + 1) == name)
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

bool inline_unlocked_streams()
{
    objects_t objects;
    dl_iterate_phdr(note_object, &objects);
    return objects.count > 0 && takes(objects.at[0], {"__overflow", "__uflow", "__underflow"});
}

}  // namespace steer
