#!/usr/bin/env python3
"""Deliberate faults, one at a time, and whether the tests catch each: a check that a test suite
still guards what it should (after trimming it, say).

    python3 scripts/mutate.py [--tree DIR] [--build DIR] [--only NAME,...] [--list]

For each fault: replace its exact text in the source, build only the targets of the tests that
guard it, run those tests (ctest -R), record "caught" (a test failed), "missed" (all passed) or
"no build", and put the text back. The tree is left as it was found, even when interrupted. Run
it on a tree that is already built (`make build`), against another checkout's tests with --tree.
A fault whose file has moved is looked for by its text in the whole tree.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import time

# Test areas: ctest regexes.
CORE = "core_tests"
JSON = "json_tests"
PROTO = "proto_tests"
ANALYSIS = "analysis_tests"
CLI = "cli_tests"


def py(*names):
    return [f"py_test_{n}" for n in names]


def area(*parts):
    """The names of the tests of an area: C++ test executables, and lists of Python tests."""
    return [n for part in parts for n in ([part] if isinstance(part, str) else part)]


# name, file, exact text, replacement, tests that must catch it
FAULTS = [
    # The recording core.
    ("depth off by one", "src/core/slice_filter.cc",
     "keep = ++t.depth <= depth_limit_;", "keep = ++t.depth < depth_limit_;",
     area(CORE, py("limits"))),
    ("ring drop not counted", "src/core/evqueue.cc",
     "add_dropped(batch->count);", "(void)batch;",
     area(CORE, py("ring"))),
    ("wrong clock conversion", "src/core/clock.h",
     "return offset_ + static_cast<uint64_t>(scaled);",
     "return offset_ + static_cast<uint64_t>(scaled) / 2;",
     area(CORE, py("tracer"))),
    ("idle flush lost", "src/core/pipeline.cc",
     "if (Status s = write(nullptr); !s.ok()) {",
     "if (Status s = Status::success(); !s.ok()) {",
     area(CORE, py("parts"))),
    ("span end dropped", "src/core/marks.cc",
     "if (open == t.stack.rbegin()) {\n                out.insert(out.end(), group.begin(), group.end());",
     "if (open == t.stack.rbegin()) {\n                (void)group;",
     area(CORE, py("marks"))),
    ("killed worker's torn record joined", "src/core/parts.cc",
     "if (Status st = append(fd, complete.value()); !st.ok()) return st;",
     "if (Status st = append(fd, size.value()); !st.ok()) return st;",
     area(CORE, py("parts"))),
    ("finished task's life left open", "src/core/tasks.cc",
     "out.emplace_back(t.end_ts, TASK_TRACK_BIT | t.task, t.end_word);\n        alive_.erase",
     "alive_.erase",
     area(CORE, py("tasks"))),
    # The writers.
    ("JSON escape of backslash missed", "src/json/json_text.h",
     "if (c >= 0x20 && c != '\"' && c != '\\\\') {", "if (c >= 0x20 && c != '\"') {",
     area(JSON, py("marks"))),
    ("JSON return written as a begin", "src/json/json_exporter.cc",
     '{"E\\",\\"ts\\":", "return\\"}},", 10},', '{"B\\",\\"ts\\":", "return\\"}},", 10},',
     area(JSON, py("tracer"))),
    ("JSON timestamp shifted", "src/json/json_exporter.cc",
     "p = json::put_micros(p + HEAD_LEN, e.ts);", "p = json::put_micros(p + HEAD_LEN, e.ts + 1000);",
     area(JSON, py("tracer"))),
    ("varint off by one", "src/proto/pb.h",
     "while (value >= 0x80) {\n        *out++", "while (value > 0x80) {\n        *out++",
     area(PROTO, py("tracer"))),
    ("protobuf end written as a begin", "src/proto/proto_exporter.cc",
     "*p++ = pb::TrackEvent::TYPE_SLICE_END;", "*p++ = pb::TrackEvent::TYPE_SLICE_BEGIN;",
     area(PROTO, py("tracer"))),
    ("wrong pid on thread tracks", "src/proto/proto_exporter.cc",
     "desc.thread = pb::ThreadDescriptor{static_cast<int32_t>(pid_),",
     "desc.thread = pb::ThreadDescriptor{static_cast<int32_t>(pid_ + 1),",
     area(PROTO, py("fork"))),
    # The readers.
    ("protobuf reader varint", "src/proto/proto_reader.cc",
     "v |= uint64_t{b & 0x7Fu} << shift;", "v |= uint64_t{b & 0x3Fu} << shift;",
     area(PROTO, ANALYSIS)),
    ("protobuf reader loses ends", "src/proto/proto_reader.cc",
     "if (thread != NONE) visitor_.end(thread, ts);", "(void)ts;",
     area(PROTO, ANALYSIS)),
    ("JSON reader drops the fraction", "src/json/json_reader.cc",
     "uint64_t ts = us * 1000 + frac;", "uint64_t ts = us * 1000;",
     area(ANALYSIS)),
    ("cut leaves the window's slices open", "src/analysis/cut.cc",
     "feed(handle, t, KIND_RETURN, to, Current{{}, nullptr});", "(void)to;",
     area(ANALYSIS, py("cut"))),
    ("filter: exclude ignored when included", "src/core/code_filter.cc",
     "if (!included || excluded) return false;", "if (!included && excluded) return false;",
     area(CORE, py("filter"))),
    ("filter: stdlib test inverted", "src/core/code_filter.cc",
     "if (options_.exclude_stdlib && in_stdlib(file)) return false;",
     "if (options_.exclude_stdlib && !in_stdlib(file)) return false;",
     area(CORE, py("filter"))),
    ("depth limit of 0 taken literally", "src/core/slice_filter.cc",
     "return max_depth == 0 ? std::numeric_limits<uint32_t>::max() : max_depth;",
     "return max_depth;",
     area(CORE, py("limits"))),
    # The extension.
    ("name mixed up with the file", "src/py/resolve.cc",
     'info.name = text("co_qualname").value_or("<unknown>");',
     'info.name = text("co_filename").value_or("<unknown>");',
     area(py("tracer", "locations"))),
    ("line number off by one", "src/py/resolve.cc",
     "info.line = static_cast<uint32_t>(number.value_or(0));",
     "info.line = static_cast<uint32_t>(number.value_or(0) + 1);",
     area(py("tracer", "locations"))),
    ("a mark's argument lost", "src/py/marks.cc",
     "payload.arg_name(*key);\n        payload.value(arg.value.view());",
     "if (&arg == &args.back()) continue;\n        payload.arg_name(*key);\n"
     "        payload.value(arg.value.view());",
     area(py("marks"))),
    ("open frames not begun", "src/py/resolve.cc",
     "record(*state.queue_raw, state.clock.origin(), pack_word(KIND_START, *id));",
     "(void)id;",
     area(py("tracer"))),
    ("forked child takes its parent's pid", "src/py/fork_hooks.cc",
     "start(FORK_TRACER, static_cast<uint32_t>(getpid()), true,",
     "start(FORK_TRACER, static_cast<uint32_t>(getppid()), true,",
     area(py("fork", "process_names"))),
    ("keyword-only arguments not recorded", "src/py/values.cc",
     "Py_ssize_t count = co->co_argcount + co->co_kwonlyargcount +",
     "Py_ssize_t count = co->co_argcount +",
     area(py("values"))),
]


def locate(tree, rel, old):
    """The file holding `old` exactly once: `rel`, or the one file of the tree that does."""
    path = tree / rel
    if path.is_file() and path.read_text().count(old) == 1:
        return path
    found = [p for d in ("src", "python", "backend") for p in (tree / d).rglob("*")
             if p.is_file() and p.suffix in (".cc", ".h", ".c", ".py") and old in p.read_text()]
    if len(found) != 1 or found[0].read_text().count(old) != 1:
        raise SystemExit(f"{rel}: the text is not found exactly once: {old!r}")
    return found[0]


def regex(prefix, tests):
    return "^(" + "|".join(prefix + t for t in tests) + ")$"


def targets(build, patterns):
    """The build targets of the tests `patterns` pick: the C++ tests' executables, and the
    installed package for the Python tests."""
    wanted = set()
    for pattern in patterns:
        out = subprocess.run(["ctest", "-N", "-R", pattern], cwd=build, capture_output=True,
                             text=True, check=True).stdout
        names = [line.split(":", 1)[1].strip() for line in out.splitlines() if "Test #" in line]
        if not names:
            raise SystemExit(f"no tests match {pattern}")
        wanted |= {"python_suite" if "py_test_" in n else n for n in names}
    return sorted(wanted)


def run_one(tree, build, fault, suites, jobs):
    """{suite: "caught" | "missed" | "no build"} for one fault. The C++ tests go first; the
    Python tests (and the package they need) only when those miss it."""
    name, rel, old, new, tests = fault
    path = locate(tree, rel, old)
    text = path.read_text()
    path.write_text(text.replace(old, new))
    try:
        outcome = {}
        stages = ([t for t in tests if not t.startswith("py_")],
                  [t for t in tests if t.startswith("py_")])
        for stage in filter(None, stages):
            todo = [(suite, regex(prefix, stage)) for suite, prefix in suites
                    if outcome.get(suite) != "caught"]
            if not todo:
                break
            built = subprocess.run(["cmake", "--build", build, "-j", str(jobs), "--target",
                                    *targets(build, [p for _, p in todo])], capture_output=True)
            if built.returncode != 0:
                return {suite: "no build" for suite, _ in suites}
            for suite, pattern in todo:
                ran = subprocess.run(["ctest", "-R", pattern, "--stop-on-failure", "-j",
                                      str(jobs), "--timeout", "900"], cwd=build,
                                     capture_output=True)
                outcome[suite] = "caught" if ran.returncode != 0 else "missed"
        return outcome
    finally:
        path.write_text(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    root = pathlib.Path(__file__).resolve().parents[1]
    parser.add_argument("--tree", type=pathlib.Path, default=root)
    parser.add_argument("--build", type=pathlib.Path, help="default: TREE/build")
    parser.add_argument("--suite", action="append", metavar="NAME=PREFIX",
                        help="a suite whose tests are registered under PREFIX (another checkout's "
                             "tests added to the build, say); default: the tree's own, tests=")
    parser.add_argument("--only", help="comma-separated fault names")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    tree = args.tree.resolve()
    build = (args.build or tree / "build").resolve()
    suites = [tuple(s.split("=", 1)) for s in args.suite or ["tests="]]
    chosen = [f for f in FAULTS if not args.only or f[0] in args.only.split(",")]
    if args.list:
        for f in chosen:
            print(f"{f[0]:45} {f[1]:32} {' '.join(f[4])}")
        return 0
    for fault in chosen:  # every text is found before anything is changed
        locate(tree, fault[1], fault[2])
    # A suite that fails without a fault would seem to catch every one.
    every = sorted({t for f in chosen for t in f[4]})
    for name, prefix in suites:
        start = time.monotonic()
        if subprocess.run(["ctest", "-R", regex(prefix, every), "-j", str(args.jobs),
                           "--repeat", "until-pass:2"], cwd=build,
                          capture_output=True).returncode != 0:
            raise SystemExit(f"the tests of {name} fail without a fault")
        print(f"{name}: the areas' tests pass without a fault in "
              f"{time.monotonic() - start:.0f} s (load {os.getloadavg()[0]:.1f})", flush=True)
    print(f"{'fault':45} " + " ".join(f"{name:9}" for name, _ in suites), flush=True)
    try:
        for fault in chosen:
            outcome = run_one(tree, build, fault, suites, args.jobs)
            print(f"{fault[0]:45} " + " ".join(f"{outcome[n]:9}" for n, _ in suites), flush=True)
    finally:
        # The build is left matching the restored sources.
        subprocess.run(["cmake", "--build", build, "-j", str(args.jobs)], capture_output=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
