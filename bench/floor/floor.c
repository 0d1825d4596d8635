/* _vespra_floor: the cheapest possible sys.monitoring tool.
 *
 * It registers one C callback for each of the six events a function tracer needs (PY_START,
 * PY_RETURN, PY_YIELD, PY_RESUME, PY_UNWIND, PY_THROW) with the fast-call convention, and every
 * callback returns None without looking at its arguments. Whatever a program loses under this
 * module is the interpreter's own cost of dispatching the events: the floor that no tracer built
 * on sys.monitoring can go below, and the yardstick the overhead benchmark divides by.
 *
 * With a clock ("tsc" or "monotonic") the callbacks are instead a bare recorder: each reads that
 * clock and stores the 8-byte reading into a thread-local ring of 1024 slots that nothing ever
 * reads. That is the least a recorder which keeps a timestamp per event can do: the yardstick for
 * what vespra adds beyond its clock read.
 *
 * enable(tool_id=sys.monitoring.PROFILER_ID, clock=None) claims the tool slot, registers the
 * callbacks and switches the events on; disable() undoes all three. The module declares that it
 * does not need the GIL, so importing it on the free-threaded build leaves the GIL off.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

/* The tool id this module holds, or -1. Written by enable()/disable() under `lock`, which the
 * benchmark only ever calls from the main thread; the callbacks never read it. */
typedef struct {
    PyMutex lock;
    int tool_id;
} FloorState;

static FloorState *floor_state(PyObject *module) {
    return (FloorState *)PyModule_GetState(module);
}

/* The whole callback: no argument is read, no reference taken. None is immortal, so returning
 * it costs no reference-count traffic either. */
static PyObject *floor_noop(PyObject *Py_UNUSED(self), PyObject *const *Py_UNUSED(args),
                            Py_ssize_t Py_UNUSED(nargs)) {
    Py_RETURN_NONE;
}

/* The bare recorder's ring: the thread's 1024 slots on the heap (allocated at its first event,
 * never freed: a benchmark process is short), reached through initial-exec TLS like vespra's own
 * per-thread state, so that an access is one %fs-relative load. */
#define RING_SLOTS 1024
typedef struct {
    uint64_t *slots;
    uint32_t next;
} Ring;
static __thread Ring RING __attribute__((tls_model("initial-exec")));

static __attribute__((noinline, cold)) uint64_t *new_ring(void) {
    uint64_t *slots = calloc(RING_SLOTS, sizeof(uint64_t));
    if (slots == NULL) {
        abort();
    }
    return slots;
}

static inline void ring_store(uint64_t value) {
    Ring *ring = &RING;
    if (__builtin_expect(ring->slots == NULL, 0)) {
        ring->slots = new_ring();
    }
    ring->slots[ring->next++ & (RING_SLOTS - 1)] = value;
}

static PyObject *record_tsc(PyObject *Py_UNUSED(self), PyObject *const *Py_UNUSED(args),
                            Py_ssize_t Py_UNUSED(nargs)) {
#if defined(__x86_64__)
    ring_store(__rdtsc());
#endif
    Py_RETURN_NONE;
}

static PyObject *record_monotonic(PyObject *Py_UNUSED(self), PyObject *const *Py_UNUSED(args),
                                  Py_ssize_t Py_UNUSED(nargs)) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ring_store((uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec);
    Py_RETURN_NONE;
}

#define CALLBACK(name, fn) {name, (PyCFunction)(void (*)(void))fn, METH_FASTCALL, NULL}
#define SIX_CALLBACKS(fn)                                                                      \
    {CALLBACK("_floor_py_start", fn),  CALLBACK("_floor_py_return", fn),                       \
     CALLBACK("_floor_py_yield", fn),  CALLBACK("_floor_py_resume", fn),                       \
     CALLBACK("_floor_py_unwind", fn), CALLBACK("_floor_py_throw", fn)}

static PyMethodDef NOOP_DEFS[] = SIX_CALLBACKS(floor_noop);
static PyMethodDef TSC_DEFS[] = SIX_CALLBACKS(record_tsc);
static PyMethodDef MONOTONIC_DEFS[] = SIX_CALLBACKS(record_monotonic);
#define N_EVENTS 6

/* In the order of the callback definitions. */
static const char *const EVENT_NAMES[] = {"PY_START",  "PY_RETURN", "PY_YIELD",
                                          "PY_RESUME", "PY_UNWIND", "PY_THROW"};

static PyObject *monitoring_module(void) {
    PyObject *sys = PyImport_ImportModule("sys");
    if (sys == NULL) {
        return NULL;
    }
    PyObject *mon = PyObject_GetAttrString(sys, "monitoring");
    Py_DECREF(sys);
    return mon;
}

/* Calls sys.monitoring.register_callback(tool, events.<name>, callback) for every event,
 * with callback = the function of `defs` bound to the module (module given) or None (module
 * NULL), and returns the union of the event bits, or -1 with an exception set. */
static long register_all(PyObject *mon, int tool, PyObject *module, PyMethodDef *defs) {
    PyObject *events = PyObject_GetAttrString(mon, "events");
    if (events == NULL) {
        return -1;
    }
    long mask = 0;
    for (size_t i = 0; i < N_EVENTS; ++i) {
        PyObject *bit_obj = PyObject_GetAttrString(events, EVENT_NAMES[i]);
        if (bit_obj == NULL) {
            goto fail;
        }
        long bit = PyLong_AsLong(bit_obj);
        Py_DECREF(bit_obj);
        if (bit == -1 && PyErr_Occurred()) {
            goto fail;
        }
        PyObject *callback = Py_None;
        if (module != NULL) {
            callback = PyCMethod_New(&defs[i], module, NULL, NULL);
            if (callback == NULL) {
                goto fail;
            }
        } else {
            Py_INCREF(callback);
        }
        PyObject *previous =
            PyObject_CallMethod(mon, "register_callback", "ilO", tool, bit, callback);
        Py_DECREF(callback);
        if (previous == NULL) {
            goto fail;
        }
        Py_DECREF(previous);
        mask |= bit;
    }
    Py_DECREF(events);
    return mask;
fail:
    Py_DECREF(events);
    return -1;
}

static PyObject *floor_enable(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "enable() takes at most 2 arguments (%zd given)", nargs);
        return NULL;
    }
    PyMethodDef *defs = NOOP_DEFS;
    if (nargs == 2 && args[1] != Py_None) {
        const char *clock = PyUnicode_AsUTF8(args[1]);
        if (clock == NULL) {
            return NULL;
        }
        if (strcmp(clock, "tsc") == 0) {
#if !defined(__x86_64__)
            PyErr_SetString(PyExc_ValueError, "no TSC on this processor");
            return NULL;
#endif
            defs = TSC_DEFS;
        } else if (strcmp(clock, "monotonic") == 0) {
            defs = MONOTONIC_DEFS;
        } else {
            PyErr_Format(PyExc_ValueError, "clock must be 'tsc', 'monotonic' or None, not %R",
                         args[1]);
            return NULL;
        }
    }
    FloorState *st = floor_state(module);
    PyObject *mon = monitoring_module();
    if (mon == NULL) {
        return NULL;
    }
    PyObject *result = NULL;
    long tool;
    if (nargs >= 1 && args[0] != Py_None) {
        tool = PyLong_AsLong(args[0]);
    } else {
        PyObject *profiler = PyObject_GetAttrString(mon, "PROFILER_ID");
        tool = profiler == NULL ? -1 : PyLong_AsLong(profiler);
        Py_XDECREF(profiler);
    }
    if (tool == -1 && PyErr_Occurred()) {
        Py_DECREF(mon);
        return NULL;
    }
    PyMutex_Lock(&st->lock);
    if (st->tool_id >= 0) {
        PyErr_SetString(PyExc_RuntimeError, "the floor callbacks are already enabled");
        goto done;
    }
    /* use_tool_id raises ValueError itself when the slot is taken. */
    PyObject *claimed = PyObject_CallMethod(mon, "use_tool_id", "ls", tool, "vespra-floor");
    if (claimed == NULL) {
        goto done;
    }
    Py_DECREF(claimed);
    long mask = register_all(mon, (int)tool, module, defs);
    PyObject *on = mask < 0 ? NULL : PyObject_CallMethod(mon, "set_events", "ll", tool, mask);
    if (on == NULL) {
        /* Leave the interpreter as we found it; the original error wins. */
        PyObject *exc = PyErr_GetRaisedException();
        PyObject *ignored = PyObject_CallMethod(mon, "free_tool_id", "l", tool);
        Py_XDECREF(ignored);
        PyErr_SetRaisedException(exc);
        goto done;
    }
    Py_DECREF(on);
    st->tool_id = (int)tool;
    result = Py_NewRef(Py_None);
done:
    PyMutex_Unlock(&st->lock);
    Py_DECREF(mon);
    return result;
}

static PyObject *floor_disable(PyObject *module, PyObject *Py_UNUSED(ignored)) {
    FloorState *st = floor_state(module);
    PyObject *mon = monitoring_module();
    if (mon == NULL) {
        return NULL;
    }
    PyObject *result = NULL;
    PyMutex_Lock(&st->lock);
    if (st->tool_id < 0) {
        PyErr_SetString(PyExc_RuntimeError, "the floor callbacks are not enabled");
        goto done;
    }
    /* Events off first, so no callback starts while they are being removed. */
    PyObject *off = PyObject_CallMethod(mon, "set_events", "ii", st->tool_id, 0);
    if (off == NULL) {
        goto done;
    }
    Py_DECREF(off);
    if (register_all(mon, st->tool_id, NULL, NULL) < 0) {
        goto done;
    }
    PyObject *freed = PyObject_CallMethod(mon, "free_tool_id", "i", st->tool_id);
    if (freed == NULL) {
        goto done;
    }
    Py_DECREF(freed);
    st->tool_id = -1;
    result = Py_NewRef(Py_None);
done:
    PyMutex_Unlock(&st->lock);
    Py_DECREF(mon);
    return result;
}

static PyMethodDef FLOOR_METHODS[] = {
    {"enable", (PyCFunction)(void (*)(void))floor_enable, METH_FASTCALL,
     "enable(tool_id=sys.monitoring.PROFILER_ID, clock=None)\n--\n\n"
     "Claim the tool id and register callbacks for the six function events: no-ops, or with\n"
     "clock 'tsc' or 'monotonic' a bare recorder storing that clock's reading in a ring."},
    {"disable", floor_disable, METH_NOARGS,
     "disable()\n--\n\nSwitch the events off, unregister the callbacks and free the tool id."},
    {NULL, NULL, 0, NULL},
};

static int floor_exec(PyObject *module) {
    FloorState *st = floor_state(module);
    st->lock = (PyMutex){0};
    st->tool_id = -1;
    return 0;
}

static PyModuleDef_Slot FLOOR_SLOTS[] = {
    {Py_mod_exec, floor_exec},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, NULL},
};

static struct PyModuleDef FLOOR_MODULE = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_vespra_floor",
    .m_doc = "No-op sys.monitoring callbacks: the interpreter's own cost of function events.",
    .m_size = sizeof(FloorState),
    .m_methods = FLOOR_METHODS,
    .m_slots = FLOOR_SLOTS,
};

PyMODINIT_FUNC PyInit__vespra_floor(void) { return PyModuleDef_Init(&FLOOR_MODULE); }
