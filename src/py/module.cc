// The extension module vespra._core. Loading it only publishes its members and registers its
// fork hooks (which do nothing while no tracer runs): nothing is traced, no thread is started
// and no file is touched until a Tracer is entered or cli_main is called.
#include <Python.h>

#include "py/dump.h"
#include "py/environment.h"
#include "py/output_format.h"
#include "py/marks.h"
#include "py/process_names.h"
#include "py/pyapi.h"
#include "py/tracer.h"

#if __has_include("py/cli.h")
#include "py/cli.h"
#define VESPRA_HAVE_CLI 1
#endif

namespace {

// _clock(): the clock a run started now would read, "tsc" or "monotonic" (the first call may
// calibrate, about 10 ms). For the benchmarks, whose bare recorder reads the same clock.
PyObject* core_clock(PyObject*, PyObject*) {
    return vespra::host::boundary([]() -> PyObject* {
        std::optional<vespra::ClockSource> source = vespra::environment::clock_source();
        if (!source) return nullptr;
        return PyUnicode_FromString(vespra::Clock::starting_now(*source).uses_tsc() ? "tsc"
                                                                                    : "monotonic");
    });
}

// _incremental_timestamps(on): whether protobuf traces started from now on write each
// timestamp as the time since the previous packet of its thread or absolute (the default). For
// the benchmark and the tests that compare the two encodings.
PyObject* core_incremental_timestamps(PyObject*, PyObject* on) {
    int flag = PyObject_IsTrue(on);
    if (flag < 0) return nullptr;
    vespra::Format::set_incremental_timestamps(flag != 0);
    Py_RETURN_NONE;
}

PyMethodDef CORE_METHODS[] = {
    {"_incremental_timestamps", core_incremental_timestamps, METH_O,
     "_incremental_timestamps($module, on, /)\n--\n\nWhether protobuf traces started from now "
     "on write incremental timestamps or absolute ones (the default)."},
    {"_clock", core_clock, METH_NOARGS,
     "_clock($module, /)\n--\n\nThe clock a run started now would read: 'tsc' or 'monotonic'."},
    {nullptr, nullptr, 0, nullptr},
};

// Members in this order: Tracer, cli_main (then the fork hooks and the naming callback). A failure
// stops the import.
int exec_core(PyObject* module) {
    if (vespra::tracer::add_tracer_type(module) < 0) return -1;
#ifdef VESPRA_HAVE_CLI
    if (vespra::cli::add_cli_main(module) < 0) return -1;
#endif
    if (vespra::tracer::add_fork_hooks(module) < 0) return -1;
    if (vespra::naming::add_naming_functions(module) < 0) return -1;
    if (vespra::marks_api::add_marks(module) < 0) return -1;
    if (vespra::dumps::add_dump(module) < 0) return -1;
    return vespra::tracer::register_fork_hooks(module) ? 0 : -1;
}

PyModuleDef_Slot CORE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_core)},
    // Every entry point is safe to call from several threads at once: keep the GIL off (on the
    // free-threaded build; see pyapi.h).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // ACTIVE, the start lock and the thread-local recorders are process-wide: a second
    // interpreter in the same process would share them with objects it cannot touch.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef CORE_MODULE = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_core",
    .m_doc = nullptr,
    .m_size = 0,  // no per-module state
    .m_methods = CORE_METHODS,
    .m_slots = CORE_SLOTS,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&CORE_MODULE); }
