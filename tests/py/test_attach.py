"""`vespra attach` and `vespra detach` on a process of known shape: two threads already busy, a
main thread calling `tick` in a loop and answering `report` on its standard input."""

import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import unittest

import pbtrace

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")

TARGET = textwrap.dedent("""\
    import json, os, select, sys, threading, time

    EXIT = os._exit

    def leaf():
        return 1

    def spin(stop):
        while not stop.is_set():
            leaf()
            time.sleep(0.001)

    def tick():
        return 2

    def state(ticks):
        return {"ticks": ticks, "frames": len(sys._current_frames()),
                "tools": [sys.monitoring.get_tool(i) for i in range(6)],
                "exit": os._exit is EXIT,
                "env": sorted(k for k in os.environ if k.startswith("VESPRA"))}

    def main_loop():
        stop = threading.Event()
        for _ in range(2):
            threading.Thread(target=spin, args=(stop,)).start()
        ticks = 0
        print("ready", flush=True)
        while True:
            tick()
            ticks += 1
            if select.select([sys.stdin], [], [], 0.001)[0]:
                if sys.stdin.readline() != "report\\n":
                    break
                print(json.dumps(state(ticks)), flush=True)
        stop.set()

    main_loop()
""")


def vespra(*args, **how):
    return subprocess.run([VESPRA, *map(str, args)], capture_output=True, text=True, timeout=60,
                          **how)


@unittest.skipUnless(hasattr(sys, "remote_exec"), "attaching needs CPython 3.14 or newer")
class Attach(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))
        self.script = self.dir / "target.py"
        self.script.write_text(TARGET)

    def start_target(self, flags=(), env=None, python=sys.executable):
        target = subprocess.Popen([python, *flags, str(self.script)], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True,
                                  env={**os.environ, **(env or {})})
        self.addCleanup(target.wait, 60)
        self.addCleanup(target.stdin.close)
        self.assertEqual(target.stdout.readline(), "ready\n")
        return target

    def report(self, target):
        target.stdin.write("report\n")
        target.stdin.flush()
        return json.loads(target.stdout.readline())

    def attach(self, target, *args):
        """The attaching command, once it says the run has started."""
        proc = subprocess.Popen([VESPRA, "attach", str(target.pid), *args],
                                stderr=subprocess.PIPE, text=True)
        self.addCleanup(proc.wait)
        self.assertIn(f"tracing process {target.pid}", proc.stderr.readline())
        return proc

    def test_the_trace_holds_the_calls_between_attach_and_stop_and_the_target_is_unchanged(self):
        def detach(target, attach):
            self.assertEqual(vespra("detach", target.pid).returncode, 0)

        for how, args, stop in (("detach", [], detach),
                                ("ctrl-c", [], lambda _, attach: attach.send_signal(signal.SIGINT)),
                                ("duration", ["--duration", "300ms"], lambda *_: None)):
            with self.subTest(how=how):
                target = self.start_target()
                before = self.report(target)
                out = self.dir / f"{how}.pb"
                attach = self.attach(target, "-o", str(out), *args)
                self.assertGreater(self.report(target)["ticks"], before["ticks"])
                stop(target, attach)
                _, err = attach.communicate(timeout=60)
                self.assertEqual(attach.returncode, 0, err)
                self.assertIn(f"trace of process {target.pid} written to {out}", err)
                size = out.stat().st_size
                # The run's thread has ended once the frame count is back to what it was.
                while (after := self.report(target))["frames"] != before["frames"]:
                    pass
                ticks = after.pop("ticks") - before.pop("ticks")
                self.assertEqual(after, before)  # the tool slots, os._exit, the environment
                for _ in range(100):  # a tick each
                    self.report(target)
                self.assertEqual(out.stat().st_size, size)  # nothing after the stop

                tracks = {k: t for k, t in pbtrace.slices(out).items() if k[1] is not None}
                begun = [[n for _, kind, n in t.events if kind == "B"] for t in tracks.values()]
                # The main thread and the two spinners; vespra's own thread records nothing.
                shown = [n[:8] for n in begun]
                self.assertEqual(len(begun), 3, shown)
                [main] = [n for n in begun if "main_loop" in n]
                self.assertEqual(main[:2], ["<module>", "main_loop"])
                self.assertTrue(0 < main.count("tick") <= ticks, (main.count("tick"), ticks))
                self.assertEqual(sum("spin" in n and "leaf" in n for n in begun), 2, shown)
                places = {p[0] for t in tracks.values() for p in t.places if p}
                self.assertIn(str(self.script), places)  # and nothing of the attaching
                self.assertFalse({p for p in places if "/vespra/" in p or p == "<string>"})
                for t in tracks.values():  # every begin ended at the stop
                    self.assertEqual(sum({"B": 1, "E": -1}.get(k, 0) for _, k, _ in t.events), 0)
                target.stdin.write("quit\n")
                target.stdin.flush()
                self.assertEqual(target.wait(timeout=60), 0)

    def test_refusals_say_why(self):
        ended = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                               capture_output=True, text=True).stdout.strip()
        # The other line of the two built here, where it is installed (Debian's root has both).
        other = shutil.which("python3.15" if sys.version_info[:2] == (3, 14) else "python3.14")
        attach = ["attach", "{pid}", "-o", self.dir / "x.pb"]
        off = "remote debugging switched off"
        # (what, how the target starts, how vespra runs, its words, what it says)
        cases = [("no process", {}, {}, ["attach", ended, "-o", "x.pb"], "no process"),
                 ("-X", {"flags": ["-X", "disable_remote_debug"]}, {}, attach, off),
                 ("environment", {"env": {"PYTHON_DISABLE_REMOTE_DEBUG": "1"}}, {}, attach, off),
                 ("no vespra there", {"flags": ["-S"]}, {}, attach,
                  "vespra cannot be imported in that process"),
                 ("detach, not attached", {}, {}, ["detach", "{pid}"],
                  "not traced by vespra attach")]
        if other:
            cases.append(("another interpreter", {"python": other}, {}, attach,
                          "cannot attach .* same Python"))
        if os.getuid() == 0:
            cases.append(("no permission", {}, {"user": 65534}, attach, "no permission to trace"))
        for what, target_how, run_how, words, reason in cases:
            with self.subTest(what=what):
                target = self.start_target(**target_how)
                done = vespra(*[str(w).format(pid=target.pid) for w in words], **run_how)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertRegex(done.stderr, f"^vespra: .*{reason}")
                self.assertFalse((self.dir / "x.pb").exists())
                # The target goes on as before, and can still be attached to and detached.
                if words[0] == "detach":
                    self.attach(target, "-o", str(self.dir / "y.pb"))
                    self.assertEqual(vespra("detach", target.pid).returncode, 0)
                self.report(target)
                target.stdin.write("quit\n")
                target.stdin.flush()


@unittest.skipIf(hasattr(sys, "remote_exec"), "this interpreter can attach")
class NoAttach(unittest.TestCase):
    def test_attach_needs_314(self):
        done = vespra("attach", os.getpid(), "-o", "x.pb")
        self.assertEqual(done.returncode, 1)
        self.assertIn("attaching needs CPython 3.14 or newer", done.stderr)


if __name__ == "__main__":
    unittest.main()
