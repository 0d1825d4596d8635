// The event record in its two forms: packed (what a recording thread writes, 8 bytes) and
// decoded (what the export pipeline hands to writers).
#pragma once

#include <array>
#include <cstdint>

namespace vespra {

// One value per sys.monitoring event we trace, then the marks the traced program makes itself
// (their code id is the interned name of the mark, see marks.h). The recording path never
// produces 0 or a value above KIND_RETURN_VALUE; writers decide how to render those.
enum Kind : uint8_t {
    KIND_START = 1,
    KIND_RETURN = 2,
    KIND_YIELD = 3,
    KIND_RESUME = 4,
    KIND_UNWIND = 5,
    KIND_THROW = 6,
    KIND_SPAN_BEGIN = 7,
    KIND_SPAN_END = 8,
    KIND_INSTANT = 9,
    KIND_COUNTER = 10,
    // Not an event: 7 bytes of the payload of the mark before it (see marks.h).
    KIND_PAYLOAD = 11,
    // The end of a slice that an exception unwound, in a run that records exceptions: it closes
    // the slice as KIND_UNWIND does, its code id is the function's, and like a mark it has a
    // payload: the argument "exception", the name of the exception's type.
    KIND_EXCEPTION_END = 12,
    // A function's start and return in a run that records the values of its calls: they open and
    // close the slice as KIND_START and KIND_RETURN do, their code id is the function's, and like
    // a mark they have a payload: the arguments by name, or the argument "return".
    KIND_CALL = 13,
    KIND_RETURN_VALUE = 14,
    // Not an event of its own: the next begin of its thread starts a step of the asyncio task
    // whose id (from the code ids, described by the task's name) the code field holds. The export
    // side moves that step to the task's track (see tasks.h); nothing past it sees this kind.
    KIND_TASK = 15,
};

constexpr bool is_mark_kind(uint8_t kind) { return kind > KIND_THROW; }

// A function's event with a payload, which writers render as the function's begin or end with
// its arguments: an exception's end, a call with its arguments, a return with its value.
constexpr bool is_valued_function_kind(uint8_t kind) {
    return kind >= KIND_EXCEPTION_END && kind <= KIND_RETURN_VALUE;
}

// The thread id the export side gives an asyncio task's track: the task's id with bit 30 set,
// which no Linux thread id (at most 2^22) has, and which stays a positive 32-bit integer for
// readers of JSON that take a tid as one.
inline constexpr uint32_t TASK_TRACK_BIT = 1u << 30;
constexpr bool is_task_track(uint32_t tid) { return (tid & TASK_TRACK_BIT) != 0; }

// Code ids are dense per run and must fit the low 24 bits of the kind-and-code word.
inline constexpr uint32_t CODE_ID_BITS = 24;
inline constexpr uint32_t CODE_ID_MASK = (1u << CODE_ID_BITS) - 1;
inline constexpr uint32_t MAX_CODE_IDS = 1u << CODE_ID_BITS;

// Kind in bits 31..24, code id in bits 23..0.
constexpr uint32_t pack_word(uint8_t kind, uint32_t code_id) {
    return (uint32_t{kind} << CODE_ID_BITS) | (code_id & CODE_ID_MASK);
}
constexpr uint8_t kind_of(uint32_t word) { return static_cast<uint8_t>(word >> CODE_ID_BITS); }
constexpr uint32_t code_of(uint32_t word) { return word & CODE_ID_MASK; }

// A function's end: its return, yield or unwind (KIND_EXCEPTION_END is a mark, which writers
// render on their own). The writers render every other function kind
// (start, resume, throw, and kinds the recording path never produces) as a begin.
constexpr bool is_end(uint8_t kind) {
    return kind == KIND_RETURN || kind == KIND_YIELD || kind == KIND_UNWIND;
}

// Per kind, 1 when the event opens a slice on its thread: a start, resume or throw, a span's
// begin. Everything that follows the threads' stacks of open slices on the export side agrees on
// this and on the next table.
inline constexpr auto OPENS_SLICE = [] {
    std::array<uint8_t, 256> opens{};
    opens[KIND_START] = opens[KIND_RESUME] = opens[KIND_THROW] = opens[KIND_SPAN_BEGIN] = 1;
    opens[KIND_CALL] = 1;
    return opens;
}();
// 1 when it closes the innermost one: a return, yield or unwind, a span's end. Instants, counter
// samples and payload slots do neither.
inline constexpr auto CLOSES_SLICE = [] {
    std::array<uint8_t, 256> closes{};
    closes[KIND_RETURN] = closes[KIND_YIELD] = closes[KIND_UNWIND] = closes[KIND_SPAN_END] = 1;
    closes[KIND_EXCEPTION_END] = closes[KIND_RETURN_VALUE] = 1;
    return closes;
}();

// Ticks since the owning batch's base, and the kind-and-code word. Thread and absolute time
// come from the batch.
struct PackedEvent {
    uint32_t delta;
    uint32_t packed;
};
static_assert(sizeof(PackedEvent) == 8, "a batch of 1024 events must stay 8 KiB");

// Nanoseconds since the run's clock origin, the recording thread's id (low 32 bits of the OS
// thread id) and the word unchanged.
struct Event {
    // Left uninitialised by default: the serializer sizes its vectors before it decodes into
    // them, and zeroing what it overwrites at once cost a fifth of its instructions.
    Event() {}
    constexpr Event(uint64_t ts, uint32_t tid, uint32_t packed)
        : ts(ts), tid(tid), packed(packed) {}

    uint64_t ts;
    uint32_t tid;
    uint32_t packed;
};

}  // namespace vespra
