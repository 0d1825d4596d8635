"""Processes are named in traces as users know them: after the script or module they run, after
multiprocessing's name for its workers, with their command line; a forked child that is not a
worker keeps its parent's name. Workers stopped by their pool's SIGTERM leave complete calls."""

import collections
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest

import pbtrace
import perfetto
from jsontrace import Trace, nesting, tracks

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")

# A program that forks a plain child, starts three exec'd children (a script, a module, -c) and
# a pool of four fork workers, one of two spawn workers and one of two forkserver workers (3.14's
# default on Linux). Every worker waits at a barrier in its initializer, so that all are running,
# and named, before the pool's SIGTERM can come. Prints its own process id and its forked child's.
FAMILY = """\
    import json, multiprocessing, os, subprocess, sys

    def square(x):
        return x * x

    def all_started(barrier):
        barrier.wait(120)

    if __name__ == "__main__":
        pids = [os.getpid()]
        if (pid := os.fork()) == 0:
            square(1)
            os._exit(0)
        os.waitpid(pid, 0)
        pids.append(pid)
        for args in (["child.py", "a"], ["-m", "tools.child"], ["-c", "pass"]):
            subprocess.run([sys.executable, *args], check=True)
        for method, n in (("fork", 4), ("spawn", 2), ("forkserver", 2)):
            ctx = multiprocessing.get_context(method)
            barrier = ctx.Barrier(n)
            with ctx.Pool(n, initializer=all_started, initargs=(barrier,)) as pool:
                assert sum(pool.map(square, range(64), chunksize=1)) == 85344
        print(json.dumps(pids))
    """

CHILD = "import os\ndef child(): return os.getpid()\nchild()\n"


class NamesTest(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))

    def write(self, name, code):
        path = self.dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(code))

    def run_in(self, *args):
        env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}
        proc = subprocess.run(args, cwd=self.dir, env=env, capture_output=True, text=True,
                              timeout=600)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout

    def names(self, path, fmt):
        """{pid: name} as a plain decoder reads the trace, and {pid: command line}."""
        if fmt == "json":
            return Trace(path).process_names, {}
        decoded = pbtrace.process_names(path)
        return {pid: n for pid, (n, _, _) in decoded.items()}, {p: c for p, (_, c, _) in
                                                               decoded.items()}

    def test_scripts_modules_workers_and_forked_children_in_both_formats(self):
        self.write("script.py", FAMILY)
        self.write("child.py", CHILD)
        self.write("tools/__init__.py", "")
        self.write("tools/child.py", CHILD)
        for fmt in ("protobuf", "json"):
            with self.subTest(fmt):
                out = self.dir / f"family.{fmt}"
                script, forked = json.loads(self.run_in(VESPRA, "run", "-f", fmt, "-o", str(out),
                                                        "script.py"))
                names, cmdlines = self.names(out, fmt)
                self.assertEqual((names[script], names[forked]), ("script.py",) * 2)
                others = [n for pid, n in names.items() if pid not in (script, forked)]
                workers = [n for n in others if "PoolWorker-" in n]
                self.assertEqual(collections.Counter(re.sub(r"-\d+$", "", n) for n in workers),
                                 {"ForkPoolWorker": 4, "SpawnPoolWorker": 2,
                                  "ForkServerPoolWorker": 2})
                self.assertEqual(len(set(workers)), 8, workers)
                self.assertEqual(set(others) - set(workers),
                                 {"child.py", "python -c", "tools.child"})
                # The reader names every process as the decoder does.
                read = json.loads(self.run_in(VESPRA, "summary", str(out), "--json"))
                self.assertEqual({p["pid"]: p["name"] for p in read["processes"]}, names)
                # Every square begun ends, the pools' SIGTERM notwithstanding.
                threads = tracks(out)
                squares = collections.Counter(ph for _, evs in threads.values()
                                              for _, ph, n in evs if n == "square")
                self.assertEqual(squares, {"B": 3 * 64 + 1, "E": 3 * 64 + 1})
                for key, (_, evs) in threads.items():
                    self.assertIsNone(nesting(evs)[0], key)
                if fmt == "protobuf":
                    # The real command line: the launcher's for the script and its forked child.
                    self.assertEqual(cmdlines[script][-3:], ["-o", str(out), "script.py"])
                    self.assertEqual(cmdlines[forked], cmdlines[script])
                    [child] = [pid for pid, n in names.items() if n == "child.py"]
                    self.assertEqual(cmdlines[child][1:], ["child.py", "a"])
                    # Sibling workers forked from one parent write on sequences of their own.
                    owners = collections.defaultdict(set)
                    for packet in pbtrace.read_packets(out):
                        if desc := packet.get("track_descriptor"):
                            owners[packet["trusted_packet_sequence_id"]].add(
                                (desc.get("thread") or desc["process"])["pid"])
                    self.assertEqual({s: p for s, p in owners.items() if len(p) > 1}, {})
                    if perfetto.SHELL:
                        rows = perfetto.query(out, "select pid, name from process where pid != 0")
                        self.assertEqual({int(r["pid"]): r["name"] for r in rows}, names)

    def test_vespra_run_names_the_script_or_module_and_a_tracer_its_program(self):
        # (A script run by `vespra run`, and a module run by the start-up hook: see above.)
        self.write("tools/__init__.py", "")
        self.write("tools/__main__.py", CHILD)
        for name in ("traced.py", "tools/traced.py"):
            self.write(name, """\
                import sys
                from vespra import Tracer
                def f(): pass
                with Tracer(sys.argv[1], sys.argv[2], process_name=(sys.argv[3:] or [None])[0]):
                    f()
                """)
        cases = [([VESPRA, "run", "-f", "{fmt}", "-o", "{out}", "-m", "tools"], "tools"),
                 ([sys.executable, "traced.py", "{out}", "{fmt}"], "traced.py"),
                 ([sys.executable, "-m", "tools.traced", "{out}", "{fmt}"], "tools.traced"),
                 ([sys.executable, "traced.py", "{out}", "{fmt}", "svc ☃"], "svc ☃")]
        for fmt in ("protobuf", "json"):
            for command, expected in cases:
                with self.subTest(fmt=fmt, expected=expected):
                    out = str(self.dir / f"t.{fmt}")
                    self.run_in(*[w.format(out=out, fmt=fmt) for w in command])
                    self.assertEqual(list(self.names(out, fmt)[0].values()), [expected])


if __name__ == "__main__":
    unittest.main()
