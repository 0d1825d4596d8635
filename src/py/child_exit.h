// The exits of a traced process that bypass the interpreter's exit handlers.
//
// Any traced process may end with os._exit (multiprocessing's fork workers clear the handlers
// and leave that way; programs do it to skip clean-up): os._exit is replaced by a wrapper that
// stops the run first, so the trace is complete. Any traced process may also be ended by
// SIGTERM: how a pool ends its workers, and what timeout, kill, docker stop and service managers
// send. Unless the program handles SIGTERM itself, a handler has the run stopped (its trace
// completed and its part joined) before the process dies of the signal as it would have.
#pragma once

namespace vespra::tracer {

// Installs the os._exit wrapper (once; later calls find it in place). Attached, holding the
// start lock. False with an exception set.
bool guard_os_exit();

// Called by the wrapper once the run is stopped, before the process ends, when set: the `vespra`
// command prints its closing line there. Attached; must not raise.
extern void (*after_stop_at_os_exit)();

// Installs both in a process that is about to start its run (a first run, or a child's).
// Attached, holding the start lock. False with an exception set.
bool guard_exits();

// The SIGTERM watcher is one of our threads, parked across a fork like the export threads (see
// tracer.h): park joins it, resume starts it again; both do nothing where there is none. While
// it is parked a SIGTERM kills the process at once, the rest of its trace lost, rather than wait
// for a watcher that might not come back.
void park_sigterm_watcher();
void resume_sigterm_watcher();

}  // namespace vespra::tracer
