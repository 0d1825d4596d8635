// What a fork can leave held by a thread that does not exist in the child, and the interpreter
// does not set right itself (CPython 3.13's free-threaded build, and later ones as far as their
// sources show).
//
// A thread that starts a stop-the-world pause of the interpreter (a garbage collection, or a
// sys.monitoring.set_events) first takes the interpreter's pause mutex, then waits for the
// runtime's. If another thread forks in that instant, the fork holds the runtime's, and the child
// is born with the interpreter's pause mutex locked by a thread it does not have: the runtime's
// is set right after the fork, the interpreter's is not. The child's first pause then waits for
// ever, and a traced child's first act, enabling its callbacks, is such a pause. A collection
// left in that state also leaves the flag that admits one collection at a time raised, so the
// child would never collect cycles again.
//
// This is C, not C++, because it reads the interpreter's own structures, whose headers are C.
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>

#ifdef Py_GIL_DISABLED
#include "internal/pycore_interp.h"
#endif

#include "py/fork_repair.h"

void vespra_release_what_the_fork_left_held(void) {
#ifdef Py_GIL_DISABLED
    // Called in the child's after-fork hook: the one thread there runs Python code, so it is
    // neither inside a pause nor inside a collection; whatever holds them is gone.
    PyInterpreterState* interp = PyInterpreterState_Get();
    struct _stoptheworld_state* stw = &interp->stoptheworld;
    if (!stw->world_stopped && !stw->requested && PyMutex_IsLocked(&stw->mutex)) {
        _Py_atomic_store_uint8(&stw->mutex._bits, 0);
    }
    if (_Py_atomic_load_int(&interp->gc.collecting)) _Py_atomic_store_int(&interp->gc.collecting, 0);
#endif
}
