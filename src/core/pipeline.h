// The export pipeline: two threads that move events from the EventQueue to a trace writer.
//
// run_pipeline is the whole body of the exporter thread ("vespra-exporter"). It starts the
// serializer thread ("vespra-serializer"), which drains the queue into vectors of Events and
// ships them through the `filled` ring; the exporter thread hands each vector to the writer and
// returns it through `spare`, and has the writer flush what it gathered once no vector has come
// for 20 ms (and before a pause). Neither polls: the serializer sleeps until a producer's ring
// reaches its mark (or a flush, a blocked producer, the close), the exporter until 4 vectors
// wait for it or the serializer runs dry, each with a 50 ms timeout. When `filled` is full the
// serializer waits for the exporter instead of dropping a vector, so the backlog of a slow writer
// builds up, packed, in the recording threads' rings. The orderly end is driven by
// EventQueue::close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/evqueue.h"
#include "core/io_error.h"
#include "core/sink.h"
#include "core/spsc.h"

namespace vespra::pipeline {

inline constexpr size_t VECTOR_RING_CAPACITY = 256;
inline constexpr size_t DRAIN_BUDGET = 4096;

// Decoded events travel between the two threads in vectors that are recycled, never freed in
// steady state: `filled` carries them to the writer, `spare` brings them back.
using EventVector = std::vector<Event>;
using VectorRing = SpscRing<EventVector, VECTOR_RING_CAPACITY>;

// The whole body of the exporter thread; returns when the queue has been closed and drained
// and the writer finished (the queue's dropped() then counts every event lost on the way), or at
// the first failure (the writer is then not finished, and the serializer is left to end by itself
// once the queue closes). The exporter is destroyed, and its file released, before this returns.
// Naming the calling thread is the caller's business.
Status run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                    std::shared_ptr<const ThreadNames> names, std::unique_ptr<Exporter> exporter);

// The same, with the writer left to the caller across a pause (EventQueue::pause): the pipeline
// then ends once what was pushed before the pause is written, returns success without finishing
// the writer, and leaves it in `exporter`; the events it lost are added to the queue's dropped
// count. At any other end the writer is destroyed before this returns.
Status run_pausable_pipeline(std::shared_ptr<EventQueue> queue,
                             std::shared_ptr<const CodeLookup> codes,
                             std::shared_ptr<const ThreadNames> names,
                             std::unique_ptr<Exporter>& exporter);

// Serializer side once the writer has failed: hands `events` to `filled` if it has room and
// returns the vector to fill next, recycled from `spare` when one is there, else new. When
// `filled` is full the events are lost: their count is added to `lost` and the same vector
// comes back.
EventVector ship(VectorRing::Producer& filled, VectorRing::Consumer& spare, EventVector events,
                 uint64_t& lost);

// Names the calling thread, as much of `name` as the platform keeps (15 bytes on Linux).
void set_current_thread_name(const char* name);

}  // namespace vespra::pipeline
