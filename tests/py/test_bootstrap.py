"""scripts/bootstrap-python.sh with an interpreter named by VESPRA_PYTHON: which ones it takes,
which it refuses and why. The interpreters are fakes that answer the script's one question."""

import os
import pathlib
import subprocess
import tempfile
import unittest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "bootstrap-python.sh"


class BootstrapTest(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))

    def fake(self, answer):
        """An interpreter that prints `answer` (implementation, X.Y, free-threaded 0/1, headers
        present 0/1) whatever it is asked."""
        path = self.dir / "python"
        path.write_text(f"#!/bin/sh\necho '{answer}'\n")
        path.chmod(0o755)
        return str(path)

    def bootstrap(self, python, flavour=None):
        env = {k: v for k, v in os.environ.items() if k not in ("VESPRA_PY", "VESPRA_PYTHON")}
        env.update(VESPRA_PYTHON=python, VESPRA_CACHE=str(self.dir / "cache"))
        if flavour:
            env["VESPRA_PY"] = flavour
        proc = subprocess.run(["bash", str(SCRIPT)], env=env, capture_output=True, text=True,
                              timeout=60)
        return proc.returncode, proc.stdout.strip(), proc.stderr.strip()

    def test_tested_builds_are_taken_and_untested_ones_with_a_warning(self):
        for answer, flavour in [("cpython 3.13 1 1", None), ("cpython 3.13 0 1", None),
                                ("cpython 3.13 0 1", "3.13"), ("cpython 3.13 1 1", "3.13t"),
                                ("cpython 3.14 0 1", None), ("cpython 3.15 0 1", None)]:
            with self.subTest(answer=answer, flavour=flavour):
                python = self.fake(answer)
                self.assertEqual(self.bootstrap(python, flavour), (0, python, ""))
        for answer, version in [("cpython 3.14 1 1", r"3\.14 \(free-threaded\)"),
                                ("cpython 3.16 0 1", r"3\.16")]:
            with self.subTest(answer=answer):
                python = self.fake(answer)
                rc, out, err = self.bootstrap(python)
                self.assertEqual((rc, out), (0, python))
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertRegex(err, rf"warning: .* is Python {version}: untested")

    def test_refusals_say_why_and_print_no_interpreter(self):
        cases = [
            ("cpython 3.12 0 1", None, "is Python 3.12, whose C API lacks"),
            ("cpython 3.11 0 1", None, "is Python 3.11, which has no sys.monitoring"),
            ("cpython 3.8 0 1", None, "has no sys.monitoring"),
            ("pypy 3.13 0 1", None, "is pypy, but vespra needs CPython"),
            ("cpython 3.13 0 0", None, r"has no C headers \(Python\.h\)"),
            ("cpython 3.13 0 1", "3.13t", "not the free-threaded build that VESPRA_PY=3.13t"),
            ("cpython 3.13 1 1", "3.13", r"not the regular \(GIL\) build that VESPRA_PY=3.13"),
            ("cpython 3.13 1 1", "3.12", "VESPRA_PY=3.12: choose 3.13t"),
        ]
        for answer, flavour, reason in cases:
            with self.subTest(answer=answer, flavour=flavour):
                rc, out, err = self.bootstrap(self.fake(answer), flavour)
                self.assertEqual((rc, out), (1, ""))
                self.assertRegex(err, reason)
        rc, out, err = self.bootstrap(str(self.dir / "missing"))
        self.assertEqual((rc, out), (1, ""))
        self.assertIn("no such interpreter", err)


if __name__ == "__main__":
    unittest.main()
