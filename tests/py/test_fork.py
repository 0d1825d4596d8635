"""Tracing across fork: parent, child and grandchild append to one file under their own process
ids, forks without a tracer change nothing, a fork racing a start, a stop, a pause or a callback
does not hang the child, and multiprocessing's fork workers leave complete traces."""

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
# skips the interpreter's exit handlers. A fork hook registered before vespra's
# runs inside its window, where leaving the tracer is refused, not left to hang. After the traced
# part, a child forked with no tracer active traces into a file of its own. Prints the
# grandchild's process id, then the others'.
FAMILY = """\
import json, os, sys, threading, time

def between_before():
    if tracer is not None:
        try:
            tracer.__exit__(None, None, None)
        except RuntimeError as e:
            pids["refused"] = str(e)

os.register_at_fork(before=between_before)
import vespra._core as core

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
done, pids = threading.Event(), {"parent": os.getpid()}
with (tracer := core.Tracer(out, fmt)):
    threads = [threading.Thread(target=f, name=f.__name__) for f in (background, forker)]
    [t.start() for t in threads]
    threads[1].join()
    done.set()
    threads[0].join()
tracer, size = None, os.path.getsize(out)
fork_and_trace("alone.json")
assert os.path.getsize(out) == size, "a fork after the tracer was left wrote to its file"
assert sys.monitoring.get_tool(3) is None
print(json.dumps(pids))
"""

# Forks a child that forks a grandchild, then runs an exec'd child in another directory that
# leaves by os._exit, each call of the parent's (and the child's) that starts or waits for one in
# a function of its own. Prints the child's and the grandchild's process ids.
TIMELINE = """\
import os, subprocess, sys, time

def forking():
    return os.fork()

def reaping(pid):
    os.waitpid(pid, 0)

def spawning():
    code = "import os, time\\ndef exec_child(): time.sleep(0.01)\\nexec_child()\\nos._exit(0)"
    os.mkdir("elsewhere")
    subprocess.run([sys.executable, "-c", code], cwd="elsewhere", check=True)

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


def phases(path):
    """{(pid, tid): [(phase, name), ...]} and {(pid, tid): thread name} of a trace."""
    threads = tracks(path)
    return ({k: [(ph, n) for _, ph, n in evs] for k, (_, evs) in threads.items()},
            {k: name for k, (name, _) in threads.items() if name})


class ForkTest(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))

    def launch(self, code, *args, argv0=(sys.executable,), env=None):
        (self.dir / "script.py").write_text(textwrap.dedent(code))
        env = {**{k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")},
               **(env or {})}
        return subprocess.run([*argv0, "script.py", *args], cwd=self.dir, env=env,
                              capture_output=True, text=True, timeout=120)

    def run_script(self, code, *args, argv0=(sys.executable,)):
        proc = self.launch(code, *args, argv0=argv0)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout


class FamilyTest(ForkTest):
    def test_parent_child_and_grandchild_share_one_file_in_both_formats(self):
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt):
                proc = self.launch(FAMILY, fmt, fmt)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                # The interpreter warns of a fork in a process with threads of its own: tracing
                # hides none (the parent's) and adds none (the child's).
                self.assertEqual(proc.stderr.count("is multi-threaded, use of fork()"), 1)
                grandchild, printed = proc.stdout.splitlines()
                pids = {**json.loads(printed), "grandchild": int(grandchild)}
                self.assertEqual(pids["status"], 3)  # os._exit's status survives the child's exit
                self.assertIn("already starting, stopping or forking", pids["refused"])
                # Nothing inherited: one thread, under its process's id read again.
                keys = {k for k, evs in phases(self.dir / "alone.json")[0].items()
                        if ("B", "alone") in evs}
                self.assertEqual([pid == tid for pid, tid in keys], [True])
                (self.dir / "alone.json").unlink()
                out = self.dir / fmt
                if fmt == "json":
                    data = out.read_bytes()
                    self.assertEqual((data[:1], data.count(b"[")), (b"[", 1))  # one array
                    self.assertEqual(Trace(out).dropped, 0)
                else:
                    self.check_descriptors(out, pids)
                self.check_family(pids, *phases(out))

    def check_descriptors(self, out, pids):  # each process on sequences and tracks of its own
        sequences, uuids = collections.defaultdict(set), collections.defaultdict(set)
        for packet in pbtrace.read_packets(out):  # one stream: the whole file decodes
            if desc := packet.get("track_descriptor"):
                pid = (desc.get("thread") or desc["process"])["pid"]
                sequences[pid].add(packet["trusted_packet_sequence_id"])
                uuids[pid].add(desc["uuid"])
        self.assertEqual(set(sequences), {pids["parent"], pids["child"], pids["grandchild"]})
        for owned, what in ((sequences, "sequence"), (uuids, "track")):
            self.assertEqual(len(set().union(*owned.values())), sum(map(len, owned.values())),
                             f"a {what} shared by two processes")

    def check_family(self, pids, threads, names):
        for who in ("parent", "child", "grandchild", "background"):
            calling = {pid for (pid, _), evs in threads.items() if ("B", f"in_{who}") in evs}
            self.assertEqual(calling, {pids.get(who, pids["parent"])}, who)
        for pid in (pids["child"], pids["grandchild"]):
            # Only the thread that forked, under its new id, with the name it had in the parent.
            self.assertEqual({k: names.get(k) for k in threads if k[0] == pid},
                             {(pid, pid): "forker"})
        # Every call of every thread has its begin and its end: the children's open at the fork
        # end at the stop that os._exit makes, and the parent's other threads, which went on
        # while the forker forked, lost none (the main thread starts and joins the forker then).
        for key, events in threads.items():
            self.assertEqual(nesting(events), (None, []), key)

    def test_children_run_inside_their_parents_calls_on_one_time_base(self):
        # Every warning shown: tracing adds no thread that the interpreter's warning about fork
        # in a multi-threaded process would count, in a parent nor in a forked child.
        shown = {"PYTHONWARNINGS": "always::DeprecationWarning"}
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt):
                out = f"t.{fmt}"  # relative, and the exec'd child finds it from elsewhere
                proc = self.launch(TIMELINE, argv0=(VESPRA, "run", "-q", "-f", fmt, "-o", out),
                                   env=shown)
                self.assertEqual((proc.returncode, proc.stderr), (0, ""))
                grandchild, child = map(int, proc.stdout.split())
                out = self.dir / out
                self.assertFalse((self.dir / "elsewhere" / out.name).exists())
                (self.dir / "elsewhere").rmdir()
                threads = {pid: evs for (pid, _), (_, evs) in tracks(out).items()}
                [parent] = [p for p, evs in threads.items() if ("B", "spawning") in
                            [(ph, n) for _, ph, n in evs]]
                [exec_child] = set(threads) - {parent, child, grandchild}

                def at(pid, phase, name, i):
                    return [ts for ts, ph, n in threads[pid] if (ph, n) == (phase, name)][i]

                # (the process, its parent, the call that made it, the one that reaped it, and
                # which of the parent's calls of that name)
                for pid, by, made, reaped, i in ((child, parent, "forking", "reaping", 0),
                                                 (grandchild, child, "forking", "reaping", -1),
                                                 (exec_child, parent, "spawning", "spawning", 0)):
                    self.assertLess(at(by, "B", made, i), threads[pid][0][0], pid)
                    self.assertLess(threads[pid][-1][0], at(by, "E", reaped, i), pid)
                # vespra's own frames stay out: the parent's trace, and the child's, which
                # begins with the calls open at the fork, start at the program's.
                self.assertEqual([threads[p][0][1:] for p in (parent, child)],
                                 [("B", "<module>")] * 2)
                # The joined child begins with the start-up frames its tracer started in
                # (importing site, which runs vespra-startup.pth, which imports the hook), all at
                # its first timestamp, and every call it made ends at the stop os._exit makes.
                first = threads[exec_child][0][0]
                opening = [n for ts, ph, n in threads[exec_child] if ts == first and ph == "B"]
                self.assertEqual((opening[0], opening[-1]), ("_find_and_load", "start"))
                # site's reader of .pth lines: a function before 3.15, a method since.
                self.assertTrue({"addpackage", "StartupState._exec_imports"} & set(opening),
                                opening)
                self.assertEqual(nesting(threads[exec_child]), (None, []))
                self.assertIn("exec_child", [n for _, _, n in threads[exec_child]])

    def test_the_parents_other_threads_go_on_recording_across_a_fork(self):
        # The main thread is still starting the forker when it forks: the end of that start and
        # the join that follows happen while the fork hooks run.
        self.run_script("""\
            import os, sys, threading
            import vespra._core as core

            def forker():
                if (pid := os.fork()) == 0:
                    os._exit(0)
                os.waitpid(pid, 0)

            with core.Tracer("t.json", "json"):
                t = threading.Thread(target=forker)
                t.start()
                t.join()
            """)
        threads, names = phases(self.dir / "t.json")
        [main] = [k for k, name in names.items() if name == "MainThread"]
        self.assertLessEqual({("E", "Thread.start"), ("B", "Thread.join")}, set(threads[main]))
        self.assertEqual(nesting(threads[main]), (None, []))


# A thread that does `busy` until stopped while the main thread forks `n` children. Each child
# leaves the inherited tracer (refused when the parent's thread was between two runs, or never
# started one) and enters one of its own, which needs every lock a start and a stop take.
RACE = """\
import os, signal, threading
from vespra._core import Tracer

def f(): pass

def busy():
    while not stop.is_set():
        {busy}

t, stop = Tracer("loop.pb"), threading.Event()
threading.Thread(target=busy).start()
for i in range({n}):
    if (pid := os.fork()) == 0:
        signal.alarm(10)  # a child that hangs dies of SIGALRM
        try:
            t.__exit__(None, None, None)
        except RuntimeError:
            pass
        with Tracer(f"child{{i}}.json", "json"):
            f()
        os._exit(0)
    print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
stop.set()
"""


class LocksAcrossForkTest(ForkTest):
    def test_a_fork_racing_a_start_a_stop_or_a_pause_does_not_hang_the_child(self):
        # A collection on the other thread pauses the interpreter; a fork in the instant one
        # began left the child's pause lock held by that thread, and its start waited for ever.
        for what, busy, n in (("start and stop", "with t: f()", 12),
                              ("collection", "a = []; a.append(a); [[] for _ in range(50)]", 30)):
            with self.subTest(what):
                out = self.run_script(RACE.format(busy=busy, n=n))
                self.assertEqual(out.split(), ["0"] * n)
                for i in range(n):
                    self.assertTrue(Trace(self.dir / f"child{i}.json").by_name("f"), i)

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
        self.assertEqual(nesting(threads[(child, child)]), (None, []))  # ended at os._exit
        [slow] = [k for k, name in names.items() if name == "slow-name"]
        self.assertEqual(slow[0], parent)
        self.assertLessEqual({("B", "work"), ("E", "work")}, set(threads[slow]))
        self.assertEqual(nesting(threads[slow]), (None, []))  # its paused first event included


if __name__ == "__main__":
    unittest.main()
