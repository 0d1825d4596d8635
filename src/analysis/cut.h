// `vespra cut`: a smaller trace of the same format, made of the records of the original that the
// selection (selection.h) and the recording's limits (core/slice_filter.h) keep.
//
// The trace is streamed once (twice when a process or thread is named: see Selector) with the
// format's reader, which hands each record to the cut after reporting it. Records are copied
// byte for byte, so names, source locations, descriptors, command lines and marks come along as
// written; only these are written anew:
//   - a slice that began before `--from` and is still open there: its begin, stamped at
//     `--from`, with the argument `clipped_start` = true;
//   - a slice still open at `--to`: an end stamped at `--to`, with `clipped_end` = true;
//   - in protobuf, an event of a sequence whose timestamps count on a clock of its own (deltas):
//     stamped absolute, since the events between it and the one it counted from may be gone.
// Records that describe or name (descriptors, interned names, clock snapshots, metadata) are
// kept unless they belong to a thread or process left out; the counts of events dropped or left
// out by the recording are kept with their process.
//
// Each thread's events pass the time window, then a SliceFilter with the cut's limits, exactly
// as the tracer's export threads apply them. Memory is bounded by each thread's open slices: the
// bytes of each open begin are held until its end, since the filter may release or clip it late.
#pragma once

#include "analysis/commands.h"
#include "analysis/options.h"

namespace vespra::analysis {

CommandResult cut(const CutOptions& options);

}  // namespace vespra::analysis
