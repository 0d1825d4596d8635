// A reader of vespra's protobuf traces for the tests, sharing no code with the encoder: a plain
// wire-format walker, a replay of the packets the way a track-event viewer reads them, and byte
// strings written as hex.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vespra::pbtest {

struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Field {
    uint32_t number;
    bool is_varint;          // else length-delimited
    uint64_t value;          // of a varint
    std::string_view bytes;  // of a length-delimited field
};

// The fields of one message, in wire order. Accepts only what the writer may produce: varints
// and length-delimited fields, minimal varints of at most ten bytes, nothing cut short.
class Message {
  public:
    explicit Message(std::string_view bytes) : bytes(bytes) {
        size_t pos = 0;
        auto varint = [&] {
            uint64_t v = 0;
            for (int shift = 0;; shift += 7) {
                if (pos == bytes.size()) throw DecodeError("truncated varint");
                uint8_t b = static_cast<uint8_t>(bytes[pos++]);
                if (shift == 63 && b > 1) throw DecodeError("varint beyond 64 bits");
                v |= uint64_t{b & 0x7Fu} << shift;
                if (b < 0x80) {
                    if (b == 0 && shift > 0) throw DecodeError("non-minimal varint");
                    return v;
                }
            }
        };
        while (pos < bytes.size()) {
            uint64_t key = varint();
            Field f{static_cast<uint32_t>(key >> 3), (key & 7) == 0, 0, {}};
            if (f.number == 0) throw DecodeError("field number 0");
            if (f.is_varint) {
                f.value = varint();
            } else if ((key & 7) == 2) {
                uint64_t n = varint();
                if (n > bytes.size() - pos) throw DecodeError("length runs past the end");
                f.bytes = bytes.substr(pos, n);
                pos += n;
            } else {
                throw DecodeError("wire type " + std::to_string(key & 7));
            }
            fields.push_back(f);
        }
    }

    std::string_view bytes;
    std::vector<Field> fields;

    void allow(std::initializer_list<uint32_t> known) const {
        for (const Field& f : fields)
            if (std::find(known.begin(), known.end(), f.number) == known.end())
                throw DecodeError("unexpected field " + std::to_string(f.number));
    }
    std::vector<const Field*> all(uint32_t n, bool varint) const {
        std::vector<const Field*> out;
        for (const Field& f : fields) {
            if (f.number != n) continue;
            if (f.is_varint != varint) throw DecodeError("wrong wire type: " + std::to_string(n));
            out.push_back(&f);
        }
        return out;
    }
    const Field* one(uint32_t n, bool varint) const {
        auto found = all(n, varint);
        if (found.size() > 1) throw DecodeError("repeated field " + std::to_string(n));
        return found.empty() ? nullptr : found[0];
    }
    std::optional<uint64_t> u64(uint32_t n) const {
        const Field* f = one(n, true);
        return f ? std::optional(f->value) : std::nullopt;
    }
    // int32 travels as its sign extension to 64 bits: ten bytes when negative.
    std::optional<int32_t> i32(uint32_t n) const {
        std::optional<uint64_t> v = u64(n);
        if (v && *v > 0x7FFFFFFF && *v < 0xFFFFFFFF80000000ull)
            throw DecodeError("int32 not sign-extended");
        return v ? std::optional(static_cast<int32_t>(*v)) : std::nullopt;
    }
    std::optional<std::string> str(uint32_t n) const {
        const Field* f = one(n, false);
        return f ? std::optional(std::string(f->bytes)) : std::nullopt;
    }
    std::optional<Message> sub(uint32_t n) const {
        const Field* f = one(n, false);
        return f ? std::optional(Message(f->bytes)) : std::nullopt;
    }
};

// The packets of a stream: a run of Trace.packet fields (0A, length, packet).
inline std::vector<Message> packets_of(std::string_view stream) {
    Message trace(stream);
    trace.allow({1});
    std::vector<Message> out;
    for (const Field* f : trace.all(1, false)) out.emplace_back(f->bytes);
    return out;
}

struct Location {
    std::string file, function;
    uint32_t line = 0;
    bool operator==(const Location&) const = default;
};

struct Slice {
    uint64_t ts;
    char phase;        // 'B', 'E' or 'I'
    std::string name;  // of an end: the name of the slice it closed
    std::vector<std::string> categories;
    std::optional<Location> location = {};  // of a begin that names one
};

struct Track {
    uint64_t uuid = 0;
    bool is_process = false;
    int32_t pid = 0, tid = 0;
    std::optional<uint64_t> parent_uuid;
    std::optional<std::string> name;  // the track's, or the thread's
    std::optional<std::string> process_name = {};
    std::vector<std::string> cmdline = {};
    uint64_t sequence_id = 0;         // of its descriptor
    size_t descriptor_index = 0;      // packet number of its descriptor
    std::vector<Slice> events = {};
    std::vector<std::string> open = {};  // slices never closed
};

struct Interning {
    uint64_t sequence_id, iid;
    std::string name;
    std::optional<Location> location = {};  // set for a source location, `name` left empty
};

struct Trace {
    std::vector<Message> packets;
    std::map<uint64_t, Track> tracks;  // by uuid
    std::vector<Interning> names;      // every interned event name and location, in order
    std::vector<std::string> errors;   // what a viewer would trip over; empty for a good stream

    const Track* find(bool process, int32_t pid, int32_t tid = 0) const {
        for (const auto& [uuid, t] : tracks)
            if (t.is_process == process && t.pid == pid && (process || t.tid == tid)) return &t;
        return nullptr;
    }
    std::string error_text() const {
        std::string s;
        for (const std::string& e : errors) s += e + "\n";
        return s;
    }
};

// Replays a stream as a viewer does. Interned names, categories and source locations and the
// packet defaults belong to a sequence and may be used only after a packet of that sequence
// cleared its incremental state; timestamps are converted to the trace clock. Malformed bytes
// throw DecodeError.
inline Trace check_stream(std::string_view stream) {
    // A sequence clock: trace time = base + value - at; an incremental one's timestamps add
    // to its value.
    struct Clock {
        bool incremental;
        uint64_t value, at, base;
    };
    struct Sequence {
        bool valid = false;
        std::optional<uint64_t> clock = {};  // the packets' default clock
        std::map<uint64_t, Clock> clocks = {};
        std::map<uint64_t, std::string> names = {}, categories = {};
        std::map<uint64_t, Location> locations = {};
        std::optional<uint64_t> default_track = {};
    };
    Trace t;
    t.packets = packets_of(stream);
    std::map<uint64_t, Sequence> sequences;
    for (size_t i = 0; i < t.packets.size(); ++i) {
        const Message& p = t.packets[i];
        auto error = [&](const std::string& what) {
            t.errors.push_back("packet " + std::to_string(i) + ": " + what);
        };
        p.allow({6, 8, 10, 11, 12, 13, 58, 59, 60});
        std::optional<uint64_t> ts = p.u64(8), seq_id = p.u64(10);
        if (!seq_id) {
            error("no sequence id");
            continue;
        }
        Sequence& seq = sequences[*seq_id];
        uint64_t flags = p.u64(13).value_or(0);
        if (flags & 1) seq = Sequence{.valid = true};
        if ((flags & 2) && !seq.valid) error("needs incremental state never cleared");
        if ((p.one(12, false) || p.one(59, false)) && !seq.valid)
            error("interned data or defaults before the state was cleared");

        if (std::optional<Message> interned = p.sub(12)) {
            interned->allow({1, 2, 4});
            for (uint32_t field : {1, 2}) {
                for (const Field* f : interned->all(field, false)) {
                    Message entry(f->bytes);
                    entry.allow({1, 2});
                    std::optional<uint64_t> iid = entry.u64(1);
                    std::optional<std::string> name = entry.str(2);
                    auto& table = field == 1 ? seq.categories : seq.names;
                    if (!iid || !name || !table.emplace(*iid, *name).second)
                        error("interned entry incomplete or its iid reused");
                    else if (field == 2)
                        t.names.push_back({*seq_id, *iid, *name});
                }
            }
            for (const Field* f : interned->all(4, false)) {
                Message entry(f->bytes);
                entry.allow({1, 2, 3, 4});
                std::optional<uint64_t> iid = entry.u64(1), line = entry.u64(4);
                Location where{entry.str(2).value_or(""), entry.str(3).value_or(""),
                               static_cast<uint32_t>(line.value_or(0))};
                if (!iid || !entry.str(2) || !entry.str(3) || !line || *line > UINT32_MAX ||
                    !seq.locations.emplace(*iid, where).second)
                    error("source location incomplete or its iid reused");
                else
                    t.names.push_back({*seq_id, *iid, "", where});
            }
        }
        if (std::optional<Message> defaults = p.sub(59)) {
            defaults->allow({11, 58});
            if (std::optional<Message> te = defaults->sub(11)) {
                te->allow({11});
                seq.default_track = te->u64(11);
            }
            seq.clock = defaults->u64(58);
        }

        // A snapshot ties the sequence's clocks (ids 64-127) to the trace clock (BOOTTIME, 6).
        // A viewer reads nothing else of its packet.
        if (std::optional<Message> snapshot = p.sub(6)) {
            snapshot->allow({1});
            if (p.one(11, false) || p.one(12, false) || p.one(60, false))
                error("a clock snapshot shares its packet");
            std::optional<uint64_t> base;
            std::map<uint64_t, Clock> clocks;
            for (const Field* f : snapshot->all(1, false)) {
                Message c(f->bytes);
                c.allow({1, 2, 3, 4});
                uint64_t id = c.u64(1).value_or(0), at = c.u64(2).value_or(0);
                if (c.u64(4).value_or(1) != 1) error("a clock unit other than 1 ns");
                if (id == 6)
                    base = at;
                else if (id >= 64 && id <= 127)
                    clocks[id] = Clock{c.u64(3).value_or(0) != 0, at, at, 0};
                else
                    error("clock " + std::to_string(id) + " in a snapshot");
            }
            if (!base) error("a clock snapshot without the trace clock");
            for (auto& [id, c] : clocks)
                seq.clocks[id] = Clock{c.incremental, c.value, c.at, *base};
            continue;
        }
        // Timestamps on a sequence clock become trace time; an incremental clock moves with
        // every packet stamped on it.
        std::optional<uint64_t> clock = p.u64(58) ? p.u64(58) : seq.clock;
        if (ts && clock && *clock >= 64 && *clock <= 127) {
            auto c = seq.clocks.find(*clock);
            if (c == seq.clocks.end()) {
                error("a timestamp on a sequence clock no snapshot defined");
            } else {
                c->second.value = c->second.incremental ? c->second.value + *ts : *ts;
                ts = c->second.base + c->second.value - c->second.at;
            }
        } else if (ts && clock && *clock != 6) {
            error("a timestamp on clock " + std::to_string(*clock));
        }

        if (std::optional<Message> d = p.sub(60)) {
            d->allow({1, 2, 3, 4, 5});
            std::optional<Message> process = d->sub(3), thread = d->sub(4);
            Track track{.uuid = d->u64(1).value_or(0),
                        .is_process = process.has_value(),
                        .parent_uuid = d->u64(5),
                        .name = d->str(2),
                        .sequence_id = *seq_id,
                        .descriptor_index = i};
            if (process) {
                process->allow({1, 2, 6});
                track.pid = process->i32(1).value_or(0);
                track.process_name = process->str(6);
                for (const Field* f : process->all(2, false)) track.cmdline.emplace_back(f->bytes);
            } else if (thread) {
                thread->allow({1, 2, 5});
                track.pid = thread->i32(1).value_or(0);
                track.tid = thread->i32(2).value_or(0);
                if (thread->str(5)) track.name = thread->str(5);
                auto parent = t.tracks.find(track.parent_uuid.value_or(0));
                if (parent == t.tracks.end() || !parent->second.is_process ||
                    parent->second.pid != track.pid)
                    error("thread track's parent is not its process's track");
            }
            if (!d->u64(1) || process.has_value() == thread.has_value())
                error("descriptor without a uuid, or not exactly one of process and thread");
            auto [known, added] = t.tracks.emplace(track.uuid, track);
            // A process may be described again, to name it anew; nothing else may.
            if (!added &&
                (!track.is_process || !known->second.is_process || known->second.pid != track.pid))
                error("uuid described twice");
            else if (!added) {
                known->second.name = track.name;
                known->second.process_name = track.process_name;
                known->second.cmdline = track.cmdline;
            }
        }

        if (std::optional<Message> e = p.sub(11)) {
            e->allow({3, 9, 10, 11, 22, 23, 34});
            std::optional<uint64_t> uuid = e->u64(11) ? e->u64(11) : seq.default_track;
            auto track = t.tracks.find(uuid.value_or(0));
            if (!uuid || track == t.tracks.end()) {
                error("event on an undescribed track");
                continue;
            }
            if (!ts) error("event without a timestamp");
            Slice s{ts.value_or(0), '?', e->str(23).value_or(""), {}};
            for (const Field* f : e->all(22, false)) s.categories.emplace_back(f->bytes);
            for (const Field* f : e->all(3, true)) {
                auto c = seq.categories.find(f->value);
                if (c == seq.categories.end())
                    error("category iid does not resolve");
                else
                    s.categories.push_back(c->second);
            }
            if (std::optional<uint64_t> iid = e->u64(10)) {
                auto n = seq.names.find(*iid);
                if (n == seq.names.end())
                    error("name iid " + std::to_string(*iid) + " does not resolve");
                else
                    s.name = n->second;
            }
            if (std::optional<uint64_t> iid = e->u64(34)) {
                auto l = seq.locations.find(*iid);
                if (l == seq.locations.end())
                    error("source location iid " + std::to_string(*iid) + " does not resolve");
                else
                    s.location = l->second;
                if (e->u64(9) != 1) error("a source location on other than a begin");
            }
            Track& tr = track->second;
            if (!tr.events.empty() && s.ts < tr.events.back().ts) error("time goes backwards");
            switch (e->u64(9).value_or(0)) {
                case 1:
                    if (!e->u64(10) && !e->str(23)) error("begin without a name");
                    s.phase = 'B';
                    tr.open.push_back(s.name);
                    break;
                case 2:
                    if (e->u64(10) || e->str(23) || !s.categories.empty())
                        error("end carries a name or category");
                    s.phase = 'E';
                    if (tr.open.empty()) {
                        error("end without an open slice");
                    } else {
                        s.name = tr.open.back();
                        tr.open.pop_back();
                    }
                    break;
                case 3:
                    s.phase = 'I';
                    break;
                default:
                    error("unknown event type");
            }
            tr.events.push_back(std::move(s));
        }
    }
    return t;
}

inline std::string hex(std::string_view bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

// Bytes from hex pairs and 'quoted text': bytes("12 04 'main'") is 12 04 6D 61 69 6E.
inline std::string bytes(std::string_view spec) {
    std::string out;
    for (size_t i = 0; i < spec.size(); ++i) {
        if (spec[i] == ' ') continue;
        if (spec[i] == '\'') {
            size_t end = spec.find('\'', i + 1);
            out += spec.substr(i + 1, end - i - 1);
            i = end;
        } else {
            out += static_cast<char>(std::stoi(std::string(spec.substr(i, 2)), nullptr, 16));
            ++i;
        }
    }
    return out;
}

}  // namespace vespra::pbtest
