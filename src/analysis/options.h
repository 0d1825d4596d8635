// The options of `vespra summary`, `vespra flamegraph` and `vespra join`, as the command-line grammar fills
// them in and the commands read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vespra::analysis {

// Which part of a trace a command reads: the slices between two times since the trace's start
// (clipped to them), of one process and one thread, each given by id or by name.
struct Selection {
    std::optional<uint64_t> from;  // nanoseconds since the trace's start
    std::optional<uint64_t> to;
    std::string process;  // a pid, or a process name; empty for every process
    std::string thread;   // a tid, or a thread name; empty for every thread

    bool everything() const { return !from && !to && process.empty() && thread.empty(); }
};

struct SummaryOptions {
    enum class Sort { Self, Total, Calls };
    enum class Group { All, Process, Thread };

    std::string trace;
    size_t top = 25;  // rows per table; 0 for all
    Sort sort = Sort::Self;
    Group group = Group::All;
    std::string filter;  // substring of the function's name or file; empty for all
    bool json = false;
    Selection select;
};

struct JoinOptions {
    std::string trace;
};

struct FlamegraphOptions {
    std::string trace;
    std::string output;       // file to write; "-" for standard output
    bool per_thread = false;  // one graph per thread instead of stacks merged across threads
    bool folded = false;      // collapsed stacks instead of SVG
    Selection select;
};

struct CutOptions {
    std::string trace;
    std::string output;
    Selection select;
    // The recording's limits, applied again: 0 for none.
    uint64_t min_duration = 0;
    uint32_t max_depth = 0;
};

struct ViewOptions {
    std::string trace;
    bool open = true;  // open the browser; else print the link
    std::string ui;    // the Perfetto UI's address; empty for ui.perfetto.dev
};

}  // namespace vespra::analysis
