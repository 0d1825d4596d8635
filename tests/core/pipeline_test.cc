// The export pipeline between a real event queue and a writer that logs what it is given.
#include "core/pipeline.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "producers.h"

namespace vespra {
namespace {

using namespace std::chrono_literals;
using testing::Producers;

struct NoNames : ThreadNames, CodeLookup {
    std::optional<CodeInfo> code(uint32_t) const override { return std::nullopt; }
    std::optional<std::string> name(uint32_t) const override { return std::nullopt; }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override { return {}; }
};

// What the writer saw; it outlives the writer, which the pipeline destroys.
struct WriterLog {
    std::mutex mu;
    std::map<uint32_t, std::vector<uint32_t>> words;  // per tid, in arrival order
    uint64_t written = 0;
    int batches = 0, finishes = 0;
    uint64_t finish_dropped = 0;
    bool destroyed = false;
    std::atomic<bool> stall{false}, stalled{false};  // write_batch waits while `stall` is set
    int fail_on_batch = -1;

    int batch_count() {
        std::lock_guard<std::mutex> g(mu);
        return batches;
    }
};

struct LoggingWriter : Exporter {
    std::shared_ptr<WriterLog> log;
    explicit LoggingWriter(std::shared_ptr<WriterLog> l) : log(std::move(l)) {}
    ~LoggingWriter() override { log->destroyed = true; }

    Status write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
        for (; log->stall; std::this_thread::sleep_for(1ms)) log->stalled = true;
        std::lock_guard<std::mutex> g(log->mu);
        if (log->batches++ == log->fail_on_batch) return IoError::other("disk on fire");
        EXPECT_FALSE(events.empty());
        for (const Event& e : events) log->words[e.tid].push_back(e.packed);
        log->written += events.size();
        return Status::success();
    }
    Status finish(const CodeLookup&, const ThreadNames&, uint64_t dropped) override {
        std::lock_guard<std::mutex> g(log->mu);
        ++log->finishes;
        log->finish_dropped = dropped;
        return Status::success();
    }
};

// The pipeline on an exporter thread of its own, as the tracer runs it.
struct PipelineRun {
    std::shared_ptr<EventQueue> queue = EventQueue::create(Clock::starting_now());
    std::shared_ptr<WriterLog> log = std::make_shared<WriterLog>();
    Status result;
    std::atomic<bool> returned{false};
    std::thread thread;

    void start() {
        thread = std::thread([this] {
            auto none = std::make_shared<NoNames>();
            result =
                pipeline::run_pipeline(queue, none, none, std::make_unique<LoggingWriter>(log));
            returned = true;
        });
    }
    Status join() {
        thread.join();
        return result;
    }
    ~PipelineRun() {
        if (thread.joinable()) thread.join();
    }
};

// Every event reaches the writer at most once, in its thread's order, and those that do not
// are exactly the ones the writer is told were dropped.
void check_delivery(WriterLog& log, size_t threads, uint32_t per_thread) {
    uint64_t seen = 0;
    for (size_t k = 0; k < threads; ++k) {
        const auto& words = log.words[testing::producer_tid(k)];
        for (size_t j = 0; j < words.size(); ++j) {
            ASSERT_EQ(words[j], testing::producer_word(code_of(words[j])));
            ASSERT_LT(code_of(words[j]), per_thread);
            if (j > 0) {
                ASSERT_LT(code_of(words[j - 1]), code_of(words[j])) << "thread " << k;
            }
        }
        seen += words.size();
    }
    EXPECT_EQ(log.words.size(), threads);
    EXPECT_EQ(seen + log.finish_dropped, uint64_t{threads} * per_thread);
}

TEST(PipelineDelivery, ManyThreadsEveryEventOnceInThreadOrderAndLossAccounted) {
    PipelineRun run;
    run.start();
    Producers producers(run.queue, 4, 60'000);  // not whole batches: partial ones at stop
    producers.stop();
    ASSERT_TRUE(run.join().ok());
    EXPECT_EQ(run.log->finishes, 1);
    EXPECT_TRUE(run.log->destroyed);
    check_delivery(*run.log, 4, 60'000);
}

TEST(PipelineDelivery, NoEventsMeansNoBatchAndFinishGetsTheQueuesDropped) {
    PipelineRun run;
    run.start();
    std::this_thread::sleep_for(2ms);  // both threads idle through a few back-offs
    run.queue->add_dropped(5);
    run.queue->close();
    ASSERT_TRUE(run.join().ok());
    EXPECT_EQ(run.log->batches, 0);
    EXPECT_EQ(run.log->finishes, 1);
    EXPECT_EQ(run.log->finish_dropped, 5u);
}

// A writer that cannot keep up: `filled` fills, the serializer drops what it drains next, and
// the count reaches finish on top of the queue's own.
TEST(PipelineBackpressure, StalledWriterLosesWholeVectorsAndReportsThem) {
    PipelineRun run;
    run.log->stall = true;
    run.start();
    Producers producers(run.queue, 1, 300 * 1024, /*lockstep=*/true);
    producers.wait_recorded();
    EXPECT_TRUE(run.log->stalled);
    run.log->stall = false;
    // Let the writer work through what waited before the last, partial batch is pushed.
    for (int i = 0; i < 10000 && run.log->batch_count() < 257; ++i)
        std::this_thread::sleep_for(1ms);
    producers.stop();
    ASSERT_TRUE(run.join().ok());
    check_delivery(*run.log, 1, 300 * 1024);
    // 299 batches, one vector each, came while the writer stalled: it held the first, 256
    // waited in `filled`, 42 were lost. The last batch came at stop.
    EXPECT_EQ(run.queue->dropped(), 0u);
    EXPECT_EQ(run.log->finish_dropped, (299 - 1 - pipeline::VECTOR_RING_CAPACITY) * 1024);
    EXPECT_EQ(run.log->batches, 1 + int(pipeline::VECTOR_RING_CAPACITY) + 1);
}

TEST(PipelineVectors, ShippedVectorsAreRecycledAndAFullRingCountsItsLoss) {
    auto [filled_in, filled_out] = pipeline::VectorRing::make();
    auto [spare_in, spare_out] = pipeline::VectorRing::make();
    uint64_t lost = 0;
    pipeline::EventVector first(3, Event{});
    const Event* storage = first.data();
    pipeline::EventVector next = pipeline::ship(filled_in, spare_out, std::move(first), lost);
    EXPECT_TRUE(next.empty());  // nothing to recycle yet: a fresh vector
    EXPECT_GE(next.capacity(), pipeline::DRAIN_BUDGET);

    std::optional<pipeline::EventVector> written = filled_out.pop();  // the writer's side
    ASSERT_TRUE(written && written->data() == storage);
    ASSERT_TRUE(spare_in.push(*written));
    next.assign(5, Event{});
    EXPECT_EQ(pipeline::ship(filled_in, spare_out, std::move(next), lost).data(), storage);

    for (size_t i = 1; i < pipeline::VECTOR_RING_CAPACITY; ++i)  // fill `filled` to the brim
        (void)pipeline::ship(filled_in, spare_out, pipeline::EventVector(1), lost);
    EXPECT_EQ(lost, 0u);
    pipeline::EventVector doomed(7);
    storage = doomed.data();
    EXPECT_EQ(pipeline::ship(filled_in, spare_out, std::move(doomed), lost).data(), storage);
    EXPECT_EQ(lost, 7u);
}

TEST(PipelineFailure, FailedBatchIsReturnedAtOnceAndTheWriterIsNeverFinished) {
    PipelineRun run;
    run.log->fail_on_batch = 0;
    run.start();
    Producers producers(run.queue, 1, 50'000);
    producers.wait_recorded();
    // The pipeline returns without waiting for the queue to close.
    for (int i = 0; i < 5000 && !run.returned; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(run.returned);
    Status s = run.join();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().text(), "disk on fire");
    EXPECT_EQ(run.log->batches, 1);
    EXPECT_EQ(run.log->finishes, 0);
    EXPECT_TRUE(run.log->destroyed);
    producers.stop();  // the abandoned serializer ends by itself once the queue is closed
}

TEST(PipelineThreads, ThreadsCarryTheirNamesAsFarAsLinuxAllows) {
    PipelineRun run;
    run.start();
    bool found = false;
    for (int i = 0; i < 2000 && !found; ++i, std::this_thread::sleep_for(1ms))
        for (auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::string name;
            std::getline(std::ifstream(task.path() / "comm"), name);
            found |= name == "vespra-serializ";
        }
    run.queue->close();
    ASSERT_TRUE(run.join().ok());
    EXPECT_TRUE(found);

    std::thread([] {
        char buf[64];
        pipeline::set_current_thread_name("vespra-exporter");
        pthread_getname_np(pthread_self(), buf, sizeof buf);
        EXPECT_STREQ(buf, "vespra-exporter");
        pipeline::set_current_thread_name("a-name-much-longer-than-fifteen");
        pthread_getname_np(pthread_self(), buf, sizeof buf);
        EXPECT_STREQ(buf, "a-name-much-lon");
    }).join();
}

}  // namespace
}  // namespace vespra
