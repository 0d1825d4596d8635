// The flight ring: a run that keeps its newest events in memory, up to a size, and writes them
// only when asked (a dump), and once more at its stop.
//
// FlightRing holds the batches the threads recorded, packed as recorded (8 bytes an event), and
// drops the oldest batch when a new one would pass the size. A dropped batch is walked once, for
// what a dump needs of the time before its window: each thread's stack of frames still open (a
// begin and its payload per frame), and the mark nesting's state (see marks.h). That walk is the
// only work the ring does per event; decoding and writing wait for a dump.
//
// A Window is what a dump writes: the batches held at one instant (shared with the ring, which
// goes on taking and dropping batches meanwhile), the copies of the batches the threads were
// filling, and the state at its start. write_window makes it a trace of its own: a begin stamped
// at the window's start for each frame already open then, the window's events, and (through the
// FilteringExporter the caller puts in front of the writer) an end at the dump's instant for each
// frame still open.
//
// RingKeeper is the whole body of the exporter thread of such a run, in place of the export
// pipeline: it moves the threads' batches into the ring, takes a window when a dump is asked for
// and hands it to a thread of its own that writes it, and at the stop writes the last window
// through the run's own writer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/event.h"
#include "core/evqueue.h"
#include "core/io_error.h"
#include "core/marks.h"
#include "core/sink.h"
#include "core/slice_filter.h"

namespace vespra {

// A batch's share of the ring's size: its storage, whatever it holds.
inline constexpr uint64_t RING_BYTES_PER_BATCH = EventBatch::CAPACITY * sizeof(PackedEvent);

// The frames of one thread that were open before a window, outermost first.
struct OpenFrames {
    std::vector<Event> begins;    // each frame's begin, then its payload slots
    std::vector<uint32_t> starts;  // the index in `begins` of each frame's begin
    uint64_t last_ts = 0;          // the thread's latest event before the window
    bool payload_opens = false;    // the payload slots that follow belong to the last begin
};

struct Window {
    std::vector<std::shared_ptr<const EventBatch>> batches;  // in the order they were recorded
    std::unordered_map<uint32_t, OpenFrames> open;
    marks::MarkNesting nesting;  // at the window's start
    uint64_t start = 0;          // nanoseconds: the oldest event held, 0 with none
    uint64_t left_out = 0;       // events the ring dropped before the window
    uint64_t events = 0;
};

class FlightRing {
  public:
    explicit FlightRing(uint64_t capacity_bytes) : capacity_(capacity_bytes) {}

    // Takes `batch`, dropping the oldest batches while the ring would pass its size.
    void add(std::unique_ptr<EventBatch> batch, const EventQueue& queue);
    // The batches held now and the state at their start; `partial` (copies of the batches being
    // filled) join them at the end.
    Window window(const EventQueue& queue,
                  std::vector<std::unique_ptr<EventBatch>> partial) const;

    uint64_t bytes() const { return bytes_; }
    uint64_t left_out() const { return left_out_; }
    // A batch for a thread to fill: one the ring dropped and no dump holds, else a new one,
    // brought into memory here.
    std::unique_ptr<EventBatch> spare();

  private:
    void drop_oldest(const EventQueue& queue);
    void follow(OpenFrames& t, const Event& e);

    uint64_t capacity_;
    uint64_t bytes_ = 0;
    uint64_t left_out_ = 0;
    std::deque<std::shared_ptr<const EventBatch>> batches_;
    std::unordered_map<uint32_t, OpenFrames> open_;
    marks::MarkNesting nesting_;
    std::vector<Event> scratch_;
    std::vector<std::unique_ptr<EventBatch>> spare_;
};

// Writes `window` through `writer`, which ends the slices still open at the dump's instant when
// it finishes, with `totals` (the ring's count added).
Status write_window(const Window& window, const EventQueue& queue, Exporter& writer,
                    const CodeLookup& codes, const ThreadNames& names, RunTotals totals);

// What a dump produced: the path written, or why not.
struct DumpOutcome {
    std::string path;
    std::string error;  // empty on success
    uint64_t events = 0;
    double snapshot_seconds = 0;  // taking the window
    double write_seconds = 0;     // writing it
};

// Dump requests and their answers. A request without a path that arrives while a dump is being
// taken or written is folded into it; one with a path of its own gets a dump of its own.
class DumpDesk {
  public:
    // From any thread. `announce`: the process says on standard error where it went (nobody
    // waits for the answer). Returns a ticket for wait().
    uint64_t request(std::optional<std::string> path, bool announce);
    // Waits for the dump that answers `ticket`.
    DumpOutcome wait(uint64_t ticket);

    // The keeper's side. The next dump to take, if any and none is running: its path (none for
    // a derived one) and whether to announce it.
    struct Next {
        std::optional<std::string> path;
        bool announce = false;
    };
    std::optional<Next> begin_next();
    // Answers the requests of the running dump; true when one of them asked for an announcement.
    bool finish(const DumpOutcome& outcome);
    // At the run's stop: requests without a path of their own are answered by the final window
    // (written to `output`); the others are refused, and so is every later one.
    void finish_all(const std::string& output, const std::string& refusal);
    bool pending() const;

  private:
    struct Request {
        uint64_t ticket;
        std::optional<std::string> path;
        bool announce;
    };
    mutable std::mutex mutex_;
    std::condition_variable answered_;
    std::vector<Request> pending_;
    std::optional<std::vector<Request>> running_;  // the requests the running dump answers
    std::map<uint64_t, DumpOutcome> answers_;
    uint64_t next_ticket_ = 1;
    bool stopped_ = false;  // finish_all has run
};

// The path of the `sequence`th dump of process `pid` of a run writing to `output`: the process
// id and the number go before the file name's extension ("t.pb" -> "t.1234.1.pb", "trace" ->
// "trace.1234.1").
std::string dump_path(const std::string& output, uint32_t pid, uint64_t sequence);

// How a ring run writes: its size, its output (the final window), and a fresh writer for each
// dump's file.
struct RingSettings {
    uint64_t bytes = 0;
    SliceLimits limits;  // the run's, for every dump
    std::string output;
    std::function<Result<std::unique_ptr<Exporter>>(const std::string& path)> open_dump;
    // Called on the dump's thread with each dump that was announced.
    std::function<void(const DumpOutcome&)> announce;
};

// The ring, its requests and its dump thread: lives as long as the run, across the exporter
// threads that a fork's pause ends and restarts.
class RingKeeper {
  public:
    RingKeeper(RingSettings settings, std::shared_ptr<EventQueue> queue)
        : settings_(std::move(settings)), queue_(std::move(queue)), ring_(settings_.bytes) {}
    ~RingKeeper() { join_dump(); }

    // The body of the exporter thread: returns once the queue is closed and the last window is
    // written through `writer` and finished, or paused (the writer kept for the next thread).
    Status run(std::shared_ptr<const CodeLookup> codes, std::shared_ptr<const ThreadNames> names,
               std::unique_ptr<Exporter>& writer);

    // Asks for a dump (see DumpDesk::request) and wakes the keeper.
    uint64_t request(std::optional<std::string> path, bool announce) {
        uint64_t ticket = desk_.request(std::move(path), announce);
        queue_->wake_consumer();
        return ticket;
    }
    DumpOutcome wait(uint64_t ticket) { return desk_.wait(ticket); }
    // From a signal handler: async-signal-safe; the keeper of the process's ring run takes it
    // up within a few milliseconds.
    static void request_from_signal();
    // Forgets a request from a signal that came before this process's run (a forked child's).
    static void clear_signal();

  private:
    void take_batches();
    void start_dump(const std::shared_ptr<const CodeLookup>& codes,
                    const std::shared_ptr<const ThreadNames>& names, DumpDesk::Next next);
    void join_dump();

    RingSettings settings_;
    std::shared_ptr<EventQueue> queue_;
    FlightRing ring_;
    DumpDesk desk_;
    std::thread dumper_;
    std::atomic<bool> dumping_{false};
    uint64_t sequence_ = 0;
    std::vector<std::unique_ptr<EventBatch>> taken_;
};

}  // namespace vespra
