"""asyncio tasks as tracks of their own: a program of known shape, traced in both formats."""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import unittest

import pbtrace
from jsontrace import Trace
import perfetto
from test_marks import track_events

FORMATS = ("json", "protobuf")

# Every kind of task the tracks have to follow: a gather (TaskGroup) of tasks with known sleeps
# that await a coroutine of their own, a task that creates a task, a cancelled task, one that
# raises, one that consumes an async generator, and a coroutine driven by hand (no task).
PROGRAM = textwrap.dedent("""
    import asyncio
    import os
    import vespra

    if os.environ.get("PY_TASKS"):  # asyncio's Python Task in place of its C one
        asyncio.tasks.Task = asyncio.tasks._PyTask
        # with the Python bookkeeping of the running task, as where the C module is missing
        # (3.14 keeps the C one's in the thread's state, which the Python Task never sets)
        asyncio.current_task = asyncio.tasks.current_task = asyncio.tasks._py_current_task

    async def inner():
        await asyncio.sleep(0.02)

    async def handler(i):
        await asyncio.sleep(0.05)
        await inner()
        with vespra.span("work"):
            return i

    async def child():
        await asyncio.sleep(0.01)

    async def parent():
        await asyncio.create_task(child(), name="kid")

    async def doomed():
        await asyncio.sleep(10)

    async def raises():
        await asyncio.sleep(0.01)
        raise ValueError("expected")

    async def ticks():
        for i in range(2):
            yield i
            await asyncio.sleep(0)

    async def consumer():
        async for _ in ticks():
            pass

    async def by_hand():
        return 1

    async def main():
        victim = asyncio.create_task(doomed(), name="doomed")
        async with asyncio.TaskGroup() as group:
            for i in range(3):
                group.create_task(handler(i), name=f"h{i}")
        await asyncio.create_task(parent(), name="parent")
        try:
            await asyncio.create_task(raises(), name="raiser")
        except ValueError:
            pass
        await asyncio.create_task(consumer(), name="consumer")
        victim.cancel()
        try:
            await victim
        except asyncio.CancelledError:
            pass

    try:
        by_hand().send(None)
    except StopIteration:
        pass
    asyncio.run(main())
""")

B, E = "B", "E"
# A step of consumer that takes an item and then waits inside the async generator.
TWO_ITEMS = [(B, "consumer"), (B, "ticks"), (E, "ticks"), (B, "ticks"), (E, "ticks"),
             (E, "consumer")]
STEP3 = [(B, "handler"), (B, "inner"), (E, "inner"), (B, "work"), (E, "work"), (E, "handler")]
# Each task's track with the standard library left out: the life slice around the steps.
EXPECTED = {
    "h0 (handler)": [(B, "handler"), (B, "handler"), (E, "handler"),
                     (B, "handler"), (B, "inner"), (E, "inner"), (E, "handler"),
                     *STEP3, (E, "handler")],
    "kid (child)": [(B, "child"), (B, "child"), (E, "child"), (B, "child"), (E, "child"),
                    (E, "child")],
    "parent (parent)": [(B, "parent"), (B, "parent"), (E, "parent"), (B, "parent"),
                        (E, "parent"), (E, "parent")],
    "raiser (raises)": [(B, "raises"), (B, "raises"), (E, "raises"), (B, "raises"),
                        (E, "raises"), (E, "raises")],
    "doomed (doomed)": [(B, "doomed"), (B, "doomed"), (E, "doomed"), (B, "doomed"),
                        (E, "doomed"), (E, "doomed")],
    "consumer (consumer)": [(B, "consumer"), *TWO_ITEMS, *TWO_ITEMS,
                            (B, "consumer"), (B, "ticks"), (E, "ticks"), (E, "consumer"),
                            (E, "consumer")],
}
VESPRA = [sys.executable, "-m", "vespra"]


class Tasks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.script = pathlib.Path(cls.dir.name) / "tasks.py"
        cls.script.write_text(PROGRAM)
        cls.traces = {}
        runs = [(fmt, filtered, False) for fmt in FORMATS for filtered in (False, True)]
        for fmt, filtered, py_tasks in runs + [("protobuf", True, True)]:
            path = pathlib.Path(cls.dir.name) / f"{fmt}{filtered:d}{py_tasks:d}.trace"
            options = ("--exclude-stdlib",) if filtered else ()
            env = None
            if py_tasks:  # and exceptions: the raising task's end carries its type
                options, env = (*options, "--exceptions"), {**os.environ, "PY_TASKS": "1"}
            subprocess.run([*VESPRA, "run", "-q", "-f", fmt, "-o", str(path), *options,
                            str(cls.script)], check=True, timeout=300, env=env)
            cls.traces[fmt, filtered, py_tasks] = path

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def tracks(self, fmt, filtered, py_tasks=False):
        """{name: [(ph, name), ...]} of the tasks' tracks, and the thread's events."""
        path = self.traces[fmt, filtered, py_tasks]
        events = track_events(path)
        if fmt == "json":
            names = Trace(path).thread_names
            tasks = {names[key]: ev for key, ev in events.items() if key[1] >= 1 << 30}
            thread = [ev for key, ev in events.items() if key[1] < 1 << 30]
        else:
            tasks = {key[1]: ev for key, ev in events.items() if isinstance(key[1], str)}
            thread = [ev for key, ev in events.items() if isinstance(key[1], int)]
        self.assertEqual(len(thread), 1)
        return tasks, thread[0]

    def test_task_tracks_hold_each_step_inside_the_life_slice(self):
        for fmt, py_tasks in [(fmt, False) for fmt in FORMATS] + [("protobuf", True)]:
            with self.subTest(fmt=fmt, py_tasks=py_tasks):
                tasks, thread = self.tracks(fmt, True, py_tasks)
                for name, expected in EXPECTED.items():
                    self.assertEqual(tasks[name], expected, name)
                self.assertEqual({n for n in tasks if n.endswith("(handler)")},
                                 {"h0 (handler)", "h1 (handler)", "h2 (handler)"})
                # The thread keeps one slice per step, named after the task, and the hand-driven
                # coroutine as today; no coroutine of a task is written there too.
                names = {name for _, name in thread}
                self.assertIn("by_hand", names)
                self.assertIn("h1 (handler)", names)
                self.assertFalse(names & {"handler", "inner", "work", "child", "ticks", "doomed"})
                self.assertEqual(sum(1 for ph, n in thread if (ph, n) == (B, "h2 (handler)")), 3)

    def test_thread_keeps_the_loops_frames_around_the_steps(self):
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                tasks, thread = self.tracks(fmt, False)
                stack, parents = [], set()
                for ph, name in thread:
                    if ph == B:
                        if name == "h0 (handler)":
                            parents.add(stack[-1])
                        stack.append(name)
                    else:
                        stack.pop()
                self.assertEqual(parents, {"Handle._run"})
                # asyncio.sleep runs inside the steps: on the task's track.
                self.assertIn((B, "sleep"), tasks["h0 (handler)"])

    def test_life_slices_last_as_long_as_their_sleeps(self):
        path = self.traces["protobuf", True, False]
        for key, track in pbtrace.slices(path).items():
            if key[1] not in ("h0 (handler)", "doomed (doomed)", "kid (child)"):
                continue
            begin, end = track.events[0][0], track.events[-1][0]
            # At least the sleeps; the upper bound only catches a slice that never ended.
            low = {"h0 (handler)": 0.07, "kid (child)": 0.01, "doomed (doomed)": 0.07}[key[1]]
            self.assertGreaterEqual(end - begin, low * 1e9, key[1])
            self.assertLess(end - begin, 60e9, key[1])

    def test_summary_counts_tasks_running_and_wall_time(self):
        for fmt in FORMATS:
            with self.subTest(fmt=fmt):
                out = subprocess.run([*VESPRA, "summary", "--json",
                                      str(self.traces[fmt, True, False])],
                                     capture_output=True, text=True, check=True).stdout
                summary = json.loads(out)
                rows = {r["function"]: r for r in summary["tasks"]}
                handler = rows["handler"]
                self.assertEqual((handler["tasks"], handler["waits"]), (3, 6))
                self.assertGreaterEqual(handler["wall_ns"], 3 * 0.07e9)
                self.assertLess(handler["running_ns"], handler["wall_ns"])
                self.assertEqual(rows["consumer"]["waits"], 2)
                # A call is a call: handler's row counts its three tasks, not its nine steps,
                # and inner, awaited over two steps of each, one call per handler.
                calls = {r["function"]: r["calls"] for t in summary["tables"] for r in t["rows"]}
                self.assertEqual((calls["handler"], calls["inner"]), (3, 3))

    def test_loops_on_several_threads_with_the_ring_and_values(self):
        # Two event loops at once on two threads (in parallel on the free-threaded build), the
        # flight ring, and the values of the tasks' coroutines: each task its own track, its
        # life around its three steps, nothing left open.
        script = pathlib.Path(self.dir.name) / "loops.py"
        script.write_text(textwrap.dedent("""
            import asyncio, threading

            async def work(i):
                await asyncio.sleep(0.01)
                await asyncio.sleep(0)
                return i

            async def main(tag):
                await asyncio.gather(*(asyncio.create_task(work(i), name=f"{tag}{i}")
                                       for i in range(2)))

            loops = [threading.Thread(target=asyncio.run, args=(main(t),)) for t in "ab"]
            for t in loops:
                t.start()
            for t in loops:
                t.join()
        """))
        path = pathlib.Path(self.dir.name) / "loops.pb"
        subprocess.run([*VESPRA, "run", "-q", "-o", str(path), "--exclude-stdlib", "--ring",
                        "8MB", "--args", str(script), "--returns", str(script), str(script)],
                       check=True, timeout=300)
        tasks = {key[1]: [(ph, name) for _, ph, name in t.events if ph != "I"]
                 for key, t in pbtrace.slices(path).items() if isinstance(key[1], str)}
        self.assertEqual(sorted(n for n in tasks if n.endswith("(work)")),
                         ["a0 (work)", "a1 (work)", "b0 (work)", "b1 (work)"])
        for name in ("a0 (work)", "b1 (work)"):
            self.assertEqual(tasks[name], [(B, "work"), *[(B, "work"), (E, "work")] * 3,
                                           (E, "work")], name)
        if perfetto.SHELL is not None:
            self.assertEqual(perfetto.faults(path), {})

    @unittest.skipIf(perfetto.SHELL is None, perfetto.MISSING)
    def test_trace_processor_shows_the_tasks_under_the_process(self):
        for fmt in FORMATS:
            self.assertEqual(perfetto.faults(self.traces[fmt, False, False]), {}, fmt)
        rows = perfetto.query(self.traces["protobuf", False, False],
                              "select t.name as name, count(s.id) as n from process_track t "
                              "join slice s on s.track_id = t.id where t.name like '%(handler)' "
                              "group by t.name order by t.name")
        self.assertEqual([r["name"] for r in rows], ["h0 (handler)", "h1 (handler)", "h2 (handler)"])


if __name__ == "__main__":
    unittest.main()
