"""The Tracer as a Python program uses it: what its traces hold, read back in both formats, and
how entering and leaving behave, every way of failing included."""

import errno
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import threading
import time
import traceback
import _thread
import unittest
import warnings
from unittest import mock

import vespra
from jsontrace import Trace, nesting, tracks

MON = sys.monitoring
TOOL_ID = 3  # the first id no kind of tool is assigned
ENV = ("VESPRA_CHILD_OUTPUT", "VESPRA_CHILD_FORMAT", "VESPRA_CHILD_ORIGIN",
       "VESPRA_CHILD_LOSSLESS")


# Workloads at module level, so that their qualified names and first lines are known.
def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


class Shapes:
    def area(self):
        def inner():
            return 2 * 3
        return inner()


def counter(n):
    for i in range(n):
        yield i


def fails():
    raise KeyError("deliberate")


def catches_thrown():
    while True:
        try:
            yield "ready"
        except ValueError:
            pass


def leaf():
    pass


def env_snapshot():
    return tuple(os.environ.get(k) for k in ENV)


def key_of(native_id):
    return os.getpid(), native_id & 0xFFFFFFFF


def in_threads(*threads):
    for th in threads:
        th.start()
    for th in threads:
        th.join()


def run_python(test, code, cwd, timeout=120):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout)
    test.assertEqual(proc.returncode, 0, proc.stderr)
    return proc.stdout.split()


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))
        for k in ENV:
            os.environ.pop(k, None)


class ContentTest(TempDirTest):
    def test_calls_threads_and_frames_open_at_the_start_read_back_in_both_formats(self):
        # The tracer is entered three calls deep while another thread is deep in calls, which
        # it leaves while the trace runs: the calls open at the start are begun at the start
        # (time 0, the trace's origin) and those still open end at the stop, innermost first.
        native = {}

        def deep(n):
            if n:
                return deep(n - 1)
            ready.set()
            go.wait()
            return fib(2)

        def raw():
            native["raw"] = threading.get_native_id()
            fib(3)

        def level(n):
            if n:
                level(n - 1)
            else:
                tracer.__enter__()
            leaf()

        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt):
                out = str(self.dir / f"t.{fmt}")
                tracer = vespra.Tracer(out, fmt)
                ready, go = threading.Event(), threading.Event()
                deep_thread = threading.Thread(target=deep, args=(6,), name="deep")
                deep_thread.start()
                ready.wait()
                level(2)
                t0 = time.perf_counter_ns()
                go.set()
                deep_thread.join()
                fib(5)
                Shapes().area()
                list(counter(2))
                g = catches_thrown()
                next(g)
                g.throw(ValueError)
                g.close()
                _thread.start_joinable_thread(raw).join()  # a thread `threading` never saw
                try:
                    fails()
                except KeyError:
                    elapsed = time.perf_counter_ns() - t0
                    self.assertFalse(tracer.__exit__(*sys.exc_info()))

                threads = tracks(out)
                for key, (_, events) in threads.items():
                    self.assertEqual(nesting(events), (None, []), key)
                    self.assertEqual(events, sorted(events, key=lambda e: e[0]), key)
                name, main = threads[key_of(threading.get_native_id())]
                self.assertEqual(name, "MainThread")
                outer = [f.f_code.co_qualname for f, _ in traceback.walk_stack(sys._getframe())][::-1]
                start, stop = main[0][0], main[-1][0]
                self.assertEqual(start, 0)
                self.assertGreater(stop - start, 0.9 * elapsed)  # nanoseconds, not ticks
                self.assertEqual(main[-len(outer):], [(stop, "E", n) for n in reversed(outer)])
                opened = [n.rpartition(".")[2] for n in outer + ["level"] * 3]
                names = [n.rpartition(".")[2] for _, _, n in main]  # <locals> qualified
                self.assertEqual(names[:len(opened)], opened)
                self.assertEqual({ts for ts, _, _ in main[:len(opened)]}, {start})
                self.assertEqual(names[len(opened):len(opened) + 9], ["leaf", "leaf", "level"] * 3)
                begins = [n for _, phase, n in main if phase == "B"]
                self.assertEqual(begins.count("fib"), 15)  # the calls of fib(5)
                self.assertIn("Shapes.area.<locals>.inner", begins)
                self.assertIn("fails", begins)
                name, events = threads[key_of(deep_thread.native_id)]
                self.assertEqual(name, "deep")
                self.assertEqual([(ts, n.rpartition(".")[2]) for ts, _, n in events[:10]],
                                 [(start, n) for n in ["_bootstrap", "_bootstrap_inner", "run"]
                                  + ["deep"] * 7])
                name, events = threads[key_of(native["raw"])]
                self.assertFalse((name or "").startswith("Dummy-"), name)
                self.assertIn("fib", [n for _, _, n in events])
                # Asking for its name must not leave a dummy Thread behind in `threading`.
                self.assertEqual([t.name for t in threading.enumerate()], ["MainThread"])
        t = Trace(str(self.dir / "t.json"))
        for fn, name in ((fib, "fib"), (Shapes.area, "Shapes.area")):
            self.assertEqual({(r["args"]["file"], r["args"]["line"]) for r in t.by_name(name)},
                             {(fn.__code__.co_filename, fn.__code__.co_firstlineno)})
        main = key_of(threading.get_native_id())
        self.assertEqual(t.kinds("counter", main),
                         ["start", "yield", "resume", "yield", "resume", "return"])
        # throw() re-enters the frame with "throw"; close() throws GeneratorExit, which unwinds.
        self.assertEqual(t.kinds("catches_thrown"),
                         ["start", "yield", "throw", "yield", "throw", "unwind"])
        self.assertEqual(t.kinds("fails"), ["start", "unwind"])

    def test_the_format_comes_from_the_file_name_unless_given_and_any_path_is_taken(self):
        for out, fmt, first in [(self.dir / "t.json", None, b"["), ("t.pb", None, b"\n"),
                                (b"t.pftrace", None, b"\n"), ("t", None, b"\n"),
                                ("t.json.gz", None, b"\n"), ("u.json", "protobuf", b"\n"),
                                ("u.pb", "json", b"[")]:
            with self.subTest(out=out, fmt=fmt), warnings.catch_warnings():
                warnings.simplefilter("error")  # a run that lost nothing says nothing
                out = out if isinstance(out, pathlib.Path) else os.path.join(
                    os.fsencode(self.dir) if isinstance(out, bytes) else self.dir, out)
                with vespra.Tracer(out, fmt) as t:
                    self.assertEqual(env_snapshot()[0], os.fsdecode(out))
                    fib(3)
                self.assertEqual(t.dropped, 0)
                with open(out, "rb") as f:
                    self.assertEqual(f.read(1), first)

    def test_bad_arguments_raise_with_a_clear_text(self):
        for args, kwargs, exc, text in [
                ((1,), {}, TypeError, "'output' must be str, bytes or os.PathLike, not int"),
                (("x", 1), {}, TypeError, "argument 'format' must be str or None, not int"),
                (("x",), {"include": "myapp"}, TypeError, "'include' must be a sequence of str"),
                (("x",), {"exclude": [b"x"]}, TypeError, "'exclude' must hold str, not bytes"),
                (("x",), {"include": ["a", ""]}, ValueError, "'' is not a pattern"),
                (("x",), {"c_calls": 1}, TypeError, "'c_calls' must be bool, not int"),
                (("x",), {"output": "y"}, TypeError, "given by name ('output') and position (1)"),
                (("x", "JSON"), {}, ValueError, "unknown format: JSON"),
                (("x\0y",), {}, ValueError, "embedded null byte")]:  # would trace into "x"
            with self.subTest(args=args, kwargs=kwargs), self.assertRaises(exc) as cm:
                vespra.Tracer(*args, **kwargs)
            self.assertIn(text, str(cm.exception))
        # The time base a joined child is given; refused before anything starts.
        for args, exc, text in [(("1",), TypeError, "origin must be int or None, not str"),
                                ((-1,), OverflowError, "")]:
            with self.subTest(args=args), self.assertRaises(exc) as cm:
                vespra.Tracer("x")._enter_as_child(*args)
            self.assertIn(text, str(cm.exception))


class LosslessTest(TempDirTest):
    def test_lossless_threads_wait_for_the_writer_and_nothing_else_is_lost_or_said(self):
        # A trace written to a pipe nobody reads yet: the rings and the writer's queue fill. The
        # library says nothing unless events were lost; then how many, once, and how to lose none.
        import _vespra_tracecount as tracecount
        calls = 2 * 1664079  # fib(29) makes 1664079 calls
        for lossless, stall_s in ((False, 60), (True, 2)):
            fifo, done, data = str(self.dir / f"fifo-{lossless}"), threading.Event(), bytearray()
            os.mkfifo(fifo)

            def reader():
                with open(fifo, "rb") as f:
                    done.wait(stall_s)  # until the program is done, or for stall_s
                    while chunk := f.read(1 << 20):
                        data.extend(chunk)
            r = threading.Thread(target=reader)
            r.start()
            t0 = time.perf_counter()
            tracer = vespra.Tracer(fifo, "protobuf", lossless=lossless)
            self.assertIsNone(tracer.dropped)
            with warnings.catch_warnings(record=True) as caught, tracer:
                warnings.simplefilter("always")
                self.assertEqual(env_snapshot()[3], "1" if lossless else None)
                in_threads(*(threading.Thread(target=fib, args=(29,)) for _ in range(2)))
                elapsed = time.perf_counter() - t0
                done.set()
            r.join()
            _, begins, ends, dropped = tracecount.protobuf(bytes(data))
            self.assertEqual(tracer.dropped, dropped)
            said = [str(w.message) for w in caught if w.category is RuntimeWarning]
            if lossless:
                self.assertEqual((dropped, said), (0, []))
                self.assertGreaterEqual(elapsed, 1.5, "the program waited for the writer")
                self.assertGreaterEqual(min(begins, ends), calls)  # and the workers' functions
            else:
                self.assertGreater(dropped, 0, "the set-up must overflow the default run")
                self.assertLess(begins, calls)
                [said] = said
                self.assertRegex(said, f"\\b{dropped}\\b.*lossless=True")
                self.assertEqual(caught[0].filename, __file__)  # points at the `with`


class LifecycleTest(TempDirTest):
    def test_each_enter_is_left_exactly_once_and_entering_again_writes_a_fresh_file(self):
        out = str(self.dir / "t.json")
        t = vespra.Tracer(out, "json")
        with self.assertRaisesRegex(RuntimeError, "^tracer is not tracing$"):
            t.__exit__(None, None, None)
        self.assertFalse(os.path.exists(out))
        t.__enter__()
        fib(1)
        results = []

        def leave():
            try:
                results.append(t.__exit__(None, None, None))
            except RuntimeError as e:
                results.append(str(e))
        in_threads(*(threading.Thread(target=leave) for _ in range(4)))
        self.assertEqual(sorted(results, key=str), [False] + ["tracer is not tracing"] * 3)
        self.assertIn("MainThread", Trace(out).thread_names.values())
        with t:  # a fresh file (the protobuf one: in the next test)
            list(counter(1))
        self.assertEqual(Trace(out).by_name("fib"), [])

    def test_a_run_holds_the_variables_and_the_tool_slot_and_a_second_changes_nothing(self):
        # The same tracer again, or another one: both fail, saying a trace is running, before
        # they touch the running trace's file or the exported variables. Leaving a tracer that
        # is not the running one leaves the running one alone.
        out, other = str(self.dir / "first.json"), str(self.dir / "second.pb")
        first = vespra.Tracer(out, "pb")
        with first as t:
            self.assertIs(t, first)
            exported = env_snapshot()
            self.assertEqual(exported[:2] + exported[3:], (out, "protobuf", None))
            self.assertLessEqual(int(exported[2]), time.clock_gettime_ns(time.CLOCK_MONOTONIC))
            self.assertEqual(MON.get_tool(TOOL_ID), "vespra")
            fib(1)
            for again in (first, vespra.Tracer(other, "json")):
                for enter in (again.__enter__, again._enter_as_child):
                    with self.subTest(tracer=again, enter=enter.__name__):
                        with self.assertRaisesRegex(RuntimeError,
                                                    "trace is already running in this process"):
                            enter()
                        self.assertEqual(env_snapshot(), exported)
                        self.assertFalse(os.path.exists(other))
            with self.assertRaisesRegex(RuntimeError, "not tracing"):
                vespra.Tracer(other).__exit__(None, None, None)
            self.assertEqual(env_snapshot(), exported)
            list(counter(1))
        self.assertEqual(env_snapshot(), (None,) * len(ENV))
        self.assertIsNone(MON.get_tool(TOOL_ID))
        names = [n for _, events in tracks(out).values() for _, _, n in events]
        self.assertEqual((names.count("fib"), names.count("counter")), (2, 4))
        with first:  # a fresh file
            leaf()
        self.assertNotIn("fib", [n for _, events in tracks(out).values() for _, _, n in events])
        # Other tools on both ids vespra can take are named; on one, vespra takes the other.
        MON.use_tool_id(3, "tool3")
        try:
            with vespra.Tracer(other):
                self.assertEqual(MON.get_tool(4), "vespra")
            os.remove(other)
            MON.use_tool_id(4, "tool4")
            with self.assertRaisesRegex(RuntimeError, "held by 'tool3' and 'tool4'"):
                vespra.Tracer(other).__enter__()
        finally:
            for tool in (3, 4):
                if MON.get_tool(tool) is not None:
                    MON.free_tool_id(tool)
        self.assertFalse(os.path.exists(other))

    def test_errors_raise_the_oserror_of_their_errno_naming_the_file(self):
        # As open() would: the subclass of the errno, with errno and filename (the path as
        # given, a pathlib.Path included) set. Nothing is left for a child process to join.
        missing = self.dir / "missing" / "t"
        for fmt in ("json", "protobuf"):
            for out, exc_type, code in [(str(missing), FileNotFoundError, errno.ENOENT),
                                        (missing, FileNotFoundError, errno.ENOENT),
                                        (self.dir, IsADirectoryError, errno.EISDIR),
                                        ("/dev/full", OSError, errno.ENOSPC)]:
                with self.subTest(fmt=fmt, out=out), self.assertRaises(OSError) as cm:
                    t = vespra.Tracer(out, fmt)
                    t.__enter__()
                    fib(10)  # protobuf first writes when events arrive: at the stop
                    t.__exit__(None, None, None)
                self.assertIs(type(cm.exception), exc_type)
                self.assertEqual((cm.exception.errno, cm.exception.filename), (code, out))
                self.assertIn(str(out), str(cm.exception))
                self.assertIsNone(MON.get_tool(TOOL_ID))
                self.assertEqual(env_snapshot(), (None,) * len(ENV))
                with self.assertRaisesRegex(RuntimeError, "not tracing"):
                    t.__exit__(None, None, None)
        self.assertFalse(missing.parent.exists())
        with mock.patch.dict(os.environ, VESPRA_CLOCK="rdtsc"), self.assertRaisesRegex(
                ValueError, "VESPRA_CLOCK must be auto, tsc or monotonic"):
            vespra.Tracer(str(self.dir / "t.pb")).__enter__()
        self.assertIsNone(MON.get_tool(TOOL_ID))
        self.assertEqual(env_snapshot(), (None,) * len(ENV))

    def test_stop_waits_for_a_callback_paused_in_python_code(self):
        # A thread's first event asks `threading` for its name, which runs Python code: here a
        # property that blocks. A stop meanwhile must let that callback finish its append before
        # it collects the threads' batches, or the thread's events are lost.
        inside = threading.Event()

        class SlowName(threading.Thread):
            @property
            def name(self):
                inside.set()
                time.sleep(0.3)
                return "slow-name"

            @name.setter
            def name(self, value):
                self._name = value

        out = str(self.dir / "t.json")
        t = vespra.Tracer(out, "json")
        t.__enter__()
        worker = SlowName(target=fib, args=(3,))
        worker.start()
        self.assertTrue(inside.wait(10))
        t.__exit__(None, None, None)
        worker.join()
        trace = Trace(out)
        self.assertEqual(trace.thread_names.get(key_of(worker.native_id)), "slow-name")
        self.assertTrue(trace.events[key_of(worker.native_id)])
        self.assertEqual(trace.dropped, 0)


class ProcessTest(TempDirTest):
    def test_a_whole_interpreter_starting_and_stopping_while_its_threads_run(self):
        # Importing changes nothing; a run lets go of the code objects it saw (checked before any
        # thread starts: from then on the interpreter makes new code objects immortal). Then
        # every start and stop switches the events of threads that are running Python code,
        # making garbage and collecting it, and asking for their names: no lock of a start or a
        # stop may wait in a way that keeps the interpreter from pausing a thread (free-threaded)
        # or from handing the GIL over (regular build), or this process hangs. A run never left
        # is finished at exit, with those threads, daemons, still recording.
        said = run_python(self, """
            import gc, sys, threading, time, weakref, vespra
            print(sys._is_gil_enabled(), threading.active_count(), sys.monitoring.get_tool(3))
            namespace = {}
            exec(compile("def transient():\\n    return 1\\n", "<transient>", "exec"), namespace)
            code_ref = weakref.ref(namespace["transient"].__code__)
            with vespra.Tracer("transient.pb"):
                namespace["transient"]()
            del namespace
            gc.collect()
            print(code_ref() is None)

            def fib(n):
                return n if n < 2 else fib(n - 1) + fib(n - 2)

            def churn(i):
                while True:
                    fib(8)
                    cycle = []
                    cycle.append(cycle)
                    if i == 0:
                        gc.collect()
                    time.sleep(0.001)  # a trace of a few megabytes, not hundreds

            for i in range(3):
                threading.Thread(target=churn, args=(i,), name=f"churn-{i}", daemon=True).start()
            for i in range(16):
                with vespra.Tracer(f"run{i}", ("json", "protobuf")[i % 2]):
                    fib(10)
                    time.sleep(0.02)  # the other threads' turn, where there is a GIL
            vespra.Tracer("never-left.json").__enter__()
            fib(12)
        """, self.dir)
        gil = str(not sysconfig.get_config_var("Py_GIL_DISABLED"))  # as the build has it
        self.assertEqual(said, [gil, "1", "None", "True"])
        churners = set()
        for i, path in enumerate([f"run{i}" for i in range(16)] + ["never-left.json"]):
            threads = tracks(self.dir / path)
            [main] = [evs for name, evs in threads.values() if name == "MainThread"]
            self.assertEqual(nesting(main), (None, []), i)
            self.assertEqual(sum(1 for _, ph, n in main if ph == "B" and n == "fib"),
                             465 if i == 16 else 177, i)
            for name, events in threads.values():
                # A thread caught mid-call: ends before the first begin and calls left open are
                # the start and the stop; in between, every end closes the innermost call.
                stack = []
                for _, phase, func in events:
                    if phase == "B":
                        stack.append(func)
                    elif stack:
                        self.assertEqual(stack.pop(), func, (i, name))
                churners.add(name)
        self.assertLessEqual({"churn-0", "churn-1", "churn-2"}, churners)
        t = Trace(self.dir / "never-left.json")
        self.assertEqual(t.kinds("<module>"), ["start", "return"])  # begun when the run began
        self.assertEqual(t.dropped, 0)

    def test_the_programs_threads_run_while_the_export_waits_for_a_reader_or_a_write(self):
        # Opening a FIFO for writing waits until a reader opens it; here the reader is a thread
        # of the traced program. Then the export blocks in write() until the program drains the
        # pipe. Neither wait may keep the interpreter (the GIL, where there is one): the
        # program's threads keep running. What came through is one trace.
        blocked, progress, calls = run_python(self, """
            import array, fcntl, os, termios, threading, time, vespra

            def fib(n):  # its number of calls
                return 1 if n < 2 else 1 + fib(n - 1) + fib(n - 2)

            def queued(fd):
                n = array.array("i", [0])
                fcntl.ioctl(fd, termios.FIONREAD, n)
                return n[0]

            def open_reader():
                global reader
                time.sleep(0.5)  # the tracer is waiting in its open by now
                reader = os.open("fifo", os.O_RDONLY | os.O_NONBLOCK)

            def tick():
                global ticks
                while running:
                    ticks += 1  # no call: records nothing

            def drain():
                with open("t.json", "wb") as f:
                    while chunk := os.read(reader, 1 << 16):
                        f.write(chunk)

            os.mkfifo("fifo")
            opener = threading.Thread(target=open_reader)
            opener.start()
            tracer = vespra.Tracer("fifo", "json")
            tracer.__enter__()
            opener.join()
            capacity = fcntl.fcntl(reader, fcntl.F_GETPIPE_SZ)
            ticks, running = 0, True
            threading.Thread(target=tick).start()
            give_up, calls = time.monotonic() + 30, 0
            while queued(reader) < capacity // 2 and time.monotonic() < give_up:
                calls += fib(12)
            for _ in range(10):
                calls += fib(12)  # a megabyte more than the pipe holds
            # The export is stuck in its write; the ticking thread goes on, however long the
            # loaded machine keeps it from a core.
            in_pipe, before, give_up = queued(reader), ticks, time.monotonic() + 60
            while ticks - before <= 1000 and time.monotonic() < give_up:
                time.sleep(0.01)
            print(in_pipe >= capacity // 2 and queued(reader) == in_pipe, ticks - before)
            os.set_blocking(reader, True)
            drainer = threading.Thread(target=drain)
            drainer.start()
            tracer.__exit__(None, None, None)
            drainer.join()
            running = False
            print(calls)
        """, self.dir)
        self.assertEqual(blocked, "True")  # the pipe was full and stayed so: the export blocked
        self.assertGreater(int(progress), 1000)
        trace = Trace(self.dir / "t.json")  # strict: a cut or garbled record fails here
        fib_events = len(trace.by_name("fib"))
        self.assertLessEqual(fib_events, 2 * int(calls))  # fib(12) counts its own calls
        self.assertLessEqual(2 * int(calls), fib_events + trace.dropped)
        self.assertTrue(trace.by_name("tick"))


if __name__ == "__main__":
    unittest.main()
