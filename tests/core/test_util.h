// Helpers shared by the recording-core, trace writers' and readers' tests: threads that record
// through the real queue, the export pipeline on a thread of its own, lookups with fixed
// contents, a temporary trace file, and a visitor that logs what a reader reports.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/evqueue.h"
#include "core/output.h"
#include "core/pipeline.h"
#include "core/sink.h"
#include "core/trace_reader.h"

namespace vespra::testing {

// Runs `fn` on a fresh thread (fresh HOT and COLD) and waits for it, exit flush included.
template <class F>
void on_new_thread(F fn) {
    std::thread(fn).join();
}

inline std::vector<Event> drain_all(EventQueue& queue) {
    std::vector<Event> out;
    while (queue.drain_nonblocking(out, 4096) != 0) {
    }
    return out;
}

// A queue whose timestamps equal the raw values the tests pass to record().
inline std::shared_ptr<EventQueue> identity_queue() {
    return std::make_shared<EventQueue>(NEXT_QUEUE_ID.fetch_add(1),
                                        Clock::monotonic_with_origin(0));
}

// `n` events at raw values first, first+1, ... with code ids seq0, seq0+1, ...
inline void record_run(EventQueue& queue, uint32_t n, uint64_t first = 1000, uint32_t seq0 = 0) {
    for (uint32_t i = 0; i < n; ++i) record(queue, first + i, pack_word(KIND_START, seq0 + i));
}

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits until `condition` holds, checking every millisecond; false if it still does not after
// `limit`. The limit only keeps a broken test from hanging: on a loaded machine another thread
// may take seconds to get a core, so a test waits for what it checks, never for a fixed time.
template <class Condition>
bool wait_until(Condition condition, std::chrono::seconds limit = std::chrono::seconds(120)) {
    auto give_up = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        sleep_ms(1);
    }
    return true;
}

// Event i of a producer: code id i, kinds alternating start / return.
inline uint32_t producer_word(uint32_t i) {
    return pack_word(i % 2 == 0 ? KIND_START : KIND_RETURN, i);
}
// Thread id of producer k: top bit set, so never a real one.
inline uint32_t producer_tid(size_t k) { return 0x8000'0000u + static_cast<uint32_t>(k) + 1; }

// Threads that each record `events` numbered events through the real queue, then stay
// registered until stop(), so that the stop's flush (not the thread's exit) pushes their last
// partial batch, as under the tracer.
class Producers {
  public:
    Producers(std::shared_ptr<EventQueue> queue, size_t count, uint32_t events)
        : queue_(std::move(queue)) {
        for (size_t k = 0; k < count; ++k) {
            threads_.emplace_back([this, k, events] {
                HOT.tid = producer_tid(k);  // what code resolution would have read
                for (uint32_t i = 0; i < events; ++i)
                    record(*queue_, queue_->clock().raw(), producer_word(i));
                ++done_;
                while (!release_) sleep_ms(1);
            });
        }
    }
    ~Producers() { join(); }

    void wait_recorded() {
        while (done_ < threads_.size()) sleep_ms(1);
    }
    // The tracer's stop: flush every partial batch, count what did not fit, close.
    void stop() {
        wait_recorded();
        queue_->add_dropped(tls::flush_every_thread());
        queue_->close();
        join();
    }

  private:
    void join() {
        release_ = true;
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

    std::shared_ptr<EventQueue> queue_;
    std::vector<std::thread> threads_;
    std::atomic<size_t> done_{0};
    std::atomic<bool> release_{false};
};

// run_pipeline on an exporter thread of its own, as the tracer runs it.
struct PipelineThread {
    Status result;
    std::atomic<bool> returned{false};
    std::thread thread;

    PipelineThread(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> codes,
                   std::shared_ptr<const ThreadNames> names, std::unique_ptr<Exporter> exporter)
        : thread([=, this, e = std::move(exporter)]() mutable {
              result = pipeline::run_pipeline(queue, codes, names, std::move(e));
              returned = true;
          }) {}
    ~PipelineThread() {
        if (thread.joinable()) thread.join();
    }
    bool returns_by_itself() {
        return wait_until([this] { return returned.load(); });
    }
    Status join() {
        thread.join();
        return result;
    }
};

// Answers from `infos` and counts the questions (single-threaded use only).
struct FakeCodes : CodeLookup {
    std::map<uint32_t, CodeInfo> infos;
    mutable std::map<uint32_t, int> asked;
    std::optional<CodeInfo> code(uint32_t id) const override {
        ++asked[id];
        auto it = infos.find(id);
        return it == infos.end() ? std::nullopt : std::optional(it->second);
    }
};

struct FakeNames : ThreadNames {
    std::map<uint32_t, std::string> names;
    std::optional<std::string> name(uint32_t tid) const override {
        auto it = names.find(tid);
        return it == names.end() ? std::nullopt : std::optional(it->second);
    }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override {
        return {names.begin(), names.end()};
    }
};

// Every batch a WritingExporter was given and the totals it was finished with; it outlives the
// writer, which a pipeline or a filter destroys.
struct Written {
    std::vector<std::vector<Event>> batches;
    int finishes = 0;
    RunTotals totals;
    std::vector<Event> events() const {
        std::vector<Event> all;
        for (const auto& batch : batches) all.insert(all.end(), batch.begin(), batch.end());
        return all;
    }
};

struct WritingExporter : Exporter {
    Written* out;
    explicit WritingExporter(Written* out) : out(out) {}
    Status write_batch(std::span<const Event> batch, const CodeLookup&,
                       const ThreadNames&) override {
        EXPECT_FALSE(batch.empty());
        out->batches.emplace_back(batch.begin(), batch.end());
        return Status::success();
    }
    Status finish(const CodeLookup&, const ThreadNames&, const RunTotals& t) override {
        ++out->finishes;
        out->totals = t;
        return Status::success();
    }
};

inline Event ev(uint64_t ts, uint32_t tid, uint8_t kind, uint32_t code) {
    return Event{ts, tid, pack_word(kind, code)};
}

// `path` in a fresh directory, removed with its contents.
struct TempTrace {
    std::string dir = [] {
        char tmpl[] = "/tmp/vespra-test-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    std::string path = dir + "/trace";
    ~TempTrace() { std::filesystem::remove_all(dir); }

    std::string contents() const {
        std::ostringstream s;
        s << std::ifstream(path, std::ios::binary).rdbuf();
        return s.str();
    }
    SharedFile open(bool truncate = true) const {
        Result<SharedFile> r = SharedFile::open(path, truncate);
        EXPECT_TRUE(r.ok()) << r.error().text();
        return r.take();
    }
};

inline std::span<const uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Logs every call as one line; handles are the order of first appearance.
struct LogVisitor : trace::Visitor {
    std::vector<std::string> log;
    std::vector<std::string> functions;
    bool with_places = true;  // log file:line

    void process(uint32_t pid, std::string_view name) override {
        log.push_back("process " + std::to_string(pid) + " " + std::string(name));
    }
    uint32_t thread(uint32_t pid, uint32_t tid) override {
        log.push_back("thread " + std::to_string(pid) + "/" + std::to_string(tid));
        return static_cast<uint32_t>(threads++);
    }
    void thread_name(uint32_t thread, std::string_view name) override {
        log.push_back("name " + std::to_string(thread) + " " + std::string(name));
    }
    uint32_t function(std::string_view name, std::string_view file, uint32_t line) override {
        std::string f(name);
        if (with_places) f += "@" + std::string(file) + ":" + std::to_string(line);
        functions.push_back(f);
        return static_cast<uint32_t>(functions.size() - 1);
    }
    void begin(uint32_t thread, uint32_t function, uint64_t ts) override {
        log.push_back("B " + std::to_string(thread) + " " + functions[function] + " " +
                      std::to_string(ts));
    }
    void end(uint32_t thread, uint64_t ts) override {
        log.push_back("E " + std::to_string(thread) + " " + std::to_string(ts));
    }
    void dropped(uint32_t pid, uint64_t count) override {
        log.push_back("dropped " + std::to_string(pid) + " " + std::to_string(count));
    }
    void left_out(uint32_t pid, std::string_view reason, uint64_t count) override {
        log.push_back("left out " + std::to_string(pid) + " " + std::string(reason) + " " +
                      std::to_string(count));
    }

    size_t threads = 0;
};

}  // namespace vespra::testing

namespace vespra {

// Events compare and print by their fields, so whole streams can be compared at once.
inline bool operator==(const Event& a, const Event& b) {
    return a.ts == b.ts && a.tid == b.tid && a.packed == b.packed;
}
inline void PrintTo(const Event& e, std::ostream* os) {
    *os << "{ts " << e.ts << ", tid " << e.tid << ", kind " << int{kind_of(e.packed)} << ", code "
        << code_of(e.packed) << "}";
}

}  // namespace vespra
