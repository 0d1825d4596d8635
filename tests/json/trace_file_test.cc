// Recording threads -> event queue -> pipeline -> JSON writer -> file, read back by a JSON
// reader the way a trace viewer would read it.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../core/producers.h"
#include "core/pipeline.h"
#include "json/json_exporter.h"
#include "json_reader.h"
#include "json_test_util.h"

namespace vespra {
namespace {

using testing::JsonReader;
using testing::JsonValue;
using testing::producer_tid;
using testing::Producers;
using testing::TempFile;

// Code i is "c<i>" defined at line i of p.py.
struct NumberedCodes : CodeLookup {
    std::optional<CodeInfo> code(uint32_t id) const override {
        return CodeInfo{"c" + std::to_string(id), "p.py", id};
    }
};

struct ProducerNames : ThreadNames {
    size_t count;
    explicit ProducerNames(size_t n) : count(n) {}
    std::optional<std::string> name(uint32_t) const override { return std::nullopt; }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override {
        std::vector<std::pair<uint32_t, std::string>> out;
        for (size_t k = 0; k < count; ++k)
            out.emplace_back(producer_tid(k), "worker-" + std::to_string(k));
        return out;
    }
};

// Forwards to the real writer and remembers whether finish was reached.
class FinishSpy : public Exporter {
  public:
    FinishSpy(std::unique_ptr<Exporter> inner, std::shared_ptr<std::atomic<int>> finishes)
        : inner_(std::move(inner)), finishes_(std::move(finishes)) {}
    Status write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& names) override {
        return inner_->write_batch(events, codes, names);
    }
    Status finish(const CodeLookup& codes, const ThreadNames& names, uint64_t dropped) override {
        ++*finishes_;
        return inner_->finish(codes, names, dropped);
    }

  private:
    std::unique_ptr<Exporter> inner_;
    std::shared_ptr<std::atomic<int>> finishes_;
};

// The format opener's part: create the file with its "[".
SharedFile create_trace(const std::string& path) {
    SharedFile out = testing::open_shared(path, true);
    out.write("[");
    EXPECT_TRUE(out.flush().ok());
    return out;
}

TEST(JsonTraceFile, EventsOfManyThreadsAreReadBackOnceInOrderWithNamesAndLoss) {
    constexpr size_t THREADS = 4;
    constexpr uint32_t EVENTS = 50'000;
    TempFile file;
    auto queue = EventQueue::create(Clock::starting_now());
    auto exporter = std::make_unique<JsonExporter>(create_trace(file.path()));
    const uint32_t pid = exporter->pid();
    Status result;
    std::thread exporter_thread([&, exporter = std::move(exporter)]() mutable {
        pipeline::set_current_thread_name("vespra-exporter");
        result =
            pipeline::run_pipeline(queue, std::make_shared<NumberedCodes>(),
                                   std::make_shared<ProducerNames>(THREADS), std::move(exporter));
    });
    Producers producers(queue, THREADS, EVENTS);
    producers.stop();
    exporter_thread.join();
    ASSERT_TRUE(result.ok()) << result.error().text();

    std::vector<JsonValue> records;
    ASSERT_NO_THROW(records = JsonReader::read_trace(file.contents()));

    std::map<uint64_t, std::vector<uint32_t>> seen;  // tid -> event numbers, in file order
    std::map<uint64_t, std::string> last_ts;
    std::map<uint64_t, std::string> thread_names;
    uint64_t dropped = 0;
    int dropped_records = 0;
    for (const JsonValue& r : records) {
        ASSERT_EQ(r.at("pid").as_u64(), pid);
        uint64_t tid = r.at("tid").as_u64();
        if (r.at("ph").text == "M") {
            if (r.at("name").text == "thread_name") {
                thread_names[tid] = r.at("args").at("name").text;
            } else {
                ASSERT_EQ(r.at("name").text, "vespra_dropped_events");
                dropped = r.at("args").at("count").as_u64();
                ++dropped_records;
            }
            continue;
        }
        const std::string& name = r.at("name").text;
        ASSERT_EQ(name[0], 'c');
        uint32_t i = static_cast<uint32_t>(std::stoul(name.substr(1)));
        ASSERT_EQ(r.at("args").at("line").as_u64(), i);
        ASSERT_EQ(r.at("args").at("file").text, "p.py");
        ASSERT_EQ(r.at("cat").text, "py");
        ASSERT_EQ(r.at("ph").text, i % 2 == 0 ? "B" : "E");
        ASSERT_EQ(r.at("args").at("kind").text, i % 2 == 0 ? "start" : "return");
        // Timestamps of one thread never go back (compare as numbers of equal precision).
        const std::string& ts = r.at("ts").text;
        auto& prev = last_ts[tid];
        ASSERT_TRUE(prev.empty() || prev.size() < ts.size() ||
                    (prev.size() == ts.size() && prev <= ts))
            << prev << " then " << ts;
        prev = ts;
        seen[tid].push_back(i);
    }

    uint64_t total = 0;
    ASSERT_EQ(seen.size(), THREADS);
    for (size_t k = 0; k < THREADS; ++k) {
        const auto& numbers = seen[producer_tid(k)];
        for (size_t j = 1; j < numbers.size(); ++j)
            ASSERT_LT(numbers[j - 1], numbers[j]) << "thread " << k << ": repeated or reordered";
        total += numbers.size();
        EXPECT_EQ(thread_names[producer_tid(k)], "worker-" + std::to_string(k));
    }
    EXPECT_EQ(thread_names.size(), THREADS);
    EXPECT_LE(dropped_records, 1);
    EXPECT_EQ(dropped_records, dropped > 0 ? 1 : 0);
    EXPECT_EQ(total + dropped, producers.produced());
}

TEST(JsonTraceFile, FullDeviceEndsThePipelineWithTheOsErrorAndNoFinish) {
    auto queue = EventQueue::create(Clock::starting_now());
    Result<SharedFile> out = SharedFile::open("/dev/full", false);
    ASSERT_TRUE(out.ok()) << out.error().text();
    auto finishes = std::make_shared<std::atomic<int>>(0);
    auto exporter =
        std::make_unique<FinishSpy>(std::make_unique<JsonExporter>(out.take()), finishes);
    Status result;
    std::atomic<bool> returned{false};
    std::thread exporter_thread([&, exporter = std::move(exporter)]() mutable {
        result = pipeline::run_pipeline(queue, std::make_shared<NumberedCodes>(),
                                        std::make_shared<ProducerNames>(1), std::move(exporter));
        returned = true;
    });
    Producers producers(queue, 1, 10'000);
    producers.wait_recorded();
    // The failure ends the pipeline by itself, before anybody closes the queue.
    for (int i = 0; i < 5000 && !returned; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(returned);
    producers.stop();
    exporter_thread.join();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().text(), "No space left on device (os error 28)");
    EXPECT_EQ(*finishes, 0);
}

}  // namespace
}  // namespace vespra
