#include "proto/pb.h"

namespace vespra::pb {
namespace {

constexpr uint32_t WIRE_VARINT = 0;
constexpr uint32_t WIRE_LEN = 2;

constexpr uint64_t key(uint32_t field, uint32_t wire) { return (uint64_t{field} << 3) | wire; }

// int32 fields are sign-extended to 64 bits before varint encoding, as protobuf prescribes, so
// that a reader of any integer width gets the same value back.
constexpr uint64_t int32_bits(int32_t v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); }

size_t varint_field_len(uint32_t field, uint64_t value) {
    return varint_size(key(field, WIRE_VARINT)) + varint_size(value);
}

size_t bytes_field_len(uint32_t field, size_t n) {
    return varint_size(key(field, WIRE_LEN)) + varint_size(n) + n;
}

template <class M>
size_t message_field_len(uint32_t field, const M& m) {
    return bytes_field_len(field, m.encoded_len());
}

void put_varint_field(std::string& out, uint32_t field, uint64_t value) {
    put_varint(out, key(field, WIRE_VARINT));
    put_varint(out, value);
}

void put_string_field(std::string& out, uint32_t field, std::string_view s) {
    put_varint(out, key(field, WIRE_LEN));
    put_varint(out, s.size());
    out.append(s);
}

// The body's length is computed before the body is written: the nested message goes out in one
// pass, with no back-patching of a reserved length.
template <class M>
void put_message_field(std::string& out, uint32_t field, const M& m) {
    put_varint(out, key(field, WIRE_LEN));
    put_varint(out, m.encoded_len());
    m.encode(out);
}

// Field numbers.
namespace tp {
constexpr uint32_t TIMESTAMP = 8, SEQUENCE_ID = 10, TRACK_EVENT = 11, INTERNED_DATA = 12,
                   SEQUENCE_FLAGS = 13, DEFAULTS = 59, TRACK_DESCRIPTOR = 60;
}
namespace te {
constexpr uint32_t CATEGORY_IIDS = 3, TYPE = 9, NAME_IID = 10, TRACK_UUID = 11, CATEGORIES = 22,
                   NAME = 23;
}
namespace td {
constexpr uint32_t UUID = 1, NAME = 2, PROCESS = 3, THREAD = 4, PARENT_UUID = 5;
}

// EventCategory and EventName share their layout.
template <class M>
size_t interned_string_len(const M& m) {
    size_t n = 0;
    if (m.iid) n += varint_field_len(1, *m.iid);
    if (m.name) n += bytes_field_len(2, m.name->size());
    return n;
}

template <class M>
void encode_interned_string(const M& m, std::string& out) {
    if (m.iid) put_varint_field(out, 1, *m.iid);
    if (m.name) put_string_field(out, 2, *m.name);
}

}  // namespace

void put_varint(std::string& out, uint64_t value) {
    Varint v(value);
    out.append(v.as_slice());
}

size_t EventCategory::encoded_len() const { return interned_string_len(*this); }
void EventCategory::encode(std::string& out) const { encode_interned_string(*this, out); }
size_t EventName::encoded_len() const { return interned_string_len(*this); }
void EventName::encode(std::string& out) const { encode_interned_string(*this, out); }

size_t InternedData::encoded_len() const {
    size_t n = 0;
    for (const auto& c : event_categories) n += message_field_len(1, c);
    for (const auto& e : event_names) n += message_field_len(2, e);
    return n;
}

void InternedData::encode(std::string& out) const {
    for (const auto& c : event_categories) put_message_field(out, 1, c);
    for (const auto& e : event_names) put_message_field(out, 2, e);
}

size_t TrackEventDefaults::encoded_len() const {
    return track_uuid ? varint_field_len(11, *track_uuid) : 0;
}

void TrackEventDefaults::encode(std::string& out) const {
    if (track_uuid) put_varint_field(out, 11, *track_uuid);
}

size_t TracePacketDefaults::encoded_len() const {
    return track_event_defaults ? message_field_len(11, *track_event_defaults) : 0;
}

void TracePacketDefaults::encode(std::string& out) const {
    if (track_event_defaults) put_message_field(out, 11, *track_event_defaults);
}

size_t ProcessDescriptor::encoded_len() const {
    size_t n = 0;
    if (pid) n += varint_field_len(1, int32_bits(*pid));
    if (process_name) n += bytes_field_len(6, process_name->size());
    return n;
}

void ProcessDescriptor::encode(std::string& out) const {
    if (pid) put_varint_field(out, 1, int32_bits(*pid));
    if (process_name) put_string_field(out, 6, *process_name);
}

size_t ThreadDescriptor::encoded_len() const {
    size_t n = 0;
    if (pid) n += varint_field_len(1, int32_bits(*pid));
    if (tid) n += varint_field_len(2, int32_bits(*tid));
    if (thread_name) n += bytes_field_len(5, thread_name->size());
    return n;
}

void ThreadDescriptor::encode(std::string& out) const {
    if (pid) put_varint_field(out, 1, int32_bits(*pid));
    if (tid) put_varint_field(out, 2, int32_bits(*tid));
    if (thread_name) put_string_field(out, 5, *thread_name);
}

size_t TrackDescriptor::encoded_len() const {
    size_t n = 0;
    if (uuid) n += varint_field_len(td::UUID, *uuid);
    if (name) n += bytes_field_len(td::NAME, name->size());
    if (process) n += message_field_len(td::PROCESS, *process);
    if (thread) n += message_field_len(td::THREAD, *thread);
    if (parent_uuid) n += varint_field_len(td::PARENT_UUID, *parent_uuid);
    return n;
}

void TrackDescriptor::encode(std::string& out) const {
    if (uuid) put_varint_field(out, td::UUID, *uuid);
    if (name) put_string_field(out, td::NAME, *name);
    if (process) put_message_field(out, td::PROCESS, *process);
    if (thread) put_message_field(out, td::THREAD, *thread);
    if (parent_uuid) put_varint_field(out, td::PARENT_UUID, *parent_uuid);
}

size_t TrackEvent::encoded_len() const {
    size_t n = 0;
    for (uint64_t iid : category_iids) n += varint_field_len(te::CATEGORY_IIDS, iid);
    if (type) n += varint_field_len(te::TYPE, int32_bits(*type));
    if (name_iid) n += varint_field_len(te::NAME_IID, *name_iid);
    if (track_uuid) n += varint_field_len(te::TRACK_UUID, *track_uuid);
    for (const auto& c : categories) n += bytes_field_len(te::CATEGORIES, c.size());
    if (name) n += bytes_field_len(te::NAME, name->size());
    return n;
}

void TrackEvent::encode(std::string& out) const {
    for (uint64_t iid : category_iids) put_varint_field(out, te::CATEGORY_IIDS, iid);
    if (type) put_varint_field(out, te::TYPE, int32_bits(*type));
    if (name_iid) put_varint_field(out, te::NAME_IID, *name_iid);
    if (track_uuid) put_varint_field(out, te::TRACK_UUID, *track_uuid);
    for (const auto& c : categories) put_string_field(out, te::CATEGORIES, c);
    if (name) put_string_field(out, te::NAME, *name);
}

size_t TracePacket::encoded_len() const {
    size_t n = 0;
    if (timestamp) n += varint_field_len(tp::TIMESTAMP, *timestamp);
    if (trusted_packet_sequence_id) {
        n += varint_field_len(tp::SEQUENCE_ID, *trusted_packet_sequence_id);
    }
    if (const auto* ev = std::get_if<TrackEvent>(&data)) {
        n += message_field_len(tp::TRACK_EVENT, *ev);
    } else if (const auto* desc = std::get_if<TrackDescriptor>(&data)) {
        n += message_field_len(tp::TRACK_DESCRIPTOR, *desc);
    }
    if (interned_data) n += message_field_len(tp::INTERNED_DATA, *interned_data);
    if (sequence_flags) n += varint_field_len(tp::SEQUENCE_FLAGS, *sequence_flags);
    if (trace_packet_defaults) n += message_field_len(tp::DEFAULTS, *trace_packet_defaults);
    return n;
}

void TracePacket::encode(std::string& out) const {
    if (timestamp) put_varint_field(out, tp::TIMESTAMP, *timestamp);
    if (trusted_packet_sequence_id) {
        put_varint_field(out, tp::SEQUENCE_ID, *trusted_packet_sequence_id);
    }
    if (const auto* ev = std::get_if<TrackEvent>(&data)) {
        put_message_field(out, tp::TRACK_EVENT, *ev);
    } else if (const auto* desc = std::get_if<TrackDescriptor>(&data)) {
        put_message_field(out, tp::TRACK_DESCRIPTOR, *desc);
    }
    if (interned_data) put_message_field(out, tp::INTERNED_DATA, *interned_data);
    if (sequence_flags) put_varint_field(out, tp::SEQUENCE_FLAGS, *sequence_flags);
    if (trace_packet_defaults) put_message_field(out, tp::DEFAULTS, *trace_packet_defaults);
}

}  // namespace vespra::pb
