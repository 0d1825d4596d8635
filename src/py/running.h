// A started run: its registration, its queue and shared State, its export threads and the part
// its writer fills. The lifecycle (tracer.h) starts and stops it; export_threads.h parks its
// export threads across a fork and resumes them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

#include "core/evqueue.h"
#include "core/io_error.h"
#include "core/parts.h"
#include "core/ring.h"
#include "core/sink.h"
#include "py/monitoring.h"
#include "py/state.h"

namespace vespra {

// What the exporter thread leaves behind: its result, or none when it ended by an exception;
// and, after a pause, the writer for the next exporter thread of the run.
struct ExporterOutcome {
    std::optional<Status> status;
    std::unique_ptr<Exporter> writer;  // the thread's while it runs
    // How deep the written slices went beyond what viewers keep (FilteringExporter), once the
    // writer has finished.
    std::shared_ptr<uint32_t> deepest_past_viewers = std::make_shared<uint32_t>(0);
};

// A started run. Releasing it only releases what it references: the callbacks stay registered,
// the queue stays open and the exporter thread (detached) keeps waiting. Only the stop sequence
// unregisters, closes and joins. Released on a thread attached to the interpreter.
struct Running final : ParkedExport {
    std::optional<monitoring::MonitoringHandle> monitoring;  // empty while suspended for a fork
    std::shared_ptr<EventQueue> queue;
    std::shared_ptr<State> state;
    std::thread exporter;
    std::shared_ptr<ExporterOutcome> outcome;  // complete once `exporter` has been joined
    // The part the writer fills, joined into the output by the stop once the writer is done;
    // none for an output that takes no parts.
    parts::OwnPart part;
    // A flight ring run's ring and dumps, kept by its exporter thread; null for a run that
    // writes as it records.
    std::shared_ptr<RingKeeper> ring;

    Running() = default;
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    // Spawns the exporter thread of this run, which a fork parked (export_threads.cc).
    void resume_parked() noexcept override;

    ~Running() {
        // Parked, nothing may resume it any more.
        ParkedExport* self = this;
        if (state) state->parked.compare_exchange_strong(self, nullptr);
        if (exporter.joinable()) exporter.detach();
    }
};

}  // namespace vespra
