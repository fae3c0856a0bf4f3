// The calls as interleave's model plays them. Each call has two parts: whether the thread
// that asks can make it now, and what making it does to the model (who holds what, who
// waits, what the turn is told as). The table in model.cpp names the two for each call;
// objects.cpp holds those on synchronisation objects, threads.cpp those on threads,
// processes, time and the standard streams.
#pragma once

#include <string>

#include "model.h"
#include "names.h"

namespace interleave::calls {

// The places of memory that processes share are told apart from a process's own by this
// bit of their space.
constexpr uint64_t kSharedSpace = uint64_t{1} << 63;

inline std::string number(long n)
{
    return std::to_string(n);
}

struct turn_t {
    model_t &m;
    int id;
    outcome_t &out;
    thread_t &t() { return m.threads[static_cast<std::size_t>(id)]; }
    std::string name(int thread) const { return thread_name(m, thread); }
    void misuse(const std::string &rule, const std::string &why)
    {
        out.misuse = rule;
        out.misuse_why = why;
        out.tell = false;
    }
};

// The object a thread's call names, as a mutex (taking the kind of mutex it was set up as)
// or as an object of the kind given.
object_t &mutex_of(model_t &m, const thread_t &t, uint64_t address);
object_t &asked(model_t &m, const thread_t &t, kind_t kind);

// Each call's two parts: `can_...` (or an adjective: `woken`) says whether the thread can
// make its call now; the call's own name plays it on the model.

// ---- synchronisation objects (objects.cpp) ----
bool mutex_free_for(const model_t &m, const mutex_t &mutex, int id);
bool can_lock(model_t &m, const thread_t &t, int id);
void take(turn_t &turn, object_t &o);
void mutex_init(turn_t &turn);
void mutex_lock(turn_t &turn);
void mutex_trylock(turn_t &turn);
void mutex_unlock(turn_t &turn);
void mutex_destroy(turn_t &turn);
bool can_read(model_t &m, const thread_t &t, int id);
bool can_write(model_t &m, const thread_t &t, int id);
void rwlock_init(turn_t &turn);
void read_lock(turn_t &turn, bool trying);
void write_lock(turn_t &turn, bool trying);
void rwlock_unlock(turn_t &turn);
void rwlock_destroy(turn_t &turn);
object_t &cond_of(model_t &m, const thread_t &t);
bool can_wait_or_wake(model_t &m, const thread_t &t, int id);
void cond_init(turn_t &turn);
void cond_wait(turn_t &turn);
void cond_wake(turn_t &turn);
void cond_destroy(turn_t &turn);
bool can_take(model_t &m, const thread_t &t);
void sem_init(turn_t &turn);
void sem_wait(turn_t &turn);
void sem_trywait(turn_t &turn);
void sem_look(turn_t &turn);
void sem_post(turn_t &turn);
void sem_destroy(turn_t &turn);
void barrier_init(turn_t &turn);
bool can_pass(model_t &, const thread_t &t);
void barrier_wait(turn_t &turn);
void barrier_destroy(turn_t &turn);
bool can_begin_once(model_t &m, const thread_t &t);
void once(turn_t &turn);
void once_done(turn_t &turn);
object_t &futex_of(model_t &m, const thread_t &t);
bool woken(model_t &, const thread_t &t);
void futex_wait(turn_t &turn);
void futex_park(turn_t &turn);
void futex_wake(turn_t &turn);

// ---- threads, processes, time and streams (threads.cpp) ----
bool can_join(model_t &m, const thread_t &t);
void start(turn_t &turn);
void create(turn_t &turn);
void join(turn_t &turn);
void detach(turn_t &turn);
void cancel(turn_t &turn);
void testcancel(turn_t &turn);
void thread_exit(turn_t &turn);
void fork_process(turn_t &turn);
void exec_program(turn_t &turn);
void run_command(turn_t &turn);
bool can_reap(model_t &m, const thread_t &t);
void wait_child(turn_t &turn);
void exit_process(turn_t &turn);
void sleep_turn(turn_t &turn);
void set_alarm(turn_t &turn);
void yield_turn(turn_t &turn);
void write_output(turn_t &turn);
void read_input(turn_t &turn);

// ---- signals (signals.cpp) ----
void send_signal(turn_t &turn);
void change_action(turn_t &turn);
void let_through(turn_t &turn);
bool can_take_signal(model_t &m, const thread_t &t);
void take_signal(turn_t &turn);
bool never(model_t &m, const thread_t &t);
void suspend(turn_t &turn);
void arrive(turn_t &turn);
// A signal sent to a process, or to one thread of it, waits there until it arrives.
void post_signal(model_t &m, pid_t pid, int thread, int sig);

// ---- pipes and files (files.cpp) ----
bool can_use_file(model_t &m, const thread_t &t);
void use_file(turn_t &turn);
// The file a thread's call is about, first seen now if it is new.
file_t &file_of(model_t &m, const thread_t &t);
// A process has ended, or started another program: every descriptor it held is closed,
// which may end a pipe's last writer: its readers look again.
void descriptors_closed(model_t &m);
// A signal's handler ran in the middle of the thread's wait for a pipe or a FIFO: it waits
// no more (if the wait goes on, the thread asks again).
void leaves_file_wait(model_t &m, int id);

// ---- memory, in a program built with interleave-cc (memory.cpp) ----
void memory_access(turn_t &turn);

}  // namespace interleave::calls
