"""The build backend of vespra (PEP 517), kept in the repository so that building needs nothing
from a package index: only the standard library, CMake and a C++20 compiler.

`build_wheel` compiles the extension `vespra._core` with CMake for the interpreter that runs
the build and packs it with the pure-Python package, the start-up hook that lets exec'd
children join a trace (`vespra-startup.pth`), the `vespra` console script and a RECORD that
lists every file, so that `pip uninstall` removes all of them. `build_sdist` packs the sources
that build the same wheel elsewhere.

Config setting `core=PATH`: pack an extension module that was already built for this
interpreter instead of compiling one; the development build (`make`) installs into its venv
this way, through the same packing code as every wheel.
"""

import base64
import hashlib
import io
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# What an sdist carries: everything the extension's build reads, and the backend itself.
SDIST_FILES = ["pyproject.toml", "README.md", "LICENSE", "CMakeLists.txt"]
SDIST_TREES = ["backend", "src", "python"]

# The oldest line whose sys.monitoring C API the extension is written against.
OLDEST = (3, 13)
# Builds tested by this project, as (line, free-threaded); others of 3.13 or newer build, with a
# warning, if their C API still fits.
TESTED = {((3, 13), True), ((3, 13), False), ((3, 14), False), ((3, 15), False)}
TESTED_TEXT = "3.13 with and without the GIL, 3.14 and 3.15 with it"

# Fixed timestamp for archive members, so that the same sources give the same archive.
EPOCH = (1980, 1, 1, 0, 0, 0)


class BuildError(Exception):
    """A build that cannot go on; its message says what to install or change."""


# ---- what is built for whom --------------------------------------------------------------------


def _project():
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _check_interpreter():
    version = sys.version_info[:2]
    here = f"{sys.implementation.name} {sys.version.split()[0]} ({sys.executable})"
    if sys.implementation.name != "cpython":
        raise BuildError(f"only CPython is supported; this is {here}")
    if version < OLDEST:
        raise BuildError(
            f"CPython 3.13 or newer is needed (for the sys.monitoring C API); this is {here}. "
            f"Supported: CPython {TESTED_TEXT}."
        )
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    if (version, free_threaded) not in TESTED:
        build = "free-threaded " if free_threaded else ""
        print(
            f"vespra: building for untested {build}CPython {version[0]}.{version[1]}; "
            f"tested: {TESTED_TEXT}",
            file=sys.stderr,
        )


def _which_compiler():
    cxx = os.environ.get("CXX")
    if cxx:
        return shutil.which(cxx.split()[0])
    return next(filter(None, map(shutil.which, ("c++", "g++", "clang++"))), None)


def _check_tools():
    missing = []
    if shutil.which("cmake") is None:
        missing.append("CMake 3.25 or newer")
    if _which_compiler() is None:
        missing.append("a C++20 compiler (g++ 12 or newer)")
    if missing:
        raise BuildError(
            "building vespra's extension needs " + " and ".join(missing)
            + " on PATH; on Debian or Ubuntu: apt-get install cmake g++"
        )


def _ext_suffix():
    return sysconfig.get_config_var("EXT_SUFFIX")


def _wheel_tag():
    """python-abi-platform of this interpreter, as pip computes it for a non-manylinux wheel."""
    major, minor = sys.version_info[:2]
    soabi = sysconfig.get_config_var("SOABI") or ""
    # "cpython-313t-x86_64-linux-gnu" -> "cp313t"
    parts = soabi.split("-")
    if len(parts) >= 2 and parts[0] == "cpython":
        abi = "cp" + parts[1]
    else:
        abi = f"cp{major}{minor}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"cp{major}{minor}", abi, platform


# ---- compiling ---------------------------------------------------------------------------------


def _run_logged(cmd, log):
    log.write(("$ " + " ".join(map(str, cmd)) + "\n").encode())
    log.flush()
    return subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT).returncode


def _compile_core(build_dir):
    """Builds only the extension module in build_dir; returns its path."""
    fd, log_path = tempfile.mkstemp(prefix="vespra-build-", suffix=".log")
    jobs = str(os.cpu_count() or 1)
    steps = [
        ["cmake", "-S", ROOT, "-B", build_dir, f"-DVESPRA_PYTHON={sys.executable}",
         "-DVESPRA_EXTENSION_ONLY=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
        ["cmake", "--build", build_dir, "--target", "_core", "-j", jobs],
    ]
    print(f"vespra: compiling the extension for {sys.executable} (log: {log_path})",
          file=sys.stderr)
    with os.fdopen(fd, "wb") as log:
        for cmd in steps:
            if _run_logged(cmd, log) != 0:
                break
        else:
            core = Path(build_dir) / "src" / "py" / ("_core" + _ext_suffix())
            if core.is_file():
                os.unlink(log_path)
                return core
    with open(log_path, errors="replace") as f:
        tail = "".join(f.readlines()[-25:])
    raise BuildError(f"compiling vespra's extension failed; the end of {log_path}:\n{tail}")


def _core_from_settings(config_settings):
    given = (config_settings or {}).get("core")
    if not given:
        return None
    core = Path(given)
    if not core.is_file():
        raise BuildError(f"core={given}: no such file")
    if not core.name.endswith(_ext_suffix()):
        raise BuildError(f"core={given} was not built for this interpreter (wants *{_ext_suffix()})")
    return core


# ---- metadata ----------------------------------------------------------------------------------


def _dist_name(project):
    return f"{project['name'].replace('-', '_')}-{project['version']}"


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"License: {project['license']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    lines.append("Description-Content-Type: text/markdown")
    readme = (ROOT / project["readme"]).read_text(encoding="utf-8")
    return ("\n".join(lines) + "\n\n" + readme).encode("utf-8")


def _entry_points(project):
    scripts = project.get("scripts", {})
    body = "".join(f"{name} = {target}\n" for name, target in scripts.items())
    return f"[console_scripts]\n{body}".encode()


# ---- archives ----------------------------------------------------------------------------------


def _record_hash(data):
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode()


class _Wheel:
    """A wheel being written: every member goes into RECORD with its hash and size."""

    def __init__(self, path, dist_info):
        self._zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self._dist_info = dist_info
        self._record = []

    def add(self, name, data, executable=False):
        self.add_unrecorded(name, data, executable)
        self._record.append(f"{name},{_record_hash(data)},{len(data)}")

    def add_unrecorded(self, name, data, executable=False):
        info = zipfile.ZipInfo(name, EPOCH)
        info.external_attr = (0o755 if executable else 0o644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, data)

    def close(self):
        record = f"{self._dist_info}/RECORD"
        self._record.append(f"{record},,")
        self.add_unrecorded(record, ("\n".join(self._record) + "\n").encode())
        self._zip.close()


def _package_files():
    """(name in the wheel, path) of the pure-Python part; the start-up hook goes to the root,
    which pip installs into site-packages, where the interpreter reads .pth files."""
    files = [(f"vespra/{p.name}", p) for p in sorted((ROOT / "python" / "vespra").glob("*.py"))]
    files.append(("vespra-startup.pth", ROOT / "python" / "vespra-startup.pth"))
    return files


def _write_wheel(wheel_directory, core):
    project = _project()
    dist = _dist_name(project)
    tag = "-".join(_wheel_tag())
    dist_info = f"{dist}.dist-info"
    name = f"{dist}-{tag}.whl"
    final = Path(wheel_directory) / name
    partial = final.with_suffix(".whl.partial")
    wheel = _Wheel(partial, dist_info)
    try:
        for arcname, path in _package_files():
            wheel.add(arcname, path.read_bytes())
        wheel.add(f"vespra/{core.name}", core.read_bytes(), executable=True)
        wheel.add(f"{dist_info}/METADATA", _metadata(project))
        wheel_file = (f"Wheel-Version: 1.0\nGenerator: vespra_build\nRoot-Is-Purelib: false\n"
                      f"Tag: {tag}\n")
        wheel.add(f"{dist_info}/WHEEL", wheel_file.encode())
        wheel.add(f"{dist_info}/entry_points.txt", _entry_points(project))
        if (ROOT / "LICENSE").is_file():
            wheel.add(f"{dist_info}/LICENSE", (ROOT / "LICENSE").read_bytes())
        wheel.close()
        os.replace(partial, final)
    except BaseException:
        partial.unlink(missing_ok=True)
        raise
    return name


def _sdist_members():
    members = [name for name in SDIST_FILES if (ROOT / name).is_file()]
    for tree in SDIST_TREES:
        for path in sorted((ROOT / tree).rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts:
                members.append(path.relative_to(ROOT).as_posix())
    return members


def _tar_add(tar, name, data, mode=0o644):
    info = tarfile.TarInfo(name)
    info.size = len(data)
    info.mode = mode
    info.mtime = 315532800  # EPOCH
    tar.addfile(info, io.BytesIO(data))


# ---- PEP 517 hooks -----------------------------------------------------------------------------


def _fail(error):
    # One clear message, not the backend's traceback: pip shows what the backend printed.
    print(f"vespra: {error}", file=sys.stderr)
    raise SystemExit(1)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    try:
        _check_interpreter()
        core = _core_from_settings(config_settings)
        if core is not None:
            return _write_wheel(wheel_directory, core)
        _check_tools()
        with tempfile.TemporaryDirectory(prefix="vespra-build-") as build_dir:
            return _write_wheel(wheel_directory, _compile_core(build_dir))
    except BuildError as error:
        _fail(error)


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    dist = _dist_name(project)
    final = Path(sdist_directory) / f"{dist}.tar.gz"
    partial = final.with_suffix(".partial")
    try:
        with tarfile.open(partial, "w:gz", format=tarfile.PAX_FORMAT) as tar:
            _tar_add(tar, f"{dist}/PKG-INFO", _metadata(project))
            for member in _sdist_members():
                path = ROOT / member
                mode = 0o755 if os.access(path, os.X_OK) else 0o644
                _tar_add(tar, f"{dist}/{member}", path.read_bytes(), mode)
        os.replace(partial, final)
    except BaseException:
        partial.unlink(missing_ok=True)
        raise
    return final.name
