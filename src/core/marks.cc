#include "core/marks.h"

#include <algorithm>
#include <cstring>

namespace vespra::marks {

namespace {

bool begins_slice(uint8_t kind) {
    return kind == KIND_START || kind == KIND_RESUME || kind == KIND_THROW || kind == KIND_CALL;
}
bool ends_slice(uint8_t kind) {
    return kind == KIND_RETURN || kind == KIND_YIELD || kind == KIND_UNWIND ||
           kind == KIND_EXCEPTION_END || kind == KIND_RETURN_VALUE;
}

// A UTF-8 string cut to at most `max` bytes without splitting a character.
std::string_view cut(std::string_view s, size_t max) {
    if (s.size() <= max) return s;
    size_t n = max;
    while (n > 0 && (static_cast<uint8_t>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

}  // namespace

// ---- payload ---------------------------------------------------------------------------------

void PayloadBuilder::le(uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) bytes_.push_back(static_cast<char>(v >> (8 * i)));
}

void PayloadBuilder::arg_name(uint32_t id) { le(id & CODE_ID_MASK, 3); }

void PayloadBuilder::int64(int64_t v) {
    tag(TAG_INT);
    le(static_cast<uint64_t>(v), 8);
}

void PayloadBuilder::uint64(uint64_t v) {
    tag(TAG_UINT);
    le(v, 8);
}

void PayloadBuilder::float64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    tag(TAG_DOUBLE);
    le(bits, 8);
}

size_t PayloadBuilder::room_for_string() const {
    size_t used = bytes_.size() + 3;  // tag and length
    return used >= MAX_PAYLOAD + 2 ? 0 : MAX_PAYLOAD + 2 - used;
}

void PayloadBuilder::string(std::string_view v) {
    v = cut(v, room_for_string());
    tag(TAG_STRING);
    le(v.size(), 2);
    bytes_.append(v);
}

void PayloadBuilder::value(const Value& v) {
    switch (v.tag) {
        case TAG_NONE:
            none();
            break;
        case TAG_FALSE:
        case TAG_TRUE:
            boolean(v.tag == TAG_TRUE);
            break;
        case TAG_INT:
            int64(v.i);
            break;
        case TAG_UINT:
            uint64(v.u);
            break;
        case TAG_DOUBLE:
            float64(v.d);
            break;
        case TAG_STRING:
            string(v.text);
            break;
    }
}

std::string_view PayloadBuilder::finish() {
    size_t len = bytes_.size() - 2;
    bytes_[0] = static_cast<char>(len);
    bytes_[1] = static_cast<char>(len >> 8);
    return bytes_;
}

void pack(std::string_view bytes, PackedEvent* out) {
    size_t slots = slots_for(bytes);
    for (size_t s = 0; s < slots; ++s) {
        uint8_t chunk[SLOT_BYTES] = {};
        size_t at = s * SLOT_BYTES;
        std::memcpy(chunk, bytes.data() + at, std::min(SLOT_BYTES, bytes.size() - at));
        uint32_t delta = uint32_t{chunk[0]} | uint32_t{chunk[1]} << 8 | uint32_t{chunk[2]} << 16 |
                         uint32_t{chunk[3]} << 24;
        uint32_t low = uint32_t{chunk[4]} | uint32_t{chunk[5]} << 8 | uint32_t{chunk[6]} << 16;
        out[s] = PackedEvent{delta, pack_word(KIND_PAYLOAD, low)};
    }
}

Payload gather(std::span<const Event> events, size_t at) {
    Payload p{{}, at + 1};
    while (p.next < events.size() && kind_of(events[p.next].packed) == KIND_PAYLOAD) {
        const Event& e = events[p.next++];
        for (int i = 0; i < 4; ++i) p.bytes.push_back(static_cast<char>(e.ts >> (8 * i)));
        for (int i = 0; i < 3; ++i) p.bytes.push_back(static_cast<char>(e.packed >> (8 * i)));
    }
    return p;
}

PayloadReader::PayloadReader(std::string_view payload) : data_(payload) {
    if (payload.size() < 2) {
        end_ = 0;
        return;
    }
    size_t len = static_cast<uint8_t>(payload[0]) | size_t{static_cast<uint8_t>(payload[1])} << 8;
    end_ = std::min(payload.size(), 2 + len);
}

bool PayloadReader::le(size_t n, uint64_t* v) {
    if (end_ - pos_ < n) return false;
    *v = 0;
    for (size_t i = 0; i < n; ++i) *v |= uint64_t{static_cast<uint8_t>(data_[pos_ + i])} << (8 * i);
    pos_ += n;
    return true;
}

bool PayloadReader::next_value(Value* value) {
    if (at_end()) return false;
    *value = Value{};
    value->tag = static_cast<Tag>(data_[pos_++]);
    uint64_t raw = 0;
    switch (value->tag) {
        case TAG_NONE:
        case TAG_FALSE:
        case TAG_TRUE:
            return true;
        case TAG_INT:
            if (!le(8, &raw)) return false;
            value->i = static_cast<int64_t>(raw);
            return true;
        case TAG_UINT:
            if (!le(8, &value->u)) return false;
            return true;
        case TAG_DOUBLE:
            if (!le(8, &raw)) return false;
            std::memcpy(&value->d, &raw, sizeof raw);
            return true;
        case TAG_STRING:
            if (!le(2, &raw) || end_ - pos_ < raw) return false;
            value->text = data_.substr(pos_, raw);
            pos_ += raw;
            return true;
    }
    pos_ = end_;
    return false;
}

bool PayloadReader::next_arg(Arg* arg) {
    uint64_t name;
    if (at_end() || !le(3, &name)) return false;
    arg->name = static_cast<uint32_t>(name);
    return next_value(&arg->value);
}

// ---- nesting ---------------------------------------------------------------------------------

void MarkNesting::emit_deferred_ends(Thread& t, uint64_t ts, std::vector<Event>& out) {
    while (!t.stack.empty() && t.stack.back().span && t.stack.back().ended) {
        std::vector<Event>& end = t.stack.back().end;
        end.front().ts = ts;
        out.insert(out.end(), end.begin(), end.end());
        t.stack.pop_back();
    }
}

void MarkNesting::close_frame(Thread& t, std::span<const Event> end, std::vector<Event>& out) {
    const Event& e = end.front();
    bool yields = kind_of(e.packed) == KIND_YIELD;
    uint32_t frame = code_of(e.packed);
    while (!t.stack.empty() && t.stack.back().span) {
        Open& span = t.stack.back();
        if (span.ended) {
            span.end.front().ts = e.ts;
            out.insert(out.end(), span.end.begin(), span.end.end());
        } else {
            out.push_back(Event{e.ts, e.tid, pack_word(KIND_SPAN_END, span.code)});
            if (yields) t.suspended[frame].push_back(std::move(span.begin));
        }
        t.stack.pop_back();
    }
    if (!t.stack.empty()) t.stack.pop_back();  // the frame's own slice
    out.insert(out.end(), end.begin(), end.end());
    emit_deferred_ends(t, e.ts, out);
}

void MarkNesting::apply(uint32_t tid, std::vector<Event>& out, size_t from) {
    scratch_.assign(out.begin() + static_cast<ptrdiff_t>(from), out.end());
    out.resize(from);
    Thread& t = threads_[tid];
    std::span<const Event> in(scratch_);
    for (size_t i = 0; i < in.size();) {
        size_t next = i + 1;
        while (next < in.size() && kind_of(in[next].packed) == KIND_PAYLOAD) ++next;
        std::span<const Event> group = in.subspan(i, next - i);
        const Event& e = in[i];
        uint8_t kind = kind_of(e.packed);
        uint32_t code = code_of(e.packed);
        i = next;

        if (begins_slice(kind)) {
            out.insert(out.end(), group.begin(), group.end());
            if (!t.stack.empty()) t.stack.push_back(Open::function(code));
            if (kind == KIND_START || kind == KIND_CALL || t.suspended.empty()) continue;
            auto it = t.suspended.find(code);
            if (it == t.suspended.end()) continue;
            // The oldest suspension of this code resumes: which frame of the code resumes is not
            // in the trace, and coroutines of one code mostly resume in the order they waited.
            std::vector<Event> begin = std::move(it->second.front());
            it->second.erase(it->second.begin());
            if (it->second.empty()) t.suspended.erase(it);
            begin.front().ts = e.ts;
            out.insert(out.end(), begin.begin(), begin.end());
            uint32_t span = code_of(begin.front().packed);
            t.stack.push_back(Open::opened(span, std::move(begin)));
        } else if (ends_slice(kind)) {
            if (t.stack.empty()) {
                out.insert(out.end(), group.begin(), group.end());
            } else {
                close_frame(t, group, out);
            }
        } else if (kind == KIND_SPAN_BEGIN) {
            out.insert(out.end(), group.begin(), group.end());
            t.stack.push_back(Open::opened(code, std::vector<Event>(group.begin(), group.end())));
        } else if (kind == KIND_SPAN_END) {
            auto open = std::find_if(t.stack.rbegin(), t.stack.rend(), [code](const Open& o) {
                return o.span && !o.ended && o.code == code;
            });
            if (open == t.stack.rend()) continue;  // nothing to end: dropped
            if (open == t.stack.rbegin()) {
                out.insert(out.end(), group.begin(), group.end());
                t.stack.pop_back();
                emit_deferred_ends(t, e.ts, out);
            } else {
                open->ended = true;
                open->end.assign(group.begin(), group.end());
                open->begin.clear();
            }
        } else if (kind != KIND_PAYLOAD) {
            out.insert(out.end(), group.begin(), group.end());
        }
    }
    if (t.idle()) threads_.erase(tid);
}

}  // namespace vespra::marks
