#include "cli.h"

namespace vespra::cli {
namespace {

PyObject* cli_main(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "cli_main is not available yet");
    return nullptr;
}

PyMethodDef CLI_MAIN_DEF = {
    "cli_main", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cli_main)),
    METH_FASTCALL | METH_KEYWORDS, "cli_main(argv)\n--\n\n"};

}  // namespace

int add_cli_main(PyObject* module) {
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return -1;
    PyObject* fn = PyCFunction_NewEx(&CLI_MAIN_DEF, nullptr, name);
    Py_DECREF(name);
    if (fn == nullptr) return -1;
    return PyModule_Add(module, "cli_main", fn);
}

}  // namespace vespra::cli
