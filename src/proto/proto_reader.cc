#include "proto/proto_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

#include "core/event.h"
#include "proto/pb.h"

namespace vespra {
namespace {

namespace f = pb::field;

// Reads a varint at p, moving p past it. False when it runs past `end` or over ten bytes.
inline bool read_varint(const uint8_t*& p, const uint8_t* end, uint64_t& value) {
    if (p < end && *p < 0x80) {
        value = *p++;
        return true;
    }
    uint64_t v = 0;
    for (unsigned shift = 0; shift < 64 && p < end; shift += 7) {
        uint8_t b = *p++;
        v |= uint64_t{b & 0x7Fu} << shift;
        if (b < 0x80) {
            value = v;
            return true;
        }
    }
    return false;
}

// The varint at p when at least eight bytes are readable there and it fits in them (every
// timestamp below 2^56 ns, two years): one load and a fixed sequence of masks instead of a
// loop of one branch per byte. False leaves p alone.
inline bool read_varint8(const uint8_t*& p, const uint8_t* end, uint64_t& value) {
    if (end - p < 8) return false;
    uint64_t w;
    std::memcpy(&w, p, 8);  // little-endian: the first byte is the low byte
    uint64_t stops = ~w & 0x8080808080808080ull;
    if (stops == 0) return false;
    unsigned len = (static_cast<unsigned>(__builtin_ctzll(stops)) + 1) / 8;
    uint64_t v = len == 8 ? w : w & ((uint64_t{1} << (8 * len)) - 1);
    v = (v & 0x7F) | ((v >> 1) & (0x7Full << 7)) | ((v >> 2) & (0x7Full << 14)) |
        ((v >> 3) & (0x7Full << 21)) | ((v >> 4) & (0x7Full << 28)) | ((v >> 5) & (0x7Full << 35)) |
        ((v >> 6) & (0x7Full << 42)) | ((v >> 7) & (0x7Full << 49));
    value = v;
    p += len;
    return true;
}

struct Field {
    uint32_t number;
    uint32_t wire;
    uint64_t value;       // a varint's value
    const uint8_t* data;  // a length-delimited field's bytes
    size_t len;
};

enum class Next { Field, End, Bad };

// The next field of a message that ends at `end`. Fixed-width fields are passed over; groups
// (long deprecated) and unknown wire types are malformed.
inline Next next_field(const uint8_t*& p, const uint8_t* end, Field& field) {
    if (p >= end) return Next::End;
    uint64_t key;
    if (!read_varint(p, end, key) || (key >> 3) == 0 || (key >> 3) > UINT32_MAX) return Next::Bad;
    field.number = static_cast<uint32_t>(key >> 3);
    field.wire = static_cast<uint32_t>(key & 7);
    switch (field.wire) {
        case pb::WIRE_VARINT:
            return read_varint(p, end, field.value) ? Next::Field : Next::Bad;
        case pb::WIRE_LEN: {
            uint64_t len;
            if (!read_varint(p, end, len) || len > static_cast<uint64_t>(end - p)) return Next::Bad;
            field.data = p;
            field.len = static_cast<size_t>(len);
            p += len;
            return Next::Field;
        }
        case pb::WIRE_I64:
            if (end - p < 8) return Next::Bad;
            field.data = p;
            field.len = 8;
            p += 8;
            return Next::Field;
        case pb::WIRE_I32:
            if (end - p < 4) return Next::Bad;
            p += 4;
            return Next::Field;
        default:
            return Next::Bad;
    }
}

IoError corrupt(std::string_view what, uint64_t at) {
    return IoError::other("corrupt protobuf trace: " + std::string(what) +
                          " in the packet at byte " + std::to_string(at));
}

std::string_view text(const Field& field) {
    return {reinterpret_cast<const char*>(field.data), field.len};
}

// The count in the writer's dropped-events name, "vespra: N events dropped".
bool dropped_count(std::string_view name, uint64_t& count) {
    using pb::DROPPED_PREFIX, pb::DROPPED_SUFFIX;
    if (!name.starts_with(DROPPED_PREFIX) || !name.ends_with(DROPPED_SUFFIX)) return false;
    std::string_view digits = name.substr(
        DROPPED_PREFIX.size(), name.size() - DROPPED_PREFIX.size() - DROPPED_SUFFIX.size());
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    return ec == std::errc() && ptr == digits.data() + digits.size();
}

constexpr bool is_sequence_clock(uint64_t id) {
    return id >= pb::FIRST_SEQUENCE_CLOCK && id <= pb::LAST_SEQUENCE_CLOCK;
}

// The count and the reason in the writer's left-out name, "vespra: N events left out by REASON".
bool left_out_count(std::string_view name, uint64_t& count, std::string_view& reason) {
    using pb::DROPPED_PREFIX, pb::LEFT_OUT_INFIX;
    size_t infix = name.find(LEFT_OUT_INFIX);
    if (!name.starts_with(DROPPED_PREFIX) || infix == std::string_view::npos) return false;
    std::string_view digits = name.substr(DROPPED_PREFIX.size(), infix - DROPPED_PREFIX.size());
    reason = name.substr(infix + LEFT_OUT_INFIX.size());
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    return ec == std::errc() && ptr == digits.data() + digits.size() && !reason.empty();
}

}  // namespace

// The trace time of a packet stamped `ts` on `clock`, which it moves.
inline uint64_t ProtoReader::advance(SequenceClock& clock, uint64_t ts) {
    clock.value = clock.incremental ? clock.value + ts : ts;
    return clock.trace_time();
}

bool ProtoReader::trace_time(Sequence& seq, uint32_t clock, uint64_t& ts) {
    if (!is_sequence_clock(clock)) return true;  // a global clock: taken as the trace's
    for (SequenceClock& c : seq.clocks) {
        if (c.id == clock) {
            ts = advance(c, ts);
            return true;
        }
    }
    return false;
}

void ProtoReader::find_default_clock(Sequence& seq) {
    seq.default_clock = NONE;
    for (size_t i = 0; i < seq.clocks.size(); ++i) {
        if (seq.clocks[i].id == seq.clock) seq.default_clock = static_cast<uint32_t>(i);
    }
}

ProtoReader::Sequence& ProtoReader::sequence(uint32_t id) {
    if (last_seq_ == nullptr || last_seq_id_ != id) {
        last_seq_ = &sequences_[id];
        last_seq_id_ = id;
    }
    return *last_seq_;
}

// The writer's function-event packet, byte for byte: 40 ts 50 seq 68 02 5A n, then 48 02 for
// an end or 48 01 18 01 50 iid for a begin, followed by 90 02 iid (its source location, the same
// iid) in traces that carry locations. Anything else, and an event whose sequence or function
// is not resolved yet, goes the general way.
[[gnu::always_inline]] inline bool ProtoReader::fast_event(const uint8_t* p, const uint8_t* end) {
    constexpr uint8_t KEY_TS = pb::field_key(f::TIMESTAMP, pb::WIRE_VARINT);
    constexpr uint8_t KEY_SEQ = pb::field_key(f::SEQUENCE_ID, pb::WIRE_VARINT);
    constexpr uint8_t KEY_FLAGS = pb::field_key(f::SEQUENCE_FLAGS, pb::WIRE_VARINT);
    constexpr uint8_t KEY_EVENT = pb::field_key(f::TRACK_EVENT, pb::WIRE_LEN);
    constexpr uint8_t KEY_TYPE = pb::field_key(f::TE_TYPE, pb::WIRE_VARINT);
    constexpr uint8_t KEY_CATEGORY = pb::field_key(f::TE_CATEGORY_IIDS, pb::WIRE_VARINT);
    constexpr uint8_t KEY_NAME_IID = pb::field_key(f::TE_NAME_IID, pb::WIRE_VARINT);
    constexpr uint64_t KEY_LOCATION = pb::field_key(f::TE_SOURCE_LOCATION_IID, pb::WIRE_VARINT);
    constexpr uint8_t KEY_LOCATION_0 = (KEY_LOCATION & 0x7F) | 0x80,
                      KEY_LOCATION_1 = KEY_LOCATION >> 7;
    static_assert(KEY_LOCATION >= 0x80 && KEY_LOCATION < 0x4000);
    uint64_t ts, seq_id;
    if (p >= end || *p++ != KEY_TS) return false;
    if (!read_varint8(p, end, ts) && !read_varint(p, end, ts)) return false;
    if (p >= end || *p++ != KEY_SEQ || !read_varint(p, end, seq_id) || seq_id > UINT32_MAX) {
        return false;
    }
    if (end - p < 5 || p[0] != KEY_FLAGS || p[1] != pb::TracePacket::SEQ_NEEDS_INCREMENTAL_STATE ||
        p[2] != KEY_EVENT || p[3] != end - (p + 4) || p[4] != KEY_TYPE) {
        return false;
    }
    p += 5;
    Sequence& seq = last_seq_ != nullptr && last_seq_id_ == seq_id
                        ? *last_seq_
                        : sequence(static_cast<uint32_t>(seq_id));
    if (seq.thread == NONE) return false;
    // The clock moves only once the packet is known to be taken here.
    SequenceClock* clock = nullptr;
    if (is_sequence_clock(seq.clock)) {
        if (seq.default_clock == NONE) return false;
        clock = &seq.clocks[seq.default_clock];
    }
    if (end - p == 1 && *p == pb::TrackEvent::TYPE_SLICE_END) {
        if (clock) ts = advance(*clock, ts);
        visitor_.end(seq.thread, ts);
        if (sink_) {
            info_ = {trace::RecordInfo::Kind::End,  seq.thread,       trace::RecordInfo::NONE, ts,
                     static_cast<uint32_t>(seq_id), clock != nullptr, clock != nullptr};
        }
        return true;
    }
    uint64_t iid;
    if (end - p < 5 || p[0] != pb::TrackEvent::TYPE_SLICE_BEGIN || p[1] != KEY_CATEGORY ||
        p[2] >= 0x80 || p[3] != KEY_NAME_IID) {
        return false;
    }
    p += 4;
    if (!read_varint(p, end, iid) || iid >= seq.interned.size()) return false;
    const Interned& entry = seq.interned[iid];
    uint32_t function = entry.plain;
    if (p != end) {
        uint64_t location;
        if (end - p < 3 || p[0] != KEY_LOCATION_0 || p[1] != KEY_LOCATION_1) return false;
        p += 2;
        if (!read_varint(p, end, location) || location != iid || p != end) return false;
        function = entry.located;
    }
    if (function == NONE) return false;
    if (clock) ts = advance(*clock, ts);
    visitor_.begin(seq.thread, function, ts);
    if (sink_) {
        info_ = {trace::RecordInfo::Kind::Begin, seq.thread,       trace::RecordInfo::NONE, ts,
                 static_cast<uint32_t>(seq_id),  clock != nullptr, clock != nullptr};
    }
    return true;
}

Result<size_t> ProtoReader::parse(std::span<const uint8_t> data, uint64_t offset) {
    const uint8_t* const start = data.data();
    const uint8_t* const end = start + data.size();
    const uint8_t* p = start;
    while (p < end) {
        uint64_t at = offset + static_cast<uint64_t>(p - start);
        if (*p != pb::TRACE_PACKET_KEY) {
            return IoError::other("not a protobuf trace packet at byte " + std::to_string(at));
        }
        const uint8_t* q = p + 1;
        uint64_t len;
        if (!read_varint(q, end, len)) {
            if (end - q >= static_cast<ptrdiff_t>(pb::Varint::MAX_LEN)) {
                return corrupt("a packet length of more than ten bytes", at);
            }
            break;  // the length itself is cut by the end of the piece
        }
        if (len > static_cast<uint64_t>(end - q)) {
            if (len > trace::MAX_RECORD) return corrupt("a packet length above 64 MiB", at);
            break;
        }
        if (!fast_event(q, q + len)) {
            if (sink_) info_ = {};
            if (Status st = packet(q, q + len, at); !st.ok()) return st.error();
        }
        ++packets_;
        if (sink_) {
            if (Status st = sink_->record({p, q + len}, info_); !st.ok()) return st.error();
        }
        p = q + len;
    }
    return static_cast<size_t>(p - start);
}

Status ProtoReader::packet(const uint8_t* p, const uint8_t* end, uint64_t at) {
    uint64_t ts = 0, seq_id = 0, clock_id = 0;
    Field event{}, interned_data{}, defaults{}, desc{}, clocks{};
    bool has_event = false, has_interned = false, has_defaults = false, has_desc = false;
    bool has_ts = false, has_clock_id = false, has_clocks = false;
    uint64_t flags = 0;
    Field fd;
    for (;;) {
        Next n = next_field(p, end, fd);
        if (n == Next::End) break;
        if (n == Next::Bad) return corrupt("a malformed field", at);
        bool varint = fd.wire == pb::WIRE_VARINT, bytes = fd.wire == pb::WIRE_LEN;
        switch (fd.number) {
            case f::TIMESTAMP:
                if (!varint) return corrupt("a timestamp of the wrong wire type", at);
                ts = fd.value, has_ts = true;
                break;
            case f::TIMESTAMP_CLOCK_ID:
                if (!varint) return corrupt("a clock id of the wrong wire type", at);
                clock_id = fd.value, has_clock_id = true;
                break;
            case f::CLOCK_SNAPSHOT:
                if (!bytes) return corrupt("a clock snapshot of the wrong wire type", at);
                clocks = fd, has_clocks = true;
                break;
            case f::SEQUENCE_ID:
                if (!varint) return corrupt("a sequence id of the wrong wire type", at);
                seq_id = fd.value;
                break;
            case f::SEQUENCE_FLAGS:
                if (!varint) return corrupt("sequence flags of the wrong wire type", at);
                flags = fd.value;
                break;
            case f::TRACK_EVENT:
                if (!bytes) return corrupt("a track event of the wrong wire type", at);
                event = fd, has_event = true;
                break;
            case f::INTERNED_DATA:
                if (!bytes) return corrupt("interned data of the wrong wire type", at);
                interned_data = fd, has_interned = true;
                break;
            case f::DEFAULTS:
                if (!bytes) return corrupt("packet defaults of the wrong wire type", at);
                defaults = fd, has_defaults = true;
                break;
            case f::TRACK_DESCRIPTOR:
                if (!bytes) return corrupt("a track descriptor of the wrong wire type", at);
                desc = fd, has_desc = true;
                break;
            default:
                break;
        }
    }
    if (seq_id > UINT32_MAX) return corrupt("a sequence id above 32 bits", at);
    Sequence& seq = sequence(static_cast<uint32_t>(seq_id));
    if (sink_) {
        info_.sequence = static_cast<uint32_t>(seq_id);
        info_.sequence_clock = is_sequence_clock(has_clock_id ? clock_id : seq.clock);
        info_.sequence_default_clock = is_sequence_clock(seq.clock);
    }
    if (has_clocks) {
        // A viewer reads nothing else of a packet that holds a clock snapshot.
        if (sink_) note_owner(seq);
        return snapshot(seq, clocks.data, clocks.data + clocks.len, at);
    }
    if (flags & pb::TracePacket::SEQ_INCREMENTAL_STATE_CLEARED) {
        seq.interned.clear();
        seq.span_category = 0;
        seq.clock = 0;
        seq.default_clock = NONE;
    }
    if (has_interned) {
        if (Status st =
                interned(seq, interned_data.data, interned_data.data + interned_data.len, at);
            !st.ok()) {
            return st;
        }
    }
    if (has_desc) {
        if (Status st = descriptor(desc.data, desc.data + desc.len, at); !st.ok()) return st;
    }
    if (has_defaults) {
        // TracePacketDefaults { track_event_defaults { track_uuid } }
        const uint8_t* d = defaults.data;
        const uint8_t* dend = d + defaults.len;
        Field x;
        for (Next n; (n = next_field(d, dend, x)) != Next::End;) {
            if (n == Next::Bad) return corrupt("malformed packet defaults", at);
            if (x.number == f::TPD_TIMESTAMP_CLOCK_ID && x.wire == pb::WIRE_VARINT) {
                if (x.value > UINT32_MAX) return corrupt("a default clock id above 32 bits", at);
                seq.clock = static_cast<uint32_t>(x.value);
                find_default_clock(seq);
            }
            if (x.number != f::TPD_TRACK_EVENT_DEFAULTS || x.wire != pb::WIRE_LEN) continue;
            const uint8_t* e = x.data;
            const uint8_t* eend = e + x.len;
            Field y;
            for (Next m; (m = next_field(e, eend, y)) != Next::End;) {
                if (m == Next::Bad) return corrupt("malformed track event defaults", at);
                if (y.number == f::TED_TRACK_UUID && y.wire == pb::WIRE_VARINT) {
                    seq.default_track = y.value;
                    seq.has_default = true;
                    seq.thread = NONE;
                }
            }
        }
    }
    if (has_ts) {
        if (clock_id > UINT32_MAX) return corrupt("a clock id above 32 bits", at);
        uint32_t clock = has_clock_id ? static_cast<uint32_t>(clock_id) : seq.clock;
        // Other packets stamped on an undefined clock are of no use to us; an event is.
        if (!trace_time(seq, clock, ts) && has_event) {
            return corrupt("a timestamp on a sequence clock that no snapshot defined", at);
        }
    }
    if (has_event) {
        if (Status st = this->event(seq, ts, event.data, event.data + event.len, at); !st.ok()) {
            return st;
        }
    }
    if (sink_ && info_.thread == NONE && info_.pid == NONE) note_owner(seq);
    return Status::success();
}

void ProtoReader::note_owner(const Sequence& seq) {
    if (!seq.has_default) return;
    auto it = tracks_.find(seq.default_track);
    if (it == tracks_.end()) return;
    info_.thread = it->second.thread;
    info_.pid = it->second.pid;
}

Status ProtoReader::snapshot(Sequence& seq, const uint8_t* p, const uint8_t* end, uint64_t at) {
    // ClockSnapshot { clocks 1: Clock { clock_id 1, timestamp 2, is_incremental 3,
    // unit_multiplier_ns 4 } }. The sequence's clocks are tied to the trace clock's reading.
    std::vector<SequenceClock> found;
    uint64_t base = 0;
    bool has_base = false;
    Field fd;
    for (Next n; (n = next_field(p, end, fd)) != Next::End;) {
        if (n == Next::Bad) return corrupt("a malformed clock snapshot", at);
        if (fd.number != f::CS_CLOCKS || fd.wire != pb::WIRE_LEN) continue;
        SequenceClock c{0, false, 0, 0, 0, 1};
        uint64_t id = 0;
        const uint8_t* e = fd.data;
        const uint8_t* eend = e + fd.len;
        Field x;
        for (Next m; (m = next_field(e, eend, x)) != Next::End;) {
            if (m == Next::Bad || x.wire != pb::WIRE_VARINT) {
                return corrupt("a malformed clock in a snapshot", at);
            }
            if (x.number == f::CLK_CLOCK_ID) id = x.value;
            if (x.number == f::CLK_TIMESTAMP) c.value = c.at = x.value;
            if (x.number == f::CLK_IS_INCREMENTAL) c.incremental = x.value != 0;
            if (x.number == f::CLK_UNIT_MULTIPLIER_NS) c.unit = x.value;
        }
        if (id == pb::BUILTIN_CLOCK_BOOTTIME) {
            base = c.value, has_base = true;
        } else if (is_sequence_clock(id)) {
            c.id = static_cast<uint32_t>(id);
            found.push_back(c);
        }
    }
    if (!has_base) return corrupt("a clock snapshot without the trace clock", at);
    for (SequenceClock& c : found) {
        c.base = base;
        auto same = std::find_if(seq.clocks.begin(), seq.clocks.end(),
                                 [&](const SequenceClock& o) { return o.id == c.id; });
        if (same != seq.clocks.end()) {
            *same = c;
        } else {
            seq.clocks.push_back(c);
        }
    }
    find_default_clock(seq);
    return Status::success();
}

ProtoReader::Interned& ProtoReader::slot(Sequence& seq, uint64_t iid) {
    if (seq.interned.size() <= iid) seq.interned.resize(iid + 1);
    return seq.interned[iid];
}

Status ProtoReader::interned(Sequence& seq, const uint8_t* p, const uint8_t* end, uint64_t at) {
    Field fd;
    for (Next n; (n = next_field(p, end, fd)) != Next::End;) {
        if (n == Next::Bad) return corrupt("malformed interned data", at);
        bool category = fd.number == f::ID_EVENT_CATEGORIES;
        bool is_name = fd.number == f::ID_EVENT_NAMES;
        if ((!category && !is_name && fd.number != f::ID_SOURCE_LOCATIONS) ||
            fd.wire != pb::WIRE_LEN) {
            continue;
        }
        // EventCategory and EventName { iid 1, name 2 } or SourceLocation { iid 1, file_name 2,
        // function_name 3, line_number 4 }.
        uint64_t iid = 0, line = 0;
        bool has_iid = false;
        std::string_view field2, function;  // field2: EventName.name or SourceLocation.file_name
        const uint8_t* e = fd.data;
        const uint8_t* eend = e + fd.len;
        Field x;
        for (Next m; (m = next_field(e, eend, x)) != Next::End;) {
            if (m == Next::Bad) return corrupt("a malformed interned name or location", at);
            if (x.number == f::INTERNED_IID && x.wire == pb::WIRE_VARINT) {
                iid = x.value;
                has_iid = true;
            } else if (x.number == f::INTERNED_NAME && x.wire == pb::WIRE_LEN) {
                field2 = text(x);
            } else if (!is_name && x.number == f::SL_FUNCTION_NAME && x.wire == pb::WIRE_LEN) {
                function = text(x);
            } else if (!is_name && x.number == f::SL_LINE_NUMBER && x.wire == pb::WIRE_VARINT) {
                line = x.value;
            }
        }
        if (!has_iid) return corrupt("an interned name or location without an id", at);
        if (category) {
            if (field2 == pb::SPAN_CATEGORY) seq.span_category = iid;
            continue;
        }
        if (iid >= MAX_NAME_IID) return corrupt("an interned id above 2^22", at);
        Interned& entry = slot(seq, iid);
        entry.located = NONE;
        if (is_name) {
            entry.has_name = true;
            entry.name = field2;
            entry.plain = NONE;
        } else {
            entry.has_location = true;
            entry.file = field2;
            entry.location_function = function;
            entry.line = static_cast<uint32_t>(line);
        }
    }
    return Status::success();
}

uint32_t ProtoReader::function_of(Sequence& seq, uint64_t name_iid, uint64_t location_iid) {
    if (name_iid >= seq.interned.size() || !seq.interned[name_iid].has_name) return NONE;
    Interned& named = seq.interned[name_iid];
    if (location_iid == NO_IID) {
        if (named.plain == NONE) named.plain = visitor_.function(named.name, {}, 0);
        return named.plain;
    }
    if (location_iid >= seq.interned.size() || !seq.interned[location_iid].has_location) {
        return NONE;
    }
    const Interned& where = seq.interned[location_iid];
    if (location_iid != name_iid) return visitor_.function(named.name, where.file, where.line);
    if (named.located == NONE)
        named.located = visitor_.function(named.name, named.file, named.line);
    return named.located;
}

Status ProtoReader::descriptor(const uint8_t* p, const uint8_t* end, uint64_t at) {
    uint64_t uuid = 0;
    bool has_uuid = false;
    const uint8_t* process = nullptr;
    size_t process_len = 0;
    const uint8_t* thread = nullptr;
    size_t thread_len = 0;
    bool counter = false;
    uint64_t parent = 0;
    std::string_view track_name;
    Field fd;
    for (Next n; (n = next_field(p, end, fd)) != Next::End;) {
        if (n == Next::Bad) return corrupt("a malformed track descriptor", at);
        if (fd.number == f::TD_COUNTER && fd.wire == pb::WIRE_LEN) {
            counter = true;
        } else if (fd.number == f::TD_PARENT_UUID && fd.wire == pb::WIRE_VARINT) {
            parent = fd.value;
        } else if (fd.number == f::TD_NAME && fd.wire == pb::WIRE_LEN) {
            track_name = text(fd);
        } else if (fd.number == f::TD_UUID && fd.wire == pb::WIRE_VARINT) {
            uuid = fd.value;
            has_uuid = true;
        } else if (fd.number == f::TD_PROCESS && fd.wire == pb::WIRE_LEN) {
            process = fd.data, process_len = fd.len;
        } else if (fd.number == f::TD_THREAD && fd.wire == pb::WIRE_LEN) {
            thread = fd.data, thread_len = fd.len;
        }
    }
    if (!has_uuid) return Status::success();  // nothing can refer to it
    bool redescribed = tracks_.contains(uuid);
    // pid and tid are int32 on the wire, sign-extended: their low 32 bits are the ids.
    uint32_t pid = 0, tid = 0;
    std::string_view name;
    if (counter) {
        // A counter of a process: its samples count for the parent's pid.
        auto it = tracks_.find(parent);
        Track track{it != tracks_.end() ? it->second.pid : 0, NONE, true, std::string(track_name)};
        tracks_[uuid] = std::move(track);
    } else if (thread != nullptr) {
        const uint8_t* e = thread;
        const uint8_t* eend = thread + thread_len;
        for (Next n; (n = next_field(e, eend, fd)) != Next::End;) {
            if (n == Next::Bad) return corrupt("a malformed thread descriptor", at);
            if (fd.number == f::THD_PID && fd.wire == pb::WIRE_VARINT) {
                pid = static_cast<uint32_t>(fd.value);
            } else if (fd.number == f::THD_TID && fd.wire == pb::WIRE_VARINT) {
                tid = static_cast<uint32_t>(fd.value);
            } else if (fd.number == f::THD_THREAD_NAME && fd.wire == pb::WIRE_LEN) {
                name = text(fd);
            }
        }
        uint32_t handle = visitor_.thread(pid, tid);
        if (!name.empty()) visitor_.thread_name(handle, name);
        tracks_[uuid] = Track{pid, handle, false, {}};
        info_.thread = handle;
    } else if (process != nullptr) {
        const uint8_t* e = process;
        const uint8_t* eend = process + process_len;
        for (Next n; (n = next_field(e, eend, fd)) != Next::End;) {
            if (n == Next::Bad) return corrupt("a malformed process descriptor", at);
            if (fd.number == f::PD_PID && fd.wire == pb::WIRE_VARINT) {
                pid = static_cast<uint32_t>(fd.value);
            } else if (fd.number == f::PD_PROCESS_NAME && fd.wire == pb::WIRE_LEN) {
                name = text(fd);
            }
        }
        visitor_.process(pid, name);
        tracks_[uuid] = Track{pid, NONE, false, {}};
    } else if (auto it = tracks_.find(parent); it != tracks_.end() && it->second.thread == NONE &&
                                               !it->second.counter && parent != 0) {
        // A named track of slices under a process: an asyncio task's (see core/tasks.h), read
        // as a thread whose id carries TASK_TRACK_BIT.
        uint32_t handle = visitor_.thread(it->second.pid, TASK_TRACK_BIT | ++task_tracks_);
        if (!track_name.empty()) visitor_.thread_name(handle, track_name);
        tracks_[uuid] = Track{it->second.pid, handle, false, {}};
    }
    if (auto it = tracks_.find(uuid); it != tracks_.end()) info_.pid = it->second.pid;
    // A new descriptor for a uuid a sequence already resolved takes effect for its next event.
    for (auto& [id, seq] : sequences_) {
        if (!redescribed) break;
        if (seq.has_default && seq.default_track == uuid) seq.thread = NONE;
    }
    return Status::success();
}

Status ProtoReader::event(Sequence& seq, uint64_t ts, const uint8_t* p, const uint8_t* end,
                          uint64_t at) {
    uint64_t type = 0, name_iid = 0, track_uuid = 0, location_iid = NO_IID;
    bool has_iid = false, has_track = false, is_dropped = false, is_span = false,
         is_left_out = false, is_cut_short = false;
    bool has_value = false;
    double value = 0;
    std::string_view name;
    bool has_name = false;
    Field fd;
    for (Next n; (n = next_field(p, end, fd)) != Next::End;) {
        if (n == Next::Bad) return corrupt("a malformed track event", at);
        bool varint = fd.wire == pb::WIRE_VARINT, bytes = fd.wire == pb::WIRE_LEN;
        if (fd.number == f::TE_TYPE && varint) {
            type = fd.value;
        } else if (fd.number == f::TE_NAME_IID && varint) {
            name_iid = fd.value, has_iid = true;
        } else if (fd.number == f::TE_SOURCE_LOCATION_IID && varint) {
            location_iid = fd.value;
        } else if (fd.number == f::TE_TRACK_UUID && varint) {
            track_uuid = fd.value, has_track = true;
        } else if (fd.number == f::TE_NAME && bytes) {
            name = text(fd), has_name = true;
        } else if (fd.number == f::TE_CATEGORIES && bytes) {
            is_dropped = is_dropped || text(fd) == pb::DROPPED_CATEGORY;
            is_left_out = is_left_out || text(fd) == pb::LEFT_OUT_CATEGORY;
            is_cut_short = is_cut_short || text(fd) == pb::CUT_SHORT_CATEGORY;
        } else if (fd.number == f::TE_CATEGORY_IIDS && varint) {
            is_span = is_span || (seq.span_category != 0 && fd.value == seq.span_category);
        } else if (fd.number == f::TE_COUNTER_VALUE && varint) {
            value = static_cast<double>(static_cast<int64_t>(fd.value)), has_value = true;
        } else if (fd.number == f::TE_DOUBLE_COUNTER_VALUE && fd.wire == pb::WIRE_I64) {
            uint64_t bits = 0;
            for (int i = 0; i < 8; ++i) bits |= uint64_t{fd.data[i]} << (8 * i);
            std::memcpy(&value, &bits, sizeof value);
            has_value = true;
        }
    }

    const Track* track = nullptr;
    uint32_t thread = NONE;
    if (has_track) {
        auto it = tracks_.find(track_uuid);
        if (it == tracks_.end()) return corrupt("an event on an undescribed track", at);
        track = &it->second;
        thread = track->thread;
    } else {
        if (seq.thread == NONE) {
            // Resolved once per sequence; a sequence whose default is a process track stays
            // unresolved and is looked up each time (none of ours).
            auto it = seq.has_default ? tracks_.find(seq.default_track) : tracks_.end();
            if (it == tracks_.end()) return corrupt("an event on an undescribed track", at);
            track = &it->second;
            seq.thread = track->thread;
        }
        thread = seq.thread;
    }

    switch (type) {
        case pb::TrackEvent::TYPE_SLICE_BEGIN: {
            if (thread == NONE) return Status::success();  // slices on process tracks: none of ours
            if (has_iid && (name_iid >= seq.interned.size() || !seq.interned[name_iid].has_name)) {
                return corrupt("a name id never interned on its sequence", at);
            }
            if (location_iid != NO_IID &&
                (location_iid >= seq.interned.size() || !seq.interned[location_iid].has_location)) {
                return corrupt("a source location id never interned on its sequence", at);
            }
            uint32_t function;
            if (has_iid) {
                // A span is named like a function but is not one: no function of its name.
                function = is_span ? visitor_.span(seq.interned[name_iid].name)
                                   : function_of(seq, name_iid, location_iid);
            } else if (location_iid != NO_IID) {
                // Named inline, or only by its location: rare enough to go uncached.
                const Interned& where = seq.interned[location_iid];
                function =
                    visitor_.function(has_name ? name : std::string_view(where.location_function),
                                      where.file, where.line);
            } else {
                std::string key(has_name ? name : pb::UNKNOWN_NAME);
                auto it = full_names_.find(key);
                if (it == full_names_.end()) {
                    it = full_names_.emplace(key, visitor_.function(key, {}, 0)).first;
                }
                function = it->second;
            }
            visitor_.begin(thread, function, ts);
            info_.kind = trace::RecordInfo::Kind::Begin, info_.thread = thread, info_.ts = ts;
            return Status::success();
        }
        case pb::TrackEvent::TYPE_SLICE_END:
            if (thread != NONE) visitor_.end(thread, ts);
            info_.kind = trace::RecordInfo::Kind::End, info_.thread = thread, info_.ts = ts;
            return Status::success();
        case pb::TrackEvent::TYPE_INSTANT: {
            auto pid = [&]() -> uint32_t {
                if (track != nullptr) return track->pid;
                auto it = tracks_.find(seq.default_track);
                return it != tracks_.end() ? it->second.pid : 0;
            };
            uint64_t count;
            std::string_view reason;
            info_.kind = trace::RecordInfo::Kind::Totals, info_.pid = pid();
            if (is_dropped && has_name && dropped_count(name, count)) {
                visitor_.dropped(info_.pid, count);
            } else if (is_left_out && has_name && left_out_count(name, count, reason)) {
                visitor_.left_out(info_.pid, reason, count);
            } else if (is_cut_short) {
                visitor_.cut_short(info_.pid);
            } else {
                info_.kind = trace::RecordInfo::Kind::Mark, info_.thread = thread, info_.ts = ts;
            }
            return Status::success();
        }
        case pb::TrackEvent::TYPE_COUNTER:
            if (track != nullptr && track->counter && has_value) {
                visitor_.counter(track->pid, track->name, value, ts);
            }
            info_.kind = trace::RecordInfo::Kind::Mark, info_.ts = ts;
            if (track != nullptr) info_.pid = track->pid;
            return Status::success();
        default:
            return Status::success();
    }
}

namespace {

// TrackEvent.debug_annotations { name: flag, bool_value: true }.
void put_flag(std::string& out, std::string_view flag) {
    std::string annotation;
    annotation += static_cast<char>(pb::field_key(f::DA_NAME, pb::WIRE_LEN));
    pb::put_varint(annotation, flag.size());
    annotation.append(flag);
    annotation += static_cast<char>(pb::field_key(f::DA_BOOL, pb::WIRE_VARINT));
    annotation += '\x01';
    out += static_cast<char>(pb::field_key(f::TE_DEBUG_ANNOTATIONS, pb::WIRE_LEN));
    pb::put_varint(out, annotation.size());
    out += annotation;
}

void put_stamp(std::string& body, uint64_t ts, bool name_clock) {
    body += static_cast<char>(pb::field_key(f::TIMESTAMP, pb::WIRE_VARINT));
    pb::put_varint(body, ts);
    if (name_clock) {
        pb::put_varint(body, pb::field_key(f::TIMESTAMP_CLOCK_ID, pb::WIRE_VARINT));
        pb::put_varint(body, pb::BUILTIN_CLOCK_BOOTTIME);
    }
}

void put_packet(std::string& out, const std::string& body) {
    out += static_cast<char>(pb::TRACE_PACKET_KEY);
    pb::put_varint(out, body.size());
    out += body;
}

}  // namespace

bool restamp_packet(std::span<const uint8_t> packet, uint64_t ts, bool name_clock,
                    std::string_view flag, std::string& out) {
    const uint8_t* p = packet.data();
    const uint8_t* end = p + packet.size();
    uint64_t len;
    if (p == end || *p++ != pb::TRACE_PACKET_KEY || !read_varint(p, end, len) ||
        len != static_cast<uint64_t>(end - p)) {
        return false;
    }
    std::string body;
    put_stamp(body, ts, name_clock);
    Field fd;
    for (;;) {
        const uint8_t* at = p;
        Next n = next_field(p, end, fd);
        if (n == Next::End) break;
        if (n == Next::Bad) return false;
        if (fd.number == f::TIMESTAMP || fd.number == f::TIMESTAMP_CLOCK_ID) continue;
        if (fd.number == f::TRACK_EVENT && fd.wire == pb::WIRE_LEN && !flag.empty()) {
            std::string event(reinterpret_cast<const char*>(fd.data), fd.len);
            put_flag(event, flag);
            body += static_cast<char>(pb::field_key(f::TRACK_EVENT, pb::WIRE_LEN));
            pb::put_varint(body, event.size());
            body += event;
            continue;
        }
        body.append(reinterpret_cast<const char*>(at), static_cast<size_t>(p - at));
    }
    put_packet(out, body);
    return true;
}

void append_end_packet(uint32_t sequence, uint64_t ts, bool name_clock, std::string_view flag,
                       std::string& out) {
    std::string body;
    put_stamp(body, ts, name_clock);
    body += static_cast<char>(pb::field_key(f::SEQUENCE_ID, pb::WIRE_VARINT));
    pb::put_varint(body, sequence);
    body += static_cast<char>(pb::field_key(f::SEQUENCE_FLAGS, pb::WIRE_VARINT));
    body += static_cast<char>(pb::TracePacket::SEQ_NEEDS_INCREMENTAL_STATE);
    std::string event;
    event += static_cast<char>(pb::field_key(f::TE_TYPE, pb::WIRE_VARINT));
    event += static_cast<char>(pb::TrackEvent::TYPE_SLICE_END);
    put_flag(event, flag);
    body += static_cast<char>(pb::field_key(f::TRACK_EVENT, pb::WIRE_LEN));
    pb::put_varint(body, event.size());
    body += event;
    put_packet(out, body);
}

}  // namespace vespra
