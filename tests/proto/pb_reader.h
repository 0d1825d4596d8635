// An independent reader of vespra's protobuf traces, for tests.
//
// Two layers:
//   decode_stream  a plain protobuf wire-format parser for the packet subset we write. It shares
//                  no code with the encoder and is strict where the encoder must be exact: it
//                  rejects truncated data, unknown fields, wrong wire types, repeated
//                  non-repeated fields, fields out of our wire order, non-minimal varints and
//                  int32 values that are not sign-extended.
//   check_stream   replays the packets the way a track-event viewer does (per-sequence interned
//                  state and defaults, track descriptors, slice stacks) and reports everything a
//                  viewer would trip over.
// Header-only so any test binary can include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vespra::pbtest {

struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---- Decoded messages -------------------------------------------------------------------------

struct Interned {
    std::optional<uint64_t> iid;
    std::optional<std::string> name;
};

struct ProcessDesc {
    std::optional<int32_t> pid;
    std::optional<std::string> process_name;
};

struct ThreadDesc {
    std::optional<int32_t> pid;
    std::optional<int32_t> tid;
    std::optional<std::string> thread_name;
};

struct TrackDesc {
    std::optional<uint64_t> uuid;
    std::optional<std::string> name;
    std::optional<ProcessDesc> process;
    std::optional<ThreadDesc> thread;
    std::optional<uint64_t> parent_uuid;
};

struct TrackEv {
    std::vector<uint64_t> category_iids;
    std::optional<uint64_t> type;
    std::optional<uint64_t> name_iid;
    std::optional<uint64_t> track_uuid;
    std::vector<std::string> categories;
    std::optional<std::string> name;
};

struct Packet {
    size_t offset = 0;  // of the framing byte in the stream
    size_t size = 0;    // framed size
    std::optional<uint64_t> timestamp;
    std::optional<uint32_t> sequence_id;
    std::optional<TrackEv> track_event;
    std::optional<TrackDesc> track_descriptor;
    bool has_interned_data = false;
    std::vector<Interned> event_categories;
    std::vector<Interned> event_names;
    std::optional<uint32_t> sequence_flags;
    bool has_defaults = false;              // trace_packet_defaults present
    bool has_track_event_defaults = false;  // ... with track_event_defaults
    std::optional<uint64_t> default_track_uuid;
};

// ---- Wire reader ------------------------------------------------------------------------------

class Wire {
  public:
    Wire(std::string_view bytes, size_t base) : data_(bytes), base_(base) {}

    bool done() const { return pos_ == data_.size(); }

    uint64_t varint() {
        uint64_t value = 0;
        size_t start = pos_;
        for (int shift = 0;; shift += 7) {
            if (pos_ == data_.size()) fail("truncated varint");
            if (shift == 70) fail("varint longer than ten bytes");
            uint8_t b = static_cast<uint8_t>(data_[pos_++]);
            if (shift == 63 && b > 1) fail("varint overflows 64 bits");
            value |= uint64_t{b & 0x7Fu} << shift;
            if (!(b & 0x80)) {
                if (b == 0 && pos_ - start > 1) fail("non-minimal varint");
                return value;
            }
        }
    }

    // Reads a key; returns the field number and sets `wire`.
    uint32_t key(uint32_t& wire) {
        uint64_t k = varint();
        wire = static_cast<uint32_t>(k & 7);
        if ((k >> 3) == 0 || (k >> 3) > 0x1FFFFFFF) fail("bad field number");
        return static_cast<uint32_t>(k >> 3);
    }

    std::string_view bytes() {
        uint64_t n = varint();
        if (n > data_.size() - pos_) fail("length runs past the end");
        std::string_view out = data_.substr(pos_, n);
        pos_ += n;
        return out;
    }

    size_t pos() const { return base_ + pos_; }

    [[noreturn]] void fail(const std::string& what) const {
        throw DecodeError(what + " at byte " + std::to_string(base_ + pos_));
    }

  private:
    std::string_view data_;
    size_t base_;
    size_t pos_ = 0;
};

namespace detail {

// Field presence and ordering of one message. Each entry of `orders` lists field numbers in an
// order our writer may emit them; the fields seen must follow at least one of them. `repeated`
// names the fields that may occur more than once.
class FieldOrder {
  public:
    struct AnyOf {
        std::vector<std::vector<uint32_t>> orders;
    };
    FieldOrder(Wire& w, AnyOf any, std::vector<uint32_t> repeated = {})
        : w_(w),
          orders_(std::move(any.orders)),
          repeated_(std::move(repeated)),
          last_rank_(orders_.size(), 0) {}
    FieldOrder(Wire& w, std::vector<uint32_t> order, std::vector<uint32_t> repeated = {})
        : FieldOrder(w, AnyOf{{std::move(order)}}, std::move(repeated)) {}

    // Checks `field` (arriving with wire type `wire`, expected `want`).
    void accept(uint32_t field, uint32_t wire, uint32_t want) {
        if (wire != want) {
            w_.fail("field " + std::to_string(field) + " has wire type " + std::to_string(wire));
        }
        bool rep = false;
        for (uint32_t r : repeated_) rep |= r == field;
        bool known = false, fits = false;
        for (size_t o = 0; o < orders_.size(); ++o) {
            const std::vector<uint32_t>& order = orders_[o];
            size_t rank = order.size();
            for (size_t i = 0; i < order.size(); ++i) {
                if (order[i] == field) rank = i;
            }
            if (rank == order.size()) {
                last_rank_[o] = NOT_THIS_ORDER;
                continue;
            }
            known = true;
            if (last_rank_[o] == NOT_THIS_ORDER) continue;
            if (any_ && (rank < last_rank_[o] || (rank == last_rank_[o] && !rep))) {
                last_rank_[o] = NOT_THIS_ORDER;
                continue;
            }
            last_rank_[o] = rank;
            fits = true;
        }
        if (!known) w_.fail("unexpected field " + std::to_string(field));
        if (!fits) w_.fail("field " + std::to_string(field) + " out of order or repeated");
        any_ = true;
    }

  private:
    static constexpr size_t NOT_THIS_ORDER = ~size_t{0};
    Wire& w_;
    std::vector<std::vector<uint32_t>> orders_;
    std::vector<uint32_t> repeated_;
    std::vector<size_t> last_rank_;
    bool any_ = false;
};

inline constexpr uint32_t VARINT = 0;
inline constexpr uint32_t LEN = 2;

inline std::string str(std::string_view s) { return std::string(s); }

// int32 values must be sign-extended: either below 2^31, or a ten-byte negative.
inline int32_t int32_value(Wire& w, uint64_t v) {
    if (v <= 0x7FFFFFFFu) return static_cast<int32_t>(v);
    if (v >= 0xFFFFFFFF80000000ull) return static_cast<int32_t>(static_cast<int64_t>(v));
    w.fail("int32 value not sign-extended");
}

inline uint32_t uint32_value(Wire& w, uint64_t v) {
    if (v > 0xFFFFFFFFu) w.fail("uint32 value above 2^32");
    return static_cast<uint32_t>(v);
}

// Start offset of the body just read by Wire::bytes().
inline size_t body_start(const Wire& w, std::string_view body) { return w.pos() - body.size(); }

inline Interned interned(std::string_view bytes, size_t base) {
    Wire w(bytes, base);
    FieldOrder order(w, {1, 2});
    Interned out;
    while (!w.done()) {
        uint32_t wire;
        uint32_t f = w.key(wire);
        order.accept(f, wire, f == 1 ? VARINT : LEN);
        if (f == 1)
            out.iid = w.varint();
        else
            out.name = str(w.bytes());
    }
    return out;
}

inline ProcessDesc process(std::string_view bytes, size_t base) {
    Wire w(bytes, base);
    FieldOrder order(w, {1, 6});
    ProcessDesc out;
    while (!w.done()) {
        uint32_t wire;
        uint32_t f = w.key(wire);
        order.accept(f, wire, f == 1 ? VARINT : LEN);
        if (f == 1)
            out.pid = int32_value(w, w.varint());
        else
            out.process_name = str(w.bytes());
    }
    return out;
}

inline ThreadDesc thread(std::string_view bytes, size_t base) {
    Wire w(bytes, base);
    FieldOrder order(w, {1, 2, 5});
    ThreadDesc out;
    while (!w.done()) {
        uint32_t wire;
        uint32_t f = w.key(wire);
        order.accept(f, wire, f == 5 ? LEN : VARINT);
        if (f == 1)
            out.pid = int32_value(w, w.varint());
        else if (f == 2)
            out.tid = int32_value(w, w.varint());
        else
            out.thread_name = str(w.bytes());
    }
    return out;
}

inline TrackDesc track_descriptor(std::string_view bytes, size_t base) {
    Wire w(bytes, base);
    FieldOrder order(w, {1, 2, 3, 4, 5});
    TrackDesc out;
    while (!w.done()) {
        uint32_t wire;
        uint32_t f = w.key(wire);
        order.accept(f, wire, (f == 1 || f == 5) ? VARINT : LEN);
        switch (f) {
            case 1:
                out.uuid = w.varint();
                break;
            case 2:
                out.name = str(w.bytes());
                break;
            case 3: {
                std::string_view b = w.bytes();
                out.process = process(b, body_start(w, b));
                break;
            }
            case 4: {
                std::string_view b = w.bytes();
                out.thread = thread(b, body_start(w, b));
                break;
            }
            default:
                out.parent_uuid = w.varint();
                break;
        }
    }
    return out;
}

inline TrackEv track_event(std::string_view bytes, size_t base) {
    Wire w(bytes, base);
    // Encoded events follow field order; hand-encoded begins put the type first.
    FieldOrder order(w, FieldOrder::AnyOf{{{3, 9, 10, 11, 22, 23}, {9, 3, 10}}}, {3, 22});
    TrackEv out;
    while (!w.done()) {
        uint32_t wire;
        uint32_t f = w.key(wire);
        order.accept(f, wire, (f == 22 || f == 23) ? LEN : VARINT);
        switch (f) {
            case 3:
                out.category_iids.push_back(w.varint());
                break;
            case 9:
                out.type = w.varint();
                break;
            case 10:
                out.name_iid = w.varint();
                break;
            case 11:
                out.track_uuid = w.varint();
                break;
            case 22:
                out.categories.push_back(str(w.bytes()));
                break;
            default:
                out.name = str(w.bytes());
                break;
        }
    }
    return out;
}

inline void interned_data(std::string_view bytes, size_t base, Packet& p) {
    Wire w(bytes, base);
    FieldOrder order(w, {1, 2}, {1, 2});
    while (!w.done()) {
        uint32_t wire;
        uint32_t f = w.key(wire);
        order.accept(f, wire, LEN);
        std::string_view b = w.bytes();
        (f == 1 ? p.event_categories : p.event_names).push_back(interned(b, body_start(w, b)));
    }
}

inline void defaults(std::string_view bytes, size_t base, Packet& p) {
    p.has_defaults = true;
    Wire w(bytes, base);
    FieldOrder order(w, {11});
    while (!w.done()) {
        uint32_t wire;
        uint32_t f = w.key(wire);
        order.accept(f, wire, LEN);
        p.has_track_event_defaults = true;
        std::string_view b = w.bytes();
        Wire inner(b, body_start(w, b));
        FieldOrder inner_order(inner, {11});
        while (!inner.done()) {
            uint32_t iw;
            uint32_t iff = inner.key(iw);
            inner_order.accept(iff, iw, VARINT);
            p.default_track_uuid = inner.varint();
        }
    }
}

inline Packet packet(std::string_view bytes, size_t base) {
    Wire w(bytes, base);
    // Encoded packets: timestamp, sequence id, the data choice, interned data, flags, defaults.
    // Function events are assembled from a cached tail that puts the flags before the event.
    FieldOrder order(w, FieldOrder::AnyOf{{{8, 10, 11, 60, 12, 13, 59}, {8, 10, 13, 11}}});
    Packet p;
    while (!w.done()) {
        uint32_t wire;
        uint32_t f = w.key(wire);
        bool varint_field = f == 8 || f == 10 || f == 13;
        order.accept(f, wire, varint_field ? VARINT : LEN);
        if (varint_field) {
            uint64_t v = w.varint();
            if (f == 8)
                p.timestamp = v;
            else if (f == 10)
                p.sequence_id = uint32_value(w, v);
            else
                p.sequence_flags = uint32_value(w, v);
            continue;
        }
        std::string_view b = w.bytes();
        size_t at = body_start(w, b);
        switch (f) {
            case 11:
                if (p.track_descriptor) w.fail("packet carries two data choices");
                p.track_event = track_event(b, at);
                break;
            case 60:
                p.track_descriptor = track_descriptor(b, at);
                break;
            case 12:
                p.has_interned_data = true;
                interned_data(b, at, p);
                break;
            default:
                defaults(b, at, p);
                break;
        }
    }
    return p;
}

}  // namespace detail

// Decodes a whole stream: a concatenation of Trace.packet fields (0A, length, packet).
inline std::vector<Packet> decode_stream(std::string_view bytes) {
    std::vector<Packet> out;
    Wire w(bytes, 0);
    while (!w.done()) {
        size_t start = w.pos();
        uint32_t wire;
        uint32_t f = w.key(wire);
        if (f != 1 || wire != detail::LEN) w.fail("not a Trace.packet field");
        std::string_view b = w.bytes();
        Packet p = detail::packet(b, detail::body_start(w, b));
        p.offset = start;
        p.size = w.pos() - start;
        out.push_back(std::move(p));
    }
    return out;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- Viewer model -----------------------------------------------------------------------------

struct Slice {
    uint64_t ts;
    char phase;        // 'B', 'E' or 'I'
    std::string name;  // for 'E', the name of the slice it closed
    std::vector<std::string> categories;
};

struct Track {
    uint64_t uuid = 0;
    bool is_process = false;
    std::optional<uint64_t> parent_uuid;
    int32_t pid = 0;
    int32_t tid = 0;                  // thread tracks
    std::optional<std::string> name;  // track name, or thread name for a thread track
    uint32_t sequence_id = 0;         // of the descriptor packet
    size_t descriptor_index = 0;      // packet index of the descriptor
    std::vector<Slice> events;
    size_t open = 0;  // slices still open at the end of the stream
};

struct Trace {
    std::vector<Packet> packets;
    std::map<uint64_t, Track> tracks;  // by uuid
    std::vector<std::string> errors;   // empty for a stream a viewer reads cleanly

    // The thread track with this pid and tid, or null.
    const Track* thread(int32_t pid, int32_t tid) const {
        for (const auto& [uuid, t] : tracks) {
            if (!t.is_process && t.pid == pid && t.tid == tid) return &t;
        }
        return nullptr;
    }
    const Track* process(int32_t pid) const {
        for (const auto& [uuid, t] : tracks) {
            if (t.is_process && t.pid == pid) return &t;
        }
        return nullptr;
    }
    std::string error_text() const {
        std::ostringstream s;
        for (const auto& e : errors) s << e << "\n";
        return s.str();
    }
};

// Replays decoded packets as a viewer would. Incremental state (interned names and categories,
// packet defaults) lives per sequence and is valid only after a packet with
// SEQ_INCREMENTAL_STATE_CLEARED on that sequence.
inline Trace check_packets(std::vector<Packet> packets) {
    struct SeqState {
        bool valid = false;
        std::map<uint64_t, std::string> names;
        std::map<uint64_t, std::string> categories;
        std::optional<uint64_t> default_track;
    };
    Trace trace;
    std::map<uint32_t, SeqState> seqs;
    std::map<uint64_t, std::vector<std::string>> stacks;
    auto error = [&](size_t i, const std::string& what) {
        trace.errors.push_back("packet " + std::to_string(i) + ": " + what);
    };

    for (size_t i = 0; i < packets.size(); ++i) {
        const Packet& p = packets[i];
        if (!p.sequence_id) {
            error(i, "no trusted_packet_sequence_id");
            continue;
        }
        SeqState& seq = seqs[*p.sequence_id];
        uint32_t flags = p.sequence_flags.value_or(0);
        if (flags & 1) seq = SeqState{true, {}, {}, {}};
        if ((flags & 2) && !seq.valid) error(i, "needs incremental state never cleared");
        if (p.has_interned_data || p.has_defaults) {
            if (!seq.valid) error(i, "interned data or defaults before the state was cleared");
        }
        for (const Interned& c : p.event_categories) {
            if (!c.iid || !c.name)
                error(i, "category without iid or name");
            else if (!seq.categories.emplace(*c.iid, *c.name).second)
                error(i, "category iid reused");
        }
        for (const Interned& n : p.event_names) {
            if (!n.iid || !n.name)
                error(i, "name without iid or name");
            else if (!seq.names.emplace(*n.iid, *n.name).second)
                error(i, "name iid reused");
        }
        if (p.default_track_uuid) seq.default_track = p.default_track_uuid;

        if (p.track_descriptor) {
            const TrackDesc& d = *p.track_descriptor;
            if (!d.uuid) {
                error(i, "track descriptor without uuid");
                continue;
            }
            if (trace.tracks.count(*d.uuid)) {
                error(i, "uuid " + std::to_string(*d.uuid) + " described twice");
                continue;
            }
            Track t;
            t.uuid = *d.uuid;
            t.sequence_id = *p.sequence_id;
            t.descriptor_index = i;
            t.name = d.name;
            t.parent_uuid = d.parent_uuid;
            if (d.process && !d.thread) {
                t.is_process = true;
                t.pid = d.process->pid.value_or(0);
                if (!d.process->pid) error(i, "process descriptor without pid");
            } else if (d.thread && !d.process) {
                t.pid = d.thread->pid.value_or(0);
                t.tid = d.thread->tid.value_or(0);
                if (d.thread->thread_name) t.name = d.thread->thread_name;
                if (!d.thread->pid || !d.thread->tid) error(i, "thread descriptor without ids");
                auto parent =
                    d.parent_uuid ? trace.tracks.find(*d.parent_uuid) : trace.tracks.end();
                if (parent == trace.tracks.end() || !parent->second.is_process) {
                    error(i, "thread track's parent is not a described process track");
                } else if (parent->second.pid != t.pid) {
                    error(i, "thread track's pid differs from its process's");
                }
            } else {
                error(i, "track descriptor is neither a process nor a thread track");
            }
            trace.tracks.emplace(t.uuid, std::move(t));
        }

        if (p.track_event) {
            const TrackEv& e = *p.track_event;
            if (!p.timestamp) error(i, "event without timestamp");
            std::optional<uint64_t> uuid = e.track_uuid ? e.track_uuid : seq.default_track;
            auto track = uuid ? trace.tracks.find(*uuid) : trace.tracks.end();
            if (track == trace.tracks.end()) {
                error(i, "event on an undescribed track");
                continue;
            }
            if (!e.track_uuid && !seq.valid) error(i, "event relies on defaults never set");
            Slice s{p.timestamp.value_or(0), '?', {}, e.categories};
            for (uint64_t iid : e.category_iids) {
                auto c = seq.categories.find(iid);
                if (c == seq.categories.end())
                    error(i, "category iid does not resolve");
                else
                    s.categories.push_back(c->second);
            }
            if (e.name) s.name = *e.name;
            if (e.name_iid) {
                auto n = seq.names.find(*e.name_iid);
                if (n == seq.names.end())
                    error(i, "name iid " + std::to_string(*e.name_iid) + " does not resolve");
                else
                    s.name = n->second;
            }
            std::vector<std::string>& stack = stacks[track->first];
            Track& t = track->second;
            if (!t.events.empty() && s.ts < t.events.back().ts) {
                error(i, "timestamp goes backwards on its track");
            }
            switch (e.type.value_or(0)) {
                case 1:
                    if (!e.name && !e.name_iid) error(i, "begin without a name");
                    s.phase = 'B';
                    stack.push_back(s.name);
                    break;
                case 2:
                    if (e.name || e.name_iid || !e.category_iids.empty()) {
                        error(i, "end carries a name or category");
                    }
                    s.phase = 'E';
                    if (stack.empty()) {
                        error(i, "end without an open slice");
                    } else {
                        s.name = stack.back();
                        stack.pop_back();
                    }
                    break;
                case 3:
                    s.phase = 'I';
                    break;
                default:
                    error(i, "unknown event type");
            }
            t.events.push_back(std::move(s));
        }
    }
    for (auto& [uuid, stack] : stacks) trace.tracks[uuid].open = stack.size();
    trace.packets = std::move(packets);
    return trace;
}

// Decodes and replays a whole stream. Decoding errors propagate as DecodeError.
inline Trace check_stream(std::string_view bytes) { return check_packets(decode_stream(bytes)); }

}  // namespace vespra::pbtest
