"""The overhead benchmark's own parts: the floor module, the trace counter and the driver's
arithmetic. A benchmark whose floor is not the floor, or whose counts are wrong, reports
wrong ratios without any sign of it."""

import os
import sys
import tempfile
import threading
import time
import unittest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench")
sys.path.insert(0, BENCH)

import _vespra_floor  # noqa: E402
import _vespra_tracecount as tracecount  # noqa: E402
import callgrind  # noqa: E402
import overhead  # noqa: E402
import workloads  # noqa: E402

try:
    import vespra
except ImportError:  # the benchmark runs without vespra too
    vespra = None

MON = sys.monitoring
SIX = ("PY_START", "PY_RETURN", "PY_YIELD", "PY_RESUME", "PY_UNWIND", "PY_THROW")


def _gen_with_throw():
    def g():
        try:
            yield 1
        except KeyError:
            yield 2

    it = g()
    first = next(it)
    second = it.throw(KeyError())
    return first + second


class FloorTest(unittest.TestCase):
    def tearDown(self):
        if MON.get_tool(MON.PROFILER_ID) == "vespra-floor":
            _vespra_floor.disable()

    def test_registers_exactly_the_six_events_and_frees_the_slot(self):
        self.assertFalse(sys._is_gil_enabled())
        _vespra_floor.enable()
        self.assertEqual(MON.get_tool(MON.PROFILER_ID), "vespra-floor")
        expected = 0
        for name in SIX:
            expected |= getattr(MON.events, name)
        self.assertEqual(MON.get_events(MON.PROFILER_ID), expected)
        # Programs behave the same with the callbacks in place, on every thread.
        results = []
        t = threading.Thread(target=lambda: results.append(workloads.generators(1000)))
        t.start()
        t.join()
        self.assertEqual(_gen_with_throw(), 3)
        with self.assertRaises(ZeroDivisionError):
            (lambda: 1 / 0)()
        _vespra_floor.disable()
        self.assertEqual(results, [workloads.generators(1000)])
        self.assertIsNone(MON.get_tool(MON.PROFILER_ID))
        self.assertEqual(MON.get_events(MON.PROFILER_ID), 0)
        for name in SIX:  # nothing left registered
            self.assertIsNone(MON.register_callback(MON.PROFILER_ID, getattr(MON.events, name),
                                                    None))
        self.assertFalse(sys._is_gil_enabled())

    def test_refuses_a_taken_slot_and_unbalanced_calls(self):
        MON.use_tool_id(MON.PROFILER_ID, "someone-else")
        try:
            with self.assertRaisesRegex(ValueError, "already in use"):
                _vespra_floor.enable()
            self.assertEqual(MON.get_tool(MON.PROFILER_ID), "someone-else")
            with self.assertRaisesRegex(RuntimeError, "not enabled"):
                _vespra_floor.disable()
        finally:
            MON.free_tool_id(MON.PROFILER_ID)
        # Another tool id may be named; enabling twice is refused without side effects.
        _vespra_floor.enable(MON.OPTIMIZER_ID)
        try:
            with self.assertRaisesRegex(RuntimeError, "already enabled"):
                _vespra_floor.enable()
            self.assertIsNone(MON.get_tool(MON.PROFILER_ID))
        finally:
            _vespra_floor.disable()
        self.assertIsNone(MON.get_tool(MON.OPTIMIZER_ID))


def _varint(v):
    out = bytearray()
    while True:
        byte, v = v & 0x7F, v >> 7
        out.append(byte | (0x80 if v else 0))
        if not v:
            return bytes(out)


def _frame(packet):
    return b"\x0a" + _varint(len(packet)) + packet


def _field(number, payload):
    return _varint(number << 3 | 2) + _varint(len(payload)) + payload


class TraceCountTest(unittest.TestCase):
    # A begin (sequence 2, name iid 1, at 1,000 ns) and an end (at 1,500 ns), byte for byte as
    # the writer frames them.
    BEGIN = bytes.fromhex("0a0f40e80750026802 5a06480118015001".replace(" ", ""))
    END = bytes.fromhex("0a0b40dc0b500268025a024802")

    def dropped_packet(self, n, name=None):
        event = (b"\x48\x03" + _field(22, b"py") + _field(22, b"dropped")
                 + _field(23, (name or f"vespra: {n} events dropped").encode()))
        return _frame(b"\x40\x00\x50\x01" + _field(11, event))

    def test_protobuf_counts_slices_and_reported_losses(self):
        descriptor = _frame(b"\x40\x00\x50\x01" + _field(60, _field(2, b"python:1")
                                                         + _field(3, b"\x08\x01")) + b"\x68\x01")
        # A fixed64 and a fixed32 field are skipped, not misread.
        odd = _frame(b"\x09" + bytes(8) + b"\x15" + bytes(4))
        stream = (descriptor + odd + self.BEGIN * 3 + self.END * 2 + self.dropped_packet(7)
                  + self.dropped_packet(5) + self.dropped_packet(0, "vespra: x events dropped"))
        self.assertEqual(tracecount.protobuf(stream), (10, 3, 2, 12))
        self.assertEqual(tracecount.protobuf(b""), (0, 0, 0, 0))

    def test_protobuf_rejects_cut_and_foreign_streams(self):
        with self.assertRaisesRegex(ValueError, "offset 17"):
            tracecount.protobuf(self.BEGIN + self.END[:-1])
        with self.assertRaisesRegex(ValueError, "offset 0"):
            tracecount.protobuf(b"[{}]")
        with self.assertRaises(ValueError):  # length inside a packet runs past its end
            tracecount.protobuf(_frame(b"\x5a\x09\x48\x01"))

    def test_json_counts_records_outside_strings(self):
        tricky = '{"name":"f\\"ph\\":\\"B\\"}{","cat":"py","ph":"E","ts":1.000,"pid":1,"tid":2,' \
                 '"args":{"file":"a}.py","line":3,"kind":"return"}},'
        begin = '{"name":"g","cat":"py","ph":"B","ts":0.500,"pid":1,"tid":2,' \
                '"args":{"file":"a.py","line":1,"kind":"start"}},'
        meta = '{"args":{"name":"MainThread"},"name":"thread_name","ph":"M","pid":1,"tid":2},'
        drop = '{"args":{"count":%d},"name":"vespra_dropped_events","ph":"M","pid":1,"tid":0},'
        text = "[" + begin * 4 + tricky + meta + drop % 1024 + drop % 3
        self.assertEqual(tracecount.json(text.encode()), (8, 4, 1, 1027))
        self.assertEqual(tracecount.json(b"["), (0, 0, 0, 0))
        for bad in (b"", b"{}", b'[{"a":1', b'[{"a":"}'):
            with self.assertRaises(ValueError, msg=bad):
                tracecount.json(bad)

    @unittest.skipIf(vespra is None, "vespra is not built")
    def test_counts_a_real_trace_and_finds_the_vespra_threads(self):
        def leaf():
            return 1

        for fmt in ("json", "protobuf"):
            with tempfile.TemporaryDirectory() as d, self.subTest(fmt=fmt):
                path = os.path.join(d, "t")
                with vespra.Tracer(path, fmt):
                    pass
                # Leaving the tracer runs a little Python code of its own.
                own, _ = overhead.count_trace(path, fmt)
                with vespra.Tracer(path, fmt):
                    for _ in range(1000):
                        leaf()
                # 1000 starts and returns of leaf; nothing else runs in between.
                self.assertEqual(overhead.count_trace(path, fmt), (own + 2000, 0))

                with vespra.Tracer(path, fmt):
                    before = overhead.helper_thread_cpu()
                    # The serializer names itself once it runs.
                    deadline = time.monotonic() + 10
                    while True:
                        after = overhead.helper_thread_cpu()
                        names = {name for name, _ in after.values()}
                        if "vespra-serializ" in names or time.monotonic() > deadline:
                            break
                        time.sleep(0.01)
                used = overhead.helper_cpu_by_name(before, after)
                self.assertEqual(set(used), {"vespra-exporter", "vespra-serializ"})
                self.assertTrue(all(ns >= 0 for ns in used.values()), used)


class DriverTest(unittest.TestCase):
    def test_every_mode_does_the_same_work(self):
        modes = [m for m in overhead.MODES if vespra is not None or m not in overhead.VESPRA_MODES]
        with tempfile.TemporaryDirectory() as d:
            for name in workloads.WORKLOADS:
                sums = {m: overhead.run_once(name, m, 8, d, False)["checksum"] for m in modes
                        if (name, m) not in overhead.UNSUPPORTED}
                self.assertEqual(len(set(sums.values())), 1, (name, sums))
                if vespra is not None:
                    self.assertEqual(os.listdir(d), [])  # traces are removed after reading

    def test_ratios_and_per_event_cost(self):
        def s(wall, cpu, **extra):
            return {"wall_s": wall, "program_cpu_ns": cpu, **extra}

        summary = {"w": {"untraced": s(1.0, 1e9), "floor": s(1.5, 1.4e9),
                         "json": s(2.0, 2.2e9, events=900, dropped=100),
                         "protobuf": s(1.6, 1.5e9, events=1000, dropped=0)}}
        overhead.derive(summary)
        by = summary["w"]
        self.assertAlmostEqual(by["json"]["x_floor"], 2.0)
        self.assertAlmostEqual(by["json"]["x_floor_cpu"], 3.0)
        self.assertAlmostEqual(by["protobuf"]["x_floor"], 1.2)
        self.assertAlmostEqual(by["floor"]["ns_per_event"], 0.5e6)  # 0.5 s over 1000 events
        self.assertAlmostEqual(by["json"]["events_per_s"], 450)
        self.assertNotIn("events_per_s", by["floor"])

    def test_callgrind_subtracts_the_empty_run_per_thread(self):
        def run(main, *others):
            return {"threads": {1: main, **{i + 2: v for i, v in enumerate(others)}}}

        rows = callgrind.per_event({"untraced": (run(100), run(1100)),
                                    "floor": (run(100), run(1600)),
                                    "protobuf": (run(120, 10, 5), run(1720, 60, 55))}, 10)
        self.assertEqual(rows["untraced"], {"main": 100, "others": 0, "total": 100, "added": 0})
        self.assertEqual(rows["floor"]["added"], 50)
        self.assertEqual(rows["protobuf"], {"main": 160, "others": 10, "total": 170,
                                            "added": 70})


if __name__ == "__main__":
    unittest.main()
