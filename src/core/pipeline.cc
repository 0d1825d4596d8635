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
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/spsc.h"

namespace vespra::pipeline {

namespace {

constexpr auto MIN_BACKOFF = std::chrono::microseconds(20);
constexpr auto MAX_BACKOFF = std::chrono::microseconds(200);

// Sleeps for the current delay and doubles it, up to the ceiling: an idle thread notices new
// work within 200 us and wakes at most 5000 times a second.
class Backoff {
  public:
    void reset() { delay_ = MIN_BACKOFF; }
    void wait() {
        std::this_thread::sleep_for(delay_);
        delay_ = std::min(delay_ * 2, MAX_BACKOFF);
    }

  private:
    std::chrono::microseconds delay_ = MIN_BACKOFF;
};

EventVector new_vector() {
    EventVector v;
    v.reserve(DRAIN_BUDGET);
    return v;
}

// What the serializer leaves behind. `finished` is its last act, published with release, so
// the exporter thread may read the rest once it has seen it.
struct SerializerOutcome {
    std::atomic<bool> finished{false};
    bool panicked = false;
    uint64_t lost = 0;
};

uint64_t serialize(EventQueue& queue, VectorRing::Producer& filled, VectorRing::Consumer& spare) {
    EventVector events = new_vector();
    uint64_t lost = 0;
    Backoff backoff;
    for (;;) {
        events.clear();
        if (queue.drain_nonblocking(events, DRAIN_BUDGET) > 0) {
            events = ship(filled, spare, std::move(events), lost);
            backoff.reset();
            continue;
        }
        if (queue.closed() || queue.paused()) {
            // Everything pushed before the close is in the rings now: drain until dry.
            for (;;) {
                events.clear();
                if (queue.drain_nonblocking(events, DRAIN_BUDGET) == 0) return lost;
                events = ship(filled, spare, std::move(events), lost);
            }
        }
        backoff.wait();
    }
}

// Asks the scheduler for short time slices on the calling thread, so that its wake-ups take a
// core promptly even when the traced program keeps every core busy. The serializer wakes every
// 20-200 us, works for a few microseconds and sleeps again; with the default slice a wake-up
// waited behind a busy thread for up to a whole slice, which on two cores oversubscribed by four
// recording threads came to 6-9 ms -- long enough for a recording thread to fill its 64-batch
// ring, so whole batches were dropped. Linux 6.12 and later honour a fair-class thread's
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
    constexpr uint64_t SCHED_FLAG_KEEP_POLICY = 0x08;
    constexpr uint64_t SHORTEST_SLICE_NANOS = 100000;
    auto tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, tid);  // the call also sets the nice value: keep it
    if (nice == -1 && errno != 0) return;
    SchedAttr attr{};
    attr.size = sizeof attr;
    attr.sched_flags = SCHED_FLAG_KEEP_POLICY;
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
        outcome->lost = serialize(*queue, filled, spare);
    } catch (...) {
        // Nothing may unwind out of a thread body; the exporter thread reports it instead.
        outcome->panicked = true;
    }
    outcome->finished.store(true, std::memory_order_release);
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

    // Writes one vector; on failure the serializer is left to run until the queue closes (it
    // never blocks, and it ends by itself), and the writer is not finished.
    auto write = [&](const EventVector& events) -> Status {
        return writer->write_batch(events, *codes, *names);
    };

    Backoff backoff;
    for (;;) {
        if (std::optional<EventVector> events = filled_out.pop()) {
            if (Status s = write(*events); !s.ok()) {
                serializer.detach();
                return s;
            }
            (void)spare_in.push(*events);  // a full `spare` frees the vector instead
            backoff.reset();
            continue;
        }
        if (outcome->finished.load(std::memory_order_acquire)) break;
        backoff.wait();
    }

    // The serializer may have shipped between our last empty pop and its finishing.
    while (std::optional<EventVector> events = filled_out.pop()) {
        if (Status s = write(*events); !s.ok()) {
            serializer.join();  // it has finished already
            return s;
        }
    }

    serializer.join();
    if (outcome->panicked) return IoError::other("serializer panicked");
    if (!queue->closed()) {
        // Paused: everything pushed before the pause is written; the writer goes on later.
        queue->add_dropped(outcome->lost);
        release.keep = true;
        return Status::success();
    }
    return writer->finish(*codes, *names, queue->dropped() + outcome->lost);
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
