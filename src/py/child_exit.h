// The exits of a traced child process that bypass the interpreter's exit handlers.
//
// A forked child does not always end through those handlers: multiprocessing's fork workers
// clear them and leave with os._exit, and a pool stops its workers with SIGTERM. A child that
// starts a run in the fork hook (or joins its parent's trace after an exec) therefore gets
// os._exit replaced by a wrapper that stops the run first, and, unless the program handles
// SIGTERM itself, a SIGTERM handler that has the run stopped before the process dies of the
// signal as it would have.
#pragma once

namespace vespra::tracer {

// Installs both in a child that is about to start its run. Attached, holding the start lock.
// False with an exception set.
bool guard_exits_of_child();

// The SIGTERM watcher is one of our threads, parked across a fork like the export threads (see
// tracer.h): park joins it, resume starts it again; both do nothing where there is none. While
// it is parked a SIGTERM kills the process at once, the rest of its trace lost, rather than wait
// for a watcher that might not come back.
void park_sigterm_watcher();
void resume_sigterm_watcher();

}  // namespace vespra::tracer
