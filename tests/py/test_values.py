"""Arguments and return values on request: the calls of matching functions carry their arguments
on their begin and their return value on their end, described without running the program's
code (or by repr() when asked); in both formats."""

import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import threading
import unittest

import perfetto
import vespra
from jsontrace import read_records, with_args

# The matched module: every function of it records its values.
VALUED = textwrap.dedent('''\
    import types
    class Shaped:
        shape, dtype = (2, 3), "float32"
    class Plain:
        pass
    class ShapeProperty:
        shape = property(lambda self: 1 / 0)  # code of the program: never run
    class Raises:
        def __repr__(self): raise ValueError("no repr")
    class Recurses:
        def __repr__(self): return repr(self)
    class CallsTraced:
        def __repr__(self): return "calls " + helper()
    class Marks:
        def __repr__(self):
            import vespra
            vespra.instant("described")
            return "marked"
    def helper(): return "helper"
    def kinds(none, flag, small, huge, real, text, data, items, mapping, shaped, plain, prop, own,
              *rest, key=1, **extra):
        return 2 ** 70
    def reprs(raises, recurses, calls, marks): return (1, 2)
    def numbers(n):
        yield n
        yield n + 1
        return "done"
    @types.coroutine
    def pause(): yield
    async def doubled(x):
        await pause()
        await pause()
        return x * 2
    ''')


def workload(valued):
    own = valued.Plain()
    own.shape = (4,)
    valued.kinds(None, True, -5, 2 ** 200, 1.5, "\u00e9" * 100, b"\x00a'b", [1, 2, 3], {"k": 1},
                 valued.Shaped(), valued.Plain(), valued.ShapeProperty(), own, 7, 8, key=2,
                 extra=3)
    valued.reprs(valued.Raises(), valued.Recurses(), valued.CallsTraced(), valued.Marks())
    for _ in valued.numbers(5):
        pass
    for _ in valued.doubled(4).__await__():
        pass
    textwrap.dedent("  not matched")


KINDS = {"none": None, "flag": True, "small": -5, "huge": "int of 201 bits", "real": 1.5,
         "text": "\u00e9" * 64 + "\u2026", "data": "b'\\x00a\\'b'", "items": "list of 3",
         "mapping": "dict of 1", "shaped": "valued.Shaped shape=(2, 3) dtype=float32",
         "plain": "valued.Plain", "prop": "valued.ShapeProperty", "own": "valued.Plain shape=(4,)",
         "rest": "tuple of 2", "key": 2, "extra": "dict of 1"}
# (ph, function, values) for each event that carries values, in order: arguments once at the
# first start of a generator or coroutine, the return value at its end, never at a yield.
DESCRIBED = [
    ("B", "kinds", KINDS), ("E", "kinds", {"return": "int of 71 bits"}),
    ("B", "reprs", {"raises": "valued.Raises", "recurses": "valued.Recurses",
                    "calls": "valued.CallsTraced", "marks": "valued.Marks"}),
    ("E", "reprs", {"return": "tuple of 2"}),
    ("B", "numbers", {"n": 5}), ("E", "numbers", {"return": "done"}),
    ("B", "doubled", {"x": 4}),
    ("E", "pause", {"return": None}), ("E", "pause", {"return": None}),
    ("E", "doubled", {"return": 8}),
]
REPRS = {"raises": "<repr raised ValueError>", "recurses": "<repr raised RecursionError>",
         "calls": "calls helper", "marks": "marked"}


def described(path):
    """(ph, function, values) of this thread's events that carry values, and the names of all
    its slices. JSON's None is null, protobuf's the string "None"."""
    events = [(ph, name, {k: None if v == "None" else v for k, v in a.items()
                          if k not in ("file", "line", "kind")})
              for ph, name, a in with_args(path, (os.getpid(), threading.get_native_id()))
              if ph != "I"]
    return [e for e in events if e[2]], {e[1] for e in events}


class Values(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = pathlib.Path(cls.enterClassContext(tempfile.TemporaryDirectory()))
        (cls.dir / "valued.py").write_text(VALUED)
        sys.path.insert(0, str(cls.dir))
        cls.addClassCleanup(sys.path.remove, str(cls.dir))
        import valued
        cls.valued = valued

    def test_values_of_matched_calls(self):
        both = {"args": ["valued"], "returns": ["valued"]}
        with_reprs = [(ph, f, REPRS if f == "reprs" and ph == "B" else a) for ph, f, a in DESCRIBED]
        for options, expected in [
                (both, DESCRIBED),
                ({**both, "ring": 1_000_000}, DESCRIBED),
                ({"args": ["valued"]}, [e for e in DESCRIBED if e[0] == "B"]),
                ({"returns": [str(self.dir / "*")]}, [e for e in DESCRIBED if e[0] == "E"]),
                ({**both, "args_repr": True}, with_reprs),
                ({}, [])]:  # off by default
            for fmt in ("json", "protobuf"):
                with self.subTest(fmt=fmt, **options):
                    path = self.dir / ("t.json" if fmt == "json" else "t.pb")
                    with vespra.Tracer(str(path), fmt, **options):
                        workload(self.valued)
                    values, names = described(path)
                    if options.get("args_repr"):  # the other objects' reprs hold addresses
                        kinds = next(a for ph, f, a in values if f == "kinds" and ph == "B")
                        for name in ("shaped", "plain", "prop", "own"):
                            self.assertRegex(kinds[name], r"^<valued\.\w+ object at 0x")
                            kinds[name] = KINDS[name]
                        if fmt == "json":  # a mark a repr records comes before the call
                            ts = {(r["name"], r["ph"]): r.get("ts") for r in read_records(path)}
                            self.assertLessEqual(ts["described", "i"], ts["reprs", "B"])
                    self.assertEqual(values, expected)
                    # What a repr runs is not recorded; unmatched code records no values.
                    self.assertNotIn("helper", names)
                    self.assertIn("dedent", names)
                    if perfetto.SHELL and options == both:  # Perfetto shows them too
                        self.assertEqual(perfetto.faults(path), {})
                        rows = perfetto.query(path, "select s.name, a.display_value from slice "
                                              "s join args a using(arg_set_id) where s.name = "
                                              "'numbers' and a.key glob '*.[nr]*' order by a.key")
                        self.assertEqual([r["display_value"] for r in rows], ["5", "done"])

    def test_command_line_and_children(self):
        # --args and --returns reach a child the traced program starts.
        (self.dir / "main.py").write_text(textwrap.dedent("""\
            import subprocess, sys, valued
            valued.numbers(1).send(None)
            subprocess.run([sys.executable, "-c", "import valued; valued.reprs(1, 'a', None, 2.5)"],
                           check=True)
            """))
        subprocess.run([sys.executable, "-m", "vespra", "run", "-q", "--args", "valued",
                        "--returns", "valued", "-o", "cli.json", "main.py"],
                       cwd=self.dir, check=True, timeout=300)
        got = [(r["ph"], r["name"], {k: v for k, v in r["args"].items()
                                     if k not in ("file", "line", "kind")})
               for r in read_records(self.dir / "cli.json") if r["name"] in ("numbers", "reprs")]
        self.assertEqual(sorted((g for g in got if g[2]), key=repr), [
            ("B", "numbers", {"n": 1}),
            ("B", "reprs", {"raises": 1, "recurses": "a", "calls": None, "marks": 2.5}),
            ("E", "reprs", {"return": "tuple of 2"})])


if __name__ == "__main__":
    unittest.main()
