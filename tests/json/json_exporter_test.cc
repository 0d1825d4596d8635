// The JSON writer's records, byte for byte, and how they meet the file.
#include "json/json_exporter.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "../core/test_util.h"

namespace vespra {
namespace {

using testing::ev;

constexpr uint32_t PID = 4242;

// The record that names the process, as the first batch of a writer of pid 4242 starts.
std::string process_record(const std::string& name) {
    return "{\"args\":{\"name\":" + name +
           "},\"name\":\"process_name\",\"ph\":\"M\",\"pid\":4242,\"tid\":0},";
}

// A writer for pid 4242 over a fresh temporary file, in a process named "python".
struct Writer {
    bool named = (process_name::set(ProcessName{}), true);
    testing::TempTrace file;
    testing::FakeCodes codes;
    testing::FakeNames names;
    JsonExporter exporter{file.open(), PID};

    // Writes one batch and returns the whole file but the process's name ahead of it.
    std::string write(const std::vector<Event>& events) {
        Status s = exporter.write_batch(events, codes, names);
        EXPECT_TRUE(s.ok()) << s.error().text();
        std::string all = file.contents();
        std::string name = process_record("\"python\"");
        EXPECT_EQ(all.substr(0, name.size()), name);
        return all.substr(name.size());
    }
};

std::string record(const std::string& name, const char* ph, const char* ts, uint32_t tid,
                   const std::string& file, uint32_t line, const char* kind) {
    return "{\"name\":" + name + ",\"cat\":\"py\",\"ph\":\"" + ph + "\",\"ts\":" + ts +
           ",\"pid\":4242,\"tid\":" + std::to_string(tid) + ",\"args\":{\"file\":" + file +
           ",\"line\":" + std::to_string(line) + ",\"kind\":\"" + kind + "\"}},";
}

TEST(JsonEventRecord, StartOfMainIsWrittenExactly) {
    Writer w;
    w.codes.infos[0] = {"main", "app.py", 12};
    EXPECT_EQ(w.write({ev(1'500'250, 7, KIND_START, 0)}),
              "{\"name\":\"main\",\"cat\":\"py\",\"ph\":\"B\",\"ts\":1500.250,\"pid\":4242,"
              "\"tid\":7,\"args\":{\"file\":\"app.py\",\"line\":12,\"kind\":\"start\"}},");
}

TEST(JsonEventRecord, KindsTimestampsAndThreadIds) {
    Writer w;
    w.codes.infos[3] = {"f", "", std::numeric_limits<uint32_t>::max()};
    const struct {
        uint8_t kind;
        uint64_t ns;
        uint32_t tid;
        const char *ph, *ts, *name;
    } cases[] = {
        {1, 0, 0, "B", "0.000", "start"},
        {2, 1, 1u << 31, "E", "0.001", "return"},
        {3, 999, UINT32_MAX, "E", "0.999", "yield"},
        {4, 1000, 5, "B", "1.000", "resume"},
        {5, 1'000'000, 5, "E", "1000.000", "unwind"},
        {6, 100'000'090, 5, "B", "100000.090", "throw"},
        {0, UINT64_MAX, 5, "B", "18446744073709551.615", "start"},  // not a kind: a start
        {9, 1'234'567, 5, "B", "1234.567", "start"},
    };
    std::vector<Event> events;
    std::string expected;
    for (auto& c : cases) {
        events.push_back(ev(c.ns, c.tid, c.kind, 3));
        expected += record("\"f\"", c.ph, c.ts, c.tid, "\"\"", 4294967295u, c.name);
    }
    EXPECT_EQ(w.write(events), expected);
}

TEST(JsonText, DigitsMatchAnIndependentFormatterAtEveryLength) {
    std::vector<uint64_t> values = {0, UINT32_MAX, uint64_t{UINT32_MAX} + 1, UINT64_MAX};
    for (uint64_t p = 1; p <= 1'000'000'000'000'000'000ull; p *= 10)
        values.insert(values.end(), {p - 1, p, p + 1, p * 9 + (p - 1)});
    json::Buffer b;
    for (uint64_t v : values) {
        b.clear();
        json::push_u64(b, v);
        ASSERT_EQ(b.view(), std::to_string(v));
        b.clear();
        json::push_micros(b, v);
        std::string frac = std::to_string(1000 + v % 1000).substr(1);
        ASSERT_EQ(b.view(), std::to_string(v / 1000) + "." + frac);
    }
}

TEST(JsonEscaping, ControlsQuotesAndBackslashesAreEscapedOtherBytesPass) {
    Writer w;
    std::string name =
        "a\tb\"c\\d\x01"
        "e\x7f"
        "f\x1f\b\f\n\r";
    std::string file = "caf\xc3\xa9/\xe2\x82\xac.py";  // UTF-8 and '/' pass unchanged
    w.codes.infos[5] = {name, file, 3};
    EXPECT_EQ(w.write({ev(0, 2, KIND_START, 5)}),
              record("\"a\\tb\\\"c\\\\d\\u0001e\x7f"
                     "f\\u001f\\b\\f\\n\\r\"",
                     "B", "0.000", 2, "\"" + file + "\"", 3, "start"));
}

TEST(JsonCodeTemplates, UnknownAndNamelessCodesAndOneLookupPerCode) {
    Writer w;
    w.codes.infos[1] = {"", "x.py", 9};  // known, without a name
    w.codes.infos[2] = {"a", "a.py", 1};
    std::string first = w.write({ev(1, 1, KIND_START, 1), ev(2, 1, KIND_START, 77),
                                 ev(3, 1, KIND_START, 2), ev(4, 1, KIND_RETURN, 2)});
    EXPECT_EQ(first, record("\"<unknown>\"", "B", "0.001", 1, "\"x.py\"", 9, "start") +
                         record("\"<unknown>\"", "B", "0.002", 1, "\"\"", 0, "start") +
                         record("\"a\"", "B", "0.003", 1, "\"a.py\"", 1, "start") +
                         record("\"a\"", "E", "0.004", 1, "\"a.py\"", 1, "return"));
    // What the lookup learns later does not change records of codes already seen.
    w.codes.infos[77] = {"late", "late.py", 5};
    std::string all = w.write({ev(5, 3, KIND_UNWIND, 77)});
    EXPECT_EQ(all.substr(first.size()),
              record("\"<unknown>\"", "E", "0.005", 3, "\"\"", 0, "unwind"));
    for (uint32_t id : {1, 2, 77}) EXPECT_EQ(w.codes.asked[id], 1) << id;
}

// Dense ids and ids spread over the whole 24-bit range each keep their own template.
TEST(JsonCodeTemplates, ManyCodeIdsAcrossTheWholeRange) {
    Writer w;
    std::vector<Event> events;
    std::string expected;
    for (uint32_t i = 0; i < 10000; ++i) {
        uint32_t id = i % 5000 < 4000 ? i % 5000 : (i % 5000 * 2654435761u) & CODE_ID_MASK;
        w.codes.infos[id] = {"f" + std::to_string(id), "m.py", id};
        events.push_back(ev(0, 1, KIND_START, id));
        expected +=
            record("\"f" + std::to_string(id) + "\"", "B", "0.000", 1, "\"m.py\"", id, "start");
    }
    EXPECT_EQ(w.write(events), expected);
    for (auto [id, questions] : w.codes.asked) ASSERT_EQ(questions, 1) << id;
}

TEST(JsonFinish, ThreadNamesThenDroppedCount) {
    Writer w;
    w.names.names = {{1, "worker"}, {3, "Main\"Thread\n"}, {4'000'000'000u, ""}};
    ASSERT_TRUE(w.exporter.finish(w.codes, w.names, 1).ok());
    EXPECT_EQ(
        w.file.contents(),
        "{\"args\":{\"name\":\"worker\"},\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":4242,"
        "\"tid\":1},"
        "{\"args\":{\"name\":\"Main\\\"Thread\\n\"},\"name\":\"thread_name\",\"ph\":\"M\","
        "\"pid\":4242,\"tid\":3},"
        "{\"args\":{\"name\":\"\"},\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":4242,"
        "\"tid\":4000000000},"
        "{\"args\":{\"count\":1},\"name\":\"vespra_dropped_events\",\"ph\":\"M\",\"pid\":4242,"
        "\"tid\":0},");
}

// The process's name goes out ahead of the first batch and again, once, after each change, so
// that the last one in the file is the one it ended with; a writer that wrote nothing names
// nothing.
TEST(JsonProcessName, FirstBatchAndEveryChangeAfterIt) {
    Writer quiet;
    ASSERT_TRUE(quiet.exporter.write_batch({}, quiet.codes, quiet.names).ok());
    process_name::set(ProcessName{"late", {"python"}});
    ASSERT_TRUE(quiet.exporter.finish(quiet.codes, quiet.names, 0).ok());
    EXPECT_EQ(quiet.file.contents(), "");

    Writer w;
    w.codes.infos[0] = {"f", "m.py", 1};
    std::string start = record("\"f\"", "B", "0.000", 1, "\"m.py\"", 1, "start");
    std::string first = w.write({ev(0, 1, KIND_START, 0)});
    EXPECT_EQ(first, start);
    EXPECT_EQ(w.write({ev(0, 1, KIND_START, 0)}), first + start);  // unchanged: not again

    process_name::set(ProcessName{"Fork\"PoolWorker\"-3", {"python", "-c", "x"}});
    std::string renamed = process_record("\"Fork\\\"PoolWorker\\\"-3\"");
    EXPECT_EQ(w.write({ev(0, 1, KIND_START, 0)}), first + start + renamed + start);

    process_name::set(ProcessName{"after", {}});
    size_t before = w.file.contents().size();
    ASSERT_TRUE(w.exporter.finish(w.codes, w.names, 0).ok());
    EXPECT_EQ(w.file.contents().substr(before), process_record("\"after\""));
    process_name::set(ProcessName{});
}

}  // namespace
}  // namespace vespra
