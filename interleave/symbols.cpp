#include "symbols.h"

#include <algorithm>
#include <cstring>
#include <cxxabi.h>
#include <elf.h>
#include <fstream>
#include <iterator>
#include <memory>

namespace interleave {
namespace {

std::string contents(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename T>
bool read_at(const std::string &file, uint64_t offset, T &value)
{
    if (offset > file.size() || file.size() - offset < sizeof(T))
        return false;
    std::memcpy(&value, file.data() + offset, sizeof(T));
    return true;
}

bool elf64(const std::string &file, Elf64_Ehdr &header)
{
    return read_at(file, 0, header) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
           header.e_ident[EI_CLASS] == ELFCLASS64;
}

// "producer(void*)" becomes "producer"; a name that is no C++ name stays as it is, save that
// a variable of a library's that the program holds a copy of is named with its version
// (stdout@GLIBC_2.2.5), where the program's source calls it by its name alone.
std::string demangled(const char *name)
{
    if (std::strncmp(name, "_Z", 2) != 0) {
        const std::string text = name;  // a C name, or a global variable's: "m" would read as the type code of unsigned long
        return text.substr(0, text.find('@'));
    }
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> plain(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                                      &std::free);
    const std::string text = status == 0 && plain ? plain.get() : name;
    return text.substr(0, std::min(text.find('('), text.find('@')));
}

}  // namespace

symbols_t read_symbols(const std::string &path)
{
    symbols_t symbols;
    const std::string file = contents(path);
    Elf64_Ehdr header;
    if (!elf64(file, header))
        return symbols;
    // The full symbol table if the file still has one, else the dynamic one.
    for (uint32_t wanted : {SHT_SYMTAB, SHT_DYNSYM}) {
        for (int k = 0; k < header.e_shnum; k++) {
            Elf64_Shdr table, names;
            if (!read_at(file, header.e_shoff + k * sizeof(Elf64_Shdr), table) || table.sh_type != wanted ||
                !read_at(file, header.e_shoff + table.sh_link * sizeof(Elf64_Shdr), names))
                continue;
            for (uint64_t at = table.sh_offset; at + sizeof(Elf64_Sym) <= table.sh_offset + table.sh_size;
                 at += sizeof(Elf64_Sym)) {
                Elf64_Sym sym;
                if (!read_at(file, at, sym) || sym.st_name >= names.sh_size || sym.st_value == 0)
                    continue;
                const int type = ELF64_ST_TYPE(sym.st_info);
                if (type != STT_OBJECT && type != STT_FUNC)
                    continue;
                const char *name = file.data() + names.sh_offset + sym.st_name;
                if (std::memchr(name, '\0', file.size() - (names.sh_offset + sym.st_name)) == nullptr)
                    continue;
                symbols.push_back({sym.st_value, sym.st_size, demangled(name), type == STT_FUNC});
            }
        }
        if (!symbols.empty())
            break;
    }
    return symbols;
}

std::string readable_name(const std::string &symbol)
{
    return demangled(symbol.c_str());
}

std::string object_name(const symbols_t &symbols, uint64_t offset, uint64_t element)
{
    for (const symbol_t &s : symbols) {
        if (s.function || offset < s.value || offset >= s.value + s.size)
            continue;
        if (s.size <= element)
            return s.name;
        return s.name + "[" + std::to_string((offset - s.value) / element) + "]";
    }
    return "";
}

std::string function_name(const symbols_t &symbols, uint64_t offset)
{
    for (const symbol_t &s : symbols)
        if (s.function && s.value == offset)
            return s.name;
    return "";
}

bool steerable(const std::string &path, std::string &why)
{
    std::ifstream in(path, std::ios::binary);
    char start[2] = {};
    in.read(start, 2);
    if (start[0] == '#' && start[1] == '!') {
        why = "it is a script: what interleave would steer is the shell that runs it, not the program it starts; "
              "name that program itself";
        return false;
    }
    const std::string file = contents(path);
    Elf64_Ehdr header;
    if (!elf64(file, header) || (header.e_type != ET_EXEC && header.e_type != ET_DYN)) {
        why = "it is not a 64-bit program";
        return false;
    }
    for (int k = 0; k < header.e_phnum; k++) {
        Elf64_Phdr segment;
        if (read_at(file, header.e_phoff + k * sizeof(Elf64_Phdr), segment) && segment.p_type == PT_INTERP)
            return true;
    }
    why = "it is statically linked: no library can be preloaded into it, so its calls cannot be steered";
    return false;
}

}  // namespace interleave
