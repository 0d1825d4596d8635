"""The flight ring: a run that keeps its newest events in memory and writes them when asked
(vespra.dump(), SIGURG, a slow span) and at its end. Programs of known shape, each in a fresh
process, in both formats; every dump read back strictly and by trace_processor when present."""

import glob
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import unittest

import perfetto
from test_limits import clean_env, marks, read

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")
RING = 64 * 1024  # the smallest: 8 batches of 1024 events

# A program of known shape: after the run starts, outer's start and N iterations of four events
# each (inner's start, leaf's start, leaf's return, inner's return), and the begin of <module>
# stamped at the start, so 2 + 4 N events before the dump.
KNOWN = """\
import os, sys, vespra
N = 20000

def leaf():
    pass

def inner():
    leaf()

def outer():
    for _ in range(N):
        inner()
    print(os.getpid(), vespra.dump())

with vespra.Tracer(sys.argv[1], sys.argv[2], ring={ring}):
    outer()
"""


def run(code, *args, cwd=None, check=True):
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False, dir=cwd) as f:
        f.write(textwrap.dedent(code))
    try:
        proc = subprocess.run([sys.executable, f.name, *args], env=clean_env(), cwd=cwd,
                              capture_output=True, text=True, timeout=300)
    finally:
        os.unlink(f.name)
    if check and proc.returncode != 0:
        raise AssertionError(f"program failed ({proc.returncode}):\n{proc.stderr}")
    return proc


class RingTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def check_loads(self, path):
        if perfetto.SHELL:
            self.assertEqual(perfetto.faults(path), {}, path)
            self.assertEqual(perfetto.unended(path), [], path)

    def check_nested(self, slices):
        """Every slice closed, inside its parent."""
        ends = []
        for name, begin, end, depth, _ in slices:
            self.assertIsNotNone(end, name)
            del ends[depth - 1:]
            if ends:
                self.assertLessEqual(end, ends[-1], name)
            ends.append(end)


class KnownShape(RingTest):
    def test_the_dump_holds_exactly_the_newest_events(self):
        """A ring smaller than what the program records: the events in the dump and the count
        the ring dropped add up to what was recorded; the frames open before the window begin
        at its start, those still open end at the dump."""
        for fmt in ("protobuf", "json"):
            with self.subTest(fmt=fmt):
                out = os.path.join(self.dir, "t." + fmt)
                proc = run(KNOWN.format(ring=RING), out, fmt)
                pid, dump = proc.stdout.split()
                self.assertEqual(dump, os.path.join(self.dir, f"t.{pid}.1.{fmt}"))
                threads, left_out = read(dump, fmt)
                (slices,) = threads.values()
                dropped = left_out[next(k for k in left_out if k[1] == "ring")]
                recorded = 2 + 4 * 20000
                self.assertLessEqual(dropped, recorded - 8 * 1024)
                # Open before the window: <module>, outer, and inner and leaf by where the
                # window starts in an iteration; open at the dump: <module> and outer.
                opened = 2 + [0, 1, 2, 1][(dropped - 2) % 4]
                self.assertEqual(2 * len(slices), recorded - dropped + opened + 2)
                start, stop = min(s[1] for s in slices), max(s[2] for s in slices)
                self.assertEqual([s[0] for s in slices[:opened]],
                                 ["<module>", "outer", "inner", "leaf"][:opened])
                self.assertTrue(all(s[1] == start for s in slices[:opened]))
                self.assertEqual([(s[0], s[2]) for s in slices[:2]],
                                 [("<module>", stop), ("outer", stop)])
                self.check_nested(slices)
                self.check_loads(dump)
                # The end of the run writes the last window to the output, the same way.
                threads, left_out = read(out, fmt)
                (slices,) = threads.values()
                self.assertEqual(slices[0][0], "<module>")
                self.check_nested(slices)
                self.check_loads(out)


class Triggers(RingTest):
    def test_signal_and_slow_span(self):
        """SIGURG and a span that ends later than dump_if_longer: each writes a dump beside the
        output, named with the process id and a sequence number, and says where on stderr; a
        span that ends in time writes none."""
        cases = {
            "signal": "os.kill(os.getpid(), signal.SIGURG)",
            "span": """\
                with vespra.span("quick", dump_if_longer=60):
                    pass
                with vespra.span("slow", dump_if_longer=0.001):
                    time.sleep(0.01)""",
        }
        for name, trigger in cases.items():
            with self.subTest(name):
                out = os.path.join(self.dir, name + ".pb")
                # The program waits for its dump with few events of its own, so that the window
                # still holds what came before the trigger however late the dump is taken.
                proc = run("import os, signal, sys, time, vespra\n"
                           "def busy():\n"
                           "    return sum(range(100))\n"
                           f"with vespra.Tracer(sys.argv[1], ring={RING}):\n"
                           "    for _ in range(1000):\n"
                           "        busy()\n"
                           + textwrap.indent(textwrap.dedent(trigger), "    ") + "\n"
                           "    dump = f'{sys.argv[1][:-3]}.{os.getpid()}.1.pb'\n"
                           "    while not os.path.exists(dump):\n"
                           "        time.sleep(0.001)\n", out)
                (dump,) = glob.glob(os.path.join(self.dir, name + ".*.pb"))
                self.assertEqual(dump, os.path.join(self.dir, f"{name}.{dump.split('.')[-3]}.1.pb"))
                self.assertIn(f"written to {dump}", proc.stderr)
                threads, _ = read(dump, "protobuf")
                names = {s[0] for slices in threads.values() for s in slices}
                self.assertIn("busy", names)
                if name == "span":
                    self.assertIn("slow", names)
                self.check_loads(dump)

    def test_the_end_of_the_run_however_it_ends(self):
        """`vespra run --ring`: the output holds the last window when the program returns, raises
        or leaves by os._exit."""
        endings = {"return": ("", 0), "raise": ("raise SystemExit(3)", 3),
                   "os._exit": ("os._exit(4)", 4)}
        for name, (ending, status) in endings.items():
            with self.subTest(name):
                script = os.path.join(self.dir, "prog.py")
                with open(script, "w") as f:
                    f.write(textwrap.dedent(f"""\
                        import os
                        def last():
                            pass
                        for _ in range(50000):
                            last()
                        {ending}
                        """))
                out = os.path.join(self.dir, name + ".pb")
                proc = subprocess.run([VESPRA, "run", "-q", "--ring", "64kB", "-o", out, script],
                                      env=clean_env(), capture_output=True, text=True, timeout=300)
                self.assertEqual(proc.returncode, status, proc.stderr)
                threads, left_out = read(out, "protobuf")
                (slices,) = threads.values()
                self.assertEqual(slices[0][0], "<module>")
                self.assertEqual(slices[-1][0], "last")
                self.assertGreater(sum(left_out.values()), 50000)
                self.check_loads(out)

    def test_dumps_close_together_and_while_threads_record(self):
        """Dumps asked for back to back, from several threads at once and while four threads
        record: each answer is a whole trace; a request that comes while a dump is taken or
        written is answered by that dump."""
        out = os.path.join(self.dir, "t.pb")
        proc = run(f"""\
            import sys, threading, vespra
            stop = threading.Event()
            def work():
                return sum(range(50))
            def worker():
                while not stop.is_set():
                    work()
            with vespra.Tracer(sys.argv[1], ring=1_000_000):
                workers = [threading.Thread(target=worker) for _ in range(4)]
                for w in workers:
                    w.start()
                paths = [vespra.dump(), vespra.dump()]
                askers = [threading.Thread(target=lambda: paths.append(vespra.dump()))
                          for _ in range(4)]
                for t in askers:
                    t.start()
                for t in askers:
                    t.join()
                stop.set()
                for w in workers:
                    w.join()
            print("\\n".join(paths))
            """, out)
        paths = proc.stdout.split()
        self.assertEqual(len(paths), 6)
        self.assertNotEqual(paths[0], paths[1])
        for path in sorted(set(paths)):
            threads, _ = read(path, "protobuf")
            self.assertGreaterEqual(len(threads), 5, path)
            for slices in threads.values():
                self.check_nested(slices)
            self.check_loads(path)


class Children(RingTest):
    def test_forked_and_execd_children_keep_rings_of_their_own(self):
        """Each child dumps its own ring, under its own process id; at the end every process's
        last window is in the output."""
        script = os.path.join(self.dir, "prog.py")
        with open(script, "w") as f:
            f.write(textwrap.dedent("""\
                import os, subprocess, sys, vespra
                def work():
                    return sum(range(100))
                def busy():
                    for _ in range(10000):
                        work()
                busy()
                if len(sys.argv) > 1:
                    print(os.getpid(), vespra.dump(), flush=True)
                    sys.exit(0)
                pid = os.fork()
                if pid == 0:
                    busy()
                    print(os.getpid(), vespra.dump(), flush=True)
                    os._exit(0)
                os.waitpid(pid, 0)
                subprocess.run([sys.executable, __file__, "child"], check=True)
                """))
        out = os.path.join(self.dir, "t.pb")
        proc = subprocess.run([VESPRA, "run", "-q", "--ring", "100kB", "-o", out, script],
                              env=clean_env(), capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        lines = [line.split() for line in proc.stdout.splitlines()]
        self.assertEqual(len(lines), 2)
        for pid, dump in lines:
            self.assertEqual(dump, os.path.join(self.dir, f"t.{pid}.1.pb"))
            threads, left_out = read(dump, "protobuf")
            self.assertEqual({key[0] for key in threads}, {int(pid)})
            self.assertIn((int(pid), "ring"), left_out)
            self.check_loads(dump)
        threads, _ = read(out, "protobuf")
        self.assertEqual(len({key[0] for key in threads}), 3)
        self.check_loads(out)


class WithOptions(RingTest):
    def test_limits_filters_and_marks(self):
        """A dump with a depth limit, an exclusion and marks: what the options leave out is left
        out and counted beside the ring's count; marks in the window are written."""
        for fmt in ("protobuf", "json"):
            with self.subTest(fmt=fmt):
                out = os.path.join(self.dir, "t." + fmt)
                proc = run(f"""\
                    import json, sys, vespra
                    def deep(n):
                        return deep(n - 1) if n else 0
                    with vespra.Tracer(sys.argv[1], sys.argv[2], ring={RING}, max_depth=5,
                                       exclude=["json"]):
                        for i in range(2000):
                            deep(10)
                            json.dumps([i])
                        with vespra.span("request", id=7):
                            vespra.instant("here", k="v")
                            vespra.counter("queue", 3)
                            print(vespra.dump())
                    """, out, fmt)
                dump = proc.stdout.strip()
                threads, left_out = read(dump, fmt)
                reasons = {reason for _, reason in left_out}
                self.assertTrue({"ring", "max_depth", "filter"} <= reasons, left_out)
                (slices,) = threads.values()
                self.assertTrue(max(s[3] for s in slices) <= 5)
                self.assertFalse(any(s[0].startswith("dumps") for s in slices))
                self.assertEqual(sorted(marks(dump, fmt)),
                                 [("here", {"k": "v"}), ("queue", {"value": 3}),
                                  ("request", {"id": 7})])
                self.check_loads(dump)


class Refusals(unittest.TestCase):
    def test_errors(self):
        import vespra
        with self.assertRaisesRegex(RuntimeError, "no trace is running"):
            vespra.dump()
        for bad, error in ((1000, ValueError), (-1, ValueError), (True, TypeError),
                           ("1MB", TypeError)):
            with self.subTest(ring=bad), self.assertRaises(error):
                vespra.Tracer("x.pb", ring=bad)
        with self.assertRaises(ValueError):
            vespra.span("s", dump_if_longer=0)
        with tempfile.TemporaryDirectory() as d:
            with vespra.Tracer(os.path.join(d, "t.pb")):
                with self.assertRaisesRegex(RuntimeError, "ring=BYTES"):
                    vespra.dump()
            with vespra.Tracer(os.path.join(d, "t.pb"), ring=RING):
                with self.assertRaises(OSError):
                    vespra.dump(os.path.join(d, "missing", "d.pb"))

    def test_a_program_that_handles_the_signal_keeps_its_handler(self):
        with tempfile.TemporaryDirectory() as d:
            proc = run(f"""\
                import signal, sys, vespra
                seen = []
                signal.signal(signal.SIGURG, lambda *a: seen.append(1))
                with vespra.Tracer(sys.argv[1], ring={RING}):
                    signal.raise_signal(signal.SIGURG)
                print(seen)
                """, os.path.join(d, "t.pb"))
            self.assertEqual(proc.stdout.strip(), "[1]")
            self.assertIn("handles SIGURG itself", proc.stderr)
            self.assertIn("vespra.dump()", proc.stderr)

    def test_dump_command(self):
        proc = subprocess.run([VESPRA, "dump", "--tree", str(os.getpid())], capture_output=True,
                              text=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn(f"asked processes {os.getpid()}", proc.stderr)
        child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
        try:
            proc = subprocess.run([VESPRA, "dump", "--tree", str(os.getpid())],
                                  capture_output=True, text=True)
            self.assertIn(f"{os.getpid()}, {child.pid}", proc.stderr)
            self.assertIsNone(child.poll())  # untraced processes ignore the signal
        finally:
            child.kill()
            child.wait()
        proc = subprocess.run([VESPRA, "dump", "12ab"], capture_output=True, text=True)
        self.assertEqual(proc.returncode, 2)
        proc = subprocess.run([VESPRA, "dump", str(2 ** 22 + 12345)], capture_output=True,
                              text=True)
        self.assertEqual(proc.returncode, 1)


if __name__ == "__main__":
    unittest.main()
