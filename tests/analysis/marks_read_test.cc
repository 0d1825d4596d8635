// Marks written by the real writers and read back by both readers: spans are reported apart
// from functions, counter samples per process with their values, instants and arguments pass
// without disturbing the slices; the profile keeps each counter's count, min, max and last.
#include <gtest/gtest.h>

#include "analysis/profile.h"
#include "analysis_util.h"
#include "core/marks.h"

namespace vespra::testing {
namespace {

// The events of one mark: its header, then its payload as the serializer decodes it.
void mark(std::vector<Event>& out, uint64_t ts, uint32_t tid, uint8_t kind, uint32_t name,
          const std::string& payload = {}) {
    out.push_back(Event{ts, tid, pack_word(kind, name)});
    std::vector<PackedEvent> slots(marks::slots_for(payload));
    marks::pack(payload, slots.data());
    for (const PackedEvent& s : slots) out.push_back(Event{s.delta, tid, s.packed});
}

std::string counter_value(double v, bool integer) {
    marks::PayloadBuilder b;
    if (integer) {
        b.int64(static_cast<int64_t>(v));
    } else {
        b.float64(v);
    }
    return std::string(b.finish());
}

struct Marked {
    FakeCodes codes;
    FakeNames names;
    std::vector<WriterRun> runs;

    Marked() {
        codes.infos[0] = CodeInfo{"main", "app.py", 1};
        codes.infos[1] = CodeInfo{"work", "", 0, true};   // a span, named like nothing else
        codes.infos[2] = CodeInfo{"main", "", 0, true};   // a span named like a function
        codes.infos[3] = CodeInfo{"queue", "", 0, true};  // a counter
        codes.infos[4] = CodeInfo{"key", "", 0, true};    // an argument's name
        names.names[7] = "MainThread";
        marks::PayloadBuilder args;
        args.arg_name(4);
        args.string("file");  // an argument named like the JSON reader's own keys does not
        std::string payload(args.finish());  // become a place
        std::vector<Event> b;
        b.push_back(ev(100, 7, KIND_START, 0));
        mark(b, 110, 7, KIND_SPAN_BEGIN, 1, payload);
        mark(b, 115, 7, KIND_INSTANT, 4, payload);
        mark(b, 120, 7, KIND_COUNTER, 3, counter_value(-3, true));
        mark(b, 125, 7, KIND_SPAN_BEGIN, 2);
        mark(b, 126, 7, KIND_SPAN_END, 2);
        mark(b, 130, 7, KIND_SPAN_END, 1, payload);
        mark(b, 140, 7, KIND_COUNTER, 3, counter_value(2.5, false));
        b.push_back(ev(150, 7, KIND_RETURN, 0));
        runs.push_back(WriterRun{10, {b}});
        std::vector<Event> c;
        mark(c, 5, 21, KIND_COUNTER, 3, counter_value(40, true));
        runs.push_back(WriterRun{20, {c}});
    }
};

struct MarkLog : LogVisitor {
    uint32_t span(std::string_view name) override {
        functions.push_back("span:" + std::string(name));
        return static_cast<uint32_t>(functions.size() - 1);
    }
    void counter(uint32_t pid, std::string_view name, double value, uint64_t ts) override {
        log.push_back("C " + std::to_string(pid) + " " + std::string(name) + " " +
                      std::to_string(value) + " " + std::to_string(ts));
    }
};

std::vector<std::string> slices_and_counters(Fmt fmt, const std::string& bytes) {
    MarkLog v;
    v.with_places = false;
    Result<trace::StreamReport> r = trace::read_bytes(bytes_of(bytes), *reader(fmt, v));
    EXPECT_TRUE(r.ok()) << r.error().text();
    std::vector<std::string> out;
    for (const std::string& line : v.log) {
        if (line[0] == 'B' || line[0] == 'E' || line[0] == 'C') out.push_back(line);
    }
    return out;
}

TEST(MarksRead, BothFormatsReportSpansApartAndCountersPerProcess) {
    Marked m;
    std::vector<std::string> expected = {
        "B 0 main 100",
        "B 0 span:work 110",
        "C 10 queue -3.000000 120",
        "B 0 span:main 125",
        "E 0 126",
        "E 0 130",
        "C 10 queue 2.500000 140",
        "E 0 150",
        "C 20 queue 40.000000 5",
    };
    // Protobuf with incremental timestamps too: a mark's packet is stamped on the trace clock,
    // and the functions' deltas around it go on from the function before it.
    for (auto [fmt, incremental] :
         {std::pair{Fmt::Json, false}, {Fmt::Proto, false}, {Fmt::Proto, true}}) {
        EXPECT_EQ(slices_and_counters(fmt, write_trace(fmt, m.runs, m.codes, m.names, incremental)),
                  expected)
            << (fmt == Fmt::Json ? "json" : "protobuf") << incremental;
    }
}

TEST(MarksRead, TheProfileKeepsSpansApartAndCountsEachCounter) {
    Marked m;
    for (Fmt fmt : {Fmt::Json, Fmt::Proto}) {
        analysis::Profile profile(false);
        std::string bytes = write_trace(fmt, m.runs, m.codes, m.names);
        ASSERT_TRUE(trace::read_bytes(bytes_of(bytes), *reader(fmt, profile)).ok());
        profile.finish();
        int spans = 0, mains = 0;
        for (const analysis::Function& f : profile.functions()) {
            spans += f.span;
            mains += f.name == "main";
        }
        EXPECT_EQ(spans, 2);
        EXPECT_EQ(mains, 2);  // the function and the span of the same name stay two
        ASSERT_EQ(profile.counters().size(), 2u);
        const analysis::Counter& parent = profile.counters()[0];
        EXPECT_EQ(parent.pid, 10u);
        EXPECT_EQ(parent.count, 2u);
        EXPECT_EQ(parent.min, -3);
        EXPECT_EQ(parent.max, 2.5);
        EXPECT_EQ(parent.last, 2.5);
        EXPECT_EQ(profile.counters()[1].last, 40);
        // The span's self time is its own; the function's excludes it.
        const analysis::Thread& t = profile.threads()[0];
        uint64_t main_self = 0;
        for (const auto& [f, stats] : t.stats) {
            if (!profile.functions()[f].span && profile.functions()[f].name == "main")
                main_self = stats.self;
        }
        EXPECT_EQ(main_self, 50u - 20u);
    }
}

}  // namespace
}  // namespace vespra::testing
