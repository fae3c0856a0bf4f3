// The steering library: what the program brings as it was linked, read off its dynamic
// section. Which libraries it needs, and they need in turn: a C program has no unwinder's
// library from its start, and the C library loads it at its first pthread_exit, taking a
// descriptor for a moment, where the steering library (written in C++) has it loaded
// already. And which of the C library's calls it makes from code that the compiler wrote
// inline: an optimised build writes putc_unlocked and getc_unlocked out as code on the
// stream's buffer, which calls __overflow or __uflow only when the buffer is full or empty.

#include <algorithm>
#include <string_view>
#include <vector>

#include <elf.h>
#include <link.h>

#include "steer.h"

namespace steer {

namespace {

// The program, or a library, as loaded: its names, the names of those it needs, and the
// names of the symbols that its relocations take from others.
struct loaded_t {
    std::string_view path;  // empty for the program itself
    std::string_view soname;
    std::vector<std::string_view> needs;
    std::vector<std::string_view> takes;
};

// The loader has made a table's address absolute where it could write the dynamic section
// (most systems); where it could not, the address is still relative to the object's base.
ElfW(Addr) absolute(ElfW(Addr) address, ElfW(Addr) base)
{
    return address < base ? base + address : address;
}

void read_relocations(loaded_t &object, ElfW(Addr) table, ElfW(Xword) size, ElfW(Addr) symbols, ElfW(Addr) strings)
{
    const auto *relocation = reinterpret_cast<const ElfW(Rela) *>(table);
    const auto *symbol = reinterpret_cast<const ElfW(Sym) *>(symbols);
    for (std::size_t k = 0; k < size / sizeof(ElfW(Rela)); k++)
        if (const std::size_t which = ELF64_R_SYM(relocation[k].r_info); which != 0)
            object.takes.emplace_back(reinterpret_cast<const char *>(strings + symbol[which].st_name));
}

int note_object(dl_phdr_info *info, size_t, void *out)
{
    auto &objects = *static_cast<std::vector<loaded_t> *>(out);
    loaded_t &object = objects.emplace_back(loaded_t{.path = info->dlpi_name ? info->dlpi_name : "", .soname = {}, .needs = {}, .takes = {}});
    const ElfW(Dyn) *dynamic = nullptr;
    for (int i = 0; i < info->dlpi_phnum; i++)
        if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
            dynamic = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    // The system's own page of code has a section whose addresses the loader never made
    // absolute; it needs nothing, and nothing of it matters here.
    if (dynamic == nullptr || object.path.starts_with("linux-vdso"))
        return 0;
    ElfW(Addr) strings = 0, symbols = 0, plt = 0, rela = 0;
    ElfW(Xword) plt_size = 0, rela_size = 0;
    const ElfW(Addr) base = info->dlpi_addr;
    for (const ElfW(Dyn) *d = dynamic; d->d_tag != DT_NULL; d++) {
        switch (d->d_tag) {
        case DT_STRTAB: strings = absolute(d->d_un.d_ptr, base); break;
        case DT_SYMTAB: symbols = absolute(d->d_un.d_ptr, base); break;
        case DT_JMPREL: plt = absolute(d->d_un.d_ptr, base); break;
        case DT_PLTRELSZ: plt_size = d->d_un.d_val; break;
        case DT_RELA: rela = absolute(d->d_un.d_ptr, base); break;
        case DT_RELASZ: rela_size = d->d_un.d_val; break;
        default: break;
        }
    }
    if (strings == 0)
        return 0;
    for (const ElfW(Dyn) *d = dynamic; d->d_tag != DT_NULL; d++) {
        const char *name = reinterpret_cast<const char *>(strings + d->d_un.d_val);
        if (d->d_tag == DT_NEEDED)
            object.needs.emplace_back(name);
        else if (d->d_tag == DT_SONAME)
            object.soname = name;
    }
    // Only the program's own relocations are wanted.
    if (objects.size() == 1 && symbols != 0) {
        if (plt != 0)
            read_relocations(object, plt, plt_size, symbols, strings);
        if (rela != 0)
            read_relocations(object, rela, rela_size, symbols, strings);
    }
    return 0;
}

std::vector<loaded_t> loaded()
{
    std::vector<loaded_t> objects;
    dl_iterate_phdr(note_object, &objects);  // the program comes first
    return objects;
}

}  // namespace

bool unwinder_from_start()
{
    const std::vector<loaded_t> objects = loaded();
    if (objects.empty())
        return false;
    const auto named = [&](std::string_view name) {
        return std::find_if(objects.begin(), objects.end(), [&](const loaded_t &o) {
            return !o.path.empty() && (o.soname == name || o.path.substr(o.path.rfind('/') + 1) == name);
        });
    };
    std::vector<std::string_view> needed = objects.front().needs;
    for (std::size_t i = 0; i < needed.size(); i++) {
        if (needed[i].starts_with("libgcc_s."))
            return true;
        if (const auto library = named(needed[i]); library != objects.end())
            for (std::string_view name : library->needs)
                if (std::find(needed.begin(), needed.end(), name) == needed.end())
                    needed.push_back(name);
    }
    return false;
}

bool inline_unlocked_streams()
{
    const std::vector<loaded_t> objects = loaded();
    if (objects.empty())
        return false;
    const std::vector<std::string_view> &takes = objects.front().takes;
    return std::any_of(takes.begin(), takes.end(), [](std::string_view name) {
        return name == "__overflow" || name == "__uflow" || name == "__underflow";
    });
}

}  // namespace steer
