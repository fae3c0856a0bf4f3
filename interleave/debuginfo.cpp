#include "debuginfo.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <map>
#include <memory>
#include <vector>

namespace interleave {
namespace {

struct closer_t {
    void operator()(Dwfl *dwfl) const { dwfl_end(dwfl); }
};

// A variable with a fixed address: a global, or a static of a function.
struct placed_t {
    uint64_t size = 0;
    Dwarf_Off die = 0;  // its entry, for its type
    std::string name;
};

// A program's debug information, as libdw reads it from the file alone (offline): the
// program is laid out at its own link addresses, as the addresses asked for are.
struct debug_t {
    std::unique_ptr<Dwfl, closer_t> dwfl;
    Dwfl_Module *module = nullptr;
    Dwarf *dwarf = nullptr;
    Dwarf_Addr bias = 0;
    std::map<uint64_t, std::string> lines;  // answers so far
    std::map<uint64_t, placed_t> variables;  // by address
    bool variables_read = false;
};

debug_t open_debug(const std::string &program)
{
    static const Dwfl_Callbacks callbacks = {
        .find_elf = nullptr,
        .find_debuginfo = dwfl_standard_find_debuginfo,
        .section_address = dwfl_offline_section_address,
        .debuginfo_path = nullptr,
    };
    debug_t d;
    d.dwfl.reset(dwfl_begin(&callbacks));
    if (d.dwfl == nullptr)
        return d;
    d.module = dwfl_report_offline(d.dwfl.get(), "program", program.c_str(), -1);
    dwfl_report_end(d.dwfl.get(), nullptr, nullptr);
    if (d.module != nullptr)
        d.dwarf = dwfl_module_getdwarf(d.module, &d.bias);
    return d;
}

debug_t &debug_of(const std::string &program)
{
    static std::map<std::string, debug_t> opened;
    auto it = opened.find(program);
    if (it == opened.end())
        it = opened.emplace(program, open_debug(program)).first;
    return it->second;
}

std::string file_and_line(const char *file, int line)
{
    const std::string path = file;
    std::string text = path.substr(path.rfind('/') + 1);
    return text.append(":").append(std::to_string(line));
}

// A header of the system's (the C++ library's): its line says nothing of the program.
bool system_file(const char *file)
{
    return file != nullptr && std::string(file).starts_with("/usr/");
}

// The line of the program's own code that inlined the library's code at `address`.
std::string call_site(debug_t &d, Dwarf_Addr address)
{
    Dwarf_Die *cu = dwfl_module_addrdie(d.module, address, &d.bias);
    Dwarf_Die *scopes = nullptr;
    const int n = cu == nullptr ? 0 : dwarf_getscopes(cu, address - d.bias, &scopes);
    Dwarf_Files *files = nullptr;
    std::string found;
    if (n > 0 && dwarf_getsrcfiles(cu, &files, nullptr) == 0)
        for (int k = 0; k < n && found.empty(); k++) {
            if (dwarf_tag(&scopes[k]) != DW_TAG_inlined_subroutine)
                continue;
            Dwarf_Attribute attr;
            Dwarf_Word file = 0, line = 0;
            if (dwarf_formudata(dwarf_attr(&scopes[k], DW_AT_call_file, &attr), &file) != 0 ||
                dwarf_formudata(dwarf_attr(&scopes[k], DW_AT_call_line, &attr), &line) != 0)
                continue;
            const char *name = dwarf_filesrc(files, file, nullptr, nullptr);
            if (name != nullptr && !system_file(name))
                found = file_and_line(name, static_cast<int>(line));
        }
    free(scopes);
    return found;
}

Dwarf_Die peel(Dwarf_Die type)
{
    for (int k = 0; k < 16; k++) {
        const int tag = dwarf_tag(&type);
        if (tag != DW_TAG_typedef && tag != DW_TAG_const_type && tag != DW_TAG_volatile_type &&
            tag != DW_TAG_atomic_type && tag != DW_TAG_restrict_type)
            break;
        Dwarf_Attribute attr;
        if (dwarf_formref_die(dwarf_attr(&type, DW_AT_type, &attr), &type) == nullptr)
            break;
    }
    return type;
}

bool type_of(Dwarf_Die *die, Dwarf_Die &type)
{
    Dwarf_Attribute attr;
    if (dwarf_formref_die(dwarf_attr_integrate(die, DW_AT_type, &attr), &type) == nullptr)
        return false;
    type = peel(type);
    return true;
}

uint64_t size_of(Dwarf_Die type)
{
    Dwarf_Word size = 0;
    return dwarf_aggregate_size(&type, &size) == 0 ? size : 0;
}

// Every variable with a fixed address, from every unit's entries.
void read_variables(debug_t &d, Dwarf_Die *die, int depth)
{
    Dwarf_Die child;
    if (depth > 8 || dwarf_child(die, &child) != 0)
        return;
    do {
        const int tag = dwarf_tag(&child);
        if (tag == DW_TAG_variable) {
            Dwarf_Attribute attr;
            Dwarf_Op *expression = nullptr;
            std::size_t length = 0;
            Dwarf_Die type;
            const char *name = dwarf_diename(&child);
            if (name != nullptr && dwarf_attr(&child, DW_AT_location, &attr) != nullptr &&
                dwarf_getlocation(&attr, &expression, &length) == 0 && length == 1 && expression[0].atom == DW_OP_addr &&
                type_of(&child, type))
                d.variables[expression[0].number] = {size_of(type), dwarf_dieoffset(&child), name};
        } else if (tag == DW_TAG_subprogram || tag == DW_TAG_namespace || tag == DW_TAG_lexical_block) {
            read_variables(d, &child, depth + 1);
        }
    } while (dwarf_siblingof(&child, &child) == 0);
}

// The part of a value of `type` that `size` bytes at `offset` lie in, named after it.
variable_t part_of(Dwarf_Die type, uint64_t offset, uint64_t size, std::string name)
{
    for (int depth = 0; depth < 16; depth++) {
        const uint64_t whole = size_of(type);
        const int tag = dwarf_tag(&type);
        if (offset == 0 && size >= whole && tag != DW_TAG_array_type && tag != DW_TAG_structure_type &&
            tag != DW_TAG_class_type && tag != DW_TAG_union_type)
            break;
        if (tag == DW_TAG_structure_type || tag == DW_TAG_class_type) {
            Dwarf_Die member;
            bool inside = false;
            if (dwarf_child(&type, &member) == 0)
                do {
                    Dwarf_Attribute attr;
                    Dwarf_Word at = 0;
                    Dwarf_Die member_type;
                    if (dwarf_tag(&member) != DW_TAG_member ||
                        dwarf_formudata(dwarf_attr(&member, DW_AT_data_member_location, &attr), &at) != 0 ||
                        !type_of(&member, member_type))
                        continue;
                    const uint64_t span = size_of(member_type);
                    if (offset >= at && offset < at + span) {
                        const char *member_name = dwarf_diename(&member);
                        if (member_name != nullptr)
                            name.append(".").append(member_name);
                        offset -= at;
                        type = member_type;
                        inside = true;
                        break;
                    }
                } while (dwarf_siblingof(&member, &member) == 0);
            if (!inside)
                return {offset != 0 ? name.append("+").append(std::to_string(offset)) : name, variable_t::number};
            continue;
        }
        if (tag == DW_TAG_array_type) {
            Dwarf_Die element;
            if (!type_of(&type, element) || size_of(element) == 0)
                break;
            // The dimensions, each a stride of the ones after it.
            std::vector<uint64_t> counts;
            Dwarf_Die range;
            if (dwarf_child(&type, &range) == 0)
                do {
                    Dwarf_Attribute attr;
                    Dwarf_Word n = 0;
                    if (dwarf_formudata(dwarf_attr(&range, DW_AT_count, &attr), &n) == 0)
                        counts.push_back(n);
                    else if (dwarf_formudata(dwarf_attr(&range, DW_AT_upper_bound, &attr), &n) == 0)
                        counts.push_back(n + 1);
                } while (dwarf_siblingof(&range, &range) == 0);
            uint64_t stride = size_of(element);
            for (std::size_t k = counts.size(); k-- > 1;)
                stride *= counts[k];
            for (std::size_t k = 0; k < std::max<std::size_t>(counts.size(), 1); k++) {
                name.append("[").append(std::to_string(offset / stride)).append("]");
                offset %= stride;
                if (k + 1 < counts.size())
                    stride /= counts[k + 1];
            }
            type = element;
            continue;
        }
        break;
    }
    variable_t v{name, variable_t::number};
    Dwarf_Attribute attr;
    Dwarf_Word encoding = 0;
    if (dwarf_tag(&type) == DW_TAG_pointer_type)
        v.reads = variable_t::pointer;
    else if (dwarf_formudata(dwarf_attr(&type, DW_AT_encoding, &attr), &encoding) == 0)
        v.reads = encoding == DW_ATE_signed_char || encoding == DW_ATE_unsigned_char ? variable_t::character
                  : encoding == DW_ATE_unsigned                                   ? variable_t::count
                  : encoding == DW_ATE_float                                      ? variable_t::real
                  : encoding == DW_ATE_boolean                                    ? variable_t::truth
                                                                                  : variable_t::number;
    if (offset != 0)
        v.name.append("+").append(std::to_string(offset));
    return v;
}

}  // namespace

std::string source_line(const std::string &program, uint64_t address)
{
    debug_t &d = debug_of(program);
    if (d.module == nullptr)
        return "";
    if (auto known = d.lines.find(address); known != d.lines.end())
        return known->second;
    std::string text;
    if (Dwfl_Line *line = dwfl_module_getsrc(d.module, address + d.bias)) {
        int number = 0;
        const char *file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr);
        if (file != nullptr && number > 0)
            text = file_and_line(file, number);
        if (system_file(file))
            if (std::string site = call_site(d, address + d.bias); !site.empty())
                text = site;
    }
    d.lines.emplace(address, text);
    return text;
}

std::optional<variable_t> variable_at(const std::string &program, uint64_t address, uint64_t size)
{
    debug_t &d = debug_of(program);
    if (d.dwarf == nullptr)
        return std::nullopt;
    if (!d.variables_read) {
        d.variables_read = true;
        Dwarf_Die *cu = nullptr;
        Dwarf_Addr bias = 0;
        while ((cu = dwfl_module_nextcu(d.module, cu, &bias)) != nullptr)
            read_variables(d, cu, 0);
    }
    auto it = d.variables.upper_bound(address);
    if (it == d.variables.begin())
        return std::nullopt;
    --it;
    if (address >= it->first + std::max<uint64_t>(it->second.size, 1))
        return std::nullopt;
    Dwarf_Die die, type;
    if (dwarf_offdie(d.dwarf, it->second.die, &die) == nullptr || !type_of(&die, type))
        return std::nullopt;
    return part_of(type, address - it->first, size, it->second.name);
}

}  // namespace interleave
