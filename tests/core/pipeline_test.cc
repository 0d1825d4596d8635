// The export pipeline between a real event queue and a writer that logs what it is given.
#include "core/pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <thread>

#include "test_util.h"

namespace vespra {
namespace {

// What the writer saw; it outlives the writer, which the pipeline destroys.
struct WriterLog {
    std::map<uint32_t, std::vector<uint32_t>> words;  // per tid, in arrival order
    std::atomic<int> batches{0};
    std::atomic<int> flushed{0};  // batches written before the latest flush
    int finishes = 0;
    uint64_t finish_dropped = 0;
    bool destroyed = false;
    std::atomic<bool> stall{false}, stalled{false};  // write_batch waits while `stall` is set
    std::atomic<bool> full{false};                   // write_batch fails as on a full disk
};

struct LoggingWriter : Exporter {
    std::shared_ptr<WriterLog> log;
    explicit LoggingWriter(std::shared_ptr<WriterLog> l) : log(std::move(l)) {}
    ~LoggingWriter() override { log->destroyed = true; }

    Status write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
        for (; log->stall; testing::sleep_ms(1)) log->stalled = true;
        if (log->full) return IoError::os(ENOSPC);
        EXPECT_FALSE(events.empty());
        for (const Event& e : events) log->words[e.tid].push_back(e.packed);
        ++log->batches;
        return Status::success();
    }
    Status flush() override {
        log->flushed = log->batches.load();
        return Status::success();
    }
    Status finish(const CodeLookup&, const ThreadNames&, const RunTotals& totals) override {
        ++log->finishes;
        log->finish_dropped = totals.dropped;
        return Status::success();
    }
};

// A real queue, and the pipeline running into a logging writer from construction on.
struct PipelineRun {
    std::shared_ptr<EventQueue> queue = EventQueue::create(Clock::starting_now());
    std::shared_ptr<WriterLog> log = std::make_shared<WriterLog>();
    testing::PipelineThread pipeline{queue, std::make_shared<testing::FakeCodes>(),
                                     std::make_shared<testing::FakeNames>(),
                                     std::make_unique<LoggingWriter>(log)};
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
    testing::Producers producers(run.queue, 4, 60'000);  // not whole batches: partial at stop
    producers.stop();
    ASSERT_TRUE(run.pipeline.join().ok());
    EXPECT_EQ(run.log->finishes, 1);
    EXPECT_TRUE(run.log->destroyed) << "the writer, and its file, outlived run_pipeline";
    check_delivery(*run.log, 4, 60'000);
}

// What a writer gathers reaches the file while the program runs: the pipeline flushes it
// whenever no batch waits, not only at the end.
TEST(PipelineDelivery, AnIdleExporterFlushesTheWriter) {
    PipelineRun run;
    testing::Producers producers(run.queue, 1, 20 * 1024);
    producers.wait_recorded();  // 19 whole batches pushed; the serializer drains them
    EXPECT_TRUE(testing::wait_until(
        [&] { return run.log->batches > 0 && run.log->flushed == run.log->batches; }));
    EXPECT_GT(run.log->batches, 0);
    EXPECT_EQ(run.log->flushed, run.log->batches);
    producers.stop();
    ASSERT_TRUE(run.pipeline.join().ok());
}

// A writer's failure ends the pipeline at once, without waiting for the queue to close, and
// reaches its caller; the writer is not finished.
TEST(PipelineDelivery, AWritersFailureEndsThePipelineWithoutFinish) {
    PipelineRun run;
    run.log->full = true;
    testing::Producers producers(run.queue, 1, 10'000);
    producers.wait_recorded();
    EXPECT_TRUE(run.pipeline.returns_by_itself());
    producers.stop();
    Status result = run.pipeline.join();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().os_errno(), ENOSPC);
    EXPECT_EQ(run.log->finishes, 0);
}

// A pause (as around a fork) writes what was recorded before it, keeps the writer unfinished
// and alive, and a second pipeline over the same writer goes on after it: every event once, one
// finish, the writer released at the real end.
TEST(PipelinePause, WritesEverythingKeepsTheWriterAndResumes) {
    auto queue = EventQueue::create(Clock::starting_now());
    auto log = std::make_shared<WriterLog>();
    auto codes = std::make_shared<testing::FakeCodes>();
    auto names = std::make_shared<testing::FakeNames>();
    std::unique_ptr<Exporter> writer = std::make_unique<LoggingWriter>(log);
    auto run = [&] {
        return std::thread([&] {
            EXPECT_TRUE(pipeline::run_pausable_pipeline(queue, codes, names, writer).ok());
        });
    };
    // Whole batches: all but each thread's last, which it still fills, are pushed by now.
    testing::Producers producers(queue, 2, 10 * 1024);
    producers.wait_recorded();
    std::thread first = run();
    queue->pause();
    first.join();
    queue->resume();
    EXPECT_EQ(log->finishes, 0);
    EXPECT_EQ(log->flushed, log->batches) << "a fork's child would find the file short";
    ASSERT_TRUE(writer) << "the writer went with the paused pipeline";
    EXPECT_EQ(log->words[testing::producer_tid(0)].size(), 9u * 1024);
    EXPECT_EQ(log->words[testing::producer_tid(1)].size(), 9u * 1024);

    std::thread second = run();
    producers.stop();  // the stop's flush pushes the last batches; the close ends the pipeline
    second.join();
    EXPECT_EQ(log->finishes, 1);
    EXPECT_FALSE(writer);
    EXPECT_TRUE(log->destroyed);
    check_delivery(*log, 2, 10 * 1024);
}

// A partial batch below the wake-up mark reaches the writer at the stop: the flush and the close
// wake the sleeping serializer with a system call instead of leaving it to its idle timeout.
TEST(PipelineWakeUps, TheStopWakesASleepingSerializer) {
    PipelineRun run;
    testing::Producers producers(run.queue, 1, 10);
    producers.wait_recorded();
    // Nothing has reached the mark: the serializer goes to sleep and stays there until the stop
    // (or its idle timeout) wakes it.
    EXPECT_TRUE(testing::wait_until([&] { return run.queue->consumer_asleep(); }));
    EXPECT_TRUE(run.log->words.empty());
    uint64_t before = run.queue->wake_ups();
    producers.stop();
    ASSERT_TRUE(run.pipeline.join().ok());
    EXPECT_GT(run.queue->wake_ups(), before);
    check_delivery(*run.log, 1, 10);
    EXPECT_EQ(run.log->finish_dropped, 0u);
}

// A writer that cannot keep up: `filled` fills and the serializer stops draining rather than drop
// decoded events. Then the producer's ring fills: whole batches are dropped there and the count
// reaches finish; or, on a lossless queue, the producer waits for the serializer and nothing is
// lost.
TEST(PipelineBackpressure, AStalledWriterCostsTheProducerWholeBatchesOrWaits) {
    for (bool lossless : {false, true}) {
        SCOPED_TRACE(lossless);
        PipelineRun run;
        if (lossless) run.queue->make_lossless(WaitHooks{});
        run.log->stall = true;
        std::thread unstall([&] {
            EXPECT_TRUE(testing::wait_until([&] {
                return run.log->stalled && (lossless ? run.queue->blocked() : run.queue->dropped());
            }));
            run.log->stall = false;
        });
        // More than the ring and `filled` hold (a vector takes up to 4 batches).
        const uint32_t events =
            (BATCH_RING_CAPACITY + 4 * pipeline::VECTOR_RING_CAPACITY + 100) * 1024;
        testing::Producers producers(run.queue, 1, events);
        producers.wait_recorded();
        unstall.join();
        producers.stop();
        ASSERT_TRUE(run.pipeline.join().ok());
        check_delivery(*run.log, 1, events);
        EXPECT_EQ(run.queue->dropped() == 0, lossless);
        EXPECT_EQ(run.queue->dropped() % 1024, 0u) << "whole batches";
        EXPECT_EQ(run.log->finish_dropped, run.queue->dropped()) << "the serializer lost nothing";
    }
}

}  // namespace
}  // namespace vespra
