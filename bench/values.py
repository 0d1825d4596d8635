"""What recording calls' values costs: one call of a Python function of a few argument shapes,
untraced, traced without values, and traced with its arguments and return value recorded
(Tracer(args=..., returns=...); with args_repr=True for the object whose repr() is taken).

    .venv/bin/python bench/values.py             # medians of 9 rounds of 100,000 calls each

Each figure is nanoseconds of the process's CPU time per call: a run's start, the timed loop
and the stop (which waits for vespra's threads to write what the loop recorded), less the same
for a loop doing nothing (`pass`) under the same mode; the median over the rounds. The modes run interleaved, round by
round, so that a noisy neighbour hurts each alike; each traced round is its own run, writing
protobuf to a temporary file.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
import timeit

import vespra


class Big:
    """An object whose repr() is long and slow: what --args-repr risks."""

    def __init__(self):
        self.items = list(range(10_000))

    def __repr__(self):
        return f"Big({self.items!r})"


def no_args():
    return None


def three_ints(a, b, c):
    return a


def str_and_list(text, items):
    return text


def one_object(obj):
    return None


SETUP = "f0, f3, fs, fo, big = no_args, three_ints, str_and_list, one_object, Big()"
CASES = [
    ("no arguments", "f0()", False),
    ("3 ints", "f3(1, 2, 3)", False),
    ("a str and a list", "fs('hello', [1, 2, 3])", False),
    ("an object, by type", "fo(big)", False),
    ("an object, by repr() (10,000 ints)", "fo(big)", True),
]


def run_cost(stmt, number, options, path):
    """CPU seconds of the process for `number` runs of `stmt`, untraced (options None) or in a
    run with `options`, its start and its stop (which waits for vespra's threads to write all
    the loop recorded) included."""
    timer = timeit.Timer(stmt, setup=SETUP, timer=time.process_time, globals=globals())
    if options is None:
        return timer.timeit(number)
    start = time.process_time()
    with vespra.Tracer(path, "protobuf", **options):
        timer.timeit(number)
    return time.process_time() - start


def per_call(stmt, number, options, path):
    """Seconds per call of `stmt`: its loop less the same loop of `pass` under the same mode."""
    return (run_cost(stmt, number, options, path) - run_cost("pass", number, options, path)) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", "--number", type=int, default=100_000)
    parser.add_argument("-r", "--rounds", type=int, default=9)
    args = parser.parse_args()
    path = os.path.join(tempfile.mkdtemp(), "values.pb")
    values = {"args": ["__main__"], "returns": ["__main__"]}
    modes = {"untraced": None, "traced": {}, "values": values,
             "repr": {**values, "args_repr": True}}
    print(f"{sys.version.split()[0]} {sys.implementation.cache_tag} "
          f"gil={getattr(sys, '_is_gil_enabled', lambda: True)()}; ns per call, "
          f"medians of {args.rounds} rounds of {args.number:,} calls")
    print(f"{'call':38} {'untraced':>9} {'traced':>9} {'values':>9} {'values - traced':>16}")
    for name, stmt, repr_ in CASES:
        wanted = ["untraced", "traced", "repr" if repr_ else "values"]
        samples = {mode: [] for mode in wanted}
        number = args.number // 100 if repr_ else args.number
        for _ in range(args.rounds):
            for mode in wanted:
                samples[mode].append(per_call(stmt, number, modes[mode], path))
        ns = [statistics.median(samples[m]) * 1e9 for m in wanted]
        print(f"{name:38} {ns[0]:9.0f} {ns[1]:9.0f} {ns[2]:9.0f} {ns[2] - ns[1]:16.0f}")
    os.remove(path)


if __name__ == "__main__":
    main()
