#include "proto/pb.h"

namespace vespra::pb {
namespace {

constexpr uint64_t key(uint32_t f, WireType wire) { return field_key(f, wire); }

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

namespace tp {
using namespace field;
}
namespace te {
constexpr uint32_t CATEGORY_IIDS = field::TE_CATEGORY_IIDS, TYPE = field::TE_TYPE,
                   NAME_IID = field::TE_NAME_IID, TRACK_UUID = field::TE_TRACK_UUID,
                   CATEGORIES = field::TE_CATEGORIES, NAME = field::TE_NAME;
}
namespace td {
constexpr uint32_t UUID = field::TD_UUID, NAME = field::TD_NAME, PROCESS = field::TD_PROCESS,
                   THREAD = field::TD_THREAD, PARENT_UUID = field::TD_PARENT_UUID;
}

// EventCategory and EventName share their layout.
template <class M>
size_t interned_string_len(const M& m) {
    size_t n = 0;
    if (m.iid) n += varint_field_len(field::INTERNED_IID, *m.iid);
    if (m.name) n += bytes_field_len(field::INTERNED_NAME, m.name->size());
    return n;
}

template <class M>
void encode_interned_string(const M& m, std::string& out) {
    if (m.iid) put_varint_field(out, field::INTERNED_IID, *m.iid);
    if (m.name) put_string_field(out, field::INTERNED_NAME, *m.name);
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

size_t SourceLocation::encoded_len() const {
    size_t n = 0;
    if (iid) n += varint_field_len(field::SL_IID, *iid);
    if (file_name) n += bytes_field_len(field::SL_FILE_NAME, file_name->size());
    if (function_name) n += bytes_field_len(field::SL_FUNCTION_NAME, function_name->size());
    if (line_number) n += varint_field_len(field::SL_LINE_NUMBER, *line_number);
    return n;
}

void SourceLocation::encode(std::string& out) const {
    if (iid) put_varint_field(out, field::SL_IID, *iid);
    if (file_name) put_string_field(out, field::SL_FILE_NAME, *file_name);
    if (function_name) put_string_field(out, field::SL_FUNCTION_NAME, *function_name);
    if (line_number) put_varint_field(out, field::SL_LINE_NUMBER, *line_number);
}

size_t InternedData::encoded_len() const {
    size_t n = 0;
    for (const auto& c : event_categories) n += message_field_len(field::ID_EVENT_CATEGORIES, c);
    for (const auto& e : event_names) n += message_field_len(field::ID_EVENT_NAMES, e);
    for (const auto& l : source_locations) n += message_field_len(field::ID_SOURCE_LOCATIONS, l);
    return n;
}

void InternedData::encode(std::string& out) const {
    for (const auto& c : event_categories) put_message_field(out, field::ID_EVENT_CATEGORIES, c);
    for (const auto& e : event_names) put_message_field(out, field::ID_EVENT_NAMES, e);
    for (const auto& l : source_locations) put_message_field(out, field::ID_SOURCE_LOCATIONS, l);
}

size_t TrackEventDefaults::encoded_len() const {
    return track_uuid ? varint_field_len(field::TED_TRACK_UUID, *track_uuid) : 0;
}

void TrackEventDefaults::encode(std::string& out) const {
    if (track_uuid) put_varint_field(out, field::TED_TRACK_UUID, *track_uuid);
}

size_t TracePacketDefaults::encoded_len() const {
    size_t n = 0;
    if (track_event_defaults) {
        n += message_field_len(field::TPD_TRACK_EVENT_DEFAULTS, *track_event_defaults);
    }
    if (timestamp_clock_id)
        n += varint_field_len(field::TPD_TIMESTAMP_CLOCK_ID, *timestamp_clock_id);
    return n;
}

void TracePacketDefaults::encode(std::string& out) const {
    if (track_event_defaults)
        put_message_field(out, field::TPD_TRACK_EVENT_DEFAULTS, *track_event_defaults);
    if (timestamp_clock_id)
        put_varint_field(out, field::TPD_TIMESTAMP_CLOCK_ID, *timestamp_clock_id);
}

size_t Clock::encoded_len() const {
    size_t n = 0;
    if (clock_id) n += varint_field_len(field::CLK_CLOCK_ID, *clock_id);
    if (timestamp) n += varint_field_len(field::CLK_TIMESTAMP, *timestamp);
    if (is_incremental) n += varint_field_len(field::CLK_IS_INCREMENTAL, *is_incremental);
    if (unit_multiplier_ns)
        n += varint_field_len(field::CLK_UNIT_MULTIPLIER_NS, *unit_multiplier_ns);
    return n;
}

void Clock::encode(std::string& out) const {
    if (clock_id) put_varint_field(out, field::CLK_CLOCK_ID, *clock_id);
    if (timestamp) put_varint_field(out, field::CLK_TIMESTAMP, *timestamp);
    if (is_incremental) put_varint_field(out, field::CLK_IS_INCREMENTAL, *is_incremental);
    if (unit_multiplier_ns)
        put_varint_field(out, field::CLK_UNIT_MULTIPLIER_NS, *unit_multiplier_ns);
}

size_t ClockSnapshot::encoded_len() const {
    size_t n = 0;
    for (const Clock& c : clocks) n += message_field_len(field::CS_CLOCKS, c);
    return n;
}

void ClockSnapshot::encode(std::string& out) const {
    for (const Clock& c : clocks) put_message_field(out, field::CS_CLOCKS, c);
}

size_t ProcessDescriptor::encoded_len() const {
    size_t n = 0;
    if (pid) n += varint_field_len(field::PD_PID, int32_bits(*pid));
    for (const std::string& word : cmdline) n += bytes_field_len(field::PD_CMDLINE, word.size());
    if (process_name) n += bytes_field_len(field::PD_PROCESS_NAME, process_name->size());
    return n;
}

void ProcessDescriptor::encode(std::string& out) const {
    if (pid) put_varint_field(out, field::PD_PID, int32_bits(*pid));
    for (const std::string& word : cmdline) put_string_field(out, field::PD_CMDLINE, word);
    if (process_name) put_string_field(out, field::PD_PROCESS_NAME, *process_name);
}

size_t ThreadDescriptor::encoded_len() const {
    size_t n = 0;
    if (pid) n += varint_field_len(field::THD_PID, int32_bits(*pid));
    if (tid) n += varint_field_len(field::THD_TID, int32_bits(*tid));
    if (thread_name) n += bytes_field_len(field::THD_THREAD_NAME, thread_name->size());
    return n;
}

void ThreadDescriptor::encode(std::string& out) const {
    if (pid) put_varint_field(out, field::THD_PID, int32_bits(*pid));
    if (tid) put_varint_field(out, field::THD_TID, int32_bits(*tid));
    if (thread_name) put_string_field(out, field::THD_THREAD_NAME, *thread_name);
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
    if (timestamp_clock_id) n += varint_field_len(tp::TIMESTAMP_CLOCK_ID, *timestamp_clock_id);
    if (trusted_packet_sequence_id) {
        n += varint_field_len(tp::SEQUENCE_ID, *trusted_packet_sequence_id);
    }
    if (const auto* ev = std::get_if<TrackEvent>(&data)) {
        n += message_field_len(tp::TRACK_EVENT, *ev);
    } else if (const auto* desc = std::get_if<TrackDescriptor>(&data)) {
        n += message_field_len(tp::TRACK_DESCRIPTOR, *desc);
    } else if (const auto* clocks = std::get_if<ClockSnapshot>(&data)) {
        n += message_field_len(tp::CLOCK_SNAPSHOT, *clocks);
    }
    if (interned_data) n += message_field_len(tp::INTERNED_DATA, *interned_data);
    if (sequence_flags) n += varint_field_len(tp::SEQUENCE_FLAGS, *sequence_flags);
    if (trace_packet_defaults) n += message_field_len(tp::DEFAULTS, *trace_packet_defaults);
    return n;
}

void TracePacket::encode(std::string& out) const {
    if (timestamp) put_varint_field(out, tp::TIMESTAMP, *timestamp);
    if (timestamp_clock_id) put_varint_field(out, tp::TIMESTAMP_CLOCK_ID, *timestamp_clock_id);
    if (trusted_packet_sequence_id) {
        put_varint_field(out, tp::SEQUENCE_ID, *trusted_packet_sequence_id);
    }
    if (const auto* ev = std::get_if<TrackEvent>(&data)) {
        put_message_field(out, tp::TRACK_EVENT, *ev);
    } else if (const auto* desc = std::get_if<TrackDescriptor>(&data)) {
        put_message_field(out, tp::TRACK_DESCRIPTOR, *desc);
    } else if (const auto* clocks = std::get_if<ClockSnapshot>(&data)) {
        put_message_field(out, tp::CLOCK_SNAPSHOT, *clocks);
    }
    if (interned_data) put_message_field(out, tp::INTERNED_DATA, *interned_data);
    if (sequence_flags) put_varint_field(out, tp::SEQUENCE_FLAGS, *sequence_flags);
    if (trace_packet_defaults) put_message_field(out, tp::DEFAULTS, *trace_packet_defaults);
}

}  // namespace vespra::pb
