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
from jsontrace import tracks
from test_limits import read

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
        cls.dir = pathlib.Path(cls.enterClassContext(tempfile.TemporaryDirectory()))
        for name, text in APP.items():
            path = cls.dir / name
            path.parent.mkdir(exist_ok=True)
            path.write_text(textwrap.dedent(text))
        cls.env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_")}
        cls.env["PYTHONPATH"] = str(cls.dir)

    def run_here(self, *args):
        return subprocess.run([sys.executable, *map(str, args)], cwd=self.dir, env=self.env,
                              check=True, capture_output=True, text=True)

    def trace(self, options, fmt="json"):
        """The shape of the one thread main.run() was traced on, and the count of events the
        trace says the filter left out."""
        out = self.dir / f"t.{fmt}"
        self.run_here("driver.py", out, fmt, repr(options))
        (_, events), = tracks(str(out)).values()
        return shape(events), sum(n for (_, why), n in read(out, fmt)[1].items() if why == "filter")

    def test_exact_slices_of_each_mode_in_both_formats(self):
        work = "work[leaf]"
        leaf_in_run = "run[leaf leaf]"
        cases = [
            ({"exclude_stdlib": True}, f"<module>[run[{work} {work}]]"),
            # C functions are recorded only when asked for.
            ({"include": ["app", "time"]}, f"run[{work} {work}]"),
            # The slice tree skips an excluded level: leaf nests in run.
            ({"include": ["app"], "exclude": ["app.helpers"]}, leaf_in_run),
            # Included code called from excluded code, and the reverse.
            ({"include": ["app.leaf"]}, "leaf leaf"),
            ({"include": ["*/app/helpers.py"]}, "work work"),
            ({"include": ["app/"], "exclude": ["app/leaf.py"]}, "run[work work]"),
            # File patterns relative to the current directory.
            ({"include": ["./app/main.py", "./app/leaf.py"]}, leaf_in_run),
            ({"include": ["./app/main.py", f"../{self.dir.name}/app/x/../leaf.py"]}, leaf_in_run),
            ({"exclude": ["./app/"], "exclude_stdlib": True}, "<module>"),
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
                    self.assertEqual(self.trace(options, fmt)[0], expected)

    def test_left_out_code_is_switched_off_after_its_first_call_and_counted(self):
        # The count is of events delivered before DISABLE switched their locations off: the
        # same for one call of the left-out function as for a hundred.
        for fmt in ("json", "protobuf"):
            for options in ({"exclude": ["app.helpers"]},
                            {"include": ["app.leaf"], "c_calls": True}):
                with self.subTest(fmt=fmt, options=options):
                    once = self.trace(options, fmt)[1]
                    self.assertGreater(once, 0)
                    self.assertEqual(self.trace({**options, "repeat": 100}, fmt)[1], once)
        self.assertEqual(self.trace({})[1], 0)

    def test_c_calls_are_named_as_users_know_them(self):
        self.trace({"include": ["app", "time", "builtins", "json"], "c_calls": True})
        trace = jsontrace.Trace(str(self.dir / "t.json"))
        names = {r["name"] for evs in trace.events.values() for r in evs}
        self.assertLessEqual({"time.sleep", "isinstance", "str.join"}, names)
        # No vespra callable (the `with` statement's __exit__ is one) is ever recorded.
        self.assertFalse([n for n in names if "Tracer" in n or "vespra" in n], names)
        sleeps = [r["args"]["kind"] for r in trace.by_name("time.sleep")]
        self.assertEqual(sleeps[:4], ["start", "unwind", "start", "return"])  # sleep(-1) raised
        # A C method is named and judged by the type that defines it, though its first call
        # comes through a bound method of an instance of a subclass defined in __main__ (a call
        # of obj.append(x) would go through list's descriptor instead): two calls, four events.
        self.run_here("-c", "import sys, vespra\nclass Items(list): pass\n"
                      "with vespra.Tracer(sys.argv[1], 'json', include=['builtins'], c_calls=True):"
                      "\n    add = Items().append; add(1); add = [].append; add(2)\n", "m.json")
        self.assertEqual(len(jsontrace.Trace(str(self.dir / "m.json")).by_name("list.append")), 4)

    def test_a_second_run_and_another_tool_see_everything_again(self):
        profiled = self.run_here("again.py", self.dir / "again").stdout.split()
        shapes = [shape(next(iter(tracks(f"{self.dir}/again.{n}.json").values()))[1])
                  for n in range(2)]
        # The first run starts with the locations the other tool switched off back on.
        self.assertEqual(shapes, ["run[leaf leaf]", "run[work[leaf] work[leaf]]"])
        # The second run left json's code switched off; cProfile, which came next, sees it.
        self.assertLessEqual({"run", "work", "leaf", "dumps"}, set(profiled))

    def test_the_closing_line_names_patterns_that_matched_nothing_and_deep_stacks(self):
        (self.dir / "deep.py").write_text("def down(n):\n    return n and down(n - 1)\ndown(600)\n")
        proc = subprocess.run([sys.executable, "-m", "vespra", "run", "-o", "deep.pb",
                               "--max-depth", "0", "--include", "deep.py", "--include", "./deep.py",
                               "--exclude", "app", "deep.py"],
                              cwd=self.dir, env=self.env, capture_output=True, text=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        first, deep, *unmatched = proc.stderr.splitlines()
        self.assertIn(f"`{sys.executable} -m vespra summary deep.pb`", first)  # as invoked
        self.assertRegex(deep, "^vespra: its calls nest 602 deep, and Perfetto keeps 512")
        self.assertEqual(unmatched, [
            "vespra: --include deep.py matched no code in this process: a file pattern needs a / "
            "(./deep.py)",
            "vespra: --exclude app matched no code in this process"])

    def test_forked_and_execd_children_record_alike(self):
        out = self.dir / "children.json"
        self.run_here("-m", "vespra", "run", "-q", "-o", out, "-f", "json", "--include", "app",
                      "--include=time", "--exclude", "app.helpers", "--c-calls", "children.py")
        # The parent's own code is all left out: only the children ran app code.
        shapes = [shape(events) for _, events in tracks(str(out)).values()]
        forked, execd = sorted((s for s in shapes if "run[" in s), key=len)
        # work is left out; the C function it calls is kept, and nests in run.
        run = "run[time.sleep leaf[time.sleep] time.sleep leaf[time.sleep]]"
        self.assertEqual(forked, run)
        # The exec'd child imports the package first: app.main's module body, and in it (the
        # excluded helpers' left out) leaf's.
        self.assertEqual(execd, "<module> <module>[<module>] " + run)
