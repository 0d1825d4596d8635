#include "core/pipeline.h"

#include <pthread.h>
#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/spsc.h"
#include "core/wake.h"

namespace vespra::pipeline {

namespace {

// How long an idle thread sleeps when nothing wakes it. Producers wake the serializer when a
// ring reaches its mark, and the serializer wakes the exporter when it ships; the timeout only
// bounds how long a trickle of batches below the mark waits in its ring.
constexpr auto IDLE_TIMEOUT = std::chrono::milliseconds(50);
// The serializer wakes a sleeping exporter when this many vectors wait for it (or when it has
// drained everything there was).
constexpr size_t EXPORT_WAKE_AT_VECTORS = 4;
// How long the exporter waits for more batches before it writes out what its writer gathered.
constexpr auto FLUSH_DELAY = std::chrono::milliseconds(20);
// A serializer waiting for the exporter to take a vector re-checks this often.
constexpr auto ROOM_RECHECK = std::chrono::milliseconds(10);

EventVector new_vector() {
    EventVector v;
    v.reserve(DRAIN_BUDGET);
    return v;
}

// What the two threads share besides the rings. `finished` is the serializer's last act,
// published with release, so the exporter thread may read the rest once it has seen it.
struct SerializerOutcome {
    std::atomic<bool> finished{false};
    bool panicked = false;
    uint64_t lost = 0;
    Doorbell exporter_bell;  // rung by the serializer when it ships and when it finishes
    Gate vector_room;        // opened by the exporter when it takes a vector
    std::atomic<bool> writer_failed{false};  // the exporter stopped taking vectors
};

// Ships `events`, waiting while the exporter has none of `filled` free. The serializer never
// drops decoded events for a slow writer: it stops draining, and the backlog stays in the
// recording threads' rings, packed at half the size, where a full ring costs a batch (or, on a
// lossless queue, makes its thread wait). Only once the writer has failed are vectors dropped.
EventVector ship_waiting(VectorRing::Producer& filled, VectorRing::Consumer& spare,
                         EventVector events, uint64_t& lost, SerializerOutcome& shared) {
    shared.vector_room.enter();
    bool pushed = false;
    while (!pushed && !shared.writer_failed.load(std::memory_order_acquire)) {
        uint32_t seen = shared.vector_room.sequence();
        pushed = filled.push(events);
        if (!pushed) {
            shared.exporter_bell.ring();
            shared.vector_room.sleep(seen, ROOM_RECHECK);
        }
    }
    shared.vector_room.leave();
    if (!pushed) return ship(filled, spare, std::move(events), lost);  // the writer failed
    if (std::optional<EventVector> recycled = spare.pop()) return std::move(*recycled);
    return new_vector();
}

uint64_t serialize(EventQueue& queue, VectorRing::Producer& filled, VectorRing::Consumer& spare,
                   SerializerOutcome& shared) {
    EventVector events = new_vector();
    uint64_t lost = 0;
    // The exporter is woken once a few vectors wait, and whenever the serializer runs dry.
    auto ship_one = [&] {
        events = ship_waiting(filled, spare, std::move(events), lost, shared);
        if (filled.backlog() >= EXPORT_WAKE_AT_VECTORS) shared.exporter_bell.ring();
    };
    for (;;) {
        events.clear();
        if (queue.drain_nonblocking(events, DRAIN_BUDGET) > 0) {
            ship_one();
            continue;
        }
        if (queue.closed() || queue.paused()) {
            // Everything pushed before the close is in the rings now: drain until dry.
            for (;;) {
                events.clear();
                if (queue.drain_nonblocking(events, DRAIN_BUDGET) == 0) return lost;
                ship_one();
            }
        }
        shared.exporter_bell.ring();
        queue.wait_for_work(IDLE_TIMEOUT);
    }
}

// Asks the scheduler for short time slices on the calling thread, so that its wake-ups take a
// core promptly even when the traced program keeps every core busy. The serializer wakes when
// a ring has filled to its mark, works briefly and sleeps again; with the default slice a wake-up
// waited behind a busy thread for up to a whole slice, which on two cores oversubscribed by four
// recording threads came to 6-9 ms -- long enough for a recording thread to fill its ring (64
// batches then), so whole batches were dropped. Linux 6.12 and later honour a fair-class thread's
// requested runtime as its slice (unprivileged, 0.1 ms is the shortest); earlier kernels ignore
// it, and a failure only leaves the default.
void request_short_slices() {
#if defined(__linux__) && defined(SYS_sched_setattr)
    struct SchedAttr {  // struct sched_attr, up to sched_period (SCHED_ATTR_SIZE_VER0)
        uint32_t size;
        uint32_t sched_policy;
        uint64_t sched_flags;
        int32_t sched_nice;
        uint32_t sched_priority;
        uint64_t sched_runtime;
        uint64_t sched_deadline;
        uint64_t sched_period;
    };
    // SCHED_FLAG_KEEP_POLICY, which newer C libraries define as a macro and older ones not at all.
    constexpr uint64_t KEEP_POLICY_FLAG = 0x08;
    constexpr uint64_t SHORTEST_SLICE_NANOS = 100000;
    auto tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, tid);  // the call also sets the nice value: keep it
    if (nice == -1 && errno != 0) return;
    SchedAttr attr{};
    attr.size = sizeof attr;
    attr.sched_flags = KEEP_POLICY_FLAG;
    attr.sched_nice = nice;
    attr.sched_runtime = SHORTEST_SLICE_NANOS;
    (void)syscall(SYS_sched_setattr, tid, &attr, 0u);
#endif
}

void serializer_main(std::shared_ptr<EventQueue> queue, VectorRing::Producer filled,
                     VectorRing::Consumer spare, std::shared_ptr<SerializerOutcome> outcome) {
    set_current_thread_name("vespra-serializer");
    request_short_slices();
    try {
        outcome->lost = serialize(*queue, filled, spare, *outcome);
    } catch (...) {
        // Nothing may unwind out of a thread body; the exporter thread reports it instead.
        outcome->panicked = true;
    }
    // Producers of a lossless queue waiting for room must not wait for a drain that never comes.
    // A pause is not such an end: the serializer of the resumed pipeline drains for them.
    if (!queue->paused() || queue->closed() || outcome->panicked) queue->abandon();
    outcome->finished.store(true, std::memory_order_release);
    outcome->exporter_bell.ring();
}

}  // namespace

Status run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                    std::shared_ptr<const ThreadNames> names, std::unique_ptr<Exporter> exporter) {
    // Held here so that the writer, and with it the output file, is released before this
    // function returns, whatever the outcome.
    std::unique_ptr<Exporter> writer = std::move(exporter);
    return run_pausable_pipeline(std::move(queue), std::move(codes), std::move(names), writer);
}

Status run_pausable_pipeline(std::shared_ptr<EventQueue> queue,
                             std::shared_ptr<const CodeLookup> codes,
                             std::shared_ptr<const ThreadNames> names,
                             std::unique_ptr<Exporter>& exporter) {
    // Released before this function returns, unless the pipeline ends for a pause.
    struct Release {
        std::unique_ptr<Exporter>& writer;
        bool keep = false;
        ~Release() {
            if (!keep) writer.reset();
        }
    } release{exporter};
    Exporter* writer = exporter.get();

    auto [filled_in, filled_out] = VectorRing::make();
    auto [spare_in, spare_out] = VectorRing::make();
    auto outcome = std::make_shared<SerializerOutcome>();

    std::thread serializer;
    try {
        serializer = std::thread(serializer_main, queue, std::move(filled_in), std::move(spare_out),
                                 outcome);
    } catch (const std::system_error& e) {
        // The thread library reports pthread_create's errno; carry it as the OS describes it.
        return IoError::other(IoError::os(e.code().value()).text());
    }

    // Writes one vector, or (with nullptr) what the writer held back; on failure the serializer
    // is left to run until the queue closes (it never blocks on the exporter after that, and
    // it ends by itself), and the writer is not finished.
    auto write = [&](const EventVector* events) -> Status {
        Status s = events ? writer->write_batch(*events, *codes, *names) : writer->flush();
        if (!s.ok()) {
            outcome->writer_failed.store(true, std::memory_order_release);
            outcome->vector_room.open();
        }
        return s;
    };

    bool held_back = false;  // written to the writer since its last flush
    std::optional<std::chrono::steady_clock::time_point> idle_since;  // with bytes held back
    for (;;) {
        if (std::optional<EventVector> events = filled_out.pop()) {
            outcome->vector_room.open();
            if (Status s = write(&*events); !s.ok()) {
                serializer.detach();
                return s;
            }
            held_back = true;
            idle_since.reset();
            (void)spare_in.push(*events);  // a full `spare` frees the vector instead
            continue;
        }
        if (outcome->finished.load(std::memory_order_acquire)) break;
        // What the writer gathered goes to the file once no batch has come for FLUSH_DELAY. Not
        // at once: the serializer ships a few vectors at each wake-up, and a flush after each
        // group would keep the writes small.
        auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(IDLE_TIMEOUT);
        if (held_back) {
            auto now = std::chrono::steady_clock::now();
            if (!idle_since) idle_since = now;
            auto idle = now - *idle_since;
            if (idle >= FLUSH_DELAY) {
                held_back = false;
                idle_since.reset();
                if (Status s = write(nullptr); !s.ok()) {
                    serializer.detach();
                    return s;
                }
                continue;
            }
            timeout = std::chrono::duration_cast<std::chrono::microseconds>(FLUSH_DELAY - idle) +
                      std::chrono::microseconds(1);
        }
        outcome->exporter_bell.sleep_unless(
            [&] {
                return !filled_out.empty() || outcome->finished.load(std::memory_order_acquire);
            },
            timeout);
    }

    // The serializer may have shipped between our last empty pop and its finishing.
    while (std::optional<EventVector> events = filled_out.pop()) {
        if (Status s = write(&*events); !s.ok()) {
            serializer.join();  // it has finished already
            return s;
        }
    }

    serializer.join();
    if (outcome->panicked) return IoError::other("serializer panicked");
    if (!queue->closed()) {
        // Paused: everything pushed before the pause is written; the writer goes on later.
        if (Status s = write(nullptr); !s.ok()) return s;
        queue->add_dropped(outcome->lost);
        release.keep = true;
        return Status::success();
    }
    // The queue's count becomes the run's whole loss, for the stop to report.
    queue->add_dropped(outcome->lost);
    RunTotals totals(queue->dropped());
    totals.left_out.filter = queue->left_out();
    return writer->finish(*codes, *names, totals);
}

EventVector ship(VectorRing::Producer& filled, VectorRing::Consumer& spare, EventVector events,
                 uint64_t& lost) {
    size_t n = events.size();
    if (!filled.push(events)) {
        lost += n;
        return events;
    }
    if (std::optional<EventVector> recycled = spare.pop()) return std::move(*recycled);
    return new_vector();
}

void set_current_thread_name(const char* name) {
#if defined(__linux__)
    // Linux keeps 15 bytes and rejects longer names outright: set the longest prefix it takes.
    char buf[16];
    size_t len = std::min(std::strlen(name), sizeof buf - 1);
    std::memcpy(buf, name, len);
    buf[len] = '\0';
    (void)pthread_setname_np(pthread_self(), buf);
#elif defined(__APPLE__)
    (void)pthread_setname_np(name);
#else
    (void)name;
#endif
}

}  // namespace vespra::pipeline
