"""Call-heavy workloads for the overhead benchmark.

Each workload is a function of one size that does a fixed, deterministic amount of work and
returns a checksum, so that a run under any tracer can be checked to have done the same work.
DEFAULT_SIZES makes each take roughly 0.3 to 1 s untraced on the project's machines. The
workloads are what tracers find hardest: almost nothing happens between two function events.
"""

import threading

# Frames per descent. Deeper stacks are not more call-dense on CPython 3.13: past about 150
# frames each descent overflows the interpreter's first frame chunk, which is mapped and
# unmapped again every time, and the system calls would hide the cost of the calls.
RECURSION_DEPTH = 100


def _descend(n):
    if n == 0:
        return 0
    return _descend(n - 1) + 1


def recursion(size):
    """Deep recursion: `size` descents of RECURSION_DEPTH frames each."""
    total = 0
    for _ in range(size):
        total += _descend(RECURSION_DEPTH)
    return total


class _Point:
    __slots__ = ("x", "y")

    def __init__(self, x, y):
        self.x = x
        self.y = y

    def moved(self, dx, dy):
        return _Point(self.x + dx, self.y + dy)

    def dot(self, other):
        return self.x * other.x + self.y * other.y

    def norm1(self):
        return abs(self.x) + abs(self.y)


def methods(size):
    """Many small method calls: four tiny methods (plus a constructor) per iteration."""
    p = _Point(0, 0)
    step = _Point(1, -1)
    total = 0
    for i in range(size):
        p = p.moved(1, i & 3)
        total += p.dot(step) + p.norm1()
    return total


def _count_up(n):
    i = 0
    while i < n:
        yield i
        i += 1


def _odd(source):
    for v in source:
        if v & 1:
            yield v


def _squared(source):
    for v in source:
        yield v * v


def generators(size):
    """A pipeline of three generators: every item costs several yields and resumes."""
    total = 0
    for v in _squared(_odd(_count_up(size))):
        total += v & 0xFFFF
    return total


def _mixed(size):
    total = 0
    for i in range(size):
        total += _descend(20) + methods(4) + generators(8) + i
    return total


def threads(size, workers=4):
    """Four threads at once, each doing an equal share of mixed recursion, methods and
    generators."""
    results = [0] * workers

    def run(k):
        results[k] = _mixed(size // workers)

    pool = [threading.Thread(target=run, args=(k,), name=f"worker-{k}") for k in range(workers)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return sum(results)


WORKLOADS = {
    "recursion": recursion,
    "methods": methods,
    "generators": generators,
    "threads": threads,
}

DEFAULT_SIZES = {
    "recursion": 60_000,
    "methods": 500_000,
    "generators": 3_200_000,
    "threads": 100_000,
}
