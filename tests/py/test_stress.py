"""Many threads recording at once: every event is either in the trace or in its dropped count,
and a trace written under load is well formed."""

import collections
import os
import pathlib
import re
import tempfile
import threading
import unittest

import pbtrace
import vespra
from jsontrace import Trace

THREADS = 8


def leaf():
    pass


def work(calls, start, done, leave):
    start.wait()
    for _ in range(calls):
        leaf()
    done.wait()
    leave.wait()


def run_workload(path, fmt, calls):
    # The threads are still alive, mid-batch, when the run stops: their last events reach the
    # trace only through the stop's flush of every thread's partial batch.
    start = threading.Event()
    done = threading.Barrier(THREADS + 1)
    leave = threading.Event()
    threads = [threading.Thread(target=work, args=(calls, start, done, leave),
                                name=f"stress-{i}")
               for i in range(THREADS)]
    try:
        with vespra.Tracer(path, fmt):
            for th in threads:
                th.start()
            start.set()
            done.wait()
    finally:
        leave.set()
        for th in threads:
            th.join()
    return {th.name: th.native_id & 0xFFFFFFFF for th in threads}


def scan_protobuf(path):
    """Per thread name, the begins of each function, plus the dropped count. A fast pass over the
    packets: only the packets that are not plain events go through the full reader, and each
    distinct event (its bytes after the timestamp) is decoded once."""
    data = pathlib.Path(path).read_bytes()
    seq_thread = {}
    names = {}
    decoded = {}
    begins = collections.defaultdict(collections.Counter)
    events = collections.Counter()
    dropped = 0
    pos, end = 0, len(data)
    while pos < end:
        if data[pos] != 0x0A:
            raise ValueError(f"not a packet at byte {pos}")
        pos += 1
        length = shift = 0
        while True:
            b = data[pos]
            pos += 1
            length |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                break
        body = data[pos:pos + length]
        pos += length
        rest = body
        if body[:1] == b"\x40":  # the timestamp comes first; skip its varint
            i = 1
            while body[i] & 0x80:
                i += 1
            rest = body[i + 1:]
        packet = decoded.get(rest)
        if packet is None:
            packet = pbtrace.decode(b"\x0a" + _varint(len(rest)) + rest)[0]
            if "track_event" in packet and len(packet) <= 3:
                decoded[rest] = packet
        seq = packet.get("trusted_packet_sequence_id")
        for entry in packet.get("interned_data", {}).get("event_names", []):
            names[(seq, entry["iid"])] = entry["name"]
        thread = packet.get("track_descriptor", {}).get("thread")
        if thread:
            seq_thread[seq] = thread.get("thread_name")
        ev = packet.get("track_event")
        if ev is None:
            continue
        if ev.get("type") == 3:
            dropped += int(re.fullmatch(r"vespra: (\d+) events dropped", ev["name"]).group(1))
            continue
        events[seq] += 1
        if ev.get("type") == 1:
            begins[seq][names[(seq, ev["name_iid"])]] += 1
    by_thread = {seq_thread.get(seq): counts for seq, counts in begins.items()}
    return by_thread, sum(events.values()), dropped


def _varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


class StressTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = pathlib.Path(tmp.name)

    def check_counts(self, begins_by_thread, dropped, calls):
        leaf_begins = {name: begins_by_thread.get(name, {}).get("leaf", 0)
                       for name in (f"stress-{i}" for i in range(THREADS))}
        for name, n in leaf_begins.items():
            self.assertLessEqual(n, calls, name)
        missing = THREADS * calls - sum(leaf_begins.values())
        # Loss is counted: every begin that is not in the trace is among the dropped events.
        self.assertLessEqual(missing, dropped)
        if dropped == 0:
            self.assertEqual(set(leaf_begins.values()), {calls})

    def test_protobuf_under_eight_recording_threads(self):
        calls = 125_000  # one million calls, two million events of `leaf`
        path = str(self.dir / "t.pb")
        run_workload(path, "protobuf", calls)
        begins, total, dropped = scan_protobuf(path)
        self.check_counts(begins, dropped, calls)
        self.assertGreaterEqual(total + dropped, 2 * THREADS * calls)

    def test_json_under_eight_recording_threads(self):
        calls = 10_000
        path = str(self.dir / "t.json")
        tids = run_workload(path, "json", calls)
        t = Trace(path)
        begins = {}
        for name, tid in tids.items():
            key = (os.getpid(), tid)
            self.assertEqual(t.thread_names.get(key), name)
            begins[name] = collections.Counter(r["name"] for r in t.events[key] if r["ph"] == "B")
            if t.dropped == 0:
                kinds = collections.Counter(t.kinds("leaf", key))
                self.assertEqual(kinds, {"start": calls, "return": calls})
        self.check_counts(begins, t.dropped, calls)


if __name__ == "__main__":
    unittest.main()
