"""The Tracer as a Python program uses it: what the traces contain, and how entering and leaving
behave, including every way a start or a stop can fail."""

import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import _thread
import unittest

import pbtrace
import vespra
from vespra import _core
from jsontrace import Trace

MON = sys.monitoring
ENV = ("VESPRA_CHILD_OUTPUT", "VESPRA_CHILD_FORMAT")


# ---- workloads (module level, so their co_qualname and first lines are known) -----------------

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


def catches():
    try:
        fails()
    except KeyError:
        return "caught"


def catches_thrown():
    while True:
        try:
            yield "ready"
        except ValueError:
            pass


def marker_before():
    pass


def marker_after():
    pass


def env_snapshot():
    return {k: os.environ.get(k) for k in ENV}


class TempDirTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)
        for k in ENV:
            os.environ.pop(k, None)

    def path(self, name):
        return str(self.dir / name)


# ---- what a trace holds -----------------------------------------------------------------------

class JsonContentTest(TempDirTest):
    def trace(self, body):
        out = self.path("t.json")
        with vespra.Tracer(out, "json"):
            body()
        return Trace(out)

    def test_names_files_and_first_lines_come_from_the_code_objects(self):
        t = self.trace(lambda: (fib(5), Shapes().area()))
        for fn, name in ((fib, "fib"), (Shapes.area, "Shapes.area")):
            recs = t.by_name(name)
            self.assertTrue(recs, name)
            self.assertEqual({(r["args"]["file"], r["args"]["line"]) for r in recs},
                             {(fn.__code__.co_filename, fn.__code__.co_firstlineno)})
        self.assertEqual(t.kinds("Shapes.area.<locals>.inner"), ["start", "return"])
        self.assertEqual(t.kinds("fib").count("start"), 15)  # calls of fib(5)

    def test_every_thread_balances_its_begins_and_ends(self):
        def body():
            fib(8)
            catches()
            list(counter(3))
            threads = [threading.Thread(target=fib, args=(6,)) for _ in range(3)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
        t = self.trace(body)
        self.assertGreaterEqual(len(t.events), 4)
        for key in t.events:
            self.assertIsNone(t.unbalanced(key), key)
        ts = [[r["ts"] for r in evs] for evs in t.events.values()]
        for seq in ts:
            self.assertEqual(seq, sorted(seq))

    def test_generators_exceptions_and_throw(self):
        def body():
            list(counter(2))
            self.assertEqual(catches(), "caught")
            g = catches_thrown()
            next(g)
            g.throw(ValueError)
            g.close()
        t = self.trace(body)
        self.assertEqual(t.kinds("counter"),
                         ["start", "yield", "resume", "yield", "resume", "return"])
        self.assertEqual(t.kinds("fails"), ["start", "unwind"])
        self.assertEqual(t.kinds("catches"), ["start", "return"])
        # throw() re-enters the frame with "throw"; close() throws GeneratorExit, which unwinds.
        self.assertEqual(t.kinds("catches_thrown"),
                         ["start", "yield", "throw", "yield", "throw", "unwind"])

    def test_threads_are_named_and_identified_by_their_os_thread_id(self):
        native = {}

        def work(label):
            native[label] = threading.get_native_id()
            fib(4)

        def body():
            threads = [threading.Thread(target=work, args=(f"w{i}",), name=f"worker-{i}")
                       for i in range(3)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
        t = self.trace(body)
        pid = os.getpid()
        for i in range(3):
            key = (pid, native[f"w{i}"] & 0xFFFFFFFF)
            self.assertEqual(t.thread_names.get(key), f"worker-{i}")
            self.assertIn("fib", {r["name"] for r in t.events[key]})
        main = (pid, threading.get_native_id() & 0xFFFFFFFF)
        self.assertEqual(t.thread_names.get(main), threading.current_thread().name)

    def test_a_thread_not_started_by_threading_gets_no_placeholder_name(self):
        done = threading.Event()
        native = []

        def raw():
            native.append(threading.get_native_id())
            fib(6)
            done.set()

        def body():
            _thread.start_new_thread(raw, ())
            self.assertTrue(done.wait(10))
        t = self.trace(body)
        key = (os.getpid(), native[0] & 0xFFFFFFFF)
        self.assertIn("fib", {r["name"] for r in t.events[key]})
        self.assertFalse(t.thread_names.get(key, "").startswith("Dummy-"),
                         t.thread_names.get(key))


class ProtobufContentTest(TempDirTest):
    def test_a_protobuf_trace_reads_back_like_the_json_one(self):
        native = {}

        def work(label):
            native[label] = threading.get_native_id()
            fib(4)
            list(counter(2))

        out = self.path("t.pb")
        with vespra.Tracer(out):  # protobuf is the default
            threads = [threading.Thread(target=work, args=(f"w{i}",), name=f"pb-{i}")
                       for i in range(2)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
            catches()
        tracks = pbtrace.slices(out)
        pid = os.getpid()
        for i in range(2):
            track = tracks[(pid, native[f"w{i}"] & 0xFFFFFFFF)]
            self.assertEqual(track.name, f"pb-{i}")
            begins = [name for _, phase, name in track.events if phase == "B"]
            self.assertEqual(begins.count("fib"), 9)  # calls of fib(4)
            self.assertEqual(begins.count("counter"), 3)  # start and two resumes
            self.assertNotIn(None, [name for _, _, name in track.events])  # every end closes
            depth = 0
            for _, phase, _ in track.events:
                depth += 1 if phase == "B" else -1
                self.assertGreaterEqual(depth, 0)
            self.assertEqual(depth, 0)
            stamps = [ts for ts, _, _ in track.events]
            self.assertEqual(stamps, sorted(stamps))
        main = tracks[(pid, threading.get_native_id() & 0xFFFFFFFF)]
        self.assertEqual(main.name, threading.current_thread().name)
        self.assertIn("fails", [name for _, phase, name in main.events if phase == "B"])


# ---- entering and leaving ---------------------------------------------------------------------

class ArgumentTest(unittest.TestCase):
    def test_construction_checks_the_arguments(self):
        cases = [
            ((), {}, TypeError, "missing required argument 'output'"),
            ((pathlib.Path("x"),), {}, TypeError, "argument 'output' must be str, not PosixPath"),
            (("x", None), {}, TypeError, "argument 'format' must be str, not NoneType"),
            (("x", "json", 1), {}, TypeError, "at most 2 arguments"),
            (("x",), {"fmt": "json"}, TypeError, "unexpected keyword argument 'fmt'"),
            (("x",), {"output": "y"}, TypeError, "given by name ('output') and position (1)"),
            (("x", "JSON"), {}, ValueError, "unknown format: JSON"),
            (("x", " json"), {}, ValueError, "unknown format:  json"),
            (("x", "protobuf "), {}, ValueError, "unknown format: protobuf "),
            (("x\0y",), {}, ValueError, "embedded null byte"),  # would trace into "x"
        ]
        for args, kwargs, exc, text in cases:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(exc) as cm:
                    vespra.Tracer(*args, **kwargs)
                if exc is ValueError:
                    self.assertEqual(str(cm.exception), text)
                else:
                    self.assertIn(text, str(cm.exception))
        for fmt in ("json", "protobuf", "proto", "pb"):
            vespra.Tracer(output="x", format=fmt)
        self.assertIs(vespra.Tracer, _core.Tracer)
        self.assertEqual(_core.Tracer.__module__, "vespra._core")
        self.assertEqual(_core.Tracer.__text_signature__, "(output, format=...)")

    def test_exit_checks_its_arguments(self):
        t = vespra.Tracer("unused")
        with self.assertRaisesRegex(TypeError, "expected 3 arguments, got 0"):
            t.__exit__()
        with self.assertRaisesRegex(TypeError, "must be a type or None, not int"):
            t.__exit__(1, None, None)


class LifecycleTest(TempDirTest):
    def test_environment_is_exported_inside_and_removed_after(self):
        out = self.path("t.pb")
        with vespra.Tracer(out, "pb") as t:
            self.assertIsInstance(t, vespra.Tracer)
            self.assertEqual(env_snapshot(), {ENV[0]: out, ENV[1]: "protobuf"})
            self.assertEqual(MON.get_tool(MON.PROFILER_ID), "vespra")
        self.assertEqual(env_snapshot(), {ENV[0]: None, ENV[1]: None})
        self.assertIsNone(MON.get_tool(MON.PROFILER_ID))

    def test_leaving_when_not_tracing(self):
        out = self.path("t.json")
        t = vespra.Tracer(out, "json")
        os.environ[ENV[0]] = "stale"
        with self.assertRaisesRegex(RuntimeError, "^tracer is not tracing$"):
            t.__exit__(None, None, None)
        self.assertIsNone(os.environ.get(ENV[0]))  # removed even so
        self.assertFalse(os.path.exists(out))
        t.__enter__()
        self.assertIs(t.__exit__(None, None, None), False)
        with self.assertRaisesRegex(RuntimeError, "^tracer is not tracing$"):
            t.__exit__(None, None, None)

    def test_body_exception_propagates_after_a_complete_trace(self):
        out = self.path("t.json")
        with self.assertRaises(KeyError):
            with vespra.Tracer(out, "json"):
                marker_before()
                fails()
        t = Trace(out)
        self.assertEqual(t.kinds("fails"), ["start", "unwind"])
        self.assertTrue(t.thread_names)  # written by the writer's finish

    def test_reentering_writes_a_fresh_file(self):
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt):
                out = self.path("t." + fmt)
                t = vespra.Tracer(out, fmt)
                with t:
                    marker_before()
                first = pathlib.Path(out).read_bytes()
                self.assertIn(b"marker_before", first)
                with t:
                    marker_after()
                second = pathlib.Path(out).read_bytes()
                self.assertIn(b"marker_after", second)
                self.assertNotIn(b"marker_before", second)
                if fmt == "json":
                    self.assertEqual(second.count(b"["), 1)
                    self.assertEqual(Trace(out).kinds("marker_after"), ["start", "return"])

    def test_entering_while_a_run_holds_the_tool_slot_changes_nothing(self):
        # The same tracer again, and another tracer: both must fail before touching the running
        # trace's file or the exported variables.
        out = self.path("first.json")
        second_out = self.path("second.json")
        first = vespra.Tracer(out, "json")
        with first:
            marker_before()
            try:
                MON.use_tool_id(MON.PROFILER_ID, "probe")
            except ValueError as e:
                expected = str(e)
            size = os.path.getsize(out)
            env = env_snapshot()
            for again in (first, vespra.Tracer(second_out, "protobuf")):
                for enter in (again.__enter__, again._enter_as_child):
                    with self.subTest(tracer=again, enter=enter.__name__):
                        with self.assertRaises(ValueError) as cm:
                            enter()
                        self.assertEqual(str(cm.exception), expected)
                        self.assertEqual(env_snapshot(), env)
                        self.assertGreaterEqual(os.path.getsize(out), size)
                        self.assertFalse(os.path.exists(second_out))
            marker_after()
        t = Trace(out)
        self.assertEqual(t.kinds("marker_before"), ["start", "return"])
        self.assertEqual(t.kinds("marker_after"), ["start", "return"])

    def test_a_missing_directory_fails_with_the_os_text(self):
        out = self.path("missing/t.pb")
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt):
                with self.assertRaises(OSError) as cm:
                    vespra.Tracer(out, fmt).__enter__()
                self.assertEqual(str(cm.exception), "No such file or directory (os error 2)")
                self.assertEqual(env_snapshot(), {ENV[0]: out, ENV[1]: fmt})
                self.assertIsNone(MON.get_tool(MON.PROFILER_ID))
                self.assertFalse(os.path.exists(os.path.dirname(out)))

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_write_failures_are_reported(self):
        # JSON writes its "[" at the start; protobuf first writes when events arrive.
        with self.assertRaisesRegex(OSError, r"^No space left on device \(os error 28\)$"):
            vespra.Tracer("/dev/full", "json").__enter__()
        self.assertIsNone(MON.get_tool(MON.PROFILER_ID))
        t = vespra.Tracer("/dev/full", "protobuf")
        t.__enter__()
        fib(10)
        with self.assertRaisesRegex(OSError, r"^No space left on device \(os error 28\)$"):
            t.__exit__(None, None, None)
        self.assertIsNone(MON.get_tool(MON.PROFILER_ID))
        with self.assertRaisesRegex(RuntimeError, "not tracing"):
            t.__exit__(None, None, None)

    def test_exit_waits_for_a_concurrent_exit(self):
        out = self.path("t.json")
        t = vespra.Tracer(out, "json")
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
        Trace(out)


class StopRaceTest(TempDirTest):
    def test_stop_waits_for_a_callback_paused_in_python_code(self):
        # The first events of a thread ask `threading` for its name, which runs Python code: here
        # a property that blocks. A stop that happens meanwhile must let that callback finish
        # its append before it collects the threads' batches, or the thread's events are lost
        # (and its append would race with the collection).
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

        out = self.path("t.json")
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


# ---- process exit -----------------------------------------------------------------------------

class ProcessTest(TempDirTest):
    def run_python(self, code):
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc

    def test_import_keeps_the_gil_off_and_does_nothing_else(self):
        proc = self.run_python("""
            import sys, threading, vespra
            print(sys._is_gil_enabled(), threading.active_count(), sys.monitoring.get_tool(2))
        """)
        self.assertEqual(proc.stdout.split(), ["False", "1", "None"])

    def test_code_objects_are_released_when_the_run_ends(self):
        # In a fresh process: once a Python thread has started, the interpreter makes every new
        # code object immortal, and nothing could tell whether the trace let go of it.
        proc = self.run_python(f"""
            import gc, weakref, vespra
            namespace = {{}}
            exec(compile("def transient():\\n    return 1\\n", "<transient>", "exec"), namespace)
            code_ref = weakref.ref(namespace["transient"].__code__)
            with vespra.Tracer({self.path("t.pb")!r}):
                namespace["transient"]()
            del namespace
            gc.collect()
            print(code_ref() is None)
        """)
        self.assertEqual(proc.stdout.strip(), "True")

    def test_a_run_never_left_is_completed_at_exit(self):
        out = self.path("t.json")
        self.run_python(f"""
            import threading, time, vespra
            def fib(n):
                return n if n < 2 else fib(n - 1) + fib(n - 2)
            def spin():
                while True:
                    fib(5)
                    time.sleep(0.001)
            vespra.Tracer({out!r}, "json").__enter__()
            threading.Thread(target=spin, name="daemon-spin", daemon=True).start()
            fib(12)
        """)
        t = Trace(out)
        main = [k for k, name in t.thread_names.items() if name == "MainThread"]
        self.assertEqual(len(main), 1)  # the writer's finish ran
        self.assertIsNone(t.unbalanced(main[0], entered_before={"<module>"}))
        self.assertEqual(t.kinds("<module>"), ["return"])
        self.assertEqual(t.kinds("fib", main[0]).count("start"), 465)  # calls of fib(12)
        self.assertIn("daemon-spin", t.thread_names.values())
        self.assertEqual(t.dropped, 0)


if __name__ == "__main__":
    unittest.main()
