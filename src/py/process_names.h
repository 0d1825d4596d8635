// How a process is named in its traces (core/process_name.h holds the name the writers read):
// after the script or module it runs, by the `vespra` command or by default when a run starts,
// and, for a multiprocessing worker, after the name multiprocessing gives it, which a forked or
// spawned worker learns only once multiprocessing's bootstrap runs in it, after its run started.
// All functions are called attached. A name given after a run started reaches its trace through
// the writer, which describes the process again (see core/process_name.h).
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace vespra::naming {

// The last component of a path: how a script is called in a trace.
std::string file_name(std::string_view path);

// Names the process after `what` (a str: a module's name, or with `is_path` a script's path, of
// which the file name is taken), with sys.orig_argv as its command line, for the rest of its
// life: a later run keeps it, a forked child inherits it. Never fails: what cannot be read is
// left out.
void name(PyObject* what, bool is_path);

// Names the process after what it runs, unless it has been named already (in this process or in
// its parent before a fork): a multiprocessing child after its Process, else the module of
// `python -m` (also while the interpreter is still starting, as in the start-up hook), "python
// -c" for `python -c`, the file name of sys.argv[0], or "python". Never fails: what cannot be
// read is passed over.
void name_by_default();

// Makes multiprocessing's bootstrap name this process after its Process, if it turns out to be
// a worker: registers an after-fork callback with multiprocessing once per process, when
// multiprocessing is loaded (a forked worker's parent loaded it) or the command line marks a
// spawned worker (which loads it next anyway). Never fails: a worker that cannot be followed
// keeps the name it has.
void follow_multiprocessing();

// At a run's stop: names a followed process that multiprocessing made a worker without calling
// its after-fork callbacks (a spawned worker's bootstrap calls none). Runs no Python code, so
// that it may run in a process dying of SIGTERM.
void settle();

// Adds the callback that multiprocessing calls to the module. 0, or -1 with an exception set.
int add_naming_functions(PyObject* module);

}  // namespace vespra::naming
