// The command-line runner: `vespra._core.cli_main(argv)`, which parses a `vespra run ...` command
// line, runs a script or library module under a Tracer in the calling interpreter, and returns
// the process's exit status.
#pragma once

#include <Python.h>

namespace vespra::cli {

// Adds the module member `cli_main` (text signature "cli_main(argv)"; one argument, positional
// or keyword, named argv) to `module`. Returns 0, or -1 with a Python exception set. Called once
// by the module's execution slot; keeps no state of its own.
int add_cli_main(PyObject* module);

}  // namespace vespra::cli
