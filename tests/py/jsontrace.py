"""A small reader of vespra's JSON traces, for the tests, and the threads' slices of a trace of
either format (tracks) with the check that they nest (nesting)."""

import collections
import json


def read_records(path):
    """The records of a finished trace (an array), or of one still written or left by a killed
    process: "[" and records that each end in ","."""
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"[") and data.endswith(b"]"):
        return json.loads(data)
    if not data.startswith(b"[") or (len(data) > 1 and not data.endswith(b",")):
        raise ValueError("a JSON trace is an array, or '[' and records that each end in ','")
    return json.loads(data[:-1] + b"]" if len(data) > 1 else b"[]")


class Trace:
    """The records of one JSON trace, sorted out: events {(pid, tid): [duration record]} in file
    order, thread_names {(pid, tid): name}, process_names {pid: the last name}, dropped (the sum
    of the dropped-events counts) and left_out {(pid, reason): count} of the events the tracer's
    options left out. Any other record than these and instants and counters raises ValueError."""

    def __init__(self, path):
        self.records = read_records(path)
        self.events = collections.defaultdict(list)
        self.thread_names, self.process_names = {}, {}
        self.dropped, self.left_out = 0, collections.Counter()
        for r in self.records:
            meta = r["name"] if r["ph"] == "M" else None
            if r["ph"] in ("B", "E"):
                self.events[(r["pid"], r["tid"])].append(r)
            elif meta == "thread_name":
                self.thread_names[(r["pid"], r["tid"])] = r["args"]["name"]
            elif meta == "process_name":
                self.process_names[r["pid"]] = r["args"]["name"]
            elif meta == "vespra_dropped_events":
                self.dropped += r["args"]["count"]
            elif meta == "vespra_left_out_events":
                self.left_out[(r["pid"], r["args"]["reason"])] += r["args"]["count"]
            elif r["ph"] not in ("i", "C"):
                raise ValueError(f"unexpected record {r!r}")

    def kinds(self, name, key=None):
        """The "kind" texts of every event of the function `name` (co_qualname), in order."""
        keys = [key] if key else list(self.events)
        return [r["args"]["kind"] for k in keys for r in self.events[k] if r["name"] == name]

    def by_name(self, name):
        return [r for evs in self.events.values() for r in evs if r["name"] == name]


def tracks(path):
    """{(pid, tid): (thread name, [(ts in ns, "B" | "E", name), ...])} of a trace of either
    format, told by its first byte; a protobuf trace's asyncio tasks are keyed (pid, task name).
    A protobuf end carries the name of the slice it closes (None when nothing is open)."""
    with open(path, "rb") as f:
        if f.read(1) == b"[":
            t = Trace(path)
            return {k: (t.thread_names.get(k), [(round(r["ts"] * 1000), r["ph"], r["name"])
                                                for r in evs]) for k, evs in t.events.items()}
    import pbtrace
    return {k: (t.name, [e for e in t.events if e[1] != "I"])
            for k, t in pbtrace.slices(path).items() if k[1] is not None}


def with_args(path, key):
    """[(phase, name, args)] of the begins, ends and instants ("I") of the track `key` of a
    trace of either format, in file order."""
    with open(path, "rb") as f:
        if f.read(1) == b"[":
            return [(r["ph"].upper(), r["name"], r.get("args", {})) for r in read_records(path)
                    if (r.get("pid"), r.get("tid")) == key and r["ph"] in "BEi"]
    import pbtrace
    t = pbtrace.slices(path)[key]
    return [(ph, name, a) for (_, ph, name), a in zip(t.events, t.args)]


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
