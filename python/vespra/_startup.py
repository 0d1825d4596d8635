"""Joins a Python process started with exec from a traced one to its parent's trace.

Imported at interpreter start-up by the `vespra-startup.pth` line in site-packages, and only
when the traced parent exported VESPRA_CHILD_OUTPUT and VESPRA_CHILD_FORMAT. The tracer writes
beside the parent's records in the same file, on the parent's time base when the parent also
exported VESPRA_CHILD_ORIGIN (the trace's origin on CLOCK_MONOTONIC, in nanoseconds), and is
stopped at interpreter exit, after the program's own exit handlers, so that this process's part
of the file is complete. A process that cannot join says so once on standard error and runs
untraced.

SIGTERM normally ends a process without exit handlers, and it is how multiprocessing stops its
pool workers; `_enter_as_child` arranges (in the extension, where a signal cannot be missed while
the main thread blocks) that, unless the program handles SIGTERM itself, the process stops its
tracer first and then dies of the signal as it would have.
"""

import atexit
import os
import sys

_tracer = None


def _warn(what, exc):
    if sys.stderr is not None:
        try:
            print(f"vespra: {what} (pid {os.getpid()}): {exc}", file=sys.stderr, flush=True)
        except Exception:
            pass


def _flag(name):
    return os.environ.get("VESPRA_CHILD_" + name) == "1"


def _recording_options():
    """What the parent records, as Tracer's keyword arguments: patterns one per line."""
    options = {}
    for key in ("include", "exclude", "args", "returns"):
        text = os.environ.get("VESPRA_CHILD_" + key.upper(), "")
        options[key] = [pattern for pattern in text.split("\n") if pattern]
    for key in ("exclude_stdlib", "exclude_site_packages", "c_calls", "exceptions", "args_repr"):
        options[key] = _flag(key.upper())
    # The parent's limits: a depth (0 for none) and a minimum duration in nanoseconds.
    if os.environ.get("VESPRA_CHILD_MAX_DEPTH"):
        options["max_depth"] = int(os.environ["VESPRA_CHILD_MAX_DEPTH"])
    if os.environ.get("VESPRA_CHILD_MIN_DURATION"):
        options["min_duration"] = int(os.environ["VESPRA_CHILD_MIN_DURATION"]) / 1e9
    # A ring of the parent's size, in bytes.
    if os.environ.get("VESPRA_CHILD_RING"):
        options["ring"] = int(os.environ["VESPRA_CHILD_RING"])
    return options


def start():
    """Enters a child tracer from the environment, if there is something to join."""
    global _tracer
    output = os.environ.get("VESPRA_CHILD_OUTPUT")
    fmt = os.environ.get("VESPRA_CHILD_FORMAT")
    if _tracer is not None or not output or not fmt:
        return
    origin = os.environ.get("VESPRA_CHILD_ORIGIN", "")
    # Without a usable origin the process still joins, on a time base of its own.
    origin = int(origin) if origin.isdigit() and origin.isascii() else None
    if origin is not None and origin >= 1 << 64:
        origin = None
    try:
        from vespra._core import Tracer

        tracer = Tracer(output, fmt, _flag("LOSSLESS"), gc=_flag("GC"), **_recording_options())
        tracer._enter_as_child(origin)
    except Exception as exc:
        _warn(f"not tracing this process into {output}", exc)
        return
    _tracer = tracer
    # Registered before the program's own handlers, so it runs after them. The tracer's own
    # method, not a Python function calling it: a function would begin in the trace and never
    # end there.
    atexit.register(tracer.__exit__, None, None, None)


def stop():
    """Stops the child tracer, if this process joined a trace; its records are then complete."""
    global _tracer
    tracer, _tracer = _tracer, None
    if tracer is None:
        return
    atexit.unregister(tracer.__exit__)
    try:
        tracer.__exit__(None, None, None)
    except Exception as exc:
        _warn("the trace of this process is incomplete", exc)


start()
