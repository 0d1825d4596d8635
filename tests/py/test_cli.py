"""The command line: its messages and exit statuses, scripts and modules run under a tracer in
the calling interpreter, the `vespra` launcher as a real process, and Python processes started
from a traced one joining its trace."""

import collections
import contextlib
import io
import json
import os
import pathlib
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
TIMEOUT = 300

# Records the words it was given (beside itself), calls a function the traces can be searched
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
    """Runs cli_main in this process; returns (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli_main(["vespra", *args])
    return status, out.getvalue(), err.getvalue()


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ENV}
    env.update(extra)
    return env


def run_process(argv, cwd, **extra_env):
    return subprocess.run(argv, cwd=cwd, env=clean_env(**extra_env), capture_output=True,
                          text=True, timeout=TIMEOUT)


def json_pids(path, name):
    """The process ids whose events include both a begin and an end of `name`."""
    trace = Trace(path)
    phases = collections.defaultdict(set)
    for record in trace.by_name(name):
        phases[record["pid"]].add(record["ph"])
    return {pid for pid, seen in phases.items() if seen == {"B", "E"}}


def proto_pids(path, name):
    """As json_pids, for a protobuf trace read the way a viewer resolves it."""
    phases = collections.defaultdict(set)
    for (pid, _tid), track in pbtrace.slices(path).items():
        for _ts, phase, event_name in track.events:
            if event_name == name:
                phases[pid].add(phase)
    return {pid for pid, seen in phases.items() if seen == {"B", "E"}}


def nesting_error(events):
    """For one thread's (phase, name) events: a description of the first end that closes
    another function than the latest open one, or of what is left open; None when there is
    neither. A process that joins a trace at start-up does so inside the interpreter's own
    start-up frames, so ends with nothing open are expected (viewers ignore them)."""
    stack = []
    for phase, name in events:
        if phase == "B":
            stack.append(name)
        elif phase == "E" and stack:
            if stack[-1] != name:
                return f"end of {name} closes {stack[-1]}"
            stack.pop()
    return f"left open: {stack}" if stack else None


def proto_sequences_by_pid(path):
    """{pid: set of packet sequence ids} from the process and thread descriptors, after
    checking that every packet's sequence belongs to exactly one process."""
    owner = {}
    for packet in pbtrace.read_packets(path):
        desc = packet.get("track_descriptor")
        if desc is None:
            continue
        pid = desc["thread"]["pid"] if "thread" in desc else desc["process"]["pid"]
        seq = packet["trusted_packet_sequence_id"]
        if owner.setdefault(seq, pid) != pid:
            raise AssertionError(f"sequence {seq} is used by processes {owner[seq]} and {pid}")
    by_pid = collections.defaultdict(set)
    for seq, pid in owner.items():
        by_pid[pid].add(seq)
    return by_pid


class TempDirTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)
        self.script = write(self.dir / "argv_script.py", ARGV_SCRIPT)
        # cli_main exports the trace's name while it runs; a test that fails midway must not
        # leak it into the next one.
        self.addCleanup(lambda: [os.environ.pop(k, None) for k in ENV])


class MessagesTest(TempDirTest):
    """Help and usage errors are printed, never raised, and nothing runs."""

    def test_help_goes_to_stdout_with_0_and_errors_to_stderr_with_2(self):
        out = str(self.dir / "t.pb")
        cases = [
            # (arguments, status, the stream that gets the text, a piece of the text)
            ((), 2, "err", "Trace a Python script with sys.monitoring; emit Perfetto-compatible"),
            (("--help",), 0, "out", "run   Run a script under the tracer"),
            (("run", "--help"), 0, "out", "-o, --output <OUTPUT>     Output file path"),
            (("run", self.script), 2, "err", "--output <OUTPUT>"),
            (("run", "-o", out), 2, "err", "<SCRIPT|--module <MODULE>...>"),
            (("run", "-o", out, "-f", "xml", self.script), 2, "err",
             "[possible values: json, protobuf]"),
            (("run", "-m", "argv_script", "-o", out), 2, "err", "--output <OUTPUT>"),
        ]
        for args, status, stream, piece in cases:
            with self.subTest(args=args):
                got_status, got_out, got_err = call(*args)
                self.assertEqual(got_status, status)
                text, other = (got_out, got_err) if stream == "out" else (got_err, got_out)
                self.assertIn(piece, text)
                self.assertEqual(other, "")
                if status == 2 and args:
                    self.assertTrue(text.startswith("error: "), text)
                    self.assertIn("For more information, try '--help'.", text)
                self.assertFalse(os.path.exists(out))
                self.assertFalse(os.path.exists(self.script + ".argv"))

    def test_argv_must_be_a_sequence_of_str(self):
        for bad in ("vespra run", None, ["vespra", b"run"], 7):
            with self.subTest(argv=bad), self.assertRaises(TypeError) as cm:
                cli_main(bad)
            self.assertIn("argv", str(cm.exception))
        with contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(cli_main(argv=("vespra", "--help")), 0)


class RunTest(TempDirTest):
    """Running in this interpreter: the words the program sees, what is restored, and the trace
    being complete before the program's exception goes on."""

    def run_keeping_state(self, *args):
        """cli_main(args), checking that sys.argv and sys.path come back as they were."""
        argv, path = sys.argv, list(sys.path)
        try:
            return call(*args)
        finally:
            self.assertIs(sys.argv, argv)
            self.assertEqual(sys.path, path)

    def test_options_between_the_script_and_its_first_argument_are_the_runners(self):
        out = str(self.dir / "t.out")
        status, _, _ = self.run_keeping_state("run", "-o", out, self.script, "-f", "json")
        self.assertEqual(status, 0)
        self.assertEqual(recorded_argv(self.script), [self.script])
        self.assertEqual(Trace(out).kinds("marker"), ["start", "return"])

        # After the first argument every word is the script's, and the default format holds.
        status, _, _ = self.run_keeping_state("run", "-o", out, self.script, "a", "-f", "json")
        self.assertEqual(status, 0)
        self.assertEqual(recorded_argv(self.script), [self.script, "a", "-f", "json"])
        self.assertEqual(len(proto_pids(out, "marker")), 1)

    def test_module_takes_every_remaining_word_and_imports_from_the_current_directory(self):
        write(self.dir / "argv_tool.py", ARGV_SCRIPT)
        os.chdir(self.dir)
        self.addCleanup(os.chdir, os.getcwd())
        status, _, _ = self.run_keeping_state(
            "run", "-f", "json", "-o", "t.json", "-m", "argv_tool", "--verbose", "-o", "x")
        self.assertEqual(status, 0)
        # runpy puts the module's file in place of its name, as `python -m` does.
        self.assertEqual(recorded_argv(str(self.dir / "argv_tool.py")),
                         [str(self.dir / "argv_tool.py"), "--verbose", "-o", "x"])
        self.assertEqual(Trace(self.dir / "t.json").kinds("marker"), ["start", "return"])
        self.assertFalse(os.path.exists(self.dir / "x"))

    def test_the_programs_exception_leaves_after_the_trace_is_complete(self):
        out = str(self.dir / "t.json")
        for word, exc_type in (("exit", SystemExit), ("raise", LookupError)):
            with self.subTest(word), self.assertRaises(exc_type) as cm:
                self.run_keeping_state("run", "-f", "json", "-o", out, self.script, word)
            if exc_type is SystemExit:
                self.assertEqual(cm.exception.code, 3)
            trace = Trace(out)
            self.assertEqual(trace.kinds("marker"), ["start", "return"])
            # Every frame the run entered was left in the trace, the unwinding ones included.
            [key] = [k for k in trace.events if k[0] == os.getpid()]
            self.assertIsNone(trace.unbalanced(key))
            self.assertIn("unwind", trace.kinds("<module>"))
            for name in ENV:
                self.assertNotIn(name, os.environ)


class LauncherTest(TempDirTest):
    """`vespra` and `python -m vespra` as real processes."""

    def test_vespra_runs_a_script_that_imports_from_its_own_directory(self):
        write(self.dir / "app" / "helper_of_app.py", "def helped():\n    return 1\n")
        write(self.dir / "app" / "main.py", """\
            import sys
            import helper_of_app
            helper_of_app.helped()
            print("args", sys.argv[1:])
            """)
        elsewhere = self.dir / "elsewhere"
        elsewhere.mkdir()
        proc = run_process([VESPRA, "run", "-o", "t.pb", "../app/main.py", "x", "-f", "json"],
                           cwd=elsewhere)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout, "args ['x', '-f', 'json']\n")
        self.assertEqual(len(proto_pids(elsewhere / "t.pb", "helped")), 1)

    def test_exit_statuses_follow_the_program(self):
        write(self.dir / "exiter.py", """\
            import sys
            def leave(code):
                sys.exit(code)
            leave(int(sys.argv[1]))
            """)
        write(self.dir / "failer.py", """\
            def deep():
                raise KeyError("from deep")
            deep()
            """)
        for argv, status in (
                ([sys.executable, "-m", "vespra", "run", "-f", "json", "-o", "t.json",
                  "-m", "exiter", "5"], 5),
                ([VESPRA, "run", "-f", "json", "-o", "t.json", "exiter.py", "0"], 0),
                ([VESPRA, "run", "-f", "json", "-o", "t.json", "failer.py"], 1),
                ([VESPRA, "run", "-f", "json", "-o", "missing/t.json", "exiter.py", "0"], 1),
                ([VESPRA, "run", "-f", "json", "exiter.py"], 2),
                ([VESPRA], 2)):
            with self.subTest(argv=argv[1:]):
                (self.dir / "t.json").unlink(missing_ok=True)
                proc = run_process(argv, cwd=self.dir)
                self.assertEqual(proc.returncode, status, proc.stderr)
                if status in (0, 5):
                    self.assertEqual(proc.stderr, "")
                    self.assertEqual(Trace(self.dir / "t.json").kinds("leave"),
                                     ["start", "unwind"])
        # The uncaught exception is shown as python shows it: the program's frames only.
        proc = run_process([VESPRA, "run", "-o", "t.pb", "failer.py"], cwd=self.dir)
        self.assertTrue(proc.stderr.startswith("Traceback (most recent call last):\n"
                                               '  File "failer.py", line 3, in <module>\n'),
                        proc.stderr)
        self.assertTrue(proc.stderr.endswith("KeyError: 'from deep'\n"), proc.stderr)
        self.assertEqual(len(proto_pids(self.dir / "t.pb", "deep")), 1)
        # A failure of vespra itself is one line.
        proc = run_process([VESPRA, "run", "-o", "missing/t.pb", "exiter.py", "0"], cwd=self.dir)
        self.assertRegex(proc.stderr, r"^vespra: OSError: .*\n$")


PARENT = """\
import multiprocessing, os, subprocess, sys

def in_spawned_worker():
    return os.getpid()

def in_parent():
    return os.getpid()

if __name__ == "__main__":
    in_parent()
    # Another working directory: the child must still find the parent's file.
    subprocess.run([sys.executable, "exec_child.py"], cwd="sub", check=True)
    worker = multiprocessing.get_context("spawn").Process(target=in_spawned_worker)
    worker.start()
    worker.join()
    sys.exit(worker.exitcode)
"""

EXEC_CHILD = """\
def in_exec_child():
    return 1

in_exec_child()
"""


class ChildProcessTest(TempDirTest):
    """Processes started from a traced one with exec write into the same file."""

    def run_family(self, fmt, output):
        write(self.dir / "parent.py", PARENT)
        write(self.dir / "sub" / "exec_child.py", EXEC_CHILD)
        proc = run_process([VESPRA, "run", "-f", fmt, "-o", output, "parent.py"], cwd=self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stderr, "")

    def assert_three_processes(self, pids_of):
        parent, child, worker = (pids_of(name) for name in
                                 ("in_parent", "in_exec_child", "in_spawned_worker"))
        for pids in (parent, child, worker):
            self.assertEqual(len(pids), 1, (parent, child, worker))
        self.assertEqual(len(parent | child | worker), 3)

    def test_exec_child_and_spawn_worker_join_a_json_trace(self):
        self.run_family("json", "t.json")
        path = self.dir / "t.json"
        self.assert_three_processes(lambda name: json_pids(path, name))
        trace = Trace(path)
        # One "[" for the whole file: the joiners appended, and every thread is well nested.
        self.assertEqual(path.read_bytes().count(b"[{"), 1)
        for key, records in trace.events.items():
            self.assertIsNone(nesting_error((r["ph"], r["name"]) for r in records), key)

    def test_exec_child_and_spawn_worker_join_a_protobuf_trace(self):
        self.run_family("protobuf", "t.pb")
        path = self.dir / "t.pb"
        self.assert_three_processes(lambda name: proto_pids(path, name))
        by_pid = proto_sequences_by_pid(path)
        self.assertGreaterEqual(len(by_pid), 3)
        for key, track in pbtrace.slices(path).items():
            # pbtrace resolves an end to the slice it closes (None when nothing is open).
            begins = sum(1 for _, phase, _ in track.events if phase == "B")
            closing = sum(1 for _, phase, name in track.events if phase == "E" and name)
            self.assertEqual(begins, closing, key)

    def test_pool_workers_stopped_by_terminate_keep_their_events(self):
        write(self.dir / "pool.py", """\
            import multiprocessing, time

            def task(x):
                time.sleep(0.002)
                return x

            if __name__ == "__main__":
                with multiprocessing.get_context("spawn").Pool(2) as pool:
                    assert pool.map(task, range(40), chunksize=1) == list(range(40))
            """)
        proc = run_process([VESPRA, "run", "-f", "json", "-o", "t.json", "pool.py"], cwd=self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(Trace(self.dir / "t.json").kinds("task").count("return"), 40)

    def test_vespra_started_from_a_traced_process_writes_its_own_trace(self):
        write(self.dir / "inner.py", "def inner():\n    pass\ninner()\n")
        write(self.dir / "outer.py", f"""\
            import subprocess
            def outer():
                subprocess.run([{VESPRA!r}, "run", "-f", "json", "-o", "inner.json",
                                "inner.py"], check=True)
            outer()
            """)
        proc = run_process([VESPRA, "run", "-f", "json", "-o", "outer.json", "outer.py"],
                           cwd=self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(len(json_pids(self.dir / "inner.json", "inner")), 1)
        self.assertEqual(json_pids(self.dir / "outer.json", "inner"), set())
        self.assertEqual(len(json_pids(self.dir / "outer.json", "outer")), 1)


class StartupHookTest(TempDirTest):
    """The start-up hook in an interpreter that nobody traces, or that cannot join."""

    def test_without_the_variables_nothing_of_vespra_is_imported(self):
        proc = run_process([sys.executable, "-c", "import sys; print(sorted("
                            "m for m in sys.modules if m.startswith('vespra')))"], cwd=self.dir)
        self.assertEqual(proc.stdout, "[]\n")

    def test_a_process_that_cannot_join_warns_once_and_runs_untraced(self):
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
