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


def slices(trace):
    """(pid, process, thread, name, file, ts, dur, depth, clipped_start, clipped_end) of each
    slice trace_processor reads in `trace`."""
    unset = ("[NULL]", "0", "false")
    return sorted((r["pid"], r["process"], r["thread"], r["name"], r["file"], int(r["ts"]),
                   int(r["dur"]), int(r["depth"]), r["clipped_start"] not in unset,
                   r["clipped_end"] not in unset) for r in perfetto.query(trace, SLICES))


def expected(original, first, last, keep, min_duration=0, max_depth=0):
    """The original's slices as the cut must hold them: those of kept threads that reach into
    [first, last], clipped to it, within the limits; instants whatever their length."""
    kept = []
    for pid, process, thread, name, file, ts, dur, depth, _, _ in original:
        begin, end = max(ts, first), min(ts + dur, last)
        if (keep(pid, process, thread) and begin <= end and not (max_depth and depth >= max_depth)
                and not (dur and end - begin < min_duration)):
            kept.append((pid, process, thread, name, file, begin, end - begin, depth, ts < first,
                         ts + dur > last))
    return sorted(kept)


@unittest.skipUnless(perfetto.SHELL, perfetto.MISSING)
class CutTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = pathlib.Path(cls.enterClassContext(tempfile.TemporaryDirectory()))
        (cls.dir / "program.py").write_text(PROGRAM)
        (cls.dir / "child.py").write_text(CHILD)
        cls.traces = {}
        for fmt, mode in [("protobuf", "absolute"), ("json", "absolute"),
                          ("protobuf", "incremental")]:
            out = cls.traces[f"{fmt}-{mode}"] = cls.dir / f"trace-{mode}.{fmt}"
            subprocess.run([sys.executable, cls.dir / "program.py", out, fmt, mode,
                            cls.dir / "child.py"], check=True, timeout=300)

    def cut(self, trace, *args):
        out = self.dir / ("cut" + trace.suffix)
        proc = subprocess.run([VESPRA, "cut", str(trace), "-o", str(out), *args],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return out

    def test_cut_keeps_exactly_the_selected_slices_clipped_at_the_edges(self):
        def counters(trace):
            return [int(r["ts"]) for r in perfetto.query(trace, COUNTERS)]
        for name, trace in self.traces.items():
            original = slices(trace)
            end = max(s[5] + s[6] for s in original)
            parent = next(s[0] for s in original if s[1] == "program.py")
            a, b = end * 3 // 10, end * 7 // 10
            cases = [
                ([], 0, end, None, {}),
                (["--from", f"{a}ns", "--to", f"{b}ns"], a, b, None, {}),
                (["--to", f"{a}ns", "--thread", "worker-A"], 0, a,
                 lambda pid, process, thread: thread == "worker-A", {}),
                (["--process", "child.py", "--max-depth", "4"], 0, end,
                 lambda pid, process, thread: process == "child.py", {"max_depth": 4}),
                (["--process", parent, "--from", f"{a}ns", "--min-duration", "3ms"], a, end,
                 lambda pid, process, thread: pid == parent, {"min_duration": 3_000_000}),
            ]
            for args, first, last, keep, limits in cases:
                with self.subTest(trace=name, args=args):
                    cut = self.cut(trace, *args)
                    want = expected(original, first, last, keep or (lambda *_: True), **limits)
                    have = slices(cut)
                    self.assertTrue(want)
                    # The differences, not a diff of thousands of rows.
                    self.assertEqual((sorted(set(want) - set(have))[:5],
                                      sorted(set(have) - set(want))[:5], len(have)),
                                     ([], [], len(want)))
                    self.assertEqual(perfetto.faults(cut), {})
                    if keep is None:
                        self.assertEqual(counters(cut), [t for t in counters(trace)
                                                         if first <= t <= last])

    def test_summary_selects_what_cut_keeps(self):
        for name, trace in self.traces.items():
            end = max(s[5] + s[6] for s in slices(trace))
            window = ["--from", f"{end // 4}ns", "--to", f"{end // 2}ns", "--thread", "MainThread"]
            cut = self.cut(trace, *window)
            summaries = [json.loads(subprocess.run(
                [VESPRA, "summary", "--json", "-n", "0", *args], capture_output=True, text=True,
                check=True, timeout=300).stdout) for args in ([str(trace), *window], [str(cut)])]
            with self.subTest(trace=name):
                self.assertEqual(*[s["tables"] for s in summaries])

    def test_refusals_leave_no_output(self):
        trace = self.traces["protobuf-absolute"]
        killed, out = self.dir / "killed.pb", self.dir / "x.pb"
        killed.write_bytes(trace.read_bytes())
        # What a killed first process leaves: beside the trace, a part of a process that is gone.
        (self.dir / "killed.pb.parts").mkdir()
        (self.dir / "killed.pb.parts" / "999999-0").write_bytes(b"")
        for args, message in [
                ([trace, "-o", out, "--process", "nowhere"], "no process 'nowhere' in the trace"),
                ([trace, "-o", out, "--thread", "99999999"], "no thread '99999999' in the trace"),
                ([trace, "-o", trace], "is the trace being cut"),
                ([trace, "-o", out, "--from", "2s", "--to", "1s"],
                 "'--to' must be later than '--from'"),
                ([killed, "-o", out], f"first with `vespra join {killed}`")]:
            with self.subTest(args=args):
                proc = subprocess.run([VESPRA, "cut", *map(str, args)], capture_output=True,
                                      text=True, timeout=300)
                self.assertNotEqual(proc.returncode, 0)
                self.assertIn(message, proc.stderr)
                self.assertFalse(out.exists())


if __name__ == "__main__":
    unittest.main()
