// Marks: the spans, instants and counter samples the traced program records itself, beside its
// function events, through the same per-thread batches (so they keep their place among the
// calls around them).
//
// In a batch a mark is a header event (a mark kind, the interned name as its code id) and, when
// it carries data, the payload slots right after it in the same batch: each KIND_PAYLOAD slot
// holds 7 bytes, 4 in `delta` and 3 in the low bits of `packed`. Function events never have
// payload slots, so their recording path is untouched. The serializer decodes a payload slot into
// an Event whose `ts` is the slot's raw 4 bytes (not a time) and whose word keeps the other 3.
//
// Payload bytes: a 16-bit length, then that many bytes. Arguments are entries of a 24-bit name id
// and a value; a counter sample is one value. A value is a tag byte and, for numbers, 8 bytes,
// for strings a 16-bit length and the UTF-8 bytes. All integers little-endian.
//
// MarkNesting, run by the serializer over each thread's decoded batches that hold marks, keeps
// spans nested with the function slices around them, which a viewer needs (an end closes the
// innermost open slice of its track):
// - a span still open when the frame that opened it ends is ended there first; when that frame
//   only yields (a generator or coroutine suspends), the span is opened again when a frame of the
//   same code resumes, so a span inside a coroutine covers each of its stretches;
// - a span ended while slices opened inside it are still open ends when they have ended;
// - a span end that matches no open span (its begin was lost, or it was ended already) is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/event.h"

namespace vespra::marks {

// Payload bytes per slot, and the most slots one mark may take (it must fit one batch, which
// also holds its header).
inline constexpr size_t SLOT_BYTES = 7;
inline constexpr size_t MAX_SLOTS = 512;
inline constexpr size_t MAX_PAYLOAD = MAX_SLOTS * SLOT_BYTES - 2;

enum Tag : uint8_t {
    TAG_NONE = 0,
    TAG_FALSE = 1,
    TAG_TRUE = 2,
    TAG_INT = 3,     // int64
    TAG_UINT = 4,    // uint64 above INT64_MAX
    TAG_DOUBLE = 5,  // IEEE double
    TAG_STRING = 6,  // UTF-8
};

// One decoded value. `text` points into the payload it was read from.
struct Value {
    Tag tag = TAG_NONE;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    std::string_view text;
};

struct Arg {
    uint32_t name;  // interned like a mark's name
    Value value;
};

// Builds the payload of one mark. Strings longer than what is left are cut at a character
// boundary; arguments that do not fit at all are left out (`full()` tells).
class PayloadBuilder {
  public:
    PayloadBuilder() { bytes_.assign(2, '\0'); }
    void arg_name(uint32_t id);
    void none() { tag(TAG_NONE); }
    void boolean(bool v) { tag(v ? TAG_TRUE : TAG_FALSE); }
    void int64(int64_t v);
    void uint64(uint64_t v);
    void float64(double v);
    void string(std::string_view v);
    // Any of the above, as `v.tag` says.
    void value(const Value& v);
    // Room left for an argument with a string of `len` bytes (name, tag and length included).
    bool fits(size_t len) const { return bytes_.size() + 6 + len <= MAX_PAYLOAD + 2; }
    size_t room_for_string() const;
    bool empty() const { return bytes_.size() == 2; }
    // The finished payload (length prefix filled in).
    std::string_view finish();
    void clear() { bytes_.assign(2, '\0'); }

  private:
    void tag(Tag t) { bytes_.push_back(static_cast<char>(t)); }
    void le(uint64_t v, size_t n);
    std::string bytes_;
};

// Slots the payload `bytes` needs; 0 for an empty one.
inline size_t slots_for(std::string_view bytes) {
    return bytes.size() <= 2 ? 0 : (bytes.size() + SLOT_BYTES - 1) / SLOT_BYTES;
}
// Writes slots_for(bytes) payload slots at `out`.
void pack(std::string_view bytes, PackedEvent* out);

// The payload that follows the header at `events[at]`: its bytes (empty when none) and the
// index of the first event after it.
struct Payload {
    std::string bytes;
    size_t next;
};
Payload gather(std::span<const Event> events, size_t at);

// Reads values out of a payload (the length prefix included).
class PayloadReader {
  public:
    explicit PayloadReader(std::string_view payload);
    bool at_end() const { return pos_ >= end_; }
    // False at the end or on bytes that do not form an argument (the rest is then ignored).
    bool next_arg(Arg* arg);
    bool next_value(Value* value);

  private:
    bool le(size_t n, uint64_t* v);
    std::string_view data_;
    size_t pos_ = 2;
    size_t end_ = 2;
};

// See the file comment. Used by the serializer thread only.
class MarkNesting {
  public:
    // Whether batches of thread `tid` need apply() even without a mark in them.
    bool follows(uint32_t tid) const { return !threads_.empty() && threads_.count(tid) != 0; }
    // Rewrites the decoded events `out[from..]` of one batch of thread `tid`.
    void apply(uint32_t tid, std::vector<Event>& out, size_t from);
    size_t threads_followed() const { return threads_.size(); }

  private:
    struct Open {
        uint32_t code;
        bool span;
        bool ended = false;        // ended while slices above it were open
        std::vector<Event> begin;  // a span's begin and payload, to open it again
        std::vector<Event> end;    // the end that waits for the slices above

        static Open function(uint32_t code) { return Open{code, false, false, {}, {}}; }
        static Open opened(uint32_t code, std::vector<Event> begin) {
            return Open{code, true, false, std::move(begin), {}};
        }
    };
    struct Thread {
        std::vector<Open> stack;  // empty until a span opens; below it nothing is followed
        // Spans of frames that yielded with them open, by the code id of the frame, oldest first.
        std::unordered_map<uint32_t, std::vector<std::vector<Event>>> suspended;
        bool idle() const { return stack.empty() && suspended.empty(); }
    };
    // Ends what is open above the function slice that `end` closes, then emits `end`.
    void close_frame(Thread& t, std::span<const Event> end, std::vector<Event>& out);
    void emit_deferred_ends(Thread& t, uint64_t ts, std::vector<Event>& out);

    std::unordered_map<uint32_t, Thread> threads_;
    std::vector<Event> scratch_;
};

}  // namespace vespra::marks
