"""What a mark costs: vespra.instant, vespra.counter and a vespra.span entered and left, with no
run in the process (a library leaving marks in its code pays this) and under a run, beside an
empty Python function call, untraced and traced (the price of one call's two function events).

    .venv/bin/python bench/marks.py              # medians of 9 rounds of 200,000 calls each

Each figure is nanoseconds per call: the median over the rounds of one timed loop, less the
median of the same loop doing nothing (`pass`), so the loop's own cost cancels out.
"""

import argparse
import os
import statistics
import sys
import timeit

import vespra


def empty():
    pass


# Names bound in the setup are locals of the timed function, as `from vespra import instant`
# makes them cheap names in a library's code: the free-threaded 3.13 does not specialise global
# and attribute lookups, which would otherwise weigh more than the calls.
SETUP = ("from vespra import counter, instant, span; s = span('s'); f = empty; "
         "import threading; lock = threading.Lock()")
CASES = [
    ("instant(name)", "instant('tick')"),
    ("instant(name, 2 args)", "instant('tick', n=1, who='me')"),
    ("counter(name, int)", "counter('queue', 7)"),
    ("counter(name, float)", "counter('queue', 0.5)"),
    ("with span (made once)", "with s: pass"),
    ("with span(name) (made per use)", "with span('s'): pass"),
    ("empty function call", "f()"),
    # What a with statement costs the interpreter on any C object: binding __enter__ and
    # __exit__, and calling them.
    ("with a threading.Lock (reference)", "with lock: pass"),
]


def per_call(stmt, number, rounds):
    times = timeit.repeat(stmt, setup=SETUP, number=number, repeat=rounds,
                          globals={"empty": empty})
    return statistics.median(times) / number * 1e9


def measure(number, rounds):
    base = per_call("pass", number, rounds)
    return {label: per_call(stmt, number, rounds) - base for label, stmt in CASES}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", "--number", type=int, default=200_000, help="calls per round")
    ap.add_argument("-r", "--rounds", type=int, default=9, help="rounds (the median is kept)")
    args = ap.parse_args()

    idle = measure(args.number, args.rounds)
    # The trace goes nowhere: some 10 million marks would fill a disk, not tell a cost.
    with vespra.Tracer(os.devnull):
        traced = measure(args.number, args.rounds)
    build = "free-threaded" if not sys._is_gil_enabled() else "with the GIL"
    print(f"CPython {sys.version.split()[0]} {build}; ns per call, medians of {args.rounds}")
    print(f"{'call':36} {'no run':>10} {'under a run':>12}")
    for label, _ in CASES:
        print(f"{label:36} {idle[label]:10.1f} {traced[label]:12.1f}")


if __name__ == "__main__":
    main()
