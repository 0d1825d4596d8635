"""The command line: its messages and exit statuses, programs run under a tracer in the calling
interpreter, the `vespra` launcher as a real process, and Python processes started from a traced
one joining its trace."""

import contextlib
import io
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest

from vespra._core import cli_main

import pbtrace
from jsontrace import Trace

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


def recorded_argv(script):
    with open(script + ".argv") as f:
        return json.load(f)


def call(*args):
    """cli_main in this process, checking that sys.argv and sys.path come back as they were;
    returns (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    argv, path = sys.argv, list(sys.path)
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            return cli_main(["vespra", *args]), out.getvalue(), err.getvalue()
    finally:
        assert sys.argv is argv and sys.path == path, "sys.argv or sys.path not restored"


def run_process(argv, cwd, **env):
    env = {k: v for k, v in os.environ.items() if k not in ENV} | env
    return subprocess.run(argv, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def tracks(path):
    """{(pid, tid): [(phase, name), ...]} from a JSON trace (by its suffix) or a protobuf one; a
    protobuf end carries the name of the slice it closes (None when nothing is open)."""
    if str(path).endswith(".json"):
        t = Trace(path)
        return {k: [(r["ph"], r["name"]) for r in evs] for k, evs in t.events.items()}
    return {k: [(phase, name) for _, phase, name in track.events]
            for k, track in pbtrace.slices(path).items() if k[1] is not None}


def pids_with(path, name):
    """The process ids whose events include both a begin and an end of `name`."""
    found = {}
    for (pid, _), events in tracks(path).items():
        found.setdefault(pid, set()).update(ph for ph, n in events if n == name)
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
        for args, status, piece in [
                ((), 2, "Trace a Python script with sys.monitoring; emit Perfetto-compatible"),
                (("--help",), 0, "run         Run a script under the tracer"),
                (("run", "--help"), 0, "-o, --output <OUTPUT>     Output file path"),
                (("run", self.script), 2, "--output <OUTPUT>"),
                (("run", "-o", out), 2, "<SCRIPT|--module <MODULE>...>"),
                (("run", "-o", out, "-f", "xml", self.script), 2,
                 "[possible values: json, protobuf]"),
                (("run", "-m", "argv_script", "-o", out), 2, "--output <OUTPUT>")]:
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

    def test_options_between_the_script_and_its_first_argument_are_the_runners(self):
        out = str(self.dir / "t.out")
        self.assertEqual(call("run", "-o", out, self.script, "-f", "json")[0], 0)
        self.assertEqual(recorded_argv(self.script), [self.script])
        self.assertEqual(Trace(out).kinds("marker"), ["start", "return"])
        # After the first argument every word is the script's, and the default format holds.
        self.assertEqual(call("run", "-o", out, self.script, "a", "-f", "json")[0], 0)
        self.assertEqual(recorded_argv(self.script), [self.script, "a", "-f", "json"])
        self.assertEqual(len(pids_with(out, "marker")), 1)

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

    def test_module_takes_every_remaining_word_and_imports_from_the_current_directory(self):
        module = write(self.dir / "argv_tool.py", ARGV_SCRIPT)
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(self.dir)
        self.assertEqual(call("run", "-f", "json", "-o", "t.json",
                              "-m", "argv_tool", "--verbose", "-o", "x")[0], 0)
        # runpy puts the module's file in place of its name, as `python -m` does.
        self.assertEqual(recorded_argv(module), [module, "--verbose", "-o", "x"])
        self.assertEqual(Trace(self.dir / "t.json").kinds("marker"), ["start", "return"])
        self.assertFalse(os.path.exists(self.dir / "x"))

    def test_the_programs_exception_leaves_after_the_trace_is_complete(self):
        out = str(self.dir / "t.json")
        for word, exc_type in (("exit", SystemExit), ("raise", LookupError)):
            with self.subTest(word), self.assertRaises(exc_type) as cm:
                call("run", "-f", "json", "-o", out, self.script, word)
            if exc_type is SystemExit:
                self.assertEqual(cm.exception.code, 3)
            trace = Trace(out)
            self.assertEqual(trace.kinds("marker"), ["start", "return"])
            [key] = trace.events
            self.assertIsNone(trace.unbalanced(key))
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
        run = [VESPRA, "run", "-f", "json", "-o"]
        for argv, status, stderr in (
                ([sys.executable, "-m", "vespra", "run", "-f", "json", "-o", "exit.json",
                  "-m", "exiter", "5"], 5, "^$"),
                # An uncaught exception is shown as python shows it: the program's frames only,
                # under the path python gives the script (joined to the current directory).
                (run + ["t.json", "failer.py"], 1, "^Traceback \\(most recent call last\\):\n"
                 f'  File "{re.escape(str(self.dir))}/failer.py", line 3, in <module>\n'
                 "(?s:.*)KeyError: .from deep.\n$"),
                # A failure of vespra itself is one line.
                (run + ["missing/t.json", "exiter.py", "0"], 1, "^vespra: OSError: .*\n$"),
                (run[:-1] + ["exiter.py"], 2, "^error: ")):
            with self.subTest(argv=argv[1:]):
                proc = run_process(argv, cwd=self.dir)
                self.assertEqual(proc.returncode, status, proc.stderr)
                self.assertRegex(proc.stderr, stderr)
        self.assertEqual(Trace(self.dir / "exit.json").kinds("leave"), ["start", "unwind"])


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
        proc = run_process([VESPRA, "run", "-f", fmt, "-o", output, script], cwd=self.dir)
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
                for key, events in tracks(path).items():
                    # A joiner starts inside the interpreter's start-up frames, whose ends close
                    # nothing; the worker stopped by SIGTERM leaves its running frames open.
                    stack = []
                    for phase, name in events:
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
                subprocess.run([{VESPRA!r}, "run", "-f", "json", "-o", "inner.json",
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
