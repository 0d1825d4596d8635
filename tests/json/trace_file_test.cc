// Recording threads -> event queue -> pipeline -> JSON writer -> file, read back the way a trace
// viewer reads it.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../core/test_util.h"
#include "json/json_exporter.h"
#include "json_reader.h"

namespace vespra {
namespace {

using testing::producer_tid;

// Code i is "c<i>", defined at line i of p.py.
struct NumberedCodes : CodeLookup {
    std::optional<CodeInfo> code(uint32_t id) const override {
        return CodeInfo{"c" + std::to_string(id), "p.py", id};
    }
};

TEST(JsonTraceFile, EventsOfManyThreadsAreReadBackOnceInOrderWithNamesAndLoss) {
    constexpr size_t THREADS = 2;
    constexpr uint32_t EVENTS = BATCH_RING_CAPACITY * EventBatch::CAPACITY + 8'000;  // overflows
    testing::TempTrace file;
    SharedFile out = file.open();
    out.write("[");  // what the format opener writes
    ASSERT_TRUE(out.flush().ok());
    auto names = std::make_shared<testing::FakeNames>();
    for (size_t k = 0; k < THREADS; ++k) names->names[producer_tid(k)] = "w" + std::to_string(k);
    auto queue = EventQueue::create(Clock::starting_now());
    auto exporter = std::make_unique<JsonExporter>(std::move(out));
    const uint64_t pid = exporter->pid();
    testing::Producers producers(queue, THREADS, EVENTS);
    // The pipeline starts once a ring has overflowed, so the file must account for a loss.
    for (int i = 0; i < 5000 && queue->dropped() == 0; ++i) testing::sleep_ms(1);
    testing::PipelineThread pipeline(queue, std::make_shared<NumberedCodes>(), names,
                                     std::move(exporter));
    producers.stop();
    Status result = pipeline.join();
    ASSERT_TRUE(result.ok()) << result.error().text();

    std::vector<testing::Record> records;
    ASSERT_NO_THROW(records = testing::JsonReader::read_trace(file.contents()));
    std::map<uint64_t, std::vector<uint32_t>> seen;  // tid -> event numbers in file order
    std::map<uint64_t, std::string> thread_names;
    std::set<uint64_t> named_first;  // named before their first event: a cut trace keeps it
    uint64_t dropped = 0;
    int process_names = 0;
    for (const testing::Record& r : records) {
        ASSERT_EQ(testing::as_u64(r.at("pid")), pid);
        uint64_t tid = testing::as_u64(r.at("tid"));
        if (r.at("ph") == "M") {
            if (r.at("name") == "thread_name") {
                thread_names[tid] = r.at("args.name");
                if (!seen.contains(tid)) named_first.insert(tid);
            } else if (r.at("name") == "process_name") {
                ++process_names;  // the name never changed: once, ahead of the first batch
            } else {
                ASSERT_EQ(r.at("name"), "vespra_dropped_events");
                ASSERT_EQ(dropped, 0u) << "two dropped-events records";
                dropped = testing::as_u64(r.at("args.count"));
            }
            continue;
        }
        uint32_t i = static_cast<uint32_t>(std::stoul(r.at("name").substr(1)));
        ASSERT_EQ(testing::as_u64(r.at("args.line")), i);
        ASSERT_EQ(r.at("ph"), i % 2 == 0 ? "B" : "E");
        ASSERT_EQ(r.at("args.kind"), i % 2 == 0 ? "start" : "return");
        seen[tid].push_back(i);
    }
    uint64_t total = 0;
    ASSERT_EQ(seen.size(), THREADS);
    for (size_t k = 0; k < THREADS; ++k) {
        const auto& numbers = seen[producer_tid(k)];
        for (size_t j = 1; j < numbers.size(); ++j)
            ASSERT_LT(numbers[j - 1], numbers[j]) << "thread " << k << ": repeated or reordered";
        total += numbers.size();
        EXPECT_EQ(thread_names[producer_tid(k)], "w" + std::to_string(k));
        EXPECT_TRUE(named_first.contains(producer_tid(k))) << k;
    }
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(total + dropped, producers.produced());
    EXPECT_EQ(process_names, 1);
}

// Forwards to the real writer and counts finish calls.
struct FinishSpy : Exporter {
    std::unique_ptr<Exporter> inner;
    std::shared_ptr<std::atomic<int>> finishes = std::make_shared<std::atomic<int>>(0);
    Status write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& names) override {
        return inner->write_batch(events, codes, names);
    }
    Status finish(const CodeLookup& codes, const ThreadNames& names,
                  const RunTotals& totals) override {
        ++*finishes;
        return inner->finish(codes, names, totals);
    }
};

TEST(JsonTraceFile, FullDeviceEndsThePipelineWithTheOsErrorAndNoFinish) {
    Result<SharedFile> out = SharedFile::open("/dev/full", false);
    ASSERT_TRUE(out.ok()) << out.error().text();
    auto spy = std::make_unique<FinishSpy>();
    spy->inner = std::make_unique<JsonExporter>(out.take());
    auto finishes = spy->finishes;
    auto queue = EventQueue::create(Clock::starting_now());
    testing::PipelineThread pipeline(queue, std::make_shared<NumberedCodes>(),
                                     std::make_shared<testing::FakeNames>(), std::move(spy));
    testing::Producers producers(queue, 1, 10'000);
    producers.wait_recorded();
    EXPECT_TRUE(pipeline.returns_by_itself()) << "the failure waited for the queue to close";
    producers.stop();
    Status result = pipeline.join();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().text(), "No space left on device");
    EXPECT_EQ(*finishes, 0);
}

}  // namespace
}  // namespace vespra
