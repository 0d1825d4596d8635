// ProtoReader: reads a Perfetto packet stream as ProtoExporter writes it (also several
// processes' streams appended into one file) and reports it to a trace::Visitor.
//
// Threads are found through their track descriptors and each sequence's default track; names
// through each sequence's interned event names, which a packet with SEQ_INCREMENTAL_STATE_CLEARED
// resets; the dropped-events count through the writer's instant event on the process track.
// A begin in the category "span" is a span's; a counter track's samples (int or double) are
// reported for the process that owns the track.
// Protobuf traces carry no file or line: functions are reported with an empty file and line 0.
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
    // Interned name ids above this are taken for corruption: the writer numbers names densely
    // per thread, and the table of one sequence stays a plain array.
    static constexpr uint64_t MAX_NAME_IID = 1u << 22;

    explicit ProtoReader(trace::Visitor& visitor) : visitor_(visitor) {}

    Result<size_t> parse(std::span<const uint8_t> data, uint64_t offset) override;

    uint64_t packets() const { return packets_; }

  private:
    static constexpr uint32_t NONE = UINT32_MAX;

    struct Track {
        uint32_t pid;
        uint32_t thread;  // visitor handle; NONE for a process or counter track
        bool counter = false;
        std::string name;  // a counter track's
    };
    struct Sequence {
        uint64_t default_track = 0;
        bool has_default = false;
        uint32_t thread = NONE;       // default track's thread, once resolved
        std::vector<uint32_t> names;  // name iid -> function handle (NONE: not interned)
        std::vector<std::string> texts;  // name iid -> the name, for spans
        uint64_t span_category = 0;      // iid of the category "span"; 0: none
    };

    bool fast_event(const uint8_t* p, const uint8_t* end);
    Status packet(const uint8_t* p, const uint8_t* end, uint64_t at);
    Status event(Sequence& seq, uint64_t ts, const uint8_t* p, const uint8_t* end, uint64_t at);
    Status interned(Sequence& seq, const uint8_t* p, const uint8_t* end, uint64_t at);
    Status descriptor(const uint8_t* p, const uint8_t* end, uint64_t at);
    Sequence& sequence(uint32_t id);

    trace::Visitor& visitor_;
    std::unordered_map<uint32_t, Sequence> sequences_;
    uint32_t last_seq_id_ = 0;
    Sequence* last_seq_ = nullptr;
    std::unordered_map<uint64_t, Track> tracks_;            // by track uuid
    std::unordered_map<std::string, uint32_t> full_names_;  // events that name themselves
    uint64_t packets_ = 0;
};

}  // namespace vespra
