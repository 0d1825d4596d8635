// Stack reconstruction and per-function statistics, and the flame graph built from them, on
// event sequences whose every number is known.
#include "analysis/profile.h"

#include <gtest/gtest.h>

#include "analysis/flamegraph.h"
#include "analysis/summary.h"

namespace vespra::analysis {
namespace {

// Builds a profile from a script of "B name ts" / "E ts" steps on one or more threads.
struct Script {
    Profile profile{/*keep_stacks=*/true};
    std::map<std::string, uint32_t> fns;

    uint32_t thread(uint32_t pid, uint32_t tid) { return profile.thread(pid, tid); }
    void b(uint32_t t, const std::string& name, uint64_t ts) {
        auto it = fns.find(name);
        if (it == fns.end()) it = fns.emplace(name, profile.function(name, "f.py", 1)).first;
        profile.begin(t, it->second, ts);
    }
    void e(uint32_t t, uint64_t ts) { profile.end(t, ts); }

    // Stats of `name` over all threads.
    Stats stats(const std::string& name) const {
        Stats s;
        for (const Thread& t : profile.threads()) {
            auto it = t.stats.find(fns.at(name));
            if (it != t.stats.end()) s.add(it->second);
        }
        return s;
    }
};

void expect_stats(const Stats& s, uint64_t calls, uint64_t total, uint64_t self, uint64_t max) {
    EXPECT_EQ(s.calls, calls);
    EXPECT_EQ(s.total, total);
    EXPECT_EQ(s.self, self);
    EXPECT_EQ(s.max, max);
}

TEST(Profile, NestedCallsRecursionAndGenerators) {
    Script s;
    uint32_t t = s.thread(1, 1);
    // main 0..1000 { a 10..110 { b 20..50 }  a 200..300 {}  rec 400..700 { rec 410..600 { rec
    //   420..450 } }  gen 800..810 (yield)  gen 850..870 (resume, return) }
    s.b(t, "main", 0);
    s.b(t, "a", 10), s.b(t, "b", 20), s.e(t, 50), s.e(t, 110);
    s.b(t, "a", 200), s.e(t, 300);
    s.b(t, "rec", 400), s.b(t, "rec", 410), s.b(t, "rec", 420), s.e(t, 450), s.e(t, 600),
        s.e(t, 700);
    s.b(t, "gen", 800), s.e(t, 810), s.b(t, "gen", 850), s.e(t, 870);
    s.e(t, 1000);
    s.profile.finish();

    expect_stats(s.stats("b"), 1, 30, 30, 30);
    expect_stats(s.stats("a"), 2, 200, 170, 100);
    // Recursion: total once per outermost call; self of every level; max the outermost.
    expect_stats(s.stats("rec"), 3, 300, (300 - 190) + (190 - 30) + 30, 300);
    // A generator's suspended time is its caller's.
    expect_stats(s.stats("gen"), 2, 30, 30, 20);
    expect_stats(s.stats("main"), 1, 1000, 1000 - 200 - 300 - 30, 1000);
    // Self times add up to the outermost total.
    uint64_t self_sum = 0;
    for (const auto& [f, st] : s.profile.threads()[0].stats) self_sum += st.self;
    EXPECT_EQ(self_sum, 1000u);
    EXPECT_EQ(s.profile.events(), 18u);
}

TEST(Profile, WhatTheTraceLacksIsCountedNotGuessed) {
    Script s;
    uint32_t t = s.thread(1, 1);
    s.e(t, 5);  // began before the trace
    s.b(t, "outer", 10);
    s.b(t, "inner", 20), s.e(t, 30);
    s.b(t, "open", 40);  // still running at the end
    s.profile.finish();
    const Thread& th = s.profile.threads()[0];
    EXPECT_EQ(th.unmatched_ends, 1u);
    ASSERT_EQ(th.unfinished.size(), 2u);
    EXPECT_EQ(s.profile.functions()[th.unfinished[0]].name, "outer");
    EXPECT_EQ(s.profile.functions()[th.unfinished[1]].name, "open");
    expect_stats(s.stats("inner"), 1, 10, 10, 10);
    EXPECT_EQ(th.first_ts, 5u);
    EXPECT_EQ(th.last_ts, 40u);
}

// A process killed inside calls: each call still open ends at its thread's last event, as a cut
// one; so does each level of a recursion, whose total then still holds every level's self time.
// A time earlier than its thread's latest (two runs in one file) is taken at the latest.
TEST(Profile, CallsCutShortEndAtTheThreadsLastEventAndSelfNeverExceedsTotal) {
    Script s;
    uint32_t t = s.thread(1, 1);
    s.b(t, "rec", 0), s.b(t, "rec", 10), s.b(t, "leaf", 20), s.e(t, 30), s.b(t, "rec", 40);
    s.b(t, "late", 100), s.e(t, 60);  // ends "before" it began: at 100
    s.profile.finish();
    Stats rec = s.stats("rec");
    expect_stats(rec, 3, 100, 100 - 10, 100);
    EXPECT_EQ(rec.cut, 3u);
    expect_stats(s.stats("late"), 1, 0, 0, 0);
    EXPECT_EQ(s.stats("late").cut, 0u);
    EXPECT_EQ(s.profile.threads()[0].unfinished.size(), 3u);
}

TEST(Profile, FunctionsAreNameFileAndLine) {
    Profile p(false);
    uint32_t a = p.function("f", "a.py", 1);
    EXPECT_EQ(p.function("f", "a.py", 1), a);
    EXPECT_NE(p.function("f", "b.py", 1), a);
    EXPECT_NE(p.function("f", "a.py", 2), a);
    EXPECT_NE(p.function(std::string_view("f\0a.py", 6), "", 1), a);
}

// The header lists the main thread first, then the others in the order they started, a pool's
// numbered threads folded; every column is as wide as its widest cell; a cut call is marked.
TEST(SummaryText, ThreadsInStartOrderFoldedAndColumnsAsWideAsTheirCells) {
    Script s;
    uint32_t later = s.thread(5, 9), main = s.thread(5, 5);
    s.profile.thread_name(later, "late");
    s.profile.thread_name(main, "MainThread");
    s.b(later, "f", 900), s.e(later, 901);
    for (uint32_t k = 0; k < 4; ++k) {
        uint32_t t = s.thread(5, 100 + k);
        s.profile.thread_name(t, "pool_" + std::to_string(3 - k));
        s.b(t, "f", 10 + k), s.e(t, 11 + k);
    }
    for (int i = 0; i < 1'000'000; ++i) s.b(main, "busy", 2 * i), s.e(main, 2 * i + 1);
    s.b(main, "killed", 3'000'000);
    s.profile.finish();
    std::string text =
        summary_text(s.profile, TraceRead{TraceFormat::Json, {100, 100}}, SummaryOptions{});
    EXPECT_NE(text.find("  5: MainThread (5), pool_3 \u2026 pool_0 (4 threads), late (9)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nfunction  file:line      calls    total     self  mean   max\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nbusy      f.py:1     1,000,000  1.00 ms  1.00 ms  1 ns  1 ns\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nkilled    f.py:1     1 (1 cut)     0 ns     0 ns  0 ns  0 ns\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("(cut: calls still running"), std::string::npos);
}

// Two threads with the same stacks: merged, the frames add up; per thread, each thread is a
// frame under the root. Folded text is exact; a frame never ended is cut at its thread's last
// event.
TEST(FlameGraph, MergedAndPerThreadTrees) {
    Script s;
    uint32_t t1 = s.thread(1, 1), t2 = s.thread(1, 2);
    s.profile.thread_name(t1, "Main");
    s.b(t1, "main", 0), s.b(t1, "work", 10), s.e(t1, 40), s.e(t1, 100);
    s.b(t2, "main", 0), s.b(t2, "work", 5), s.e(t2, 25), s.b(t2, "idle", 30), s.e(t2, 35);
    s.b(t2, "open", 50), s.b(t2, "work", 60), s.e(t2, 61);  // "open" and the 2nd main never end
    s.profile.finish();

    FlameTree merged = flame_tree(s.profile, false);
    EXPECT_EQ(folded(merged),
              "main 95\n"
              "main;idle 5\n"
              "main;open 10\n"
              "main;open;work 1\n"
              "main;work 50\n");
    // Root: t1's main (100) + t2's main, never ended: up to t2's last event, 61.
    EXPECT_EQ(merged.nodes[0].value, 161u);
    std::map<std::string, uint64_t> width;
    for (const FlameNode& n : merged.nodes) width[n.label] += n.value;
    EXPECT_EQ(width["main"], 161u);
    EXPECT_EQ(width["open"], 11u);

    FlameTree per_thread = flame_tree(s.profile, true);
    EXPECT_EQ(folded(per_thread),
              "Main (1/1);main 70\n"
              "Main (1/1);main;work 30\n"
              "thread 1/2;main 25\n"
              "thread 1/2;main;idle 5\n"
              "thread 1/2;main;open 10\n"
              "thread 1/2;main;open;work 1\n"
              "thread 1/2;main;work 20\n");

    std::string doc = svg(per_thread, "t <&>");
    EXPECT_NE(doc.find("<text x=\"600\" y=\"20\" text-anchor=\"middle\" style=\"font-size:16px\">t "
                       "&lt;&amp;&gt;</text>"),
              std::string::npos);
    EXPECT_NE(doc.find("data-v=\"100\" data-n=\"main\" data-l=\"f.py:1\""), std::string::npos);
    // Nothing is fetched: no links, no external script.
    EXPECT_EQ(doc.find("href"), std::string::npos);
    EXPECT_EQ(doc.find(" src="), std::string::npos);
}

}  // namespace
}  // namespace vespra::analysis
