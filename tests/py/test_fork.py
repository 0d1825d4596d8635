"""Tracing across fork: parent, child and grandchild append to one file under their own process
ids, forks without a tracer change nothing, a fork racing a start or stop does not hang the child,
and multiprocessing's fork workers leave complete traces. Each scenario runs in a fresh process."""

import collections
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest

import pbtrace
from jsontrace import Trace, nesting, tracks

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")

# Forks on a thread named "forker" while a thread named "background" records; the child calls
# in_child and forks a grandchild that calls in_grandchild, and both leave with os._exit, which
# skips the interpreter's exit handlers. Fork hooks registered before vespra's run inside its
# window (where leaving the tracer is refused, not left to hang), the one registered after outside
# it. Before and after the traced part, a child forked with no tracer active traces into a file
# of its own. Prints the grandchild's process id, then the others'.
FAMILY = """\
import json, os, sys, threading, time

def between_before():
    if tracer is not None:
        try:
            tracer.__exit__(None, None, None)
        except RuntimeError as e:
            pids["refused"] = str(e)

def between_after(): pass
def outside_before(): pass

os.register_at_fork(before=between_before, after_in_parent=between_after)
import vespra._core as core
os.register_at_fork(before=outside_before)

def in_parent(): pass
def in_child(): pass
def in_grandchild(): pass
def in_background(): pass
def alone(): pass

def status(pid):
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])

def fork_and_trace(out):
    if (pid := os.fork()) == 0:
        with core.Tracer(out, "json"):
            alone()
        os._exit(0)
    assert status(pid) == 0

def background():
    while not done.is_set():
        in_background()
        time.sleep(0.001)

def forker():
    if (pid := os.fork()) == 0:
        in_child()
        if (grandchild := os.fork()) == 0:
            in_grandchild()
            os._exit(3)
        print(grandchild, flush=True)
        os._exit(status(grandchild))
    pids["child"] = pid
    in_parent()
    pids["status"] = status(pid)

out, fmt = sys.argv[1:]
tracer, done, pids = None, threading.Event(), {"parent": os.getpid()}
fork_and_trace("before.json")
tracer = core.Tracer(out, fmt)
with tracer:
    threads = [threading.Thread(target=f, name=f.__name__) for f in (background, forker)]
    [t.start() for t in threads]
    threads[1].join()
    done.set()
    threads[0].join()
tracer, size = None, os.path.getsize(out)
fork_and_trace("after.json")
assert os.path.getsize(out) == size, "a fork after the tracer was left wrote to its file"
assert sys.monitoring.get_tool(3) is None
print(json.dumps(pids))
"""


def unbalanced(events, left_open=()):
    """The first end that does not close the latest open begin, or what is left open unless it
    is `left_open` (nothing by default; anything, when None); None when there is neither. A
    forked child's trace begins with the calls open at the fork, and those it ends at the stop
    that os._exit makes; only a signal may leave calls open."""
    wrong, still_open = nesting(events)
    if wrong or left_open is None or still_open == list(left_open):
        return wrong
    return f"left open: {still_open}"


def phases(path):
    """{(pid, tid): [(phase, name), ...]} and {(pid, tid): thread name} of a trace."""
    threads = tracks(path)
    return ({k: [(ph, n) for _, ph, n in evs] for k, (_, evs) in threads.items()},
            {k: name for k, (name, _) in threads.items() if name})


class ForkTest(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))

    def run_script(self, code, *args, argv0=(sys.executable,)):
        (self.dir / "script.py").write_text(textwrap.dedent(code))
        env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}
        proc = subprocess.run([*argv0, "script.py", *args], cwd=self.dir, env=env,
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout


class FamilyTest(ForkTest):
    """A fork inside `with Tracer(...)`, a fork in the child again, and forks with no tracer."""

    def run_family(self, fmt):
        grandchild, printed = self.run_script(FAMILY, "t", fmt).splitlines()
        pids = {**json.loads(printed), "grandchild": int(grandchild)}
        self.assertEqual(pids["status"], 3)  # os._exit's status survives the child's own exit
        self.assertIn("already starting, stopping or forking", pids["refused"])
        for name in ("before.json", "after.json"):
            # Nothing inherited: one thread, its id read again (a process's only thread has the
            # process's id).
            threads = phases(self.dir / name)[0]
            keys = {k for k, evs in threads.items() if ("B", "alone") in evs}
            self.assertEqual([pid == tid for pid, tid in keys], [True], name)
        return self.dir / "t", pids

    def check_family(self, pids, tracks, thread_names):
        for who in ("parent", "child", "grandchild", "background"):
            calling = {pid for (pid, _), evs in tracks.items() if ("B", f"in_{who}") in evs}
            self.assertEqual(calling, {pids[who if who in pids else "parent"]}, who)
        for pid in (pids["child"], pids["grandchild"]):
            # Only the thread that forked, under its new id, with the name it had in the parent.
            self.assertEqual({k for k in tracks if k[0] == pid}, {(pid, pid)})
            self.assertEqual({k: v for k, v in thread_names.items() if k[0] == pid},
                             {(pid, pid): "forker"})
            # It forked inside forker on its thread, and left with os._exit: the calls open then
            # end at that stop.
            self.assertIsNone(unbalanced(tracks[(pid, pid)]), pid)
        for pid in (pids["parent"], pids["child"]):  # the processes that forked while tracing
            called = {n for (p, _), evs in tracks.items() if p == pid for ph, n in evs}
            self.assertIn("outside_before", called, pid)
            self.assertFalse(called & {"between_before", "between_after"}, pid)

    def test_json_parent_child_and_grandchild_share_one_array(self):
        out, pids = self.run_family("json")
        data = out.read_bytes()
        self.assertTrue(data.startswith(b"["))
        self.assertNotIn(b"[", data[1:])
        self.assertEqual(Trace(out).dropped, 0)
        self.check_family(pids, *phases(out))

    def test_protobuf_identifiers_derive_from_each_process_id(self):
        out, pids = self.run_family("protobuf")
        sequences = collections.defaultdict(set)
        for packet in pbtrace.read_packets(out):  # one stream: the whole file decodes
            if desc := packet.get("track_descriptor"):
                pid = (desc.get("thread") or desc["process"])["pid"]
                sequences[pid].add(packet["trusted_packet_sequence_id"])
                self.assertEqual(desc["uuid"] >> 32, pid)
                if "process" in desc:
                    self.assertEqual(desc["uuid"] & 0xFFFFFFFF, 1)
        self.assertEqual(set(sequences), {pids["parent"], pids["child"], pids["grandchild"]})
        self.assertEqual(len(set().union(*sequences.values())),
                         sum(map(len, sequences.values())), "a sequence shared by two processes")
        self.assertEqual(min(sequences[pids["parent"]]), 1)
        for pid in (pids["child"], pids["grandchild"]):
            base = pid * 128 & 0xFFFFFFFF
            self.assertEqual(sequences[pid], {base + 1, base + 2})
        self.check_family(pids, *phases(out))  # every event on a described track and name


# Forks a child that forks a grandchild, then runs an exec'd child, each call of the parent's
# (and the child's) that starts or waits for one in a function of its own. Prints the child's and
# the grandchild's process ids.
TIMELINE = """\
import os, subprocess, sys, time

def forking():
    return os.fork()

def reaping(pid):
    os.waitpid(pid, 0)

def spawning():
    code = "import time\\ndef exec_child(): time.sleep(0.01)\\nexec_child()"
    subprocess.run([sys.executable, "-c", code], check=True)

def child_work():
    time.sleep(0.01)

time.sleep(0.05)  # a child's own clock origin would put it inside this sleep
if (child := forking()) == 0:
    child_work()
    if (grandchild := forking()) == 0:
        child_work()
        os._exit(0)
    print(grandchild, flush=True)
    reaping(grandchild)
    os._exit(0)
reaping(child)
spawning()
print(child)
"""


class TimelineTest(ForkTest):
    """Every process of a file on one time base, and a joined child begun at its start-up."""

    def test_children_run_inside_their_parents_calls_in_both_formats(self):
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt):
                out = str(self.dir / f"t.{fmt}")
                argv0 = (VESPRA, "run", "-f", fmt, "-o", out)
                grandchild, child = map(int, self.run_script(TIMELINE, argv0=argv0).split())
                threads = {pid: evs for (pid, _), (_, evs) in tracks(out).items()}
                [parent] = [p for p, evs in threads.items() if ("B", "spawning") in
                            [(ph, n) for _, ph, n in evs]]
                [exec_child] = [p for p in threads if p not in (parent, child, grandchild)]

                def stamps(pid, phase, name):
                    return [ts for ts, ph, n in threads[pid] if (ph, n) == (phase, name)]

                def inside(pid, after, before):
                    first, last = threads[pid][0][0], threads[pid][-1][0]
                    self.assertLess(after, first, pid)
                    self.assertLess(last, before, pid)

                # The parent's fork of the child, the child's (its second call) of the
                # grandchild; each is reaped by the call that follows.
                inside(child, stamps(parent, "B", "forking")[0], stamps(parent, "E", "reaping")[0])
                inside(grandchild, stamps(child, "B", "forking")[-1],
                       stamps(child, "E", "reaping")[-1])
                inside(exec_child, stamps(parent, "B", "spawning")[0],
                       stamps(parent, "E", "spawning")[0])

                # vespra's own frames stay out: the parent's trace, and the child's, which
                # begins with the calls open at the fork, start at the program's.
                self.assertEqual(threads[parent][0][1:], ("B", "<module>"))
                self.assertEqual(threads[child][0][1:], ("B", "<module>"))

                # The joined child starts with begins of the start-up frames its tracer started
                # in (importing site, which runs vespra-startup.pth, which imports the hook),
                # all at its first timestamp, and every call it made ends.
                events = [(ph, n) for _, ph, n in threads[exec_child]]
                first_ts = threads[exec_child][0][0]
                opening = [n for ts, ph, n in threads[exec_child] if ts == first_ts and ph == "B"]
                self.assertEqual(events[0], ("B", "_find_and_load"))
                # site's reader of .pth lines: a function before 3.15, a method since.
                self.assertTrue({"addpackage", "StartupState._exec_imports"} & set(opening),
                                opening)
                self.assertEqual(opening[-1], "start")
                self.assertIsNone(unbalanced(events))
                self.assertIn(("B", "exec_child"), events)


class ForkWarningTest(ForkTest):
    """The interpreter's warning about fork in a multi-threaded process counts threads; tracing
    must not add to them, nor hide the program's own."""

    FAMILY = """\
        import os, subprocess, sys, threading

        def work():
            return sum(range(100))

        def family():
            if (pid := os.fork()) == 0:
                work()
                if (grandchild := os.fork()) == 0:
                    work()
                    os._exit(0)
                os._exit(os.waitstatus_to_exitcode(os.waitpid(grandchild, 0)[1]))
            return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])

        if sys.argv[1] == "threads":
            done = threading.Event()
            threading.Thread(target=done.wait).start()
            print(family())
            done.set()
        else:
            print(family())
            if sys.argv[1] == "top":  # an exec'd child that joins the trace and forks in turn
                subprocess.run([sys.executable, sys.argv[0], "exec"], check=True)
        """

    def run_both(self, mode, env):
        (self.dir / "script.py").write_text(textwrap.dedent(self.FAMILY))
        env = {**{k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")},
               **env}
        runs = []
        for argv0 in ((sys.executable,), (VESPRA, "run", "-q", "-f", "json", "-o", "t.json")):
            proc = subprocess.run([*argv0, "script.py", mode], cwd=self.dir, env=env,
                                  capture_output=True, text=True, timeout=60)
            runs.append((proc.returncode, proc.stdout, proc.stderr))
        return runs

    def test_a_forking_program_prints_and_raises_what_it_would_untraced(self):
        # Every warning shown, wherever it comes from. (Under -W error the interpreter turns its
        # fork warning into an exception that it then clears: nothing to see either way.)
        untraced, traced = self.run_both("top", {"PYTHONWARNINGS": "always::DeprecationWarning"})
        self.assertEqual(untraced, (0, "0\n0\n", ""))
        self.assertEqual(traced, untraced)
        # Both families: the parent's, and the exec'd child's with its child and grandchild.
        self.assertEqual(len({r["pid"] for r in Trace(self.dir / "t.json").records}), 6)

    def test_a_program_with_threads_of_its_own_still_gets_the_warning(self):
        untraced, traced = self.run_both("threads", {})
        self.assertEqual(untraced[:2], (0, "0\n"))
        self.assertIn("is multi-threaded, use of fork() may lead to deadlocks", untraced[2])
        pid = re.compile(r"pid=\d+")
        self.assertEqual((traced[0], traced[1], pid.sub("", traced[2])),
                         (0, "0\n", pid.sub("", untraced[2])))


class LocksAcrossForkTest(ForkTest):
    def test_a_fork_racing_a_start_or_stop_does_not_hang_the_child(self):
        # Every child leaves the inherited tracer and enters one of its own, which needs every
        # lock a start and a stop take; the first fork races the first start.
        out = self.run_script("""\
            import os, signal, threading
            from vespra._core import Tracer

            def f(): pass

            def loop():
                while not stop.is_set():
                    with t:
                        f()

            t, stop = Tracer("loop.pb"), threading.Event()
            threading.Thread(target=loop).start()
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
                print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
            stop.set()
            """)
        self.assertEqual(out.split(), ["0"] * 12)
        for i in range(12):
            self.assertTrue(Trace(self.dir / f"child{i}.json").by_name("f"), i)

    def test_a_child_forked_while_another_thread_collects_garbage_can_trace(self):
        # The other thread's collections pause the interpreter; a fork in the instant one begins
        # left the child's pause lock held by that thread, and the child's start waited for ever.
        out = self.run_script("""\
            import os, signal, threading
            from vespra._core import Tracer

            def f(): pass

            def churn():
                while not stop.is_set():
                    a = []; a.append(a); [[] for _ in range(50)]

            stop = threading.Event()
            threading.Thread(target=churn).start()
            for i in range(30):
                if (pid := os.fork()) == 0:
                    signal.alarm(10)  # a child that hangs dies of SIGALRM
                    with Tracer(f"child{i}.json", "json"):
                        f()
                    os._exit(0)
                print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
            stop.set()
            """)
        self.assertEqual(out.split(), ["0"] * 30)

    def test_a_fork_while_another_thread_is_inside_a_callback(self):
        # The other thread's first callback asks for its name, which blocks in Python code: it is
        # inside the callback, having let go of the interpreter (and of the GIL, where there is
        # one), when the main thread forks. The child must not wait for anything that thread
        # held, and both processes' traces must come out whole.
        out = self.run_script("""\
            import os, signal, threading
            from vespra._core import Tracer

            inside, release = threading.Event(), threading.Event()

            class SlowName(threading.Thread):
                @property
                def name(self):
                    inside.set()
                    release.wait(10)
                    return "slow-name"

                @name.setter
                def name(self, value):
                    self._name = value

            def work(): pass
            def in_child(): pass

            with Tracer("t.json", "json"):
                worker = SlowName(target=work)
                worker.start()
                assert inside.wait(10)
                if (pid := os.fork()) == 0:
                    signal.alarm(5)  # a child that hangs dies of SIGALRM
                    in_child()
                    os._exit(0)
                release.set()
                worker.join()
                print(os.getpid(), pid, os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
            """)
        parent, child, status = map(int, out.split())
        self.assertEqual(status, 0)
        threads, names = phases(self.dir / "t.json")
        self.assertEqual({k for k, evs in threads.items() if ("B", "in_child") in evs},
                         {(child, child)})
        self.assertIsNone(unbalanced(threads[(child, child)]))  # os._exit closes what is open
        [slow] = [k for k, name in names.items() if name == "slow-name"]
        self.assertEqual(slow[0], parent)
        self.assertLessEqual({("B", "work"), ("E", "work")}, set(threads[slow]))
        self.assertIsNone(unbalanced(threads[slow]))  # its paused first event included


class WorkersTest(ForkTest):
    """Fork workers under `vespra run`, and a child exec'd in another directory."""

    POOL = """\
        import concurrent.futures, multiprocessing, os, sys

        def square(x):
            return x * x

        if __name__ == "__main__":
            print(os.getpid())
            ctx = multiprocessing.get_context("fork")
            if sys.argv[1] == "pool":  # leaving the `with` stops the workers with SIGTERM
                with ctx.Pool(4) as pool:
                    assert sum(pool.map(square, range(200), chunksize=5)) == 2646700
            else:  # the executor's workers leave with os._exit
                with concurrent.futures.ProcessPoolExecutor(4, mp_context=ctx) as ex:
                    assert sum(ex.map(square, range(200), chunksize=5)) == 2646700
        """

    def test_pool_and_executor_workers_in_both_formats(self):
        for fmt, mode in (("protobuf", "pool"), ("json", "executor")):
            with self.subTest(mode):
                out = str(self.dir / mode)
                argv0 = (VESPRA, "run", "-f", fmt, "-o", out)
                parent = int(self.run_script(self.POOL, mode, argv0=argv0))
                threads = phases(out)[0]
                workers = {key: evs for key, evs in threads.items() if key[0] != parent}
                self.assertEqual(len({pid for pid, _ in workers}), 4)
                squares = collections.Counter(ph for evs in workers.values() for ph, n in evs
                                              if n == "square")
                self.assertEqual(squares, {"B": 200, "E": 200})
                for key, evs in workers.items():  # a pool's SIGTERM may come anywhere
                    self.assertIsNone(unbalanced(evs, left_open=None), key)

    def test_a_relative_output_reaches_a_child_exec_d_in_another_directory(self):
        (self.dir / "elsewhere").mkdir()
        self.run_script("""\
            import subprocess, sys
            from vespra._core import Tracer

            with Tracer("t.json", "json"):
                subprocess.run([sys.executable, "-c", "def marker(): pass\\nmarker()"],
                               cwd="elsewhere", check=True)
            """)
        self.assertFalse((self.dir / "elsewhere" / "t.json").exists())
        self.assertEqual(Trace(self.dir / "t.json").kinds("marker"), ["start", "return"])


if __name__ == "__main__":
    unittest.main()
