"""Whole-program overhead of tracing, against the interpreter's own floor and a bare recorder.

Runs every workload of workloads.py under each mode -- untraced, the no-op sys.monitoring
callbacks of _vespra_floor ("floor"), _vespra_floor's bare recorder reading the clock vespra
selects ("recorder"), vespra writing protobuf and JSON, and on request cProfile, vespra's
lossless protobuf, protobuf with incremental timestamps ("pb-incremental") and protobuf with a
minimum duration of 10 us ("min10us") -- each repetition in a fresh interpreter, and prints one
table of medians and one summary over the workloads. Only the workload call is timed; interpreter start-up, imports
and the tracer's start and stop are not (start and stop get columns of their own). Repetitions
are interleaved across modes so that a noisy neighbour hurts every mode alike.

    .venv/bin/python bench/overhead.py                 # everything, 5 repetitions
    .venv/bin/python bench/overhead.py --busy          # the same with a compile on every core
    .venv/bin/python bench/overhead.py -w recursion -m untraced,floor,protobuf -r 3

See bench/README.md for the columns. `--child` is the entry point of the subprocesses.
"""

import argparse
import contextlib
import json
import math
import mmap
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import workloads  # noqa: E402

MODES = ("untraced", "floor", "recorder", "cprofile", "protobuf", "json", "lossless",
         "pb-incremental", "min10us", "nostdlib", "ccalls", "excluded", "ring", "unvalued",
         "values")
DEFAULT_MODES = ("untraced", "floor", "recorder", "protobuf", "json")
# vespra's modes and the format each writes; "pb-incremental" is protobuf whose event packets
# carry deltas instead of absolute timestamps, the last five protobuf with options.
VESPRA_MODES = {"json": "json", "protobuf": "protobuf", "lossless": "protobuf",
                "pb-incremental": "protobuf", "min10us": "protobuf", "nostdlib": "protobuf",
                "ccalls": "protobuf", "excluded": "protobuf", "ring": "protobuf",
                "unvalued": "protobuf", "values": "protobuf"}
VESPRA_OPTIONS = {
    "lossless": {"lossless": True},
    "min10us": {"min_duration": 10e-6},
    "nostdlib": {"exclude_stdlib": True},  # the standard library left out
    "ccalls": {"c_calls": True},
    "excluded": {"exclude": ["workloads"]},  # the workload itself left out: what DISABLE buys
    "ring": {"ring": 64_000_000},  # a flight ring: nothing written until the stop
    # Calls' values asked for code that never runs: what the flag's lookup costs every call.
    "unvalued": {"args": ["no_such_module"], "returns": ["no_such_module"]},
    # Every call of the workload records its arguments and return value.
    "values": {"args": ["workloads"], "returns": ["workloads"]},
}

# vespra's added time per event, as a multiple of the bare recorder's with the same clock, that
# it must stay under on call-heavy workloads.
TARGET_RATIO = 1.2

# Combinations that are not measured, and why.
UNSUPPORTED = {
    ("threads", "cprofile"): "cProfile's call stack is not safe against concurrent threads on the "
    "free-threaded build; runs either corrupt it or spin forever in Profile.disable()",
}

# A repetition that takes longer than this is reported as hung.
RUN_TIMEOUT_S = 600

# Set by --cpu for the subprocesses: the CPU the workload runs on.
CPU_VAR = "VESPRA_BENCH_CPU"
# Set for the subprocesses: the clock the bare recorder reads ("tsc" or "monotonic").
RECORDER_CLOCK_VAR = "VESPRA_BENCH_RECORDER_CLOCK"


# --------------------------------------------------------------------------- in the subprocess


def helper_thread_cpu():
    """{thread id: (name, CPU nanoseconds)} of this process's vespra threads ("vespra-exporter",
    "vespra-serializ": the kernel keeps 15 characters of a name). Read from /proc so that
    threads which are not Python threads can be measured too. Keyed by thread id because a
    thread is known by its creator's name until it has named itself."""
    cpu = {}
    task_dir = "/proc/self/task"
    for tid in os.listdir(task_dir):
        try:
            with open(f"{task_dir}/{tid}/comm") as f:
                name = f.read().strip()
            if name.startswith("vespra-"):
                cpu[int(tid)] = (name, _thread_cpu_ns(f"{task_dir}/{tid}"))
        except OSError:  # the thread ended between listdir and open
            continue
    return cpu


def helper_switches():
    """Context switches (voluntary and not) of this process's vespra threads so far: how often
    they slept and woke."""
    total = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if not f.read().startswith("vespra-"):
                    continue
            with open(f"/proc/self/task/{tid}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except (OSError, ValueError):
            continue
    return total


def helper_cpu_by_name(before, after):
    """CPU nanoseconds each vespra thread used between two helper_thread_cpu() readings, by the
    thread's name at the second."""
    used = {}
    for tid, (name, ns) in after.items():
        used[name] = used.get(name, 0) + ns - before.get(tid, (name, 0))[1]
    return used


def _thread_cpu_ns(task):
    try:
        with open(f"{task}/schedstat") as f:  # nanoseconds on the CPU
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        with open(f"{task}/stat") as f:  # utime + stime in clock ticks
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1_000_000_000 // os.sysconf("SC_CLK_TCK")


def _other_mode(mode):
    """(start, stop) of a mode that is not vespra: what surrounds the timed workload call."""
    if mode == "floor":
        import _vespra_floor

        return _vespra_floor.enable, _vespra_floor.disable
    if mode == "recorder":
        import _vespra_floor

        clock = os.environ.get(RECORDER_CLOCK_VAR, "monotonic")
        return (lambda: _vespra_floor.enable(None, clock)), _vespra_floor.disable
    if mode == "cprofile":
        import cProfile

        profile = cProfile.Profile()
        return profile.enable, profile.disable
    if mode == "untraced":
        return (lambda: None), (lambda: None)
    raise ValueError(f"unknown mode: {mode}")


def run_child(workload, mode, size, trace):
    """Runs one workload once under one mode and returns the measurements as a dict."""
    fn = workloads.WORKLOADS[workload]
    cpu = int(os.environ[CPU_VAR]) if CPU_VAR in os.environ else None
    if cpu is not None:
        # Threads inherit the affinity of the thread that starts them: the tracer's threads get
        # every other CPU, the workload's threads the one CPU of this thread.
        others = os.sched_getaffinity(0) - {cpu}
        os.sched_setaffinity(0, others if mode in VESPRA_MODES and others else {cpu})
    out = {}
    if mode in VESPRA_MODES:
        import vespra

        t_enter = time.perf_counter()
        options = VESPRA_OPTIONS.get(mode, {})
        if mode == "pb-incremental":
            vespra._core._incremental_timestamps(True)
        with vespra.Tracer(trace, VESPRA_MODES[mode], **options):
            if cpu is not None:
                os.sched_setaffinity(0, {cpu})
            t_in = time.perf_counter()
            switches0 = helper_switches()
            helpers0, cpu0 = helper_thread_cpu(), time.process_time_ns()
            t0 = time.perf_counter()
            out["checksum"] = fn(size)
            t1 = time.perf_counter()
            # Before the tracer stops: afterwards its threads are gone.
            cpu1, helpers1 = time.process_time_ns(), helper_thread_cpu()
            out["helper_switches"] = helper_switches() - switches0
            t_out = time.perf_counter()
        t_exit = time.perf_counter()
        helpers = helper_cpu_by_name(helpers0, helpers1)
        out["helper_cpu_ns"] = helpers
        out["program_cpu_ns"] = cpu1 - cpu0 - sum(helpers.values())
        out["start_s"] = t_in - t_enter
        out["stop_s"] = t_exit - t_out
    else:
        start, stop = _other_mode(mode)
        start()
        cpu0, t0 = time.process_time_ns(), time.perf_counter()
        out["checksum"] = fn(size)
        t1, cpu1 = time.perf_counter(), time.process_time_ns()
        stop()
        out["program_cpu_ns"] = cpu1 - cpu0
    out["wall_s"] = t1 - t0
    return out


# --------------------------------------------------------------------------- trace reading


def count_trace(path, fmt):
    """Returns (events, dropped) of a trace file: events are the begin and end records (JSON) or
    slice events (protobuf) that reached the file, dropped the loss the tracer reported in it."""
    import _vespra_tracecount

    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size == 0:
            return 0, 0
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            reader = _vespra_tracecount.json if fmt == "json" else _vespra_tracecount.protobuf
            _, begins, ends, dropped = reader(m)
    return begins + ends, dropped


# --------------------------------------------------------------------------- the driver


def child_env(cpu, recorder_clock=None):
    """The subprocesses' environment: string hashing fixed, so that dictionary probe lengths,
    and with them the work done, are the same in every run and under every mode."""
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    env.pop(CPU_VAR, None)
    if cpu is not None:
        env[CPU_VAR] = str(cpu)
    if recorder_clock is not None:
        env[RECORDER_CLOCK_VAR] = recorder_clock
    return env


def vespra_clock():
    """The clock a vespra run started now would read ("tsc" or "monotonic"), asked of a fresh
    interpreter with this environment (VESPRA_CLOCK included)."""
    proc = subprocess.run([sys.executable, "-c", "import vespra._core as c; print(c._clock())"],
                          capture_output=True, text=True, env=child_env(None))
    if proc.returncode != 0:
        return "monotonic"
    return proc.stdout.strip().splitlines()[-1]


# --------------------------------------------------------------------------- the busy machine

BUSY_SOURCE = r"""
#include <map>
#include <string>
#include <vector>
#include <algorithm>
template <int N> struct Fib { static constexpr long v = Fib<N - 1>::v + Fib<N - 2>::v; };
template <> struct Fib<0> { static constexpr long v = 0; };
template <> struct Fib<1> { static constexpr long v = 1; };
std::map<std::string, std::vector<long>> table() {
    std::map<std::string, std::vector<long>> m;
    for (int i = 0; i < 100; ++i) m[std::to_string(i)].push_back(Fib<40>::v + i);
    return m;
}
"""


class BusyMachine:
    """A parallel compile on every core for as long as it is entered: one process per CPU, each
    compiling a small C++ file over and over (a C++ compiler's memory traffic, not a spin loop's).
    Without a compiler, a Python spin loop per CPU instead."""

    def __init__(self):
        self.procs = []
        self.dir = None

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="vespra-busy-")
        src = os.path.join(self.dir, "busy.cc")
        with open(src, "w") as f:
            f.write(BUSY_SOURCE)
        cxx = shutil.which("c++") or shutil.which("g++")
        for k in range(os.cpu_count() or 1):
            if cxx:
                cmd = ["sh", "-c", f'while :; do "{cxx}" -O2 -c "{src}" -o "{self.dir}/o{k}.o"; done']
            else:
                cmd = [sys.executable, "-c", "while True: pass"]
            self.procs.append(subprocess.Popen(cmd, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL, start_new_session=True))
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            try:
                os.killpg(p.pid, 15)
            except ProcessLookupError:
                pass
            p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def run_once(workload, mode, size, trace_dir, keep, cpu, recorder_clock=None):
    trace = os.path.join(trace_dir, f"{workload}.{mode}.{'json' if mode == 'json' else 'pb'}")
    cmd = [sys.executable, os.path.abspath(__file__), "--child", workload, mode, str(size), trace]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=RUN_TIMEOUT_S,
                              env=child_env(cpu, recorder_clock))
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"{workload}/{mode} did not finish within {RUN_TIMEOUT_S} s") from None
    if proc.returncode != 0:
        raise RuntimeError(f"{workload}/{mode} failed ({proc.returncode}):\n{proc.stderr.strip()}")
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    if mode in VESPRA_MODES:
        result["trace_bytes"] = os.path.getsize(trace)
        result["events"], result["dropped"] = count_trace(trace, VESPRA_MODES[mode])
        if not keep:
            os.unlink(trace)
    return result


def mode_available(mode):
    """None if the subprocess can use the mode, else why not."""
    module = {"floor": "_vespra_floor", "recorder": "_vespra_floor"}.get(mode)
    if mode in VESPRA_MODES:
        module = "vespra"
    if module is None:
        return None
    check = f"import {module}" + ("; vespra.Tracer" if module == "vespra" else "")
    proc = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True)
    if proc.returncode != 0:
        return proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else "import failed"
    return None


def summarize(runs):
    """Median of each measurement over the repetitions of one (workload, mode)."""
    med = lambda key: statistics.median(r[key] for r in runs)  # noqa: E731
    s = {"wall_s": med("wall_s"), "program_cpu_ns": med("program_cpu_ns"), "reps": len(runs)}
    s["checksums"] = {r["checksum"] for r in runs}
    if "events" in runs[0]:
        for key in ("events", "dropped", "trace_bytes", "start_s", "stop_s", "helper_switches"):
            s[key] = med(key)
        s["max_dropped"] = max(r["dropped"] for r in runs)
        s["total_dropped"] = sum(r["dropped"] for r in runs)
        names = {n for r in runs for n in r["helper_cpu_ns"]}
        s["helper_cpu_ns"] = {n: statistics.median(r["helper_cpu_ns"].get(n, 0) for r in runs)
                              for n in names}
    return s


def derive(summary):
    """Adds the columns computed across modes of one workload: ratios to untraced, to the floor
    and to the bare recorder, and the overhead per event. The number of events of a workload is
    what the vespra runs saw: written plus dropped (it is the same under every mode, the work
    being fixed)."""
    for workload, by_mode in summary.items():
        base = by_mode.get("untraced")
        totals = [s["events"] + s["dropped"] for s in by_mode.values() if "events" in s]
        events = max(totals) if totals else None
        for s in by_mode.values():
            if base:
                s["x_untraced"] = s["wall_s"] / base["wall_s"]
                s["x_untraced_cpu"] = s["program_cpu_ns"] / base["program_cpu_ns"]
                s["overhead_s"] = s["wall_s"] - base["wall_s"]
                s["overhead_cpu_ns"] = s["program_cpu_ns"] - base["program_cpu_ns"]
        for mode, s in by_mode.items():
            if base:
                # The same ratios in CPU time of the traced program's own threads: steadier
                # than wall time when the machine is shared.
                for yardstick, key in (("floor", "x_floor"), ("recorder", "x_recorder")):
                    ref = by_mode.get(yardstick)
                    if ref and ref["wall_s"] > base["wall_s"]:
                        s[key] = s["overhead_s"] / ref["overhead_s"]
                    if ref and ref["program_cpu_ns"] > base["program_cpu_ns"]:
                        s[key + "_cpu"] = s["overhead_cpu_ns"] / ref["overhead_cpu_ns"]
                if events:
                    s["ns_per_event"] = s["overhead_s"] / events * 1e9
                    s["cpu_ns_per_event"] = s["overhead_cpu_ns"] / events
            if "events" in s:
                s["events_per_s"] = s["events"] / s["wall_s"]


def fmt(value, spec, missing="-"):
    return missing if value is None else format(value, spec)


COLUMNS = [
    # (title, width, how to render one summary)
    ("workload", 10, lambda w, m, s: w),
    ("mode", 14, lambda w, m, s: m),
    ("median s", 8, lambda w, m, s: fmt(s["wall_s"], ".3f")),
    ("x untr", 6, lambda w, m, s: fmt(s.get("x_untraced"), ".2f")),
    ("cpu x untr", 10, lambda w, m, s: fmt(s.get("x_untraced_cpu"), ".2f")),
    ("ovh/floor", 9, lambda w, m, s: fmt(s.get("x_floor"), ".2f")),
    ("ovh/rec", 7, lambda w, m, s: fmt(s.get("x_recorder"), ".2f")),
    ("cpu ovh/rec", 11, lambda w, m, s: fmt(s.get("x_recorder_cpu"), ".2f")),
    ("ns/event", 8, lambda w, m, s: fmt(s.get("ns_per_event"), ".1f")),
    ("cpu ns/ev", 9, lambda w, m, s: fmt(s.get("cpu_ns_per_event"), ".1f")),
    ("Mev/s", 6, lambda w, m, s: fmt(s.get("events_per_s") and s["events_per_s"] / 1e6, ".1f")),
    ("events", 10, lambda w, m, s: fmt(s.get("events"), ".0f")),
    ("dropped", 8, lambda w, m, s: fmt(s.get("dropped"), ".0f")),
    ("trace MB", 8, lambda w, m, s: fmt(s.get("trace_bytes") and s["trace_bytes"] / 1e6, ".1f")),
    ("B/event", 7, lambda w, m, s: fmt(_per_event(s, s.get("trace_bytes")), ".1f")),
    ("export ns/ev", 12,
     lambda w, m, s: fmt(_per_event(s, sum(s.get("helper_cpu_ns", {}).values()) or None), ".1f")),
    ("start ms", 8, lambda w, m, s: fmt(s.get("start_s") and s["start_s"] * 1e3, ".1f")),
    ("stop ms", 8, lambda w, m, s: fmt(s.get("stop_s") and s["stop_s"] * 1e3, ".1f")),
    ("prog CPU s", 10, lambda w, m, s: fmt(s["program_cpu_ns"] / 1e9, ".3f")),
    ("wake-ups", 8, lambda w, m, s: fmt(s.get("helper_switches"), ".0f")),
    ("exporter %", 10, lambda w, m, s: _helper_share(s, "vespra-exporter")),
    ("serializer %", 12, lambda w, m, s: _helper_share(s, "vespra-serializ")),
]


def _per_event(s, value):
    return value / s["events"] if value is not None and s.get("events") else None


def _helper_share(s, name):
    cpu = s.get("helper_cpu_ns", {}).get(name)
    if cpu is None or s["program_cpu_ns"] <= 0:
        return "-"
    return format(100 * cpu / s["program_cpu_ns"], ".1f")


def render_table(summary):
    lines = ["  ".join(title.rjust(width) for title, width, _ in COLUMNS)]
    for workload, by_mode in summary.items():
        for mode, s in by_mode.items():
            lines.append("  ".join(render(workload, mode, s).rjust(width)
                                   for _, width, render in COLUMNS))
    return "\n".join(lines)


def geomean(values):
    values = [v for v in values if v is not None and v > 0]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


def summary_table(summary, modes):
    """One row per mode over all the workloads, as the project reports overhead: geometric mean
    of traced / untraced time (wall and program CPU), the range of the time added per event, and
    for vespra the events dropped (all repetitions) and its threads' CPU against the program's."""
    lines = ["| mode | x untraced, wall | x untraced, program CPU | added ns/event, wall "
             "| added ns/event, CPU | ovh/recorder, wall | ovh/recorder, CPU | dropped "
             "| export threads CPU / program CPU | bytes/event | export threads ns/event |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for mode in modes:
        rows = [by_mode[mode] for by_mode in summary.values() if mode in by_mode]
        if not rows or mode == "untraced":
            continue
        ns = [r.get("ns_per_event") for r in rows if r.get("ns_per_event") is not None]
        cpu_ns = [r.get("cpu_ns_per_event") for r in rows if r.get("cpu_ns_per_event") is not None]
        span = lambda v: f"{min(v):.0f}-{max(v):.0f}" if v else "-"  # noqa: E731
        dropped, helpers, size, export = "-", "-", "-", "-"
        if mode in VESPRA_MODES:
            dropped = str(sum(r["total_dropped"] for r in rows))
            helper = sum(sum(r["helper_cpu_ns"].values()) for r in rows)
            program = sum(r["program_cpu_ns"] for r in rows)
            helpers = f"{100 * helper / program:.0f} %" if program else "-"
            events = sum(r["events"] for r in rows)
            if events:  # over all the workloads' events
                size = f"{sum(r['trace_bytes'] for r in rows) / events:.1f}"
                export = f"{helper / events:.1f}"
        lines.append(
            f"| {mode} | {fmt(geomean([r.get('x_untraced') for r in rows]), '.2f')} "
            f"| {fmt(geomean([r.get('x_untraced_cpu') for r in rows]), '.2f')} "
            f"| {span(ns)} | {span(cpu_ns)} "
            f"| {fmt(geomean([r.get('x_recorder') for r in rows]), '.2f')} "
            f"| {fmt(geomean([r.get('x_recorder_cpu') for r in rows]), '.2f')} "
            f"| {dropped} | {helpers} | {size} | {export} |")
    return "\n".join(lines)


def verdicts(summary):
    """One line per check of the targets, and any inconsistency between modes."""
    lines = []
    for workload, by_mode in summary.items():
        checksums = {m: s["checksums"] for m, s in by_mode.items()}
        if len({c for cs in checksums.values() for c in cs}) > 1:
            lines.append(f"MISMATCH {workload}: modes computed different results {checksums}")
        for mode in VESPRA_MODES:
            s = by_mode.get(mode)
            if s is None:
                continue
            ratio = s.get("x_recorder")
            ok_ratio = ratio is not None and ratio <= TARGET_RATIO
            helpers = sum(s["helper_cpu_ns"].values())
            ok_cpu = helpers < s["program_cpu_ns"]
            ok_drop = s["max_dropped"] == 0
            lines.append(
                f"{'ok  ' if ok_ratio and ok_cpu and ok_drop else 'MISS'} {workload}/{mode}: "
                f"added time {fmt(ratio, '.2f')}x the bare recorder's (target <= {TARGET_RATIO}; "
                f"CPU {fmt(s.get('x_recorder_cpu'), '.2f')}x), "
                f"dropped in worst run {s['max_dropped']}, "
                f"export threads CPU {helpers / 1e9:.3f}s vs program {s['program_cpu_ns'] / 1e9:.3f}s")
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-w", "--workloads", default=",".join(workloads.WORKLOADS),
                        help="comma-separated workloads (default: all)")
    parser.add_argument("-m", "--modes", default=",".join(DEFAULT_MODES),
                        help=f"comma-separated modes of {', '.join(MODES)} "
                        f"(default: {','.join(DEFAULT_MODES)})")
    parser.add_argument("-r", "--reps", type=int, default=5, help="repetitions (default 5)")
    parser.add_argument("-s", "--scale", type=float, default=1.0,
                        help="multiply every workload size by this factor")
    parser.add_argument("--trace-dir", help="where traces are written (default: a temporary "
                        "directory, removed at the end)")
    parser.add_argument("--keep-traces", action="store_true",
                        help="keep the last trace of each workload and format")
    parser.add_argument("--raw", help="also write every repetition's measurements to this JSON file")
    parser.add_argument("--cpu", type=int, help="run the workload (all its threads) on this CPU "
                        "only and vespra's threads on the others: steadier comparisons where "
                        "cores run at different speeds")
    parser.add_argument("--busy", action="store_true", help="keep every CPU busy with a "
                        "parallel compile while measuring: what the export threads cost when "
                        "cores are scarce")
    args = parser.parse_args(argv)

    names = [w for w in args.workloads.split(",") if w]
    modes = [m for m in args.modes.split(",") if m]
    for w in names:
        if w not in workloads.WORKLOADS:
            parser.error(f"unknown workload: {w}")
    for m in modes:
        if m not in MODES:
            parser.error(f"unknown mode: {m}")
    if args.reps < 1:
        parser.error("--reps must be at least 1")
    if args.cpu is not None and args.cpu not in os.sched_getaffinity(0):
        parser.error(f"--cpu {args.cpu}: not one of the CPUs this process may use "
                     f"({sorted(os.sched_getaffinity(0))})")
    skipped = {m: why for m in modes if (why := mode_available(m))}
    modes = [m for m in modes if m not in skipped]
    sizes = {w: max(1, round(workloads.DEFAULT_SIZES[w] * args.scale)) for w in names}
    clock = vespra_clock() if "recorder" in modes or any(m in VESPRA_MODES for m in modes) else None

    print(f"python {sys.version.split()[0]} ({'GIL on' if sys._is_gil_enabled() else 'GIL off'}), "
          f"{os.cpu_count()} CPUs{f' (workload on CPU {args.cpu})' if args.cpu is not None else ''}, "
          f"{'machine kept busy (a compile on every CPU), ' if args.busy else ''}"
          f"{f'clock {clock}, ' if clock else ''}"
          f"{args.reps} repetitions, medians; sizes: "
          + ", ".join(f"{w}={n}" for w, n in sizes.items()))
    for m, why in skipped.items():
        print(f"skipping mode {m}: {why}")

    trace_dir = args.trace_dir or tempfile.mkdtemp(prefix="vespra-bench-")
    os.makedirs(trace_dir, exist_ok=True)
    for (w, m), why in UNSUPPORTED.items():
        if w in names and m in modes:
            print(f"not measuring {w}/{m}: {why}")
    runs = {w: {m: [] for m in modes if (w, m) not in UNSUPPORTED} for w in names}
    busy = BusyMachine() if args.busy else contextlib.nullcontext()
    try:
        with busy:
            for rep in range(args.reps):
                for w in names:
                    for m in runs[w]:
                        runs[w][m].append(run_once(w, m, sizes[w], trace_dir, args.keep_traces,
                                                   args.cpu, clock))
                print(f"  repetition {rep + 1}/{args.reps} done", file=sys.stderr, flush=True)
    finally:
        if args.keep_traces:
            print(f"traces kept in {trace_dir}")
        elif args.trace_dir is None:
            shutil.rmtree(trace_dir, ignore_errors=True)
    if args.raw:
        with open(args.raw, "w") as f:
            json.dump({"sizes": sizes, "runs": runs}, f, indent=1)

    summary = {w: {m: summarize(r) for m, r in by_mode.items()} for w, by_mode in runs.items()}
    derive(summary)
    print(render_table(summary))
    print()
    print(summary_table(summary, modes))
    print()
    for line in verdicts(summary):
        print(line)
    return 0


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] == "--child":
        if len(sys.argv) != 6:
            sys.exit("usage: overhead.py --child WORKLOAD MODE SIZE TRACE")
        _, _, workload, mode, size, trace = sys.argv
        print(json.dumps(run_child(workload, mode, int(size), trace)))
    else:
        sys.exit(main())
