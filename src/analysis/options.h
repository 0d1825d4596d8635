// The options of `vespra summary`, `vespra flamegraph` and `vespra join`, as the command-line grammar fills
// them in and the commands read them.
#pragma once

#include <cstddef>
#include <string>

namespace vespra::analysis {

struct SummaryOptions {
    enum class Sort { Self, Total, Calls };
    enum class Group { All, Process, Thread };

    std::string trace;
    size_t top = 25;  // rows per table; 0 for all
    Sort sort = Sort::Self;
    Group group = Group::All;
    std::string filter;  // substring of the function's name or file; empty for all
    bool json = false;
};

struct JoinOptions {
    std::string trace;
};

struct FlamegraphOptions {
    std::string trace;
    std::string output;       // file to write; "-" for standard output
    bool per_thread = false;  // one graph per thread instead of stacks merged across threads
    bool folded = false;      // collapsed stacks instead of SVG
};

}  // namespace vespra::analysis
