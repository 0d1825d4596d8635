// The cold path of the recording callbacks: what runs when a thread's code cache misses. It
// settles the thread in the run (its tid, its name), resolves a code object or C callable to its
// code id on first sighting (asking the filter), and the id of a mark's name.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "core/event.h"
#include "core/tls.h"
#include "py/state.h"

namespace vespra {
namespace monitoring {

// inline so the recording path can reach it from monitoring.cc
inline constexpr uint32_t NAME_TRIES = 64;

// Counts one callback in State::cold_in_flight from the moment it is about to run Python code
// until the callback's append is done (the destructor). Armed only when resolution really calls
// into Python: most cold-path events are answered by the thread's code cache, and a shared
// counter touched on each of them would bounce one cache line between every recording thread.
class ColdInFlight {
  public:
    explicit ColdInFlight(std::atomic<uint32_t>& count) : count_(count) {}
    ~ColdInFlight() {
        if (armed_) count_.fetch_sub(1, std::memory_order_release);
    }
    ColdInFlight(const ColdInFlight&) = delete;
    ColdInFlight& operator=(const ColdInFlight&) = delete;

    void arm() {
        if (!armed_) count_.fetch_add(1, std::memory_order_acq_rel);
        armed_ = true;
    }

  private:
    std::atomic<uint32_t>& count_;
    bool armed_ = false;
};

// What the first sighting of an object tells: its description, or none when the run's filter
// leaves it out, and a new reference to what the interner keeps for it.
struct Sighting {
    std::optional<CodeInfo> info;
    PyObject* keep = nullptr;
};

// Reads the first sighting of `obj` (a code object, or a C callable). `globals` are those of
// the frame running the code object when known (else null). Attached; may run Python code;
// clears every Python error it meets.
using Describe = Sighting (*)(const State& state, PyObject* obj, PyObject* globals);

// Where a code object belongs as the filter takes it: its module's name and its source file
// (`file`, its co_filename, or its module's __file__ for code made by exec or compile), read
// from `globals`, by default the current frame's when it runs `code`. Attached; clears the
// errors it meets.
struct CodePlace {
    std::string module;
    std::string file;
};
CodePlace code_place(PyObject* code, std::string file, PyObject* globals);

// A code object: read_code_info, and the filter asked with the module of `globals` (by default
// the current frame's, when it runs `code`).
Sighting describe_code(const State& state, PyObject* code, PyObject* globals);

// The resolution behind a miss of the one-entry cache. On the calling thread, attached; `hot`
// is that thread's HOT. Also keeps the thread's bookkeeping in HOT (its tid, the attempts to
// learn its name, the arming of the one-entry cache). May run Python code (the thread's name, a
// new object's attributes), and arms `in_flight` before it does; every Python error it meets is
// cleared, and an exception that was already raised when it was called is preserved. LEFT_OUT
// for what the filter leaves out (the one-entry cache is then left as it was). None only when
// the interner is full.
std::optional<uint32_t> resolve_cold(State& state, PyObject* obj, uint64_t key, Hot& hot,
                                     ColdInFlight& in_flight, Describe describe = describe_code,
                                     PyObject* globals = nullptr);

// The thread's bookkeeping that resolution keeps in `hot` (see resolve_cold): its run, tid and
// name. May run Python code, and arms `in_flight` before it does.
void settle_thread(State& state, Hot& hot, ColdInFlight& in_flight);

// The id of a mark's name `name` (a str) in this run, through the thread's code cache when the
// str is interned (so it lives as long as the interpreter keeps it, and the interner keeps it
// too). None when the interner is full, or with UnicodeEncodeError set when `name` cannot be
// written as UTF-8. The thread must be settled.
std::optional<uint32_t> mark_name_id(State& state, PyObject* name, Hot& hot);

// Begins for the frames open on the calling thread below the event of `kind` of `code` (null for
// a C function's or a mark's), at the run's start time: a thread's first event of a run comes
// after frames that were all open when the run started, and every end in the trace needs its
// begin. Arms `in_flight` (materialising the frames allocates, and so can run the collector).
void record_open_frames(State& state, PyObject* code, Hot& hot, uint8_t kind,
                        ColdInFlight& in_flight);

// Ends the process with `what` on standard error: a callback met a fault it cannot survive.
[[noreturn]] void fatal(const char* what);

// The description of a code object as the trace shows it; Python errors are cleared and the
// fallbacks "<unknown>", "" and 0 used. Attached.
CodeInfo read_code_info(PyObject* code);

// The operating system's id of the calling thread, low 32 bits (what threading.get_native_id()
// shows, truncated).
uint32_t current_os_thread_id();

}  // namespace monitoring
}  // namespace vespra
