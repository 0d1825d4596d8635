// The two trace readers and the format detection, checked against traces written by the real
// writers: what they report, in pieces of any size, from any prefix of a file, and from bytes
// that are not a trace. (Kept with the analysis tests for their sanitizer build.)
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "../proto/pb_reader.h"
#include "analysis/trace_file.h"
#include "analysis_util.h"

namespace vespra::testing {
namespace {

struct Read {
    std::vector<std::string> log;
    trace::StreamReport report;
};

Read read(Fmt fmt, const std::string& bytes, size_t piece = trace::READ_CHUNK) {
    LogVisitor v;
    auto r = reader(fmt, v);
    Result<trace::StreamReport> report = trace::read_bytes(bytes_of(bytes), *r, piece);
    EXPECT_TRUE(report.ok()) << report.error().text();
    return {v.log, report ? report.value() : trace::StreamReport{}};
}

// Two threads of process 10 (one named), nested calls, a generator's yield and resume, an
// exception's unwind and a throw; then a forked child 20 appending, named anew after its first
// batch as a multiprocessing worker is; 3 events dropped in 10, and events left out in 20 by
// both options.
struct Sample {
    FakeCodes codes;
    FakeNames names;
    std::vector<WriterRun> runs;

    Sample() {
        codes.infos[0] = {"main", "app.py", 1};
        codes.infos[1] = {"gen", "app.py", 9};
        codes.infos[2] = {"Cls.m\t\"q\"", "dir/é.py", 20};  // escapes in JSON
        codes.infos[3] = {"main", "other.py", 1};           // same name, other function
        names.names[7] = "MainThread";
        runs.push_back(WriterRun{10,
                                 {{ev(100, 7, KIND_START, 0), ev(110, 7, KIND_START, 1),
                                   ev(120, 7, KIND_YIELD, 1), ev(130, 8, KIND_START, 2)},
                                  {ev(140, 7, KIND_RESUME, 1), ev(150, 7, KIND_UNWIND, 1),
                                   ev(155, 8, KIND_THROW, 3), ev(160, 8, KIND_RETURN, 3),
                                   ev(170, 8, KIND_RETURN, 2), ev(1000000001, 7, KIND_RETURN, 0)}},
                                 3,
                                 "app.py"});
        runs.push_back(WriterRun{20,
                                 {{ev(5, 21, KIND_START, 0), ev(6, 21, KIND_RETURN, 0)}},
                                 0,
                                 "app.py",
                                 "ForkPoolWorker-1"});
        runs.back().left_out.max_depth = 4;
        runs.back().left_out.min_duration = 6;
    }
    std::string bytes(Fmt fmt) const { return write_trace(fmt, runs, codes, names); }
};

TEST(TraceRead, BothFormatsReportTheSameTrace) {
    Sample s;
    Read json = read(Fmt::Json, s.bytes(Fmt::Json));
    Read proto = read(Fmt::Proto, s.bytes(Fmt::Proto));
    // JSON names threads before their first events and again at the end of each writer's part,
    // protobuf in their descriptors; the function events agree exactly, with their files and
    // lines.
    auto events_of = [](const std::vector<std::string>& log) {
        std::vector<std::string> out, rest;
        for (const std::string& line : log)
            (line.starts_with("B ") || line.starts_with("E ") ? out : rest).push_back(line);
        return std::pair(out, rest);
    };
    std::vector<std::string> expected_proto = {
        "process 10 app.py",
        "thread 10/7",
        "name 0 MainThread",
        "B 0 main@app.py:1 100",
        "B 0 gen@app.py:9 110",
        "E 0 120",
        "thread 10/8",  // a new thread's descriptor comes right before its first event
        "B 1 Cls.m\t\"q\"@dir/é.py:20 130",
        "B 0 gen@app.py:9 140",
        "E 0 150",
        "B 1 main@other.py:1 155",
        "E 1 160",
        "E 1 170",
        "E 0 1000000001",
        "dropped 10 3",
        "process 20 app.py",
        "thread 20/21",
        "B 2 main@app.py:1 5",
        "E 2 6",
        "process 20 ForkPoolWorker-1",
        "left out 20 max_depth 4",
        "left out 20 min_duration 6",
    };
    EXPECT_EQ(proto.log, expected_proto);
    EXPECT_EQ(events_of(json.log).first, events_of(expected_proto).first);
    EXPECT_EQ(events_of(json.log).second,
              (std::vector<std::string>{"process 10 app.py", "thread 10/7", "name 0 MainThread",
                                        "thread 10/8", "name 0 MainThread", "dropped 10 3",
                                        "process 20 app.py",
                                        "thread 20/21", "process 20 ForkPoolWorker-1",
                                        // the fake name lookup also names thread 7 in the child
                                        "thread 20/7", "name 3 MainThread",
                                        "left out 20 max_depth 4", "left out 20 min_duration 6"}));
    EXPECT_FALSE(json.report.cut());
}

// Timestamps of every varint length, across the fast path's eight-byte decoding and its limit,
// written absolute and as deltas; and a step back in time.
TEST(TraceRead, TimestampsOfEveryLength) {
    FakeCodes codes;
    FakeNames names;
    codes.infos[0] = {"f", "a.py", 1};
    std::vector<Event> batch;
    std::vector<std::string> expected = {"process 10 python", "thread 10/7"};
    for (int bits : {0, 7, 8, 14, 35, 48, 49, 55, 56, 63, 64}) {
        uint64_t ts = bits == 64 ? UINT64_MAX : bits == 0 ? 0 : (uint64_t{1} << bits) - 1;
        for (uint64_t t : {ts, ts + (bits < 64)}) {
            batch.push_back(ev(t, 7, KIND_START, 0));
            batch.push_back(ev(t, 7, KIND_RETURN, 0));
            expected.push_back("B 0 f@a.py:1 " + std::to_string(t));
            expected.push_back("E 0 " + std::to_string(t));
        }
    }
    batch.push_back(ev(3, 7, KIND_START, 0));
    expected.push_back("B 0 f@a.py:1 3");
    for (bool incremental : {false, true}) {
        std::string bytes =
            write_trace(Fmt::Proto, {WriterRun{10, {batch}}}, codes, names, incremental);
        EXPECT_EQ(read(Fmt::Proto, bytes).log, expected) << incremental;
    }
}

// A file cut anywhere (a killed process, a full disk) reads up to the last whole record and
// says so; it is never an error. The whole file and every prefix read alike in pieces of any size.
TEST(TraceRead, EveryPrefixReadsUpToTheCutInPiecesOfAnySize) {
    Sample s;
    for (Fmt fmt : {Fmt::Json, Fmt::Proto}) {
        std::string bytes = s.bytes(fmt);
        Read whole = read(fmt, bytes);
        size_t first = fmt == Fmt::Json ? 1 : 0;
        // Where records end: after each packet (every length fits one byte here), or after
        // each JSON object and the ',' that follows it.
        std::set<size_t> record_ends = {0};
        if (fmt == Fmt::Json) record_ends.insert(1);  // "["
        for (size_t at = 0; fmt == Fmt::Proto && at < bytes.size();) {
            ASSERT_LT(static_cast<uint8_t>(bytes[at + 1]), 0x80);
            at += 2 + static_cast<uint8_t>(bytes[at + 1]);
            record_ends.insert(at);
        }
        int depth = 0;
        bool in_string = false;
        for (size_t i = 1; fmt == Fmt::Json && i < bytes.size(); ++i) {
            char c = bytes[i];
            if (in_string) {
                if (c == '\\')
                    ++i;
                else if (c == '"')
                    in_string = false;
            } else if (c == '"') {
                in_string = true;
            } else if (c == '{') {
                ++depth;
            } else if (c == '}' && --depth == 0) {
                record_ends.insert(i + 1);
                record_ends.insert(i + 2);
            }
        }
        for (size_t n = first; n <= bytes.size(); ++n) {
            std::string prefix = bytes.substr(0, n);
            LogVisitor v;
            auto r = reader(fmt, v);
            Result<trace::StreamReport> report =
                trace::read_bytes(bytes_of(prefix), *r, 1 + n % 7);
            ASSERT_TRUE(report.ok()) << "prefix " << n << ": " << report.error().text();
            EXPECT_EQ(report.value().size, n);
            ASSERT_LE(v.log.size(), whole.log.size());
            EXPECT_TRUE(std::equal(v.log.begin(), v.log.end(), whole.log.begin()));
            EXPECT_TRUE(n < bytes.size() || v.log == whole.log);
            // The cut is reported exactly when bytes after the last whole record remain.
            bool at_boundary = record_ends.contains(n);
            EXPECT_EQ(report.value().cut(), !at_boundary) << "prefix " << n;
        }
    }
}

// What a reader must make of `bytes` that may be anything: an error that names a byte of them
// (or says the first is wrong), or a report of all of them, whose complete records are no more than they hold and report no
// more than one event per byte. (Also built under ASan and UBSan: no crash, no hang either.)
void expect_error_or_partial_report(Fmt fmt, const std::string& bytes, size_t piece) {
    LogVisitor v;
    auto r = reader(fmt, v);
    Result<trace::StreamReport> report = trace::read_bytes(bytes_of(bytes), *r, piece);
    if (!report.ok()) {
        const std::string& text = report.error().text();
        size_t at = text.rfind("at byte ");
        if (at == std::string::npos) {
            EXPECT_TRUE(text.starts_with("not a JSON trace")) << text;  // its first byte is wrong
        } else {
            EXPECT_LE(std::stoull(text.substr(at + 8)), bytes.size()) << text;
        }
        return;
    }
    EXPECT_EQ(report.value().size, bytes.size());
    EXPECT_LE(report.value().complete, bytes.size());
    EXPECT_LE(v.log.size(), bytes.size());
}

// Bytes that are not a trace, or a trace damaged anywhere.
TEST(TraceRead, DamagedAndRandomBytesGiveAnErrorOrAPartialReport) {
    Sample s;
    std::mt19937 rng(42);
    for (Fmt fmt : {Fmt::Json, Fmt::Proto}) {
        std::string bytes = s.bytes(fmt);
        for (int round = 0; round < 3000; ++round) {
            std::string damaged = bytes;
            int flips = 1 + static_cast<int>(rng() % 4);
            for (int k = 0; k < flips; ++k) {
                damaged[rng() % damaged.size()] = static_cast<char>(rng());
            }
            expect_error_or_partial_report(fmt, damaged, 1 + rng() % 64);
        }
        for (int round = 0; round < 300; ++round) {
            std::string random(1 + rng() % 512, '\0');
            for (char& c : random) c = static_cast<char>(rng());
            random[0] = fmt == Fmt::Json ? '[' : '\x0a';
            expect_error_or_partial_report(fmt, random, trace::READ_CHUNK);
        }
    }
}

std::string error_of(Fmt fmt, const std::string& bytes) {
    LogVisitor v;
    auto r = reader(fmt, v);
    Result<trace::StreamReport> report = trace::read_bytes(bytes_of(bytes), *r);
    return report ? "" : report.error().text();
}

TEST(TraceRead, MalformedInputIsAnErrorNamingItsOffset) {
    // Deep nesting is refused, not recursed into.
    std::string deep = "[{\"args\":" + std::string(100000, '[');
    EXPECT_NE(error_of(Fmt::Json, deep).find("nested too deeply"), std::string::npos);
    EXPECT_EQ(error_of(Fmt::Json, "[{\"ph\":\"B\",\"pid\":1,\"tid\":1},"),
              "corrupt JSON trace: a duration record without a numeric \"ts\" at byte 1");
    EXPECT_EQ(error_of(Fmt::Json, "[{\"ph\":\"B\",\"ts\":1}{"),
              "corrupt JSON trace: a missing ',' between records at byte 18");
    EXPECT_EQ(error_of(Fmt::Json, "[{\"ts\":01}"),
              "corrupt JSON trace: a number with a leading zero at byte 7");

    // A begin whose name id was never interned on its sequence: its thread is described, the
    // name is not.
    FakeCodes codes;
    FakeNames names;
    std::string ok = write_trace(Fmt::Proto, {WriterRun{10, {{ev(1, 7, KIND_START, 0)}}}}, codes,
                                 names, /*incremental=*/true);
    // Packets: process, thread, clock snapshot, name, event. Dropping the name packet leaves
    // the event unresolved; dropping the snapshot, its time.
    std::vector<std::pair<size_t, size_t>> packets;
    for (size_t at = 0; at < ok.size();) {
        size_t len = static_cast<uint8_t>(ok[at + 1]);
        packets.emplace_back(at, 2 + len);
        at += 2 + len;
    }
    ASSERT_EQ(packets.size(), 5u);
    std::string no_name = ok.substr(0, packets[3].first) + ok.substr(packets[4].first);
    EXPECT_EQ(error_of(Fmt::Proto, no_name),
              "corrupt protobuf trace: a name id never interned on its sequence in the packet at "
              "byte " +
                  std::to_string(packets[3].first));
    std::string no_thread = ok.substr(0, packets[1].first) + ok.substr(packets[4].first);
    EXPECT_NE(error_of(Fmt::Proto, no_thread).find("an event on an undescribed track"),
              std::string::npos);
    std::string no_clock = ok.substr(0, packets[2].first) + ok.substr(packets[3].first);
    EXPECT_NE(error_of(Fmt::Proto, no_clock).find("a sequence clock that no snapshot defined"),
              std::string::npos);
    // A timestamp with the wire type of a string.
    EXPECT_EQ(error_of(Fmt::Proto, std::string("\x0a\x02\x42\x00", 4)),
              "corrupt protobuf trace: a timestamp of the wrong wire type in the packet at byte 0");
    EXPECT_EQ(error_of(Fmt::Proto, std::string("\x0a\x02\x40\x01\x12", 5)),
              "not a protobuf trace packet at byte 4");
    EXPECT_EQ(error_of(Fmt::Proto, std::string("\x0a\x01\x40", 3)),
              "corrupt protobuf trace: a malformed field in the packet at byte 0");
}

// Traces written before events carried source locations, and events of other writers that name
// a location of another iid, inline names with a location, or none.
TEST(TraceRead, ProtobufEventsWithAndWithoutLocations) {
    using pbtest::bytes;
    const std::string process = bytes(
        "0A 2B 40 00 50 01 E2 03 22 08 81 80 80 80 A0 92 04 12 0B 'python:4242' "
        "1A 0B 08 92 21 32 06 'python' 68 01");
    const std::string thread = bytes(
        "0A 37 40 00 50 02 E2 03 17 08 82 80 80 80 A0 92 04 22 05 08 92 21 10 64 "
        "28 81 80 80 80 A0 92 04 62 08 0A 06 08 01 12 02 'py' 68 01 "
        "DA 03 0A 5A 08 58 82 80 80 80 A0 92 04");
    std::string names_only = process + thread +
                             bytes("0A 12 40 00 50 02 62 0A 12 08 08 01 12 04 'main' 68 02") +
                             bytes("0A 0F 40 E8 07 50 02 68 02 5A 06 48 01 18 01 50 01") +
                             bytes("0A 0B 40 DC 0B 50 02 68 02 5A 02 48 02");
    EXPECT_EQ(read(Fmt::Proto, names_only).log,
              (std::vector<std::string>{"process 4242 python", "thread 4242/100",
                                        "B 0 main@:0 1000", "E 0 1500"}));

    // Name 1 "main", location 2 { m.py, main, 3 }, location 3 { n.py, f, 4 }. Begins: name 1
    // with location 2; location 3 alone (its function name is taken); name 1 without one; then
    // name 1 with location 2 again (one function); a location never interned.
    std::string other = process + thread +
                        bytes(
                            "0A 33 40 00 50 02 62 2B 12 08 08 01 12 04 'main' "
                            "22 10 08 02 12 04 'm.py' 1A 04 'main' 20 03 "
                            "22 0D 08 03 12 04 'n.py' 1A 01 'f' 20 04 68 02") +
                        bytes("0A 11 40 01 50 02 68 02 5A 09 48 01 18 01 50 01 90 02 02") +
                        bytes("0A 0D 40 02 50 02 68 02 5A 05 48 01 90 02 03") +
                        bytes("0A 0E 40 03 50 02 68 02 5A 06 48 01 18 01 50 01") +
                        bytes("0A 11 40 04 50 02 68 02 5A 09 48 01 18 01 50 01 90 02 02");
    LogVisitor v;
    ProtoReader reader(v);
    ASSERT_TRUE(trace::read_bytes(bytes_of(other), reader).ok());
    EXPECT_EQ(v.log, (std::vector<std::string>{"process 4242 python", "thread 4242/100",
                                               "B 0 main@m.py:3 1", "B 0 f@n.py:4 2",
                                               "B 0 main@:0 3", "B 0 main@m.py:3 4"}));
    EXPECT_EQ(v.functions.size(), 4u);  // the first and the last begin share one
    std::string unknown = process + thread +
                          bytes("0A 12 40 00 50 02 62 0A 12 08 08 01 12 04 'main' 68 02") +
                          bytes("0A 11 40 04 50 02 68 02 5A 09 48 01 18 01 50 01 90 02 01");
    EXPECT_NE(error_of(Fmt::Proto, unknown).find("a source location id never interned"),
              std::string::npos);
}

// Records other tools write: other key orders, whitespace, a closed array, escapes, exponent
// timestamps, phases we do not read.
TEST(TraceRead, JsonRecordsOutsideTheWritersLayout) {
    std::string text =
        "  [ {\"ph\": \"B\", \"tid\": 2, \"pid\": 1, \"ts\": 1.5e3, \"name\": "
        "\"f\\u00e9\\ud83d\\ude00\","
        " \"args\": {\"line\": 4, \"file\": \"a\\/b.py\", \"extra\": [1, {\"x\": null}]}},\n"
        "{\"name\":\"x\",\"ph\":\"X\",\"ts\":3,\"dur\":4,\"pid\":1,\"tid\":2},"
        "{\"ph\":\"E\",\"ts\":2000.25,\"pid\":1,\"tid\":2},"
        "{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1,\"args\":{\"name\":\"srv\"}} ]  \n";
    Read r = read(Fmt::Json, text);
    // The complete record comes at the end, where its thread's complete records are replayed.
    std::vector<std::string> expected = {"process 1 ",         "thread 1/2",
                                         "B 0 fé😀@a/b.py:4 1500000", "E 0 2000250",
                                         "process 1 srv",      "B 0 x@:0 3000",
                                         "E 0 7000"};
    EXPECT_EQ(r.log, expected);
    EXPECT_FALSE(r.report.cut());
    EXPECT_NE(error_of(Fmt::Json, "[]{}").find("data after the end of the trace"),
              std::string::npos);
}

// What other tracers and browsers write: the object form, with complete records put out when a
// slice ends (after the slices inside it), members before and after the records. A slice that
// would outlast the one around it ends with it.
TEST(TraceRead, TheObjectFormAndCompleteRecordsNestByTime) {
    std::string text =
        "{\"displayTimeUnit\": \"ms\", \"traceEvents\": ["
        "{\"name\":\"inner\",\"ph\":\"X\",\"ts\":2,\"dur\":1,\"pid\":1,\"tid\":1},"
        "{\"name\":\"outer\",\"ph\":\"X\",\"ts\":1,\"dur\":5,\"pid\":1,\"tid\":1},"
        "{\"name\":\"late\",\"ph\":\"X\",\"ts\":5,\"dur\":9,\"pid\":1,\"tid\":1}],"
        " \"metadata\": {\"a\": [1, \"]}\"]}}\n";
    std::vector<std::string> expected = {
        "process 1 ",       "thread 1/1",   "B 0 outer@:0 1000", "B 0 inner@:0 2000",
        "E 0 3000",         "B 0 late@:0 5000", "E 0 6000",      "E 0 6000"};
    for (size_t piece : {size_t{1}, size_t{7}, trace::READ_CHUNK}) {
        Read r = read(Fmt::Json, text, piece);
        EXPECT_EQ(r.log, expected) << piece;
        EXPECT_FALSE(r.report.cut());
    }
    // JSON that holds no trace event is no trace, cut or whole, array or object.
    for (const std::string& other :
         std::vector<std::string>{"[{\"a\":1},{\"b\":2}]", "[{\"a\":\"" + std::string(100000, 'x'),
                                  "{\"a\":[{\"ph\":\"B\"}]}"}) {
        EXPECT_NE(error_of(Fmt::Json, other).find("not a trace"), std::string::npos) << other;
    }
    EXPECT_EQ(error_of(Fmt::Json, "["), "");  // a trace that recorded nothing yet
}

TEST(TraceFile, FormatIsToldByContent) {
    // The writers' own files are told apart by the Python tests of the commands that read them.
    TempTrace file;
    auto write = [&](const std::string& bytes) {
        std::ofstream(file.path, std::ios::binary | std::ios::trunc) << bytes;
    };
    for (const char* json : {"\n\n[\n{\"ph\":\"B\",\"ts\":1,\"name\":\"a\"},",
                             "\n{\"traceEvents\":[{\"ph\":\"B\",\"ts\":1,\"name\":\"a\"}]}"}) {
        write(json);
        LogVisitor v;
        Result<analysis::TraceRead> r = analysis::read_trace(file.path, v);
        ASSERT_TRUE(r.ok()) << r.error().text();
        EXPECT_EQ(r.value().format, analysis::TraceFormat::Json);
        EXPECT_EQ(v.log.back(), "B 0 a@:0 1000");
    }

    auto error = [&](const std::string& bytes) {
        write(bytes);
        LogVisitor v;
        Result<analysis::TraceRead> r = analysis::read_trace(file.path, v);
        return r ? std::string() : r.error().text();
    };
    EXPECT_EQ(error(""), file.path + ": the file is empty: not a trace");
    EXPECT_NE(error("hello").find("not a vespra trace"), std::string::npos);
    LogVisitor none;
    Result<analysis::TraceRead> missing = analysis::read_trace(file.dir + "/missing", none);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().text(), file.dir + "/missing: No such file or directory");
}

}  // namespace
}  // namespace vespra::testing
