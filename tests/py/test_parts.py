"""Nothing lost, nothing mixed: each process of a trace writes a part of its own, joined into the
output at its stop, so that a process killed at any instant leaves every other process's records
readable; a SIGTERM completes the trace; a second trace refuses an output that a live one
writes; a finished JSON trace is valid JSON."""

import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import perfetto

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")
FORMATS = {"protobuf": "pb", "json": "json"}

# Loops until killed, so that its export threads are writing whenever the signal comes; at a
# pace that keeps the trace small however long the test takes.
CHILD = textwrap.dedent("""
    import time

    def leaf(i):
        return i

    def work():
        while True:
            for i in range(200):
                leaf(i)
            time.sleep(0.01)

    work()
""")


def wait_for(condition, what):
    """Waits for `condition()`, polling: the tests wait for what a process did, not for time."""
    give_up = time.monotonic() + 120
    while not condition():
        if time.monotonic() > give_up:
            raise AssertionError(f"gave up waiting for {what}")
        time.sleep(0.005)


def part_of(out, pid):
    """The size of the part process `pid` writes of the trace `out`, or 0."""
    parts = pathlib.Path(f"{out}.parts")
    sizes = [p.stat().st_size for p in parts.glob(f"{pid}-*")] if parts.exists() else []
    return max(sizes, default=0)


class PartsTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)
        (self.dir / "child.py").write_text(CHILD)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}

    def vespra(self, *args):
        return subprocess.run([VESPRA, *args], cwd=self.dir, env=self.env, capture_output=True,
                              text=True, timeout=600)

    def summary(self, out):
        done = self.vespra("summary", "--json", "-n", "0", str(out))
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout), done.stderr

    def calls(self, summary, name):
        return sum(r["calls"] for t in summary["tables"] for r in t["rows"]
                   if r["function"] == name)

    def cut_short(self, summary):
        return {p["pid"] for p in summary["processes"] if p["cut_short"]}

    def check_finished(self, out, fmt):
        """One file, no parts left; JSON loads as JSON; Perfetto's reader finds no fault."""
        self.assertFalse(pathlib.Path(f"{out}.parts").exists())
        if fmt == "json":
            with open(out) as f:
                self.assertIsInstance(json.load(f), list)
        if perfetto.SHELL:
            self.assertEqual(perfetto.faults(out), {})

    def test_children_killed_while_they_export_lose_nothing_of_the_others(self):
        (self.dir / "parent.py").write_text(textwrap.dedent("""
            import subprocess, sys

            def after(i):
                return i

            for _ in range(3):
                p = subprocess.Popen([sys.executable, "child.py"])
                print(p.pid, flush=True)
                sys.stdin.readline()  # killed meanwhile
                p.wait()
            for i in range(5000):
                after(i)
        """))
        rng = random.Random(26)
        for fmt, ext in FORMATS.items():
            with self.subTest(fmt=fmt):
                out = self.dir / f"k.{ext}"
                killed = []
                with subprocess.Popen([VESPRA, "run", "-q", "-f", fmt, "-o", str(out),
                                       "parent.py"], cwd=self.dir, env=self.env, text=True,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE) as proc:
                    for _ in range(3):
                        pid = int(proc.stdout.readline())
                        # Once it has written, at a random instant of its writing.
                        wait_for(lambda: part_of(out, pid) > 0, "the child's first write")
                        time.sleep(rng.uniform(0, 0.1))
                        os.kill(pid, signal.SIGKILL)
                        killed.append(pid)
                        proc.stdin.write("\n")
                        proc.stdin.flush()
                    proc.stdin.close()
                    self.assertEqual(proc.wait(timeout=600), 0)
                s, err = self.summary(out)
                self.assertEqual(err, "")
                self.assertEqual(self.calls(s, "after"), 5000)
                self.assertGreater(self.calls(s, "leaf"), 0)
                self.assertEqual(self.cut_short(s), set(killed))
                self.check_finished(out, fmt)

    def test_the_first_process_killed_leaves_parts_that_readers_read_and_join_joins(self):
        (self.dir / "parent.py").write_text(textwrap.dedent("""
            import subprocess, sys

            children = [subprocess.Popen([sys.executable, "child.py"]) for _ in range(2)]
            print(" ".join(str(c.pid) for c in children), flush=True)
            import child  # loops until killed
        """))
        for fmt, ext in FORMATS.items():
            with self.subTest(fmt=fmt):
                out = self.dir / f"f.{ext}"
                with subprocess.Popen([VESPRA, "run", "-f", fmt, "-o", str(out), "parent.py"],
                                      cwd=self.dir, env=self.env, text=True,
                                      stdout=subprocess.PIPE) as proc:
                    children = [int(p) for p in proc.stdout.readline().split()]
                    everyone = [proc.pid, *children]
                    wait_for(lambda: all(part_of(out, p) > 0 for p in everyone), "three parts")
                    proc.kill()
                    proc.wait()
                # The children still write: what is there is read, and the note says so.
                s, err = self.summary(out)
                self.assertEqual(self.cut_short(s), {proc.pid})
                self.assertIn("still running", err)
                for pid in children:
                    os.kill(pid, signal.SIGKILL)
                    wait_for(lambda: gone(pid), "the child's end")
                s, err = self.summary(out)
                self.assertEqual(self.cut_short(s), set(everyone))
                self.assertIn(f"vespra join {out}", err)
                joined = self.vespra("join", str(out))
                self.assertEqual(joined.returncode, 0, joined.stderr)
                self.assertIn("the trace is complete", joined.stderr)
                s, err = self.summary(out)
                self.assertEqual((self.cut_short(s), err), (set(everyone), ""))
                self.assertGreater(self.calls(s, "leaf"), 0)
                self.check_finished(out, fmt)

    def test_a_torn_record_at_the_end_of_a_part_is_cut_off(self):
        (self.dir / "p.py").write_text("def f(i):\n    return i\n\nfor i in range(3000):\n    f(i)\n")
        for fmt, ext in FORMATS.items():
            for torn in (0, 7):  # bytes of a record left at the end of the part
                with self.subTest(fmt=fmt, torn=torn):
                    out = self.dir / f"t.{ext}"
                    done = self.vespra("run", "-q", "-f", fmt, "-o", str(out), "p.py")
                    self.assertEqual(done.returncode, 0, done.stderr)
                    whole = out.read_bytes()
                    [process] = self.summary(out)[0]["processes"]
                    # The records as a process's part holds them, then the start of one more.
                    records = whole[1:-1] + b"," if fmt == "json" else whole
                    part = records + records[:torn]
                    out.write_bytes(b"[" if fmt == "json" else b"")
                    parts = pathlib.Path(f"{out}.parts")
                    parts.mkdir()
                    (parts / f"{process['pid']}-0").write_bytes(part)
                    joined = self.vespra("join", str(out))
                    self.assertEqual(joined.returncode, 0, joined.stderr)
                    s, err = self.summary(out)
                    self.assertEqual((self.calls(s, "f"), err), (3000, ""))
                    self.assertEqual(self.cut_short(s), {process["pid"]})
                    self.check_finished(out, fmt)

    def test_sigterm_completes_the_trace_then_ends_the_process_as_the_program_would(self):
        program = textwrap.dedent("""
            import signal, sys, time

            def work():
                time.sleep(0.001)

            if sys.argv[1] == "handled":
                signal.signal(signal.SIGTERM, lambda *_: sys.exit(7))
            for _ in range(100):
                work()
            print("ready", flush=True)
            while True:
                work()
        """)
        (self.dir / "term.py").write_text(program)
        for fmt, ext in FORMATS.items():
            for how, status in (("default", -signal.SIGTERM), ("handled", 7)):
                with self.subTest(fmt=fmt, how=how):
                    out = self.dir / f"term.{ext}"
                    with subprocess.Popen([VESPRA, "run", "-q", "-f", fmt, "-o", str(out),
                                           "term.py", how], cwd=self.dir, env=self.env,
                                          text=True, stdout=subprocess.PIPE) as proc:
                        self.assertEqual(proc.stdout.readline(), "ready\n")
                        proc.send_signal(signal.SIGTERM)
                        self.assertEqual(proc.wait(timeout=600), status)
                    s, err = self.summary(out)
                    self.assertEqual(err, "")
                    self.assertGreaterEqual(self.calls(s, "work"), 100)
                    self.assertEqual(s["missing"]["begins_never_ended"], 0)
                    self.assertEqual(self.cut_short(s), set())
                    self.check_finished(out, fmt)

    def test_a_second_trace_refuses_an_output_that_a_live_one_writes(self):
        (self.dir / "wait.py").write_text(textwrap.dedent("""
            import sys

            def waiting():
                print("ready", flush=True)
                sys.stdin.readline()

            waiting()
        """))
        out = self.dir / "same.pb"
        # Started at once: one of them takes the output, the other refuses before writing.
        runs = [subprocess.Popen([VESPRA, "run", "-q", "-o", str(out), "wait.py"], cwd=self.dir,
                                 env=self.env, text=True, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for _ in range(2)]
        for run in runs:
            run.stdout.readline()  # "ready", or nothing from the one that refused
        results = [run.communicate("\n", timeout=600) + (run.returncode,) for run in runs]
        refused = [(r, err) for r, (_, err, status) in zip(runs, results) if status == 1]
        written = [r for r, (_, _, status) in zip(runs, results) if status == 0]
        self.assertEqual((len(refused), len(written)), (1, 1), results)
        [(_, err)] = refused
        self.assertIn(f"process {written[0].pid} ", err)
        self.assertIn("another run", err)
        s, _ = self.summary(out)
        self.assertEqual([p["pid"] for p in s["processes"]], [written[0].pid])
        self.assertEqual(s["missing"]["ends_without_begin"], 0)


def gone(pid):
    """Whether process `pid` is gone (reaped, or a zombie of a parent that was killed)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


if __name__ == "__main__":
    unittest.main()
