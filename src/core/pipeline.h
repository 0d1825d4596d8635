// The export pipeline: two threads that move events from the EventQueue to a trace writer.
//
// run_pipeline is the whole body of the exporter thread ("vespra-exporter"). It starts the
// serializer thread ("vespra-serializer"), which drains the queue into vectors of Events and
// ships them through the `filled` ring; the exporter thread hands each vector to the writer and
// returns it through `spare`. Both poll with a 20..200 us back-off; neither blocks on a
// condition. The orderly end is driven by EventQueue::close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/evqueue.h"
#include "core/io_error.h"
#include "core/sink.h"

namespace vespra::pipeline {

inline constexpr size_t VECTOR_RING_CAPACITY = 256;
inline constexpr size_t DRAIN_BUDGET = 4096;

Status run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                    std::shared_ptr<const ThreadNames> names, std::unique_ptr<Exporter> exporter);

// Names the calling thread, as much of `name` as the platform keeps (15 bytes on Linux).
void set_current_thread_name(const char* name);

}  // namespace vespra::pipeline
