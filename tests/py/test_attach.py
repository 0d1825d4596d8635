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
import perfetto

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


@unittest.skipUnless(hasattr(sys, "remote_exec"), "attaching needs CPython 3.14 or newer")
class Attach(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(tempfile.mkdtemp())
        self.script = self.dir / "target.py"
        self.script.write_text(TARGET)

    def start_target(self, flags=(), env=None, python=sys.executable):
        target = subprocess.Popen([python, *flags, str(self.script)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                  env={**os.environ, **(env or {})})
        self.addCleanup(target.wait)
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
        line = proc.stderr.readline()
        self.assertIn(f"tracing process {target.pid}", line)
        return proc

    def test_the_trace_holds_the_calls_between_attach_and_stop_and_the_target_is_unchanged(self):
        def detach(target, attach):
            done = subprocess.run([VESPRA, "detach", str(target.pid)], capture_output=True,
                                  text=True, timeout=60)
            self.assertEqual((done.returncode, done.stderr), (0, ""))

        stops = [("detach", [], detach),
                 ("ctrl-c", [], lambda target, attach: attach.send_signal(signal.SIGINT)),
                 ("duration", ["--duration", "300ms"], lambda target, attach: None)]
        for how, args, stop in stops:
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
                after = self.report(target)
                size = out.stat().st_size
                # The run's thread has ended once the frame count is back to what it was.
                while after["frames"] != before["frames"]:
                    after = self.report(target)
                self.assertEqual({k: after[k] for k in ("tools", "exit", "env")},
                                 {k: before[k] for k in ("tools", "exit", "env")})
                while self.report(target)["ticks"] < after["ticks"] + 100:
                    pass
                self.assertEqual(out.stat().st_size, size)  # nothing after the stop

                tracks = pbtrace.slices(out)
                names = {key: [n for _, kind, n in t.events if kind == "B"]
                         for key, t in tracks.items() if key[1] is not None}
                shown = {key: n[:8] for key, n in names.items()}
                # The main thread and the two spinners; vespra's own thread records nothing.
                self.assertEqual(len(names), 3, shown)
                main = [n for n in names.values() if "main_loop" in n]
                self.assertEqual(len(main), 1, shown)
                self.assertEqual(main[0][:2], ["<module>", "main_loop"])
                self.assertLessEqual(main[0].count("tick"), after["ticks"] - before["ticks"])
                self.assertGreater(main[0].count("tick"), 0)
                spinners = [n for n in names.values() if "spin" in n and "leaf" in n]
                self.assertEqual(len(spinners), 2, shown)
                places = {p[0] for t in tracks.values() for p in t.places if p}
                self.assertIn(str(self.script), places)  # and nothing of the attaching
                self.assertFalse({p for p in places if "/vespra/" in p or p == "<string>"})
                for t in tracks.values():  # every begin ended at the stop
                    depth = sum({"B": 1, "E": -1}.get(kind, 0) for _, kind, _ in t.events)
                    self.assertEqual(depth, 0)
                if perfetto.SHELL:
                    self.assertEqual(perfetto.faults(out), {})
                target.stdin.write("quit\n")
                target.stdin.flush()
                self.assertEqual(target.wait(timeout=60), 0)

    def test_refusals_say_why(self):
        ended = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                               capture_output=True, text=True).stdout.strip()
        # The other line of the two built here, where it is installed (Debian's root has both).
        other = shutil.which("python3.15" if sys.version_info[:2] == (3, 14) else "python3.14")
        attach = ["attach", "{pid}", "-o", str(self.dir / "x.pb")]
        # (what, how the target starts, how vespra runs, its words, what it says)
        cases = [
            ("no process", {}, {}, ["attach", ended, "-o", "x.pb"], "no process"),
            ("-X disable_remote_debug", {"flags": ["-X", "disable_remote_debug"]}, {}, attach,
             "remote debugging switched off"),
            ("PYTHON_DISABLE_REMOTE_DEBUG", {"env": {"PYTHON_DISABLE_REMOTE_DEBUG": "1"}}, {},
             attach, "remote debugging switched off"),
            ("no vespra there", {"flags": ["-S"]}, {}, attach,
             "vespra cannot be imported in that process"),
            ("detach, not attached", {}, {}, ["detach", "{pid}"], "not traced by vespra attach"),
        ]
        if other:
            cases.append(("another interpreter", {"python": other}, {}, attach,
                          "cannot attach .* same Python"))
        if os.getuid() == 0:
            cases.append(("no permission", {}, {"user": 65534}, attach, "no permission to trace"))
        for what, target_how, run_how, words, reason in cases:
            with self.subTest(what=what):
                target = self.start_target(**target_how)
                words = [w.format(pid=target.pid) for w in words]
                done = subprocess.run([VESPRA, *words], capture_output=True, text=True,
                                      timeout=60, **run_how)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertRegex(done.stderr, f"^vespra: .*{reason}")
                self.assertFalse((self.dir / "x.pb").exists())
                # The target goes on as before, and can still be attached to and detached.
                if words[0] == "detach":
                    self.attach(target, "-o", str(self.dir / "y.pb"))
                    done = subprocess.run([VESPRA, "detach", str(target.pid)], timeout=60)
                    self.assertEqual(done.returncode, 0)
                self.report(target)
                target.stdin.write("quit\n")
                target.stdin.flush()


@unittest.skipIf(hasattr(sys, "remote_exec"), "this interpreter can attach")
class NoAttach(unittest.TestCase):
    def test_attach_needs_314(self):
        done = subprocess.run([VESPRA, "attach", str(os.getpid()), "-o", "x.pb"],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertIn("attaching needs CPython 3.14 or newer", done.stderr)


if __name__ == "__main__":
    unittest.main()
