"""The `vespra` command as a real process: what the program it runs sees and does, exit statuses,
the files written, and Python processes started from a traced one joining its trace. The
grammar of its arguments is cli_args_test's."""

import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import textwrap
import unittest

from jsontrace import Trace, nesting, tracks

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")
ENV = ("VESPRA_CHILD_OUTPUT", "VESPRA_CHILD_FORMAT")


def write(path, text):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return str(path)


def run_process(argv, cwd, **env):
    env = {k: v for k, v in os.environ.items() if k not in ENV} | env
    return subprocess.run([str(a) for a in argv], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=300)


def pids_with(path, name):
    """The process ids whose events include both a begin and an end of `name`."""
    found = {}
    for (pid, _), (_, events) in tracks(path).items():
        found.setdefault(pid, set()).update(ph for _, ph, n in events if n == name)
    return {pid for pid, phases in found.items() if phases == {"B", "E"}}


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))


class CommandTest(TempDirTest):
    def test_exit_statuses_streams_and_files(self):
        write(self.dir / "app" / "helper_of_app.py", "def helped():\n    return 1\n")
        write(self.dir / "app" / "main.py", """\
            import sys
            import helper_of_app
            helper_of_app.helped()
            print("args", sys.argv[1:])
            """)
        write(self.dir / "exiter.py", """\
            import os, sys
            def leave(code):
                sys.exit(code)
            print(os.environ.get("VESPRA_CLOCK"), os.environ.get("VESPRA_CHILD_LOSSLESS"))
            leave(int(sys.argv[1]))
            """)
        write(self.dir / "failer.py", "def deep():\n    raise KeyError('from deep')\ndeep()\n")
        # vespra started from a traced process writes its own trace, not into its parent's.
        write(self.dir / "inner.py", "def inner():\n    pass\ninner()\n")
        write(self.dir / "outer.py", f"""\
            import subprocess
            def outer():
                subprocess.run([{VESPRA!r}, "run", "-q", "-o", "inner.pb", "inner.py"], check=True)
            outer()
            """)
        (self.dir / "elsewhere").mkdir()
        run = [VESPRA, "run", "-q", "-f", "json", "-o"]
        for cwd, argv, status, stdout, stderr in [
                # A script imports from its own directory, wherever vespra runs.
                ("elsewhere", [VESPRA, "run", "-o", "t.pb", "../app/main.py", "x", "-f", "json"],
                 0, "^args \\['x', '-f', 'json'\\]\n$",
                 "^vespra: [^\n]*t.pb[^\n]*vespra summary t.pb[^\n]*ui.perfetto.dev[^\n]*\n$"),
                (".", [sys.executable, "-m", "vespra", "run", "-q", "-f", "json", "--lossless",
                       "--clock", "monotonic", "-o", "exit.json", "-m", "exiter", "5"],
                 5, "^monotonic 1\n$", "^$"),
                (".", [VESPRA, "flamegraph", "--folded", "-o", "-", "elsewhere/t.pb"],
                 0, "(?m);helped [0-9]+$", "^$"),
                # An uncaught exception is shown as python shows it: the program's frames only,
                # under the path python gives the script (joined to the current directory).
                (".", run + ["t.json", "failer.py"], 1, "^$",
                 "^Traceback \\(most recent call last\\):\n"
                 f'  File "{re.escape(str(self.dir))}/failer.py", line 3, in <module>\n'
                 "(?s:.*)KeyError: .from deep.\n$"),
                # A failure of vespra itself is one line, and fails the run. Standard output, by
                # name or as "-", would mix the trace into the program's.
                *[(".", run + [out, "exiter.py", "0"], 1, "^$",
                   f"^vespra: {re.escape(out)}: [^\n]*{why}[^\n]*\n$")
                  for out, why in [("missing/t.json", ""), ("/dev/full", ""),
                                   ("-", "standard output"), ("/dev/stdout", "standard output")]],
                (".", run + ["outer.json", "outer.py"], 0, "^$", "^$"),
                (".", run[:-1] + ["exiter.py"], 2, "^$", "^error: "),
                (".", [VESPRA, "run", "--help"], 0, "-o, --output <OUTPUT>", "^$")]:
            with self.subTest(argv=argv[1:]):
                proc = run_process(argv, cwd=self.dir / cwd)
                self.assertEqual(proc.returncode, status, proc.stderr)
                self.assertRegex(proc.stdout, stdout)
                self.assertRegex(proc.stderr, stderr)
        self.assertEqual(len(pids_with(self.dir / "elsewhere" / "t.pb", "helped")), 1)
        self.assertEqual(Trace(self.dir / "exit.json").kinds("leave"), ["start", "unwind"])
        self.assertEqual([len(pids_with(self.dir / "outer.json", n)) for n in ("outer", "inner")],
                         [1, 0])
        self.assertEqual(len(pids_with(self.dir / "inner.pb", "inner")), 1)
        self.assertFalse({"-", "missing"} & set(os.listdir(self.dir)))
        for command in (["summary", "exit.json"], ["flamegraph", "-o", "-", "exit.json"]):
            with self.subTest(command[0]):
                with open("/dev/full", "w") as full:
                    proc = subprocess.run([VESPRA, *command], stdout=full, cwd=self.dir,
                                          stderr=subprocess.PIPE, text=True, timeout=300)
                self.assertEqual(proc.returncode, 1)
                self.assertRegex(proc.stderr, "^vespra: [^\n]*No space left on device[^\n]*\n$")
                # A closed pipe ends it quietly: the reader is gone before vespra writes.
                read_end, write_end = os.pipe()
                os.close(read_end)
                with os.fdopen(write_end) as closed:
                    proc = subprocess.run([VESPRA, *command], stdout=closed, cwd=self.dir,
                                          stderr=subprocess.PIPE, text=True, timeout=300)
                self.assertEqual((proc.returncode, proc.stderr), (1, ""))

    def test_a_run_that_dropped_events_says_how_many_and_names_lossless(self):
        # The trace goes into a pipe that nobody reads until the program has recorded far more
        # than the rings hold: the writer is stuck meanwhile, so events must have been dropped.
        fifo = self.dir / "t.pb"
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        busy = write(self.dir / "busy.py", """\
            def call():
                pass
            for _ in range(2_500_000):
                call()
            print("recorded", flush=True)
            """)
        with subprocess.Popen([VESPRA, "run", "-o", fifo, busy], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) as proc:
            self.assertEqual(proc.stdout.readline(), "recorded\n")
            os.set_blocking(reader, True)
            while os.read(reader, 1 << 20):
                pass
            stderr = proc.stderr.read()
        self.assertEqual(proc.returncode, 0, stderr)
        # Said once: the command's line replaces the library's warning. A pipe has no size.
        self.assertRegex(stderr, f"^vespra: trace written to {re.escape(str(fifo))}, but "
                         "[1-9][0-9,]* events were dropped[^\n]*--lossless[^\n]*\n$")


class LikePythonTest(TempDirTest):
    """`vespra run -q -o T ...` shows the program, and the user, what `python ...` shows."""

    def test_the_program_sees_and_does_what_it_would_under_python(self):
        show = """\
            import sys
            print(sys.argv, __file__, sys.path[0], __name__, __package__,
                  __spec__ and __spec__.name, sys.modules["__main__"].__dict__ is globals())
            """
        for name in ("sub/show.py", "pkg/__init__.py", "pkg/__main__.py", "app/__main__.py"):
            write(self.dir / name, show if "init" not in name else "")
        write(self.dir / "bad.py", "def ok():\n    pass\n\ndef broken(:\n    pass\n")
        write(self.dir / "empty" / "nothing.txt", "")
        write(self.dir / "interrupted.py", """\
            import os

            def wait_for_ctrl_c():
                os.kill(os.getpid(), 2)  # SIGINT
                while True:
                    pass

            wait_for_ctrl_c()
            """)
        words = ["-f", "in.txt", "-o", "r.txt", "-h", "--", "x"]
        for target, status in [(["sub/show.py"], 0), (["-m", "pkg"], 0),
                               (["-m", "pkg.__main__"], 0), (["app"], 0),
                               (["interrupted.py"], -signal.SIGINT),
                               # A program that cannot start leaves no trace.
                               (["nope.py"], None), (["bad.py"], None),
                               (["-m", "no_such_module"], None), (["empty"], None)]:
            with self.subTest(target):
                (self.dir / "t.json").unlink(missing_ok=True)
                # The same words under python and traced, python's name in its messages
                # replaced by vespra's; the tracebacks show the program's frames only.
                plain = run_process([sys.executable, *target, *words], cwd=self.dir)
                traced = run_process([VESPRA, "run", "-q", "-f", "json", "-o", "t.json",
                                      *target, *words], cwd=self.dir)
                untraced = (plain.returncode, plain.stdout, re.sub(
                    r"^\S*/python[0-9.t]*: ", "vespra: ", plain.stderr, flags=re.M))
                self.assertEqual((traced.returncode, traced.stdout, traced.stderr), untraced)
                if status is None:
                    self.assertNotEqual(untraced[0], 0)
                    self.assertFalse((self.dir / "t.json").exists())
                    continue
                self.assertEqual(untraced[0], status)
                # The trace begins at the program's module, holds none of the launcher's work,
                # and is complete.
                [events] = Trace(self.dir / "t.json").events.values()
                begins = [r for r in events if r["ph"] == "B"]
                self.assertEqual(begins[0]["name"], "<module>")
                files = {r["args"]["file"] for r in begins}
                self.assertFalse({f for f in files if re.search(
                    r"runpy|pkgutil|importlib|typing|weakref|vespra", f)}, files)
                self.assertEqual(nesting([(r["ph"], r["name"]) for r in events]), (None, []))


# A worker started by exec (multiprocessing's "spawn"), stopped by SIGTERM as a pool's workers
# are: its finished call must still be in the trace, its running ones left open.
PARENT = """\
import multiprocessing, time

def in_spawned_worker():
    return 1

def serve(ready):
    in_spawned_worker()
    ready.set()
    time.sleep(60)

if __name__ == "__main__":
    spawn = multiprocessing.get_context("spawn")
    ready = spawn.Event()
    worker = spawn.Process(target=serve, args=(ready,))
    worker.start()
    ready.wait()
    worker.terminate()
    worker.join()
"""


class ChildProcessTest(TempDirTest):
    """Python processes started from a traced one write into the same file."""

    def test_a_spawned_worker_stopped_by_sigterm_keeps_its_finished_calls(self):
        write(self.dir / "parent.py", PARENT)
        for fmt, output in (("json", "t.json"), ("protobuf", "t.pb")):
            with self.subTest(fmt=fmt):
                proc = run_process([VESPRA, "run", "-q", "-f", fmt, "-o", output, "parent.py"],
                                   cwd=self.dir)
                self.assertEqual((proc.returncode, proc.stderr), (0, ""))
                path = self.dir / output
                [worker] = pids_with(path, "in_spawned_worker")
                for key, (_, events) in tracks(path).items():
                    # A joiner starts inside the interpreter's start-up frames, whose ends close
                    # nothing; the worker leaves its running frames open.
                    stack = []
                    for _, phase, name in events:
                        if phase == "B":
                            stack.append(name)
                        elif stack:
                            self.assertEqual(stack.pop(), name, key)
                    self.assertTrue(key[0] == worker or not stack, key)

    def test_the_startup_hook_stays_out_of_the_way(self):
        proc = run_process([sys.executable, "-c", "import sys; print(sorted("
                            "m for m in sys.modules if m.startswith('vespra')))"], cwd=self.dir)
        self.assertEqual(proc.stdout, "[]\n")  # nothing imported without the variables
        # A process that cannot join warns once and runs untraced.
        for output, fmt in ((str(self.dir / "missing" / "t.pb"), "protobuf"),
                            (str(self.dir / "t.xml"), "xml")):
            with self.subTest(fmt=fmt):
                proc = run_process([sys.executable, "-c", "print('ran')"], cwd=self.dir,
                                   VESPRA_CHILD_OUTPUT=output, VESPRA_CHILD_FORMAT=fmt)
                self.assertEqual((proc.returncode, proc.stdout), (0, "ran\n"))
                self.assertRegex(proc.stderr, r"^vespra: [^\n]*\n$")
                self.assertFalse(os.path.exists(output))


if __name__ == "__main__":
    unittest.main()
