// Dumps of a flight ring run (core/ring.h) asked for by the program and from outside it:
// vespra.dump(), and the signal that `vespra dump PID` sends.
#pragma once

#include <Python.h>

#include <signal.h>

namespace vespra::dumps {

// The signal that asks a process for a dump. SIGURG: its default action is to ignore it, so a
// dump asked of a process that traces nothing (or of every process of a tree) harms none; neither
// CPython, multiprocessing, gunicorn nor the usual servers' workers use it.
inline constexpr int DUMP_SIGNAL = SIGURG;

// Installs the handler of DUMP_SIGNAL, once per process, unless the program has a handler of its
// own: that one stays, and one line on standard error says how to dump instead. Attached.
void watch_dump_signal();

// Adds dump(path=None, *, wait=True) to the module. 0, or -1 with an exception set.
int add_dump(PyObject* module);

}  // namespace vespra::dumps
