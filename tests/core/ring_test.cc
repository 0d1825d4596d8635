// The flight ring on hand-made batches: which batches it keeps, what a window written from it
// holds (the frames open before it begun at its start, the ring's count), how requests for dumps
// fold together, and the names of dumps.
#include "core/ring.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_util.h"

namespace vespra {
namespace {

using testing::ev;

// A batch of thread `tid` whose events are at `base` + their index.
std::unique_ptr<EventBatch> batch(uint32_t tid, uint64_t base, std::vector<uint32_t> words) {
    auto b = EventBatch::create(base, tid);
    for (uint32_t i = 0; i < words.size(); ++i) b->events[i] = PackedEvent{i, words[i]};
    b->count = static_cast<uint32_t>(words.size());
    return b;
}

// A ring of two batches takes three: the oldest goes, and what was open in it (f, and g inside
// it; h began and ended there) begins at the window's start, before the events held.
TEST(FlightRing, KeepsTheNewestBatchesAndBeginsAtTheWindowTheFramesOpenBeforeIt) {
    auto queue = testing::identity_queue();
    FlightRing ring(2 * RING_BYTES_PER_BATCH);
    auto word = [](uint8_t kind, uint32_t code) { return pack_word(kind, code); };
    ring.add(batch(1, 100,
                   {word(KIND_START, 1), word(KIND_START, 2), word(KIND_START, 3),
                    word(KIND_RETURN, 3)}),
             *queue);
    ring.add(batch(2, 150, {word(KIND_START, 5)}), *queue);
    ring.add(batch(1, 200, {word(KIND_START, 4), word(KIND_RETURN, 4), word(KIND_RETURN, 2)}),
             *queue);
    EXPECT_EQ(ring.left_out(), 4u);
    EXPECT_EQ(ring.bytes(), 2 * RING_BYTES_PER_BATCH);

    Window window = ring.window(*queue, {});
    EXPECT_EQ(window.start, 150u);
    EXPECT_EQ(window.events, 4u);
    testing::Written written;
    testing::WritingExporter writer(&written);
    testing::FakeCodes codes;
    testing::FakeNames names;
    ASSERT_TRUE(write_window(window, *queue, writer, codes, names, RunTotals(7)).ok());
    EXPECT_EQ(written.events(),
              (std::vector<Event>{ev(150, 1, KIND_START, 1), ev(150, 1, KIND_START, 2),
                                  ev(150, 2, KIND_START, 5), ev(200, 1, KIND_START, 4),
                                  ev(201, 1, KIND_RETURN, 4), ev(202, 1, KIND_RETURN, 2)}));
    EXPECT_EQ(written.totals.dropped, 7u);
    EXPECT_EQ(written.totals.left_out.ring, 4u);
}

// Requests without a path of their own share a dump, also one already being taken; a request
// with a path gets one of its own.
TEST(DumpDesk, FoldsRequestsWithoutAPathIntoOneDump) {
    DumpDesk desk;
    uint64_t a = desk.request(std::nullopt, false);
    uint64_t b = desk.request("mine.pb", false);
    uint64_t c = desk.request(std::nullopt, false);
    std::optional<DumpDesk::Next> first = desk.begin_next();
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->path);
    EXPECT_FALSE(desk.begin_next());                // one at a time
    uint64_t d = desk.request(std::nullopt, true);  // folded into the running one
    EXPECT_TRUE(desk.finish(DumpOutcome{"t.1.1.pb", ""}));
    EXPECT_EQ(desk.wait(a).path, "t.1.1.pb");
    EXPECT_EQ(desk.wait(c).path, "t.1.1.pb");
    std::optional<DumpDesk::Next> second = desk.begin_next();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->path, "mine.pb");
    EXPECT_FALSE(desk.finish(DumpOutcome{"mine.pb", ""}));
    EXPECT_EQ(desk.wait(b).path, "mine.pb");
    EXPECT_FALSE(desk.pending());
    (void)d;
}

TEST(DumpPath, PutsTheProcessAndNumberBeforeTheExtension) {
    const std::pair<const char*, const char*> CASES[] = {
        {"t.pb", "t.42.3.pb"},
        {"/a.b/trace", "/a.b/trace.42.3"},
        {"dir/.hidden", "dir/.hidden.42.3"},
        {"out.trace.json", "out.trace.42.3.json"},
    };
    for (const auto& [output, dump] : CASES) EXPECT_EQ(dump_path(output, 42, 3), dump);
}

}  // namespace
}  // namespace vespra
