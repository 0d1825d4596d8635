"""Arguments and return values on request: the calls of matching functions carry their arguments
on their begin and their return value on their end, described without running the program's
code (or by repr() when asked); in both formats, read back by our readers and by Perfetto's."""

import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import threading
import unittest

import pbtrace
import perfetto
import vespra
from jsontrace import read_records

FORMATS = ("json", "protobuf")

# The matched module: every function of it records its values.
VALUED = textwrap.dedent('''\
    import types

    class Shaped:
        shape = (2, 3)
        dtype = "float32"

    class Plain:
        pass

    class ShapeProperty:
        @property
        def shape(self):
            raise AssertionError("a property is code of the program: never read")

    class Raises:
        def __repr__(self):
            raise ValueError("no repr")

    class Recurses:
        def __repr__(self):
            return repr(self)

    class CallsTraced:
        def __repr__(self):
            return "calls " + helper()

    class Marks:
        def __repr__(self):
            import vespra
            vespra.instant("described")
            return "marked"

    def helper():
        return "helper"

    def kinds(none, flag, small, huge, real, text, data, items, mapping, shaped, plain, prop, own,
              *rest, key=1, **extra):
        return 2 ** 70

    def reprs(raises, recurses, calls, marks):
        return (1, 2)

    def numbers(n):
        yield n
        yield n + 1
        return "done"

    @types.coroutine
    def pause():
        yield

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
    coroutine = valued.doubled(4)
    for _ in range(3):
        try:
            coroutine.send(None)
        except StopIteration:
            break
    textwrap.dedent("  not matched")


KINDS = {"none": None, "flag": True, "small": -5, "huge": "int of 201 bits", "real": 1.5,
         "text": "\u00e9" * 64 + "\u2026", "data": "b'\\x00a\\'b'", "items": "list of 3",
         "mapping": "dict of 1", "shaped": "valued.Shaped shape=(2, 3) dtype=float32",
         "plain": "valued.Plain", "prop": "valued.ShapeProperty", "own": "valued.Plain shape=(4,)",
         "rest": "tuple of 2", "key": 2,
         "extra": "dict of 1"}
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


def described(path, fmt):
    """(ph, function, values) of this thread's events that carry values, and the names of all
    its slices. JSON's None is null, protobuf's the string "None"."""
    key = (os.getpid(), threading.get_native_id())
    if fmt == "json":
        records = [r for r in read_records(path) if (r.get("pid"), r.get("tid")) == key]
        events = [(r["ts"], r["ph"], r["name"],
                   {k: v for k, v in r.get("args", {}).items() if k not in ("file", "line", "kind")})
                  for r in records if r["ph"] in "BE"]
    else:
        args = {(ts, ph): a for ts, ph, _, _, a in pbtrace.marks(path)[0].get(key, ())}
        events = [(ts, ph, name, {k: None if v == "None" else v
                                  for k, v in args.get((ts, ph), {}).items()})
                  for ts, ph, name in pbtrace.slices(path)[key].events]
    return [(ph, name, a) for _, ph, name, a in events if a], {e[2] for e in events}


class Values(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(tmp.cleanup)
        cls.dir = pathlib.Path(tmp.name)
        (cls.dir / "valued.py").write_text(VALUED)
        sys.path.insert(0, str(cls.dir))
        cls.addClassCleanup(sys.path.remove, str(cls.dir))
        import valued
        cls.valued = valued

    def traced(self, fmt, **options):
        path = self.dir / ("t.json" if fmt == "json" else "t.pb")
        with vespra.Tracer(str(path), fmt, **options):
            workload(self.valued)
        return path

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
            for fmt in FORMATS:
                with self.subTest(fmt=fmt, **options):
                    path = self.traced(fmt, **options)
                    values, names = described(path, fmt)
                    if options.get("args_repr"):  # the other objects' reprs hold addresses
                        kinds = next(a for ph, f, a in values if f == "kinds" and ph == "B")
                        for name in ("shaped", "plain", "prop", "own"):
                            self.assertRegex(kinds[name], r"^<valued\.\w+ object at 0x")
                            kinds[name] = KINDS[name]
                    self.assertEqual(values, expected)
                    if options.get("args_repr") and fmt == "json":
                        # A mark that a repr records comes before the call it describes.
                        ts = {(r["name"], r["ph"]): r["ts"] for r in read_records(path) if "ts" in r}
                        self.assertLessEqual(ts["described", "i"], ts["reprs", "B"])
                    # What a repr runs is not recorded; unmatched code records no values.
                    self.assertNotIn("helper", names)
                    self.assertIn("dedent", names)
                    if perfetto.SHELL:
                        self.assertEqual(perfetto.faults(path), {})

    def test_perfetto_reads_the_values(self):
        if not perfetto.SHELL:
            self.skipTest(perfetto.MISSING)
        sql = ("select s.name, a.key, a.display_value from slice s join args a using(arg_set_id) "
               "where s.name in ('numbers', 'reprs') and (a.key like '%.n' or a.key like '%return')"
               " order by s.name, a.key")
        for fmt, prefix in (("json", "args"), ("protobuf", "debug")):
            with self.subTest(fmt=fmt):
                path = self.traced(fmt, args=["valued"], returns=["valued"])
                rows = [tuple(r.values()) for r in perfetto.query(path, sql)]
                self.assertEqual(rows, [("numbers", f"{prefix}.n", "5"),
                                        ("numbers", f"{prefix}.return", "done"),
                                        ("reprs", f"{prefix}.return", "tuple of 2")])

    def test_command_line_and_children(self):
        """--args and --returns reach a child the traced program starts."""
        (self.dir / "main.py").write_text(textwrap.dedent("""\
            import subprocess, sys, valued
            valued.numbers(1).send(None)
            subprocess.run([sys.executable, "-c", "import valued; valued.reprs(1, 'a', None, 2.5)"],
                           check=True)
            """))
        out = self.dir / "cli.json"
        subprocess.run([sys.executable, "-m", "vespra", "run", "-q", "--args", "valued",
                        "--returns", "valued", "-o", str(out), "main.py"],
                       cwd=self.dir, check=True, timeout=300)
        got = sorted(((r["ph"], r["name"], {k: v for k, v in r["args"].items()
                                            if k not in ("file", "line", "kind")})
                      for r in read_records(out) if r["name"] in ("numbers", "reprs")), key=repr)
        self.assertEqual([g for g in got if g[2]], [
            ("B", "numbers", {"n": 1}),
            ("B", "reprs", {"raises": 1, "recurses": "a", "calls": None, "marks": 2.5}),
            ("E", "reprs", {"return": "tuple of 2"})])


if __name__ == "__main__":
    unittest.main()
