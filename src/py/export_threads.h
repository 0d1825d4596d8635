// A run's export threads (the exporter, and the serializer it runs): their start, and their
// parking across a fork.
//
// The fork hooks park them before a fork: the interpreter warns about a fork in a process that
// has other threads, and counts them after the hooks of the parent, so ours must not be there
// then. Parking writes everything recorded so far and joins both threads. The run is resumed by
// the first of: a recording thread starting its next batch (State::resume_parked_export), the
// stop sequence (resume). All are called attached; park and the stop's resume only once the
// run's callbacks are unregistered, which waits for every callback in progress, so none of them
// runs at the same time as another.
#pragma once

#include <string>

#include "py/running.h"

namespace vespra::export_threads {

// Starts the run's exporter thread over the writer in its outcome. False with `error` set when
// the thread cannot be created; the writer then stays where it was.
bool spawn(Running& run, std::string* error);

// Writes what the run recorded so far and joins its export threads; the run is parked unless its
// pipeline failed (that result stays for the stop sequence to report).
void park(Running& run);

// Spawns the exporter thread of a parked run. False when it cannot be created (the run stays
// parked, `error` tells why).
bool resume(Running& run, std::string* error);

}  // namespace vespra::export_threads
