"""`vespra cut`, and the same selection in `vespra summary`: a program of two processes, named
threads, nested calls, spans, instants and counters is traced in each format (and in protobuf
with incremental timestamps); each cut is read back by trace_processor and must hold exactly the
original's slices that the selection and limits keep, clipped at the window's edges and marked
so, with their names and files, and no error or data-loss stat."""

import json
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import unittest

import perfetto

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")

CHILD = """\
def child_work(n):
    return 0 if n == 0 else child_work(n - 1)
for _ in range(200):
    child_work(20)
"""

PROGRAM = """\
import subprocess, sys, threading, time
import vespra, vespra._core
if sys.argv[3] == "incremental":
    vespra._core._incremental_timestamps(True)

def leaf(i):
    vespra.counter("done", i)
    time.sleep(0.001)

def middle(n):
    for i in range(n):
        leaf(i)

def outer():
    with vespra.span("phase", step=1):
        vespra.instant("tick")
        for _ in range(5):
            middle(4)

def worker():
    for _ in range(3):
        middle(6)

with vespra.Tracer(sys.argv[1], sys.argv[2]):
    t = threading.Thread(target=worker, name="worker-A")
    t.start()
    outer()
    t.join()
    subprocess.run([sys.executable, sys.argv[4]], check=True)
    outer()
"""

SLICES = """\
select p.pid, p.name as process, t.tid, t.name as thread, s.name, s.ts, s.dur, s.depth,
  coalesce(extract_arg(s.arg_set_id, 'source.file_name'), extract_arg(s.arg_set_id, 'args.file'))
    as file,
  coalesce(extract_arg(s.arg_set_id, 'debug.clipped_start'),
           extract_arg(s.arg_set_id, 'args.clipped_start')) as clipped_start,
  coalesce(extract_arg(s.arg_set_id, 'debug.clipped_end'),
           extract_arg(s.arg_set_id, 'args.clipped_end')) as clipped_end
from slice s join thread_track tt on s.track_id = tt.id join thread t using (utid)
  left join process p using (upid)
"""
COUNTERS = "select c.ts from counter c join process_counter_track pct on c.track_id = pct.id"


def traced(directory, fmt, mode):
    program = pathlib.Path(directory, "program.py")
    program.write_text(PROGRAM)
    child = pathlib.Path(directory, "child.py")
    child.write_text(CHILD)
    out = pathlib.Path(directory, f"trace-{mode}.{fmt}")
    subprocess.run([sys.executable, str(program), str(out), fmt, mode, str(child)], check=True,
                   timeout=300)
    return out


def rows(trace):
    return [dict(r, ts=int(r["ts"]), dur=int(r["dur"]), depth=int(r["depth"]))
            for r in perfetto.query(trace, SLICES)]


def expected(original, first, last, keep_thread, min_duration=0, max_depth=0):
    """The original's slices as the cut must hold them: those of kept threads that reach into
    [first, last], clipped to it, within the limits; instants whatever their length."""
    kept = []
    for r in original:
        end = r["ts"] + r["dur"]
        instant = r["dur"] == 0
        if not keep_thread(r) or r["ts"] > last or end < first:
            continue
        ts, end = max(r["ts"], first), min(end, last)
        if (max_depth and r["depth"] >= max_depth) or (not instant and end - ts < min_duration):
            continue
        kept.append((r["process"], r["thread"], r["name"], r["file"], ts, end - ts, r["depth"],
                     r["ts"] < first, r["ts"] + r["dur"] > last))
    return sorted(kept)


def got(cut):
    def flag(text):
        return text not in ("[NULL]", "0", "false")
    return sorted((r["process"], r["thread"], r["name"], r["file"], r["ts"], r["dur"], r["depth"],
                   flag(r["clipped_start"]), flag(r["clipped_end"])) for r in rows(cut))


@unittest.skipUnless(perfetto.SHELL, perfetto.MISSING)
class CutTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.traces = {f"{fmt}-{mode}": traced(cls.dir.name, fmt, mode)
                      for fmt, mode in [("protobuf", "absolute"), ("json", "absolute"),
                                        ("protobuf", "incremental")]}

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def cut(self, trace, *args):
        out = pathlib.Path(self.dir.name, "cut" + trace.suffix)
        proc = subprocess.run([VESPRA, "cut", str(trace), "-o", str(out), *args],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return out

    def test_cut_keeps_exactly_the_selected_slices_clipped_at_the_edges(self):
        for name, trace in self.traces.items():
            original = rows(trace)
            end = max(r["ts"] + r["dur"] for r in original)
            parent = next(r["pid"] for r in original if r["process"] == "program.py")
            a, b = end * 3 // 10, end * 7 // 10
            every = lambda r: True  # noqa: E731
            cases = [
                ([], 0, end, every, {}),
                (["--from", f"{a}ns", "--to", f"{b}ns"], a, b, every, {}),
                (["--to", f"{a}ns", "--thread", "worker-A"], 0, a,
                 lambda r: r["thread"] == "worker-A", {}),
                (["--process", "child.py", "--max-depth", "4"], 0, end,
                 lambda r: r["process"] == "child.py", {"max_depth": 4}),
                (["--process", parent, "--from", f"{a}ns", "--min-duration", "3ms"], a, end,
                 lambda r: r["pid"] == parent, {"min_duration": 3_000_000}),
            ]
            for args, first, last, keep, limits in cases:
                with self.subTest(trace=name, args=args):
                    cut = self.cut(trace, *args)
                    want = expected(original, first, last, keep, **limits)
                    self.assertTrue(want)
                    have = got(cut)
                    # The differences, not a diff of thousands of rows.
                    self.assertEqual((sorted(set(want) - set(have))[:5],
                                      sorted(set(have) - set(want))[:5], len(have)),
                                     ([], [], len(want)))
                    self.assertEqual(perfetto.faults(cut), {})
                    counters = lambda t: [  # noqa: E731
                        int(r["ts"]) for r in perfetto.query(t, COUNTERS)]
                    if not limits and keep is every:
                        self.assertEqual(counters(cut), [t for t in counters(trace)
                                                         if first <= t <= last])

    def test_summary_selects_what_cut_keeps(self):
        for name, trace in self.traces.items():
            end = max(r["ts"] + r["dur"] for r in rows(trace))
            window = ["--from", f"{end // 4}ns", "--to", f"{end // 2}ns", "--thread", "MainThread"]
            cut = self.cut(trace, *window)
            summaries = [json.loads(subprocess.run(
                [VESPRA, "summary", "--json", "-n", "0", *args], capture_output=True, text=True,
                check=True, timeout=300).stdout) for args in ([str(trace), *window], [str(cut)])]
            with self.subTest(trace=name):
                self.assertEqual(*[s["tables"] for s in summaries])

    def test_errors(self):
        trace = str(self.traces["protobuf-absolute"])
        out = str(pathlib.Path(self.dir.name, "x.pb"))
        for args, message in [
                ([trace, "-o", out, "--process", "nowhere"], "no process 'nowhere' in the trace"),
                ([trace, "-o", out, "--thread", "99999999"], "no thread '99999999' in the trace"),
                ([trace, "-o", trace], "is the trace being cut"),
                ([trace, "-o", out, "--from", "2s", "--to", "1s"],
                 "'--to' must be later than '--from'")]:
            with self.subTest(args=args):
                proc = subprocess.run([VESPRA, "cut", *args], capture_output=True, text=True,
                                      timeout=300)
                self.assertNotEqual(proc.returncode, 0)
                self.assertIn(message, proc.stderr)
                self.assertFalse(pathlib.Path(out).exists())

    def test_a_trace_with_parts_not_joined_is_refused_with_the_way_to_join_them(self):
        # What a killed first process leaves: the trace and, beside it, a part of a process that
        # is gone (no one holds its lock).
        trace = pathlib.Path(self.dir.name, "killed.pb")
        trace.write_bytes(self.traces["protobuf-absolute"].read_bytes())
        parts = pathlib.Path(str(trace) + ".parts")
        parts.mkdir()
        (parts / "999999-0").write_bytes(b"")
        out = pathlib.Path(self.dir.name, "killed-cut.pb")
        proc = subprocess.run([VESPRA, "cut", str(trace), "-o", str(out)], capture_output=True,
                              text=True, timeout=300)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("not joined yet", proc.stderr)
        self.assertIn(f"vespra join {trace}", proc.stderr)
        self.assertFalse(out.exists())


if __name__ == "__main__":
    unittest.main()
