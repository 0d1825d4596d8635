// The output format of a tracer, chosen by name at construction, and the opening of its output
// file and writer at the start of each run.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/io_error.h"
#include "core/output.h"
#include "core/parts.h"
#include "core/sink.h"

namespace vespra {

class Format {
  public:
    enum Value : uint8_t { Json, Protobuf };

    constexpr Format(Value value) : value_(value) {}  // NOLINT: implicit on purpose

    // Exact, case-sensitive match of "json", "protobuf", "proto" or "pb"; otherwise the message
    // "unknown format: " followed by the text unchanged goes to `error`.
    static std::optional<Format> parse(std::string_view text, std::string* error);

    // The format a file's name asks for when none is given: JSON for a name ending in ".json",
    // protobuf for any other (".pb", ".perfetto-trace", ".pftrace" and names without one).
    static Format of_file_name(std::string_view path);

    // "json" or "protobuf": what a running tracer exports for exec'd children.
    const char* name() const { return value_ == Json ? "json" : "protobuf"; }
    Value value() const { return value_; }

    // What a run writes through: its writer, and the part it writes (core/parts.h), which the
    // stop joins into the output; no part for an output that is no regular file (a pipe, a
    // device), which every process of the trace appends to directly.
    struct Opened {
        std::unique_ptr<Exporter> writer;
        parts::OwnPart part;
    };

    // Opens the output and builds the writer. A fresh run (as_child false) starts the trace:
    // it refuses an output that a live run of another trace writes, and truncates the file (a
    // JSON trace then holds exactly "[" when this returns, a protobuf trace nothing); a child
    // run adds a part to its parent's trace. `sequence_base` is 0 for a fresh run, the process
    // id for a child; the protobuf writer derives its packet identifiers from it. Touches no
    // Python object.
    Result<Opened> open(const std::string& path, uint32_t sequence_base, bool as_child) const;

    // Opens a file that is a whole trace by itself, with no parts (a dump of a flight ring),
    // truncating it.
    Result<std::unique_ptr<Exporter>> open_whole(const std::string& path,
                                                 uint32_t sequence_base) const;

    // How the joiner takes this format's parts.
    const parts::PartFormat& parts() const;

    friend bool operator==(Format a, Format b) { return a.value_ == b.value_; }

    // Whether protobuf writers opened from now on in this process write incremental
    // timestamps or absolute ones (the default): for the benchmark that compares the two.
    static void set_incremental_timestamps(bool on);

  private:
    Result<std::unique_ptr<Exporter>> open_direct(const std::string& path, uint32_t sequence_base,
                                                  bool fresh) const;
    std::unique_ptr<Exporter> writer_over(SharedFile file, uint32_t sequence_base) const;

    Value value_;
};

}  // namespace vespra
