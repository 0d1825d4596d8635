#include "proto/proto_exporter.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

namespace vespra {
namespace {

using pb::TracePacket;

constexpr uint32_t CATEGORY_PY_IID = 1;

// Hand-encoded pieces of the event packets (see pb.h for the message layout).
constexpr uint8_t KEY_TIMESTAMP = pb::field_key(pb::field::TIMESTAMP, pb::WIRE_VARINT);      // 40
constexpr uint8_t KEY_SEQUENCE_ID = pb::field_key(pb::field::SEQUENCE_ID, pb::WIRE_VARINT);  // 50
constexpr uint8_t KEY_SEQUENCE_FLAGS =
    pb::field_key(pb::field::SEQUENCE_FLAGS, pb::WIRE_VARINT);                            // 68
constexpr uint8_t KEY_TRACK_EVENT = pb::field_key(pb::field::TRACK_EVENT, pb::WIRE_LEN);  // 5A
constexpr uint8_t KEY_TYPE = pb::field_key(pb::field::TE_TYPE, pb::WIRE_VARINT);          // 48
constexpr uint8_t KEY_CATEGORY_IIDS =
    pb::field_key(pb::field::TE_CATEGORY_IIDS, pb::WIRE_VARINT);                          // 18
constexpr uint8_t KEY_NAME_IID = pb::field_key(pb::field::TE_NAME_IID, pb::WIRE_VARINT);  // 50
// The one key of an event packet that takes two bytes (90 02).
constexpr uint64_t KEY_SOURCE_LOCATION_IID =
    pb::field_key(pb::field::TE_SOURCE_LOCATION_IID, pb::WIRE_VARINT);

// A thread's iids count its distinct codes, which are below 2^24: four varint bytes at most.
constexpr size_t MAX_IID_LEN = 4;
// Largest tail: header (1 + 5 + 2), track_event key and length (2), begin body (type 2,
// category 2, name 1 + iid, location 2 + iid).
constexpr size_t MAX_TAIL = 8 + 2 + 2 + 2 + 1 + MAX_IID_LEN + 2 + MAX_IID_LEN;
// Tails are copied as one fixed 32-byte block, which compiles to two vector moves instead of a
// call to memcpy (a third of the per-event instructions otherwise). The arena keeps 32 readable
// bytes after its last tail, and every event packet has 32 writable bytes for its tail; the
// bytes past the tail are overwritten by the next packet.
constexpr size_t TAIL_COPY = 32;
static_assert(MAX_TAIL <= TAIL_COPY);
// A timestamp written absolute on a sequence whose default clock is incremental names the
// trace's clock: D0 03 06.
constexpr uint64_t KEY_TIMESTAMP_CLOCK_ID =
    pb::field_key(pb::field::TIMESTAMP_CLOCK_ID, pb::WIRE_VARINT);
constexpr size_t TRACE_CLOCK_LEN = 3;
static_assert(pb::varint_size(KEY_TIMESTAMP_CLOCK_ID) == 2 && pb::BUILTIN_CLOCK_BOOTTIME < 0x80);
// Room for one event packet: 0A, length, timestamp key, ten-byte timestamp, its clock, tail
// block. The packet's own length is below 128 and takes one byte.
constexpr size_t MAX_EVENT_PACKET = 3 + pb::Varint::MAX_LEN + TRACE_CLOCK_LEN + TAIL_COPY;
static_assert(1 + pb::Varint::MAX_LEN + TRACE_CLOCK_LEN + MAX_TAIL < 0x80);

// A thread has one end tail and one begin tail per code id. Kinds outside the six we record are
// rendered as begins, except a function's event with values (an exception's end, a call's
// arguments, its return value): its even key has no tail, so it takes the marks' way.
uint64_t tail_key(uint32_t tid, uint32_t packed) {
    uint64_t base = uint64_t{tid} << 32;
    uint8_t kind = kind_of(packed);
    if (is_end(kind)) return base;
    return base + 2 * uint64_t{code_of(packed)} + (is_valued_function_kind(kind) ? 2 : 1);
}

// The bytes of the whole packets at the start of `data`: a walk over their frames.
size_t whole_packets(std::span<const uint8_t> data, bool* stop) {
    size_t done = 0;
    while (done < data.size()) {
        if (data[done] != pb::TRACE_PACKET_KEY) return *stop = true, done;
        uint64_t len = 0;
        size_t at = done + 1;
        for (unsigned shift = 0;; shift += 7) {
            if (at == data.size()) return done;
            if (shift > 63) return *stop = true, done;
            uint8_t b = data[at++];
            len |= uint64_t{b & 0x7Fu} << shift;
            if (b < 0x80) break;
        }
        if (len > data.size() - at) return done;
        done = at + len;
    }
    return done;
}

// The joiner's instant event on the process track; with nothing of the process kept, the
// track is described first.
std::string cut_short_packets(uint32_t pid, uint64_t kept, uint64_t lost) {
    uint64_t uuid = (uint64_t{pid} << 32) + 1;
    std::string out;
    auto frame = [&](const TracePacket& packet) {
        std::string body;
        packet.encode(body);
        out.push_back(static_cast<char>(pb::TRACE_PACKET_KEY));
        Varint len(body.size());
        out.append(reinterpret_cast<const char*>(len.as_slice().data()), len.len());
        out += body;
    };
    if (kept == 0) {
        pb::TrackDescriptor desc;
        desc.uuid = uuid;
        desc.process = pb::ProcessDescriptor{static_cast<int32_t>(pid), {}, std::nullopt};
        TracePacket packet;
        packet.timestamp = 0;
        packet.trusted_packet_sequence_id = pb::JOINER_SEQUENCE_ID;
        packet.data = std::move(desc);
        frame(packet);
    }
    pb::TrackEvent event;
    event.type = pb::TrackEvent::TYPE_INSTANT;
    event.track_uuid = uuid;
    event.categories = {"py", std::string(pb::CUT_SHORT_CATEGORY)};
    std::string name = std::string(pb::CUT_SHORT_NAME) + ": it ended without stopping its run";
    if (lost > 0) name += ", " + std::to_string(lost) + " bytes of a torn packet left out";
    event.name = std::move(name);
    TracePacket packet;
    packet.timestamp = 0;
    packet.trusted_packet_sequence_id = pb::JOINER_SEQUENCE_ID;
    packet.data = std::move(event);
    frame(packet);
    return out;
}

Result<uint64_t> complete_part(int fd) { return parts::complete_records(fd, whole_packets); }

}  // namespace

const parts::PartFormat PROTO_PARTS{"", false, complete_part, cut_short_packets};

// ---- TailMap ---------------------------------------------------------------------------------

ProtoExporter::TailMap::TailMap() {
    constexpr unsigned bits = 10;
    entries_.assign(size_t{1} << bits, Entry{EMPTY, {}});
    mask_ = entries_.size() - 1;
    shift_ = 64 - bits;
}

void ProtoExporter::TailMap::insert(uint64_t key, TailRef ref) {
    assert(key != EMPTY);
    if ((size_ + 1) * 2 > entries_.size()) grow();
    size_t i = slot(key);
    while (entries_[i].key != EMPTY && entries_[i].key != key) i = (i + 1) & mask_;
    if (entries_[i].key == EMPTY) ++size_;
    entries_[i] = Entry{key, ref};
}

void ProtoExporter::TailMap::grow() {
    std::vector<Entry> old = std::move(entries_);
    entries_.assign(old.size() * 2, Entry{EMPTY, {}});
    mask_ = entries_.size() - 1;
    --shift_;
    for (const Entry& e : old) {
        if (e.key == EMPTY) continue;
        size_t i = slot(e.key);
        while (entries_[i].key != EMPTY) i = (i + 1) & mask_;
        entries_[i] = e;
    }
}

// ---- ProtoExporter ---------------------------------------------------------------------------

ProtoExporter::ProtoExporter(SharedFile out)
    : ProtoExporter(std::move(out), static_cast<uint32_t>(getpid())) {}

ProtoExporter::ProtoExporter(SharedFile out, uint32_t pid)
    : out_(std::move(out)), process_uuid_((uint64_t{pid} << 32) + 1), pid_(pid) {
    scratch_.reserve(SCRATCH_RESERVE);
    tail_bytes_.reserve(TAIL_RESERVE);
    tail_bytes_.resize(TAIL_COPY);
}

Result<std::unique_ptr<ProtoExporter>> ProtoExporter::append(const std::string& path) {
    Result<SharedFile> file = SharedFile::open(path, /*truncate=*/false);
    if (!file) return file.error();
    return std::make_unique<ProtoExporter>(file.take());
}

void ProtoExporter::write_raw_packet(std::string_view body) {
    char frame[1 + pb::Varint::MAX_LEN];
    frame[0] = static_cast<char>(pb::TRACE_PACKET_KEY);
    Varint len(body.size());
    std::memcpy(frame + 1, len.as_slice().data(), len.len());
    out_.write(std::string_view(frame, 1 + len.len()));
    out_.write(body);
}

Status ProtoExporter::write_packet(const TracePacket& packet) {
    scratch_.clear();
    packet.encode(scratch_);
    write_raw_packet(scratch_);
    return Status::success();
}

Status ProtoExporter::ensure_process() {
    // Perfetto names a process after the last descriptor of its track, so a process named anew
    // after its first batch (a multiprocessing worker learns its name only after the fork that
    // started its run) is described again, once per change, with one load per batch to notice.
    uint64_t version = process_name::version();
    if (process_written_ && version == process_version_) return Status::success();
    process_written_ = true;
    ProcessName named = process_name::get(&process_version_);

    pb::TrackDescriptor desc;
    desc.uuid = process_uuid_;
    desc.name = named.name + ":" + std::to_string(pid_);
    desc.process =
        pb::ProcessDescriptor{static_cast<int32_t>(pid_), std::move(named.cmdline), named.name};

    TracePacket packet;
    packet.timestamp = 0;
    packet.trusted_packet_sequence_id = sequence_base_ * SEQUENCES_PER_PROCESS + 1;
    packet.data = std::move(desc);
    packet.sequence_flags = TracePacket::SEQ_INCREMENTAL_STATE_CLEARED;
    return write_packet(packet);
}

Status ProtoExporter::start_thread(uint32_t tid, const ThreadNames& names, Sequence** seq) {
    uint32_t k = static_cast<uint32_t>(sequences_.size());
    uint32_t sequence_id = sequence_base_ * SEQUENCES_PER_PROCESS + 2 + k;
    uint64_t track_uuid = process_uuid_ + 1 + k;

    pb::TrackDescriptor desc;
    desc.uuid = track_uuid;
    if (is_task_track(tid)) {
        // An asyncio task's track (see core/tasks.h): a track of the process, named after the
        // task, which Perfetto shows under the process beside its threads.
        desc.name = names.name(tid).value_or("asyncio task");
    } else {
        desc.thread = pb::ThreadDescriptor{static_cast<int32_t>(pid_), static_cast<int32_t>(tid),
                                           names.name(tid)};
    }
    desc.parent_uuid = process_uuid_;

    TracePacket packet;
    packet.timestamp = 0;
    // The packet names the sequence clock its successors default to; its own timestamp is on
    // the trace clock, whichever way a reader takes defaults that arrive with a packet.
    if (incremental_) packet.timestamp_clock_id = pb::BUILTIN_CLOCK_BOOTTIME;
    packet.trusted_packet_sequence_id = sequence_id;
    packet.data = std::move(desc);
    packet.interned_data = pb::InternedData{{pb::EventCategory{CATEGORY_PY_IID, "py"}}, {}, {}};
    packet.sequence_flags = TracePacket::SEQ_INCREMENTAL_STATE_CLEARED;
    packet.trace_packet_defaults =
        pb::TracePacketDefaults{pb::TrackEventDefaults{track_uuid}, std::nullopt};
    if (incremental_) packet.trace_packet_defaults->timestamp_clock_id = INCREMENTAL_CLOCK;
    if (Status st = write_packet(packet); !st.ok()) return st;
    if (incremental_) {
        // Its own packet: a viewer reads nothing else of a packet that holds a snapshot. Both
        // clocks read 0 at the trace's origin, so an incremental clock's value is the absolute
        // timestamp; and every sequence's snapshot names the same instant of the trace clock,
        // whose snapshots a viewer requires to be in order.
        TracePacket snapshot;
        snapshot.trusted_packet_sequence_id = sequence_id;
        snapshot.data = pb::ClockSnapshot{{pb::Clock{pb::BUILTIN_CLOCK_BOOTTIME, 0, {}, {}},
                                           pb::Clock{INCREMENTAL_CLOCK, 0, true, {}}}};
        if (Status st = write_packet(snapshot); !st.ok()) return st;
    }

    Sequence s;
    s.sequence_id = sequence_id;
    s.index = k;
    s.header.push_back(static_cast<char>(KEY_SEQUENCE_ID));
    pb::put_varint(s.header, sequence_id);
    s.header.push_back(static_cast<char>(KEY_SEQUENCE_FLAGS));
    s.header.push_back(static_cast<char>(TracePacket::SEQ_NEEDS_INCREMENTAL_STATE));
    *seq = &sequences_.emplace(tid, std::move(s)).first->second;
    last_ts_.push_back(0);
    return Status::success();
}

Status ProtoExporter::thread_sequence(uint32_t tid, const ThreadNames& names, Sequence** seq) {
    if (auto it = sequences_.find(tid); it != sequences_.end()) {
        *seq = &it->second;
        return Status::success();
    }
    return start_thread(tid, names, seq);
}

Status ProtoExporter::name_iid(Sequence& seq, uint32_t code, const CodeLookup& codes,
                               uint64_t* iid) {
    if (auto it = seq.name_iids.find(code); it != seq.name_iids.end()) {
        *iid = it->second;
        return Status::success();
    }
    // A function's name and its source location share the iid: one packet interns both. A mark
    // has no location.
    *iid = seq.name_iids.size() + 1;
    std::optional<CodeInfo> info = codes.code(code);
    if (!info) info = CodeInfo{std::string(pb::UNKNOWN_NAME), "", 0};
    TracePacket packet;
    packet.timestamp = 0;
    packet.trusted_packet_sequence_id = seq.sequence_id;
    packet.interned_data = pb::InternedData{{}, {pb::EventName{*iid, info->name}}, {}};
    if (!info->mark) {
        packet.interned_data->source_locations.push_back(
            pb::SourceLocation{*iid, info->file, info->name, info->line});
    }
    packet.sequence_flags = TracePacket::SEQ_NEEDS_INCREMENTAL_STATE;
    if (Status st = write_packet(packet); !st.ok()) return st;
    seq.name_iids.emplace(code, *iid);
    return Status::success();
}

Status ProtoExporter::cache_tail(const Event& event, uint64_t key, const CodeLookup& codes,
                                 const ThreadNames& names, TailRef* ref) {
    Sequence* seq;
    if (Status st = thread_sequence(event.tid, names, &seq); !st.ok()) return st;

    uint8_t body[MAX_TAIL];
    uint8_t* p = body;
    *p++ = KEY_TYPE;
    if (is_end(kind_of(event.packed))) {
        *p++ = pb::TrackEvent::TYPE_SLICE_END;
    } else {
        *p++ = pb::TrackEvent::TYPE_SLICE_BEGIN;
        uint64_t iid;
        if (Status st = name_iid(*seq, code_of(event.packed), codes, &iid); !st.ok()) return st;
        assert(pb::varint_size(iid) <= MAX_IID_LEN);
        *p++ = KEY_CATEGORY_IIDS;
        *p++ = CATEGORY_PY_IID;
        *p++ = KEY_NAME_IID;
        p = pb::write_varint(p, iid);
        p = pb::write_varint(p, KEY_SOURCE_LOCATION_IID);
        p = pb::write_varint(p, iid);
    }
    size_t body_len = static_cast<size_t>(p - body);

    tail_bytes_.resize(tail_bytes_.size() - TAIL_COPY);  // drop the copy padding
    size_t offset = tail_bytes_.size();
    tail_bytes_.insert(tail_bytes_.end(), seq->header.begin(), seq->header.end());
    tail_bytes_.push_back(KEY_TRACK_EVENT);
    tail_bytes_.push_back(static_cast<uint8_t>(body_len));  // below 128
    tail_bytes_.insert(tail_bytes_.end(), body, p);
    size_t len = tail_bytes_.size() - offset;
    assert(len <= MAX_TAIL && seq->index < (1u << 24));
    *ref = TailRef{static_cast<uint32_t>(offset), static_cast<uint32_t>(len), seq->index};
    tail_bytes_.resize(tail_bytes_.size() + TAIL_COPY);
    tails_.insert(key, *ref);
    return Status::success();
}

Status ProtoExporter::cache_tail_at(const Event& event, uint64_t key, const CodeLookup& codes,
                                    const ThreadNames& names, uint8_t*& p, size_t left,
                                    TailRef* ref) {
    out_.commit(reinterpret_cast<char*>(p));
    Status st = cache_tail(event, key, codes, names, ref);
    p = reinterpret_cast<uint8_t*>(out_.room(left * MAX_EVENT_PACKET));
    return st;
}

template <unsigned LEN, bool DELTAS>
Status ProtoExporter::encode_events(std::span<const Event> events, const CodeLookup& codes,
                                    const ThreadNames& names) {
    // Timestamps whose varint takes LEN bytes: [2^(7 (LEN - 1)), 2^(7 LEN)). LEN 0: none.
    constexpr uint64_t lowest = LEN == 0 ? 0 : uint64_t{1} << (7 * (LEN - 1));
    constexpr uint64_t width = LEN == 0 ? 0 : (uint64_t{1} << (7 * LEN)) - lowest;
    // Rendered in place at the end of the file's buffer, with room for every remaining event
    // packet, so the loop never checks capacity.
    uint8_t* p = reinterpret_cast<uint8_t*>(out_.room(events.size() * MAX_EVENT_PACKET));
    // The previous event's tail: runs of begins of one code (recursion) and of ends of one
    // thread are common, and a compare is cheaper than the map's probe.
    uint64_t last_key = ~uint64_t{0};  // no tail key has all bits set
    TailRef ref{};
    uint64_t* last = nullptr;  // with DELTAS: the value of the event's sequence clock
    for (size_t i = 0; i < events.size(); ++i) {
        const Event& event = events[i];
        uint64_t key = tail_key(event.tid, event.packed);
        if (key != last_key) {
            if (const TailRef* cached = tails_.find(key)) {
                ref = *cached;
            } else if (is_mark_kind(kind_of(event.packed))) [[unlikely]] {
                // A mark's key is that of a begin of its name's id, which no function has: no
                // tail is ever cached under it, so marks cost the function events nothing.
                out_.commit(reinterpret_cast<char*>(p));
                size_t next;
                if (Status st = write_mark(events, i, codes, names, &next); !st.ok()) return st;
                i = next - 1;
                last_key = ~uint64_t{0};
                p = reinterpret_cast<uint8_t*>(out_.room((events.size() - i) * MAX_EVENT_PACKET));
                continue;
            } else if (Status st =
                           cache_tail_at(event, key, codes, names, p, events.size() - i, &ref);
                       !st.ok()) {
                return st;
            }
            if constexpr (DELTAS) last = &last_ts_[ref.sequence];  // cache_tail may grow it
            last_key = key;
        }
        // 0A, packet length, 40, timestamp, tail. The length is filled in once the timestamp's
        // size is known; it always fits one byte.
        p[0] = pb::TRACE_PACKET_KEY;
        p[2] = KEY_TIMESTAMP;
        uint8_t* tail_at = p + 3;
        uint64_t ts = event.ts;
        if constexpr (DELTAS) {
            if (ts >= *last) [[likely]] {
                // Most calls are shorter than 16 us: one or two bytes.
                uint64_t delta = ts - *last;
                *last = ts;
                if (delta < 0x80) {
                    *tail_at++ = static_cast<uint8_t>(delta);
                } else if (delta < 0x4000) {
                    tail_at = pb::write_varint_of_len<2>(tail_at, delta);
                } else {
                    tail_at = pb::write_varint(tail_at, delta);
                }
            } else {
                tail_at = pb::write_varint(tail_at, ts);
                tail_at = pb::write_varint(tail_at, KEY_TIMESTAMP_CLOCK_ID);
                *tail_at++ = pb::BUILTIN_CLOCK_BOOTTIME;
            }
        } else if constexpr (LEN != 0) {
            if (ts - lowest < width) [[likely]]
                tail_at = pb::write_varint_of_len<LEN>(tail_at, ts);
            else
                tail_at = pb::write_varint(tail_at, ts);
        } else {
            tail_at = pb::write_varint(tail_at, ts);
        }
        p[1] = static_cast<uint8_t>(tail_at - (p + 2) + ref.len);
        std::memcpy(tail_at, tail_bytes_.data() + ref.offset, TAIL_COPY);
        p = tail_at + ref.len;
    }
    out_.commit(reinterpret_cast<char*>(p));
    return Status::success();
}

Status ProtoExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                  const ThreadNames& names) {
    if (Status st = ensure_process(); !st.ok()) return st;
    if (events.empty()) return out_.flush();

    Status st;
    if (incremental_) {
        st = encode_events<0, true>(events, codes, names);
    } else {
        // A batch's timestamps nearly always share one varint length (5 bytes from 0.27 s to
        // 34 s into the trace, 6 up to 73 minutes): those get an unrolled encoder of that length.
        switch (pb::Varint(events.front().ts).len()) {
            case 4:
                st = encode_events<4, false>(events, codes, names);
                break;
            case 5:
                st = encode_events<5, false>(events, codes, names);
                break;
            case 6:
                st = encode_events<6, false>(events, codes, names);
                break;
            default:
                st = encode_events<0, false>(events, codes, names);
                break;
        }
    }
    if (!st.ok()) return st;
    if (out_.pending_size() < FLUSH_AT) return Status::success();
    return out_.flush();
}

Status ProtoExporter::flush() { return out_.flush(); }

Status ProtoExporter::finish(const CodeLookup&, const ThreadNames&, const RunTotals& totals) {
    // A writer that wrote nothing stays silent; one that did gets a name given after its last
    // batch.
    if (process_written_) {
        if (Status st = ensure_process(); !st.ok()) return st;
    }
    // The run's own records: instant events on the process track, which readers recognise by
    // their category and the count in their name.
    auto record = [&](std::string_view category, std::string name) -> Status {
        if (Status st = ensure_process(); !st.ok()) return st;
        pb::TrackEvent event;
        event.type = pb::TrackEvent::TYPE_INSTANT;
        event.track_uuid = process_uuid_;
        event.categories = {"py", std::string(category)};
        event.name = std::move(name);
        TracePacket packet;
        packet.timestamp = 0;
        packet.trusted_packet_sequence_id = sequence_base_ * SEQUENCES_PER_PROCESS + 1;
        packet.data = std::move(event);
        return write_packet(packet);
    };
    if (totals.dropped > 0) {
        std::string name = std::string(pb::DROPPED_PREFIX) + std::to_string(totals.dropped) +
                           std::string(pb::DROPPED_SUFFIX);
        if (Status st = record(pb::DROPPED_CATEGORY, std::move(name)); !st.ok()) return st;
    }
    for (const LeftOutReason& reason : LEFT_OUT_REASONS) {
        uint64_t count = totals.left_out.*reason.count;
        if (count == 0) continue;
        std::string name = std::string(pb::DROPPED_PREFIX) + std::to_string(count) +
                           std::string(pb::LEFT_OUT_INFIX) + std::string(reason.name);
        if (Status st = record(pb::LEFT_OUT_CATEGORY, std::move(name)); !st.ok()) return st;
    }
    return out_.flush();
}

}  // namespace vespra
