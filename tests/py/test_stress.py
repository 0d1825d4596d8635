"""Eight threads recording at once: every event is either in the trace or in its dropped count."""

import os
import re
import tempfile
import threading
import unittest

import pbtrace
import vespra
from jsontrace import Trace, tracks

THREADS = 8


def leaf():
    pass


def work(calls, start, done, leave):
    start.wait()
    for _ in range(calls):
        leaf()
    done.wait()
    leave.wait()


class StressTest(unittest.TestCase):
    def test_every_event_is_in_the_trace_or_counted_as_dropped(self):
        # Protobuf: one million calls, two million events of `leaf`. JSON reads back slowly.
        for fmt, calls in (("protobuf", 125_000), ("json", 10_000)):
            with self.subTest(fmt=fmt), tempfile.TemporaryDirectory() as tmp:
                path = os.path.join(tmp, f"t.{fmt}")
                # The threads are still alive, mid-batch, when the run stops: their last events
                # reach the trace only through the stop's flush of every thread's partial batch.
                start, done, leave = (threading.Event(), threading.Barrier(THREADS + 1),
                                      threading.Event())
                threads = [threading.Thread(target=work, args=(calls, start, done, leave),
                                            name=f"stress-{i}") for i in range(THREADS)]
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
                dropped = Trace(path).dropped if fmt == "json" else sum(
                    int(re.fullmatch(r"vespra: (\d+) events dropped", name)[1])
                    for track in pbtrace.slices(path).values()
                    for _, phase, name in track.events if phase == "I")
                phases = {name: [e[1:] for e in events] for name, events in tracks(path).values()}
                begins, ends, events = zip(*(
                    (p.count(("B", "leaf")), p.count(("E", "leaf")), len(p))
                    for p in (phases[f"stress-{i}"] for i in range(THREADS))))
                self.assertLessEqual(max(begins), calls)
                self.assertLessEqual(THREADS * calls - sum(begins), dropped)
                self.assertGreaterEqual(sum(events) + dropped, 2 * THREADS * calls)
                if dropped == 0:
                    self.assertEqual(begins + ends, (calls,) * 2 * THREADS)


if __name__ == "__main__":
    unittest.main()
