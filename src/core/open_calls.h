// Calls still running when a run stops. A run that starts inside calls records a begin for each,
// stamped at the start, so every end in the trace has its begin; this is the other half: the
// export side follows, per thread, the calls begun and not yet ended in what it writes, and at
// the end of the run gives each an end stamped at the stop. A trace of a run that stopped then
// has no slice without an end (viewers show those as "did not end", and trace_processor gives
// them a duration of -1, which breaks SQL over the trace). Only a process that dies without
// stopping its run leaves begins open.
//
// Kept off the recording path: it runs on the exporter thread, a few instructions per event with
// no branch on the event's kind (begins and ends alternate unpredictably; a branch on them cost
// as much as the protobuf writer's own work, bench/proto_bench.cc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/event.h"
#include "core/io_error.h"
#include "core/sink.h"

namespace vespra {

class OpenCalls {
  public:
    // Follows `events`: a start, resume or throw (or a span's begin) opens a call on its
    // thread, a return, yield or unwind (or a span's end) closes the innermost one; other marks
    // do neither. An end with nothing open is ignored.
    void observe(std::span<const Event> events);

    // One return per call still open, innermost first on each thread, threads by ascending id,
    // stamped at `stop` (or at the thread's last event, if a reading of another CPU put that
    // later). Nothing is open afterwards.
    std::vector<Event> close_all(uint64_t stop);

    size_t open() const;

  private:
    struct Thread {
        // codes[0, depth) are the words (kind and code) of the open slices' begins, outermost
        // first. Always longer than depth, so that an event can write its word at codes[depth]
        // before it is known whether it opens a call.
        std::vector<uint32_t> codes = std::vector<uint32_t>(64);
        size_t depth = 0;
        uint64_t last_ts = 0;  // a thread's events come in recording order: its latest
    };
    Thread& thread(uint32_t tid);

    std::unordered_map<uint32_t, Thread> threads_;
    // Batches come a thread at a time: the thread of the previous event is looked up once.
    Thread* last_ = nullptr;
    uint32_t last_tid_ = 0;
};

// A writer around another that hands it every batch unchanged and, before finishing, one batch
// of ends for the calls still open, stamped at the time `stop_time` gives then (the run's stop).
// Pauses pass through: the open calls are kept across them, with the writer.
class ClosingExporter final : public Exporter {
  public:
    ClosingExporter(std::unique_ptr<Exporter> inner, std::function<uint64_t()> stop_time);

    Status write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& names) override;
    Status flush() override;
    Status finish(const CodeLookup& codes, const ThreadNames& names,
                  const RunTotals& totals) override;

  private:
    std::unique_ptr<Exporter> inner_;
    std::function<uint64_t()> stop_time_;
    OpenCalls open_;
};

}  // namespace vespra
