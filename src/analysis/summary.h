// The summary of a trace: per-function statistics by thread, as text or JSON, with what the
// trace tells of its processes, threads, counters and whether it was cut short.
#pragma once

#include <string>

#include "analysis/options.h"
#include "analysis/profile.h"
#include "analysis/trace_file.h"

namespace vespra::analysis {

// The summary of a profile already read (after Profile::finish); what `vespra summary` prints.
std::string summary_text(const Profile& profile, const TraceRead& read,
                         const SummaryOptions& options);
std::string summary_json(const Profile& profile, const TraceRead& read,
                         const SummaryOptions& options);

// "trace cut short: ...": how much of a trace that ends in an incomplete record was read.
std::string cut_note(const TraceRead& read);

}  // namespace vespra::analysis
