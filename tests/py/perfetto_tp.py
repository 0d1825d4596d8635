"""Perfetto's own trace reader, trace_processor_shell, for the tests that check a trace the way
the Perfetto UI reads it. Found through VESPRA_TRACE_PROCESSOR, on PATH, or in the development
tools beside the checkout; tests skip, saying so, where there is none."""

import csv
import io
import os
import pathlib
import shutil
import subprocess

_BESIDE = pathlib.Path(__file__).resolve().parents[3] / "shared" / "tools"


def find():
    """The path of trace_processor_shell, or None."""
    named = os.environ.get("VESPRA_TRACE_PROCESSOR")
    if named:
        return named
    found = shutil.which("trace_processor_shell")
    if found:
        return found
    beside = _BESIDE / "trace_processor_shell"
    return str(beside) if os.access(beside, os.X_OK) else None


def query(path, sql, tool=None):
    """The rows of `sql` over the trace at `path`, as lists of strings (NULL as None)."""
    proc = subprocess.run([tool or find(), "-Q", sql, str(path)], capture_output=True,
                          text=True, timeout=300)
    if proc.returncode != 0:
        raise RuntimeError(f"trace_processor_shell failed: {proc.stderr[-2000:]}")
    rows = list(csv.reader(io.StringIO(proc.stdout)))
    return [[None if v == "[NULL]" else v for v in row] for row in rows[1:] if row]


def faults(path, tool=None):
    """The stats that say the trace is faulty (severity error or data_loss), as {name: value}."""
    rows = query(path, "select name, value from stats where value > 0 and "
                       "severity in ('error', 'data_loss')", tool)
    return {name: int(value) for name, value in rows}
