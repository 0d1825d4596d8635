"""The program's own marks: vespra.span, instant and counter, and the slices of garbage
collections, read back from both formats, by Perfetto's own reader where it is present, and by
`vespra summary` and `vespra flamegraph`."""

import asyncio
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


# Workloads at module level, so that their names are known.
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


class Unrepresentable:
    def __repr__(self):
        raise RuntimeError("no repr")


def track_events(path):
    """{(pid, tid): [(ph, name), ...]} of begins and ends."""
    return {k: [(ph, n) for _, ph, n in evs] for k, (_, evs) in tracks(path).items()}


class Base(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, fmt, name="t"):
        return pathlib.Path(self.dir.name) / (name + (".json" if fmt == "json" else ".pb"))

    def traced(self, fmt, body, **kwargs):
        path = self.path(fmt)
        with vespra.Tracer(str(path), fmt, **kwargs):
            body()
        return path

    def run_script(self, source, *args):
        script = pathlib.Path(self.dir.name) / "script.py"
        script.write_text(textwrap.dedent(source))
        proc = subprocess.run([sys.executable, str(script), *args], capture_output=True,
                              text=True, timeout=300, cwd=self.dir.name)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc

    def summary(self, path):
        proc = subprocess.run([sys.executable, "-m", "vespra", "summary", "--json", "-n", "0",
                               str(path)], capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return json.loads(proc.stdout)


class WithoutARun(Base):
    def test_marks_do_nothing_and_still_check_their_arguments(self):
        self.assertIsNone(vespra.instant("a", x=Unrepresentable()))
        self.assertIsNone(vespra.counter("c", 1))
        with vespra.span("s", x=1) as s:
            self.assertIsInstance(s, vespra.span)
        self.assertEqual(decorated(2, y=3), 6)
        self.assertEqual(asyncio.run(decorated_async(2)), 2)
        with self.assertRaises(TypeError):
            vespra.instant(b"bytes")
        with self.assertRaises(TypeError):
            vespra.counter("c", "7")
        with self.assertRaises(TypeError):
            vespra.counter("c", True)
        with self.assertRaises(TypeError):
            vespra.span(1)

    def test_nothing_is_recorded_between_runs(self):
        def body():
            vespra.instant("during")
        path = self.traced("json", body)
        vespra.instant("after")
        vespra.counter("after", 1)
        names = [r["name"] for r in read_records(path)]
        self.assertIn("during", names)
        self.assertNotIn("after", names)


class Nesting(Base):
    def workload(self):
        span_inside()
        with vespra.span("outside"):
            leaf()
            with vespra.span("nested"):
                leaf()
        with self.assertRaises(KeyError):
            raises_in_span()
        g = generator_with_span()
        next(g)
        leaf()
        next(g)
        self.stranded = generator_with_span()
        next(self.stranded)  # never resumed while traced
        leaf()

    def test_spans_nest_with_the_calls_around_and_inside_them(self):
        for fmt in FORMATS:
            with self.subTest(fmt):
                path = self.traced(fmt, self.workload)
                key = (os.getpid(), threading.get_native_id())
                events = track_events(path)[key]
                self.assertEqual(nesting(events), (None, []))
                seq = [e for e in events if e[1] in ("inside", "outside", "nested", "leaf",
                                                     "span_inside", "doomed",
                                                     "raises_in_span")]
                self.assertEqual(seq[:8], [
                    ("B", "span_inside"), ("B", "inside"), ("B", "leaf"), ("E", "leaf"),
                    ("E", "inside"), ("E", "span_inside"), ("B", "outside"), ("B", "leaf")])
                self.assertIn(("B", "nested"), seq)
                # The span that raised ends inside the function that raised.
                i = seq.index(("B", "doomed"))
                self.assertEqual(seq[i - 1:i + 4], [("B", "raises_in_span"), ("B", "doomed"),
                                                    ("B", "leaf"), ("E", "leaf"),
                                                    ("E", "doomed")])
                # The generator's span covers each of its stretches and ends at each yield.
                gen = [e for e in events if e[1] in ("generator_with_span", "in-generator")]
                self.assertEqual(gen[:8], [("B", "generator_with_span"), ("B", "in-generator"),
                                           ("E", "in-generator"), ("E", "generator_with_span")] * 2)
                summary = self.summary(path)
                spans = {r["function"] for r in summary["tables"][0]["rows"] if r["span"]}
                self.assertEqual(spans, {"inside", "outside", "nested", "doomed", "in-generator"})
                self.stranded.close()
                self.assertEqual(summary["missing"]["ends_without_begin"], 0)
                folded = pathlib.Path(self.dir.name) / "folded"
                subprocess.run([sys.executable, "-m", "vespra", "flamegraph", "--folded", "-o",
                                str(folded), str(path)], check=True, timeout=300)
                stacks = folded.read_text()
                self.assertIn("span_inside;inside;leaf ", stacks)
                self.assertIn("outside;nested;leaf ", stacks)
                if not perfetto.SHELL:
                    continue
                # Perfetto nests them too, and reads the trace without errors.
                self.assertEqual(perfetto.faults(path), {})
                rows = perfetto.query(path, "select s.name, s.category, p.name as parent "
                                            "from slice s join slice p on s.parent_id = p.id "
                                            "where s.name in ('inside', 'nested', 'leaf')")
                parents = {(r["name"], r["parent"]) for r in rows}
                self.assertLessEqual({("inside", "span_inside"), ("nested", "outside"),
                                      ("leaf", "inside")}, parents)
                self.assertEqual({r["category"] for r in rows if r["name"] != "leaf"}, {"span"})


class Decorators(Base):
    def test_a_decorated_function_keeps_what_it_is(self):
        self.assertEqual(decorated.__name__, "decorated")
        self.assertEqual(decorated.__doc__, "Adds.")
        self.assertTrue(inspect.iscoroutinefunction(decorated_async))
        self.assertFalse(inspect.iscoroutinefunction(decorated))

        class Holder:
            @vespra.span("method")
            def method(self, v):
                return (self, v)

        h = Holder()
        self.assertEqual(h.method(4), (h, 4))

    def test_sync_and_async_functions_run_inside_their_span(self):
        def body():
            self.assertEqual(decorated(1, y=2), 4)
            self.assertEqual(asyncio.run(decorated_async(3)), 3)
            with self.assertRaises(ZeroDivisionError):
                vespra.span("failing")(lambda: 1 / 0)()
        for fmt in FORMATS:
            with self.subTest(fmt):
                events = track_events(self.traced(fmt, body))
                main = events[(os.getpid(), threading.get_native_id())]
                self.assertEqual(nesting(main), (None, []))
                i = main.index(("B", "decorated"))
                self.assertEqual(main[i + 1], ("B", "decorated"))  # the function inside
                # One slice of the span per step of the coroutine: its start, the resumptions
                # after each of its three awaits.
                steps = [e for evs in events.values() for e in evs
                         if e == ("B", "decorated-async")]
                self.assertEqual(len(steps), 4)
                self.assertIn(("E", "failing"), main)


class Arguments(Base):
    VALUES = dict(text="h\u00e9llo", integer=-7, big=2**64 - 1, huge=2**70, real=0.5,
                  nan=math.nan, yes=True, no=False, nothing=None, obj=Unrepresentable(),
                  lst=[1, "a"], long="x" * 10_000)

    def body(self):
        vespra.instant("all-types", **self.VALUES)
        with vespra.span("with-args", n=1):
            pass

    def check(self, args, nulls_dropped=False):
        self.assertEqual(args["text"], "h\u00e9llo")
        self.assertEqual(args["integer"], -7)
        self.assertEqual(args["big"], 2**64 - 1)
        self.assertEqual(args["huge"], repr(2**70))
        self.assertEqual(args["real"], 0.5)
        self.assertIs(args["yes"], True)
        self.assertIs(args["no"], False)
        self.assertIn("Unrepresentable", args["obj"])
        self.assertEqual(args["lst"], "[1, 'a']")
        # A mark's arguments are bounded: a long string is cut, not lost.
        self.assertTrue(1000 < len(args["long"]) < 10_000)
        self.assertEqual(set(args["long"]), {"x"})

    def test_json_args(self):
        path = self.traced("json", self.body)
        rec = next(r for r in read_records(path) if r["name"] == "all-types")
        self.assertEqual(rec["ph"], "i")
        self.check(rec["args"])
        self.assertEqual(rec["args"]["nan"], "nan")
        self.assertIsNone(rec["args"]["nothing"])
        span = next(r for r in read_records(path) if r["name"] == "with-args")
        self.assertEqual(span["args"], {"n": 1})

    def test_protobuf_debug_annotations(self):
        path = self.traced("protobuf", self.body)
        events, _ = pbtrace.marks(path)
        mine = events[(os.getpid(), threading.get_native_id())]
        ts, ph, name, cat, args = next(e for e in mine if e[2] == "all-types")
        self.assertEqual((ph, cat), ("I", "mark"))
        self.check(args)
        self.assertTrue(math.isnan(args["nan"]))
        self.assertEqual(args["nothing"], "None")
        self.assertIn(("B", "with-args", "span", {"n": 1}), [e[1:] for e in mine])
        if not perfetto.SHELL:
            return
        rows = perfetto.query(path, "select a.key, a.display_value from slice s join args a "
                                    "using(arg_set_id) where s.name = 'all-types'")
        shown = {r["key"]: r["display_value"] for r in rows}
        self.assertEqual(shown["debug.integer"], "-7")
        self.assertEqual(shown["debug.text"], "h\u00e9llo")
        self.assertEqual(shown["debug.yes"], "true")
        self.assertIn("debug.obj", shown)


class Counters(Base):
    THREADS, SAMPLES = 4, 500

    def body(self):
        ready = threading.Barrier(self.THREADS)

        def sample(k):
            ready.wait()
            for i in range(self.SAMPLES):
                vespra.counter("queue", k * self.SAMPLES + i)
        workers = [threading.Thread(target=sample, args=(k,)) for k in range(self.THREADS)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        vespra.counter("ratio", 0.25)
        vespra.counter("ratio", -1.5)

    def test_samples_from_several_threads_all_reach_one_track_per_process(self):
        total = self.THREADS * self.SAMPLES
        for fmt in FORMATS:
            with self.subTest(fmt):
                path = self.traced(fmt, self.body)
                (queue,), (ratio,) = [[c for c in self.summary(path)["counters"]
                                       if c["name"] == n] for n in ("queue", "ratio")]
                self.assertEqual((queue["count"], queue["min"], queue["max"]),
                                 (total, 0, total - 1))
                self.assertEqual((ratio["count"], ratio["min"], ratio["max"], ratio["last"]),
                                 (2, -1.5, 0.25, -1.5))
                if fmt == "protobuf":
                    _, counters = pbtrace.marks(path)
                    values = sorted(v for _, v in counters[(os.getpid(), "queue")])
                    self.assertEqual(values, list(range(total)))
                    if perfetto.SHELL:  # and Perfetto finds the counter tracks
                        rows = perfetto.query(path, "select t.name, count(*) as n, max(c.value) "
                                              "as top from counter c join counter_track t on "
                                              "c.track_id = t.id group by t.name")
                        got = {r["name"]: (int(r["n"]), float(r["top"])) for r in rows}
                        self.assertEqual(got["queue"], (total, total - 1))
                        self.assertEqual(got["ratio"], (2, 0.25))


class GarbageCollections(Base):
    def body(self):
        class Cycle:
            def __init__(self):
                self.me = self
        for generation in (0, 2):
            [Cycle() for _ in range(50)]
            gc.collect(generation)

    def test_each_collection_is_a_slice_with_its_counts(self):
        before = list(gc.callbacks)
        for fmt in FORMATS:
            with self.subTest(fmt):
                path = self.traced(fmt, self.body, gc=True)
                self.assertEqual(gc.callbacks, before)
                if fmt == "json":
                    recs = [r for r in read_records(path) if r["name"] == "gc"]
                    begins = [r["args"] for r in recs if r["ph"] == "B"]
                    ends = [r["args"] for r in recs if r["ph"] == "E"]
                else:
                    events, _ = pbtrace.marks(path)
                    mine = events[(os.getpid(), threading.get_native_id())]
                    begins = [e[4] for e in mine if e[2] == "gc"]
                    ends = [e[4] for e in mine if e[1] == "E"]
                self.assertGreaterEqual(len(begins), 2)
                self.assertEqual(len(begins), len(ends))
                self.assertLessEqual({0, 2}, {b["generation"] for b in begins})
                self.assertTrue(any(e["collected"] >= 50 for e in ends), ends)
                self.assertTrue(all(e["uncollectable"] == 0 for e in ends))

    def test_vespra_run_gc_records_them(self):
        out = self.path("json")
        script = pathlib.Path(self.dir.name) / "collect.py"
        script.write_text("import gc\ngc.collect()\n")
        subprocess.run([sys.executable, "-m", "vespra", "run", "--gc", "-o", str(out), "-f",
                        "json", str(script)], check=True, timeout=300)
        self.assertIn("gc", {r.get("name") for r in read_records(out)})

    def test_without_the_option_collections_leave_no_slice(self):
        path = self.traced("json", self.body)
        self.assertNotIn("gc", {r.get("name") for r in read_records(path)})


class Processes(Base):
    SCRIPT = """
        import os, sys, subprocess, vespra
        fmt, out = sys.argv[1], sys.argv[2]
        with vespra.Tracer(out, fmt, gc=True):
            vespra.counter("level", 1)
            pid = os.fork()
            if pid == 0:
                with vespra.span("child-span"):
                    vespra.counter("level", 10)
                os._exit(0)
            os.waitpid(pid, 0)
            subprocess.run([sys.executable, "-c",
                            "import vespra, gc\\n"
                            "with vespra.span('exec-span'): vespra.counter('level', 100)\\n"
                            "gc.collect()"], check=True)
        print(os.getpid(), pid)
    """

    def test_marks_of_forked_and_execd_children_land_in_their_processes(self):
        for fmt in FORMATS:
            with self.subTest(fmt):
                out = self.path(fmt)
                proc = self.run_script(self.SCRIPT, fmt, str(out))
                parent, forked = map(int, proc.stdout.split())
                counters = {c["pid"]: c for c in self.summary(out)["counters"]}
                self.assertEqual(len(counters), 3)
                (execd,) = set(counters) - {parent, forked}
                self.assertEqual([counters[p]["last"] for p in (parent, forked, execd)],
                                 [1, 10, 100])
                events = track_events(out)
                self.assertIn(("B", "child-span"),
                              [e for k, evs in events.items() if k[0] == forked for e in evs])
                self.assertIn(("B", "exec-span"),
                              [e for k, evs in events.items() if k[0] == execd for e in evs])
                # The exec'd child inherited gc=True.
                self.assertIn(("B", "gc"),
                              [e for k, evs in events.items() if k[0] == execd for e in evs])


class StopWhileMarking(Base):
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
        for round in range(6):
            fmt = FORMATS[round % 2]
            path = self.path(fmt, f"r{round}")
            running.set()  # marking while the run starts, goes on and stops
            with vespra.Tracer(str(path), fmt):
                # Twice: the first mark seen may have begun before the run did.
                for _ in range(2):
                    marked.clear()
                    marked.wait()
            running.clear()
            summary = self.summary(path)
            busy = [r for r in summary["tables"][0]["rows"] if r["function"] == "busy"]
            self.assertTrue(busy and busy[0]["span"], round)
            self.assertGreaterEqual(summary["counters"][0]["count"], 64)
            self.assertEqual(summary["missing"]["ends_without_begin"], 0)


if __name__ == "__main__":
    unittest.main()
