"""How closely the processes of one trace line up on its common time base.

A traced parent plays ping-pong over pipes with a forked child and with an exec'd child (which
joins the trace at start-up). Every message is stamped in the trace itself, as the begin of an
empty function: the parent before it writes a ping (t1) and after it reads the pong (t4), the
child after it reads the ping (t2) and before it writes the pong (t3). As in NTP, the child's
timestamps differ from the parent's by

    offset = ((t2 - t1) + (t3 - t4)) / 2,   known to within  +- ((t4 - t1) - (t3 - t2)) / 2

(the half round trip through the pipes). The rounds run right after the child joins and again
after both have slept, to show any drift of the child's TSC calibration against the parent's.

    .venv/bin/python bench/alignment.py [--rounds N] [--sleep SECONDS]

A message that waits in a pipe (the child still starting, a process descheduled) makes the
round asymmetric and the offset wrong by up to its half round trip, so only the rounds whose
round trip is at most the median count. Prints, per child and phase, in microseconds: the median
|offset| of those rounds, the offset of the tightest round with its half round trip, and the
median half round trip.
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

PROGRAM = r"""
import os, subprocess, sys, time

def t1(): pass
def t2(): pass
def t3(): pass
def t4(): pass
def phase(name): pass

def serve(rfd, wfd, rounds, pause):
    for p in ("start", "after-sleep"):
        for _ in range(rounds):
            os.read(rfd, 1)
            t2()
            t3()
            os.write(wfd, b"o")
        if p == "start":
            time.sleep(pause)

def play(rfd, wfd, rounds, pause):
    for p in ("start", "after-sleep"):
        phase(p)
        for _ in range(rounds):
            t1()
            os.write(wfd, b"i")
            os.read(rfd, 1)
            t4()
        if p == "start":
            time.sleep(pause)

rounds, pause = int(sys.argv[2]), float(sys.argv[3])
if sys.argv[1] == "child":
    serve(int(sys.argv[4]), int(sys.argv[5]), rounds, pause)
    sys.exit()

for kind in ("fork", "exec"):
    to_child, from_parent = os.pipe()
    to_parent, from_child = os.pipe()
    if kind == "fork":
        if (pid := os.fork()) == 0:
            serve(to_child, from_child, rounds, pause)
            os._exit(0)
        wait = lambda: os.waitpid(pid, 0)
    else:
        child = subprocess.Popen([sys.executable, sys.argv[0], "child", sys.argv[2], sys.argv[3],
                                  str(to_child), str(from_child)],
                                 pass_fds=(to_child, from_child))
        wait = child.wait
    play(to_parent, from_parent, rounds, pause)
    wait()
    print(kind, pid if kind == "fork" else child.pid)
"""


def stamps(records, pid, name):
    return [r["ts"] for r in records if r["pid"] == pid and r["ph"] == "B" and r["name"] == name]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--sleep", type=float, default=2.0)
    args = parser.parse_args()
    vespra = pathlib.Path(sys.executable).parent / "vespra"
    with tempfile.TemporaryDirectory() as tmp:
        script, trace = pathlib.Path(tmp, "pingpong.py"), pathlib.Path(tmp, "t.json")
        script.write_text(PROGRAM)
        env = {k: v for k, v in os.environ.items() if not k.startswith("VESPRA_CHILD_")}
        out = subprocess.run([str(vespra), "run", "-f", "json", "-o", str(trace), str(script),
                              "parent", str(args.rounds), str(args.sleep)],
                             env=env, capture_output=True, text=True, check=True).stdout
        records = json.loads(trace.read_bytes()[:-1] + b"]")
    children = dict(line.split() for line in out.splitlines())
    [parent] = {r["pid"] for r in records if r["name"] == "play"}
    n = args.rounds
    print(f"{n} rounds per phase, microseconds:")
    print("child phase        |offset|  tightest round  half round trip")
    for kind, child in children.items():
        child = int(child)
        p1, p4 = stamps(records, parent, "t1"), stamps(records, parent, "t4")
        c2, c3 = stamps(records, child, "t2"), stamps(records, child, "t3")
        # The parent's stamps of both children, in order: this child's are the fork's first.
        first = 0 if kind == "fork" else 2 * n
        for phase, at in (("start", 0), ("after-sleep", n)):
            rows = []
            for i in range(n):
                a, d = p1[first + at + i], p4[first + at + i]
                b, c = c2[at + i], c3[at + i]
                rows.append((((b - a) + (c - d)) / 2, ((d - a) - (c - b)) / 2))
            half = statistics.median(h for _, h in rows)
            tight = [abs(o) for o, h in rows if h <= half]
            best = min(rows, key=lambda row: row[1])
            print(f"{kind:5} {phase:12} {statistics.median(tight):8.2f}"
                  f"  {best[0]:+7.2f} +- {best[1]:4.2f}  {half:8.2f}")


if __name__ == "__main__":
    main()
