"""Nothing lost, nothing mixed when a traced process ends: each process writes a part of its own,
joined into the output at its stop, so that a process killed at any instant leaves every other
process's records readable; SIGTERM completes the trace, whether the program leaves then by
sys.exit or os._exit; a second trace refuses an output that a live one writes."""

import contextlib
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
# A packet of 128 bytes of which one came, and a JSON record cut short.
TORN = {"protobuf": b"\x0a\x80\x01\x08", "json": b'{"name":"before","ph":"B","ts":1'}

PROGRAMS = {
    # Loops until killed, so that its export threads are writing whenever the signal comes; at a
    # pace that keeps the trace small however long the test takes.
    "child.py": """
        import time

        def leaf(i):
            return i

        def work():
            while True:
                for i in range(200):
                    leaf(i)
                time.sleep(0.01)

        work()
    """,
    # Handles SIGTERM as the argument says, once it has called work 100 times.
    "term.py": """
        import os, signal, sys, time

        def work():
            time.sleep(0.001)

        handlers = {"exit": lambda *_: sys.exit(7), "os._exit": lambda *_: os._exit(3)}
        if sys.argv[1] in handlers:
            signal.signal(signal.SIGTERM, handlers[sys.argv[1]])
        for _ in range(100):
            work()
        print("ready", flush=True)
        while True:
            work()
    """,
}


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


def kill(pid):
    with contextlib.suppress(ProcessLookupError):
        os.kill(pid, signal.SIGKILL)


def gone(pid):
    """Whether process `pid` is gone (reaped, or a zombie of a parent that was killed)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


class PartsTest(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))
        for name, code in PROGRAMS.items():
            self.write(name, code)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}

    def write(self, name, code):
        (self.dir / name).write_text(textwrap.dedent(code))

    def run_in(self, *argv):
        return subprocess.run(argv, cwd=self.dir, env=self.env, capture_output=True, text=True,
                              timeout=600)

    def start(self, *args, **pipes):
        """`vespra run` with the arguments `args`, its standard streams as `pipes` say."""
        proc = subprocess.Popen([VESPRA, "run", *args], cwd=self.dir, env=self.env, text=True,
                                **{k: subprocess.PIPE for k in pipes})
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(),
                                 proc.__exit__(None, None, None)))
        return proc

    def summary(self, out):
        done = self.run_in(VESPRA, "summary", "--json", "-n", "0", str(out))
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

    def test_processes_killed_at_any_instant_lose_nothing_of_the_others(self):
        # Two children killed at a random instant of their writing while the first process runs
        # on; then, while two more children still write, the first process itself.
        self.write("parent.py", """
            import signal, subprocess, sys

            def before(i):
                return i

            for _ in range(2):
                p = subprocess.Popen([sys.executable, "child.py"])
                print(p.pid, flush=True)
                sys.stdin.readline()  # killed meanwhile
                p.wait()
            running = [subprocess.Popen([sys.executable, "child.py"]) for _ in range(2)]
            print(" ".join(str(c.pid) for c in running), flush=True)
            for i in range(5000):
                before(i)
            signal.pause()  # killed here
        """)
        rng = random.Random(26)
        for fmt, ext in FORMATS.items():
            with self.subTest(fmt=fmt):
                out = self.dir / f"k.{ext}"
                proc = self.start("-q", "-f", fmt, "-o", str(out), "parent.py", stdin=1, stdout=1)
                killed = []
                for _ in range(2):
                    killed.append(int(proc.stdout.readline()))
                    wait_for(lambda: part_of(out, killed[-1]) > 0, "the child's first write")
                    time.sleep(rng.uniform(0, 0.1))
                    kill(killed[-1])
                    proc.stdin.write("\n")
                    proc.stdin.flush()
                running = [int(p) for p in proc.stdout.readline().split()]
                for pid in running:
                    self.addCleanup(kill, pid)
                everyone = {proc.pid, *killed, *running}
                # A process gone idle writes what reached its writer, and a reader reads it.
                wait_for(lambda: all(part_of(out, p) > 0 for p in running)
                         and self.calls(self.summary(out)[0], "before") > 0,
                         "the running children's parts and the first process's calls")
                proc.kill()
                proc.wait()
                # The children still write: what is there is read, and the note says so.
                s, err = self.summary(out)
                self.assertEqual(self.cut_short(s), {proc.pid, *killed})
                self.assertIn("still running", err)
                written = self.calls(s, "before")
                for pid in running:
                    kill(pid)
                    wait_for(lambda: gone(pid), "the child's end")
                s, err = self.summary(out)
                self.assertEqual(self.cut_short(s), everyone)
                self.assertIn(f"vespra join {out}", err)
                # The start of one more record, as a kill in the middle of a write leaves it:
                # the readers and join cut it off.
                with open(next(pathlib.Path(f"{out}.parts").glob(f"{proc.pid}-*")), "ab") as f:
                    f.write(TORN[fmt])
                joined = self.run_in(VESPRA, "join", str(out))
                self.assertEqual(joined.returncode, 0, joined.stderr)
                s, err = self.summary(out)
                self.assertEqual((self.cut_short(s), err), (everyone, ""))
                self.assertEqual(self.calls(s, "before"), written)
                self.assertGreater(self.calls(s, "leaf"), 0)
                self.check_finished(out, fmt)

    def test_sigterm_completes_the_trace_then_ends_the_process_as_the_program_would(self):
        for fmt, ext in FORMATS.items():
            for how, status in (("default", -signal.SIGTERM), ("exit", 7), ("os._exit", 3)):
                with self.subTest(fmt=fmt, how=how):
                    out = self.dir / f"term.{ext}"
                    proc = self.start("-q", "-f", fmt, "-o", str(out), "term.py", how, stdout=1)
                    self.assertEqual(proc.stdout.readline(), "ready\n")
                    proc.send_signal(signal.SIGTERM)
                    self.assertEqual(proc.wait(timeout=600), status)
                    s, err = self.summary(out)
                    self.assertEqual((err, s["missing"]["begins_never_ended"]), ("", 0))
                    self.assertGreaterEqual(self.calls(s, "work"), 100)
                    self.assertEqual(self.cut_short(s), set())
                    self.check_finished(out, fmt)

    def test_a_second_trace_refuses_an_output_that_a_live_one_writes(self):
        self.write("wait.py", """
            import sys

            def waiting():
                print("ready", flush=True)
                sys.stdin.readline()

            waiting()
        """)
        out = self.dir / "same.pb"
        # Started at once: one of them takes the output, the other refuses before writing.
        runs = [self.start("-q", "-o", str(out), "wait.py", stdin=1, stdout=1, stderr=1)
                for _ in range(2)]
        for run in runs:
            run.stdout.readline()  # "ready", or nothing from the one that refused
        results = [run.communicate("\n", timeout=600) + (run.returncode,) for run in runs]
        refused = [err for _, err, status in results if status == 1]
        written = [run.pid for run, (_, _, status) in zip(runs, results) if status == 0]
        self.assertEqual((len(refused), len(written)), (1, 1), results)
        self.assertIn(f"process {written[0]} ", refused[0])
        self.assertIn("another run", refused[0])
        s, _ = self.summary(out)
        self.assertEqual([p["pid"] for p in s["processes"]], written)
        self.assertEqual(s["missing"]["ends_without_begin"], 0)


if __name__ == "__main__":
    unittest.main()
