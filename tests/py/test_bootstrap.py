"""scripts/bootstrap-python.sh with an interpreter named by VESPRA_PYTHON: which ones it takes,
which it refuses and why. The interpreters are fakes that answer the script's one question."""

import os
import pathlib
import subprocess
import tempfile
import unittest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "bootstrap-python.sh"


class BootstrapTest(unittest.TestCase):
    def bootstrap(self, answer, flavour):
        """(status, stdout, stderr) for an interpreter that prints `answer` (implementation,
        X.Y, free-threaded 0/1, headers present 0/1) whatever it is asked; None: no interpreter.
        """
        tmp = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))
        python = tmp / "python"
        if answer:
            python.write_text(f"#!/bin/sh\necho '{answer}'\n")
            python.chmod(0o755)
        env = {k: v for k, v in os.environ.items() if k not in ("VESPRA_PY", "VESPRA_PYTHON")}
        env.update(VESPRA_PYTHON=str(python), VESPRA_CACHE=str(tmp / "cache"))
        if flavour:
            env["VESPRA_PY"] = flavour
        proc = subprocess.run(["bash", str(SCRIPT)], env=env, capture_output=True, text=True,
                              timeout=60)
        return proc.returncode, proc.stdout.strip().replace(str(python), "PY"), proc.stderr.strip()

    def test_which_interpreters_are_taken_and_why_the_others_are_not(self):
        taken, refused = (0, "PY"), (1, "")
        for answer, flavour, outcome, said in [
                ("cpython 3.13 1 1", None, taken, "^$"),
                ("cpython 3.13 0 1", None, taken, "^$"),
                ("cpython 3.13 0 1", "3.13", taken, "^$"),
                ("cpython 3.13 1 1", "3.13t", taken, "^$"),
                ("cpython 3.14 0 1", None, taken, "^$"),
                ("cpython 3.15 0 1", None, taken, "^$"),
                # One line of warning for an untested one.
                ("cpython 3.14 1 1", None, taken, r"^[^\n]*warning: [^\n]* is Python 3\.14 "
                 r"\(free-threaded\): untested[^\n]*$"),
                ("cpython 3.16 0 1", None, taken,
                 r"^[^\n]*warning: [^\n]* is Python 3\.16: untested[^\n]*$"),
                ("cpython 3.12 0 1", None, refused, "is Python 3.12, whose C API lacks"),
                ("cpython 3.11 0 1", None, refused, "is Python 3.11, which has no sys.monitoring"),
                ("cpython 3.8 0 1", None, refused, "has no sys.monitoring"),
                ("pypy 3.13 0 1", None, refused, "is pypy, but vespra needs CPython"),
                ("cpython 3.13 0 0", None, refused, r"has no C headers \(Python\.h\)"),
                ("cpython 3.13 0 1", "3.13t", refused,
                 "not the free-threaded build that VESPRA_PY=3.13t"),
                ("cpython 3.13 1 1", "3.13", refused,
                 r"not the regular \(GIL\) build that VESPRA_PY=3.13"),
                ("cpython 3.13 1 1", "3.12", refused, "VESPRA_PY=3.12: choose 3.13t"),
                (None, None, refused, "no such interpreter")]:
            with self.subTest(answer=answer, flavour=flavour):
                status, printed, stderr = self.bootstrap(answer, flavour)
                self.assertEqual((status, printed), outcome, stderr)
                self.assertRegex(stderr, said)


if __name__ == "__main__":
    unittest.main()
