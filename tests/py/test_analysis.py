"""`vespra summary` and `vespra flamegraph` on traces of a program whose shape is known: nested
calls with sleeps, recursion, a generator, an exception unwinding three frames, a second thread
and a forked child, traced once in each format."""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import unittest
import xml.etree.ElementTree as ET

from pbtrace import _varint

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")
ENV = ("VESPRA_CHILD_OUTPUT", "VESPRA_CHILD_FORMAT")

PROGRAM = """\
import os, threading, time

def leaf():
    time.sleep(0.02)

def middle():
    leaf()
    leaf()

def outer():
    middle()
    time.sleep(0.01)

def rec(n):
    return 0 if n == 0 else rec(n - 1) + 1

def gen(n):
    for i in range(n):
        yield i

def consume():
    return sum(gen(5))

def raise3():
    raise ValueError("three frames down")

def raise2():
    raise3()

def raise1():
    raise2()

def catcher():
    try:
        raise1()
    except ValueError:
        pass

def worker():
    for _ in range(3):
        middle()

def main():
    outer()
    rec(10)
    consume()
    catcher()
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

OURS = ("leaf", "middle", "outer", "rec", "gen", "consume", "raise3", "raise2", "raise1",
        "catcher", "worker", "main")
# Slices per function over the whole trace: a generator's every (re)start is one; rec runs 11
# times in the parent and 4 in the forked child; middle once on the main thread, 3 on worker-A;
# main in both processes (the child's os._exit ends it there).
CALLS = {"leaf": 8, "middle": 4, "outer": 1, "rec": 15, "gen": 6, "consume": 1, "raise3": 1,
         "raise2": 1, "raise1": 1, "catcher": 1, "worker": 1, "main": 2}


def vespra(*args):
    env = {k: v for k, v in os.environ.items() if k not in ENV}
    return subprocess.run([VESPRA, *args], env=env, capture_output=True, text=True, timeout=300)


def mid_packet(stream, near):
    """An offset inside the first packet that starts at or after `near`: cutting there never
    leaves a whole stream, as a cut between two packets would."""
    at = 0
    while True:
        assert stream[at] == 0x0A, "a packet is field 1 of Trace"
        length, body = _varint(stream, at + 1, len(stream))
        if at >= near:
            return body + 1
        at = body + length


class AnalysisTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = pathlib.Path(cls.tmp.name)
        program = cls.dir / "prog.py"
        program.write_text(PROGRAM)
        cls.traces = {}
        for fmt, name in (("protobuf", "t.pb"), ("json", "t.json")):
            path = str(cls.dir / name)
            done = vespra("run", "-f", fmt, "-o", path, str(program))
            assert done.returncode == 0, done.stderr
            cls.traces[fmt] = path

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def summary(self, fmt, *args):
        done = vespra("summary", "--json", "-n", "0", *args, self.traces[fmt])
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr, "")
        return json.loads(done.stdout)

    def ours(self, table):
        """Our functions' rows of a table, by name, in table order."""
        return {r["function"]: r for r in table["rows"] if r["function"] in OURS}

    def test_calls_are_exact_and_both_formats_agree(self):
        tables = {}
        for fmt in self.traces:
            with self.subTest(fmt=fmt):
                s = self.summary(fmt, "--sort", "calls")
                self.assertEqual(s["format"], fmt)
                self.assertFalse(s["cut"])
                self.assertEqual(s["missing"]["dropped_events"], 0)
                self.assertEqual(len(s["processes"]), 2)  # parent and forked child
                threads = [t["name"] for p in s["processes"] for t in p["threads"]]
                self.assertIn("worker-A", threads)
                (table,) = s["tables"]
                rows = self.ours(table)
                self.assertEqual({n: r["calls"] for n, r in rows.items()}, CALLS)
                if fmt == "json":
                    self.assertTrue(all(r["file"].endswith("prog.py") for r in rows.values()))
                    self.assertEqual(rows["leaf"]["line"], 3)
                tables[fmt] = [n for n in rows]  # ordered by calls, ties by name
                for r in rows.values():
                    self.assertLessEqual(r["self_ns"], r["total_ns"])
                    self.assertLessEqual(r["max_ns"], r["total_ns"])
                    self.assertEqual(r["mean_ns"], r["total_ns"] // r["calls"])
                # Sleeps put the time where it was spent.
                self.assertGreaterEqual(rows["leaf"]["self_ns"], 8 * 20_000_000)
                self.assertGreaterEqual(rows["leaf"]["max_ns"], 20_000_000)
                self.assertGreaterEqual(rows["outer"]["self_ns"], 10_000_000)
                self.assertLess(rows["middle"]["self_ns"], 5_000_000)
                # Recursion counts the outermost call only: rec's total is under its calls'
                # sum of totals, which count every level.
                self.assertLess(rows["rec"]["total_ns"], rows["main"]["total_ns"])
                # The default order is by self time, largest first. Which function leads is up
                # to how the machine scheduled the processes (main's self time is its fork and
                # wait): the sleeps only bound self times from below.
                by_self = self.summary(fmt)["tables"][0]["rows"]
                selfs = [r["self_ns"] for r in by_self]
                self.assertEqual(selfs, sorted(selfs, reverse=True))
        self.assertEqual(tables["json"], tables["protobuf"])

    def test_self_and_children_make_the_total_per_thread_and_process(self):
        for fmt in self.traces:
            with self.subTest(fmt=fmt):
                s = self.summary(fmt, "--by", "thread")
                main = next(t for t in s["tables"] if self.ours(t).get("outer"))
                rows = self.ours(main)
                # On the main thread each of these has exactly the children named here.
                children = {"outer": ["middle"], "middle": ["leaf"], "leaf": [],
                            "raise1": ["raise2"], "raise2": ["raise3"], "raise3": [],
                            "catcher": ["raise1"], "consume": ["gen"]}
                for name, kids in children.items():
                    r = rows[name]
                    self.assertEqual(r["total_ns"] - r["self_ns"],
                                     sum(rows[k]["total_ns"] for k in kids), name)
                worker = next(t for t in s["tables"] if t.get("thread") == "worker-A")
                self.assertEqual(self.ours(worker)["middle"]["calls"], 3)
                by_process = self.summary(fmt, "--by", "process", "--filter", "rec")["tables"]
                self.assertEqual(sorted(self.ours(t)["rec"]["calls"] for t in by_process), [4, 11])
                self.assertTrue(all(set(self.ours(t)) == {"rec"} for t in by_process))

    def test_flame_graph_frames_are_as_wide_as_the_totals(self):
        for fmt in self.traces:
            with self.subTest(fmt=fmt):
                totals = {n: r["total_ns"] for n, r in self.ours(self.summary(fmt)["tables"][0]).items()}
                svg = str(self.dir / f"{fmt}.svg")
                done = vespra("flamegraph", self.traces[fmt], "-o", svg)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))
                root = ET.parse(svg).getroot()
                self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg")
                widths = {}
                for g in root.iter("{http://www.w3.org/2000/svg}g"):
                    widths[g.get("data-n")] = widths.get(g.get("data-n"), 0) + int(g.get("data-v"))
                # Frames narrower than a tenth of a pixel are left out: these are all wider.
                for name in ("leaf", "middle", "outer", "worker", "main"):
                    self.assertEqual(widths[name], totals[name], name)

                folded = str(self.dir / f"{fmt}.folded")
                done = vespra("flamegraph", "--folded", "-o", folded, self.traces[fmt])
                self.assertEqual(done.returncode, 0, done.stderr)
                lines = pathlib.Path(folded).read_text().splitlines()
                leaf = [ln for ln in lines if ln.rsplit(" ", 1)[0].endswith(";outer;middle;leaf")]
                self.assertEqual(len(leaf), 1, lines)
                self.assertGreaterEqual(int(leaf[0].rsplit(" ", 1)[1]), 2 * 20_000_000)
                per_thread = str(self.dir / f"{fmt}.threads.folded")
                self.assertEqual(vespra("flamegraph", "--folded", "--per-thread", "-o",
                                        per_thread, self.traces[fmt]).returncode, 0)
                self.assertTrue(any(ln.startswith("worker-A (") and ";worker;middle;leaf " in ln
                                    for ln in pathlib.Path(per_thread).read_text().splitlines()))

    def test_text_summary(self):
        # By calls, which are exact: which function spent most time is up to the machine's load
        # (main's self time is its waits for the thread and the child, and the child's life).
        done = vespra("summary", self.traces["json"], "-n", "3", "--filter", "prog.py",
                      "--sort", "calls")
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertTrue(lines[0].startswith("format     json, "))
        header = next(i for i, ln in enumerate(lines) if ln.startswith("function "))
        first = lines[header + 1].split()
        self.assertEqual(first[0], "rec")
        self.assertTrue(first[1].endswith("prog.py:14"), first)
        self.assertEqual(first[2], "15")
        # Our twelve functions and the module's code.
        self.assertEqual(lines[header + 4], "(3 of 13 functions matching the filter, by calls)")

    def test_cut_empty_and_foreign_files(self):
        data = pathlib.Path(self.traces["protobuf"]).read_bytes()
        cut = self.dir / "cut.pb"
        cut.write_bytes(data[: mid_packet(data, len(data) // 2)])
        done = vespra("summary", "--json", str(cut))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(json.loads(done.stdout)["cut"])
        self.assertRegex(done.stderr, r"^vespra: warning: trace cut short: .*\n$")
        jcut = self.dir / "cut.json"
        text = pathlib.Path(self.traces["json"]).read_bytes()
        jcut.write_bytes(text[: text.index(b",", len(text) // 2) + 5])  # inside the next record
        self.assertTrue(json.loads(vespra("summary", "--json", str(jcut)).stdout)["cut"])

        bad = {"empty": b"", "random": os.urandom(4096), "text": PROGRAM.encode(),
               "corrupt.pb": data + b"\x0a\x05\x40\xff\xff\xff\xff",
               "corrupt.json": b'[{"name":"f","ph":"B","ts":1,"pid":1,"tid":1},{"ph":"B"},'}
        for name, content in bad.items():
            path = self.dir / name
            path.write_bytes(content)
            for command in (("summary", str(path)), ("flamegraph", str(path), "-o", str(path) + ".svg")):
                with self.subTest(name=name, command=command[0]):
                    done = vespra(*command)
                    self.assertEqual(done.returncode, 1)
                    self.assertEqual(done.stdout, "")
                    self.assertRegex(done.stderr, r"^vespra: [^\n]+\n$")
                    self.assertFalse(os.path.exists(str(path) + ".svg"))
        done = vespra("summary", str(self.dir / "missing.pb"))
        self.assertEqual(done.returncode, 1)
        self.assertIn("No such file or directory", done.stderr)


if __name__ == "__main__":
    unittest.main()
