"""Instructions per function event, counted by callgrind.

Wall time on a shared two-core machine is noisy; instruction counts are not. This runs one
single-threaded workload under `valgrind --tool=callgrind` for each mode, at size 0 and at the
chosen size, so that interpreter start-up, imports and the tracer's start and stop cancel out,
and divides what is left by the number of events the workload makes (read from vespra's trace):

    untraced   instructions of the program itself per event (how call-dense the workload is)
    floor      added by the interpreter's dispatch to no-op callbacks, per event
    json, protobuf
               added by vespra per event, split into the recording thread (the hot path:
               the callbacks) and vespra's own threads (serializer, exporter, writer)

    .venv/bin/python bench/callgrind.py                          # recursion, all modes
    .venv/bin/python bench/callgrind.py -w methods --annotate 25 # and where protobuf's go

--annotate N prints the N functions of the recording thread that cost the most per event under
vespra, beside their cost untraced and under the floor; it also keeps per-instruction data
(--dump-instr=yes) so that, with --out-dir, callgrind_annotate --auto=yes can show the lines.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import overhead  # noqa: E402
import workloads  # noqa: E402

MODES = ("untraced", "floor", "recorder", "protobuf", "json", "pb-incremental", "min10us", "ring",
         "nostdlib", "ccalls", "excluded", "unvalued", "values")
DEFAULT_MODES = MODES[:5]


def thread_totals(prefix):
    """{thread number: instructions} of one callgrind run made with --separate-threads=yes,
    whose files are <prefix>-01, <prefix>-02, ... (thread 1 is the main thread)."""
    totals = {}
    for path in glob.glob(prefix + "-*"):
        thread = int(path.rsplit("-", 1)[1])
        with open(path) as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    totals[thread] = int(line.split()[1])
                    break
    if not totals:
        raise RuntimeError(f"no callgrind output at {prefix}-*")
    return totals


# The clock vespra selects, which the bare recorder reads too (asked once, when first needed).
RECORDER_CLOCK = None


def run_callgrind(out_dir, workload, mode, size, dump_instr):
    global RECORDER_CLOCK
    if RECORDER_CLOCK is None:
        RECORDER_CLOCK = overhead.vespra_clock()
    prefix = os.path.join(out_dir, f"callgrind.{workload}.{mode}.{size}")
    trace = os.path.join(out_dir, f"{workload}.{mode}.{size}.trace")
    cmd = ["valgrind", "--tool=callgrind", "--separate-threads=yes",
           f"--callgrind-out-file={prefix}", f"--dump-instr={'yes' if dump_instr else 'no'}",
           sys.executable, os.path.join(HERE, "overhead.py"), "--child", workload, mode,
           str(size), trace]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=overhead.child_env(None, RECORDER_CLOCK))
    if proc.returncode != 0:
        raise RuntimeError(f"callgrind {workload}/{mode}/{size} failed:\n{proc.stderr[-3000:]}")
    run = {"prefix": prefix, "threads": thread_totals(prefix)}
    if mode in overhead.VESPRA_MODES:
        events, dropped = overhead.count_trace(trace, mode)
        run["events"] = events + dropped
        os.unlink(trace)
    return run


def per_event(runs, events):
    """Rows of the report: instructions of the workload (size N minus size 0) per event,
    on the main thread, on the other threads and in total, and the total over untraced."""
    rows = {}
    for mode, (empty, full) in runs.items():
        main = full["threads"].get(1, 0) - empty["threads"].get(1, 0)
        others = (sum(v for t, v in full["threads"].items() if t != 1)
                  - sum(v for t, v in empty["threads"].items() if t != 1))
        rows[mode] = {"main": main / events, "others": others / events,
                      "total": (main + others) / events}
    base = rows.get("untraced")
    for row in rows.values():
        row["added"] = row["total"] - base["total"] if base else None
    return rows


def function_costs(callgrind_file):
    """{function: exclusive instructions} of one thread's callgrind file."""
    out = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no",
                          callgrind_file], capture_output=True, text=True, check=True).stdout
    costs = {}
    for line in out.splitlines():
        m = COST_LINE.match(line)
        if m and ":" in m.group(2) and "PROGRAM TOTALS" not in m.group(2):
            # "file:function [object]"; with --dump-instr=yes the code a function inlined is
            # listed under the inlined file, so sum by function.
            function = m.group(2).split(" [")[0].partition(":")[2]
            name = function.replace("(anonymous namespace)::", "").split("(")[0].strip()
            costs[name] = costs.get(name, 0) + int(m.group(1).replace(",", ""))
    return costs


COST_LINE = re.compile(r"^\s*([\d,]+)\s+\([^)]*\)\s+(\S.*)$")


def annotate(runs, events, top):
    """The recording thread's functions to which the first vespra mode adds the most
    instructions per event, beside what they cost untraced and under the floor (size N
    minus size 0)."""
    per_mode = {}
    for mode, (empty, full) in runs.items():
        before = function_costs(empty["prefix"] + "-01")
        after = function_costs(full["prefix"] + "-01")
        per_mode[mode] = {f: (after.get(f, 0) - before.get(f, 0)) / events
                          for f in set(before) | set(after)}
    traced = next(m for m in MODES if m in per_mode and m in overhead.VESPRA_MODES)
    columns = [m for m in MODES if m in per_mode]
    base = per_mode.get("untraced", {})
    ranked = sorted(per_mode[traced].items(), key=lambda kv: base.get(kv[0], 0.0) - kv[1])[:top]
    lines = [f"instructions per event on the recording thread, by function "
             f"(the {top} to which {traced} adds most)",
             "  ".join(f"{m:>9}" for m in columns) + "  function"]
    for name, _ in ranked:
        lines.append("  ".join(f"{per_mode[m].get(name, 0.0):9.1f}" for m in columns)
                     + "  " + name)
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-w", "--workload", default="recursion",
                        choices=[w for w in workloads.WORKLOADS if w != "threads"])
    parser.add_argument("-n", "--size", type=int,
                        help="workload size (default: 1/60 of the overhead benchmark's)")
    parser.add_argument("-m", "--modes", default=",".join(DEFAULT_MODES))
    parser.add_argument("--annotate", type=int, metavar="N", default=0,
                        help="print the N costliest functions of the recording thread per event")
    parser.add_argument("--out-dir", help="keep callgrind's files here")
    args = parser.parse_args(argv)
    modes = [m for m in args.modes.split(",") if m]
    for m in modes:
        if m not in MODES:
            parser.error(f"unknown mode: {m}")
    if not any(m in overhead.VESPRA_MODES for m in modes):
        parser.error("at least one of json, protobuf is needed to count the events")
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed (Debian package valgrind)")
    size = args.size or max(1, workloads.DEFAULT_SIZES[args.workload] // 60)

    out_dir = args.out_dir or tempfile.mkdtemp(prefix="vespra-callgrind-")
    os.makedirs(out_dir, exist_ok=True)
    try:
        runs = {}
        for mode in modes:
            print(f"  callgrind {args.workload} under {mode} ...", file=sys.stderr, flush=True)
            runs[mode] = tuple(run_callgrind(out_dir, args.workload, mode, n, args.annotate > 0)
                               for n in (0, size))
        events = max(full["events"] for _, full in runs.values() if "events" in full)
        rows = per_event(runs, events)
        print(f"callgrind, {args.workload} size {size}: {events} events; instructions per event "
              "(size N minus size 0)")
        print(f"{'mode':>9}  {'recording':>9}  {'vespra thr':>10}  {'total':>8}  {'added':>8}")
        for mode, row in rows.items():
            print(f"{mode:>9}  {row['main']:9.1f}  {row['others']:10.1f}  {row['total']:8.1f}  "
                  f"{overhead.fmt(row['added'], '8.1f')}")
        if args.annotate:
            print()
            print(annotate(runs, events, args.annotate))
    finally:
        if args.out_dir is None:
            shutil.rmtree(out_dir, ignore_errors=True)
        else:
            print(f"callgrind files kept in {out_dir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
