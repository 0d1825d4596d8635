"""Nothing is lost when a traced process ends or a run stops: every call of a process that leaves
by os._exit (main process, exec'd child, from a signal handler) is in its trace, every call still
running at a stop gets its end there, and a stop records nothing of vespra's own."""

import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import perfetto
from jsontrace import nesting, tracks

FORMATS = ("protobuf", "json")
CALLS = 40000

# A program that makes CALLS calls and leaves with os._exit(3) inside main(): no exit handler
# runs, and the export threads have most of the trace still to write.
EXITING = textwrap.dedent(f"""
    import os

    def work():
        pass

    def main():
        for _ in range({CALLS}):
            work()
        os._exit(3)

    main()
""")


class TraceTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)

    def run_python(self, *args, **kwargs):
        env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}
        return subprocess.run([sys.executable, *args], cwd=self.dir, env=env,
                              capture_output=True, text=True, timeout=300, **kwargs)

    def check_complete(self, out, fmt, pid=None):
        """Every call of `work` in the process `pid` (any, when None) begins and ends, nothing is
        left open, and Perfetto's reader finds no fault."""
        threads = tracks(out)
        events = [e for (p, _), (_, evs) in threads.items() if pid in (None, p) for e in evs]
        self.assertEqual(sum(1 for _, ph, n in events if ph == "B" and n == "work"), CALLS)
        self.assertEqual(sum(1 for _, ph, n in events if ph == "E" and n == "work"), CALLS)
        for key, (name, evs) in threads.items():
            self.assertEqual(nesting(evs)[1], [], (key, name))
        self.check_sound(out)

    def check_sound(self, out):
        """Perfetto's reader finds no fault and no slice without an end. Called last: without
        the reader, the rest of the (sub)test has passed and this part is reported skipped."""
        if not perfetto.SHELL:
            self.skipTest(perfetto.MISSING)
        self.assertEqual(perfetto.faults(out), {})
        self.assertEqual(perfetto.unended(out), [])


class ExitTest(TraceTest):
    def test_os_exit_of_the_main_process_completes_its_trace(self):
        (self.dir / "x.py").write_text(EXITING)
        (self.dir / "w.py").write_text(textwrap.dedent("""
            import sys, vespra
            with vespra.Tracer(sys.argv[1], sys.argv[2]):
                exec(open("x.py").read())
        """))
        for fmt in FORMATS:
            for how in ("vespra run", "with Tracer"):
                with self.subTest(fmt=fmt, how=how):
                    out = self.dir / f"t-{how[0]}.{fmt}"
                    argv = (["-m", "vespra", "run", "-o", str(out), "-f", fmt, "x.py"]
                            if how == "vespra run" else ["w.py", str(out), fmt])
                    proc = self.run_python(*argv)
                    self.assertEqual(proc.returncode, 3, proc.stderr)
                    # vespra run says where the trace is, naming itself as it was invoked.
                    self.assertEqual(f"{sys.executable} -m vespra summary" in proc.stderr,
                                     how == "vespra run", proc.stderr)
                    self.check_complete(out, fmt)

    def test_os_exit_of_an_execd_child_completes_its_part(self):
        (self.dir / "x.py").write_text(EXITING)
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                out = self.dir / f"t.{fmt}"
                proc = self.run_python("-c", textwrap.dedent(f"""
                    import subprocess, sys, vespra
                    with vespra.Tracer({str(out)!r}, {fmt!r}):
                        child = subprocess.Popen([sys.executable, "x.py"])
                        print(child.pid, child.wait())
                """))
                self.assertEqual(proc.returncode, 0, proc.stderr)
                child, status = map(int, proc.stdout.split())
                self.assertEqual(status, 3, proc.stderr)
                self.check_complete(out, fmt, pid=child)

    def test_os_exit_from_a_signal_handler_completes_the_trace(self):
        # The program handles SIGTERM by leaving at once; the signal comes while it records.
        (self.dir / "s.py").write_text(textwrap.dedent("""
            import os, signal, sys, vespra

            def work():
                pass

            def main():
                for _ in range(1000):
                    work()
                print("ready", flush=True)
                while True:
                    work()

            signal.signal(signal.SIGTERM, lambda *_: os._exit(3))
            with vespra.Tracer(sys.argv[1], sys.argv[2]):
                main()
        """))
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                out = self.dir / f"s.{fmt}"
                with subprocess.Popen([sys.executable, "s.py", str(out), fmt], cwd=self.dir,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      text=True) as proc:
                    self.assertEqual(proc.stdout.readline(), "ready\n")
                    proc.send_signal(signal.SIGTERM)
                    _, err = proc.communicate(timeout=300)
                self.assertEqual(proc.returncode, 3, err)
                [(_, events)] = [v for v in tracks(out).values() if v[0] == "MainThread"]
                self.assertEqual(nesting(events), (None, []))
                works = [ph for _, ph, n in events if n == "work"]
                self.assertGreaterEqual(len(works), 2000)
                self.assertEqual(works.count("B"), works.count("E"))
                self.check_sound(out)


class PoolTest(TraceTest):
    def test_fork_pool_workers_leaving_by_os_exit_leave_nothing_open(self):
        (self.dir / "pool.py").write_text(textwrap.dedent("""
            import concurrent.futures, multiprocessing

            def square(x):
                return x * x

            if __name__ == "__main__":
                context = multiprocessing.get_context("fork")
                with concurrent.futures.ProcessPoolExecutor(3, mp_context=context) as pool:
                    print(sum(pool.map(square, range(100))))
        """))
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                out = self.dir / f"pool.{fmt}"
                proc = self.run_python("-m", "vespra", "run", "-o", str(out), "-f", fmt,
                                       "pool.py")
                self.assertEqual((proc.returncode, proc.stdout), (0, "328350\n"), proc.stderr)
                threads = tracks(out)
                self.assertGreaterEqual(len({pid for pid, _ in threads}), 2)
                for key, (name, events) in threads.items():
                    self.assertEqual(nesting(events), (None, []), (key, name))
                summary = self.run_python("-m", "vespra", "summary", str(out))
                self.assertIn("begins never ended 0", summary.stdout, summary.stderr)
                self.check_sound(out)


class StopTest(TraceTest):
    def test_calls_running_at_the_stop_end_there_and_the_stop_records_nothing_of_its_own(self):
        # Entered and left inside main(): <module> and main begin at the start and end at the
        # stop; between them only the program's own calls, none of the stop's bookkeeping.
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                out = self.dir / f"t.{fmt}"
                proc = self.run_python("-c", textwrap.dedent(f"""
                    import vespra

                    def leaf():
                        pass

                    def main():
                        with vespra.Tracer({str(out)!r}, {fmt!r}):
                            leaf()

                    main()
                """))
                self.assertEqual(proc.returncode, 0, proc.stderr)
                [(name, events)] = tracks(out).values()
                self.assertEqual(name, "MainThread")
                names = [(ph, n) for _, ph, n in events]
                self.assertEqual(names, [("B", "<module>"), ("B", "main"), ("B", "leaf"),
                                         ("E", "leaf"), ("E", "main"), ("E", "<module>")])
                # Both ends at the stop: at one time, after the last recorded event.
                self.assertEqual(events[-1][0], events[-2][0])
                self.assertGreaterEqual(events[-2][0], events[-3][0])
                self.check_sound(out)

    def test_a_killed_process_is_named_in_the_summary(self):
        # Only a process that never stops its run leaves begins open: the summary says which.
        out = self.dir / "k.pb"
        with subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
            import sys, vespra

            def work():
                pass

            def main():
                for _ in range(5000):
                    work()
                print("ready", flush=True)
                sys.stdin.read()

            with vespra.Tracer({str(out)!r}):
                main()
        """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as proc:
            try:
                self.assertEqual(proc.stdout.readline(), "ready\n")
                # The writer writes (its process's part of the trace) once no batch has come
                # for a moment: wait for that.
                part = pathlib.Path(f"{out}.parts") / f"{proc.pid}-0"
                give_up = time.monotonic() + 120
                while ((not part.exists() or part.stat().st_size < 5000 * 10)
                       and time.monotonic() < give_up):
                    time.sleep(0.01)
            finally:
                proc.kill()
        summary = self.run_python("-m", "vespra", "summary", str(out))
        self.assertEqual(summary.returncode, 0, summary.stderr)
        [missing] = [l for l in summary.stdout.splitlines() if l.startswith("missing")]
        self.assertRegex(missing, "begins never ended [1-9]")
        self.assertIn(f"in process {proc.pid}", missing)


if __name__ == "__main__":
    unittest.main()
