// The export pipeline between a real event queue and a writer that records what it is given.
#include "core/pipeline.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "producers.h"

namespace vespra {
namespace {

using namespace std::chrono_literals;
using testing::Producers;

struct NoCodes : CodeLookup {
    std::optional<CodeInfo> code(uint32_t) const override { return std::nullopt; }
};
struct NoNames : ThreadNames {
    std::optional<std::string> name(uint32_t) const override { return std::nullopt; }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override { return {}; }
};

// What the writer saw; outlives the writer, which the pipeline destroys.
struct WriterLog {
    std::mutex mu;
    std::map<uint32_t, std::vector<uint32_t>> words;  // per tid, in arrival order
    uint64_t written = 0;
    int batches = 0;
    int empty_batches = 0;
    int finishes = 0;
    uint64_t finish_dropped = 0;
    std::atomic<bool> destroyed{false};

    // Behaviour switches, set by the test before the run.
    std::atomic<bool> stall{false};    // write_batch waits while this is set
    std::atomic<bool> stalled{false};  // a write_batch is waiting
    int fail_on_batch = -1;            // that batch (0-based) fails
    bool fail_finish = false;
};

class LoggingWriter : public Exporter {
  public:
    explicit LoggingWriter(std::shared_ptr<WriterLog> log) : log_(std::move(log)) {}
    ~LoggingWriter() override { log_->destroyed = true; }

    Status write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
        while (log_->stall.load()) {
            log_->stalled = true;
            std::this_thread::sleep_for(1ms);
        }
        std::lock_guard<std::mutex> g(log_->mu);
        if (log_->batches++ == log_->fail_on_batch) return IoError::other("disk on fire");
        if (events.empty()) ++log_->empty_batches;
        for (const Event& e : events) log_->words[e.tid].push_back(e.packed);
        log_->written += events.size();
        return Status::success();
    }
    Status finish(const CodeLookup&, const ThreadNames&, uint64_t dropped) override {
        std::lock_guard<std::mutex> g(log_->mu);
        ++log_->finishes;
        log_->finish_dropped = dropped;
        if (log_->fail_finish) return IoError::os(ENOSPC);
        return Status::success();
    }

  private:
    std::shared_ptr<WriterLog> log_;
};

// Runs the pipeline on a thread of its own, as the tracer does.
class PipelineRun {
  public:
    PipelineRun(std::shared_ptr<EventQueue> queue, std::shared_ptr<WriterLog> log)
        : thread_([this, queue, log] {
              result_ = pipeline::run_pipeline(queue, std::make_shared<NoCodes>(),
                                               std::make_shared<NoNames>(),
                                               std::make_unique<LoggingWriter>(log));
              done_ = true;
          }) {}
    ~PipelineRun() {
        if (thread_.joinable()) thread_.join();
    }
    Status join() {
        thread_.join();
        return result_;
    }
    bool done() const { return done_.load(); }

  private:
    Status result_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

std::shared_ptr<EventQueue> new_queue() { return EventQueue::create(Clock::starting_now()); }

// Every event reaches the writer at most once and in its thread's order; the ones that do not
// are exactly the ones the writer is told were dropped.
void check_delivery(WriterLog& log, size_t threads, uint32_t per_thread) {
    uint64_t seen = 0;
    for (size_t k = 0; k < threads; ++k) {
        const auto& words = log.words[testing::producer_tid(k)];
        int64_t last = -1;
        for (uint32_t w : words) {
            uint32_t i = code_of(w);
            ASSERT_GT(int64_t{i}, last) << "thread " << k << ": event repeated or out of order";
            ASSERT_LT(i, per_thread);
            ASSERT_EQ(w, testing::producer_word(i));
            last = i;
        }
        seen += words.size();
    }
    EXPECT_EQ(log.words.size(), threads) << "events with a tid nobody recorded on";
    EXPECT_EQ(seen, log.written);
    EXPECT_EQ(log.written + log.finish_dropped, uint64_t{threads} * per_thread);
}

TEST(PipelineDelivery, ManyThreadsEveryEventOnceInThreadOrderAndLossAccounted) {
    auto queue = new_queue();
    auto log = std::make_shared<WriterLog>();
    PipelineRun run(queue, log);
    constexpr size_t THREADS = 4;
    constexpr uint32_t EVENTS = 60'000;  // not a multiple of a batch: partial batches at stop
    Producers producers(queue, THREADS, EVENTS);
    producers.stop();
    Status s = run.join();
    ASSERT_TRUE(s.ok()) << s.error().text();
    EXPECT_EQ(log->finishes, 1);
    EXPECT_EQ(log->empty_batches, 0);
    EXPECT_TRUE(log->destroyed);
    check_delivery(*log, THREADS, EVENTS);
}

TEST(PipelineDelivery, NoEventsMeansNoBatchAndFinishGetsTheQueuesDropped) {
    auto queue = new_queue();
    auto log = std::make_shared<WriterLog>();
    PipelineRun run(queue, log);
    std::this_thread::sleep_for(2ms);  // let both threads idle through a few back-offs
    queue->add_dropped(5);
    queue->close();
    ASSERT_TRUE(run.join().ok());
    EXPECT_EQ(log->batches, 0);
    EXPECT_EQ(log->finishes, 1);
    EXPECT_EQ(log->finish_dropped, 5u);
}

TEST(PipelineDelivery, KeepsRunningUntilTheQueueIsClosed) {
    auto queue = new_queue();
    auto log = std::make_shared<WriterLog>();
    PipelineRun run(queue, log);
    Producers producers(queue, 1, 3000);
    producers.wait_recorded();
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(run.done());
    producers.stop();
    ASSERT_TRUE(run.join().ok());
    check_delivery(*log, 1, 3000);
    EXPECT_EQ(log->written, 3000u);  // the partial batch flushed at stop arrived too
}

// A writer that cannot keep up: `filled` fills with 256 vectors, the serializer drops what it
// drains next, and the count reaches finish on top of the queue's own losses.
TEST(PipelineBackpressure, StalledWriterLosesWholeVectorsAndReportsThem) {
    auto queue = new_queue();
    auto log = std::make_shared<WriterLog>();
    log->stall = true;
    PipelineRun run(queue, log);
    // One batch per vector: 300 vectors while the writer sits on the first.
    constexpr uint32_t EVENTS = 300 * 1024;
    Producers producers(queue, 1, EVENTS, /*lockstep=*/true);
    producers.wait_recorded();
    bool stalled = log->stalled.load();
    log->stall = false;
    // Let the writer work through what waited before the last, partial batch is pushed.
    for (int i = 0; i < 10000; ++i) {
        {
            std::lock_guard<std::mutex> g(log->mu);
            if (log->batches >= 1 + int(pipeline::VECTOR_RING_CAPACITY)) break;
        }
        std::this_thread::sleep_for(1ms);
    }
    producers.stop();
    ASSERT_TRUE(run.join().ok());
    EXPECT_TRUE(stalled);
    check_delivery(*log, 1, EVENTS);
    uint64_t lost_by_serializer = log->finish_dropped - queue->dropped();
    // 299 batches were handed over while the writer stalled, one vector each: the writer held
    // the first, 256 waited in `filled`, the other 42 were lost. The last batch came at stop.
    EXPECT_EQ(queue->dropped(), 0u);
    EXPECT_EQ(lost_by_serializer, (299 - 1 - pipeline::VECTOR_RING_CAPACITY) * 1024u);
    EXPECT_EQ(log->batches, 1 + int(pipeline::VECTOR_RING_CAPACITY) + 1);
}

// The hand-over itself: vectors come back through `spare` and are reused, and a full `filled`
// costs exactly the events of the vector that did not fit.
TEST(PipelineVectors, ShippedVectorsAreRecycledAndAFullRingCountsItsLoss) {
    using pipeline::EventVector;
    auto [filled_in, filled_out] = pipeline::VectorRing::make();
    auto [spare_in, spare_out] = pipeline::VectorRing::make();
    uint64_t lost = 0;

    EventVector first(3, Event{1, 2, 3});
    const Event* first_storage = first.data();
    EventVector next = pipeline::ship(filled_in, spare_out, std::move(first), lost);
    EXPECT_TRUE(next.empty());  // nothing to recycle yet: a fresh vector of the drain budget
    EXPECT_GE(next.capacity(), pipeline::DRAIN_BUDGET);

    // The writer is done with the first vector and sends it back; the next hand-over reuses it.
    std::optional<EventVector> written = filled_out.pop();
    ASSERT_TRUE(written);
    EXPECT_EQ(written->data(), first_storage);
    written->clear();
    ASSERT_TRUE(spare_in.push(*written));
    next.assign(5, Event{});
    EventVector recycled = pipeline::ship(filled_in, spare_out, std::move(next), lost);
    EXPECT_EQ(recycled.data(), first_storage);
    EXPECT_EQ(lost, 0u);

    // Fill `filled` to the brim (one vector is already waiting in it).
    for (size_t i = 1; i < pipeline::VECTOR_RING_CAPACITY; ++i) {
        EventVector v(1, Event{});
        (void)pipeline::ship(filled_in, spare_out, std::move(v), lost);
    }
    EXPECT_EQ(lost, 0u);
    EventVector doomed(7, Event{});
    const Event* doomed_storage = doomed.data();
    EventVector back = pipeline::ship(filled_in, spare_out, std::move(doomed), lost);
    EXPECT_EQ(lost, 7u);
    EXPECT_EQ(back.data(), doomed_storage);  // the same vector, to be emptied and refilled
}

TEST(PipelineFailure, FailedBatchIsReturnedAtOnceAndTheWriterIsNeverFinished) {
    auto queue = new_queue();
    auto log = std::make_shared<WriterLog>();
    log->fail_on_batch = 0;
    PipelineRun run(queue, log);
    Producers producers(queue, 1, 50'000);
    producers.wait_recorded();
    // The pipeline returns without waiting for the queue to close.
    for (int i = 0; i < 5000 && !run.done(); ++i) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(run.done());
    Status s = run.join();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().text(), "disk on fire");
    EXPECT_EQ(log->batches, 1);
    EXPECT_EQ(log->finishes, 0);
    EXPECT_TRUE(log->destroyed);
    producers.stop();  // the abandoned serializer ends by itself once the queue is closed
}

TEST(PipelineFailure, FailedFinishIsTheResult) {
    auto queue = new_queue();
    auto log = std::make_shared<WriterLog>();
    log->fail_finish = true;
    PipelineRun run(queue, log);
    queue->close();
    Status s = run.join();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().text(), "No space left on device (os error 28)");
    EXPECT_EQ(log->finishes, 1);
}

std::vector<std::string> thread_names_of_this_process() {
    std::vector<std::string> names;
    DIR* d = ::opendir("/proc/self/task");
    if (d == nullptr) return names;
    while (dirent* ent = ::readdir(d)) {
        if (ent->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + ent->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    ::closedir(d);
    return names;
}

TEST(PipelineThreads, SerializerCarriesItsNameAsFarAsLinuxAllows) {
    auto queue = new_queue();
    auto log = std::make_shared<WriterLog>();
    PipelineRun run(queue, log);
    bool found = false;
    for (int i = 0; i < 2000 && !found; ++i) {
        for (const auto& n : thread_names_of_this_process()) found |= n == "vespra-serializ";
        if (!found) std::this_thread::sleep_for(1ms);
    }
    queue->close();
    ASSERT_TRUE(run.join().ok());
    EXPECT_TRUE(found);

    std::thread named([] {
        pipeline::set_current_thread_name("vespra-exporter");
        char buf[64];
        pthread_getname_np(pthread_self(), buf, sizeof buf);
        EXPECT_STREQ(buf, "vespra-exporter");
        pipeline::set_current_thread_name("a-name-much-longer-than-fifteen");
        pthread_getname_np(pthread_self(), buf, sizeof buf);
        EXPECT_STREQ(buf, "a-name-much-lon");
    });
    named.join();
}

}  // namespace
}  // namespace vespra
