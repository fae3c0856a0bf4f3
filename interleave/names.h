// Names and views: what interleave calls the program's threads and objects ("producer",
// "A", "lock", "fork 2 (m[2])"), its calls, and what each thread is about to do and why it
// cannot yet, for the replay, the deadlock's report and the player's screen.
#pragma once

#include <string>
#include <vector>

#include "model.h"

namespace interleave {

// An object first seen gets its name: the program's variable that holds it, the
// philosophers' fork it is, or its kind and number.
void name_object(const model_t &m, object_t &o);
// The program's variable at an address, if one holds it: "lock", "m[2]".
std::string variable_name(const model_t &m, kind_t kind, uint64_t address);
const char *kind_name(kind_t kind);
// A stream's lock (flockfile's), by the stream's descriptor: "the lock of standard output".
std::string stream_lock_name(uint64_t fd);

// A new thread's name: its start routine's ("producer", "consumer 2"), a philosopher's
// letter, or "thread", "child".
void name_thread(model_t &m, int thread, const std::string &routine);
std::string thread_name(const model_t &m, int thread);

// The function a call stands for: "pthread_mutex_lock".
const char *call_name(call_t call);

// What each thread is about to do, for a chooser that shows it (the player of --step).
struct thread_view_t {
    std::string name;
    std::string next;   // its next call: "lock fork 2 (m[2])", "wait on has_product"
    std::string waits;  // why it cannot make it now: "B holds it"; empty if it can
    bool ended = false;
};
thread_view_t view_of(model_t &m, int thread);
// Who holds what, and the semaphores' counts, on one line.
std::string state_line(const model_t &m);
// Who waits for what, when nobody can go on: one line a thread.
std::vector<std::string> waits(model_t &m);

}  // namespace interleave
