"""The flight ring: a run that keeps its newest events in memory and writes them when asked
(vespra.dump(), SIGURG, a slow span) and at its end. Programs of known shape, each in a fresh
process; every dump read back strictly and by trace_processor when present."""

import glob
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import unittest

import perfetto
import vespra
from test_limits import clean_env, marks, read

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")
RING = 64 * 1024  # the smallest: 8 batches of 1024 events

# A program of known shape: after the run starts, outer's start and N iterations of four events
# each (inner's start, leaf's start, leaf's return, inner's return), and the begin of <module>
# stamped at the start, so 2 + 4 N events before the dump.
KNOWN = f"""\
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

with vespra.Tracer(sys.argv[1], sys.argv[2], ring={RING}):
    outer()
"""


class RingTest(unittest.TestCase):
    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory())

    def run_code(self, code, *args):
        path = os.path.join(self.dir, "prog.py")
        with open(path, "w") as f:
            f.write(textwrap.dedent(code))
        proc = subprocess.run([sys.executable, path, *args], env=clean_env(),
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc

    def run_vespra(self, *args, status=0):
        proc = subprocess.run([VESPRA, *args], env=clean_env(), capture_output=True, text=True,
                              timeout=300)
        self.assertEqual(proc.returncode, status, proc.stderr)
        return proc

    def check(self, path, fmt="protobuf"):
        """The threads' slices of a trace, each closed and inside its parent, and what it says
        was left out; trace_processor reads it without faults or slices left open."""
        threads, left_out = read(path, fmt)
        for slices in threads.values():
            ends = []
            for name, _, end, depth in slices:
                self.assertIsNotNone(end, name)
                del ends[depth - 1:]
                if ends:
                    self.assertLessEqual(end, ends[-1], name)
                ends.append(end)
        if perfetto.SHELL:
            self.assertEqual((perfetto.faults(path), perfetto.unended(path)), ({}, []), path)
        return threads, left_out


class KnownShape(RingTest):
    def test_the_dump_holds_exactly_the_newest_events(self):
        """The events in the dump and the count the ring dropped add up to what was recorded;
        the frames open before the window begin at its start, those still open end at the
        dump."""
        for fmt in ("protobuf", "json"):
            with self.subTest(fmt=fmt):
                out = os.path.join(self.dir, "t." + fmt)
                pid, dump = self.run_code(KNOWN, out, fmt).stdout.split()
                self.assertEqual(dump, os.path.join(self.dir, f"t.{pid}.1.{fmt}"))
                threads, left_out = self.check(dump, fmt)
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
                # The end of the run writes the last window to the output, the same way.
                (slices,) = self.check(out, fmt)[0].values()
                self.assertEqual(slices[0][0], "<module>")


class Triggers(RingTest):
    def test_signal_slow_span_and_the_end_of_the_run_however_it_ends(self):
        """SIGURG and a span that ends later than dump_if_longer each write a dump beside the
        output, and say where; a span that ends in time writes none. Under `vespra run --ring`
        the output holds the last window when the program returns, raises or leaves by
        os._exit."""
        span = """\
            with vespra.span("quick", dump_if_longer=60):
                pass
            with vespra.span("slow", dump_if_longer=0.001):
                vespra.instant("here", k="v")
                vespra.counter("queue", 3)
                time.sleep(0.01)"""
        script = os.path.join(self.dir, "prog.py")
        for trigger, ending, status in (("os.kill(os.getpid(), signal.SIGURG)", "", 0),
                                        (span, "raise SystemExit(3)", 3),
                                        ("signal.raise_signal(signal.SIGURG)", "os._exit(4)", 4)):
            with self.subTest(ending):
                # The program waits for its dump with few events of its own, so that the window
                # still holds what came before the trigger however late the dump is taken.
                with open(script, "w") as f:
                    f.write(textwrap.dedent("""\
                        import os, signal, sys, time, vespra
                        def busy():
                            return sum(range(100))
                        def last():
                            pass
                        for _ in range(1000):
                            busy()
                        {}
                        while not os.path.exists(f"{{sys.argv[1][:-3]}}.{{os.getpid()}}.1.pb"):
                            time.sleep(0.001)
                        for _ in range(50000):
                            last()
                        {}
                        """).format(textwrap.dedent(trigger), ending))
                out = os.path.join(self.dir, f"{status}.pb")
                proc = self.run_vespra("run", "-q", "--ring", "64kB", "-o", out, script, out,
                                       status=status)
                (dump,) = glob.glob(os.path.join(self.dir, f"{status}.*.pb"))
                self.assertIn(f"written to {dump}", proc.stderr)
                names = {s[0] for slices in self.check(dump)[0].values() for s in slices}
                self.assertIn("busy", names)
                if trigger is span:  # and the marks in the window
                    self.assertIn("slow", names)
                    for mark in ("here", {"k": "v"}), ("queue", {"value": 3}):
                        self.assertIn(mark, marks(dump, "protobuf"))
                threads, left_out = self.check(out)
                (slices,) = threads.values()
                self.assertEqual((slices[0][0], slices[-1][0]), ("<module>", "last"))
                self.assertGreater(sum(left_out.values()), 50000)

    def test_dumps_close_together_and_while_threads_record(self):
        """Dumps asked for back to back, from several threads at once and while four threads
        record: each answer is a whole trace; a request that comes while a dump is taken or
        written is answered by that dump."""
        proc = self.run_code("""\
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
            """, os.path.join(self.dir, "t.pb"))
        paths = proc.stdout.split()
        self.assertEqual(len(paths), 6)
        self.assertNotEqual(paths[0], paths[1])
        for path in sorted(set(paths)):
            self.assertGreaterEqual(len(self.check(path)[0]), 5, path)


class Children(RingTest):
    def test_forked_and_execd_children_keep_rings_and_limits_of_their_own(self):
        """Under `vespra run` with limits, each child dumps its own ring, under its own process
        id; at the end every process's last window is in the output, each with the limits."""
        script = os.path.join(self.dir, "prog.py")
        with open(script, "w") as f:
            f.write(textwrap.dedent("""\
                import os, subprocess, sys, vespra
                def work():
                    return sum(range(100))
                def quick():
                    pass
                def busy():
                    for _ in range(2000):
                        work()
                for _ in range(20000):
                    quick()
                busy()
                if len(sys.argv) > 1:
                    print(os.getpid(), vespra.dump(), flush=True)
                    sys.exit(0)
                pid = os.fork()
                if pid == 0:
                    for _ in range(20000):
                        quick()
                    busy()
                    print(os.getpid(), vespra.dump(), flush=True)
                    os._exit(0)
                os.waitpid(pid, 0)
                subprocess.run([sys.executable, __file__, "child"], check=True)
                """))
        out = os.path.join(self.dir, "t.pb")
        proc = self.run_vespra("run", "-q", "--ring", "100kB", "--max-depth=2",
                               "--min-duration=1ms", "-o", out, script)
        lines = [line.split() for line in proc.stdout.splitlines()]
        self.assertEqual(len(lines), 2)
        for pid, dump in lines:
            self.assertEqual(dump, os.path.join(self.dir, f"t.{pid}.1.pb"))
            threads, left_out = self.check(dump)
            self.assertEqual({key[0] for key in threads}, {int(pid)})
            self.assertIn((int(pid), "ring"), left_out)
        threads, left_out = self.check(out)
        self.assertEqual(len(threads), 3)
        for (pid, _), slices in threads.items():
            with self.subTest(pid=pid):
                # The window's calls of work, the third level, are left out by depth; of quick,
                # the second, by their length.
                self.assertLessEqual(max(s[3] for s in slices), 2)
                self.assertGreater(left_out[(pid, "max_depth")], 0)
                self.assertGreater(left_out[(pid, "min_duration")], 0)


class Refusals(RingTest):
    def test_errors(self):
        with self.assertRaisesRegex(RuntimeError, "no trace is running"):
            vespra.dump()
        with self.assertRaises(ValueError):
            vespra.span("s", dump_if_longer=0)
        with vespra.Tracer(os.path.join(self.dir, "t.pb")):
            with self.assertRaisesRegex(RuntimeError, "ring=BYTES"):
                vespra.dump()
        with vespra.Tracer(os.path.join(self.dir, "t.pb"), ring=RING):
            with self.assertRaises(OSError):
                vespra.dump(os.path.join(self.dir, "missing", "d.pb"))

    def test_a_program_that_handles_the_signal_keeps_its_handler(self):
        proc = self.run_code(f"""\
            import signal, sys, vespra
            seen = []
            signal.signal(signal.SIGURG, lambda *a: seen.append(1))
            with vespra.Tracer(sys.argv[1], ring={RING}):
                signal.raise_signal(signal.SIGURG)
            print(seen)
            """, os.path.join(self.dir, "t.pb"))
        self.assertEqual(proc.stdout.strip(), "[1]")
        self.assertIn("handles SIGURG itself", proc.stderr)

    def test_dump_command(self):
        child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
        try:
            proc = self.run_vespra("dump", "--tree", str(os.getpid()))
            self.assertIn(f"asked processes {os.getpid()}, {child.pid}", proc.stderr)
            self.assertIsNone(child.poll())  # untraced processes ignore the signal
        finally:
            child.kill()
            child.wait()
        self.run_vespra("dump", str(2 ** 22 + 12345), status=1)


if __name__ == "__main__":
    unittest.main()
