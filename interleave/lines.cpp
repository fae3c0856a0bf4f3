#include "lines.h"

#include <elfutils/libdwfl.h>
#include <map>
#include <memory>

namespace interleave {
namespace {

struct closer_t {
    void operator()(Dwfl *dwfl) const { dwfl_end(dwfl); }
};

// A program's debug information, as libdw reads it from the file alone (offline): the
// program is laid out at its own link addresses, as the offsets asked for are.
struct debug_t {
    std::unique_ptr<Dwfl, closer_t> dwfl;
    Dwfl_Module *module = nullptr;
    std::map<uint64_t, std::string> lines;  // answers so far
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
    return d;
}

}  // namespace

std::string source_line(const std::string &program, uint64_t address)
{
    static std::map<std::string, debug_t> opened;
    auto it = opened.find(program);
    if (it == opened.end())
        it = opened.emplace(program, open_debug(program)).first;
    debug_t &d = it->second;
    if (d.module == nullptr)
        return "";
    if (auto known = d.lines.find(address); known != d.lines.end())
        return known->second;
    std::string text;
    Dwarf_Addr bias = 0;
    dwfl_module_getelf(d.module, &bias);
    if (Dwfl_Line *line = dwfl_module_getsrc(d.module, address + bias)) {
        int number = 0;
        const char *file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr);
        if (file != nullptr && number > 0) {
            text = file;
            text = text.substr(text.rfind('/') + 1) + ":" + std::to_string(number);
        }
    }
    d.lines.emplace(address, text);
    return text;
}

}  // namespace interleave
