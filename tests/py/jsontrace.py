"""A small reader of vespra's JSON traces, for the tests, and the threads' slices of a trace of
either format (tracks) with the check that they nest (nesting).

A finished trace is a JSON array. One that processes still write (or that a killed process
left unfinished) is "[" followed by records that each end in ",": reading it back is then check
the "[", drop the last ",", close the array, parse.
"""

import collections
import json


def read_records(path):
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"[") and data.endswith(b"]"):
        return json.loads(data)
    if not data.startswith(b"[") or (len(data) > 1 and not data.endswith(b",")):
        raise ValueError("a JSON trace is an array, or '[' and records that each end in ','")
    return json.loads(data[:-1] + b"]" if len(data) > 1 else b"[]")


class Trace:
    """The records of one JSON trace, sorted out.

    events:        {(pid, tid): [record, ...]} duration records in file order
    thread_names:  {(pid, tid): name}
    process_names: {pid: name}, the last a process was given
    dropped:       sum of the dropped-events counts (0 when none was recorded)
    marks:         instant and counter records, in file order
    left_out:      {(pid, reason): count} of the events the tracer's options left out
    """

    def __init__(self, path):
        self.records = read_records(path)
        self.events = collections.defaultdict(list)
        self.thread_names = {}
        self.process_names = {}
        self.dropped = 0
        self.marks = []
        self.left_out = collections.Counter()
        for r in self.records:
            if r["ph"] in ("B", "E"):
                self.events[(r["pid"], r["tid"])].append(r)
            elif r["ph"] == "M" and r["name"] == "thread_name":
                self.thread_names[(r["pid"], r["tid"])] = r["args"]["name"]
            elif r["ph"] == "M" and r["name"] == "process_name":
                self.process_names[r["pid"]] = r["args"]["name"]
            elif r["ph"] == "M" and r["name"] == "vespra_dropped_events":
                self.dropped += r["args"]["count"]
            elif r["ph"] in ("i", "C"):
                self.marks.append(r)
            elif r["ph"] == "M" and r["name"] == "vespra_left_out_events":
                self.left_out[(r["pid"], r["args"]["reason"])] += r["args"]["count"]
            else:
                raise ValueError(f"unexpected record {r!r}")

    def kinds(self, name, key=None):
        """The "kind" texts of every event of the function `name` (co_qualname), in order."""
        keys = [key] if key else list(self.events)
        return [r["args"]["kind"] for k in keys for r in self.events[k] if r["name"] == name]

    def by_name(self, name):
        return [r for evs in self.events.values() for r in evs if r["name"] == name]


def tracks(path):
    """{(pid, tid): (thread name, [(ts in ns, "B" | "E", name), ...])} of a trace of either
    format, told by its first byte. A protobuf end carries the name of the slice it closes (None
    when nothing is open); its instants are left out."""
    with open(path, "rb") as f:
        if f.read(1) == b"[":
            t = Trace(path)
            return {k: (t.thread_names.get(k), [(round(r["ts"] * 1000), r["ph"], r["name"])
                                                for r in evs]) for k, evs in t.events.items()}
    import pbtrace
    return {k: (t.name, [e for e in t.events if e[1] != "I"])
            for k, t in pbtrace.slices(path).items() if k[1] is not None}


def nesting(events):
    """(the first end that does not close the innermost open call, or None; the names left open)
    of (ts, phase, name) or (phase, name) events."""
    stack = []
    for *_, phase, name in events:
        if phase == "B":
            stack.append(name)
        elif not stack or stack.pop() != name:
            return f"end of {name} does not close the innermost open call", stack
    return None, stack
