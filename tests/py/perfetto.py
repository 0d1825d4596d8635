"""Perfetto's own trace reader, trace_processor_shell, where the machine has it: it reads a trace
the way the Perfetto UI does, so what it counts as an error is a fault of ours. Looked for in
VESPRA_TRACE_PROCESSOR, on PATH, then in shared/tools beside the checkout; a test skips its check,
saying so (MISSING), when it is in neither."""

import csv
import os
import pathlib
import shutil
import subprocess

SHELL = next((str(c) for c in (os.environ.get("VESPRA_TRACE_PROCESSOR"),
                                shutil.which("trace_processor_shell"),
                                pathlib.Path(__file__).resolve().parents[3] / "shared" / "tools"
                                / "trace_processor_shell") if c and os.access(c, os.X_OK)), None)
MISSING = ("Perfetto's trace_processor_shell not found (VESPRA_TRACE_PROCESSOR, or shared/tools "
           "beside the checkout): its check of the trace is skipped")


def query(trace, sql):
    """The rows of `sql` over `trace`, as dicts of text."""
    proc = subprocess.run([SHELL, "-Q", sql, str(trace)], capture_output=True, text=True,
                          timeout=600)
    if proc.returncode != 0:
        raise AssertionError(f"trace_processor failed on {trace}: {proc.stderr[-2000:]}")
    return list(csv.DictReader(proc.stdout.splitlines()))


def faults(trace):
    """The stats that make a trace faulty: {name: value} of severity error or data_loss."""
    rows = query(trace, "select name, idx, value from stats "
                        "where value > 0 and severity in ('error', 'data_loss')")
    return {f"{r['name']}[{r['idx']}]" if r["idx"] else r["name"]: int(r["value"]) for r in rows}


def unended(trace):
    """The names of the slices that never ended (duration -1)."""
    return [r["name"] for r in query(trace, "select name from slice where dur = -1")]
