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

#include <cstddef>
#include <cstdint>

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

namespace vespra::pyapi {

// What vespra reads of the interpreter's record of a running frame (_PyInterpreterFrame, in the
// internal headers: pycore_frame.h on 3.13, pycore_interpframe_structs.h on 3.14 and 3.15): the
// frame that called it and who owns it. The offsets are those of each line's release builds;
// the layouts were read from each line's headers, and a line not listed here reads nothing.
struct FrameHead {
    void* executable;
    FrameHead* previous;
};
#if PY_VERSION_HEX < 0x030E0000
// 3.13: seven pointers, instr_ptr, int stacktop, uint16_t return_offset, char owner.
inline constexpr size_t FRAME_OWNER_OFFSET = 70;
#elif PY_VERSION_HEX < 0x03100000 && defined(Py_GIL_DISABLED)
// 3.14 and 3.15: nine pointer-sized fields, int32_t tlbc_index (free-threaded only),
// uint16_t return_offset, char owner.
inline constexpr size_t FRAME_OWNER_OFFSET = 78;
#elif PY_VERSION_HEX < 0x03100000
inline constexpr size_t FRAME_OWNER_OFFSET = 74;
#else
#define VESPRA_NO_FRAME_LAYOUT 1
#endif
// Owners: 0 a thread's frame stack, 1 a generator or coroutine, 2 a frame object; 3 and above
// (CSTACK on 3.13; INTERPRETER, and CSTACK on 3.14) the frames the interpreter pushes where C
// code calls into it (gen.send(), a C function calling a Python one), which belong to no function.
inline constexpr char FRAME_OWNED_BY_GENERATOR = 1;
inline constexpr char FRAME_OWNED_BY_NO_FUNCTION = 3;

// Whether the frame running on `ts` -- a coroutine's, in the callback of its start, resumption or
// throw -- was sent into from outside every coroutine and generator: by an asyncio task's step
// (C or Python), or by a program driving it by hand. A coroutine awaited by another runs in
// a frame whose caller is that coroutine's (the SEND that awaits it pushes it directly, or
// through the C frame of an async generator's asend). Returns that frame, else null (and always
// null on a line whose layout is not known here: its tasks stay on their thread). Cheap: three
// loads. The frame's address names the coroutine for as long as it lives (the frame is part of
// the coroutine object).
inline const void* outermost_coroutine_frame(PyThreadState* ts) {
#ifdef VESPRA_NO_FRAME_LAYOUT
    (void)ts;
    return nullptr;
#else
    auto owner = [](const FrameHead* f) {
        return reinterpret_cast<const char*>(f)[FRAME_OWNER_OFFSET];
    };
    auto* frame = reinterpret_cast<const FrameHead*>(ts->current_frame);
    if (frame == nullptr) return nullptr;
    const FrameHead* caller = frame->previous;
    if (caller != nullptr && owner(caller) >= FRAME_OWNED_BY_NO_FUNCTION) caller = caller->previous;
    if (caller != nullptr && owner(caller) == FRAME_OWNED_BY_GENERATOR) return nullptr;
    return frame;
#endif
}

}  // namespace vespra::pyapi
