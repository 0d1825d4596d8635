// ProtoExporter: the writer behind the "protobuf" format. It turns event batches into a Perfetto
// packet stream: one process track, named as process_name.h says, with the pid in the track's
// name; one thread track and one packet sequence per traced thread, names and source locations
// interned per sequence, one begin or end slice per function event.
//
// Stream layout and identifiers (all sequence-id arithmetic is unsigned 32-bit, uuids 64-bit;
// k counts the threads this writer had seen before the one in question):
//   process track uuid      process_uuid = pid * 2^32 + 1
//   thread track uuid       process_uuid + 1 + k
//   process sequence id     sequence_base * 128 + 1
//   thread sequence id      sequence_base * 128 + 2 + k
//   category iid of "py"    1 on every thread sequence
//   name iids               1, 2, 3, ... per thread, in the order it first begins each code;
//                           a code's source location has the same iid as its name
// A process started normally has sequence_base 0; a forked or exec'd child uses its own pid, so
// several processes can append to one file without their sequences or tracks colliding. The
// stream has no header, so the concatenation of their packet runs stays one valid stream.
//
// Everything in an event packet but the timestamp depends only on the thread, begin or end and,
// for a begin, the code; that part (the "tail") is encoded once into an arena and copied into
// every later event packet. All packets are rendered in order straight into the SharedFile's
// buffer, so every packet an event depends on precedes it in the file. Batches are gathered into
// writes of about FLUSH_AT bytes: the kernel's cost of taking a trace into the page cache was
// twice as high in writes of one batch (some 70 KiB) as in writes of a megabyte. What is left
// below the mark is written by flush(), which the pipeline calls whenever no batch waits.
//
// Timestamps are absolute nanoseconds on the trace clock. set_incremental_timestamps(true)
// writes them as Perfetto's own SDK does instead: a thread's descriptor packet (which clears its
// sequence's state) makes the sequence clock INCREMENTAL_CLOCK its packets' default, the next
// packet, a clock snapshot, ties that clock's 0 to the trace clock's 0, and every later packet of
// the sequence carries the nanoseconds since the previous one (one or two bytes for most calls
// instead of five or six). A timestamp below its sequence's previous one, which a sane clock
// never gives, is then written absolute with the trace clock named in the packet, and the next
// delta counts from the previous value again. That saves a fifth of the bytes, but only a
// tenth or less of the export threads' CPU (bench/README.md), so it is not the default.
//
// Owned and used by the exporter thread alone; takes no locks of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/event.h"
#include "core/io_error.h"
#include "core/output.h"
#include "core/parts.h"
#include "core/process_name.h"
#include "core/sink.h"
#include "proto/pb.h"

namespace vespra {

// Protobuf parts (core/parts.h): runs of framed TracePackets, which the output's are too.
extern const parts::PartFormat PROTO_PARTS;

using Varint = pb::Varint;

class ProtoExporter final : public Exporter {
  public:
    static constexpr size_t SCRATCH_RESERVE = 4096;
    // Pending bytes at which write_batch writes them out.
    static constexpr size_t FLUSH_AT = 1024 * 1024;
    static constexpr size_t TAIL_RESERVE = 4096;
    // Sequence ids per process block: the process sequence and 126 thread sequences fit in it.
    static constexpr uint32_t SEQUENCES_PER_PROCESS = 128;
    // The sequence-scoped clock of incremental timestamps.
    static constexpr uint32_t INCREMENTAL_CLOCK = pb::FIRST_SEQUENCE_CLOCK;

    // Takes the process id of the calling process. Writes nothing.
    explicit ProtoExporter(SharedFile out);
    // As above with a given process id; lets tests reproduce exact bytes.
    ProtoExporter(SharedFile out, uint32_t pid);

    // Opens `path` for appending (created 0666 less umask if missing, never truncated) and
    // builds a writer over it. Writes nothing: the stream has no header.
    static Result<std::unique_ptr<ProtoExporter>> append(const std::string& path);

    // 0 for a run started normally, the process id for a forked or exec'd child. Must be set
    // before the first batch.
    void set_sequence_base(uint32_t base) { sequence_base_ = base; }
    // Whether event packets carry deltas on a sequence clock or absolute timestamps (the
    // default). Must be set before the first batch.
    void set_incremental_timestamps(bool on) { incremental_ = on; }

    // Renders the batch; writes to the file only once FLUSH_AT bytes are pending (or for an
    // empty batch).
    Status write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& names) override;
    Status flush() override;
    // Records one instant event on the process track for the dropped events and one for each
    // option that left events out, if any; `codes` and `names` are not used.
    Status finish(const CodeLookup& codes, const ThreadNames& names,
                  const RunTotals& totals) override;

    // Writes the process descriptor packet, named after process_name::get(), before the first
    // packet and again whenever the process has been named anew since. The flag is set before
    // the write, so a failed write is not repeated.
    Status ensure_process();
    // Encodes `packet` and appends it, framed, to the output's buffer. Does not flush.
    Status write_packet(const pb::TracePacket& packet);

    uint32_t pid() const { return pid_; }
    uint64_t process_uuid() const { return process_uuid_; }
    uint32_t sequence_base() const { return sequence_base_; }

  private:
    // Per traced thread.
    struct Sequence {
        std::string header;  // 50, varint of sequence_id, 68 02: common to all its event packets
        std::unordered_map<uint32_t, uint64_t> name_iids;  // code id -> interned name id
        uint32_t sequence_id;
        // Marks only (proto_marks.cc): argument names interned, and which of the marks'
        // categories are (bit 0: span, bit 1: mark).
        std::unordered_map<uint32_t, uint64_t> annotation_iids;  // name id -> iid
        uint8_t mark_categories = 0;
        uint32_t index;  // k, the number of threads started before it
    };

    // Where a cached tail lies in `tail_bytes_`, and the index of its thread's sequence (whose
    // previous timestamp an incremental event needs). Threads, like codes, number below 2^24.
    struct TailRef {
        uint32_t offset;
        uint32_t len : 8;
        uint32_t sequence : 24;
    };

    // Open-addressing map from tail key to TailRef, probed linearly. This is the one lookup of
    // the per-event path, so it is a flat array of 16-byte entries rather than a node map.
    // Tail keys never have all low 32 bits set (code ids are 24-bit), so that value marks an
    // empty slot.
    class TailMap {
      public:
        TailMap();
        const TailRef* find(uint64_t key) const {
            for (size_t i = slot(key);; i = (i + 1) & mask_) {
                const Entry& e = entries_[i];
                if (e.key == key) return &e.ref;
                if (e.key == EMPTY) return nullptr;
            }
        }
        void insert(uint64_t key, TailRef ref);
        size_t size() const { return size_; }

      private:
        static constexpr uint64_t EMPTY = ~uint64_t{0};
        struct Entry {
            uint64_t key;
            TailRef ref;
        };
        size_t slot(uint64_t key) const {
            return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
        }
        void grow();

        std::vector<Entry> entries_;
        size_t mask_ = 0;
        unsigned shift_ = 0;
        size_t size_ = 0;
    };

    // Builds, caches and returns the tail of `event`, starting its thread and interning its name
    // first when needed (those packets go to `out_`).
    Status cache_tail(const Event& event, uint64_t key, const CodeLookup& codes,
                      const ThreadNames& names, TailRef* ref);
    Status start_thread(uint32_t tid, const ThreadNames& names, Sequence** seq);
    Status thread_sequence(uint32_t tid, const ThreadNames& names, Sequence** seq);
    // The interned id of code (or mark name) `code` on `seq`, interning it first when new.
    Status name_iid(Sequence& seq, uint32_t code, const CodeLookup& codes, uint64_t* iid);

    // Marks (see core/marks.h), in proto_marks.cc. Writes the packets of the mark whose header
    // is events[at] into the file's buffer; *next is the index of the event after its payload.
    Status write_mark(std::span<const Event> events, size_t at, const CodeLookup& codes,
                      const ThreadNames& names, size_t* next);
    Status mark_category(Sequence& seq, unsigned bit, uint64_t* iid);
    Status annotation_iid(Sequence& seq, uint32_t name, const CodeLookup& codes, uint64_t* iid);
    Status counter_track(uint32_t name, const CodeLookup& codes, uint32_t sequence_id,
                         uint64_t* uuid);
    // Appends a framed packet of the hand-encoded fields `body`.
    void write_raw_packet(std::string_view body);
    // Appends the event packets of `events` (and the packets they need first) to the file's
    // buffer. With DELTAS their timestamps are incremental; else LEN is the varint length most
    // of them share, 0 for no assumption.
    template <unsigned LEN, bool DELTAS>
    Status encode_events(std::span<const Event> events, const CodeLookup& codes,
                         const ThreadNames& names);
    // cache_tail in the middle of rendering: `p` is the end of what has been rendered into the
    // file's buffer so far, and comes back as where to go on, with room for `left` more event
    // packets. A new thread's or name's packets go into the buffer here, after the events so
    // far and before the first that needs them.
    Status cache_tail_at(const Event& event, uint64_t key, const CodeLookup& codes,
                         const ThreadNames& names, uint8_t*& p, size_t left, TailRef* ref);

    SharedFile out_;
    std::string scratch_;              // encoding space of write_packet
    std::vector<uint8_t> tail_bytes_;  // append-only arena of pre-encoded tails, then padding
    TailMap tails_;
    std::unordered_map<uint32_t, Sequence> sequences_;  // by thread id; consulted on tail misses
    std::unordered_map<uint32_t, uint64_t> counter_tracks_;  // counter name id -> track uuid
    std::string mark_scratch_;
    std::vector<uint64_t> last_ts_;  // by sequence index: its clock's value, the last timestamp
    uint64_t process_uuid_;
    uint32_t pid_;
    uint32_t sequence_base_ = 0;
    bool process_written_ = false;
    uint64_t process_version_ = 0;  // the process_name::version() the descriptor last carried
    bool incremental_ = false;
};

}  // namespace vespra
