#include "memory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "calls.h"
#include "debuginfo.h"

namespace interleave {
namespace {

constexpr uint64_t kWord = 8;

vector_clock_t &clock_of(clocks_t &c, int thread)
{
    if (static_cast<std::size_t>(thread) >= c.threads.size())
        c.threads.resize(static_cast<std::size_t>(thread) + 1);
    vector_clock_t &v = c.threads[static_cast<std::size_t>(thread)];
    if (static_cast<std::size_t>(thread) >= v.size())
        v.resize(static_cast<std::size_t>(thread) + 1);
    if (v[static_cast<std::size_t>(thread)] == 0)
        v[static_cast<std::size_t>(thread)] = 1;
    return v;
}

void take_in(vector_clock_t &to, const vector_clock_t &from)
{
    if (to.size() < from.size())
        to.resize(from.size());
    for (std::size_t k = 0; k < from.size(); k++)
        to[k] = std::max(to[k], from[k]);
}

uint32_t component(const vector_clock_t &v, int thread)
{
    return static_cast<std::size_t>(thread) < v.size() ? v[static_cast<std::size_t>(thread)] : 0;
}

// The thread meets an object: it takes in what the object holds, and leaves its own there.
void meet(clocks_t &c, const place_t &place, int thread)
{
    vector_clock_t &mine = clock_of(c, thread);
    vector_clock_t &object = c.objects[place];
    take_in(mine, object);
    take_in(object, mine);
    mine[static_cast<std::size_t>(thread)]++;
}

std::string hex(uint64_t n)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(n));
    return text;
}

// A thread's part of a list kept by thread.
vector_clock_t &part(std::vector<vector_clock_t> &list, int thread)
{
    if (static_cast<std::size_t>(thread) >= list.size())
        list.resize(static_cast<std::size_t>(thread) + 1);
    return list[static_cast<std::size_t>(thread)];
}

bool overlap(const memory_access_t &x, const memory_access_t &y)
{
    return x.address < y.address + y.size && y.address < x.address + x.size;
}

// Whether an earlier access races with this one, made by a thread whose clock is `now`.
bool races(const memory_access_t &earlier, const memory_access_t &access, const vector_clock_t &now)
{
    return earlier.thread != access.thread && !(earlier.atomic && access.atomic) && overlap(earlier, access) &&
           earlier.at > component(now, earlier.thread);
}

}  // namespace

void synchronised(clocks_t &c, model_t &m, const action_t &a, call_t call, const outcome_t &o)
{
    const thread_t &t = m.threads[static_cast<std::size_t>(a.thread)];
    switch (call) {
    case call_t::read:
    case call_t::write:
    case call_t::update:
        return;  // accessed() sees to them
    case call_t::join:
        if (a.how == 'r' && o.changed && t.asks.target != kNobody) {
            const vector_clock_t ended = clock_of(c, t.asks.target);  // (a copy: the list may grow)
            take_in(clock_of(c, a.thread), ended);
        }
        break;
    case call_t::wait:  // a child's death, seen: all it did comes before (in memory they share)
        if (a.how == 'r' && o.changed)
            for (std::size_t k = 0; k < m.threads.size(); k++)
                if (const auto p = m.processes.find(m.threads[k].pid);
                    p != m.processes.end() && p->second.dead && p->second.parent == t.pid) {
                    const vector_clock_t ended = clock_of(c, static_cast<int>(k));
                    take_in(clock_of(c, a.thread), ended);
                }
        break;
    case call_t::fence: {
        const int64_t order = t.asks.value;
        if (order == __ATOMIC_ACQUIRE || order == __ATOMIC_CONSUME || order == __ATOMIC_ACQ_REL || order == __ATOMIC_SEQ_CST)
            take_in(clock_of(c, a.thread), part(c.pending, a.thread));
        if (order == __ATOMIC_RELEASE || order == __ATOMIC_ACQ_REL || order == __ATOMIC_SEQ_CST) {
            part(c.released, a.thread) = clock_of(c, a.thread);
            clock_of(c, a.thread)[static_cast<std::size_t>(a.thread)]++;
        }
        return;
    }
    default:
        for (uint64_t address : {t.asks.object, t.asks.object2})
            if (address != 0 && call != call_t::join && call != call_t::detach && call != call_t::cancel)
                meet(c, place_of(m, t.pid, address), a.thread);
        break;
    }
    if (o.new_thread != kNobody) {  // a thread or process begins where its creator stands
        vector_clock_t &parent = clock_of(c, a.thread);
        const vector_clock_t start = parent;
        parent[static_cast<std::size_t>(a.thread)]++;
        vector_clock_t &child = clock_of(c, o.new_thread);
        take_in(child, start);
    }
}

std::optional<race_t> accessed(clocks_t &c, model_t &m, int thread, const request_t &q)
{
    const thread_t &t = m.threads[static_cast<std::size_t>(thread)];
    memory_access_t access{thread, q.call != call_t::read, (q.flags & steer::kAtomic) != 0, q.object,
                           std::max<uint64_t>(1, static_cast<uint64_t>(q.value)), static_cast<uint64_t>(q.extra), 0};
    vector_clock_t &now = clock_of(c, thread);
    access.at = now[static_cast<std::size_t>(thread)];
    std::optional<race_t> race;
    const uint64_t first = access.address / kWord, last = (access.address + access.size - 1) / kWord;
    const auto covered = [&](const memory_access_t &x) {
        return x.address >= access.address && x.address + x.size <= access.address + access.size;
    };
    for (uint64_t word = first; word <= last; word++) {
        clocks_t::shadow_t &s = c.memory[place_of(m, t.pid, word * kWord)];
        for (const memory_access_t &write : s.writes)
            if (!race && races(write, access, now))
                race = race_t{write, access};
        if (access.write) {
            for (const memory_access_t &read : s.reads)
                if (!race && races(read, access, now))
                    race = race_t{read, access};
            // What this write covers came before it (or raced, and was told): only the
            // parts of the word it leaves are still to be compared with what comes later.
            std::erase_if(s.writes, covered);
            std::erase_if(s.reads, covered);
            s.writes.push_back(access);
        } else {
            std::erase_if(s.reads, [&](const memory_access_t &r) { return r.thread == thread && covered(r); });
            s.reads.push_back(access);
        }
    }
    if (access.atomic) {
        const place_t place = place_of(m, t.pid, access.address);
        if ((q.flags & steer::kRelaxed) == 0) {
            meet(c, place, thread);  // it hands on what came before it, as a lock would
        } else {
            // A relaxed one orders only through fences: what it reads, an acquire fence of
            // its thread's takes in later; what it writes carries what came before its
            // thread's last release fence.
            if (q.call != call_t::write)
                take_in(part(c.pending, thread), c.objects[place]);
            if (q.call != call_t::read)
                take_in(c.objects[place], part(c.released, thread));
        }
    }
    if ((q.flags & steer::kFreed) != 0)
        forget(c, m, t.pid, access.address, access.address + access.size);
    return race;
}

void forget(clocks_t &c, model_t &m, pid_t pid, uint64_t low, uint64_t high)
{
    if (high <= low)
        return;
    const uint64_t from = low / kWord * kWord, to = (high - 1) / kWord * kWord + kWord;  // the words it lies in
    const place_t first = place_of(m, pid, from);
    c.memory.erase(c.memory.lower_bound(first), c.memory.lower_bound({first.space, first.address + (to - from)}));
}

std::string memory_name(const model_t &m, uint64_t address, uint64_t size)
{
    if (const auto state = m.library_state.find(address); state != m.library_state.end())
        return state->second;
    if (address >= m.base) {
        if (const auto variable = variable_at(m.program, address - m.base, size))
            return variable->name;
        if (std::string name = object_name(m.symbols, address - m.base, std::max<uint64_t>(1, size)); !name.empty())
            return name;
    }
    for (const thread_t &t : m.threads)
        if (address >= t.stack_low && address < t.stack_high && t.state != thread_t::ended)
            return address < t.stack_top ? "a local of " + t.name : "a thread-local of " + t.name;
    return hex(address);
}

std::string value_text(const model_t &m, uint64_t address, uint64_t size, int64_t value)
{
    const auto variable = address >= m.base ? variable_at(m.program, address - m.base, size) : std::nullopt;
    const auto reads = variable ? variable->reads : variable_t::number;
    const uint64_t bits = size >= 8 ? static_cast<uint64_t>(value) : static_cast<uint64_t>(value) & ((uint64_t{1} << (8 * size)) - 1);
    // A pthread_t, as a join reads it: the thread it names.
    if (size == 8 && bits != 0 && (reads == variable_t::number || reads == variable_t::count))
        for (const thread_t &t : m.threads)
            if (t.handle == bits)
                return "the handle of " + t.name;
    switch (reads) {
    case variable_t::count:
        return std::to_string(bits);
    case variable_t::character:
        if (bits >= 0x20 && bits < 0x7f && bits != '\'' && bits != '\\')
            return std::to_string(bits) + " '" + static_cast<char>(bits) + "'";
        return std::to_string(size == 1 ? static_cast<int64_t>(static_cast<int8_t>(bits)) : value);
    case variable_t::truth:
        return bits != 0 ? "true" : "false";
    case variable_t::pointer:
        return bits == 0 ? "null" : hex(bits);
    case variable_t::real: {
        char text[64];
        if (size == 4) {
            float f;
            const auto word = static_cast<uint32_t>(bits);
            std::memcpy(&f, &word, sizeof f);
            std::snprintf(text, sizeof text, "%g", static_cast<double>(f));
        } else {
            double d;
            std::memcpy(&d, &bits, sizeof d);
            std::snprintf(text, sizeof text, "%g", d);
        }
        return text;
    }
    case variable_t::number:
        break;
    }
    return std::to_string(value);
}

std::string code_line(const model_t &m, uint64_t code)
{
    if (code <= m.base)
        return "";
    return source_line(m.program, code - m.base - 1);  // the call's own instruction, before where it returns
}

std::string race_text(const model_t &m, const race_t &race)
{
    const auto part = [&](const memory_access_t &x) {
        const std::string line = code_line(m, x.code);
        return thread_name(m, x.thread) + (x.write ? " writes it" : " reads it") + (line.empty() ? "" : " (" + line + ")");
    };
    return "data race on " + memory_name(m, race.second.address, race.second.size) + ": " + part(race.first) + ", " +
           part(race.second) + ", nothing orders them";
}

namespace calls {

void memory_access(turn_t &turn)
{
    const request_t &q = turn.t().asks;
    const bool atomic = (q.flags & steer::kAtomic) != 0;
    turn.out.changed = q.call != call_t::read;
    if (q.call == call_t::fence) {
        turn.out.does = "makes a fence";
        return;
    }
    // A C library function's own state, which the access library tells by number.
    constexpr const char *kStates[] = {"the environment", "strtok's place", "the random numbers' state"};
    if (q.object2 >= 1 && q.object2 <= std::size(kStates))
        turn.m.library_state[q.object] = kStates[q.object2 - 1];
    const char *verb = (q.flags & steer::kFreed) != 0 ? "frees "
                       : q.call == call_t::read     ? "reads "
                       : q.call == call_t::write    ? "writes "
                                                    : "updates ";
    turn.out.does = verb + memory_name(turn.m, q.object, static_cast<uint64_t>(q.value)) + (atomic && q.call != call_t::update ? " atomically" : "");
}

}  // namespace calls
}  // namespace interleave
