"""`vespra summary` and `vespra flamegraph` on traces of a program whose shape is known: nested
calls with sleeps, recursion, a generator, an exception unwinding three frames, a second thread
and a forked child, traced once in each format."""

import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")

PROGRAM = """\
import os, threading, time
def leaf(): time.sleep(0.02)
def middle(): leaf(); leaf()
def outer(): middle(); time.sleep(0.01)
def rec(n): return 0 if n == 0 else rec(n - 1) + 1
def gen(n): yield from range(n)
def consume(): return sum(gen(5))
def raise3(): raise ValueError("three frames down")
def raise2(): raise3()
def raise1(): raise2()
def catcher():
    try:
        raise1()
    except ValueError:
        pass
def worker():
    for _ in range(3):
        middle()
def main():
    outer(); rec(10); consume(); catcher()
    t = threading.Thread(target=worker, name="worker-A")
    t.start()
    t.join()
    pid = os.fork()
    if pid == 0:
        rec(3)
        os._exit(0)
    os.waitpid(pid, 0)
main()
"""

# Slices per function over the whole trace: a generator's every (re)start is one; rec runs 11
# times in the parent and 4 in the forked child; middle once on the main thread, 3 on worker-A;
# main in both processes (the child's os._exit ends it there).
CALLS = {"leaf": 8, "middle": 4, "outer": 1, "rec": 15, "gen": 6, "consume": 1, "raise3": 1,
         "raise2": 1, "raise1": 1, "catcher": 1, "worker": 1, "main": 2}


def vespra(*args):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}
    return subprocess.run([VESPRA, *args], env=env, capture_output=True, text=True, timeout=300)


def ours(table):
    """Our functions' rows of a table, by name, in table order."""
    return {r["function"]: r for r in table["rows"] if r["function"] in CALLS}


class AnalysisTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = pathlib.Path(cls.enterClassContext(tempfile.TemporaryDirectory()))
        (cls.dir / "prog.py").write_text(PROGRAM)
        cls.traces = {fmt: str(cls.dir / name) for fmt, name in (("protobuf", "t.pb"),
                                                                 ("json", "t.json"))}
        for fmt, path in cls.traces.items():
            done = vespra("run", "-f", fmt, "-o", path, str(cls.dir / "prog.py"))
            assert done.returncode == 0, done.stderr

    def summary(self, fmt, *args):
        done = vespra("summary", "--json", "-n", "0", *args, self.traces[fmt])
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        return json.loads(done.stdout)

    def test_summary_counts_every_call_and_puts_time_where_it_was_spent(self):
        orders = []
        for fmt in self.traces:
            with self.subTest(fmt=fmt):
                s = self.summary(fmt, "--sort", "calls")
                self.assertEqual((s["format"], s["cut"], s["missing"]["dropped_events"]),
                                 (fmt, False, 0))
                self.assertEqual(len(s["processes"]), 2)  # parent and forked child
                self.assertIn("worker-A", [t["name"] for p in s["processes"]
                                           for t in p["threads"]])
                rows = ours(s["tables"][0])
                self.assertEqual({n: r["calls"] for n, r in rows.items()}, CALLS)
                orders.append(list(rows))  # by calls, ties by name
                self.assertGreaterEqual(rows["leaf"]["self_ns"], 8 * 20_000_000)
                self.assertGreaterEqual(rows["outer"]["self_ns"], 10_000_000)
                self.assertLess(rows["middle"]["self_ns"], 5_000_000)
                by_thread = self.summary(fmt, "--by", "thread")["tables"]
                worker = next(t for t in by_thread if t.get("thread") == "worker-A")
                self.assertEqual(ours(worker)["middle"]["calls"], 3)
                by_process = self.summary(fmt, "--by", "process", "--filter", "rec")["tables"]
                self.assertEqual(sorted(ours(t)["rec"]["calls"] for t in by_process), [4, 11])
                self.assertTrue(all(set(ours(t)) == {"rec"} for t in by_process))
        self.assertEqual(orders[0], orders[1])

    def test_flame_graph_frames_are_as_wide_as_the_totals(self):
        for fmt, trace in self.traces.items():
            with self.subTest(fmt=fmt):
                totals = {n: r["total_ns"] for n, r in ours(self.summary(fmt)["tables"][0]).items()}
                svg = str(self.dir / f"{fmt}.svg")
                self.assertEqual(vespra("flamegraph", trace, "-o", svg).returncode, 0)
                widths = {}
                for g in ET.parse(svg).getroot().iter("{http://www.w3.org/2000/svg}g"):
                    widths[g.get("data-n")] = widths.get(g.get("data-n"), 0) + int(g.get("data-v"))
                # Frames narrower than a tenth of a pixel are left out: these are all wider.
                for name in ("leaf", "middle", "outer", "worker", "main"):
                    self.assertEqual(widths[name], totals[name], name)
                folded = self.dir / f"{fmt}.folded"
                for options, stack in [((), r";outer;middle;leaf (\d+)$"), (
                        ("--per-thread",), r"^worker-A \(.*;worker;middle;leaf (\d+)$")]:
                    self.assertEqual(vespra("flamegraph", "--folded", *options, "-o", str(folded),
                                            trace).returncode, 0)
                    found = re.findall(stack, folded.read_text(), re.MULTILINE)
                    self.assertEqual(len(found), 1, stack)
                    self.assertGreaterEqual(int(found[0]), 2 * 20_000_000)

    def test_cut_empty_and_foreign_files(self):
        data = pathlib.Path(self.traces["protobuf"]).read_bytes()
        text = pathlib.Path(self.traces["json"]).read_bytes()
        # A cut inside the last packet, or inside a record, is reported and read up to the cut.
        for name, content in (("cut.pb", data[:-1]),
                              ("cut.json", text[: text.index(b",", len(text) // 2) + 5])):
            (self.dir / name).write_bytes(content)
            done = vespra("summary", "--json", str(self.dir / name))
            self.assertTrue(json.loads(done.stdout)["cut"], name)
            self.assertRegex(done.stderr, r"^vespra: warning: trace cut short: .*\n$")
        # The readers' errors are the analysis tests' business: here, how the commands end.
        bad = {"empty": b"", "random": os.urandom(4096),
               "corrupt.pb": data + b"\x0a\x05\x40\xff\xff\xff\xff", "missing": None}
        for name, content in bad.items():
            path = self.dir / name
            if content is not None:
                path.write_bytes(content)
            for command in (("summary", str(path)), ("flamegraph", str(path), "-o", f"{path}.svg")):
                with self.subTest(name=name, command=command[0]):
                    done = vespra(*command)
                    self.assertEqual((done.returncode, done.stdout), (1, ""))
                    self.assertRegex(done.stderr, r"^vespra: [^\n]+\n$")
                    self.assertFalse(os.path.exists(f"{path}.svg"))


if __name__ == "__main__":
    unittest.main()
