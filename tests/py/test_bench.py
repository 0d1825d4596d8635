"""The overhead benchmark's yardsticks: a floor that is not the floor, or a trace counter that
miscounts, makes every ratio wrong without any sign of it."""

import os
import pathlib
import sys
import sysconfig
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))

import _vespra_floor  # noqa: E402
import _vespra_tracecount as tracecount  # noqa: E402
import overhead  # noqa: E402
import pbtrace  # noqa: E402
import vespra  # noqa: E402
from jsontrace import Trace, tracks  # noqa: E402

MON = sys.monitoring
SIX = [getattr(MON.events, e) for e in
       ("PY_START", "PY_RETURN", "PY_YIELD", "PY_RESUME", "PY_UNWIND", "PY_THROW")]


def workload():
    def gen():
        yield from range(3)

    def tricky():  # its name closes a string and a record and opens others
        pass

    tricky.__code__ = tricky.__code__.replace(co_qualname='t"},{"ph":"B","x":"[{')
    for _ in range(500):
        sum(gen())
        tricky()


class BenchTest(unittest.TestCase):
    def test_the_floor_and_the_bare_recorders_register_exactly_the_six_events_and_free_the_slot(self):
        # Importing it left the GIL as the build has it: off on the free-threaded one.
        self.assertEqual(sys._is_gil_enabled(), not sysconfig.get_config_var("Py_GIL_DISABLED"))
        for clock in (None, "monotonic", "tsc"):
            with self.subTest(clock=clock):
                _vespra_floor.enable(None, clock)
                try:
                    self.assertEqual(MON.get_tool(MON.PROFILER_ID), "vespra-floor")
                    self.assertEqual(MON.get_events(MON.PROFILER_ID), sum(SIX))
                    for event in SIX:  # a callback per event that never switches it off
                        callback = MON.register_callback(MON.PROFILER_ID, event, None)
                        MON.register_callback(MON.PROFILER_ID, event, callback)
                        self.assertIsNotNone(callback, event)
                        for _ in range(3000):  # round the ring more than twice
                            result = callback(workload.__code__, 0, None)
                        self.assertIsNot(result, MON.DISABLE, event)
                    workload()
                finally:
                    _vespra_floor.disable()
                self.assertIsNone(MON.get_tool(MON.PROFILER_ID))
                self.assertEqual(MON.get_events(MON.PROFILER_ID), 0)
                for event in SIX:
                    self.assertIsNone(MON.register_callback(MON.PROFILER_ID, event, None), event)
        with self.assertRaises(ValueError):
            _vespra_floor.enable(None, "sundial")
        self.assertIsNone(MON.get_tool(MON.PROFILER_ID))

    def test_trace_counts_agree_with_a_real_trace_in_both_formats(self):
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt):
                path = os.path.join(self.enterContext(tempfile.TemporaryDirectory()), "t")
                with vespra.Tracer(path, fmt):
                    workload()
                records = Trace(path).records if fmt == "json" else pbtrace.read_packets(path)
                phases = [ph for _, events in tracks(path).values() for _, ph, _ in events]
                begins, ends = phases.count("B"), phases.count("E")
                self.assertGreater(begins, 2500)  # the workload's calls and resumptions
                data = pathlib.Path(path).read_bytes()
                self.assertEqual(getattr(tracecount, fmt)(data), (len(records), begins, ends, 0))
                self.assertEqual(overhead.count_trace(path, fmt), (begins + ends, 0))
                with self.assertRaises(ValueError):  # a cut file is an error, not a short count
                    getattr(tracecount, fmt)(data[:-3])


if __name__ == "__main__":
    unittest.main()
