// `vespra summary`, `vespra flamegraph` and `vespra join` without the interpreter: each reads a trace and
// returns what to print and the exit status, so that the command line only prints it.
#pragma once

#include <string>

#include "analysis/options.h"
#include "analysis/profile.h"
#include "analysis/trace_file.h"

namespace vespra::analysis {

struct CommandResult {
    int status = 0;   // 0, or 1 when the trace could not be read or the output not written
    std::string out;  // for standard output
    std::string err;  // for standard error: the error, or the note that the trace was cut
};

CommandResult summary(const SummaryOptions& options);
CommandResult flamegraph(const FlamegraphOptions& options);
// Joins the parts a killed first process left beside the trace (trace_file.h).
CommandResult join(const JoinOptions& options);

}  // namespace vespra::analysis
