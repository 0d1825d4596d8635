"""The program's own marks: vespra.span, instant and counter, and the slices of garbage
collections, read back from both formats, by Perfetto's own reader where it is present, and by
`vespra summary`."""

import asyncio
import contextlib
import gc
import inspect
import json
import math
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import threading
import unittest

import pbtrace
import perfetto
import vespra
from jsontrace import nesting, read_records, tracks

FORMATS = ("json", "protobuf")
THREADS, SAMPLES = 4, 500


class Unrepresentable:
    def __repr__(self):
        raise RuntimeError("no repr")


VALUES = dict(text="h\u00e9\\llo", integer=-7, big=2**64 - 1, huge=2**70, real=0.5, nan=math.nan,
              yes=True, no=False, nothing=None, obj=Unrepresentable(), lst=[1, "a"],
              long="x" * 10_000)


def leaf():
    return 1


def span_inside():
    with vespra.span("inside", where="function"):
        leaf()


def raises_in_span():
    with vespra.span("doomed"):
        leaf()
        raise KeyError("deliberate")


def generator_with_span():
    with vespra.span("in-generator"):
        yield 1
        leaf()
        yield 2


@vespra.span("decorated", kind="sync")
def decorated(x, *, y=0):
    """Adds."""
    return leaf() + x + y


@vespra.span("decorated-async")
async def decorated_async(steps):
    for _ in range(steps):
        await asyncio.sleep(0)
    return steps


def sample(k, ready):
    ready.wait()
    for i in range(SAMPLES):
        vespra.counter("queue", k * SAMPLES + i)


def collections():
    for generation in (0, 2):
        for _ in range(50):
            cycle = []
            cycle.append(cycle)
        gc.collect(generation)


def workload():
    span_inside()
    with vespra.span("outside"):
        leaf()
        with vespra.span("nested"):
            leaf()
    with contextlib.suppress(KeyError):
        raises_in_span()
    g = generator_with_span()
    next(g)
    leaf()
    next(g)
    stranded = generator_with_span()
    next(stranded)  # never resumed while traced
    leaf()
    decorated(1, y=2)
    asyncio.run(decorated_async(3))
    with contextlib.suppress(ZeroDivisionError):
        vespra.span("failing")(lambda: 1 / 0)()
    vespra.instant("all-types", **VALUES)
    with vespra.span("with-args", n=1):
        pass
    ready = threading.Barrier(THREADS)
    workers = [threading.Thread(target=sample, args=(k, ready)) for k in range(THREADS)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    vespra.counter("ratio", 0.25)
    vespra.counter("ratio", -1.5)
    collections()
    return stranded


def track_events(path):
    """{(pid, tid): [(ph, name), ...]} of begins and ends."""
    return {k: [(ph, n) for _, ph, n in evs] for k, (_, evs) in tracks(path).items()}


def summary(path):
    return json.loads(subprocess.run(
        [sys.executable, "-m", "vespra", "summary", "--json", "-n", "0", str(path)],
        capture_output=True, text=True, timeout=300, check=True).stdout)


class Marks(unittest.TestCase):
    """One run of the workload per format, with gc=True, read back in each test."""

    @classmethod
    def setUpClass(cls):
        cls.dir = pathlib.Path(cls.enterClassContext(tempfile.TemporaryDirectory()))
        cls.paths, cls.summaries, callbacks = {}, {}, list(gc.callbacks)
        for fmt in FORMATS:
            cls.paths[fmt] = cls.dir / f"t.{fmt}"
            with vespra.Tracer(str(cls.paths[fmt]), fmt, gc=True):
                stranded = workload()
            stranded.close()
            vespra.instant("after")  # not recorded: no run is on
            vespra.counter("after", 1)
            cls.summaries[fmt] = summary(cls.paths[fmt])
        cls.gc_callbacks_restored = gc.callbacks == callbacks
        cls.key = (os.getpid(), threading.get_native_id())

    def test_spans_nest_with_the_calls_around_and_inside_them(self):
        for fmt, path in self.paths.items():
            with self.subTest(fmt):
                events = [e for e in track_events(path)[self.key] if e[1] != "gc"]
                self.assertEqual(nesting(events), (None, []))
                seq = [e for e in events if e[1] in ("inside", "outside", "nested", "leaf",
                                                     "span_inside", "doomed",
                                                     "raises_in_span")]
                self.assertEqual(seq[:8], [
                    ("B", "span_inside"), ("B", "inside"), ("B", "leaf"), ("E", "leaf"),
                    ("E", "inside"), ("E", "span_inside"), ("B", "outside"), ("B", "leaf")])
                # The span that raised ends inside the function that raised.
                i = seq.index(("B", "doomed"))
                self.assertEqual(seq[i - 1:i + 4], [("B", "raises_in_span"), ("B", "doomed"),
                                                    ("B", "leaf"), ("E", "leaf"),
                                                    ("E", "doomed")])
                # The generator's span covers each of its stretches and ends at each yield.
                gen = [e for e in events if e[1] in ("generator_with_span", "in-generator")]
                self.assertEqual(gen[:8], [("B", "generator_with_span"), ("B", "in-generator"),
                                           ("E", "in-generator"), ("E", "generator_with_span")] * 2)
                # A decorator's span holds the function; a coroutine's has one slice per step
                # (its start, and the resumptions after each of its three awaits).
                i = events.index(("B", "decorated"))
                self.assertEqual(events[i + 1], ("B", "decorated"))
                steps = [e for evs in track_events(path).values() for e in evs
                         if e == ("B", "decorated-async")]
                self.assertEqual(len(steps), 4)
                rows = self.summaries[fmt]["tables"][0]["rows"]
                self.assertLessEqual({"inside", "outside", "nested", "doomed", "in-generator",
                                      "failing"}, {r["function"] for r in rows if r["span"]})
                self.assertEqual(self.summaries[fmt]["missing"]["ends_without_begin"], 0)
                if perfetto.SHELL:
                    self.assertEqual(perfetto.faults(path), {})

    def test_arguments_of_every_type(self):
        for fmt, path in self.paths.items():
            with self.subTest(fmt):
                if fmt == "json":
                    recs = read_records(path)
                    args = next(r["args"] for r in recs if r["name"] == "all-types")
                    names = [r["name"] for r in recs]
                    self.assertEqual((args["nan"], args["nothing"]), ("nan", None))
                    span = next(r["args"] for r in recs if r["name"] == "with-args")
                else:
                    events = pbtrace.marks(path)[0][self.key]
                    args = next(e[4] for e in events if e[2] == "all-types")
                    names = [e[2] for e in events]
                    self.assertTrue(math.isnan(args["nan"]))
                    self.assertEqual(args["nothing"], "None")
                    span = next(e[4] for e in events if e[2] == "with-args")
                self.assertEqual(span, {"n": 1})
                counters = [c["name"] for c in self.summaries[fmt]["counters"]]
                self.assertNotIn("after", names + counters)
                same = ("text", "integer", "big", "real", "yes", "no")
                self.assertEqual({k: args[k] for k in same}, {k: VALUES[k] for k in same})
                self.assertEqual((type(args["yes"]), args["huge"], args["lst"]),
                                 (bool, repr(2**70), "[1, 'a']"))
                self.assertIn("Unrepresentable", args["obj"])
                # A mark's arguments are bounded: a long string is cut, not lost.
                self.assertTrue(1000 < len(args["long"]) < 10_000)
                self.assertEqual(set(args["long"]), {"x"})

    def test_counter_samples_from_several_threads_reach_one_track_per_process(self):
        total = THREADS * SAMPLES
        for fmt, path in self.paths.items():
            with self.subTest(fmt):
                got = {c["name"]: (c["count"], c["min"], c["max"], c["last"])
                       for c in self.summaries[fmt]["counters"]}
                self.assertEqual(got["queue"][:3], (total, 0, total - 1))
                self.assertEqual(got["ratio"], (2, -1.5, 0.25, -1.5))
                if fmt == "protobuf" and perfetto.SHELL:  # Perfetto finds the counter tracks
                    rows = perfetto.query(path, "select t.name, count(*) as n, max(c.value) as "
                                          "top from counter c join counter_track t on "
                                          "c.track_id = t.id group by t.name")
                    got = {r["name"]: (int(r["n"]), float(r["top"])) for r in rows}
                    self.assertEqual((got["queue"], got["ratio"]), ((total, total - 1), (2, 0.25)))

    def test_each_collection_is_a_slice_with_its_counts(self):
        self.assertTrue(self.gc_callbacks_restored)
        for fmt, path in self.paths.items():
            with self.subTest(fmt):
                rows = self.summaries[fmt]["tables"][0]["rows"]
                self.assertIn("gc", [r["function"] for r in rows])  # as the summary shows them
                if fmt == "json":
                    recs = [r for r in read_records(path) if r["name"] == "gc"]
                    begins = [r["args"] for r in recs if r["ph"] == "B"]
                    ends = [r["args"] for r in recs if r["ph"] == "E"]
                else:
                    events = pbtrace.marks(path)[0][self.key]
                    begins = [e[4] for e in events if e[2] == "gc"]
                    ends = [e[4] for e in events if e[1] == "E" and "collected" in e[4]]
                self.assertEqual(len(begins), len(ends))
                self.assertLessEqual({0, 2}, {b["generation"] for b in begins})
                self.assertTrue(any(e["collected"] >= 50 for e in ends), ends)
                self.assertTrue(all(e["uncollectable"] == 0 for e in ends))


class OutsideARun(unittest.TestCase):
    def test_marks_do_nothing_and_still_check_their_arguments(self):
        self.assertIsNone(vespra.instant("a", x=Unrepresentable()))
        self.assertIsNone(vespra.counter("c", 1))
        with vespra.span("s", x=1) as s:
            self.assertIsInstance(s, vespra.span)
        for mark, args in ((vespra.instant, (b"bytes",)), (vespra.counter, ("c", "7")),
                           (vespra.counter, ("c", True)), (vespra.span, (1,))):
            with self.subTest(args), self.assertRaises(TypeError):
                mark(*args)
        # A decorated function keeps what it is.
        self.assertEqual((decorated(2, y=3), decorated.__name__, decorated.__doc__),
                         (6, "decorated", "Adds."))
        self.assertEqual(asyncio.run(decorated_async(2)), 2)
        self.assertTrue(inspect.iscoroutinefunction(decorated_async))
        self.assertFalse(inspect.iscoroutinefunction(decorated))
        holder = type("Holder", (), {"method": vespra.span("m")(lambda self, v: (self, v))})()
        self.assertEqual(holder.method(4), (holder, 4))

    def test_marks_of_forked_and_execd_children_land_in_their_processes(self):
        # Under `vespra run --gc`: the exec'd child inherits the option.
        script = textwrap.dedent("""\
            import os, sys, subprocess, vespra
            vespra.counter("level", 1)
            pid = os.fork()
            if pid == 0:
                with vespra.span("child-span"):
                    vespra.counter("level", 10)
                os._exit(0)
            os.waitpid(pid, 0)
            subprocess.run([sys.executable, "-c", "import vespra, gc\\n"
                            "with vespra.span('exec-span'): vespra.counter('level', 100)\\n"
                            "gc.collect()"], check=True)
            print(os.getpid(), pid)
            """)
        with tempfile.TemporaryDirectory() as tmp:
            pathlib.Path(tmp, "s.py").write_text(script)
            for fmt in FORMATS:
                with self.subTest(fmt):
                    out = os.path.join(tmp, "t." + fmt)
                    proc = subprocess.run([sys.executable, "-m", "vespra", "run", "-q", "--gc",
                                           "-o", out, "-f", fmt, os.path.join(tmp, "s.py")],
                                          capture_output=True, text=True, timeout=300, check=True)
                    parent, forked = map(int, proc.stdout.split())
                    counters = {c["pid"]: c["last"] for c in summary(out)["counters"]}
                    (execd,) = set(counters) - {parent, forked}
                    self.assertEqual([counters[p] for p in (parent, forked, execd)], [1, 10, 100])
                    begun = {(k[0], n) for k, evs in track_events(out).items()
                             for ph, n in evs if ph == "B"}
                    self.assertLessEqual({(forked, "child-span"), (execd, "exec-span"),
                                          (execd, "gc")}, begun)

    def test_marks_on_other_threads_across_starts_and_stops_leave_valid_traces(self):
        stop, running, marked = threading.Event(), threading.Event(), threading.Event()

        def hammer():
            n = 0
            while running.wait() and not stop.is_set():
                with vespra.span("busy", k="v"):
                    vespra.counter("n", 1)
                n += 1
                if n % 64 == 0:  # not at every mark: the main thread needs the event's lock
                    marked.set()
        worker = threading.Thread(target=hammer)
        worker.start()
        self.addCleanup(worker.join)
        self.addCleanup(running.set)
        self.addCleanup(stop.set)
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        for round in range(6):
            fmt = FORMATS[round % 2]
            path = os.path.join(tmp.name, f"r{round}.{fmt}")
            running.set()  # marking while the run starts, goes on and stops
            with vespra.Tracer(path, fmt):
                collections()  # without gc=True, no slice
                # Twice: the first mark seen may have begun before the run did.
                for _ in range(2):
                    marked.clear()
                    marked.wait()
            running.clear()
            report = summary(path)
            rows = {r["function"]: r for r in report["tables"][0]["rows"]}
            self.assertTrue(rows["busy"]["span"], round)
            self.assertNotIn("gc", rows)
            self.assertGreaterEqual(report["counters"][0]["count"], 64)
            self.assertEqual(report["missing"]["ends_without_begin"], 0)


if __name__ == "__main__":
    unittest.main()
