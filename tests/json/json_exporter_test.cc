// The JSON writer's output, byte for byte, and how it meets the file.
#include "json/json_exporter.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <limits>
#include <string>
#include <vector>

#include "json_reader.h"
#include "json_test_util.h"

namespace vespra {
namespace {

using testing::ev;
using testing::FakeCodes;
using testing::FakeNames;
using testing::JsonReader;
using testing::TempFile;

constexpr uint32_t PID = 4242;

// A writer over a fresh temporary file, with the lookups the test fills in.
struct Writer {
    TempFile file;
    FakeCodes codes;
    FakeNames names;
    JsonExporter exporter{testing::open_shared(file.path(), true), PID};

    std::string write(std::vector<Event> events) {
        Status s = exporter.write_batch(events, codes, names);
        EXPECT_TRUE(s.ok()) << s.error().text();
        return file.contents();
    }
};

std::string record(const std::string& name_json, const char* ph, const char* ts, uint32_t tid,
                   const std::string& file_json, uint32_t line, const char* kind,
                   uint32_t pid = PID) {
    return "{\"name\":" + name_json + ",\"cat\":\"py\",\"ph\":\"" + ph + "\",\"ts\":" + ts +
           ",\"pid\":" + std::to_string(pid) + ",\"tid\":" + std::to_string(tid) +
           ",\"args\":{\"file\":" + file_json + ",\"line\":" + std::to_string(line) +
           ",\"kind\":\"" + kind + "\"}},";
}

TEST(JsonEventRecord, StartOfMainIsWrittenExactly) {
    Writer w;
    w.codes.infos[0] = {"main", "app.py", 12};
    EXPECT_EQ(w.write({ev(1'500'250, 7, KIND_START, 0)}),
              "{\"name\":\"main\",\"cat\":\"py\",\"ph\":\"B\",\"ts\":1500.250,\"pid\":4242,"
              "\"tid\":7,\"args\":{\"file\":\"app.py\",\"line\":12,\"kind\":\"start\"}},");
}

TEST(JsonEventRecord, EveryKindHasItsPhaseAndNameAndStrayKindsAreStarts) {
    Writer w;
    w.codes.infos[3] = {"f", "m.py", 1};
    const struct {
        uint8_t kind;
        const char* ph;
        const char* name;
    } cases[] = {{1, "B", "start"},  {2, "E", "return"}, {3, "E", "yield"}, {4, "B", "resume"},
                 {5, "E", "unwind"}, {6, "B", "throw"},  {0, "B", "start"}, {7, "B", "start"},
                 {9, "B", "start"},  {255, "B", "start"}};
    std::vector<Event> events;
    std::string expected;
    for (auto& c : cases) {
        events.push_back(ev(2000, 1, c.kind, 3));
        expected += record("\"f\"", c.ph, "2.000", 1, "\"m.py\"", 1, c.name);
    }
    EXPECT_EQ(w.write(events), expected);
}

TEST(JsonEventRecord, NumbersAreUnsignedDecimalsAndTimestampsHaveThreeDecimals) {
    Writer w;
    w.codes.infos[0] = {"g", "", std::numeric_limits<uint32_t>::max()};
    const struct {
        uint64_t ns;
        const char* text;
    } stamps[] = {{0, "0.000"},
                  {1, "0.001"},
                  {10, "0.010"},
                  {999, "0.999"},
                  {1000, "1.000"},
                  {1'000'000, "1000.000"},
                  {1'234'567, "1234.567"},
                  {100'000'090, "100000.090"},
                  {std::numeric_limits<uint64_t>::max(), "18446744073709551.615"}};
    const uint32_t tids[] = {0, 1u << 31, std::numeric_limits<uint32_t>::max()};
    std::vector<Event> events;
    std::string expected;
    for (auto& s : stamps) {
        for (uint32_t tid : tids) {
            events.push_back(ev(s.ns, tid, KIND_RETURN, 0));
            expected += record("\"g\"", "E", s.text, tid, "\"\"", 4294967295u, "return");
        }
    }
    EXPECT_EQ(w.write(events), expected);
}

TEST(JsonText, DecimalDigitsMatchAnIndependentFormatterAtEveryLength) {
    std::vector<uint64_t> values = {0, std::numeric_limits<uint64_t>::max()};
    for (uint64_t p = 1; p <= 1'000'000'000'000'000'000ull; p *= 10) {
        values.insert(values.end(), {p - 1, p, p + 1, p * 9 + (p - 1)});
    }
    for (uint64_t v = 0; v < 100'000; v += 7) values.push_back(v * 104'729);
    json::Buffer b;
    for (uint64_t v : values) {
        b.clear();
        json::push_u64(b, v);
        ASSERT_EQ(b.view(), std::to_string(v));
        b.clear();
        json::push_micros(b, v);
        std::string frac = std::to_string(v % 1000);
        ASSERT_EQ(b.view(),
                  std::to_string(v / 1000) + "." + std::string(3 - frac.size(), '0') + frac);
    }
}

TEST(JsonEscaping, ControlBytesQuotesAndBackslashesAreEscapedEverythingElsePasses) {
    Writer w;
    std::string name =
        "a\tb\"c\\d\x01"
        "e\x7f"
        "f\x1f\b\f\n\r";
    std::string file = "caf\xc3\xa9/\xe2\x82\xac.py";  // UTF-8 passes unchanged, so does '/'
    w.codes.infos[5] = {name, file, 3};
    std::string out = w.write({ev(0, 2, KIND_START, 5)});
    EXPECT_EQ(out, record("\"a\\tb\\\"c\\\\d\\u0001e\x7f"
                          "f\\u001f\\b\\f\\n\\r\"",
                          "B", "0.000", 2, "\"caf\xc3\xa9/\xe2\x82\xac.py\"", 3, "start"));
    // And an independent reader gets the original bytes back.
    auto records = JsonReader::read_trace("[" + out);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("name").text, name);
    EXPECT_EQ(records[0].at("args").at("file").text, file);

    std::string all_controls;
    for (int c = 0; c < 0x20; ++c) all_controls += static_cast<char>(c);
    json::Buffer b;
    json::push_string(b, all_controls);
    EXPECT_EQ(b.view(),
              "\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
              "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018"
              "\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f\"");
}

TEST(JsonCodeTemplates, UnknownOrNamelessCodesAreWrittenAsUnknown) {
    Writer w;
    w.codes.infos[1] = {"", "x.py", 9};  // known, but without a name
    std::string out = w.write({ev(1, 1, KIND_START, 1), ev(2, 1, KIND_START, 77)});
    EXPECT_EQ(out, record("\"<unknown>\"", "B", "0.001", 1, "\"x.py\"", 9, "start") +
                       record("\"<unknown>\"", "B", "0.002", 1, "\"\"", 0, "start"));
}

TEST(JsonCodeTemplates, LookupIsAskedOncePerCodeIdForTheExportersLife) {
    Writer w;
    w.codes.infos[1] = {"a", "a.py", 1};
    w.codes.infos[2] = {"b", "b.py", 2};
    std::string first = w.write({ev(1000, 1, KIND_START, 1), ev(2000, 2, KIND_START, 2),
                                 ev(3000, 1, KIND_RETURN, 1), ev(4000, 1, KIND_START, 99)});
    // A later batch, after the lookup has learned about code 99, still writes what was cached:
    // records of one code stay identical for the life of the exporter.
    w.codes.infos[99] = {"late", "late.py", 5};
    w.codes.infos[1] = {"renamed", "a.py", 1};
    std::string all = w.write({ev(5000, 3, KIND_YIELD, 1), ev(6000, 3, KIND_UNWIND, 99)});
    EXPECT_EQ(all.substr(first.size()),
              record("\"a\"", "E", "5.000", 3, "\"a.py\"", 1, "yield") +
                  record("\"<unknown>\"", "E", "6.000", 3, "\"\"", 0, "unwind"));
    EXPECT_EQ(w.codes.asked(1), 1);
    EXPECT_EQ(w.codes.asked(2), 1);
    EXPECT_EQ(w.codes.asked(99), 1);
    EXPECT_EQ(w.exporter.template_count(), 3u);
}

TEST(JsonCodeTemplates, ManyCodeIdsKeepTheirOwnTemplates) {
    // Enough ids to make the template index grow several times, spread over the 24-bit range.
    Writer w;
    std::vector<Event> events;
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < 5000; ++i)
        ids.push_back(i < 4000 ? i : (i * 2654435761u) & CODE_ID_MASK);
    for (uint32_t id : ids) w.codes.infos[id] = {"f" + std::to_string(id), "m.py", id};
    for (int round = 0; round < 2; ++round)
        for (uint32_t id : ids) events.push_back(ev(id, 1, KIND_START, id));
    auto records = JsonReader::read_trace("[" + w.write(events));
    ASSERT_EQ(records.size(), events.size());
    for (size_t i = 0; i < records.size(); ++i) {
        uint32_t id = ids[i % ids.size()];
        ASSERT_EQ(records[i].at("name").text, "f" + std::to_string(id));
        ASSERT_EQ(records[i].at("args").at("line").as_u64(), id);
    }
    for (uint32_t id : ids) ASSERT_EQ(w.codes.asked(id), 1) << id;
}

TEST(JsonBatches, EmptyBatchWritesNothingButStillFlushes) {
    TempFile file;
    FakeCodes codes;
    FakeNames names;
    SharedFile out = testing::open_shared(file.path(), true);
    out.write("[");  // pending, not yet flushed
    JsonExporter exporter(std::move(out), PID);
    EXPECT_EQ(file.contents(), "");
    ASSERT_TRUE(exporter.write_batch({}, codes, names).ok());
    EXPECT_EQ(file.contents(), "[");
}

TEST(JsonBatches, EachBatchReachesTheFileWholeAtItsWrite) {
    Writer w;
    w.codes.infos[0] = {std::string(300, 'n'), std::string(200, 'f'), 1};
    std::vector<Event> big(4000, ev(123'456'789, 3, KIND_START, 0));  // well over 256 KiB
    std::string one = record("\"" + std::string(300, 'n') + "\"", "B", "123456.789", 3,
                             "\"" + std::string(200, 'f') + "\"", 1, "start");
    std::string expected;
    for (size_t i = 0; i < big.size(); ++i) expected += one;
    EXPECT_EQ(w.write(big), expected);
    EXPECT_EQ(w.write({ev(0, 3, KIND_RETURN, 0)}).substr(expected.size()),
              record("\"" + std::string(300, 'n') + "\"", "E", "0.000", 3,
                     "\"" + std::string(200, 'f') + "\"", 1, "return"));
}

TEST(JsonFinish, NothingToSayWritesNothing) {
    Writer w;
    ASSERT_TRUE(w.exporter.finish(w.codes, w.names, 0).ok());
    EXPECT_EQ(w.file.contents(), "");
}

TEST(JsonFinish, ThreadNamesInSnapshotOrderThenTheDroppedCount) {
    TempFile file;
    FakeCodes codes;
    FakeNames names;
    names.names = {{1, "worker"}, {3, "Main\"Thread\n"}, {4'000'000'000u, ""}};
    JsonExporter exporter(testing::open_shared(file.path(), true), 10);
    ASSERT_TRUE(exporter.finish(codes, names, 3).ok());
    EXPECT_EQ(file.contents(),
              "{\"args\":{\"name\":\"worker\"},\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":10,"
              "\"tid\":1},"
              "{\"args\":{\"name\":\"Main\\\"Thread\\n\"},\"name\":\"thread_name\",\"ph\":\"M\","
              "\"pid\":10,\"tid\":3},"
              "{\"args\":{\"name\":\"\"},\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":10,"
              "\"tid\":4000000000},"
              "{\"args\":{\"count\":3},\"name\":\"vespra_dropped_events\",\"ph\":\"M\",\"pid\":10,"
              "\"tid\":0},");
}

TEST(JsonFinish, RealProcessIdIsUsedByDefault) {
    TempFile file;
    JsonExporter exporter(testing::open_shared(file.path(), true));
    EXPECT_EQ(exporter.pid(), static_cast<uint32_t>(::getpid()));
}

// A parent and a forked child append to one file, each with its own writer: one "[", whole
// records of both processes, every record closed by ",", no "]".
TEST(JsonProcesses, ParentAndForkedChildShareOneArray) {
    TempFile file;
    {
        SharedFile out = testing::open_shared(file.path(), true);
        out.write("[");
        ASSERT_TRUE(out.flush().ok());
    }
    constexpr int BATCHES = 200, PER_BATCH = 50;
    auto run = [&](uint32_t tid) {
        FakeCodes codes;
        FakeNames names;
        codes.infos[0] = {"work", "w.py", 1};
        names.names = {{tid, "t" + std::to_string(tid)}};
        JsonExporter exporter(testing::open_shared(file.path(), false));
        uint64_t ts = 0;
        for (int b = 0; b < BATCHES; ++b) {
            std::vector<Event> batch;
            for (int i = 0; i < PER_BATCH; ++i) batch.push_back(ev(ts++, tid, KIND_START, 0));
            if (!exporter.write_batch(batch, codes, names).ok()) return false;
        }
        return exporter.finish(codes, names, 0).ok();
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(run(2) ? 0 : 1);
    ASSERT_TRUE(run(1));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::string text = file.contents();
    ASSERT_EQ(text.back(), ',');
    EXPECT_EQ(text.find(']'), std::string::npos);
    std::vector<testing::JsonValue> records;
    ASSERT_NO_THROW(records = JsonReader::read_trace(text));
    std::map<uint64_t, uint64_t> next_ts;  // per pid
    std::map<uint64_t, int> names_seen;
    for (auto& r : records) {
        uint64_t pid = r.at("pid").as_u64();
        if (r.at("ph").text == "M") {
            ++names_seen[pid];
            continue;
        }
        json::Buffer expected;
        json::push_micros(expected, next_ts[pid]++);
        ASSERT_EQ(r.at("ts").text, expected.view());
    }
    ASSERT_EQ(next_ts.size(), 2u);
    for (auto& [pid, n] : next_ts) EXPECT_EQ(n, uint64_t{BATCHES * PER_BATCH}) << pid;
    for (auto& [pid, n] : names_seen) EXPECT_EQ(n, 1) << pid;
}

}  // namespace
}  // namespace vespra
