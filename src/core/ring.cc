#include "core/ring.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/pipeline.h"
#include "core/slice_filter.h"
#include "core/tls.h"

namespace vespra {

namespace {

// How often an idle keeper looks for a signal's request (a request from the program wakes it).
constexpr auto KEEPER_LOOK = std::chrono::milliseconds(20);
// Dropped batches kept for the threads to fill again, at most.
constexpr size_t MAX_RING_SPARE = 256;
// Events handed to the writer at a time while a window is written.
constexpr size_t WRITE_CHUNK = 64 * 1024;

std::atomic<bool> SIGNALLED{false};
static_assert(std::atomic<bool>::is_always_lock_free);

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

// ---- the ring ----------------------------------------------------------------------------------

void FlightRing::add(std::unique_ptr<EventBatch> batch, const EventQueue& queue) {
    bytes_ += RING_BYTES_PER_BATCH;
    batches_.push_back(std::shared_ptr<const EventBatch>(std::move(batch)));
    while (bytes_ > capacity_ && !batches_.empty()) drop_oldest(queue);
}

void FlightRing::follow(OpenFrames& t, const Event& e) {
    uint8_t kind = kind_of(e.packed);
    if (kind == KIND_PAYLOAD) {
        if (t.payload_opens) t.begins.push_back(e);
        return;
    }
    t.payload_opens = false;
    if (OPENS_SLICE[kind]) {
        t.starts.push_back(static_cast<uint32_t>(t.begins.size()));
        t.begins.push_back(e);
        t.payload_opens = true;
    } else if (CLOSES_SLICE[kind] && !t.starts.empty()) {
        t.begins.resize(t.starts.back());
        t.starts.pop_back();
    }
}

std::unique_ptr<EventBatch> FlightRing::spare() {
    if (!spare_.empty()) {
        std::unique_ptr<EventBatch> batch = std::move(spare_.back());
        spare_.pop_back();
        return batch;
    }
    std::unique_ptr<EventBatch> batch = EventBatch::create(0, 0);
    std::memset(static_cast<void*>(batch->begin()), 0, RING_BYTES_PER_BATCH);
    return batch;
}

void FlightRing::drop_oldest(const EventQueue& queue) {
    std::shared_ptr<const EventBatch> batch = std::move(batches_.front());
    batches_.pop_front();
    bytes_ -= RING_BYTES_PER_BATCH;
    struct Recycle {
        std::shared_ptr<const EventBatch>& batch;
        std::vector<std::unique_ptr<EventBatch>>& spare;
        // Unless a dump's window holds it too: its storage goes to a thread again.
        ~Recycle() {
            if (batch.use_count() != 1 || spare.size() >= MAX_RING_SPARE) return;
            auto shell = std::make_unique<EventBatch>();
            shell->events = std::move(const_cast<EventBatch&>(*batch).events);
            spare.push_back(std::move(shell));
        }
    } recycle{batch, spare_};
    if (batch->count == 0) return;
    OpenFrames& t = open_[batch->tid];
    const PackedEvent* events = batch->events.get();
    if (batch->marks || nesting_.follows(batch->tid)) [[unlikely]] {
        // The nesting rewrites the stream (spans ended with their frame, opened again at a
        // resume): follow what a dump would have written.
        scratch_.clear();
        queue.decode_into(*batch, scratch_, nesting_);
        for (const Event& e : scratch_) {
            follow(t, e);
            if (kind_of(e.packed) != KIND_PAYLOAD) t.last_ts = e.ts;
        }
        for (uint32_t i = 0; i < batch->count; ++i)
            left_out_ += kind_of(events[i].packed) != KIND_PAYLOAD;
    } else {
        for (uint32_t i = 0; i < batch->count; ++i) {
            uint32_t word = events[i].packed;
            uint8_t kind = kind_of(word);
            if (OPENS_SLICE[kind]) {
                t.starts.push_back(static_cast<uint32_t>(t.begins.size()));
                t.begins.push_back(Event(0, batch->tid, word));
            } else if (CLOSES_SLICE[kind] && !t.starts.empty()) {
                t.begins.resize(t.starts.back());
                t.starts.pop_back();
            }
        }
        t.payload_opens = false;
        t.last_ts = queue.clock().to_nanos(batch->base + events[batch->count - 1].delta);
        left_out_ += batch->count;
    }
}

Window FlightRing::window(const EventQueue& queue,
                          std::vector<std::unique_ptr<EventBatch>> partial) const {
    Window w;
    w.batches.reserve(batches_.size() + partial.size());
    w.batches.assign(batches_.begin(), batches_.end());
    for (std::unique_ptr<EventBatch>& b : partial) w.batches.emplace_back(std::move(b));
    w.open = open_;
    w.nesting = nesting_;
    w.left_out = left_out_;
    uint64_t oldest = UINT64_MAX;
    for (const auto& b : w.batches) {
        if (b->count == 0) continue;
        w.events += b->count;
        oldest = std::min(oldest, b->base);
    }
    if (oldest != UINT64_MAX) w.start = queue.clock().to_nanos(oldest);
    return w;
}

Status write_window(const Window& window, const EventQueue& queue, Exporter& writer,
                    const CodeLookup& codes, const ThreadNames& names, RunTotals totals) {
    std::vector<Event> out;
    // The frames open before the window begin at its start (or after their thread's last event
    // before it, when a batch of another thread that reaches further back is still held).
    std::vector<uint32_t> tids;
    for (const auto& [tid, frames] : window.open)
        if (!frames.starts.empty()) tids.push_back(tid);
    std::sort(tids.begin(), tids.end());
    for (uint32_t tid : tids) {
        const OpenFrames& frames = window.open.at(tid);
        uint64_t ts = std::max(window.start, frames.last_ts);
        for (Event e : frames.begins) {
            if (kind_of(e.packed) != KIND_PAYLOAD) e.ts = ts;
            out.push_back(e);
        }
    }
    if (!out.empty()) {
        if (Status s = writer.write_batch(out, codes, names); !s.ok()) return s;
        out.clear();
    }
    marks::MarkNesting nesting = window.nesting;
    out.reserve(WRITE_CHUNK + EventBatch::CAPACITY);
    for (const auto& batch : window.batches) {
        queue.decode_into(*batch, out, nesting);
        if (out.size() >= WRITE_CHUNK) {
            if (Status s = writer.write_batch(out, codes, names); !s.ok()) return s;
            out.clear();
        }
    }
    if (!out.empty()) {
        if (Status s = writer.write_batch(out, codes, names); !s.ok()) return s;
    }
    totals.left_out.ring += window.left_out;
    return writer.finish(codes, names, totals);
}

// ---- requests ----------------------------------------------------------------------------------

uint64_t DumpDesk::request(std::optional<std::string> path, bool announce) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t ticket = next_ticket_++;
    if (stopped_) {
        // No keeper will come: a request that raced with the stop is answered at once.
        if (!announce) answers_[ticket].error = "the run has stopped";
    } else if (!path && running_) {
        running_->push_back(Request{ticket, std::nullopt, announce});
    } else {
        pending_.push_back(Request{ticket, std::move(path), announce});
    }
    return ticket;
}

DumpOutcome DumpDesk::wait(uint64_t ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    answered_.wait(lock, [&] { return answers_.count(ticket) != 0; });
    DumpOutcome outcome = std::move(answers_[ticket]);
    answers_.erase(ticket);
    return outcome;
}

std::optional<DumpDesk::Next> DumpDesk::begin_next() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ || pending_.empty()) return std::nullopt;
    // The oldest request decides the path; every request without a path of its own joins it.
    Next next{pending_.front().path, false};
    std::vector<Request> taken;
    std::vector<Request> rest;
    for (size_t i = 0; i < pending_.size(); ++i) {
        bool joins = i == 0 || !pending_[i].path;
        (joins ? taken : rest).push_back(std::move(pending_[i]));
    }
    for (const Request& r : taken) next.announce = next.announce || r.announce;
    pending_ = std::move(rest);
    running_ = std::move(taken);
    return next;
}

bool DumpDesk::finish(const DumpOutcome& outcome) {
    bool announce = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return false;
        for (const Request& r : *running_) {
            announce = announce || r.announce;
            // Nobody waits for an announced request's answer.
            if (!r.announce) answers_[r.ticket] = outcome;
        }
        running_.reset();
    }
    answered_.notify_all();
    return announce;
}

void DumpDesk::finish_all(const std::string& output, const std::string& refusal) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Request& r : pending_) {
            if (r.announce) continue;
            DumpOutcome& answer = answers_[r.ticket];
            if (r.path) {
                answer.path = *r.path;
                answer.error = refusal;
            } else {
                answer.path = output;
            }
        }
        pending_.clear();
        stopped_ = true;
    }
    answered_.notify_all();
}

bool DumpDesk::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !pending_.empty();
}

std::string dump_path(const std::string& output, uint32_t pid, uint64_t sequence) {
    size_t name = output.rfind('/');
    name = name == std::string::npos ? 0 : name + 1;
    size_t dot = output.rfind('.');
    // A leading dot starts a hidden file's name, not its extension.
    if (dot == std::string::npos || dot <= name) dot = output.size();
    return output.substr(0, dot) + "." + std::to_string(pid) + "." + std::to_string(sequence) +
           output.substr(dot);
}

// ---- the keeper --------------------------------------------------------------------------------

void RingKeeper::request_from_signal() { SIGNALLED.store(true, std::memory_order_relaxed); }
void RingKeeper::clear_signal() { SIGNALLED.store(false, std::memory_order_relaxed); }

void RingKeeper::take_batches() {
    taken_.clear();
    queue_->drain_packed(taken_, [this] { return ring_.spare(); });
    for (std::unique_ptr<EventBatch>& batch : taken_) ring_.add(std::move(batch), *queue_);
    taken_.clear();
}

void RingKeeper::join_dump() {
    if (dumper_.joinable()) dumper_.join();
}

Status RingKeeper::run(std::shared_ptr<const CodeLookup> codes,
                       std::shared_ptr<const ThreadNames> names,
                       std::unique_ptr<Exporter>& writer) {
    EventQueue& queue = *queue_;
    for (;;) {
        take_batches();
        if (SIGNALLED.exchange(false, std::memory_order_relaxed)) desk_.request(std::nullopt, true);
        if (!dumping_.load(std::memory_order_acquire)) {
            join_dump();
            if (std::optional<DumpDesk::Next> next = desk_.begin_next())
                start_dump(codes, names, std::move(*next));
        }
        if (queue.closed() || queue.paused()) break;
        queue.wait_for_work(KEEPER_LOOK);
    }
    // A dump being written ends first; the ring goes on filling from what the stop flushed.
    join_dump();
    take_batches();
    if (!queue.closed()) return Status::success();  // paused: the next keeper goes on
    Window window = ring_.window(queue, {});
    RunTotals totals(queue.dropped());
    totals.left_out.filter = queue.left_out();
    Status status = write_window(window, queue, *writer, *codes, *names, totals);
    writer.reset();
    desk_.finish_all(settings_.output, "the run stopped before the dump was taken");
    return status;
}

void RingKeeper::start_dump(const std::shared_ptr<const CodeLookup>& codes,
                            const std::shared_ptr<const ThreadNames>& names, DumpDesk::Next next) {
    auto began = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<EventBatch>> partial =
        tls::copy_partials(queue_->id(), [this] { take_batches(); });
    uint64_t instant = queue_->clock().to_nanos(queue_->clock().raw());
    auto window = std::make_shared<Window>(ring_.window(*queue_, std::move(partial)));
    DumpOutcome outcome;
    outcome.snapshot_seconds = seconds_since(began);
    outcome.events = window->events;
    outcome.path = next.path ? *next.path
                             : dump_path(settings_.output, static_cast<uint32_t>(getpid()),
                                         ++sequence_);
    dumping_.store(true, std::memory_order_release);
    auto body = [this, window, codes, names, instant, outcome]() mutable {
        pipeline::set_current_thread_name("vespra-dump");
        auto began_writing = std::chrono::steady_clock::now();
        // Written beside its name and renamed when complete: a dump that exists is whole.
        std::string partial_path = outcome.path + ".partial";
        Result<std::unique_ptr<Exporter>> opened = settings_.open_dump(partial_path);
        if (!opened) {
            outcome.error = opened.error().text();
        } else {
            FilteringExporter writer(opened.take(), settings_.limits, [instant] { return instant; });
            RunTotals totals(queue_->dropped());
            totals.left_out.filter = queue_->left_out();
            Status status = write_window(*window, *queue_, writer, *codes, *names, totals);
            if (!status.ok()) outcome.error = status.error().text();
        }
        window.reset();  // the batches the ring dropped meanwhile are freed now
        if (outcome.error.empty() && std::rename(partial_path.c_str(), outcome.path.c_str()) != 0)
            outcome.error = IoError::os(errno).text();
        if (!outcome.error.empty()) (void)::unlink(partial_path.c_str());
        outcome.write_seconds = seconds_since(began_writing);
        if (desk_.finish(outcome) && settings_.announce) settings_.announce(outcome);
        dumping_.store(false, std::memory_order_release);
        queue_->wake_consumer();
    };
    try {
        dumper_ = std::thread(std::move(body));
    } catch (const std::system_error& e) {
        dumping_.store(false, std::memory_order_release);
        outcome.error = IoError::os(e.code().value()).text();
        if (desk_.finish(outcome) && settings_.announce) settings_.announce(outcome);
    }
}

}  // namespace vespra
