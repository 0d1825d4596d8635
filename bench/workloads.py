"""Call-heavy workloads for the overhead benchmark.

Each workload is a function of one size that does a fixed, deterministic amount of work and
returns a checksum, so that a run under any tracer can be checked to have done the same work.
DEFAULT_SIZES makes each take roughly 0.3 to 1 s untraced on the project's machines. The
workloads are what tracers find hardest: almost nothing happens between two function events.
"""

import asyncio
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


# --- a class-heavy simulation: the shape of pyperformance's richards and deltablue ------------


class _Body:
    """A particle with a position and a velocity, moved by the simulation each tick."""

    __slots__ = ("x", "v", "mass")

    def __init__(self, x, v, mass):
        self.x = x
        self.v = v
        self.mass = mass

    def momentum(self):
        return self.mass * self.v

    def advance(self, dt):
        self.x += self.v * dt


class _Force:
    def apply(self, body, dt):
        raise NotImplementedError


class _Spring(_Force):
    def __init__(self, k):
        self.k = k

    def apply(self, body, dt):
        body.v -= self.k * body.x * dt // body.mass


class _Drag(_Force):
    def __init__(self, c):
        self.c = c

    def apply(self, body, dt):
        body.v -= (self.c * body.v) >> 4


class _Wall(_Force):
    def __init__(self, limit):
        self.limit = limit

    def apply(self, body, dt):
        if body.x > self.limit or body.x < -self.limit:
            body.v = -body.v


class _World:
    def __init__(self, n):
        self.bodies = [_Body(i * 7 % 101 - 50, i % 13 - 6, 1 + i % 3) for i in range(n)]
        self.forces = [_Spring(3), _Drag(1), _Wall(200)]
        self.ticks = 0

    def step(self, dt):
        for body in self.bodies:
            for force in self.forces:
                force.apply(body, dt)
            body.advance(dt)
        self.ticks += 1

    def total_momentum(self):
        return sum(b.momentum() for b in self.bodies)


def simulation(size):
    """A small physics simulation: virtual calls on a class hierarchy, attribute traffic,
    a generator expression per tick."""
    world = _World(16)
    total = 0
    for _ in range(size):
        world.step(1)
        total = (total + world.total_momentum()) & 0xFFFFFFFF
    return total


# --- asyncio: coroutines awaiting coroutines, and async generators -----------------------------


async def _leaf(i):
    return i & 7


async def _middle(i):
    return await _leaf(i) + await _leaf(i + 1)


async def _ticks(n):
    for i in range(n):
        yield i
        if i % 64 == 0:
            await asyncio.sleep(0)  # a real suspension through the event loop


async def _consumer(n):
    total = 0
    async for i in _ticks(n):
        total += await _middle(i)
    return total


def asyncio_tasks(size):
    """Four tasks on one event loop, each consuming an async generator and awaiting a small
    tree of coroutines per item: yield/resume and await on every step."""

    async def main():
        return sum(await asyncio.gather(*(_consumer(size // 4) for _ in range(4))))

    return asyncio.run(main())


WORKLOADS = {
    "recursion": recursion,
    "methods": methods,
    "generators": generators,
    "threads": threads,
    "simulation": simulation,
    "asyncio": asyncio_tasks,
}

DEFAULT_SIZES = {
    "recursion": 60_000,
    "methods": 500_000,
    "generators": 3_200_000,
    "threads": 100_000,
    "simulation": 8_000,
    "asyncio": 120_000,
}
