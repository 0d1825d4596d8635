// Synthetic trace material shared by the writer and reader benchmarks: per thread a random walk
// over a call stack (about half the events begin a call, start or resume, half end one, with
// depth bounded like real programs), in runs of one thread as a drain delivers them, and the
// lookups that name its code ids and threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/event.h"
#include "core/sink.h"

namespace vespra::bench {

constexpr size_t WALK_BATCH = 4096;  // events per batch, the pipeline's drain budget

class WalkCodes : public CodeLookup {
  public:
    std::optional<CodeInfo> code(uint32_t id) const override {
        return CodeInfo{"package.module.Class.method_" + std::to_string(id),
                        "/srv/app/package/module.py", id};
    }
};

class WalkNames : public ThreadNames {
  public:
    std::optional<std::string> name(uint32_t tid) const override {
        return "Thread-" + std::to_string(tid);
    }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override { return {}; }
};

// `count` batches of WALK_BATCH events of `threads` threads over `codes` code ids; the same
// seed gives the same events. With `closed`, the last batch ends every call still open, so that
// a benchmark cycling through the batches follows stacks as deep as the walk's: otherwise the
// calls open at the end pile up, cycle after cycle, past any depth limit.
inline std::vector<std::vector<Event>> random_walk(size_t count, uint32_t threads, uint32_t codes,
                                                   bool closed = false) {
    std::mt19937 rng(42);
    std::vector<std::vector<uint32_t>> stacks(threads);
    std::vector<uint64_t> clocks(threads, 3'000'000'000ull);
    std::vector<std::vector<Event>> batches(count);
    size_t open = 0;
    for (auto& batch : batches) {
        const bool last = &batch == &batches.back();
        batch.reserve(WALK_BATCH);
        while (batch.size() < WALK_BATCH) {
            uint32_t t = rng() % threads;
            uint32_t tid = 100000 + t * 37;
            for (int run = 0; run < 64 && batch.size() < WALK_BATCH; ++run) {
                auto& stack = stacks[t];
                // Begins and ends leave an even number of slots for the ends still to come.
                const bool closing = closed && last && WALK_BATCH - batch.size() <= open;
                if (closing && stack.empty()) break;
                clocks[t] += 50 + rng() % 400;
                bool begin = !closing && (stack.empty() || (stack.size() < 30 && rng() % 2));
                open = begin ? open + 1 : open - 1;
                if (begin) {
                    uint32_t code = rng() % codes;
                    stack.push_back(code);
                    uint8_t kind = rng() % 8 == 0 ? KIND_RESUME : KIND_START;
                    batch.push_back(Event{clocks[t], tid, pack_word(kind, code)});
                } else {
                    uint8_t kind = rng() % 8 == 0 ? KIND_YIELD : KIND_RETURN;
                    batch.push_back(Event{clocks[t], tid, pack_word(kind, stack.back())});
                    stack.pop_back();
                }
            }
        }
    }
    return batches;
}

}  // namespace vespra::bench
