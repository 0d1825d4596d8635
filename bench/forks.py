"""What a fork costs a traced program.

Before a fork the tracer writes what its threads recorded and stops its export threads (so that
the interpreter, counting threads after the fork, sees only the program's), while its callbacks
go on recording; the threads come back with the first batch the process records after the
fork. Two timings, each untraced and under `vespra run`, in separate processes,
alternating:

  fork   one os.fork() in the parent, the child leaving at once with os._exit (median of
         --forks forks per process)
  pool   multiprocessing.get_context("fork").Pool(8): start it and map 64 small tasks (its
         shutdown, paced by its handler threads' polling, is left out)

    .venv/bin/python bench/forks.py [--runs N] [--forks N]

Prints the median over --runs processes of each timing, in milliseconds, and the ratio.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

PROGRAM = r"""
import multiprocessing, os, statistics, sys, time

def square(x):
    return x * x

def one_fork():
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    elapsed = time.perf_counter() - start
    os.waitpid(pid, 0)
    return elapsed

if __name__ == "__main__":
    if sys.argv[1] == "fork":
        print(statistics.median(one_fork() for _ in range(int(sys.argv[2]))) * 1e3)
    else:
        start = time.perf_counter()
        pool = multiprocessing.get_context("fork").Pool(8)
        assert sum(pool.map(square, range(64))) == 85344
        print((time.perf_counter() - start) * 1e3)
        pool.terminate()
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--forks", type=int, default=50)
    args = parser.parse_args()
    vespra = str(pathlib.Path(sys.executable).parent / "vespra")
    env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}
    with tempfile.TemporaryDirectory() as tmp:
        script = pathlib.Path(tmp, "forks.py")
        script.write_text(PROGRAM)
        trace = str(pathlib.Path(tmp, "t.pb"))
        for what, extra in (("fork", [str(args.forks)]), ("pool", [])):
            times = {"untraced": [], "vespra": []}
            for _ in range(args.runs):
                for mode, argv0 in (("untraced", [sys.executable]),
                                    ("vespra", [vespra, "run", "-o", trace])):
                    out = subprocess.run([*argv0, str(script), what, *extra], env=env, cwd=tmp,
                                         capture_output=True, text=True, check=True).stdout
                    times[mode].append(float(out))
            base, traced = (statistics.median(times[m]) for m in ("untraced", "vespra"))
            print(f"{what:5} untraced {base:8.3f} ms   vespra {traced:8.3f} ms"
                  f"   ratio {traced / base:5.2f}")


if __name__ == "__main__":
    main()
