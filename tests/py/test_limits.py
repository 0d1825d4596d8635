"""What the depth limit and the minimum duration leave out: programs of known shape traced in
both formats, a recursion deeper than Perfetto nests, generators and coroutines whose slices
straddle the minimum, children that inherit the options, and the count of what was left out
that the trace and `vespra summary` carry. Each program runs in a fresh process."""

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
import perfetto_tp
from jsontrace import Trace

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")
TRACE_PROCESSOR = perfetto_tp.find()

# The minimum the programs below use, and a busy wait three times as long: slices that spin are
# kept whatever the machine's load (a wait only grows), slices that do not are far below it.
MIN_S = 0.02
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
    env = dict(os.environ)
    for key in list(env):
        if key.startswith("VESPRA_CHILD_"):
            del env[key]
    return env


def run_python(code, *args):
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(COMMON + textwrap.dedent(code))
    try:
        proc = subprocess.run([sys.executable, f.name, *args], env=clean_env(),
                              capture_output=True, text=True, timeout=300)
    finally:
        os.unlink(f.name)
    if proc.returncode != 0:
        raise AssertionError(f"program failed ({proc.returncode}):\n{proc.stderr}")
    return proc


def json_slices(trace, key):
    """(name, begin, end or None, depth from 1, kind of the begin) of one thread, in begin order."""
    out, stack = [], []
    for r in trace.events[key]:
        if r["ph"] == "B":
            stack.append(len(out))
            kind = r.get("args", {}).get("kind")  # a span's arguments are its own
            out.append([r["name"], round(r["ts"] * 1000), None, len(stack), kind])
        elif stack:
            out[stack.pop()][2] = round(r["ts"] * 1000)
    return [tuple(s) for s in out]


def pb_slices(path):
    """The same from a protobuf trace, per thread track."""
    result = {}
    for key, track in pbtrace.slices(path).items():
        if key[1] is None:
            continue
        out, stack = [], []
        for ts, kind, name in track.events:
            if kind == "B":
                stack.append(len(out))
                out.append([name, ts, None, len(stack), None])
            elif kind == "E" and stack:
                out[stack.pop()][2] = ts
        result[key] = [tuple(s) for s in out]
    return result


def pb_left_out(path):
    """{reason: count} from the protobuf trace's left-out records."""
    counts = collections.Counter()
    for track in pbtrace.slices(path).values():
        for _, kind, name in track.events:
            if kind == "I" and " events left out by " in name:
                count, reason = name.removeprefix("vespra: ").split(" events left out by ")
                counts[reason] += int(count)
    return counts


def trace_processor(path, query):
    return perfetto_tp.query(path, query, TRACE_PROCESSOR)


class MinimumDuration(unittest.TestCase):
    """A program of known shape: only the calls that spin outlast the minimum."""

    PROGRAM = """\
    def long_call():
        short()
        spin()
        short()

    def main():
        for _ in range(20):
            short()
        long_call()
        for _ in range(20):
            short()

    out, fmt, minimum = sys.argv[1], sys.argv[2], float(sys.argv[3])
    with Tracer(out, fmt, min_duration=minimum):
        main()
    """

    def trace(self, fmt, minimum):
        path = os.path.join(self.dir.name, f"t-{minimum}.{fmt}")
        run_python(self.PROGRAM, path, fmt, str(minimum))
        if fmt == "json":
            trace = Trace(path)
            (key,) = trace.events
            left_out = {reason: n for (_, reason), n in trace.left_out.items()}
            return json_slices(trace, key), left_out
        (slices,) = pb_slices(path).values()
        return slices, dict(pb_left_out(path))

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def test_only_long_slices_are_written_in_both_formats_and_the_rest_is_counted(self):
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt):
                whole, whole_left_out = self.trace(fmt, 0)
                kept, left_out = self.trace(fmt, MIN_S)
                self.assertEqual(whole_left_out, {})
                names = collections.Counter(s[0] for s in kept)
                # <module>, begun at the start and ended at the stop, outlasts the minimum too.
                self.assertEqual(names, {"<module>": 1, "main": 1, "long_call": 1, "spin": 1})
                self.assertEqual([s[3] for s in kept], [1, 2, 3, 4], "nested as they ran")
                for name, begin, end, depth, kind in kept:
                    self.assertIsNotNone(end, name)
                    self.assertGreaterEqual(end - begin, MIN_S * 1e9, name)
                # Calls of the same shape in both runs: what the minimum left out is counted.
                written = sum(2 if s[2] is not None else 1 for s in kept)
                whole_events = sum(2 if s[2] is not None else 1 for s in whole)
                self.assertEqual(left_out, {"min_duration": whole_events - written})

    def test_summary_shows_what_was_left_out_next_to_the_dropped_events(self):
        _, left_out = self.trace("json", MIN_S)
        path = os.path.join(self.dir.name, f"t-{MIN_S}.json")
        text = subprocess.run([VESPRA, "summary", path], capture_output=True, text=True,
                              check=True).stdout
        missing = next(line for line in text.splitlines() if line.startswith("missing"))
        self.assertIn(f"min_duration {left_out['min_duration']}", missing)
        self.assertLess(missing.index("dropped events"), missing.index("left out"))
        report = json.loads(subprocess.run([VESPRA, "summary", "--json", path],
                                           capture_output=True, text=True, check=True).stdout)
        self.assertEqual(report["missing"]["left_out_events"], left_out["min_duration"])


class SuspendedSlices(unittest.TestCase):
    """A generator or coroutine is one slice per start or resumption: only the one that spins
    outlasts the minimum, however long the whole generator lives."""

    PROGRAM = """\
    def numbers():
        for i in range(5):
            if i == 2:
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

    def drive():
        coro = job()
        try:
            while True:
                coro.send(None)
        except StopIteration:
            pass

    def main():
        for _ in numbers():
            short()
        drive()

    with Tracer(sys.argv[1], "json", min_duration=MIN_S):
        main()
    """

    def test_only_the_resumption_that_spins_is_written(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "t.json")
            run_python(self.PROGRAM, path)
            trace = Trace(path)
            (key,) = trace.events
            slices = json_slices(trace, key)
        by_name = collections.defaultdict(list)
        for s in slices:
            by_name[s[0]].append(s)
        # The third slice of the generator (resumed, then yields 2), and the coroutine's second
        # (resumed after the first pause, up to the second): each with its spin inside.
        (gen,) = by_name["numbers"]
        (coro,) = by_name["job"]
        self.assertEqual(gen[4], "resume")
        self.assertEqual(coro[4], "resume")
        self.assertEqual(len(by_name["spin"]), 2)
        for outer in (gen, coro):
            self.assertTrue(any(outer[1] <= s[1] and s[2] <= outer[2] and s[3] == outer[3] + 1
                                for s in by_name["spin"]), outer)
        self.assertNotIn("short", by_name)
        self.assertNotIn("Pause.__await__", by_name)
        ends = [r["args"]["kind"] for r in trace.events[key]
                if r["ph"] == "E" and r["name"] in ("numbers", "job")]
        self.assertEqual(ends, ["yield", "yield"])


class Marks(unittest.TestCase):
    """Spans are slices for both limits, the payload of each going wherever its event goes;
    instants and counter samples are always written, and keep the slices they are in."""

    PROGRAM = """\
    def marked():
        vespra.instant("tick", k=1)

    def main():
        with vespra.span("quick"):
            short()
        with vespra.span("slow", n=7):
            spin()
        marked()
        vespra.counter("queue", 3)

    def rec(n):
        if n:
            rec(n - 1)
        else:
            with vespra.span("deep", n=n):
                vespra.instant("bottom", at=n)

    out, fmt = sys.argv[1], sys.argv[2]
    with Tracer(out, fmt, min_duration=MIN_S, max_depth=6):
        main()
        rec(10)
    """

    EXPECTED = {"<module>": 1, "main": 1, "slow": 1, "spin": 1, "marked": 1, "rec": 5}

    def test_spans_are_slices_and_instants_and_counters_always_pass(self):
        with tempfile.TemporaryDirectory() as tmp:
            for fmt in ("json", "protobuf"):
                with self.subTest(fmt=fmt):
                    path = os.path.join(tmp, f"t.{fmt}")
                    run_python(self.PROGRAM, path, fmt)
                    if fmt == "json":
                        self.check_json(Trace(path))
                    else:
                        self.check_protobuf(path)

    def check_json(self, trace):
        (key,) = trace.events
        slices = json_slices(trace, key)
        self.assertEqual(collections.Counter(s[0] for s in slices), self.EXPECTED)
        self.assertEqual(max(s[3] for s in slices), 6)
        self.assertTrue(all(s[2] is not None for s in slices))
        (slow,) = [r for r in trace.events[key] if r["ph"] == "B" and r["name"] == "slow"]
        self.assertEqual(slow["args"], {"n": 7})
        marks = {r["name"]: r["args"] for r in trace.marks}
        self.assertEqual(marks, {"tick": {"k": 1}, "bottom": {"at": 0}, "queue": {"value": 3}})
        self.assertGreater(trace.left_out[(key[0], "min_duration")], 0)
        self.assertGreater(trace.left_out[(key[0], "max_depth")], 0)

    def check_protobuf(self, path):
        (slices,) = pb_slices(path).values()
        self.assertEqual(collections.Counter(s[0] for s in slices), self.EXPECTED)
        events, counters = pbtrace.marks(path)
        (marks,) = events.values()
        self.assertEqual([(ph, name, args) for _, ph, name, _, args in marks],
                         [("B", "slow", {"n": 7}), ("I", "tick", {"k": 1}),
                          ("I", "bottom", {"at": 0})])
        self.assertEqual([v for _, v in next(iter(counters.values()))], [3])
        if TRACE_PROCESSOR is not None:
            self.assertEqual(perfetto_tp.faults(path, TRACE_PROCESSOR), {})
            rows = trace_processor(path, "select count(*) from slice where dur < 0")
            self.assertEqual(rows, [["0"]])


class DepthLimit(unittest.TestCase):
    """A recursion 1,000 deep: by default only what Perfetto can nest is written, every slice
    with its true duration; with no limit everything is."""

    PROGRAM = """\
    sys.setrecursionlimit(5000)

    def rec(n):
        if n:
            rec(n - 1)

    out, fmt = sys.argv[1], sys.argv[2]
    limits = {} if len(sys.argv) < 4 else {"max_depth": int(sys.argv[3])}
    with Tracer(out, fmt, **limits):
        rec(1000)
    """

    def trace(self, fmt, *limit):
        path = os.path.join(self.dir.name, f"t{''.join(limit)}.{fmt}")
        run_python(self.PROGRAM, path, fmt, *limit)
        return path

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def test_default_limit_keeps_the_outer_frames_with_their_true_durations(self):
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt):
                path = self.trace(fmt)
                if fmt == "json":
                    trace = Trace(path)
                    (key,) = trace.events
                    slices = json_slices(trace, key)
                    left_out = {r: n for (_, r), n in trace.left_out.items()}
                else:
                    (slices,) = pb_slices(path).values()
                    left_out = dict(pb_left_out(path))
                # <module>, begun at the start, is the first frame: 255 calls of rec under it
                # (the stop's own calls follow, at depth 2 to 4).
                recs = [s for s in slices if s[0] == "rec"]
                self.assertEqual(len(recs), 255)
                self.assertEqual(max(s[3] for s in slices), 256)
                self.assertEqual(left_out, {"max_depth": 2 * (1001 - 255)})
                self.assertTrue(all(s[2] is not None for s in recs))
                # Every written slice ends after the one inside it: ends close the right ones.
                ends = [s[2] for s in recs]
                self.assertEqual(ends, sorted(ends, reverse=True))
                self.check_with_perfetto(path, slices)

    def check_with_perfetto(self, path, slices):
        if TRACE_PROCESSOR is None:
            self.skipTest("Perfetto's trace_processor_shell was not found")
        self.assertEqual(perfetto_tp.faults(path, TRACE_PROCESSOR), {})
        stats = trace_processor(path, "select value from stats where value > 0 and "
                                      "name = 'slice_max_depth_exceeded'")
        self.assertEqual(stats, [])
        rows = trace_processor(path, "select ts, dur, depth from slice "
                                     "where name = 'rec' order by depth")
        ours = [(b, e - b, d - 1) for name, b, e, d, _ in slices if name == "rec"]
        self.assertEqual([tuple(map(int, r)) for r in rows], ours)

    def test_no_limit_writes_every_frame(self):
        path = self.trace("protobuf", "0")
        (slices,) = pb_slices(path).values()
        self.assertEqual(sum(s[0] == "rec" for s in slices), 1001)
        self.assertEqual(max(s[3] for s in slices), 1002)
        self.assertEqual(pb_left_out(path), {})
        if TRACE_PROCESSOR is not None:
            # What the default guards against: Perfetto drops what is nested deeper than 512.
            stats = trace_processor(path, "select name, value from stats where "
                                          "name = 'slice_max_depth_exceeded'")
            self.assertGreater(int(stats[0][1]), 0)


class Children(unittest.TestCase):
    """Forked and exec'd children trace with their parent's limits."""

    PROGRAM = """\
    import os, subprocess

    def deep(n):
        if n:
            deep(n - 1)
        else:
            spin()

    def work():
        for _ in range(10):
            short()
        deep(8)

    def main():
        pid = os.fork()
        if pid == 0:
            work()
            os._exit(0)
        os.waitpid(pid, 0)
        if len(sys.argv) > 2:
            subprocess.run([sys.executable, __file__], check=True)

    if len(sys.argv) == 1:
        work()  # the exec'd child, traced by the start-up hook
    else:
        with Tracer(sys.argv[1], "json", min_duration=MIN_S, max_depth=int(sys.argv[2])):
            main()
    """

    def test_children_leave_out_what_the_parent_does(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "t.json")
            run_python(self.PROGRAM, path, "4")
            trace = Trace(path)
        pids = {pid for pid, _ in trace.events}
        self.assertEqual(len(pids), 3, "parent, forked and exec'd child")
        parent = None
        for key in trace.events:
            slices = json_slices(trace, key)
            names = {s[0] for s in slices}
            if "work" not in names:
                parent = key
                continue
            with self.subTest(pid=key[0]):
                self.assertNotIn("short", names)
                self.assertLessEqual(max(s[3] for s in slices), 4)
                self.assertIn("deep", names)
                self.assertGreater(trace.left_out[(key[0], "min_duration")], 0)
                self.assertGreater(trace.left_out[(key[0], "max_depth")], 0)
        self.assertIsNotNone(parent)


class Arguments(unittest.TestCase):
    def test_bad_limits_are_refused_with_the_argument_named(self):
        from vespra import Tracer

        for kwargs, error in (({"min_duration": "10us"}, TypeError),
                              ({"min_duration": True}, TypeError),
                              ({"min_duration": -1e-6}, ValueError),
                              ({"min_duration": float("nan")}, ValueError),
                              ({"max_depth": 2.5}, TypeError),
                              ({"max_depth": -1}, ValueError),
                              ({"max_depth": 1 << 40}, ValueError)):
            with self.subTest(kwargs=kwargs):
                with self.assertRaises(error) as caught:
                    Tracer(os.devnull, **kwargs)
                self.assertIn(next(iter(kwargs)), str(caught.exception))

    def test_command_line_options_reach_the_tracer_and_bad_values_are_usage_errors(self):
        with tempfile.TemporaryDirectory() as tmp:
            script = os.path.join(tmp, "prog.py")
            with open(script, "w") as f:
                f.write(COMMON + textwrap.dedent("""\
                    def rec(n):
                        if n:
                            rec(n - 1)
                        else:
                            spin()
                    for _ in range(5):
                        short()
                    rec(10)
                    """))
            out = os.path.join(tmp, "t.json")
            subprocess.run([VESPRA, "run", "-o", out, "-f", "json", "--min-duration", "20ms",
                            "--max-depth=6", script], env=clean_env(), check=True, timeout=300)
            trace = Trace(out)
            (key,) = trace.events
            slices = json_slices(trace, key)
            # The script's own frame, and rec down to the sixth level from the first frame.
            (module,) = [s for s in slices if s[0] == "<module>"]
            recs = [s for s in slices if s[0] == "rec"]
            self.assertEqual(len(recs), 6 - module[3])
            self.assertEqual(max(s[3] for s in slices), 6)
            self.assertNotIn("short", {s[0] for s in slices})
            self.assertGreater(trace.left_out[(key[0], "max_depth")], 0)
            self.assertGreater(trace.left_out[(key[0], "min_duration")], 0)
            for option, value in (("--min-duration", "10"), ("--min-duration", "fast"),
                                  ("--max-depth", "-1"), ("--max-depth", "deep")):
                proc = subprocess.run([VESPRA, "run", "-o", out, option, value, script],
                                      env=clean_env(), capture_output=True, text=True)
                self.assertEqual(proc.returncode, 2, (option, value))
                self.assertIn(option, proc.stderr)


if __name__ == "__main__":
    unittest.main()
