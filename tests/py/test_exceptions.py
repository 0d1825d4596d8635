"""Exceptions on request: an instant where each exception is raised, named after its type with
its message, and its type on the slices it unwound; in both formats, read back by our readers
and by Perfetto's."""

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


class Loud(Exception):
    def __str__(self):
        raise RuntimeError("a __str__ of the program's own is never called")


def leaf(exc=ValueError("bad value")):  # the same object each time: each raise is a new one
    raise exc


def caught():
    try:
        leaf()
    except ValueError:
        pass


def three_deep():
    middle()


def middle():
    leaf()


def reraises():
    try:
        leaf()
    except ValueError:
        raise


def numbers():
    yield 1
    yield 2


def shouts():
    leaf(Loud("quiet please", 2))


def long_message():
    leaf(KeyError("\u00e9" * 300))


def workload():
    caught()
    for f, exc in ((three_deep, ValueError), (reraises, ValueError), (long_message, KeyError),
                   (shouts, Loud)):
        try:
            f()
        except exc:
            pass
    for _ in numbers():
        pass


def exception_events(path, fmt):
    """(instants, ends) of this thread: instants as (type, message, function it is in), ends as
    (function, exception type) for the slices that carry one."""
    key = (os.getpid(), threading.get_native_id())
    if fmt == "json":
        records = [r for r in read_records(path) if (r.get("pid"), r.get("tid")) == key]
        events = [(r["ts"], r["ph"].upper(), r["name"], r.get("args", {})) for r in records
                  if r["ph"] in "BEi"]
    else:
        args = {(ts, ph): a for ts, ph, _, _, a in pbtrace.marks(path)[0].get(key, ())}
        events = [(ts, ph, name, args.get((ts, ph), {}))
                  for ts, ph, name in pbtrace.slices(path)[key].events]
    stack, instants, ends = [], [], []
    for _, ph, name, a in events:
        if ph == "B":
            stack.append(name)
        elif ph == "E":
            stack.pop()
            if "exception" in a:
                ends.append((name, a["exception"]))
        elif ph == "I":
            instants.append((name, a.get("message"), stack[-1]))
    return instants, ends


class Exceptions(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)

    def traced(self, fmt, **options):
        path = self.dir / ("t.json" if fmt == "json" else "t.pb")
        with vespra.Tracer(str(path), fmt, **options):
            workload()
        return path

    def test_each_raise_once_and_the_slices_it_unwound(self):
        cut = "'" + "\u00e9" * 127  # KeyError's str() quotes; 256 bytes end inside no character
        # Where each was raised, once: not where it passed through, not at the re-raise, and no
        # StopIteration from the generator's end.
        instants = [("ValueError", "bad value", "leaf")] * 3 + [
            ("KeyError", cut, "leaf"), ("test_exceptions.Loud", "quiet please", "leaf")]
        ends = [("leaf", "ValueError"),
                ("leaf", "ValueError"), ("middle", "ValueError"), ("three_deep", "ValueError"),
                ("leaf", "ValueError"), ("reraises", "ValueError"),
                ("leaf", "KeyError"), ("long_message", "KeyError"),
                ("leaf", "test_exceptions.Loud"), ("shouts", "test_exceptions.Loud")]
        for options, expected in [({"exceptions": True}, (instants, ends)),
                                  ({"exceptions": True, "ring": 1_000_000}, (instants, ends)),
                                  ({}, ([], []))]:  # off by default
            for fmt in FORMATS:
                with self.subTest(fmt=fmt, **options):
                    path = self.traced(fmt, **options)
                    self.assertEqual(exception_events(path, fmt), expected)
                    if perfetto.SHELL:
                        self.assertEqual(perfetto.faults(path), {})

    def test_left_out_code_and_children(self):
        """An excluded function's raise is not recorded; a child started by the traced program
        records its exceptions too; with --min-duration an instant keeps the slices it is in, as
        any mark does, and the others are left out."""
        (self.dir / "helpers.py").write_text("def fail():\n    raise OSError(2, 'gone')\n")
        (self.dir / "child.py").write_text("def child():\n    raise KeyError(7)\n"
                                           "try:\n    child()\nexcept KeyError:\n    pass\n")
        (self.dir / "main.py").write_text(textwrap.dedent("""\
            import subprocess, sys, helpers
            def main():
                try:
                    helpers.fail()
                except OSError:
                    pass
                subprocess.run([sys.executable, "child.py"], check=True)
            main()
            """))
        out = self.dir / "t.json"
        subprocess.run([sys.executable, "-m", "vespra", "run", "-q", "--exceptions", "--exclude-stdlib", "--exclude",
                        "helpers", "--min-duration", "1000s", "-o", str(out), "main.py"],
                       cwd=self.dir, check=True, timeout=300)
        records = read_records(out)
        instants = [(r["name"], r["args"]["message"]) for r in records if r["ph"] == "i"]
        self.assertEqual(instants, [("KeyError", "7")])
        self.assertEqual({r["name"] for r in records if r["ph"] == "B"}, {"<module>", "child"})

if __name__ == "__main__":
    unittest.main()
