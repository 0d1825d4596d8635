// ProtoReader: reads a Perfetto packet stream as ProtoExporter writes it (also several
// processes' streams appended into one file) and reports it to a trace::Visitor.
//
// Threads are found through their track descriptors and each sequence's default track; names
// and source locations through each sequence's interned data, which a packet with
// SEQ_INCREMENTAL_STATE_CLEARED resets; the dropped-events count through the writer's instant
// event on the process track. A begin in the category "span" is a span's; a counter track's
// samples (int or double) are reported for the process that owns the track. Timestamps are taken
// on the trace clock: absolute, or on a clock of the packet's sequence (ids 64-127) that a clock
// snapshot on the sequence tied to the trace clock, whose timestamps are deltas when it is
// incremental (every packet stamped on it moves it). A function is its name with the file and
// line of the begin's source location; traces written before events carried one (and other
// writers' events without it) give an empty file and line 0.
//
// Fields the reader does not use are skipped by wire type, so other writers' extra fields are
// fine; a malformed packet (bad framing, wrong wire type, lengths past the packet, an event on
// an undescribed track or with a name id never interned) is an error naming its file offset.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/trace_reader.h"

namespace vespra {

class ProtoReader final : public trace::Parser {
  public:
    // Interned ids above this are taken for corruption: the writer numbers names and locations
    // densely per thread, and the table of one sequence stays a plain array.
    static constexpr uint64_t MAX_NAME_IID = 1u << 22;

    explicit ProtoReader(trace::Visitor& visitor) : visitor_(visitor) {}

    Result<size_t> parse(std::span<const uint8_t> data, uint64_t offset) override;

    uint64_t packets() const { return packets_; }
    // Hands every packet, after its visitor calls, to `sink` (none by default).
    void set_sink(trace::RecordSink* sink) { sink_ = sink; }

  private:
    static constexpr uint32_t NONE = UINT32_MAX;
    static constexpr uint64_t NO_IID = UINT64_MAX;

    struct Track {
        uint32_t pid;
        uint32_t thread;  // visitor handle; NONE for a process or counter track
        bool counter = false;
        std::string name;  // a counter track's
    };
    // What one iid of a sequence stands for: an event name, a source location, or both (the
    // writer gives a code's name and location the same iid). The function handles are taken
    // when a begin first uses them, so a name that only ever comes with a location does not
    // also appear as a function without one.
    struct Interned {
        bool has_name = false, has_location = false;
        std::string name;
        std::string file;
        uint32_t line = 0;
        std::string location_function;  // SourceLocation.function_name
        uint32_t plain = NONE;          // handle of the name alone
        uint32_t located = NONE;        // handle of the name with this iid's location
    };
    // A sequence clock as its last snapshot defined it: trace time = base + (value - at) * unit.
    struct SequenceClock {
        uint32_t id;
        bool incremental;
        uint64_t value;  // its reading: at the snapshot, then after each delta
        uint64_t at;     // its reading at the snapshot
        uint64_t base;   // the trace clock's reading at the snapshot
        uint64_t unit;   // nanoseconds per unit
        uint64_t trace_time() const { return base + (value - at) * unit; }
    };
    struct Sequence {
        uint64_t default_track = 0;
        bool has_default = false;
        uint32_t thread = NONE;          // default track's thread, once resolved
        std::vector<Interned> interned;  // by iid
        uint64_t span_category = 0;      // iid of the category "span"; 0: none
        uint32_t clock = 0;              // the packets' default clock id; 0 for the trace clock
        uint32_t default_clock = NONE;   // index in `clocks` of `clock`, when a snapshot set it
        std::vector<SequenceClock> clocks;
    };

    bool fast_event(const uint8_t* p, const uint8_t* end);
    Status packet(const uint8_t* p, const uint8_t* end, uint64_t at);
    Status event(Sequence& seq, uint64_t ts, const uint8_t* p, const uint8_t* end, uint64_t at);
    Status interned(Sequence& seq, const uint8_t* p, const uint8_t* end, uint64_t at);
    Interned& slot(Sequence& seq, uint64_t iid);
    // The function of a begin naming `name_iid` and, unless it is NO_IID, `location_iid`;
    // NONE when either was never interned on the sequence.
    uint32_t function_of(Sequence& seq, uint64_t name_iid, uint64_t location_iid);
    Status descriptor(const uint8_t* p, const uint8_t* end, uint64_t at);
    Status snapshot(Sequence& seq, const uint8_t* p, const uint8_t* end, uint64_t at);
    // Converts `ts`, stamped on `clock`, to the trace clock, moving an incremental clock. False
    // for a sequence clock no snapshot defined.
    static bool trace_time(Sequence& seq, uint32_t clock, uint64_t& ts);
    static void find_default_clock(Sequence& seq);
    static uint64_t advance(SequenceClock& clock, uint64_t ts);
    Sequence& sequence(uint32_t id);
    // For the sink: the thread or process a packet of `seq` without an event belongs to.
    void note_owner(const Sequence& seq);

    trace::Visitor& visitor_;
    std::unordered_map<uint32_t, Sequence> sequences_;
    uint32_t last_seq_id_ = 0;
    Sequence* last_seq_ = nullptr;
    std::unordered_map<uint64_t, Track> tracks_;            // by track uuid
    uint32_t task_tracks_ = 0;                               // asyncio tasks' tracks read
    std::unordered_map<std::string, uint32_t> full_names_;  // events that name themselves
    uint64_t packets_ = 0;
    trace::RecordSink* sink_ = nullptr;
    trace::RecordInfo info_;  // of the packet being read, when there is a sink
};

// Packet edits for a tool that copies a trace's packets (`vespra cut`). Timestamps written here
// are absolute on the trace clock, which `name_clock` names in the packet (for a sequence whose
// packets default to a clock of their own).

// Appends `packet` (key and length included, as ProtoReader passes it to a sink) stamped at `ts`
// instead, with the debug annotation `flag` = true added to its track event when `flag` is not
// empty. False, appending nothing, for a packet that is not well formed.
bool restamp_packet(std::span<const uint8_t> packet, uint64_t ts, bool name_clock,
                    std::string_view flag, std::string& out);
// Appends a slice end on packet sequence `sequence` at `ts` with the annotation `flag` = true.
void append_end_packet(uint32_t sequence, uint64_t ts, bool name_clock, std::string_view flag,
                       std::string& out);

}  // namespace vespra
