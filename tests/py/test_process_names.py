"""Processes are named in traces as users know them: after the script or module they run, after
multiprocessing's name for its workers, with their command line; a forked child that is not a
worker keeps its parent's name. Checked in both formats through a plain decoder, our own reader
(`vespra summary`, `vespra flamegraph`) and, where it is present, Perfetto's trace_processor.
Each scenario runs in a fresh process."""

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
from jsontrace import Trace

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")

# A program that forks a plain child, starts three exec'd children (a script, a module, -c) and
# a pool of four fork workers and one of two spawn workers. Every worker waits at a barrier in
# its initializer, so that all are running, and named, before the pool's SIGTERM can come.
# Prints its own process id and its plain forked child's.
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
        # forkserver: 3.14's default on Linux; its workers fork from a server exec'd at first use.
        for method, n in (("fork", 4), ("spawn", 2), ("forkserver", 2)):
            ctx = multiprocessing.get_context(method)
            barrier = ctx.Barrier(n)
            with ctx.Pool(n, initializer=all_started, initargs=(barrier,)) as pool:
                assert sum(pool.map(square, range(64), chunksize=1)) == 85344
        print(json.dumps(pids))
    """

CHILD = "import os\ndef child(): return os.getpid()\nchild()\n"


def run(args, cwd, code=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}
    proc = subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
    if proc.returncode != 0:
        raise AssertionError(f"{args} exited with {proc.returncode}: {proc.stderr}")
    return proc.stdout


class NamesTest(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))

    def write(self, name, code):
        path = self.dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(code))

    def names(self, path, fmt):
        """{pid: name} as a plain decoder reads the trace, and {pid: command line}."""
        if fmt == "json":
            return Trace(path).process_names, {}
        decoded = pbtrace.process_names(path)
        for pid, (name, _cmdline, track) in decoded.items():
            self.assertEqual(track, f"{name}:{pid}")  # the pid stays in the track's name
        return ({pid: n for pid, (n, _c, _t) in decoded.items()},
                {pid: c for pid, (_n, c, _t) in decoded.items()})

    def summary(self, path, *args):
        return run([VESPRA, "summary", str(path), *args], self.dir)

    def check_reader_agrees(self, path, names):
        """Our own reader names every process as the decoder does."""
        read = json.loads(self.summary(path, "--json"))
        self.assertEqual({p["pid"]: p["name"] for p in read["processes"]}, names)

    def check_perfetto_agrees(self, path, names):
        if not perfetto.SHELL:
            print(perfetto.MISSING, file=sys.stderr)
            return
        self.assertEqual(perfetto.faults(path), {})
        rows = perfetto.query(path, "select pid, name from process where pid != 0")
        self.assertEqual({int(r["pid"]): r["name"] for r in rows}, names)


class FamilyTest(NamesTest):
    def test_scripts_modules_workers_and_forked_children_in_both_formats(self):
        self.write("script.py", FAMILY)
        self.write("child.py", CHILD)
        self.write("tools/__init__.py", "")
        self.write("tools/child.py", CHILD)
        for fmt in ("protobuf", "json"):
            with self.subTest(fmt):
                out = self.dir / f"family.{fmt}"
                known = json.loads(run([VESPRA, "run", "-f", fmt, "-o", str(out), "script.py"],
                                       self.dir))
                names, cmdlines = self.names(out, fmt)
                script, forked = known
                self.assertEqual(names[script], "script.py")
                self.assertEqual(names[forked], "script.py")  # not a worker: its parent's name
                others = sorted(n for pid, n in names.items() if pid not in (script, forked))
                workers = [n for n in others if "PoolWorker-" in n]
                self.assertEqual(sorted(set(others) - set(workers)),
                                 ["child.py", "python -c", "tools.child"])
                self.assertEqual(len(workers), 8)
                self.assertEqual(len(set(workers)), 8, workers)
                self.assertEqual(sum(re.fullmatch(r"ForkPoolWorker-\d+", n) is not None
                                     for n in workers), 4, workers)
                for kind in ("Spawn", "ForkServer"):
                    self.assertEqual(sum(re.fullmatch(kind + r"PoolWorker-\d+", n) is not None
                                         for n in workers), 2, workers)
                if fmt == "protobuf":
                    # The real command line: the launcher's for the script and its forked child.
                    self.assertEqual(cmdlines[script][-3:], ["-o", str(out), "script.py"])
                    self.assertEqual(cmdlines[forked], cmdlines[script])
                    [child] = [pid for pid, n in names.items() if n == "child.py"]
                    self.assertEqual(cmdlines[child][1:], ["child.py", "a"])
                    self.check_perfetto_agrees(out, names)
                self.check_reader_agrees(out, names)
                by_process = self.summary(out, "--by", "process", "-n", "1")
                for pid, name in names.items():
                    self.assertIn(f"process {pid} ({name})", by_process)
                folded = self.dir / "per-thread.folded"
                run([VESPRA, "flamegraph", str(out), "--per-thread", "--folded", "-o",
                     str(folded)], self.dir)
                self.assertIn("MainThread (ForkPoolWorker-", folded.read_text())


class ProgramTest(NamesTest):
    def test_vespra_run_names_the_script_or_module_and_a_tracer_its_program(self):
        self.write("tools/__init__.py", "")
        self.write("tools/job.py", CHILD)
        self.write("tools/__main__.py", CHILD)
        traced = """\
            import sys
            from vespra import Tracer
            def f(): pass
            with Tracer(sys.argv[1], sys.argv[2], process_name=(sys.argv[3:] or [None])[0]):
                f()
            """
        self.write("traced.py", traced)
        self.write("tools/traced.py", traced)
        # (command, the name, how many processes have it); {out} and {fmt} filled in.
        cases = [
            ([VESPRA, "run", "-f", "{fmt}", "-o", "{out}", "traced_by_cli.py"], "traced_by_cli.py",
             1),
            ([VESPRA, "run", "-f", "{fmt}", "-o", "{out}", "-m", "tools.job"], "tools.job", 1),
            ([VESPRA, "run", "-f", "{fmt}", "-o", "{out}", "-m", "tools"], "tools", 1),
            ([sys.executable, "traced.py", "{out}", "{fmt}"], "traced.py", 1),
            ([sys.executable, "-m", "tools.traced", "{out}", "{fmt}"], "tools.traced", 1),
            ([sys.executable, "traced.py", "{out}", "{fmt}", "svc ☃"], "svc ☃", 1),
        ]
        self.write("traced_by_cli.py", CHILD)
        for fmt in ("protobuf", "json"):
            for command, expected, processes in cases:
                with self.subTest(fmt=fmt, expected=expected):
                    out = str(self.dir / f"t.{fmt}")
                    run([w.format(out=out, fmt=fmt) for w in command], self.dir)
                    names, _ = self.names(out, fmt)
                    self.assertEqual(list(names.values()), [expected] * processes)
                    self.check_reader_agrees(out, names)
                    header = self.summary(out, "-n", "1")
                    self.assertIn(f"{list(names)[0]} {expected}:", header)


if __name__ == "__main__":
    unittest.main()
