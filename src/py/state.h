// What one run shares between its recording callbacks, its lifecycle and its export threads.
#pragma once

#include <Python.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/code_filter.h"
#include "core/event.h"
#include "core/evqueue.h"
#include "core/sink.h"
#include "py/interner.h"
#include "py/threads.h"

namespace vespra {

class RingKeeper;
namespace values {
class Matcher;
}

// Export threads a fork parked (export_threads.h). The recording path knows them only through
// this: the first thread to start a new batch resumes them, without reaching up into the
// lifecycle that parked them.
class ParkedExport {
  public:
    virtual void resume_parked() noexcept = 0;

  protected:
    ~ParkedExport() = default;
};

// What one run shares between its registered callbacks, its Running record and its exporter
// thread (as CodeLookup and ThreadNames). `queue`, `queue_raw`, `queue_id` and `clock` never
// change; the tables fill as the program runs.
class State final : public CodeLookup, public ThreadNames {
  public:
    explicit State(std::shared_ptr<EventQueue> q, Filter f = {}, bool c = false, bool e = false)
        : queue(std::move(q)),
          queue_raw(queue.get()),
          queue_id(queue->id()),
          clock(queue->clock()),
          filter(std::move(f)),
          c_calls(c),
          exceptions(e) {}

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

    // The run, while its export threads are parked across a fork; else null.
    std::atomic<ParkedExport*> parked{nullptr};

    // A fork in progress, set by the forking thread from the before hook to the parent's after
    // hook. The callbacks go on recording across a fork (other threads of the parent keep
    // running, and their calls belong in the trace), but the export threads stay parked until
    // the interpreter has counted the parent's threads. A forked child inherits the flag set,
    // with `forking_pid` its parent's: there, until the child's hook starts the child's own run,
    // the callbacks record nothing into this run the child abandons (`abandoned`), whose locks
    // threads that did not survive the fork may hold.
    std::atomic<bool> forking{false};
    std::atomic<pid_t> forking_pid{0};

    // A forked child's copy of a run. The pid is asked only while a fork is in progress.
    bool abandoned() const noexcept {
        return forking.load(std::memory_order_acquire) &&
               getpid() != forking_pid.load(std::memory_order_relaxed);
    }

    // From a recording callback: resumes the export threads parked in this run, if any. Never
    // raises.
    void resume_parked_export() noexcept {
        if (parked.load(std::memory_order_relaxed) == nullptr) return;
        if (forking.load(std::memory_order_relaxed)) return;
        // One of the recording threads that get here at once resumes them.
        if (ParkedExport* run = parked.exchange(nullptr, std::memory_order_acq_rel)) {
            run->resume_parked();
        }
    }

    // Callbacks currently inside the cold recording path (the part that can run Python code and
    // so can be paused by the interpreter). The stop sequence waits for 0 before it flushes the
    // threads' batches; see monitoring.cc.
    std::atomic<uint32_t> cold_in_flight{0};
};

}  // namespace vespra
