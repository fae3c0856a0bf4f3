// Pipes and files, as the model plays them: each read, write and close of one is a turn on
// it. A reader that found a pipe empty, while a writer may still write, waits until a
// turn writes to it or closes it, or a process ends (which closes all it held), and then
// looks again; it never waits in the system. A writer that found it full waits likewise,
// for a read or a close.
#include <algorithm>
#include <array>
#include <climits>
#include <sys/uio.h>
#include <unistd.h>

#include "calls.h"

namespace interleave::calls {
namespace {

// What a descriptor names: a file's path, or "pipe:[inode]".
std::string link_of(pid_t pid, int fd)
{
    char link[PATH_MAX] = {};
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    return n <= 0 ? "" : std::string(link, static_cast<std::size_t>(n));
}

// A name that a program handed to a call, read from its memory while it waits for its turn;
// empty if it cannot be read.
std::string name_in(pid_t pid, uint64_t address)
{
    char text[256] = {};
    const iovec here{text, sizeof text - 1}, there{reinterpret_cast<void *>(address), sizeof text - 1};
    if (address == 0 || process_vm_readv(pid, &here, 1, &there, 1, 0) <= 0)
        return "";
    return text;
}

// A call on a file's name, as the replay tells it.
std::string naming(const thread_t &t)
{
    const std::string name = name_in(t.pid, t.asks.object);
    const std::string it = name.empty() ? "a file by its name" : "\"" + name + "\"";
    switch (t.asks.object2) {
    case steer::kOpen: return "opens " + it;
    case steer::kLookUp: return "looks up " + it;
    case steer::kCreate: return "opens " + it + ", which it may make or empty";
    case steer::kRemove: return "removes " + it;
    case steer::kRename: return "renames " + it;
    case steer::kMakeDirectory: return "makes the directory " + it;
    case steer::kLink: return "makes the link " + it;
    case steer::kTruncate: return "sets the size of " + it;
    case steer::kMakeFifo: return "makes the FIFO " + it;
    default: return "changes the rights of " + it;
    }
}

void wake(std::vector<int> &waiting, model_t &m)
{
    for (int id : waiting)
        m.threads[static_cast<std::size_t>(id)].phase = thread_t::woken;
    waiting.clear();
}

void wake_readers(file_t &f, model_t &m)
{
    wake(f.readers, m);
}

void wake_writers(file_t &f, model_t &m)
{
    wake(f.writers, m);
}

// A FIFO's open, as the replay tells it; and the opens waiting for this end, woken.
std::string opening_fifo(turn_t &turn, file_t &f)
{
    thread_t &t = turn.t();
    const bool to_read = t.asks.extra == steer::kOpenToRead, to_write = t.asks.extra == steer::kOpenToWrite;
    if (!to_read)
        wake(f.want_writer, turn.m);
    if (!to_write)
        wake(f.want_reader, turn.m);
    if ((t.asks.flags & steer::kEmpty) == 0)
        return "opens " + f.name + (to_read ? " to read" : to_write ? " to write" : " to read and write");
    t.phase = thread_t::none;
    return to_read ? "goes on opening " + f.name + ", which a writer has opened since"
                   : "goes on opening " + f.name + ", which a reader has opened since";
}

std::string library_call(const request_t &q)
{
    return q.object < steer::kLibraryCalls.size() ? steer::kLibraryCalls[q.object] : "the C library";
}

// A descriptor's number taken or freed, as the replay tells it.
std::string numbering(const thread_t &t)
{
    const request_t &q = t.asks;
    const auto descriptor = [](int64_t fd, bool given) {
        constexpr std::array<const char *, 3> kStandard{"standard input", "standard output", "standard error"};
        return given && fd >= 0 && fd <= 2 ? std::string(kStandard[static_cast<std::size_t>(fd)])
                                           : "descriptor " + std::to_string(fd);
    };
    switch (q.object2) {
    case steer::kFrees: return "closes " + descriptor(q.value, q.object == 1);
    case steer::kFreesRange:
        return q.object >= static_cast<uint64_t>(INT32_MAX)
                   ? "closes every descriptor from " + std::to_string(q.value) + " on"
                   : "closes descriptors " + std::to_string(q.value) + " to " + std::to_string(q.object);
    case steer::kUses: return "looks at " + descriptor(q.value, false);
    case steer::kMakes: return "takes a new descriptor";
    case steer::kOpensFifo: return "takes a descriptor for an open of a FIFO";
    case steer::kCopies:
        return "copies " + descriptor(q.value, false) +
               (static_cast<int64_t>(q.object) >= 0 ? " over " + descriptor(static_cast<int64_t>(q.object), false) : "");
    case steer::kMakesPipe: return "takes two descriptors for a new pipe";
    case steer::kMakesSocket: return "takes a descriptor for a new socket";
    case steer::kMakesSocketPair: return "takes two descriptors for a new pair of sockets";
    case steer::kInLibrary: return "calls " + library_call(q) + ", which may take descriptors of its own";
    case steer::kForAMoment: return "calls " + library_call(q) + ", which takes a descriptor for a moment";
    case steer::kLetsGo: return "lets go of the descriptor " + library_call(q) + " took";
    default: return "accepts a connection on descriptor " + std::to_string(q.value);
    }
}

}  // namespace

file_t &file_of(model_t &m, const thread_t &t)
{
    const request_t &q = t.asks;
    auto [it, added] = m.files.try_emplace({q.object2, q.object});
    file_t &f = it->second;
    if (added) {
        f.pipe = (q.flags & steer::kPipe) != 0;
        const std::string link = link_of(t.pid, static_cast<int>(q.value));
        if (q.extra == steer::kMake) {
            thread_t &maker = m.threads[static_cast<std::size_t>(&t - m.threads.data())];
            f.known_as = (uint64_t{1} << 40) | static_cast<uint64_t>(&t - m.threads.data());
            f.number = static_cast<uint64_t>(++maker.pipes_made);
        } else {
            // A file or FIFO opened by its name, or a socket: its name may differ from run to
            // run (a path made of the process's id, a socket's inode), so all of them are one
            // thing, which every run knows by the same name.
            f.known_as = uint64_t{2} << 40;
            f.number = 0;
        }
        if (f.pipe && link.starts_with("socket:"))
            f.name = "socket " + std::to_string(++m.sockets);
        else if (f.pipe && !link.starts_with("/"))
            f.name = "pipe " + std::to_string(++m.pipes);
        else
            f.name = link.empty() ? "a file" : link.substr(link.rfind('/') + 1);
    }
    return f;
}

bool can_use_file(model_t &, const thread_t &t)
{
    return (t.asks.flags & steer::kEmpty) == 0 || t.phase == thread_t::woken;
}

void use_file(turn_t &turn)
{
    thread_t &t = turn.t();
    // A look changes nothing: a thread that looks again and again waits for another.
    // An open takes a number, which changes what the next one gets.
    const bool names_changed = t.asks.extra == steer::kName && t.asks.object2 > steer::kLookUp;
    const bool looks = t.asks.extra == steer::kName || t.asks.extra == steer::kLook ||
                       (t.asks.extra == steer::kNumber && t.asks.object2 == steer::kUses);
    turn.out.changed = names_changed || (t.asks.flags & steer::kNumbers) != 0 || !looks;
    if (t.asks.extra == steer::kNumber) {
        turn.out.does = numbering(t);
        if (t.asks.object2 == steer::kInLibrary && turn.m.library_call.empty())
            turn.m.library_call = library_call(t.asks);
        return;
    }
    if (t.asks.extra == steer::kName) {
        turn.out.does = naming(t);
        // A file mapped into memory changes under the program's loads, which are not
        // ordered against this.
        turn.m.mapping_unordered = turn.m.mapping_unordered || (turn.m.mapped_files && names_changed);
        return;
    }
    file_t &f = file_of(turn.m, t);
    if (!f.pipe && t.asks.extra != steer::kLook && t.asks.extra != steer::kSeek && t.asks.extra != steer::kMap)
        turn.m.mapping_unordered = turn.m.mapping_unordered || turn.m.mapped_files;
    switch (t.asks.extra) {
    case steer::kRead:
        if ((t.asks.flags & steer::kEmpty) != 0) {
            t.phase = thread_t::none;
            turn.out.does = "looks again at " + f.name + ", written to or closed since";
        } else {
            turn.out.does = "reads from " + f.name;
        }
        wake_writers(f, turn.m);
        break;
    case steer::kWrite:
        if ((t.asks.flags & steer::kEmpty) != 0) {
            t.phase = thread_t::none;
            turn.out.does = "goes on writing to " + f.name + ", read from or closed since";
        } else {
            turn.out.does = "writes to " + f.name;
        }
        wake_readers(f, turn.m);
        break;
    case steer::kClose:
        turn.out.does = std::string("closes ") +
                        ((t.asks.flags & steer::kReadingEnd) != 0   ? "the reading end"
                         : (t.asks.flags & steer::kWritingEnd) != 0 ? "the writing end"
                                                                    : "its end") +
                        " of " + f.name;
        wake_readers(f, turn.m);
        wake_writers(f, turn.m);
        break;
    case steer::kSeek:
        turn.out.does = "moves its place in " + f.name;
        break;
    case steer::kLook:
        turn.out.does = "looks at the size of " + f.name;
        break;
    case steer::kResize:
        turn.out.does = "sets the size of " + f.name;
        break;
    case steer::kMap:
        turn.out.does = "maps " + f.name + " into its memory, shared";
        turn.m.mapped_files = true;
        break;
    case steer::kOpenToRead:
    case steer::kOpenToWrite:
    case steer::kOpenToReadWrite:
        turn.out.does = opening_fifo(turn, f);
        break;
    default:
        turn.out.does = "makes " + f.name;
        break;
    }
}

void leaves_file_wait(model_t &m, int id)
{
    thread_t &t = m.threads[static_cast<std::size_t>(id)];
    file_t &f = file_of(m, t);
    for (std::vector<int> *waiting : {&f.readers, &f.writers, &f.want_writer, &f.want_reader})
        std::erase(*waiting, id);
    t.phase = thread_t::none;
}

void descriptors_closed(model_t &m)
{
    for (auto &[key, f] : m.files) {
        wake_readers(f, m);
        wake_writers(f, m);
    }
}

}  // namespace interleave::calls
