"""asyncio tasks as tracks of their own: a program of known shape, traced in both formats."""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import unittest

import perfetto
from jsontrace import tracks

# A gather (TaskGroup) of tasks that await a coroutine of their own over two steps, a task that
# creates a task, a cancelled task, one that raises, one that consumes an async generator, and
# a coroutine driven by hand (no task).
PROGRAM = textwrap.dedent("""
    import asyncio, os, vespra
    if os.environ.get("PY_TASKS"):  # asyncio's Python Task in place of its C one
        asyncio.tasks.Task = asyncio.tasks._PyTask
        # with the Python bookkeeping of the running task, as where the C module is missing
        # (3.14 keeps the C one's in the thread's state, which the Python Task never sets)
        asyncio.current_task = asyncio.tasks.current_task = asyncio.tasks._py_current_task
    async def inner(): await asyncio.sleep(0.02)
    async def handler(i):
        await asyncio.sleep(0.05)
        await inner()
        with vespra.span("work"):
            return i
    async def child(): await asyncio.sleep(0.01)
    async def parent(): await asyncio.create_task(child(), name="kid")
    async def doomed(): await asyncio.sleep(10)
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
    async def by_hand(): return 1
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


def span(name, *inside):
    """The slice of `name` around the events of the spans `inside`."""
    return [(B, name), *[e for part in inside for e in part], (E, name)]


# Each task's track with the standard library left out: its life slice around its steps.
TICKS = span("ticks")
EXPECTED = {
    "h0 (handler)": span("handler", span("handler"), span("handler", span("inner")),
                         span("handler", span("inner"), span("work"))),
    "consumer (consumer)": span("consumer", span("consumer", TICKS, TICKS),
                                span("consumer", TICKS, TICKS), span("consumer", TICKS)),
    **{f"{task} ({f})": span(f, span(f), span(f)) for task, f in
       (("kid", "child"), ("raiser", "raises"), ("doomed", "doomed"))},
}


def vespra(*args, env=None):
    return subprocess.run([sys.executable, "-m", "vespra", *args], capture_output=True,
                          text=True, check=True, timeout=300, env=env).stdout


def split(path):
    """({task track's name: [(ph, name)]}, [(ph, name)] of the one thread)."""
    tasks, threads = {}, []
    for (_, tid), (name, events) in tracks(path).items():
        events = [(ph, n) for _, ph, n in events]
        if isinstance(tid, str) or tid >= 1 << 30:  # a JSON trace's task tracks are tids
            tasks[name] = events
        else:
            threads.append(events)
    assert len(threads) == 1, threads
    return tasks, threads[0]


class Tasks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = pathlib.Path(cls.enterClassContext(tempfile.TemporaryDirectory()))
        (cls.dir / "tasks.py").write_text(PROGRAM)
        cls.traces = {}
        # (format, Python Task and exceptions recorded), the standard library left out
        for fmt, py_tasks in [("json", False), ("protobuf", False), ("protobuf", True)]:
            path = cls.traces[fmt, py_tasks] = cls.dir / f"{fmt}{py_tasks}"
            vespra("run", "-q", "-f", fmt, "-o", str(path), "--exclude-stdlib",
                   *("--exceptions",) * py_tasks, str(cls.dir / "tasks.py"),
                   env={**os.environ, "PY_TASKS": "1"} if py_tasks else None)

    def test_task_tracks_hold_each_step_inside_the_life_slice(self):
        for (fmt, py_tasks), path in self.traces.items():
            with self.subTest(fmt=fmt, py_tasks=py_tasks):
                tasks, thread = split(path)
                self.assertEqual({n: tasks[n] for n in EXPECTED}, EXPECTED)
                self.assertIn("h2 (handler)", tasks)
                # The thread keeps one slice per step, named after the task, and the coroutine
                # driven by hand; no coroutine of a task is written there too.
                names = {name for _, name in thread}
                self.assertIn("by_hand", names)
                self.assertFalse(names & {"handler", "inner", "work", "child", "ticks"})
                self.assertEqual(thread.count((B, "h2 (handler)")), 3)
                if perfetto.SHELL:
                    self.assertEqual(perfetto.faults(path), {})

    def test_summary_counts_tasks_running_and_wall_time(self):
        for fmt in ("json", "protobuf"):
            with self.subTest(fmt=fmt):
                summary = json.loads(vespra("summary", "--json",
                                            str(self.traces[fmt, False])))
                rows = {r["function"]: r for r in summary["tasks"]}
                handler = rows["handler"]
                self.assertEqual((handler["tasks"], handler["waits"]), (3, 6))
                self.assertGreaterEqual(handler["wall_ns"], 3 * 0.07e9)
                self.assertLess(handler["running_ns"], handler["wall_ns"])
                self.assertEqual(rows["consumer"]["waits"], 2)
                # A call is a call: handler's three tasks, not its nine steps, and inner,
                # awaited over two steps of each, one call per handler.
                calls = {r["function"]: r["calls"] for t in summary["tables"] for r in t["rows"]}
                self.assertEqual((calls["handler"], calls["inner"]), (3, 3))

    def test_loops_on_several_threads_with_the_ring_and_values(self):
        # Two event loops at once on two threads (in parallel on the free-threaded build), the
        # flight ring, and the values of the tasks' coroutines: each task its own track.
        script = self.dir / "loops.py"
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
            for t in loops: t.start()
            for t in loops: t.join()
        """))
        path = self.dir / "loops.pb"
        vespra("run", "-q", "-o", str(path), "--exclude-stdlib", "--ring", "8MB", "--args",
               str(script), "--returns", str(script), str(script))
        work = span("work", *[span("work")] * 3)
        got = {name: [(ph, n) for _, ph, n in events] for (_, key), (name, events)
               in tracks(path).items() if isinstance(key, str) and name.endswith("(work)")}
        self.assertEqual(got, {f"{t}{i} (work)": work for t in "ab" for i in range(2)})
        if perfetto.SHELL:
            self.assertEqual(perfetto.faults(path), {})


if __name__ == "__main__":
    unittest.main()
