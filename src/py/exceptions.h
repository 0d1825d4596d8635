// What a run that records exceptions does in its RAISE and PY_UNWIND callbacks: an instant where
// an exception was raised, named after its type, with its message; the type on the end of each
// slice it unwound. Nothing here runs the program's code, keeps the exception alive or leaves a
// Python error set.
#pragma once

#include <Python.h>

#include <string>

#include "py/host.h"
#include "py/state.h"

namespace vespra::exceptions {

// The longest message kept, in bytes of UTF-8 (cut on a character's boundary).
inline constexpr size_t MAX_MESSAGE = 256;

// False for the exceptions the interpreter raises and catches in its own machinery, which the
// trace leaves out: StopIteration and StopAsyncIteration (an iterator's end), GeneratorExit (a
// generator closed).
bool recorded(PyObject* exc);

// Whether the RAISE event of `exc` in the frame that runs it is where it was raised rather than
// a frame it passes through on its way out. The interpreter adds one entry for the current frame
// to the traceback just before each RAISE: an exception that propagates has, next, the entry of
// the frame it came out of, a frame called by this one; a new raise (`raise e` of an exception
// caught before included) has no next entry, or one of another frame.
bool raised_here(PyObject* exc);

// The type's name as a traceback shows it: qualified, with its module unless it is builtins or
// __main__. Null, with no error set, when it cannot be read.
host::Ref type_name(PyObject* exc);

// str(exc) where the type's __str__ is the interpreter's own and what it formats are plain values
// (str, bytes, int, float, bool, None), so that no code of the program runs; otherwise its first
// argument when that is a str (a __str__ of the program's own is never called: it could fail,
// recurse into traced code or change state). Empty when neither applies. UTF-8, cut to
// MAX_MESSAGE bytes.
std::string message(PyObject* exc);

// The argument names the records use, made once per process. Attached. False with an exception
// set.
bool prepare();

// RAISE (code, exception) on the calling thread: the instant, when this is where `exc` was
// raised and it is an exception the trace keeps. Never raises; never recurses (an exception
// raised while one is recorded is not recorded).
void record_raise(State& state, PyObject* code, PyObject* exc) noexcept;

// PY_UNWIND (code, exception): the end of the slice `exc` unwound, carrying its type. False,
// having recorded nothing, for an exception the trace leaves out or one raised while another is
// recorded: the caller records a plain unwind. Never raises.
bool record_unwind(State& state, PyObject* code, PyObject* exc) noexcept;

}  // namespace vespra::exceptions
