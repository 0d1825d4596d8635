// The JSON writer behind the export pipeline, on a device that is full: the error ends the run
// and reaches its caller.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "../core/test_util.h"
#include "json/json_exporter.h"

namespace vespra {
namespace {

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
    testing::PipelineThread pipeline(queue, std::make_shared<testing::FakeCodes>(),
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
