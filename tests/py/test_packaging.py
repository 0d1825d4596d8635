"""vespra as a user installs it: an sdist from the repository, a wheel built from that sdist by
pip with no package index, installed into a fresh virtual environment, used there on a program
that imports what only that environment has, and removed again without a trace.

Slow (it compiles the extension once more), so everything happens in one pass."""

import base64
import csv
import hashlib
import io
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import unittest
import zipfile

from jsontrace import Trace

ROOT = pathlib.Path(__file__).resolve().parents[2]
BACKEND = ROOT / "backend"
PIP = ["-m", "pip", "--disable-pip-version-check", "--no-input"]


def run(*cmd, **kw):
    result = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kw)
    if result.returncode != 0:
        raise AssertionError(f"{cmd} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result


def backend(hook, out, env=None):
    """Calls a hook of the build backend in a process of its own, as pip would."""
    code = f"import sys, vespra_build; print(vespra_build.{hook}(sys.argv[1]))"
    return subprocess.run([sys.executable, "-c", code, str(out)], cwd=BACKEND, env=env,
                          capture_output=True, text=True)


def pip_tags():
    """The tags pip accepts for this interpreter, most specific first: an authority on tags
    independent of the backend's own reckoning."""
    out = run(sys.executable, *PIP, "debug", "--verbose").stdout
    return [ln.strip() for ln in out.split("Compatible tags:", 1)[1].splitlines()[1:]
            if ln.startswith("  ") and ln.strip().count("-") == 2]


class WheelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = pathlib.Path(cls.enterClassContext(tempfile.TemporaryDirectory()))
        made = backend("build_sdist", cls.dir)
        assert made.returncode == 0, made.stderr
        cls.sdist = cls.dir / made.stdout.strip()
        # pip builds the wheel from the sdist alone, in an isolated build environment, offline.
        run(sys.executable, *PIP, "wheel", "--no-index", "--no-deps", "-w", cls.dir / "dist", cls.sdist)
        (cls.wheel,) = (cls.dir / "dist").glob("*.whl")

    def test_wheel_is_tagged_and_recorded(self):
        tag = self.wheel.name.removeprefix("vespra-0.1.0-").removesuffix(".whl")
        tags = pip_tags()
        self.assertIn(tag, tags)
        # This interpreter's own ABI (cp313t, or cp313 with the GIL), not a generic one.
        self.assertEqual(tag.split("-")[:2], tags[0].split("-")[:2])
        info = "vespra-0.1.0.dist-info"
        with zipfile.ZipFile(self.wheel) as whl:
            text = {name: whl.read(f"{info}/{name}").decode()
                    for name in ("WHEEL", "entry_points.txt", "METADATA", "RECORD")}
            for name, line in [("WHEEL", f"Tag: {tag}"), ("WHEEL", "Root-Is-Purelib: false"),
                               ("entry_points.txt", "vespra = vespra.__main__:main"),
                               ("METADATA", "Name: vespra"), ("METADATA", "Version: 0.1.0"),
                               ("METADATA", "Requires-Python: >=3.13"),
                               ("METADATA", "# vespra")]:  # the README is the long description
                self.assertIn(line, text[name].splitlines(), name)
            # RECORD names every member once, with its real hash and size, and itself unhashed.
            rows = {r[0]: r[1:] for r in csv.reader(io.StringIO(text["RECORD"]))}
            self.assertEqual(sorted(rows), sorted(whl.namelist()))
            self.assertEqual(rows.pop(f"{info}/RECORD"), ["", ""])
            for name, (digest, size) in rows.items():
                data = whl.read(name)
                sha = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
                self.assertEqual((digest, int(size)), ("sha256=" + sha.decode(), len(data)), name)
        ext = sysconfig.get_config_var("EXT_SUFFIX")
        self.assertLessEqual({"vespra-startup.pth", "vespra/_startup.py", f"vespra/_core{ext}"},
                             set(rows))

    def test_installed_into_a_fresh_environment_then_removed(self):
        env_dir = self.dir / "env"
        run(sys.executable, "-m", "venv", env_dir)
        python = env_dir / "bin" / "python"
        run(python, *PIP, "install", "--no-index", "--root-user-action=ignore", self.wheel)
        site = pathlib.Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()"
                                "['purelib'])").stdout.strip())
        # A module only this environment has; the program imports it, and a Python child
        # process started with the environment's interpreter joins the trace through the
        # installed start-up hook.
        (site / "onlyhere.py").write_text("def only_here():\n    return 1\n")
        work = self.dir / "work"
        work.mkdir()
        (work / "child.py").write_text("def in_child():\n    return 2\n\nin_child()\n")
        (work / "prog.py").write_text("import onlyhere, subprocess, sys\nonlyhere.only_here()\n"
                                      "subprocess.run([sys.executable, 'child.py'], check=True)\n")
        clean = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_")}
        run(env_dir / "bin" / "vespra", "run", "-f", "json", "-o", "t.json", "prog.py",
            cwd=work, env=clean)
        trace = Trace(work / "t.json")
        (here,) = {r["pid"] for r in trace.by_name("only_here")}
        (child,) = {r["pid"] for r in trace.by_name("in_child")}
        self.assertNotEqual(here, child)
        self.assertTrue(trace.by_name("only_here")[0]["args"]["file"].endswith("onlyhere.py"))

        run(python, *PIP, "uninstall", "-y", "--root-user-action=ignore", "vespra")
        left = [p.name for p in site.iterdir() if p.name.startswith(("vespra", "_vespra"))]
        self.assertEqual(left, [])
        self.assertFalse((env_dir / "bin" / "vespra").exists())

    def test_a_build_that_cannot_succeed_says_why_and_leaves_no_wheel(self):
        # The log a failed build keeps for its user goes to a temporary directory of the test's.
        with tempfile.TemporaryDirectory() as empty:
            for env, message in [
                    ({"PATH": empty}, "needs CMake 3.25 or newer and a C++20 compiler (g++ 12"),
                    (dict(os.environ, CXX="false"), "compiling vespra's extension failed")]:
                with self.subTest(message), tempfile.TemporaryDirectory() as out:
                    result = backend("build_wheel", out, env=dict(env, TMPDIR=empty))
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn(message, result.stderr)
                    self.assertNotIn("Traceback", result.stderr)
                    self.assertEqual(os.listdir(out), [])


if __name__ == "__main__":
    unittest.main()
