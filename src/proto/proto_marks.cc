// The protobuf writer's packets for the program's own marks (core/marks.h): a span's begin and
// end are slices of the thread's track in the category "span", an instant is an instant event in
// the category "mark", arguments are debug annotations with interned names, and a counter's
// samples go to a counter track of the process, described when its first sample comes.
//
// These packets are rare next to function events, so they are encoded field by field rather
// than from cached tails.
#include <cstring>

#include "core/marks.h"
#include "proto/proto_exporter.h"

namespace vespra {
namespace {

using pb::TracePacket;

constexpr uint32_t CATEGORY_PY_IID = 1;  // interned with the sequence (proto_exporter.cc)
constexpr uint32_t CATEGORY_SPAN_IID = 2;
constexpr uint32_t CATEGORY_MARK_IID = 3;
// Counter tracks of a process: uuids in the upper half of its block, above its thread tracks.
constexpr uint64_t COUNTER_UUID_BASE = uint64_t{1} << 31;

void key(std::string& out, uint32_t field, pb::WireType wire) {
    pb::put_varint(out, pb::field_key(field, wire));
}

void varint_field(std::string& out, uint32_t field, uint64_t value) {
    key(out, field, pb::WIRE_VARINT);
    pb::put_varint(out, value);
}

void fixed64_field(std::string& out, uint32_t field, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    key(out, field, pb::WIRE_I64);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(bits >> (8 * i)));
}

void bytes_field(std::string& out, uint32_t field, std::string_view bytes) {
    key(out, field, pb::WIRE_LEN);
    pb::put_varint(out, bytes.size());
    out.append(bytes);
}

// DebugAnnotation of one argument. None has no place of its own in the schema: it is the string
// Python prints for it.
std::string annotation(uint64_t name_iid, const marks::Value& v) {
    std::string out;
    varint_field(out, pb::field::DA_NAME_IID, name_iid);
    switch (v.tag) {
        case marks::TAG_NONE:
            bytes_field(out, pb::field::DA_STRING, "None");
            break;
        case marks::TAG_FALSE:
        case marks::TAG_TRUE:
            varint_field(out, pb::field::DA_BOOL, v.tag == marks::TAG_TRUE);
            break;
        case marks::TAG_INT:
            varint_field(out, pb::field::DA_INT, static_cast<uint64_t>(v.i));
            break;
        case marks::TAG_UINT:
            varint_field(out, pb::field::DA_UINT, v.u);
            break;
        case marks::TAG_DOUBLE:
            fixed64_field(out, pb::field::DA_DOUBLE, v.d);
            break;
        case marks::TAG_STRING:
            bytes_field(out, pb::field::DA_STRING, v.text);
            break;
    }
    return out;
}

}  // namespace

Status ProtoExporter::mark_category(Sequence& seq, unsigned bit, uint64_t* iid) {
    *iid = bit == 0 ? CATEGORY_SPAN_IID : CATEGORY_MARK_IID;
    if (seq.mark_categories & (1u << bit)) return Status::success();
    TracePacket packet;
    packet.timestamp = 0;
    packet.trusted_packet_sequence_id = seq.sequence_id;
    packet.interned_data = pb::InternedData{
        {pb::EventCategory{*iid, std::string(bit == 0 ? pb::SPAN_CATEGORY : pb::MARK_CATEGORY)}},
        {},
        {}};
    packet.sequence_flags = TracePacket::SEQ_NEEDS_INCREMENTAL_STATE;
    if (Status st = write_packet(packet); !st.ok()) return st;
    seq.mark_categories |= static_cast<uint8_t>(1u << bit);
    return Status::success();
}

Status ProtoExporter::annotation_iid(Sequence& seq, uint32_t name, const CodeLookup& codes,
                                     uint64_t* iid) {
    if (auto it = seq.annotation_iids.find(name); it != seq.annotation_iids.end()) {
        *iid = it->second;
        return Status::success();
    }
    *iid = seq.annotation_iids.size() + 1;
    std::optional<CodeInfo> info = codes.code(name);
    std::string entry, interned, body;
    varint_field(entry, pb::field::INTERNED_IID, *iid);
    bytes_field(entry, pb::field::INTERNED_NAME, info ? info->name : pb::UNKNOWN_NAME);
    bytes_field(interned, pb::field::ID_DEBUG_ANNOTATION_NAMES, entry);
    varint_field(body, pb::field::TIMESTAMP, 0);
    varint_field(body, pb::field::SEQUENCE_ID, seq.sequence_id);
    bytes_field(body, pb::field::INTERNED_DATA, interned);
    varint_field(body, pb::field::SEQUENCE_FLAGS, TracePacket::SEQ_NEEDS_INCREMENTAL_STATE);
    write_raw_packet(body);
    seq.annotation_iids.emplace(name, *iid);
    return Status::success();
}

Status ProtoExporter::counter_track(uint32_t name, const CodeLookup& codes, uint32_t sequence_id,
                                    uint64_t* uuid) {
    if (auto it = counter_tracks_.find(name); it != counter_tracks_.end()) {
        *uuid = it->second;
        return Status::success();
    }
    if (Status st = ensure_process(); !st.ok()) return st;
    *uuid = process_uuid_ + COUNTER_UUID_BASE + counter_tracks_.size();
    std::optional<CodeInfo> info = codes.code(name);
    std::string desc, body;
    varint_field(desc, pb::field::TD_UUID, *uuid);
    bytes_field(desc, pb::field::TD_NAME, info ? info->name : pb::UNKNOWN_NAME);
    varint_field(desc, pb::field::TD_PARENT_UUID, process_uuid_);
    bytes_field(desc, pb::field::TD_COUNTER, "");  // CounterDescriptor: plain values
    varint_field(body, pb::field::TIMESTAMP, 0);
    varint_field(body, pb::field::SEQUENCE_ID, sequence_id);
    bytes_field(body, pb::field::TRACK_DESCRIPTOR, desc);
    write_raw_packet(body);
    counter_tracks_.emplace(name, *uuid);
    return Status::success();
}

Status ProtoExporter::write_mark(std::span<const Event> events, size_t at, const CodeLookup& codes,
                                 const ThreadNames& names, size_t* next) {
    const Event& e = events[at];
    uint8_t kind = kind_of(e.packed);
    uint32_t name = code_of(e.packed);
    marks::Payload payload = marks::gather(events, at);
    *next = payload.next;
    if (kind == KIND_PAYLOAD) return Status::success();  // a stray payload: nothing to write

    Sequence* seq;
    if (Status st = thread_sequence(e.tid, names, &seq); !st.ok()) return st;
    std::string& event = mark_scratch_;
    event.clear();
    marks::PayloadReader reader(payload.bytes);
    if (kind == KIND_COUNTER) {
        uint64_t uuid;
        if (Status st = counter_track(name, codes, seq->sequence_id, &uuid); !st.ok()) return st;
        marks::Value v;
        if (!reader.next_value(&v)) return Status::success();  // no value: nothing to plot
        varint_field(event, pb::field::TE_TYPE, pb::TrackEvent::TYPE_COUNTER);
        varint_field(event, pb::field::TE_TRACK_UUID, uuid);
        if (v.tag == marks::TAG_INT) {
            varint_field(event, pb::field::TE_COUNTER_VALUE, static_cast<uint64_t>(v.i));
        } else {
            fixed64_field(event, pb::field::TE_DOUBLE_COUNTER_VALUE, v.d);
        }
    } else {
        // Field by field in number order: categories, annotations, type, name. A begin that does
        // not start with its type is never taken for a function's by the reader's fast path. An
        // exception's end closes its function's slice, whose name and category its begin gave:
        // readers merge its annotation into that slice.
        // A call with its arguments is a function's begin: its category, name and location are
        // the function's.
        bool end = kind == KIND_SPAN_END || kind == KIND_EXCEPTION_END || kind == KIND_RETURN_VALUE;
        bool call = kind == KIND_CALL;
        if (call) {
            varint_field(event, pb::field::TE_CATEGORY_IIDS, CATEGORY_PY_IID);
        } else if (!end) {
            uint64_t category;
            if (Status st = mark_category(*seq, kind == KIND_SPAN_BEGIN ? 0 : 1, &category);
                !st.ok()) {
                return st;
            }
            varint_field(event, pb::field::TE_CATEGORY_IIDS, category);
        }
        marks::Arg arg;
        while (reader.next_arg(&arg)) {
            uint64_t iid;
            if (Status st = annotation_iid(*seq, arg.name, codes, &iid); !st.ok()) return st;
            bytes_field(event, pb::field::TE_DEBUG_ANNOTATIONS, annotation(iid, arg.value));
        }
        pb::TrackEvent::Type type = kind == KIND_SPAN_BEGIN || call ? pb::TrackEvent::TYPE_SLICE_BEGIN
                                    : end                           ? pb::TrackEvent::TYPE_SLICE_END
                                                                    : pb::TrackEvent::TYPE_INSTANT;
        varint_field(event, pb::field::TE_TYPE, type);
        if (!end) {
            uint64_t iid;
            if (Status st = name_iid(*seq, name, codes, &iid); !st.ok()) return st;
            varint_field(event, pb::field::TE_NAME_IID, iid);
            if (call) varint_field(event, pb::field::TE_SOURCE_LOCATION_IID, iid);
        }
    }
    std::string body;
    varint_field(body, pb::field::TIMESTAMP, e.ts);
    // Absolute, on the trace clock: on a sequence whose default clock is incremental, a bare
    // timestamp would be read as a delta and move that clock for every event after it.
    if (incremental_) {
        varint_field(body, pb::field::TIMESTAMP_CLOCK_ID, pb::BUILTIN_CLOCK_BOOTTIME);
    }
    varint_field(body, pb::field::SEQUENCE_ID, seq->sequence_id);
    bytes_field(body, pb::field::TRACK_EVENT, event);
    varint_field(body, pb::field::SEQUENCE_FLAGS, TracePacket::SEQ_NEEDS_INCREMENTAL_STATE);
    write_raw_packet(body);
    return Status::success();
}

}  // namespace vespra
