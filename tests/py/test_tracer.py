"""The Tracer as a Python program uses it: what its traces hold, read back in both formats, and
how entering and leaving behave, every way of failing included."""

import errno
import inspect
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import threading
import time
import _thread
import unittest
import warnings

import pbtrace
import vespra
from jsontrace import Trace

MON = sys.monitoring
# The tool id a run takes: the first of those no kind of tool is assigned.
TOOL_ID = 3
ENV = ("VESPRA_CHILD_OUTPUT", "VESPRA_CHILD_FORMAT", "VESPRA_CHILD_ORIGIN")


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


def env_snapshot():
    return tuple(os.environ.get(k) for k in ENV)


def read_back(path, fmt):
    """{(pid, tid): (thread name, [(ts, "B" | "E", name), ...])} from a trace of either format.
    A protobuf end carries the name of the slice it closes (None when nothing is open)."""
    if fmt == "json":
        t = Trace(path)
        return {k: (t.thread_names.get(k), [(r["ts"], r["ph"], r["name"]) for r in evs])
                for k, evs in t.events.items()}
    return {k: (track.name, track.events) for k, track in pbtrace.slices(path).items()
            if k[1] is not None}


def nesting(events):
    """(the first end that does not close the innermost open call, or None; what is left open)"""
    stack = []
    for _, phase, name in events:
        if phase == "B":
            stack.append(name)
        elif not stack or stack.pop() != name:
            return f"end of {name} does not close the innermost open call", stack
    return None, stack


def open_frames(frame):
    """The qualified names of `frame` and its callers, outermost first."""
    names = []
    while frame is not None:
        names.append(frame.f_code.co_qualname)
        frame = frame.f_back
    return names[::-1]


class TempDirTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)
        for k in ENV:
            os.environ.pop(k, None)


class ContentTest(TempDirTest):
    def test_calls_and_threads_read_back_in_both_formats(self):
        native = {}

        def work(label):
            native[label] = threading.get_native_id()
            fib(4)
            list(counter(2))

        def raw():
            native["raw"] = threading.get_native_id()
            fib(3)

        def begins(events):
            return [name for _, phase, name in events if phase == "B"]

        main = (os.getpid(), threading.get_native_id() & 0xFFFFFFFF)
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt):
                out = str(self.dir / f"t.{fmt}")
                with self.assertRaises(KeyError), vespra.Tracer(out, fmt):
                    fib(5)
                    Shapes().area()
                    list(counter(2))
                    g = catches_thrown()
                    next(g)
                    g.throw(ValueError)
                    g.close()
                    threads = [threading.Thread(target=work, args=(i,), name=f"worker-{i}")
                               for i in range(3)]
                    for th in threads:
                        th.start()
                    for th in threads:
                        th.join()
                    _thread.start_joinable_thread(raw).join()  # a thread `threading` never saw
                    fails()  # the trace is finished before the error leaves the block
                tracks = read_back(out, fmt)
                for key, (_, events) in tracks.items():
                    # The calls that enclose the `with` begin the main thread's trace at the
                    # start and end it at the stop, innermost first, at one time.
                    self.assertEqual(nesting(events), (None, []), key)
                    stamps = [ts for ts, _, _ in events]
                    self.assertEqual(stamps, sorted(stamps), key)
                    if key == main:
                        outer = open_frames(sys._getframe())
                        stop = events[-1][0]
                        self.assertEqual(events[-len(outer):],
                                         [(stop, "E", n) for n in reversed(outer)])
                name, events = tracks[main]
                self.assertEqual(name, "MainThread")
                self.assertEqual(begins(events).count("fib"), 15)  # the calls of fib(5)
                self.assertIn("Shapes.area.<locals>.inner", begins(events))
                self.assertIn("fails", begins(events))
                key = {label: (os.getpid(), tid & 0xFFFFFFFF) for label, tid in native.items()}
                for i in range(3):
                    name, events = tracks[key[i]]
                    self.assertEqual(name, f"worker-{i}")
                    self.assertEqual(begins(events).count("counter"), 3)  # start, two resumes
                name, events = tracks[key["raw"]]
                self.assertFalse((name or "").startswith("Dummy-"), name)
                self.assertIn("fib", begins(events))
                # Asking for its name must not leave a dummy Thread behind in `threading`.
                self.assertEqual([t.name for t in threading.enumerate()], ["MainThread"])
        t = Trace(str(self.dir / "t.json"))
        for fn, name in ((fib, "fib"), (Shapes.area, "Shapes.area")):
            self.assertEqual({(r["args"]["file"], r["args"]["line"]) for r in t.by_name(name)},
                             {(fn.__code__.co_filename, fn.__code__.co_firstlineno)})
        self.assertEqual(t.kinds("counter", main),
                         ["start", "yield", "resume", "yield", "resume", "return"])
        # throw() re-enters the frame with "throw"; close() throws GeneratorExit, which unwinds.
        self.assertEqual(t.kinds("catches_thrown"),
                         ["start", "yield", "throw", "yield", "throw", "unwind"])
        self.assertEqual(t.kinds("fails"), ["start", "unwind"])


class ArgumentTest(unittest.TestCase):
    def test_bad_arguments_raise_with_a_clear_text(self):
        for args, kwargs, exc, text in [
                ((), {}, TypeError, "missing required argument 'output'"),
                ((1,), {}, TypeError, "'output' must be str, bytes or os.PathLike, not int"),
                (("x", 1), {}, TypeError, "argument 'format' must be str or None, not int"),
                (("x", "json", False, "n", False, 1), {}, TypeError,
                 "at most 5 arguments by position"),
                (("x",), {"process_name": b"n"}, TypeError,
                 "argument 'process_name' must be str or None, not bytes"),
                (("x",), {"include": "myapp"}, TypeError, "'include' must be a sequence of str"),
                (("x",), {"exclude": [b"x"]}, TypeError, "'exclude' must hold str, not bytes"),
                (("x",), {"include": ["a", ""]}, ValueError, "'' is not a pattern"),
                (("x",), {"c_calls": 1}, TypeError, "'c_calls' must be bool, not int"),
                (("x",), {"exceptions": 1}, TypeError, "'exceptions' must be bool, not int"),
                (("x", "json", 1), {}, TypeError, "argument 'lossless' must be bool, not int"),
                (("x",), {"fmt": "json"}, TypeError, "unexpected keyword argument 'fmt'"),
                (("x",), {"output": "y"}, TypeError, "given by name ('output') and position (1)"),
                (("x", "JSON"), {}, ValueError, "unknown format: JSON"),
                (("x\0y",), {}, ValueError, "embedded null byte")]:  # would trace into "x"
            with self.subTest(args=args, kwargs=kwargs), self.assertRaises(exc) as cm:
                vespra.Tracer(*args, **kwargs)
            self.assertIn(text, str(cm.exception))
        for fmt in ("json", "protobuf", "proto", "pb"):
            vespra.Tracer(output="x", format=fmt)
        vespra.Tracer("x", lossless=True)
        self.assertEqual(str(inspect.signature(vespra.Tracer)),
                         "(output, format=None, lossless=False, process_name=None, gc=False, "
                         "*, include=(), exclude=(), exclude_stdlib=False, "
                         "exclude_site_packages=False, c_calls=False, min_duration=0, "
                         "max_depth=256, ring=0, exceptions=False, args=(), returns=(), "
                         "args_repr=False)")
        # The time base a joined child is given; refused before anything starts.
        for args, exc, text in [(("1",), TypeError, "origin must be int or None, not str"),
                                ((-1,), OverflowError, ""),
                                ((1, 2), TypeError, "at most 1 argument, got 2")]:
            with self.subTest(args=args), self.assertRaises(exc) as cm:
                vespra.Tracer("x")._enter_as_child(*args)
            self.assertIn(text, str(cm.exception))


class FormatTest(TempDirTest):
    def test_the_format_comes_from_the_file_name_unless_given(self):
        for name, fmt, first in [("t.json", None, b"["), ("t.pb", None, b"\n"),
                                 ("t.pftrace", None, b"\n"), ("t", None, b"\n"),
                                 ("t.json.gz", None, b"\n"), ("u.json", "protobuf", b"\n"),
                                 ("u.pb", "json", b"[")]:
            with self.subTest(name=name, fmt=fmt):
                with vespra.Tracer(self.dir / name, fmt):
                    fib(3)
                self.assertEqual((self.dir / name).read_bytes()[:1], first)


class LosslessTest(TempDirTest):
    """A trace written to a pipe nobody reads yet: the rings and the writer's queue fill."""

    def traced_through_a_stalled_pipe(self, lossless, stall_s):
        import _vespra_tracecount as tracecount
        fifo = str(self.dir / f"fifo-{lossless}")
        os.mkfifo(fifo)
        done = threading.Event()
        data = bytearray()

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
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with tracer:
                workers = [threading.Thread(target=fib, args=(29,)) for _ in range(2)]
                for w in workers:
                    w.start()
                for w in workers:
                    w.join()
                elapsed = time.perf_counter() - t0
                done.set()
        r.join()
        _, begins, ends, dropped = tracecount.protobuf(bytes(data))
        # The library says nothing unless events were lost; then it says how many, once, and
        # how to lose none.
        self.assertEqual(tracer.dropped, dropped)
        with self.assertRaises(AttributeError):
            tracer.dropped = 0
        said = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
        self.assertEqual(len(said), 1 if dropped else 0, said)
        if said:
            self.assertIn(str(dropped), said[0])
            self.assertIn("lossless=True", said[0])
            self.assertEqual(caught[0].filename, __file__)  # points at the `with`
        return begins, ends, dropped, elapsed

    def test_lossless_threads_wait_for_the_writer_and_nothing_is_lost(self):
        calls = 2 * 1664079  # fib(29) makes 1664079 calls
        begins, ends, dropped, _ = self.traced_through_a_stalled_pipe(False, 60)
        self.assertGreater(dropped, 0, "the set-up must overflow the default run")
        self.assertLess(begins, calls)
        begins, ends, dropped, elapsed = self.traced_through_a_stalled_pipe(True, 2)
        self.assertEqual(dropped, 0)
        self.assertGreaterEqual(elapsed, 1.5, "the program waited for the writer")
        self.assertGreaterEqual(begins, calls)  # and the workers' own functions
        self.assertGreaterEqual(ends, calls)

    def test_the_child_variable_and_the_clock_variable(self):
        out = str(self.dir / "t.pb")
        with vespra.Tracer(out, lossless=True):
            self.assertEqual(os.environ.get("VESPRA_CHILD_LOSSLESS"), "1")
        self.assertNotIn("VESPRA_CHILD_LOSSLESS", os.environ)
        with vespra.Tracer(out):
            self.assertNotIn("VESPRA_CHILD_LOSSLESS", os.environ)
        try:
            for clock in ("auto", "tsc", "monotonic", ""):
                os.environ["VESPRA_CLOCK"] = clock
                with vespra.Tracer(out):
                    fib(5)
                self.assertGreater(os.path.getsize(out), 0)
            os.environ["VESPRA_CLOCK"] = "rdtsc"
            with self.assertRaisesRegex(ValueError, "VESPRA_CLOCK must be auto, tsc or monotonic"):
                vespra.Tracer(out).__enter__()
            self.assertIsNone(MON.get_tool(TOOL_ID))
            self.assertEqual(env_snapshot(), (None,) * len(ENV))
        finally:
            os.environ.pop("VESPRA_CLOCK", None)


class LifecycleTest(TempDirTest):
    def test_variables_and_tool_slot_are_held_inside_and_released_after(self):
        out = str(self.dir / "t.pb")
        with vespra.Tracer(out, "pb") as t:
            self.assertIsInstance(t, vespra.Tracer)
            output, fmt, origin = env_snapshot()
            self.assertEqual((output, fmt), (out, "protobuf"))
            self.assertTrue(origin.isdigit(), origin)  # CLOCK_MONOTONIC nanoseconds
            self.assertLessEqual(int(origin), time.clock_gettime_ns(time.CLOCK_MONOTONIC))
            self.assertEqual(MON.get_tool(TOOL_ID), "vespra")
        self.assertEqual(env_snapshot(), (None, None, None))
        self.assertIsNone(MON.get_tool(TOOL_ID))

    def test_each_enter_is_left_exactly_once(self):
        out = str(self.dir / "t.json")
        t = vespra.Tracer(out, "json")
        with self.assertRaisesRegex(RuntimeError, "^tracer is not tracing$"):
            t.__exit__(None, None, None)
        self.assertFalse(os.path.exists(out))
        t.__enter__()
        results = []

        def leave():
            try:
                results.append(t.__exit__(None, None, None))
            except RuntimeError as e:
                results.append(str(e))
        threads = [threading.Thread(target=leave) for _ in range(4)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        self.assertEqual(sorted(results, key=str), [False] + ["tracer is not tracing"] * 3)
        with self.assertRaisesRegex(RuntimeError, "^tracer is not tracing$"):
            t.__exit__(None, None, None)
        self.assertIn("MainThread", Trace(out).thread_names.values())

    def test_reentering_writes_a_fresh_file(self):
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt):
                out = str(self.dir / f"t.{fmt}")
                t = vespra.Tracer(out, fmt)
                with t:
                    fib(1)
                with t:
                    list(counter(1))
                names = {n for _, events in read_back(out, fmt).values() for _, _, n in events}
                self.assertIn("counter", names)
                self.assertNotIn("fib", names)

    def test_entering_while_a_run_holds_the_tool_slot_changes_nothing(self):
        # The same tracer again, or another one: both fail, saying a trace is running, before
        # they touch the running trace's file or the exported variables. Leaving a tracer that
        # is not the running one leaves the running one alone.
        out, other = str(self.dir / "first.json"), str(self.dir / "second.pb")
        first = vespra.Tracer(out, "json")
        with first:
            exported = env_snapshot()
            fib(1)
            for again in (first, vespra.Tracer(other, "protobuf")):
                for enter in (again.__enter__, again._enter_as_child):
                    with self.subTest(tracer=again, enter=enter.__name__):
                        with self.assertRaisesRegex(RuntimeError,
                                                    "trace is already running in this process"):
                            enter()
                        self.assertEqual(env_snapshot(), exported)
                        self.assertEqual(exported[:2], (out, "json"))
                        self.assertFalse(os.path.exists(other))
            with self.assertRaisesRegex(RuntimeError, "not tracing"):
                vespra.Tracer(other).__exit__(None, None, None)
            self.assertEqual(env_snapshot(), exported)
            list(counter(1))
        t = Trace(out)
        self.assertEqual(t.kinds("fib"), ["start", "return"])
        self.assertEqual(t.kinds("counter"), ["start", "yield", "resume", "return"])
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

    def test_cprofile_runs_inside_a_trace(self):
        # The profiler's tool id is left to cProfile, which then sees the calls too.
        import cProfile
        import pstats
        out = str(self.dir / "t.json")
        with vespra.Tracer(out):
            profile = cProfile.Profile()
            profile.runcall(fib, 5)
            stats = pstats.Stats(profile)
        self.assertEqual(stats.stats[fib.__code__.co_filename, fib.__code__.co_firstlineno,
                                     "fib"][1], 15)
        self.assertEqual(Trace(out).kinds("fib").count("start"), 15)

    def test_file_errors_raise_the_oserror_of_their_errno_naming_the_file(self):
        # As open() would: the subclass of the errno, with errno and filename (the path as
        # given, a pathlib.Path included) set.
        def check(cm, exc_type, code, filename):
            self.assertIs(type(cm.exception), exc_type)
            self.assertEqual(cm.exception.errno, code)
            self.assertEqual(cm.exception.filename, filename)
            self.assertIn(str(filename), str(cm.exception))

        for fmt in ("json", "protobuf"):
            for out in (str(self.dir / "missing" / "t"), self.dir / "missing" / "t"):
                with self.subTest(fmt=fmt, out=out):
                    with self.assertRaises(OSError) as cm:
                        vespra.Tracer(out, fmt).__enter__()
                    check(cm, FileNotFoundError, errno.ENOENT, out)
                    self.assertIsNone(MON.get_tool(TOOL_ID))
                    self.assertFalse(os.path.exists(os.path.dirname(out)))
                    # Nothing is left for a child process to try to join.
                    self.assertEqual(env_snapshot(), (None,) * len(ENV))
                    self.assertNotIn("VESPRA_CHILD_LOSSLESS", os.environ)
            with self.subTest(fmt=fmt, out="a directory"), self.assertRaises(OSError) as cm:
                vespra.Tracer(self.dir, fmt).__enter__()
            check(cm, IsADirectoryError, errno.EISDIR, self.dir)
        # Permissions: root may write anywhere, so a forked child gives itself up first.
        locked = self.dir / "locked"
        locked.mkdir(mode=0o500)
        if (pid := os.fork()) == 0:
            code = 1
            try:
                if os.geteuid() == 0:
                    os.setuid(65534)
                vespra.Tracer(locked / "t.pb").__enter__()
            except PermissionError as e:
                code = 0 if (e.errno, e.filename) == (errno.EACCES, locked / "t.pb") else 2
            finally:
                os._exit(code)
        self.assertEqual(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), 0)
        if not os.path.exists("/dev/full"):
            return
        # JSON writes its "[" when it starts; protobuf first writes when events arrive.
        with self.assertRaises(OSError) as cm:
            vespra.Tracer("/dev/full", "json").__enter__()
        check(cm, OSError, errno.ENOSPC, "/dev/full")
        t = vespra.Tracer(pathlib.Path("/dev/full"), "protobuf")
        t.__enter__()
        fib(10)
        with self.assertRaises(OSError) as cm:
            t.__exit__(None, None, None)
        check(cm, OSError, errno.ENOSPC, pathlib.Path("/dev/full"))
        self.assertIsNone(MON.get_tool(TOOL_ID))
        with self.assertRaisesRegex(RuntimeError, "not tracing"):
            t.__exit__(None, None, None)

    def test_any_path_open_takes_is_taken(self):
        # A pathlib.Path, bytes, and a relative Path that children resolve against the
        # directory the trace was started in.
        for out in (self.dir / "p.pb", os.fsencode(self.dir / "b.pb")):
            with self.subTest(out=out):
                with warnings.catch_warnings():
                    warnings.simplefilter("error")  # a run that lost nothing says nothing
                    with vespra.Tracer(out) as t:
                        self.assertEqual(env_snapshot()[0], os.fsdecode(out))
                        fib(3)
                self.assertEqual(t.dropped, 0)
                self.assertGreater(os.path.getsize(out), 0)

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
        key = (os.getpid(), worker.native_id & 0xFFFFFFFF)
        self.assertEqual(trace.thread_names.get(key), "slow-name")
        self.assertTrue(trace.events[key])
        self.assertEqual(trace.dropped, 0)

    def test_starts_and_stops_while_other_threads_run_python_code(self):
        # Every start and stop switches the events of threads that are running Python code,
        # making garbage and collecting it, and asking for their names. No lock of a start or a
        # stop may wait in a way that keeps the interpreter from pausing a thread (free-threaded)
        # or from handing the GIL over (regular build): that would hang this process.
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent("""
            import gc, threading, time, vespra

            def fib(n):
                return n if n < 2 else fib(n - 1) + fib(n - 2)

            def churn(i):
                while not done.is_set():
                    fib(8)
                    cycle = []
                    cycle.append(cycle)
                    if i == 0:
                        gc.collect()
                    time.sleep(0.001)  # a trace of a few megabytes, not hundreds

            done = threading.Event()
            threads = [threading.Thread(target=churn, args=(i,), name=f"churn-{i}")
                       for i in range(3)]
            for t in threads:
                t.start()
            for i in range(16):
                with vespra.Tracer(f"run{i}", ("json", "protobuf")[i % 2]):
                    fib(10)
                    time.sleep(0.02)  # the other threads' turn, where there is a GIL
            done.set()
            for t in threads:
                t.join()
        """)], cwd=self.dir, capture_output=True, text=True, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        churners = set()
        for i in range(16):
            tracks = read_back(self.dir / f"run{i}", ("json", "protobuf")[i % 2])
            [main] = [evs for name, evs in tracks.values() if name == "MainThread"]
            # The script's own frame was open when each run began, and ends at the stop.
            self.assertEqual(nesting(main), (None, []), i)
            self.assertEqual(sum(1 for _, ph, n in main if ph == "B" and n == "fib"), 177, i)
            for name, events in tracks.values():
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


class OpenCallsTest(TempDirTest):
    def test_a_trace_begun_inside_calls_and_beside_a_deep_thread_nests(self):
        # The tracer is entered three calls deep and left after they return; another thread is
        # already deep in calls and returns from all of them while the trace runs. Every end
        # must have its begin: those of the calls open at the start are stamped at the start.
        def deep(n, go):
            if n:
                return deep(n - 1, go)
            ready.set()
            go.wait()
            return fib(2)

        def leaf():
            pass

        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt):
                tracer = vespra.Tracer(str(self.dir / f"t.{fmt}"), fmt)
                ready, go = threading.Event(), threading.Event()

                def level3():
                    tracer.__enter__()
                    leaf()

                def level2():
                    level3()
                    leaf()

                def level1():
                    level2()
                    leaf()

                worker = threading.Thread(target=deep, args=(6, go), name="deep")
                worker.start()
                ready.wait()
                level1()
                go.set()
                worker.join()
                tracer.__exit__(None, None, None)

                tracks = read_back(str(self.dir / f"t.{fmt}"), fmt)
                main = tracks[(os.getpid(), threading.get_native_id() & 0xFFFFFFFF)][1]
                outer = open_frames(sys._getframe())
                self.assertEqual(nesting(main), (None, []))
                stop = main[-1][0]
                self.assertEqual(main[-len(outer):], [(stop, "E", n) for n in reversed(outer)])
                start = main[0][0]
                names = [n.rpartition(".")[2] for _, _, n in main]  # the <locals> qualified
                self.assertEqual(main[:len(outer)], [(start, "B", n) for n in outer])
                self.assertEqual(names[len(outer):len(outer) + 3], ["level1", "level2", "level3"])
                self.assertEqual({ts for ts, _, _ in main[:len(outer) + 3]}, {start})
                self.assertEqual(names[len(outer) + 3:len(outer) + 12],
                                 ["leaf", "leaf", "level3"] + ["leaf", "leaf", "level2"]
                                 + ["leaf", "leaf", "level1"])
                key = (os.getpid(), worker.native_id & 0xFFFFFFFF)
                name, events = tracks[key]
                self.assertEqual(name, "deep")
                self.assertEqual(nesting(events), (None, []))
                opened = ["Thread._bootstrap", "Thread._bootstrap_inner", "Thread.run"]
                opened += ["OpenCallsTest.test_a_trace_begun_inside_calls_and_beside_a_deep_"
                           "thread_nests.<locals>.deep"] * 7
                self.assertEqual(events[:len(opened)], [(start, "B", n) for n in opened])


class ProcessTest(TempDirTest):
    def test_a_whole_interpreter_under_a_tracer(self):
        # Importing changes nothing; a run lets go of the code objects it saw (checked before any
        # thread starts: from then on the interpreter makes new code objects immortal); a run
        # never left is finished at exit, with a daemon thread still recording.
        left, never_left = str(self.dir / "left.pb"), str(self.dir / "never.json")
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
            import gc, sys, threading, time, weakref, vespra
            print(sys._is_gil_enabled(), threading.active_count(), sys.monitoring.get_tool(3))
            namespace = {{}}
            exec(compile("def transient():\\n    return 1\\n", "<transient>", "exec"), namespace)
            code_ref = weakref.ref(namespace["transient"].__code__)
            with vespra.Tracer({left!r}):
                namespace["transient"]()
            del namespace
            gc.collect()
            print(code_ref() is None)
            def fib(n):
                return n if n < 2 else fib(n - 1) + fib(n - 2)
            def spin():
                while True:
                    fib(5)
                    time.sleep(0.001)
            vespra.Tracer({never_left!r}, "json").__enter__()
            threading.Thread(target=spin, name="daemon-spin", daemon=True).start()
            fib(12)
        """)], capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        gil = str(not sysconfig.get_config_var("Py_GIL_DISABLED"))  # as the build has it
        self.assertEqual(proc.stdout.split(), [gil, "1", "None", "True"])
        t = Trace(never_left)
        [main] = [k for k, name in t.thread_names.items() if name == "MainThread"]
        self.assertIsNone(t.unbalanced(main))
        self.assertEqual(t.kinds("<module>"), ["start", "return"])  # begun when the run began
        self.assertEqual(t.kinds("fib", main).count("start"), 465)  # the calls of fib(12)
        self.assertIn("daemon-spin", t.thread_names.values())
        self.assertEqual(t.dropped, 0)

    def test_serializer_asks_for_short_slices_and_keeps_nice_and_policy(self):
        # In a niced process under SCHED_BATCH: the serializer's request for short slices must
        # not reset either, and (on kernels that report a slice) must take effect. The process
        # adds 3 to whatever niceness it was started with (`nice make test`).
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
            import os, time, vespra
            niced = os.nice(3)
            os.sched_setscheduler(0, os.SCHED_BATCH, os.sched_param(0))
            with vespra.Tracer({str(self.dir / "t.pb")!r}):
                time.sleep(0.05)
                for tid in os.listdir("/proc/self/task"):
                    with open(f"/proc/self/task/{{tid}}/comm") as f:
                        if f.read().strip() != "vespra-serializ":
                            continue
                    with open(f"/proc/self/task/{{tid}}/sched") as f:
                        slices = [l.split()[-1] for l in f if l.startswith("se.slice ")]
                    print(os.getpriority(os.PRIO_PROCESS, int(tid)) == niced,
                          os.sched_getscheduler(int(tid)) == os.SCHED_BATCH, *slices)
        """)], capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        nice, batch, *slices = proc.stdout.split()
        self.assertEqual((nice, batch), ("True", "True"))
        if slices and tuple(map(int, os.uname().release.split(".")[:2])) >= (6, 12):
            self.assertEqual(slices, ["100000"])

class ExportTest(TempDirTest):
    def test_the_programs_threads_run_while_the_export_is_blocked_writing(self):
        # The trace goes into a pipe that nobody reads until it is full, so the export blocks in
        # write(). It must hold no GIL meanwhile (nor be attached): the program's threads keep
        # running. Then the pipe is drained, the run stops, and what came through is one trace.
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent("""
            import array, fcntl, os, termios, threading, time, vespra

            def fib(n):  # its number of calls
                return 1 if n < 2 else 1 + fib(n - 1) + fib(n - 2)

            def queued(fd):
                n = array.array("i", [0])
                fcntl.ioctl(fd, termios.FIONREAD, n)
                return n[0]

            def tick():
                global ticks
                while running:
                    ticks += 1  # no call: records nothing

            def drain():
                with open("t.json", "wb") as f:
                    while chunk := os.read(reader, 1 << 16):
                        f.write(chunk)

            os.mkfifo("fifo")
            reader = os.open("fifo", os.O_RDONLY | os.O_NONBLOCK)
            capacity = fcntl.fcntl(reader, fcntl.F_GETPIPE_SZ)
            ticks, running = 0, True
            tracer = vespra.Tracer("fifo", "json")
            tracer.__enter__()
            threading.Thread(target=tick).start()
            give_up, calls = time.monotonic() + 30, 0
            while queued(reader) < capacity // 2 and time.monotonic() < give_up:
                calls += fib(12)
            for _ in range(10):
                calls += fib(12)  # a megabyte more than the pipe holds
            in_pipe, before = queued(reader), ticks
            # The export is stuck in its write; the ticking thread goes on, however long the
            # loaded machine keeps it from a core.
            give_up = time.monotonic() + 60
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
        """)], cwd=self.dir, capture_output=True, text=True, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        blocked, progress, calls = proc.stdout.split()
        self.assertEqual(blocked, "True")  # the pipe was full and stayed so: the export blocked
        self.assertGreater(int(progress), 1000)
        trace = Trace(self.dir / "t.json")  # strict: a cut or garbled record fails here
        fib_events = len(trace.by_name("fib"))
        self.assertLessEqual(fib_events, 2 * int(calls))  # fib(12) counts its own calls
        self.assertLessEqual(2 * int(calls), fib_events + trace.dropped)
        self.assertTrue(trace.by_name("tick"))

    def test_a_fifo_read_by_a_thread_of_the_traced_program(self):
        # Opening a FIFO for writing waits until a reader opens it. Here the reader is a thread
        # of the program that starts the tracer, so the open must not keep the interpreter (the
        # GIL, where there is one) while it waits.
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent("""
            import os, threading, time, vespra

            def fib(n):  # its number of calls
                return 1 if n < 2 else 1 + fib(n - 1) + fib(n - 2)

            def drain():
                time.sleep(0.5)  # the tracer is waiting in its open by now
                with open("fifo", "rb") as pipe, open("t.pb", "wb") as out:
                    while chunk := pipe.read(1 << 16):
                        out.write(chunk)

            os.mkfifo("fifo")
            drainer = threading.Thread(target=drain)
            drainer.start()
            with vespra.Tracer("fifo"):
                calls = fib(15)
            drainer.join()
            print(calls)
        """)], cwd=self.dir, capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        calls = int(proc.stdout)
        [(_, events)] = [v for v in read_back(self.dir / "t.pb", "protobuf").values()
                         if any(name == "fib" for _, _, name in v[1])]
        self.assertEqual(sum(1 for _, phase, name in events if phase == "B" and name == "fib"),
                         calls)


if __name__ == "__main__":
    unittest.main()
