"""Functions told apart by where they are defined: two modules that each define `helper`, one
slow and one fast, traced in each format and in protobuf's two timestamp encodings (with a
forked child that calls the fast one once more), read back by `vespra summary`, `vespra
flamegraph`, the tests' own protobuf decoder and, where it is installed, Perfetto's reader."""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

import pbtrace
import perfetto

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")
SLOW = "import time\n\n\ndef helper():\n    time.sleep(0.03)\n"  # helper on line 4
FAST = "def helper():\n    return 1\n"  # line 1
MAIN = """\
import os, slow, fast

for _ in range(2):
    slow.helper()
    fast.helper()
pid = os.fork()
if pid == 0:
    fast.helper()
    os._exit(0)
os.waitpid(pid, 0)
"""
# The same under a tracer whose protobuf timestamps are deltas on each thread's sequence clock.
INCREMENTAL = """\
import runpy, sys, vespra, vespra._core
vespra._core._incremental_timestamps(True)
with vespra.Tracer(sys.argv[1]):
    runpy.run_path(sys.argv[2], run_name="__main__")
"""
PLACES = {("slow.py", 4), ("fast.py", 1)}


def run(*argv):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


class TwoHelpersTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = pathlib.Path(cls.enterClassContext(tempfile.TemporaryDirectory()))
        for name, text in (("slow.py", SLOW), ("fast.py", FAST), ("main.py", MAIN),
                           ("incremental.py", INCREMENTAL)):
            (cls.dir / name).write_text(text)
        cls.traces = {fmt: str(cls.dir / f"t.{fmt}") for fmt in ("protobuf", "json", "incr")}
        for fmt in ("protobuf", "json"):
            run(VESPRA, "run", "-q", "-f", fmt, "-o", cls.traces[fmt], cls.dir / "main.py")
        run(sys.executable, cls.dir / "incremental.py", cls.traces["incr"], cls.dir / "main.py")

    def test_summary_and_flame_graph_keep_the_helpers_apart(self):
        for fmt, path in self.traces.items():
            with self.subTest(fmt=fmt):
                table = json.loads(run(VESPRA, "summary", "--json", "-n", "0", path))["tables"]
                rows = [r for r in table[0]["rows"] if r["function"] == "helper"]
                self.assertEqual([(os.path.basename(r["file"]), r["line"], r["calls"])
                                  for r in rows], [("slow.py", 4, 2), ("fast.py", 1, 3)])
                slow, fast = rows  # by self time, which is nanoseconds
                self.assertGreaterEqual(slow["total_ns"], 2 * 30_000_000)
                self.assertLess(fast["total_ns"], 30_000_000)
                folded = run(VESPRA, "flamegraph", "--folded", "-o", "-", path).splitlines()
                leaves = sorted(ln.rsplit(";", 1)[-1].rsplit(" ", 1)[0] for ln in folded
                                if "helper" in ln.rsplit(";", 1)[-1])
                self.assertEqual(len(leaves), 2, leaves)
                self.assertRegex(leaves[0], r"^helper \(.*fast\.py:1")
                self.assertIn("slow.py:4", leaves[1])

    def test_every_begin_names_an_interned_location(self):
        # slices() raises for a location iid not interned on its sequence.
        for fmt in ("protobuf", "incr"):
            for track in pbtrace.slices(self.traces[fmt]).values():
                for (_, phase, name), place in zip(track.events, track.places):
                    self.assertEqual(place and place[1], name if phase == "B" else None)
                    if name == "helper" and phase == "B":
                        self.assertIn((os.path.basename(place[0]), place[2]), PLACES)

    @unittest.skipUnless(perfetto.SHELL, perfetto.MISSING)
    def test_trace_processor_reads_the_locations_and_the_times(self):
        for fmt in ("protobuf", "incr"):
            with self.subTest(fmt=fmt):
                path = self.traces[fmt]
                self.assertEqual(perfetto.faults(path), {})
                rows = perfetto.query(
                    path, "select s.id, s.dur, a.key, a.display_value from slice s join args a "
                    "using (arg_set_id) where s.name = 'helper' and a.key like 'source.%'")
                by_slice = {}
                for r in rows:
                    by_slice.setdefault((r["id"], int(r["dur"])), {})[r["key"]] = r["display_value"]
                self.assertEqual(len(by_slice), 5)
                for (_, dur), args in by_slice.items():
                    self.assertEqual(args["source.function_name"], "helper")
                    self.assertEqual((os.path.basename(args["source.file_name"]),
                                      int(args["source.line_number"])),
                                     ("slow.py", 4) if dur >= 30_000_000 else ("fast.py", 1))
                # Our decoder takes the timestamps as Perfetto does, deltas included.
                ours = sorted((ts, name) for track in pbtrace.slices(path).values()
                              for ts, phase, name in track.events if phase == "B")
                theirs = sorted((int(r["ts"]), r["name"])
                                for r in perfetto.query(path, "select ts, name from slice"))
                self.assertEqual(ours, theirs)


if __name__ == "__main__":
    unittest.main()
