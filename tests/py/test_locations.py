"""Functions told apart by where they are defined: two modules that each define `helper`, one
slow and one fast, traced in each format and in protobuf's two timestamp encodings (with a
forked child that calls the fast one once more), read back by `vespra summary` and `vespra
flamegraph`, by the tests' own protobuf decoder and, where it is installed, by Perfetto's
trace_processor."""

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
ENV = ("VESPRA_CHILD_OUTPUT", "VESPRA_CHILD_FORMAT")
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
PROTOBUF = ("protobuf", "incremental")


def vespra(*args):
    env = {k: v for k, v in os.environ.items() if k not in ENV}
    return subprocess.run([VESPRA, *args], env=env, capture_output=True, text=True, timeout=300)


class TwoHelpersTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = pathlib.Path(cls.tmp.name)
        for name, text in (("slow.py", SLOW), ("fast.py", FAST), ("main.py", MAIN),
                           ("incremental.py", INCREMENTAL)):
            (cls.dir / name).write_text(text)
        cls.traces = {}
        for fmt in ("protobuf", "json"):
            path = str(cls.dir / f"t.{fmt}")
            done = vespra("run", "-f", fmt, "-o", path, str(cls.dir / "main.py"))
            assert done.returncode == 0, done.stderr
            cls.traces[fmt] = path
        path = cls.traces["incremental"] = str(cls.dir / "t.incremental")
        env = {k: v for k, v in os.environ.items() if k not in ENV}
        subprocess.run([sys.executable, str(cls.dir / "incremental.py"), path,
                        str(cls.dir / "main.py")], env=env, check=True, timeout=300)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def helpers(self, fmt, *args):
        done = vespra("summary", "--json", "-n", "0", *args, self.traces[fmt])
        self.assertEqual(done.returncode, 0, done.stderr)
        (table,) = json.loads(done.stdout)["tables"]
        return [r for r in table["rows"] if r["function"] == "helper"]

    def test_summary_has_one_row_per_helper_in_both_formats(self):
        tables = {}
        for fmt in self.traces:
            with self.subTest(fmt=fmt):
                rows = self.helpers(fmt)
                places = [(os.path.basename(r["file"]), r["line"], r["calls"]) for r in rows]
                self.assertEqual(places, [("slow.py", 4, 2), ("fast.py", 1, 3)])  # by self time
                slow, fast = rows
                self.assertGreaterEqual(slow["total_ns"], 2 * 30_000_000)
                self.assertLess(fast["total_ns"], 30_000_000)
                self.assertEqual([os.path.basename(r["file"]) for r in self.helpers(
                    fmt, "--filter", "slow.py")], ["slow.py"])
                tables[fmt] = places
                text = vespra("summary", "-n", "0", "--filter", "helper", self.traces[fmt]).stdout
                self.assertRegex(text, r"\nhelper +\S*slow\.py:4 +2 ")
                self.assertRegex(text, r"\nhelper +\S*fast\.py:1 +3 ")
        self.assertEqual(tables["protobuf"], tables["json"])
        self.assertEqual(tables["incremental"], tables["json"])

    def test_flame_graph_keeps_the_helpers_apart(self):
        for fmt in self.traces:
            with self.subTest(fmt=fmt):
                folded = str(self.dir / f"{fmt}.folded")
                done = vespra("flamegraph", "--folded", "-o", folded, self.traces[fmt])
                self.assertEqual(done.returncode, 0, done.stderr)
                leaves = sorted(ln.rsplit(";", 1)[1].rsplit(" ", 1)[0]
                                for ln in pathlib.Path(folded).read_text().splitlines()
                                if "helper" in ln.rsplit(";", 1)[-1])
                self.assertEqual(len(leaves), 2, leaves)
                self.assertTrue(leaves[0].startswith("helper (") and "fast.py:1" in leaves[0])
                self.assertTrue("slow.py:4" in leaves[1], leaves)

    def test_every_begin_names_an_interned_location(self):
        # slices() raises for a location iid not interned on its sequence.
        for key, track in (kt for fmt in PROTOBUF
                           for kt in pbtrace.slices(self.traces[fmt]).items()):
            for (_ts, phase, name), place in zip(track.events, track.places):
                if phase != "B":
                    self.assertIsNone(place)
                    continue
                self.assertIsNotNone(place, name)
                self.assertEqual(place[1], name)
                if name == "helper":
                    self.assertIn((os.path.basename(place[0]), place[2]),
                                  {("slow.py", 4), ("fast.py", 1)})

    @unittest.skipUnless(perfetto.SHELL, perfetto.MISSING)
    def test_trace_processor_reads_the_locations(self):
        for fmt in PROTOBUF:
            with self.subTest(fmt=fmt):
                self.check_with_trace_processor(self.traces[fmt])

    def check_with_trace_processor(self, path):
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
            where = (os.path.basename(args["source.file_name"]), args["source.line_number"])
            self.assertEqual(where, ("slow.py", "4") if dur >= 30_000_000 else ("fast.py", "1"))
        # Our decoder takes the timestamps as Perfetto does (deltas included), in both processes.
        ours = sorted((ts, name) for track in pbtrace.slices(path).values()
                      for ts, phase, name in track.events if phase == "B")
        theirs = sorted((int(r["ts"]), r["name"])
                        for r in perfetto.query(path, "select ts, name from slice"))
        self.assertEqual(ours, theirs)


if __name__ == "__main__":
    unittest.main()
