"""Whole programs under vespra's recording options: `python -m json.tool` on a file of about
20 MB, and compileall over a copy of the standard library (without its tests).

Each repetition runs the program in a fresh interpreter, untraced or under `vespra run` with one
set of options, and the table gives medians of the wall time (start-up and the trace's end
included), the CPU time of the process and its threads, the trace's size and its events (begins
and ends, counted in the file). Repetitions are interleaved across modes so that a noisy
neighbour hurts every mode alike.

    .venv/bin/python bench/filters.py                    # both programs, every mode, 3 repetitions
    .venv/bin/python bench/filters.py -p json.tool -m untraced,nostdlib -r 5
"""

import argparse
import json
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from overhead import count_trace  # noqa: E402

MODES = {
    "untraced": None,
    "protobuf": [],
    "nostdlib": ["--exclude-stdlib"],
    "min10us": ["--min-duration", "10us"],
    "ccalls": ["--c-calls"],
}
# What compileall leaves out of its copy of the standard library: the test suites and what was
# installed into it.
NOT_COPIED = ("__pycache__", "test", "tests", "idle_test", "site-packages", "dist-packages")


def make_json(path, target_bytes=20_000_000):
    """Records of mixed types, deterministic, about target_bytes as written (json.tool's
    indented output is about twice as large)."""
    rng = random.Random(1)
    records = []
    size = 0
    while size < target_bytes:
        record = {"id": len(records), "name": f"item-{rng.randrange(10**6)}",
                  "price": round(rng.random() * 1000, 2),
                  "tags": ["a", "b", "c"][: rng.randrange(4)], "active": rng.random() < 0.5,
                  "owner": {"id": rng.randrange(1000), "ok": None}}
        records.append(record)
        size += len(json.dumps(record)) + 2
    with open(path, "w") as f:
        json.dump(records, f)


def programs(work):
    data = os.path.join(work, "data.json")
    make_json(data)
    lib = os.path.join(work, "lib")
    shutil.copytree(sysconfig.get_paths()["stdlib"], lib,
                    ignore=shutil.ignore_patterns(*NOT_COPIED))
    return {
        "json.tool": ["-m", "json.tool", data, os.path.join(work, "out.json")],
        "compileall": ["-m", "compileall", "-q", "-f", lib],
    }


def run(argv, mode, trace):
    if MODES[mode] is None:
        cmd = [sys.executable] + argv
    else:
        # Options before `-m`, which takes every word after it.
        cmd = [sys.executable, "-m", "vespra", "run", "-q", "-o", trace] + MODES[mode] + argv
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    # The program's CPU time and that of vespra's threads, which a loaded machine shares out
    # less unevenly than wall time.
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if MODES[mode] is None:
        return wall, cpu, 0, 0
    events, _ = count_trace(trace, "protobuf")
    size = os.path.getsize(trace)
    os.unlink(trace)
    return wall, cpu, size, events


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-p", "--programs", default="json.tool,compileall")
    parser.add_argument("-m", "--modes", default=",".join(MODES))
    parser.add_argument("-r", "--reps", type=int, default=3)
    args = parser.parse_args()
    modes = args.modes.split(",")
    with tempfile.TemporaryDirectory() as work:
        progs = programs(work)
        trace = os.path.join(work, "t.pb")
        print(f"{'program':<11} {'mode':<9} {'wall s':>8} {'x untraced':>10} {'cpu s':>8} "
              f"{'x untraced':>10} {'trace MB':>9} {'events':>12}")
        for name in args.programs.split(","):
            runs = {mode: [] for mode in modes}
            for _ in range(args.reps):
                for mode in modes:
                    runs[mode].append(run(progs[name], mode, trace))
            medians = {mode: [statistics.median(column) for column in zip(*runs[mode])]
                       for mode in modes}
            base = medians.get("untraced")
            for mode in modes:
                wall, cpu, size, events = medians[mode]
                ratios = [f"{value / base[i]:10.2f}" if base else f"{'-':>10}"
                          for i, value in ((0, wall), (1, cpu))]
                print(f"{name:<11} {mode:<9} {wall:8.2f} {ratios[0]} {cpu:8.2f} {ratios[1]} "
                      f"{size / 1e6:9.1f} {events:12,.0f}")


if __name__ == "__main__":
    main()
