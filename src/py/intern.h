// Code resolution: every Python code object a run sees gets a dense code id (0, 1, 2, ... in
// order of first sighting over all threads) and a CodeInfo read once from the object. `State` is
// everything one run shares between the recording callbacks and the exporter thread.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/event.h"
#include "core/evqueue.h"
#include "core/sink.h"
#include "core/tls.h"
#include "py/filter.h"
#include "py/threads.h"

namespace vespra {

struct Running;
class RingKeeper;
namespace values {
class Matcher;
}

// Address hash with a per-run random seed, so that which code objects collide differs between
// runs and cannot be arranged from outside.
struct SeededAddressHash {
    uint64_t seed;
    size_t operator()(uint64_t key) const {
        uint64_t x = (key ^ seed) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(x ^ (x >> 29));
    }
};

// The id resolution gives what a run's options leave out: never recorded, never a code id.
inline constexpr uint32_t LEFT_OUT = UINT32_MAX;

// One run's table of code objects (and of the C callables a run with C calls records, keyed by
// the long-lived object behind them). The three tables always have the same length n; entry i
// of each describes code id i, and nothing is removed or changed until the interner is
// destroyed. Holding a strong reference to every interned object means its address can never be
// reused by another object during the run, so the address map stays truthful; the same holds
// for what the options left out, which maps to LEFT_OUT and is kept apart.
class Interner {
  public:
    static constexpr uint32_t CAPACITY = MAX_CODE_IDS;

    Interner();
    // Releases the code-object references. On a thread attached to the interpreter that is done
    // at once; on any other thread the references are handed to the interpreter's pending-call
    // queue, to be released by the next thread that attaches (see intern.cc).
    ~Interner();
    Interner(const Interner&) = delete;
    Interner& operator=(const Interner&) = delete;

    // Under the read lock.
    std::optional<uint32_t> find(uint64_t key) const;
    std::optional<CodeInfo> info(uint32_t id) const;
    size_t size() const;

    // Objects the options left out so far.
    size_t left_out() const;

    // The id of `key`, inserting it with `info` (none: left out, the id is LEFT_OUT) and the
    // strong reference `code` when it is new. Takes the write lock and re-checks, so racing
    // threads agree on one id. `code` is consumed: kept when inserted, returned in `unused`
    // otherwise (the caller, attached, releases it). None when the interner is full.
    std::optional<uint32_t> insert(uint64_t key, PyObject* code, std::optional<CodeInfo> info,
                                   PyObject** unused);

    // The id of a mark's name; equal names share one, made on first sight (a CodeInfo with
    // `mark` set). None when the interner is full.
    std::optional<uint32_t> name_id(std::string_view name);
    // Makes `key`, the address of a str object that stays alive as long as `str` (a strong
    // reference, consumed) is kept, find `id` through find(). For names the thread caches.
    void alias(uint64_t key, PyObject* str, uint32_t id);

  private:
    mutable std::shared_mutex mutex_;
    std::vector<CodeInfo> infos_;
    std::vector<PyObject*> keep_;  // null for a mark's name
    std::vector<PyObject*> left_out_;  // references to what maps to LEFT_OUT
    std::unordered_map<uint64_t, uint32_t, SeededAddressHash> ids_;
    std::unordered_map<std::string, uint32_t> names_;  // marks' names
    std::vector<PyObject*> aliased_;                   // the str objects behind aliases
};

// What one run shares between its registered callbacks, its Running record and its exporter
// thread (as CodeLookup and ThreadNames). `queue`, `queue_raw`, `queue_id` and `clock` never
// change; the tables fill as the program runs.
class State final : public CodeLookup, public ThreadNames {
  public:
    explicit State(std::shared_ptr<EventQueue> queue, Filter filter = {}, bool c_calls = false,
                   bool exceptions = false);

    std::optional<CodeInfo> code(uint32_t id) const override { return interner.info(id); }
    std::optional<std::string> name(uint32_t tid) const override { return threads.name(tid); }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override {
        return threads.snapshot();
    }

    const std::shared_ptr<EventQueue> queue;
    EventQueue* const queue_raw;  // the same queue, one load closer on the recording path
    const uint64_t queue_id;
    const Clock clock;  // a copy of the queue's clock, read on every event
    Interner interner;
    ThreadRegistry threads;
    // Which code the run records; decided once per code object, at its first event.
    const Filter filter;
    // Calls of C functions become slices too (CALL, C_RETURN and C_RAISE are registered).
    const bool c_calls;
    // Each exception raised is an instant, and the slices it unwinds carry its type (RAISE is
    // registered, and PY_UNWIND gets the callback that describes the exception).
    const bool exceptions;

    // The functions whose arguments and return values the run records (values.h); null for a
    // run that records none. Set before the run starts.
    std::shared_ptr<values::Matcher> values;

    // The outermost `launcher_frames` frames of the thread whose PyThread_get_thread_ident() is
    // `launcher_thread` belong to the program that runs the traced one (the `vespra` command):
    // their begins are left out of the trace. 0 frames: none. Set before the run starts.
    unsigned long launcher_thread = 0;
    size_t launcher_frames = 0;

    // A flight ring run's ring (core/ring.h), for the marks that ask it for a dump; set before
    // the run starts. Null for a run that writes as it records.
    std::shared_ptr<RingKeeper> ring;

    // The run, while its export threads are parked across a fork (see tracer.h); else null.
    std::atomic<Running*> parked{nullptr};

    // Callbacks currently inside the cold recording path (the part that can run Python code and
    // so can be paused by the interpreter). The stop sequence waits for 0 before it flushes the
    // threads' batches; see monitoring.cc.
    std::atomic<uint32_t> cold_in_flight{0};
};

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

// The description of a code object as the trace shows it; Python errors are cleared and the
// fallbacks "<unknown>", "" and 0 used. Attached.
CodeInfo read_code_info(PyObject* code);

// The operating system's id of the calling thread, low 32 bits (what threading.get_native_id()
// shows, truncated).
uint32_t current_os_thread_id();

}  // namespace monitoring
}  // namespace vespra
