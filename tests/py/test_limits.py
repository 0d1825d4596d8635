"""What the depth limit and the minimum duration leave out: programs of known shape traced in
both formats, a recursion deeper than Perfetto nests, generators and coroutines, children that
inherit the options, and the count of what was left out. Each program runs in a fresh process."""

import collections
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import unittest

import pbtrace
import perfetto
from jsontrace import Trace

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")

# The minimum the programs below use, and a busy wait three times as long: slices that spin are
# kept whatever the machine's load (a wait only grows), and slices that do not stay below it
# unless the thread is kept off its core that long in the middle of one.
MIN_S = 0.1
COMMON = f"""\
import sys, time
import vespra
from vespra import Tracer
MIN_S = {MIN_S}

def spin():
    end = time.perf_counter() + 3 * MIN_S
    while time.perf_counter() < end:
        pass

def short():
    pass
"""


def clean_env():
    return {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}


def run_python(code, *args):
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(COMMON + textwrap.dedent(code))
    try:
        subprocess.run([sys.executable, f.name, *args], env=clean_env(), check=True, timeout=300)
    finally:
        os.unlink(f.name)


def nest(events):
    """(name, begin, end or None, depth from 1) per slice, in begin order, from (ph, ts, name)
    events."""
    out, stack = [], []
    for ph, ts, name in events:
        if ph == "B":
            stack.append(len(out))
            out.append([name, ts, None, len(stack)])
        elif ph == "E" and stack:
            out[stack.pop()][2] = ts
    return [tuple(s) for s in out]


def read(path, fmt):
    """The slices of each thread, {(pid, tid): nest(...)}, and {(pid, reason): events left out}."""
    if fmt == "json":
        trace = Trace(path)
        return ({key: nest((r["ph"], round(r["ts"] * 1000), r["name"]) for r in records)
                 for key, records in trace.events.items()}, dict(trace.left_out))
    threads, left_out = {}, collections.Counter()
    for key, track in pbtrace.slices(path).items():
        for _, ph, name in track.events:
            if ph == "I" and " events left out by " in name:
                count, reason = name.removeprefix("vespra: ").split(" events left out by ")
                left_out[(key[0], reason)] += int(count)
        if key[1] is not None:
            threads[key] = nest((ph, ts, name) for ts, ph, name in track.events)
    return threads, dict(left_out)


def one_thread(path, fmt):
    """The slices of a one-thread program, and {reason: events left out}."""
    threads, left_out = read(path, fmt)
    (slices,) = threads.values()
    return slices, {reason: n for (_, reason), n in left_out.items()}


def marks(path, fmt):
    """The span begins and instants written, then the counter samples, as (name, args)."""
    if fmt == "json":
        return [(r["name"], r["args"]) for r in Trace(path).records
                if r.get("cat") in ("span", "mark", "counter") and r["ph"] != "E"]
    events, counters = pbtrace.marks(path)
    return ([(name, args) for evs in events.values() for _, ph, name, _, args in evs if ph != "E"]
            + [(name, {"value": v}) for (_, name), vs in counters.items() for _, v in vs])


class MinimumDuration(unittest.TestCase):
    """Only the calls that spin outlast the minimum; a span is a slice like a call, and instants
    and counter samples are always written, keeping their slices. A generator or coroutine is one
    slice per start or resumption: only the one that spins is kept."""

    PROGRAM = """\
    def marked():
        vespra.instant("tick", k=1)

    def long_call():
        short()
        with vespra.span("slow", n=7):
            spin()

    def numbers():
        for i in range(3):
            if i == 1:
                spin()
            yield i

    class Pause:
        def __await__(self):
            yield

    async def job():
        await Pause()
        spin()
        await Pause()
        short()

    def main():
        for _ in range(20):
            short()
        with vespra.span("quick"):
            short()
        long_call()
        for _ in numbers():
            short()
        for _ in job().__await__():
            pass
        marked()
        vespra.counter("queue", 3)

    out, fmt, minimum = sys.argv[1], sys.argv[2], float(sys.argv[3])
    with Tracer(out, fmt, min_duration=minimum):
        main()
    """

    def test_only_long_slices_are_written_in_both_formats_and_the_rest_is_counted(self):
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt), tempfile.TemporaryDirectory() as tmp:
                paths = [os.path.join(tmp, f"{minimum}.{fmt}") for minimum in (0, MIN_S)]
                for path, minimum in zip(paths, (0, MIN_S)):
                    run_python(self.PROGRAM, path, fmt, str(minimum))
                (whole, whole_left_out), (kept, left_out) = (one_thread(p, fmt) for p in paths)
                self.assertEqual(whole_left_out, {})
                # <module>, begun at the start and ended at the stop, outlasts the minimum too.
                self.assertEqual([(s[0], s[3]) for s in kept],
                                 [("<module>", 1), ("main", 2), ("long_call", 3), ("slow", 4),
                                  ("spin", 5), ("numbers", 3), ("spin", 4), ("job", 3),
                                  ("spin", 4), ("marked", 3)])
                self.assertNotIn(None, [s[2] for s in whole + kept], "every slice ends")
                for name, begin, end, _ in kept:
                    if name != "marked":  # kept for its instant
                        self.assertGreaterEqual(end - begin, MIN_S * 1e9, name)
                self.assertEqual(left_out, {"min_duration": 2 * (len(whole) - len(kept))})
                self.assertEqual(marks(paths[1], fmt), [("slow", {"n": 7}), ("tick", {"k": 1}),
                                                        ("queue", {"value": 3})])
                if fmt == "json":
                    # The generator's second slice (resumed, then yields 1) and the coroutine's
                    # (from the first pause to the second).
                    records = next(iter(Trace(paths[1]).events.values()))
                    self.assertEqual([r["args"]["kind"] for r in records
                                      if r["name"] in ("numbers", "job")], ["resume", "yield"] * 2)
                    report = json.loads(subprocess.run([VESPRA, "summary", "--json", paths[1]],
                                                       capture_output=True, check=True).stdout)
                    self.assertEqual(report["missing"]["left_out_events"],
                                     left_out["min_duration"])
                elif perfetto.SHELL:
                    self.assertEqual(perfetto.faults(paths[1]), {})


class DepthLimit(unittest.TestCase):
    """A recursion 1,000 deep: by default only what Perfetto can nest is written, every slice
    with its true duration, and the instant at the bottom; with no limit everything is."""

    PROGRAM = """\
    sys.setrecursionlimit(5000)

    def rec(n):
        if n:
            rec(n - 1)
        else:
            with vespra.span("deep", n=n):
                vespra.instant("bottom", at=n)

    out, fmt = sys.argv[1], sys.argv[2]
    with Tracer(out, fmt, **({"max_depth": int(sys.argv[3])} if sys.argv[3:] else {})):
        rec(1000)
    """

    def test_the_default_keeps_what_perfetto_nests_and_no_limit_keeps_all(self):
        for fmt, limit in (("json", ()), ("protobuf", ()), ("protobuf", ("0",))):
            with self.subTest(fmt=fmt, limit=limit), tempfile.TemporaryDirectory() as tmp:
                path = os.path.join(tmp, f"t.{fmt}")
                run_python(self.PROGRAM, path, fmt, *limit)
                slices, left_out = one_thread(path, fmt)
                recs = [s for s in slices if s[0] == "rec"]
                self.assertNotIn(None, [s[2] for s in recs])
                if limit:
                    self.assertEqual((len(recs), max(s[3] for s in slices)), (1001, 1003))
                    self.assertEqual(left_out, {})
                    continue
                # <module>, begun at the start, is the first frame: 255 calls of rec under it
                # (the stop's own calls follow, at depth 2 to 4), the span below them left out.
                self.assertEqual((len(recs), max(s[3] for s in slices)), (255, 256))
                self.assertEqual(left_out, {"max_depth": 2 * (1002 - 255)})
                self.assertEqual(marks(path, fmt), [("bottom", {"at": 0})])
                ends = [s[2] for s in recs]
                self.assertEqual(ends, sorted(ends, reverse=True), "ends close the right slices")
                if fmt == "protobuf" and perfetto.SHELL:
                    self.assertEqual(perfetto.faults(path), {})
                    rows = perfetto.query(path, "select ts, dur, depth from slice "
                                                "where name = 'rec' order by depth")
                    self.assertEqual([(int(r["ts"]), int(r["dur"]), int(r["depth"]))
                                      for r in rows], [(b, e - b, d - 1) for _, b, e, d in recs])


class Refusals(unittest.TestCase):
    def test_bad_limits_and_ring_sizes_are_refused_with_the_argument_named(self):
        from vespra import Tracer

        for kwargs, error in (({"ring": 1000}, ValueError), ({"ring": -1}, ValueError),
                              ({"ring": True}, TypeError), ({"ring": "1MB"}, TypeError),
                              ({"min_duration": "10us"}, TypeError),
                              ({"min_duration": True}, TypeError),
                              ({"min_duration": -1e-6}, ValueError),
                              ({"min_duration": float("nan")}, ValueError),
                              ({"max_depth": 2.5}, TypeError),
                              ({"max_depth": -1}, ValueError),
                              ({"max_depth": 1 << 40}, ValueError)):
            with self.subTest(kwargs=kwargs):
                with self.assertRaisesRegex(error, next(iter(kwargs))):
                    Tracer(os.devnull, **kwargs)


if __name__ == "__main__":
    unittest.main()
