"""Exceptions on request: an instant where each exception is raised, named after its type with
its message, and its type on the slices it unwound; in both formats."""

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


class Loud(Exception):
    def __str__(self):
        raise RuntimeError("a __str__ of the program's own is never called")


def leaf(exc=ValueError("bad value")):  # the same object each time: each raise is a new one
    raise exc


def middle():
    leaf()


def reraises():
    try:
        leaf()
    except ValueError:
        raise


def workload():
    for f in (leaf, middle, reraises, lambda: leaf(KeyError("\u00e9" * 300)),
              lambda: leaf(Loud("quiet please", 2))):
        try:
            f()
        except Exception:
            pass
    for _ in (i for i in range(2)):  # a generator's end raises no instant
        pass


def exception_events(path):
    """(instants, ends) of this thread: instants as (type, message, function it is in), ends as
    (function, exception type) for the slices that carry one."""
    stack, instants, ends = [], [], []
    for ph, name, a in with_args(path, (os.getpid(), threading.get_native_id())):
        if ph == "B":
            stack.append(name)
        elif ph == "E":
            stack.pop()
            if "exception" in a:
                ends.append((name, a["exception"]))
        else:
            instants.append((name, a.get("message"), stack[-1]))
    return instants, ends


class Exceptions(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))

    def test_each_raise_once_and_the_slices_it_unwound(self):
        # Where each was raised, once: not where it passed through nor at the re-raise. The
        # message is cut at 256 bytes (KeyError's str() quotes), inside no character.
        loud = "test_exceptions.Loud"
        instants = [("ValueError", "bad value", "leaf")] * 3 + [
            ("KeyError", "'" + "\u00e9" * 127, "leaf"), (loud, "quiet please", "leaf")]
        lam = "workload.<locals>.<lambda>"
        ends = [("leaf", "ValueError"), ("leaf", "ValueError"), ("middle", "ValueError"),
                ("leaf", "ValueError"), ("reraises", "ValueError"), ("leaf", "KeyError"),
                (lam, "KeyError"), ("leaf", loud), (lam, loud)]
        for options, expected in [({"exceptions": True}, (instants, ends)),
                                  ({"exceptions": True, "ring": 1_000_000}, (instants, ends)),
                                  ({}, ([], []))]:  # off by default
            for fmt in ("json", "protobuf"):
                with self.subTest(fmt=fmt, **options):
                    path = self.dir / ("t.json" if fmt == "json" else "t.pb")
                    with vespra.Tracer(str(path), fmt, **options):
                        workload()
                    self.assertEqual(exception_events(path), expected)
                    if perfetto.SHELL:
                        self.assertEqual(perfetto.faults(path), {})

    def test_left_out_code_and_children(self):
        # An excluded function's raise is not recorded; a child started by the traced program
        # records its own; under --min-duration an instant keeps the slices it is in.
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
        subprocess.run([sys.executable, "-m", "vespra", "run", "-q", "--exceptions",
                        "--exclude-stdlib", "--exclude", "helpers", "--min-duration", "1000s",
                        "-o", "t.json", "main.py"], cwd=self.dir, check=True, timeout=300)
        records = read_records(self.dir / "t.json")
        self.assertEqual([(r["name"], r["args"]["message"]) for r in records if r["ph"] == "i"],
                         [("KeyError", "7")])
        self.assertEqual({r["name"] for r in records if r["ph"] == "B"}, {"<module>", "child"})


if __name__ == "__main__":
    unittest.main()
