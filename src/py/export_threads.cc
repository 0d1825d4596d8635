#include "py/export_threads.h"

#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/pipeline.h"
#include "py/child_exit.h"
#include "py/host.h"
#include "py/signals.h"

namespace vespra {

namespace {

// The exporter thread's body: names the thread and runs the pipeline. Every reference it was
// given is moved into run_pipeline, whose parameters die when it returns: the thread holds
// nothing of the run once it has ended, so the last reference to the State is always dropped by
// a thread attached to the interpreter.
void exporter_main(std::shared_ptr<EventQueue> queue, std::shared_ptr<State> state,
                   std::shared_ptr<ExporterOutcome> outcome, std::shared_ptr<RingKeeper> ring) {
    pipeline::set_current_thread_name("vespra-exporter");
    try {
        std::shared_ptr<const CodeLookup> codes = state;
        std::shared_ptr<const ThreadNames> names = std::move(state);
        outcome->status =
            ring ? ring->run(std::move(codes), std::move(names), outcome->writer)
                 : pipeline::run_pausable_pipeline(std::move(queue), std::move(codes),
                                                   std::move(names), outcome->writer);
    } catch (...) {
        // Ended abnormally: `status` stays empty and the stop sequence reports it.
        outcome->writer.reset();
    }
}

}  // namespace

namespace export_threads {

// Starts the run's exporter thread over the writer in its outcome. False with `error` set when
// the thread cannot be created; the writer then stays where it was.
bool spawn(Running& run, std::string* error) {
    run.outcome->status.reset();
    try {
        SignalsBlocked blocked;
        run.exporter = std::thread(exporter_main, run.queue, run.state, run.outcome, run.ring);
        return true;
    } catch (const std::system_error& e) {
        *error = e.code().category() == std::generic_category() ||
                         e.code().category() == std::system_category()
                     ? IoError::os(e.code().value()).text()
                     : std::string(e.what());
        return false;
    }
}

void park(Running& run) {
    if (!run.exporter.joinable()) return;
    {
        host::Detached detached;
        run.queue->pause();
        run.exporter.join();
        run.queue->resume();
    }
    // A pipeline that failed keeps its result for the stop sequence to report, and stays down.
    if (run.outcome->status && run.outcome->status->ok() && run.outcome->writer) {
        run.state->parked.store(&run, std::memory_order_release);
    }
}

bool resume(Running& run, std::string* error) {
    if (run.state->parked.exchange(nullptr, std::memory_order_acq_rel) == nullptr) return true;
    if (spawn(run, error)) return true;
    run.state->parked.store(&run, std::memory_order_release);
    return false;
}

}  // namespace export_threads

void Running::resume_parked() noexcept {
    std::string error;
    if (!export_threads::spawn(*this, &error)) {
        // The run stays parked: the next batch, or the stop, tries again.
        state->parked.store(this, std::memory_order_release);
        return;
    }
    tracer::resume_sigterm_watcher();
}

}  // namespace vespra
