"""What a run records: include and exclude patterns, the standard-library and site-packages
switches, C calls, and what happens to the code they leave out (switched off, back on in the
next run, inherited by children). Traced in child processes, so that each trace holds exactly
the program of known shape below."""

import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import unittest

import jsontrace
import pbtrace
from jsontrace import tracks

APP = {
    "app/__init__.py": "",
    "app/main.py": """
        from app import helpers

        def run():
            for i in range(2):
                helpers.work(i)
    """,
    "app/helpers.py": """
        import time
        from app import leaf

        def work(i):
            try:
                time.sleep(-1)  # a C function that raises
            except ValueError:
                pass
            return leaf.leaf(i)
    """,
    "app/leaf.py": """
        import json
        import time

        def leaf(i):
            time.sleep(0)
            return json.dumps(i)
    """,
    # Traces main.run() with the options given as Python keyword arguments, in a new process.
    "driver.py": """
        import ast, os, sys
        import vespra
        from app import main

        out, fmt, options = sys.argv[1], sys.argv[2], ast.literal_eval(sys.argv[3])
        repeat = options.pop("repeat", 1)
        with vespra.Tracer(out, fmt, **options):
            for _ in range(repeat):
                main.run()
    """,
    # A forked and an exec'd child of a program run with `vespra run` and options.
    "children.py": """
        import os, subprocess, sys
        from app import main

        pid = os.fork()
        if pid == 0:
            main.run()
            os._exit(0)
        os.waitpid(pid, 0)
        subprocess.run([sys.executable, "-c", "from app import main; main.run()"], check=True)
    """,
    # Runs that follow one that switched locations off, and another tool's run.
    "again.py": """
        import cProfile, pstats, sys
        import vespra
        from app import main

        mon = sys.monitoring
        # Another tool on the same tool id switches every function start off, and leaves.
        mon.use_tool_id(mon.PROFILER_ID, "other")
        mon.register_callback(mon.PROFILER_ID, mon.events.PY_START, lambda *a: mon.DISABLE)
        mon.set_events(mon.PROFILER_ID, mon.events.PY_START)
        main.run()
        mon.set_events(mon.PROFILER_ID, 0)
        mon.register_callback(mon.PROFILER_ID, mon.events.PY_START, None)
        mon.free_tool_id(mon.PROFILER_ID)

        for n, options in enumerate([{"exclude": ["app.helpers"], "c_calls": True}, {}]):
            with vespra.Tracer(f"{sys.argv[1]}.{n}.json", "json", include=["app"], **options):
                main.run()
        # cProfile, on the profiler's tool id, which vespra leaves to it.
        profile = cProfile.Profile()
        profile.runcall(main.run)
        print(" ".join(sorted({f[2] for f in pstats.Stats(profile).stats})))
    """,
}


def shape(events):
    """A thread's slices as text, children in brackets: "run[work[leaf] work[leaf]]". Frames
    still open when the trace stopped (the driver's module) are shown as if closed."""
    root, stack = [], []
    for _, phase, name in events:
        if phase == "B":
            node = (name, [])
            (stack[-1][1] if stack else root).append(node)
            stack.append(node)
        elif phase == "E":
            assert stack, "an end without a begin"
            stack.pop()

    def text(nodes):
        return " ".join(n + (f"[{text(c)}]" if c else "") for n, c in nodes)
    return text(root)


class FilterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(tmp.cleanup)
        cls.dir = pathlib.Path(tmp.name)
        for name, text in APP.items():
            path = cls.dir / name
            path.parent.mkdir(exist_ok=True)
            path.write_text(textwrap.dedent(text))

    def env(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_")}
        env["PYTHONPATH"] = str(self.dir)
        return env

    def trace(self, options, fmt="json", name="t"):
        out = self.dir / f"{name}.{fmt}"
        subprocess.run([sys.executable, "driver.py", str(out), fmt, repr(options)],
                       cwd=self.dir, env=self.env(), check=True)
        return tracks(str(out))

    def main_shape(self, options, fmt="json"):
        threads = self.trace(options, fmt)
        self.assertEqual(len(threads), 1, threads.keys())
        (_, events), = threads.values()
        return shape(events)

    def test_exact_slices_of_each_mode_in_both_formats(self):
        work = "work[leaf]"
        cases = [
            ({"exclude_stdlib": True}, f"<module>[run[{work} {work}]]"),
            ({"include": ["app"]}, f"run[{work} {work}]"),
            # The slice tree skips an excluded level: leaf nests in run.
            ({"include": ["app"], "exclude": ["app.helpers"]}, "run[leaf leaf]"),
            # Included code called from excluded code, and the reverse.
            ({"include": ["app.leaf"]}, "leaf leaf"),
            ({"include": ["*/app/helpers.py"]}, "work work"),
            ({"include": ["app/"], "exclude": ["app/leaf.py"]}, "run[work work]"),
            # C functions nest in their callers; a raising one is closed by its raise.
            ({"include": ["app", "time"], "c_calls": True},
             "run[work[time.sleep leaf[time.sleep]] work[time.sleep leaf[time.sleep]]]"),
            # The private module of a C function counts as its public one (_json as json); an
            # object's construction and its call are both named by its type.
            ({"include": ["app.leaf", "json"], "c_calls": True},
             " ".join(["leaf[dumps[JSONEncoder.encode[JSONEncoder.iterencode"
                       "[json.Encoder json.Encoder]]]]"] * 2)),
        ]
        for fmt in ("json", "protobuf"):
            for options, expected in cases:
                with self.subTest(fmt=fmt, options=options):
                    self.assertEqual(self.main_shape(options, fmt), expected)

    def left_out(self, options, fmt):
        """The count of events the trace says the filter left out."""
        out = self.dir / f"count.{fmt}"
        subprocess.run([sys.executable, "driver.py", str(out), fmt, repr(options)],
                       cwd=self.dir, env=self.env(), check=True)
        if fmt == "json":
            return sum(n for (_, reason), n in jsontrace.Trace(str(out)).left_out.items()
                       if reason == "filter")
        records = [name for track in pbtrace.slices(str(out)).values()
                   for _, phase, name in track.events if phase == "I"]
        counts = [int(r.split()[1]) for r in records if r.endswith(" left out by filter")]
        return sum(counts)

    def test_left_out_code_is_switched_off_after_its_first_call_and_counted(self):
        # The count is of events delivered before DISABLE switched their locations off: the
        # same for one call of the left-out function as for a hundred.
        for fmt in ("json", "protobuf"):
            for options in ({"exclude": ["app.helpers"]},
                            {"include": ["app.leaf"], "c_calls": True}):
                with self.subTest(fmt=fmt, options=options):
                    once = self.left_out(options, fmt)
                    self.assertGreater(once, 0)
                    self.assertEqual(self.left_out({**options, "repeat": 100}, fmt), once)
        self.assertEqual(self.left_out({}, "json"), 0)

    def test_without_options_everything_is_there(self):
        text = self.main_shape({})
        for name in ("run[", "work[", "leaf[", "dumps[", "JSONEncoder.encode"):
            self.assertIn(name, text)
        self.assertNotIn("time.sleep", text)  # C calls are opt-in

    def test_c_calls_are_named_as_users_know_them(self):
        threads = self.trace({"include": ["app", "time", "builtins", "json"], "c_calls": True})
        (_, events), = threads.values()
        names = {name for _, phase, name in events if phase == "B"}
        self.assertTrue({"time.sleep", "isinstance", "str.join"} <= names, names)
        # No vespra callable (the `with` statement's __exit__ is one) is ever recorded.
        self.assertFalse([n for n in names if "Tracer" in n or "vespra" in n], names)
        sleeps = [r["args"]["kind"] for r in jsontrace.Trace(str(self.dir / "t.json"))
                  .by_name("time.sleep")]
        self.assertEqual(sleeps[:4], ["start", "unwind", "start", "return"])  # sleep(-1) raised

    def test_a_c_method_is_named_and_judged_by_the_type_that_defines_it(self):
        # Its first call comes through a bound method of an instance of a subclass defined in
        # __main__ (a call of obj.append(x) goes through list's descriptor instead).
        code = ("import sys, vespra\nclass Items(list): pass\n"
                "with vespra.Tracer(sys.argv[1], 'json', include=['builtins'], c_calls=True):\n"
                "    add = Items().append; add(1); add = [].append; add(2)\n")
        out = self.dir / "method.json"
        subprocess.run([sys.executable, "-c", code, str(out)], env=self.env(), check=True)
        names = [name for _, events in tracks(str(out)).values()
                 for _, phase, name in events if phase == "B"]
        self.assertEqual(names.count("list.append"), 2, names)

    def test_a_second_run_and_another_tool_see_everything_again(self):
        out = self.dir / "again"
        result = subprocess.run([sys.executable, "again.py", str(out)], cwd=self.dir,
                                env=self.env(), check=True, capture_output=True, text=True)
        shapes = []
        for n in range(2):
            (_, events), = tracks(f"{out}.{n}.json").values()
            shapes.append(shape(events))
        # The first run starts with the locations the other tool switched off back on.
        self.assertEqual(shapes, ["run[leaf leaf]", "run[work[leaf] work[leaf]]"])
        # The second run left json's code switched off; cProfile, which came next, sees it.
        profiled = result.stdout.split()
        for name in ("run", "work", "leaf", "dumps"):
            self.assertIn(name, profiled)

    def test_patterns_relative_to_the_current_directory(self):
        up = f"../{self.dir.name}/app/leaf.py"
        for include in (["./app/main.py", "./app/leaf.py"], ["./app/main.py", up],
                        ["./app/main.py", "./app/x/../leaf.py"]):
            with self.subTest(include=include):
                self.assertEqual(self.main_shape({"include": include}), "run[leaf leaf]")
        self.assertEqual(self.main_shape({"exclude": ["./app/"], "exclude_stdlib": True}),
                         "<module>")

    def test_the_closing_line_names_patterns_that_matched_nothing_and_deep_stacks(self):
        (self.dir / "deep.py").write_text("def down(n):\n    return n and down(n - 1)\ndown(600)\n")
        proc = subprocess.run([sys.executable, "-m", "vespra", "run", "-o", "deep.pb",
                               "--max-depth", "0", "--include", "deep.py", "--include", "./deep.py",
                               "--exclude", "app", "deep.py"],
                              cwd=self.dir, env=self.env(), capture_output=True, text=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        first, *rest = proc.stderr.splitlines()
        self.assertIn(f"`{sys.executable} -m vespra summary deep.pb`", first)  # as invoked
        self.assertEqual(rest[1:], [
            "vespra: --include deep.py matched no code in this process: a file pattern needs a / "
            "(./deep.py)",
            "vespra: --exclude app matched no code in this process"])
        self.assertRegex(rest[0], "^vespra: its calls nest 602 deep, and Perfetto keeps 512")

    def test_forked_and_execd_children_record_alike(self):
        out = self.dir / "children.json"
        subprocess.run([sys.executable, "-m", "vespra", "run", "-q", "-o", str(out), "-f", "json",
                        "--include", "app", "--include=time", "--exclude", "app.helpers",
                        "--c-calls", "children.py"],
                       cwd=self.dir, env=self.env(), check=True)
        threads = tracks(str(out))
        # The parent's own code is all left out: only the children ran app code.
        shapes = [shape(events) for _, events in threads.values()]
        forked, execd = sorted((s for s in shapes if "run[" in s), key=len)
        # work is left out; the C function it calls is kept, and nests in run.
        run = "run[time.sleep leaf[time.sleep] time.sleep leaf[time.sleep]]"
        self.assertEqual(forked, run)
        # The exec'd child imports the package first: app.main's module body, and in it (the
        # excluded helpers' left out) leaf's.
        self.assertEqual(execd, "<module> <module>[<module>] " + run)
