"""A small program to trace: threads, generators, exceptions and a child process.

    .venv/bin/vespra run -o demo.pb examples/demo.py

Every part shows up in the trace: each thread on its own track, generator frames suspended
and resumed, frames unwound by an exception, and the child's own process in the same file.
"""

import subprocess
import sys
import threading


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def squares(limit):
    for i in range(limit):
        yield i * i


def running_total(values):
    total = 0
    for value in values:
        total += value
        yield total


def pipeline():
    """Generators feeding generators: every value is a yield and a resume in the trace."""
    *_, last = running_total(squares(200))
    return last


class Overheated(Exception):
    pass


def check(temperature):
    if temperature > 90:
        raise Overheated(f"{temperature} degrees")
    return temperature


def sensor_sweep():
    """Unwinds through check() each time a reading is too high."""
    failures = 0
    for reading in (20, 95, 40, 120):
        try:
            check(reading)
        except Overheated:
            failures += 1
    return failures


def ticker():
    """A generator that is sent an exception (a throw in the trace)."""
    count = 0
    while True:
        try:
            yield count
        except Overheated:
            count = 0
        count += 1


def worker(name, results):
    results[name] = (fib(18), pipeline(), sensor_sweep())


def child():
    print(f"child: fib(20) = {fib(20)}")


def main():
    results = {}
    threads = [
        threading.Thread(target=worker, args=(f"worker-{i}", results), name=f"worker-{i}")
        for i in range(3)
    ]
    for t in threads:
        t.start()

    tick = ticker()
    next(tick)
    next(tick)
    tick.throw(Overheated("reset"))
    tick.close()

    # Runs the same interpreter on this file: it joins this trace as a process of its own.
    subprocess.run([sys.executable, __file__, "--child"], check=True)

    for t in threads:
        t.join()
    for name in sorted(results):
        print(f"{name}: fib(18), pipeline, sweep = {results[name]}")


if __name__ == "__main__":
    if sys.argv[1:] == ["--child"]:
        child()
    else:
        main()
