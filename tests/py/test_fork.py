"""Tracing across fork: parent and child (and grandchild) append to one file under their own
process ids, forks without a tracer change nothing, locks held by other threads at the instant
of a fork do not hang the child, and multiprocessing's fork workers, which end with os._exit or
die of SIGTERM, leave complete traces. Every scenario runs in a fresh interpreter."""

import collections
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import unittest

import pbtrace
from jsontrace import Trace

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")
ENV = ("VESPRA_CHILD_OUTPUT", "VESPRA_CHILD_FORMAT")
TIMEOUT = 60

# Forks on a thread named "forker" while a thread named "background" records; the child calls
# in_child and forks a grandchild that calls in_grandchild. Both end with os._exit, which skips
# the interpreter's exit handlers. Prints the process ids.
FAMILY = """\
import json, os, sys, threading, time
from vespra._core import Tracer

def in_parent(): pass
def in_child(): pass
def in_grandchild(): pass
def in_background(): pass

def background():
    while not done.is_set():
        in_background()
        time.sleep(0.001)

def status(pid):
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])

def forker():
    if (pid := os.fork()) == 0:
        in_child()
        if (grandchild := os.fork()) == 0:
            in_grandchild()
            os._exit(0)
        with open(sys.argv[1] + ".grandchild", "w") as f:
            f.write(str(grandchild))
        os._exit(status(grandchild))
    pids["child"] = pid
    in_parent()
    pids["status"] = status(pid)

done, pids = threading.Event(), {"parent": os.getpid()}
with Tracer(sys.argv[1], sys.argv[2]):
    threads = [threading.Thread(target=f, name=f.__name__) for f in (background, forker)]
    [t.start() for t in threads]
    threads[1].join()
    done.set()
    threads[0].join()
with open(sys.argv[1] + ".grandchild") as f:
    pids["grandchild"] = int(f.read())
print(json.dumps(pids))
"""


def clean_env():
    return {k: v for k, v in os.environ.items() if k not in ENV}


class ForkTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)

    def path(self, name):
        return str(self.dir / name)

    def run_script(self, code, *args, argv0=(sys.executable,)):
        script = self.dir / "script.py"
        script.write_text(textwrap.dedent(code))
        proc = subprocess.run([*argv0, str(script), *args], cwd=self.dir, env=clean_env(),
                              capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc


def unbalanced(phases_and_names, killed=False):
    """A description of the first end that does not close the latest open begin of the same
    function, or of what is left open; None when there is neither. A process killed by a signal
    may leave open the calls it was in."""
    stack = []
    for phase, name in phases_and_names:
        if phase == "B":
            stack.append(name)
        elif phase == "E":
            if not stack or stack[-1] != name:
                return f"end of {name} closes {stack[-1] if stack else 'nothing'}"
            stack.pop()
    return f"left open: {stack}" if stack and not killed else None


class FamilyTest(ForkTest):
    """A fork inside `with Tracer(...)`, and a fork in the child again."""

    def run_family(self, fmt, name):
        out = self.path(name)
        pids = json.loads(self.run_script(FAMILY, out, fmt).stdout)
        self.assertEqual(pids["status"], 0)
        return out, pids

    def check_family(self, pids, tracks, thread_names):
        """tracks: {(pid, tid): [(phase, name), ...]}; thread_names: {(pid, tid): name}."""
        for who in ("parent", "child", "grandchild"):
            calling = {pid for (pid, _), evs in tracks.items() if ("B", f"in_{who}") in evs}
            self.assertEqual(calling, {pids[who]}, who)
        calling = {pid for (pid, _), evs in tracks.items() if ("B", "in_background") in evs}
        self.assertEqual(calling, {pids["parent"]})
        for pid in (pids["child"], pids["grandchild"]):
            # Only the thread that forked, under the new process's own thread id (the only
            # thread of a process has the process's id), with the name it had in the parent.
            self.assertEqual({k for k in tracks if k[0] == pid}, {(pid, pid)})
            self.assertEqual({k: v for k, v in thread_names.items() if k[0] == pid},
                             {(pid, pid): "forker"})
            self.assertIsNone(unbalanced(tracks[(pid, pid)]), pid)

    def test_json_parent_child_and_grandchild_share_one_array(self):
        out, pids = self.run_family("json", "t.json")
        data = pathlib.Path(out).read_bytes()
        self.assertTrue(data.startswith(b"["))
        self.assertNotIn(b"[", data[1:])
        trace = Trace(out)
        tracks = {key: [(r["ph"], r["name"]) for r in evs] for key, evs in trace.events.items()}
        self.check_family(pids, tracks, trace.thread_names)
        self.assertEqual(trace.dropped, 0)

    def test_protobuf_identifiers_derive_from_each_process_id(self):
        out, pids = self.run_family("protobuf", "t.pb")
        owner = {}
        for packet in pbtrace.read_packets(out):  # one stream: the whole file decodes
            desc = packet.get("track_descriptor")
            if desc is None:
                continue
            pid = desc["thread"]["pid"] if "thread" in desc else desc["process"]["pid"]
            seq = packet["trusted_packet_sequence_id"]
            self.assertEqual(owner.setdefault(seq, pid), pid, f"sequence {seq}")
            self.assertEqual(desc["uuid"] >> 32, pid)
            if "process" in desc:
                self.assertEqual(desc["uuid"] & 0xFFFFFFFF, 1)
        sequences = collections.defaultdict(set)
        for seq, pid in owner.items():
            sequences[pid].add(seq)
        self.assertEqual(set(sequences), {pids["parent"], pids["child"], pids["grandchild"]})
        self.assertEqual(min(sequences[pids["parent"]]), 1)
        for pid in (pids["child"], pids["grandchild"]):
            base = pid * 128 & 0xFFFFFFFF
            self.assertEqual(sequences[pid], {base + 1, base + 2})

        slices = pbtrace.slices(out)  # every event resolves to a described track and name
        tracks = {key: [(ph, n) for _ts, ph, n in t.events if ph in "BE"]
                  for key, t in slices.items() if key[1] is not None}
        names = {key: t.name for key, t in slices.items() if key[1] is not None and t.name}
        self.check_family(pids, tracks, names)


class WithoutTracerTest(ForkTest):
    def test_forks_without_a_tracer_change_nothing(self):
        # Before any tracer and after one was left: the hooks return None, the earlier trace
        # is untouched, and a tracer the child enters later records the child's thread id.
        self.run_script("""\
            import os, sys
            import vespra._core as core

            def f(): pass

            def fork_and_trace(out):
                pid = os.fork()
                if pid == 0:
                    with core.Tracer(out, "json"):
                        f()
                    os._exit(0)
                assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
                return pid

            assert [core._before_fork(), core._after_fork_in_parent(),
                    core._after_fork_in_child()] == [None, None, None]
            first = fork_and_trace("first.json")
            with core.Tracer("parent.json", "json"):
                f()
            size = os.path.getsize("parent.json")
            second = fork_and_trace("second.json")
            assert os.path.getsize("parent.json") == size
            assert sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) is None
            print(first, second)
            """)
        for name in ("first.json", "second.json"):
            keys = {k for k, evs in Trace(self.path(name)).events.items()
                    if any(r["name"] == "f" for r in evs)}
            self.assertEqual(len(keys), 1, name)
            pid, tid = keys.pop()
            self.assertEqual(tid, pid, name)


class ParentHooksTest(ForkTest):
    def test_the_parent_records_nothing_between_its_two_hooks(self):
        # Hooks registered before vespra's run inside its window (before hooks run last
        # registered first, after hooks first registered first); the one registered after
        # runs outside it and is recorded.
        proc = self.run_script("""\
            import os

            def between_before(): pass
            def between_after(): pass
            def outside_before(): pass

            os.register_at_fork(before=between_before, after_in_parent=between_after)
            from vespra._core import Tracer
            os.register_at_fork(before=outside_before)

            with Tracer("t.json", "json"):
                pid = os.fork()
                if pid == 0:
                    os._exit(0)
                os.waitpid(pid, 0)
            print(os.getpid())
            """)
        parent = int(proc.stdout)
        parent = [r["name"] for r in Trace(self.path("t.json")).records
                  if r["ph"] == "B" and r["pid"] == parent]
        self.assertIn("outside_before", parent)
        self.assertNotIn("between_before", parent)
        self.assertNotIn("between_after", parent)


class LocksAcrossForkTest(ForkTest):
    def test_a_fork_while_another_thread_starts_and_stops_does_not_hang_the_child(self):
        # The first fork races the first start; every child leaves the inherited tracer and
        # enters one of its own, which needs every lock a start and a stop take.
        proc = self.run_script("""\
            import os, signal, threading
            from vespra._core import Tracer

            def f(): pass

            t = Tracer("loop.pb")
            stop = threading.Event()

            def loop():
                while not stop.is_set():
                    with t:
                        f()

            threading.Thread(target=loop).start()
            statuses = []
            for i in range(12):
                if (pid := os.fork()) == 0:
                    signal.alarm(5)  # a child that hangs dies of SIGALRM
                    try:
                        t.__exit__(None, None, None)
                    except RuntimeError:
                        pass  # the parent's thread was between two runs
                    with Tracer(f"child{i}.json", "json"):
                        f()
                    os._exit(0)
                statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
            stop.set()
            print(statuses)
            """)
        self.assertEqual(proc.stdout.strip(), str([0] * 12), proc.stderr)
        for i in range(12):
            self.assertTrue(Trace(self.path(f"child{i}.json")).by_name("f"), i)

    def test_leaving_a_tracer_from_another_fork_hook_raises_instead_of_hanging(self):
        # The hook runs on the forking thread while it holds the tracer's locks.
        proc = self.run_script("""\
            import os

            seen = []

            def leave():
                try:
                    t.__exit__(None, None, None)
                except RuntimeError as e:
                    seen.append(str(e))

            os.register_at_fork(before=leave)
            from vespra._core import Tracer

            t = Tracer("t.json", "json")
            with t:
                pid = os.fork()
                if pid == 0:
                    os._exit(0)
                os.waitpid(pid, 0)
            print(seen)
            """)
        self.assertIn("already starting, stopping or forking", proc.stdout)


class ChildExitTest(ForkTest):
    def test_os_exit_in_a_traced_child_behaves_as_before(self):
        # Refused arguments raise the original's errors; a program's own SIGTERM handler stays.
        proc = self.run_script("""\
            import os, signal
            from vespra._core import Tracer

            original, handler = os._exit, lambda *args: None

            def child(body):
                if (pid := os.fork()) == 0:
                    body()
                    original(99)
                return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])

            def refused():
                errors = []
                for args, kwargs in [((), {}), (("1",), {}), ((1, 2), {}), ((2**40,), {}),
                                     ((), {"code": 1})]:
                    try:
                        os._exit(*args, **kwargs)
                    except Exception as e:
                        errors.append(type(e).__name__)
                os._exit(5 if os._exit is not original and errors == ["TypeError"] * 3 +
                         ["OverflowError", "TypeError"] else 1)

            def handler_is(expected):
                return lambda: os._exit(7 if signal.getsignal(signal.SIGTERM) is expected else 1)

            with Tracer("t.json", "json"):
                print(child(lambda: os._exit(status=3)), child(refused))
                print(child(handler_is(signal.SIG_DFL)))
                signal.signal(signal.SIGTERM, handler)
                print(child(handler_is(handler)), os._exit is original)
            """)
        self.assertEqual(proc.stdout.split(), ["3", "5", "7", "7", "True"])

    def test_sigterm_stops_a_child_about_to_block_and_kills_it(self):
        # The signal comes while the child records its first events and then blocks on a
        # semaphore, as a pool worker does: it must still die of it, with its trace complete.
        proc = self.run_script("""\
            import multiprocessing, os, random, signal, time
            from vespra._core import Tracer

            sem = multiprocessing.get_context("fork").Semaphore(0)

            def block():
                sem.acquire()

            statuses = set()
            with Tracer("t.json", "json"):
                for i in range(30):
                    ready_r, ready_w = os.pipe()
                    if (pid := os.fork()) == 0:
                        signal.alarm(5)  # a child that never dies of SIGTERM dies of SIGALRM
                        os.write(ready_w, b"!")
                        block()
                    os.read(ready_r, 1)
                    time.sleep(random.random() * 0.003)
                    os.kill(pid, signal.SIGTERM)
                    statuses.add(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
                    os.close(ready_r)
                    os.close(ready_w)
            print(statuses)
            """)
        self.assertEqual(proc.stdout.strip(), "{-15}")
        children = {r["pid"] for r in Trace(self.path("t.json")).by_name("block")}
        self.assertEqual(len(children), 30)


class MultiprocessingTest(ForkTest):
    """Fork workers under `vespra run`: every worker's calls in the file, balanced."""

    POOL = """\
        import multiprocessing, os, sys, time

        def square(x):
            return x * x

        def nap(x):
            open(f"nap.{os.getpid()}", "w").close()
            time.sleep(x)

        if __name__ == "__main__":
            print(os.getpid())
            ctx = multiprocessing.get_context("fork")
            if sys.argv[1] == "pool":
                with ctx.Pool(4) as pool:
                    assert sum(pool.map(square, range(200), chunksize=5)) == 2646700
            elif sys.argv[1] == "executor":
                import concurrent.futures
                with concurrent.futures.ProcessPoolExecutor(4, mp_context=ctx) as ex:
                    assert sum(ex.map(square, range(200), chunksize=5)) == 2646700
            else:
                pool = ctx.Pool(4)
                pool.map(square, range(200), chunksize=5)
                workers = list(pool._pool)
                pool.map_async(nap, [30] * 4, chunksize=1)
                while sum(name.startswith("nap.") for name in os.listdir()) < 4:
                    time.sleep(0.01)
                pool.terminate()  # SIGTERM, in the middle of nap
                pool.join()
                print([w.exitcode for w in workers])
        """

    def vespra_run(self, fmt, out, mode):
        """Runs the script; returns its process id and the rest of what it printed."""
        proc = self.run_script(self.POOL, mode, argv0=(VESPRA, "run", "-f", fmt, "-o", out))
        pid, _, rest = proc.stdout.partition("\n")
        return int(pid), rest

    def test_pool_workers_in_a_protobuf_trace(self):
        out = self.path("t.pb")
        parent, _ = self.vespra_run("protobuf", out, "pool")
        tracks = {key: [(ph, n) for _ts, ph, n in t.events if ph in "BE"]
                  for key, t in pbtrace.slices(out).items() if key[1] is not None}
        workers = {key: evs for key, evs in tracks.items() if key[0] != parent}
        self.assertEqual(len({pid for pid, _ in workers}), 4)
        squares = collections.Counter(ph for evs in workers.values() for ph, n in evs
                                      if n == "square")
        self.assertEqual(squares, {"B": 200, "E": 200})
        for key, evs in workers.items():
            # Leaving the `with` terminates the pool: a worker may die of SIGTERM anywhere.
            self.assertIsNone(unbalanced(evs, killed=True), key)

    def test_process_pool_executor_workers_in_a_json_trace(self):
        out = self.path("t.json")
        parent, _ = self.vespra_run("json", out, "executor")
        trace = Trace(out)
        workers = {key: [(r["ph"], r["name"]) for r in evs]
                   for key, evs in trace.events.items() if key[0] != parent}
        self.assertEqual(len({pid for pid, _ in workers}), 4)
        self.assertEqual(trace.kinds("square").count("return"), 200)
        for key, evs in workers.items():
            self.assertIsNone(unbalanced(evs), key)

    def test_workers_killed_by_terminate_keep_what_they_recorded(self):
        out = self.path("t.json")
        _, printed = self.vespra_run("json", out, "terminate")
        self.assertEqual(printed.split(), ["[-15,", "-15,", "-15,", "-15]"])
        trace = Trace(out)
        self.assertEqual(trace.kinds("square").count("return"), 200)
        self.assertEqual(len({r["pid"] for r in trace.by_name("nap")}), 4)


class ExecChildTest(ForkTest):
    def test_a_relative_output_reaches_a_child_in_another_directory(self):
        (self.dir / "elsewhere").mkdir()
        self.run_script("""\
            import os, subprocess, sys
            from vespra._core import Tracer

            with Tracer("t.json", "json"):
                assert os.environ["VESPRA_CHILD_OUTPUT"] == os.path.join(os.getcwd(), "t.json")
                subprocess.run([sys.executable, "-c", "def marker(): pass\\nmarker()"],
                               cwd="elsewhere", check=True)
            with Tracer(os.path.abspath("u.json"), "json"):
                assert os.environ["VESPRA_CHILD_OUTPUT"] == os.path.abspath("u.json")
            """)
        self.assertFalse((self.dir / "elsewhere" / "t.json").exists())
        self.assertEqual(len(Trace(self.path("t.json")).kinds("marker")), 2)


if __name__ == "__main__":
    unittest.main()
