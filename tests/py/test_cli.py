"""The command line: its messages and exit statuses, programs run under a tracer in the calling
interpreter, the `vespra` launcher as a real process, and Python processes started from a traced
one joining its trace."""

import contextlib
import io
import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import textwrap
import unittest

from vespra._core import cli_main

import pbtrace
from jsontrace import Trace, nesting, tracks

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")
ENV = ("VESPRA_CHILD_OUTPUT", "VESPRA_CHILD_FORMAT")

# Records the words it was given beside its own file, calls a function the traces can be searched
# for, and exits or raises when told to.
ARGV_SCRIPT = """\
import json, sys

def marker():
    return 42

marker()
with open(__file__ + ".argv", "w") as f:
    json.dump(sys.argv, f)
if sys.argv[1:2] == ["exit"]:
    sys.exit(3)
if sys.argv[1:2] == ["raise"]:
    raise LookupError("from the script")
"""


def write(path, text):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return str(path)


def call(*args):
    """cli_main in this process, checking that sys.argv and sys.path come back as they were;
    returns (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    argv, path, main = sys.argv, list(sys.path), sys.modules["__main__"]
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            return cli_main(["vespra", *args]), out.getvalue(), err.getvalue()
    finally:
        assert sys.argv is argv and sys.path == path, "sys.argv or sys.path not restored"
        assert sys.modules["__main__"] is main, "__main__ not restored"


def run_process(argv, cwd, **env):
    env = {k: v for k, v in os.environ.items() if k not in ENV} | env
    return subprocess.run(argv, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def pids_with(path, name):
    """The process ids whose events include both a begin and an end of `name`."""
    found = {}
    for (pid, _), (_, events) in tracks(path).items():
        found.setdefault(pid, set()).update(ph for _, ph, n in events if n == name)
    return {pid for pid, phases in found.items() if phases == {"B", "E"}}


class TempDirTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)
        self.script = write(self.dir / "argv_script.py", ARGV_SCRIPT)
        # cli_main exports the trace's name while it runs: a failing test must not leak it.
        self.addCleanup(lambda: [os.environ.pop(k, None) for k in ENV])


class InProcessTest(TempDirTest):
    def test_help_goes_to_stdout_with_0_and_errors_to_stderr_with_2(self):
        out = str(self.dir / "t.pb")
        # The grammar itself is cli_args_test's: here, that its outcome reaches the streams.
        for args, status, piece in [
                (("run", "--help"), 0, "-o, --output <OUTPUT>     Output file path"),
                (("run", self.script), 2, "--output <OUTPUT>")]:
            with self.subTest(args=args):
                got, stdout, stderr = call(*args)
                self.assertEqual(got, status)
                text, other = (stdout, stderr) if status == 0 else (stderr, stdout)
                self.assertIn(piece, text)
                self.assertEqual(other, "")
                if status == 2 and args:
                    self.assertTrue(text.startswith("error: "), text)
                    self.assertIn("For more information, try '--help'.", text)
                self.assertFalse(os.path.exists(out))
                self.assertFalse(os.path.exists(self.script + ".argv"))
        for bad in ("vespra run", None, ["vespra", b"run"]):
            with self.subTest(argv=bad), self.assertRaisesRegex(TypeError, "argv"):
                cli_main(bad)

    def test_lossless_and_clock_reach_the_tracer_and_the_programs_children(self):
        script = write(self.dir / "env.py", """\
            import os, sys
            keys = ("VESPRA_CLOCK", "VESPRA_CHILD_LOSSLESS")
            with open(sys.argv[1], "w") as f:
                print(*(os.environ.get(k) for k in keys), file=f)
            """)
        seen = self.dir / "seen"
        out = str(self.dir / "t.pb")
        try:
            self.assertEqual(call("run", "--lossless", "--clock", "monotonic", "-o", out,
                                  script, str(seen))[0], 0)
            self.assertEqual(seen.read_text().split(), ["monotonic", "1"])
        finally:
            os.environ.pop("VESPRA_CLOCK", None)
        self.assertEqual(call("run", "-o", out, script, str(seen))[0], 0)
        self.assertEqual(seen.read_text().split(), ["None", "None"])

    def test_the_programs_exception_leaves_after_the_trace_is_complete(self):
        out = str(self.dir / "t.json")
        for word, exc_type in (("exit", SystemExit), ("raise", LookupError)):
            with self.subTest(word), self.assertRaises(exc_type) as cm:
                call("run", "-f", "json", "-o", out, self.script, word)
            if exc_type is SystemExit:
                self.assertEqual(cm.exception.code, 3)
            trace = Trace(out)
            self.assertEqual(trace.kinds("marker"), ["start", "return"])
            [(_, events)] = tracks(out).values()
            self.assertEqual(nesting(events), (None, []))
            self.assertIn("unwind", trace.kinds("<module>"))
            self.assertFalse(set(ENV) & set(os.environ))


class LauncherTest(TempDirTest):
    """`vespra` and `python -m vespra` as real processes."""

    def test_scripts_and_modules_run_with_the_programs_exit_status(self):
        write(self.dir / "app" / "helper_of_app.py", "def helped():\n    return 1\n")
        write(self.dir / "app" / "main.py", """\
            import sys
            import helper_of_app
            helper_of_app.helped()
            print("args", sys.argv[1:])
            """)
        write(self.dir / "exiter.py", """\
            import sys
            def leave(code):
                sys.exit(code)
            leave(int(sys.argv[1]))
            """)
        write(self.dir / "failer.py", "def deep():\n    raise KeyError('from deep')\ndeep()\n")
        # A script imports from its own directory, wherever vespra runs.
        elsewhere = self.dir / "elsewhere"
        elsewhere.mkdir()
        proc = run_process([VESPRA, "run", "-o", "t.pb", "../app/main.py", "x", "-f", "json"],
                           cwd=elsewhere)
        self.assertEqual((proc.returncode, proc.stdout), (0, "args ['x', '-f', 'json']\n"),
                         proc.stderr)
        self.assertEqual(len(pids_with(elsewhere / "t.pb", "helped")), 1)
        run = [VESPRA, "run", "-q", "-f", "json", "-o"]
        for argv, status, stderr in (
                ([sys.executable, "-m", "vespra", "run", "-q", "-f", "json", "-o", "exit.json",
                  "-m", "exiter", "5"], 5, "^$"),
                # An uncaught exception is shown as python shows it: the program's frames only,
                # under the path python gives the script (joined to the current directory).
                (run + ["t.json", "failer.py"], 1, "^Traceback \\(most recent call last\\):\n"
                 f'  File "{re.escape(str(self.dir))}/failer.py", line 3, in <module>\n'
                 "(?s:.*)KeyError: .from deep.\n$"),
                # A failure of vespra itself is one line.
                (run + ["missing/t.json", "exiter.py", "0"], 1, "^vespra: missing/t.json: [^\n]+\n$"),
                (run[:-1] + ["exiter.py"], 2, "^error: ")):
            with self.subTest(argv=argv[1:]):
                proc = run_process(argv, cwd=self.dir)
                self.assertEqual(proc.returncode, status, proc.stderr)
                self.assertRegex(proc.stderr, stderr)
        self.assertEqual(Trace(self.dir / "exit.json").kinds("leave"), ["start", "unwind"])


# Shows what a program sees of how it was started.
SHOW_SCRIPT = """\
import json, sys
print(json.dumps({"argv": sys.argv, "file": __file__, "path0": sys.path[0], "name": __name__,
                  "package": __package__, "spec": __spec__ and __spec__.name,
                  "main": sys.modules["__main__"].__dict__ is globals()}))
"""


class LikePythonTest(TempDirTest):
    """`vespra run -q -o T ...` shows the program, and the user, what `python ...` shows."""

    def both(self, *words, cwd=None):
        """(untraced, traced) runs of the same words: (status, stdout, stderr) each, with
        python's own name in its messages replaced by vespra's."""
        cwd = cwd or self.dir
        plain = run_process([sys.executable, *words], cwd=cwd)
        traced = run_process([VESPRA, "run", "-q", "-o", "t.pb", *words], cwd=cwd)
        untraced = (plain.returncode, plain.stdout,
                    re.sub(r"^\S*/python[0-9.t]*: ", "vespra: ", plain.stderr, flags=re.M))
        return untraced, (traced.returncode, traced.stdout, traced.stderr)

    def test_the_program_sees_its_words_paths_and_module_as_under_python(self):
        write(self.dir / "sub" / "show.py", SHOW_SCRIPT)
        write(self.dir / "pkg" / "__init__.py", "")
        write(self.dir / "pkg" / "__main__.py", SHOW_SCRIPT)
        write(self.dir / "app" / "__main__.py", SHOW_SCRIPT)
        words = ["-f", "in.txt", "-o", "r.txt", "-h", "--", "x"]
        for target in (["sub/show.py"], ["-m", "pkg"], ["-m", "pkg.__main__"], ["app"]):
            with self.subTest(target):
                untraced, traced = self.both(*target, *words)
                self.assertEqual(untraced[0], 0, untraced)
                self.assertEqual(traced, untraced)
                self.assertEqual(len(pids_with(self.dir / "t.pb", "<module>")), 1)

    def test_a_program_that_cannot_start_fails_as_under_python_and_leaves_no_trace(self):
        write(self.dir / "bad.py", "def ok():\n    pass\n\ndef broken(:\n    pass\n")
        write(self.dir / "empty" / "nothing.txt", "")
        for words in (["nope.py"], ["bad.py"], ["-m", "no_such_module"], ["empty"]):
            with self.subTest(words):
                untraced, traced = self.both(*words)
                self.assertNotEqual(untraced[0], 0)
                self.assertEqual(traced, untraced)
                self.assertFalse((self.dir / "t.pb").exists())

    def test_ctrl_c_ends_the_program_as_under_python(self):
        write(self.dir / "interrupted.py", """\
            import os, signal

            def wait_for_ctrl_c():
                os.kill(os.getpid(), signal.SIGINT)
                while True:
                    pass

            wait_for_ctrl_c()
            """)
        untraced, traced = self.both("interrupted.py")
        self.assertEqual(untraced[0], -signal.SIGINT)
        self.assertEqual(traced[0], untraced[0])
        self.assertRegex(traced[2], "^Traceback \\(most recent call last\\):\n"
                         f'  File "{re.escape(str(self.dir))}/interrupted.py", line 8, '
                         "in <module>\n(?s:.*), in wait_for_ctrl_c\n(?s:.*)\nKeyboardInterrupt\n$")
        self.assertNotRegex(traced[2], "vespra|runpy")
        tracks = pbtrace.slices(self.dir / "t.pb")
        [main] = [t for key, t in tracks.items() if key[1] is not None]
        self.assertIn("wait_for_ctrl_c", [name for _, _, name in main.events])


class OnlyTheProgramTest(TempDirTest):
    def test_the_trace_begins_at_the_programs_module_and_holds_no_launcher_work(self):
        program = write(self.dir / "two.py", "def work():\n    return 1\nwork()\n")
        for target in ([program], ["-m", "two"]):
            with self.subTest(target):
                out = self.dir / "t.json"
                proc = run_process([VESPRA, "run", "-q", "-f", "json", "-o", out, *target],
                                   cwd=self.dir)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                trace = Trace(out)
                [events] = trace.events.values()
                begins = [r for r in events if r["ph"] == "B"]
                self.assertEqual((begins[0]["name"], begins[0]["args"]["file"]),
                                 ("<module>", program))
                files = {r["args"]["file"] for r in begins}
                self.assertFalse({f for f in files if re.search(
                    r"runpy|pkgutil|importlib|typing|weakref|vespra", f)}, files)


class CommandOutputTest(TempDirTest):
    """What the commands write goes where it was asked to, and a failure to write is told."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.trace = pathlib.Path(cls.tmp.name) / "t.pb"
        program = write(pathlib.Path(cls.tmp.name) / "p.py", "def leaf():\n    pass\nleaf()\n")
        proc = run_process([VESPRA, "run", "-o", cls.trace, program], cwd=cls.tmp.name)
        assert proc.returncode == 0, proc.stderr
        cls.run_stderr = proc.stderr

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_run_ends_with_one_line_saying_where_the_trace_is_and_how_to_read_it(self):
        line = self.run_stderr
        self.assertEqual(line.count("\n"), 1, line)
        self.assertTrue(line.startswith("vespra: "), line)
        for piece in (str(self.trace), f"vespra summary {self.trace}", "ui.perfetto.dev"):
            self.assertIn(piece, line)
        self.assertRegex(line, r"\([0-9.]+ (bytes|kB|MB)\)")
        self.assertNotIn("dropped", line)

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
        proc = subprocess.Popen([VESPRA, "run", "-o", fifo, busy], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        with proc:
            self.assertEqual(proc.stdout.readline(), "recorded\n")
            os.set_blocking(reader, True)
            while os.read(reader, 1 << 20):
                pass
            stderr = proc.stderr.read()
        self.assertEqual(proc.returncode, 0, stderr)
        self.assertRegex(stderr, "(?m)^vespra: [^\n]*[1-9][0-9,]* events were dropped[^\n]*"
                         "--lossless[^\n]*$")
        # Said once: the command's line replaces the library's warning. A pipe has no size.
        self.assertEqual(stderr.count("dropped"), 1, stderr)
        self.assertIn(f"written to {fifo}, but", stderr)

    def test_folded_stacks_to_standard_output(self):
        proc = run_process([VESPRA, "flamegraph", "--folded", "-o", "-", self.trace],
                           cwd=self.dir)
        self.assertEqual((proc.returncode, proc.stderr), (0, ""))
        self.assertRegex(proc.stdout, "(?m)^<module>;leaf [0-9]+$")
        self.assertFalse((self.dir / "-").exists())

    def test_a_full_disk_is_an_error_and_a_closed_pipe_ends_quietly(self):
        for command in (["summary", self.trace], ["flamegraph", "-o", "-", self.trace]):
            with self.subTest(command[0]):
                with open("/dev/full", "w") as full:
                    proc = subprocess.run([VESPRA, *command], stdout=full, stderr=subprocess.PIPE,
                                          text=True, timeout=300)
                self.assertEqual(proc.returncode, 1)
                self.assertRegex(proc.stderr, "^vespra: [^\n]*No space left on device[^\n]*\n$")
                # The reader is gone before vespra writes anything.
                read_end, write_end = os.pipe()
                os.close(read_end)
                try:
                    proc = subprocess.run([VESPRA, *command], stdout=write_end,
                                          stderr=subprocess.PIPE, text=True, timeout=300)
                finally:
                    os.close(write_end)
                self.assertEqual((proc.returncode, proc.stderr), (1, ""))

    def test_an_output_file_that_cannot_be_written_is_one_line_naming_it(self):
        # Standard output, by name or as "-", would mix the trace into the program's output.
        for output, why in [("/dev/full", ""), (str(self.dir / "no" / "t.pb"), ""),
                            (str(self.dir), ""), ("-", "standard output"),
                            ("/dev/stdout", "standard output")]:
            with self.subTest(output):
                proc = run_process([VESPRA, "run", "-o", output, self.script], cwd=self.dir)
                self.assertEqual((proc.returncode, proc.stdout), (1, ""))
                self.assertRegex(proc.stderr, f"^vespra: {re.escape(output)}: [^\n]*{why}[^\n]*\n$")
        self.assertFalse((self.dir / "-").exists())


# The exec'd child runs in another working directory and must still find the trace. The spawned
# worker is stopped by SIGTERM, as a pool's workers are: its finished call must still be there.
PARENT = """\
import multiprocessing, subprocess, sys, time

def in_spawned_worker():
    return 1

def serve(ready):
    in_spawned_worker()
    ready.set()
    time.sleep(60)

def in_parent():
    subprocess.run([sys.executable, "exec_child.py"], cwd="sub", check=True)

if __name__ == "__main__":
    in_parent()
    spawn = multiprocessing.get_context("spawn")
    ready = spawn.Event()
    worker = spawn.Process(target=serve, args=(ready,))
    worker.start()
    ready.wait()
    worker.terminate()
    worker.join()
"""


class ChildProcessTest(TempDirTest):
    """Processes started with exec from a traced one write into the same file."""

    def vespra_run(self, fmt, output, script):
        proc = run_process([VESPRA, "run", "-q", "-f", fmt, "-o", output, script], cwd=self.dir)
        self.assertEqual((proc.returncode, proc.stderr), (0, ""))
        return self.dir / output

    def test_exec_child_and_spawn_workers_join_the_trace_in_both_formats(self):
        write(self.dir / "parent.py", PARENT)
        write(self.dir / "sub" / "exec_child.py", "def in_exec_child():\n    pass\nin_exec_child()")
        for fmt, output in (("json", "t.json"), ("protobuf", "t.pb")):
            with self.subTest(fmt=fmt):
                path = self.vespra_run(fmt, output, "parent.py")
                family = [pids_with(path, name)
                          for name in ("in_parent", "in_exec_child", "in_spawned_worker")]
                self.assertEqual([len(pids) for pids in family], [1, 1, 1], family)
                self.assertEqual(len(set.union(*family)), 3, family)
                for key, (_, events) in tracks(path).items():
                    # A joiner starts inside the interpreter's start-up frames, whose ends close
                    # nothing; the worker stopped by SIGTERM leaves its running frames open.
                    stack = []
                    for _, phase, name in events:
                        if phase == "B":
                            stack.append(name)
                        elif stack:
                            self.assertEqual(stack.pop(), name, key)
                    if key[0] not in family[2]:
                        self.assertEqual(stack, [], key)
                if fmt == "json":  # one "[" for the whole file: the joiners appended
                    self.assertEqual(path.read_bytes().count(b"[{"), 1)
                    continue
                owner = {}  # every packet sequence belongs to one process
                for packet in pbtrace.read_packets(path):
                    desc = packet.get("track_descriptor", {})
                    pid = desc.get("thread", desc.get("process", {})).get("pid")
                    if pid is not None:
                        seq = packet["trusted_packet_sequence_id"]
                        self.assertEqual(owner.setdefault(seq, pid), pid, seq)
                self.assertTrue(set.union(*family) <= set(owner.values()))

    def test_vespra_started_from_a_traced_process_writes_its_own_trace(self):
        write(self.dir / "inner.py", "def inner():\n    pass\ninner()\n")
        write(self.dir / "outer.py", f"""\
            import subprocess
            def outer():
                subprocess.run([{VESPRA!r}, "run", "-q", "-f", "json", "-o", "inner.json",
                                "inner.py"], check=True)
            outer()
            """)
        outer = self.vespra_run("json", "outer.json", "outer.py")
        self.assertEqual(len(pids_with(self.dir / "inner.json", "inner")), 1)
        self.assertEqual(pids_with(outer, "inner"), set())
        self.assertEqual(len(pids_with(outer, "outer")), 1)

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
