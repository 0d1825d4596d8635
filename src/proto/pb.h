// The subset of Perfetto's trace protos that vespra writes, as plain structures, and the encoder
// that turns them into protobuf wire bytes.
//
// Field numbers, wire types and enum values are those of the published perfetto.protos schema.
// Every optional field is either present or absent: a present field is written even when its
// value is zero or empty, an absent one writes nothing. Within a message fields are written in
// the order they are declared here, which for TracePacket is not the order of the field numbers
// (a timestamp's clock follows the timestamp, the `data` choice comes right after the sequence
// id). Repeated scalars are never packed.
//
// This encoder serves the rare packets (descriptors, interned names, the dropped-events summary);
// the writer builds its per-event packets by hand from cached bytes that are a valid encoding of
// the same messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vespra::pb {

// ---- Varints ------------------------------------------------------------------------------

// Bytes taken by the varint of `value`: 1 below 128, 10 for values of 2^63 and above.
constexpr size_t varint_size(uint64_t value) {
    size_t n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

// Writes the varint of `value` at `out` (room for 10 bytes) and returns the byte after it.
inline uint8_t* write_varint(uint8_t* out, uint64_t value) {
    while (value >= 0x80) {
        *out++ = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    *out++ = static_cast<uint8_t>(value);
    return out;
}

// The same for a `value` whose varint takes exactly LEN bytes, unrolled: the loop above costs
// twice the instructions. The writer's timestamps of a batch nearly always share one length.
template <unsigned LEN>
inline uint8_t* write_varint_of_len(uint8_t* out, uint64_t value) {
    for (unsigned i = 0; i + 1 < LEN; ++i) out[i] = static_cast<uint8_t>(value >> (7 * i)) | 0x80;
    out[LEN - 1] = static_cast<uint8_t>(value >> (7 * (LEN - 1)));
    return out + LEN;
}

// One encoded varint held by value: groups of 7 bits, least significant first, the high bit set
// on every byte but the last.
class Varint {
  public:
    static constexpr size_t MAX_LEN = 10;

    explicit Varint(uint64_t value)
        : len_(static_cast<uint8_t>(write_varint(bytes_, value) - bytes_)) {}

    size_t len() const { return len_; }
    std::string_view as_slice() const { return {reinterpret_cast<const char*>(bytes_), len_}; }

  private:
    uint8_t bytes_[MAX_LEN];
    uint8_t len_;
};

// Appends the varint of `value` to `out`.
void put_varint(std::string& out, uint64_t value);

// ---- Field numbers and wire types ----------------------------------------------------------
// The one copy of the schema's numbers: the encoder below, the writer's hand-encoded event
// packets and the trace reader all take them from here.

enum WireType : uint32_t { WIRE_VARINT = 0, WIRE_I64 = 1, WIRE_LEN = 2, WIRE_I32 = 5 };

// The key of a field as written on the wire (before its varint encoding).
constexpr uint64_t field_key(uint32_t field, WireType wire) {
    return (uint64_t{field} << 3) | wire;
}

namespace field {
// Trace
inline constexpr uint32_t TRACE_PACKET = 1;
// TracePacket
inline constexpr uint32_t CLOCK_SNAPSHOT = 6, TIMESTAMP = 8, SEQUENCE_ID = 10, TRACK_EVENT = 11,
                          INTERNED_DATA = 12, SEQUENCE_FLAGS = 13, TIMESTAMP_CLOCK_ID = 58,
                          DEFAULTS = 59, TRACK_DESCRIPTOR = 60;
// ClockSnapshot
inline constexpr uint32_t CS_CLOCKS = 1;
// ClockSnapshot.Clock
inline constexpr uint32_t CLK_CLOCK_ID = 1, CLK_TIMESTAMP = 2, CLK_IS_INCREMENTAL = 3,
                          CLK_UNIT_MULTIPLIER_NS = 4;
// TrackEvent
inline constexpr uint32_t TE_CATEGORY_IIDS = 3, TE_DEBUG_ANNOTATIONS = 4, TE_TYPE = 9,
                          TE_NAME_IID = 10, TE_TRACK_UUID = 11, TE_CATEGORIES = 22, TE_NAME = 23,
                          TE_COUNTER_VALUE = 30, TE_SOURCE_LOCATION_IID = 34,
                          TE_DOUBLE_COUNTER_VALUE = 44;
// DebugAnnotation
inline constexpr uint32_t DA_NAME_IID = 1, DA_BOOL = 2, DA_UINT = 3, DA_INT = 4, DA_DOUBLE = 5,
                          DA_STRING = 6, DA_NAME = 10;
// TrackDescriptor
inline constexpr uint32_t TD_UUID = 1, TD_NAME = 2, TD_PROCESS = 3, TD_THREAD = 4,
                          TD_PARENT_UUID = 5, TD_COUNTER = 8;
// ProcessDescriptor
inline constexpr uint32_t PD_PID = 1, PD_CMDLINE = 2, PD_PROCESS_NAME = 6;
// ThreadDescriptor
inline constexpr uint32_t THD_PID = 1, THD_TID = 2, THD_THREAD_NAME = 5;
// InternedData
inline constexpr uint32_t ID_EVENT_CATEGORIES = 1, ID_EVENT_NAMES = 2,
                          ID_DEBUG_ANNOTATION_NAMES = 3, ID_SOURCE_LOCATIONS = 4;
// EventCategory and EventName
inline constexpr uint32_t INTERNED_IID = 1, INTERNED_NAME = 2;
// SourceLocation
inline constexpr uint32_t SL_IID = 1, SL_FILE_NAME = 2, SL_FUNCTION_NAME = 3, SL_LINE_NUMBER = 4;
// TracePacketDefaults
inline constexpr uint32_t TPD_TRACK_EVENT_DEFAULTS = 11, TPD_TIMESTAMP_CLOCK_ID = 58;
// TrackEventDefaults
inline constexpr uint32_t TED_TRACK_UUID = 11;
}  // namespace field

// Clock ids. A packet that names no clock is on the trace's clock, BOOTTIME; ids from 64 to 127
// belong to the packet sequence that defines them with a clock snapshot.
inline constexpr uint32_t BUILTIN_CLOCK_BOOTTIME = 6;
inline constexpr uint32_t FIRST_SEQUENCE_CLOCK = 64, LAST_SEQUENCE_CLOCK = 127;

// Texts of the writer's own records that readers recognise: the name of a code the lookup does
// not know, and the instant event "vespra: N events dropped" in the category "dropped".
inline constexpr std::string_view UNKNOWN_NAME = "<unknown>";
inline constexpr std::string_view DROPPED_PREFIX = "vespra: ";
inline constexpr std::string_view DROPPED_SUFFIX = " events dropped";
inline constexpr std::string_view DROPPED_CATEGORY = "dropped";
// Categories of the program's own marks: spans, and instants.
inline constexpr std::string_view SPAN_CATEGORY = "span";
inline constexpr std::string_view MARK_CATEGORY = "mark";
// The instant event "vespra: N events left out by REASON" in the category "left_out", one per
// option of the tracer that left events out (REASON names the option).
inline constexpr std::string_view LEFT_OUT_INFIX = " events left out by ";
inline constexpr std::string_view LEFT_OUT_CATEGORY = "left_out";
// The instant event "vespra: process cut short ..." in the category "cut_short", on the track of
// a process that ended without stopping its run (killed), which the joiner of the trace's parts
// writes after the process's last complete packet. It comes on a sequence of its own, which no
// writer's sequence (process id times 128 plus a small index) reaches.
inline constexpr std::string_view CUT_SHORT_CATEGORY = "cut_short";
inline constexpr std::string_view CUT_SHORT_NAME = "vespra: process cut short";
inline constexpr uint32_t JOINER_SEQUENCE_ID = 0xFFFFFFF0u;

// ---- Messages -------------------------------------------------------------------------------
// Each message has encoded_len(), the size of its body, and encode(), which appends the body to
// a growable buffer. A nested message is written as key, varint of its encoded_len(), body.

struct EventCategory {
    std::optional<uint64_t> iid;      // 1, varint
    std::optional<std::string> name;  // 2, length-delimited

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

struct EventName {
    std::optional<uint64_t> iid;      // 1
    std::optional<std::string> name;  // 2

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

// Where a function is defined; a viewer shows it as the slice arguments source.file_name,
// source.function_name and source.line_number.
struct SourceLocation {
    std::optional<uint64_t> iid;               // 1
    std::optional<std::string> file_name;      // 2
    std::optional<std::string> function_name;  // 3
    std::optional<uint32_t> line_number;       // 4

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

struct InternedData {
    std::vector<EventCategory> event_categories;  // 1, repeated
    std::vector<EventName> event_names;           // 2, repeated
    std::vector<SourceLocation> source_locations;  // 4, repeated

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

struct TrackEventDefaults {
    std::optional<uint64_t> track_uuid;  // 11

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

struct TracePacketDefaults {
    std::optional<TrackEventDefaults> track_event_defaults;  // 11
    std::optional<uint32_t> timestamp_clock_id;              // 58

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

// pid and tid are int32 on the wire: negative values are sign-extended to ten bytes.
struct ProcessDescriptor {
    std::optional<int32_t> pid;               // 1
    std::vector<std::string> cmdline;         // 2, repeated
    std::optional<std::string> process_name;  // 6

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

struct ThreadDescriptor {
    std::optional<int32_t> pid;              // 1
    std::optional<int32_t> tid;              // 2
    std::optional<std::string> thread_name;  // 5

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

struct TrackDescriptor {
    std::optional<uint64_t> uuid;              // 1
    std::optional<std::string> name;           // 2
    std::optional<ProcessDescriptor> process;  // 3
    std::optional<ThreadDescriptor> thread;    // 4
    std::optional<uint64_t> parent_uuid;       // 5

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

struct TrackEvent {
    enum Type : int32_t {
        TYPE_SLICE_BEGIN = 1,
        TYPE_SLICE_END = 2,
        TYPE_INSTANT = 3,
        TYPE_COUNTER = 4,
    };

    std::vector<uint64_t> category_iids;  // 3, repeated, unpacked
    std::optional<Type> type;             // 9
    std::optional<uint64_t> name_iid;     // 10
    std::optional<uint64_t> track_uuid;   // 11
    std::vector<std::string> categories;  // 22, repeated
    std::optional<std::string> name;      // 23

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

// Ties clocks together: each clock's reading at one instant. An incremental clock's later
// timestamps are deltas from its previous value on the sequence.
struct Clock {
    std::optional<uint32_t> clock_id;            // 1
    std::optional<uint64_t> timestamp;           // 2
    std::optional<bool> is_incremental;          // 3
    std::optional<uint64_t> unit_multiplier_ns;  // 4

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

struct ClockSnapshot {
    std::vector<Clock> clocks;  // 1, repeated

    size_t encoded_len() const;
    void encode(std::string& out) const;
};

namespace trace_packet {
// A packet carries a track event, a track descriptor, a clock snapshot, or none of them.
using Data = std::variant<std::monostate, TrackEvent, TrackDescriptor, ClockSnapshot>;
}  // namespace trace_packet

struct TracePacket {
    enum SequenceFlags : uint32_t {
        SEQ_INCREMENTAL_STATE_CLEARED = 1,
        SEQ_NEEDS_INCREMENTAL_STATE = 2,
    };

    std::optional<uint64_t> timestamp;                         // 8
    std::optional<uint32_t> timestamp_clock_id;                // 58
    std::optional<uint32_t> trusted_packet_sequence_id;        // 10
    trace_packet::Data data;                                   // 11, 60 or 6
    std::optional<InternedData> interned_data;                 // 12
    std::optional<uint32_t> sequence_flags;                    // 13
    std::optional<TracePacketDefaults> trace_packet_defaults;  // 59

    size_t encoded_len() const;
    // Appends the packet's fields (without the stream framing) to `out`.
    void encode(std::string& out) const;
};

// Key of Trace.packet: every packet in the file is framed as 0A, varint length, packet bytes.
inline constexpr uint8_t TRACE_PACKET_KEY = field_key(field::TRACE_PACKET, WIRE_LEN);

}  // namespace vespra::pb
