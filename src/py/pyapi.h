// What the extension takes from the interpreter that is not the same on every build and line it
// is compiled for. Everything else uses the public C API as the 3.13 headers declare it, which
// both builds of 3.13 (free-threaded and with the GIL) provide alike.
//
// Where the two builds behave differently underneath one call, the extension relies on the
// behaviour both share:
// - PyMutex_Lock and PyEval_SaveThread detach the waiting thread: without a GIL that lets a
//   stop-the-world pause proceed; with it, it releases the GIL, so the thread that holds the
//   lock can get the GIL back to finish (see ft_lock.h).
// - A callback can lose the interpreter (be paused, or lose the GIL to another thread) only
//   where it runs Python code or detaches: the recording path's reasoning (monitoring.cc) holds
//   for both.
// - The exporter and serializer threads never attach: they read only what the callbacks copied
//   out of Python objects, so they never wait for, nor hold, the GIL.
//
// 3.14 and 3.15 (with the GIL, as built and tested here) compile against the same declarations:
// what the extension uses of them did not change. A new line whose API changes goes here, not
// into #if around the code.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
#error "vespra needs CPython 3.13 or newer: PyMutex and the Py_mod_gil slot first appear there"
#endif

// The Py_mod_gil slot (module.cc) exists on both builds of 3.13: the free-threaded one keeps the
// GIL off when importing a module that declares Py_MOD_GIL_NOT_USED; the one with a GIL accepts
// the slot and ignores it.

// The free-threaded build of every line relies on the module slot that keeps the GIL off when
// the module is imported (module.cc). A free-threaded 3.14 or 3.15 (not built or tested here: no
// source of either was reachable) that lacked it fails here, at compile time, rather than
// importing vespra with the GIL switched back on.
#ifdef Py_GIL_DISABLED
#if !defined(Py_mod_gil) || !defined(Py_MOD_GIL_NOT_USED)
#error "this free-threaded CPython lacks the Py_mod_gil slot: importing vespra would enable the GIL"
#endif
#endif
