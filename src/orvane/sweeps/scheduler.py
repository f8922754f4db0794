"""Keeping the workers busy: tasks in flight, data on request, and recovery from dead workers."""

from __future__ import annotations

import queue
from collections import deque
from concurrent.futures import BrokenExecutor
from typing import Any, Callable, Iterator, Optional

from .results import Outcome
from .runners import Runner, SerialRunner
from .worker import NEED_DATA, describe

__all__ = ["drive"]


def _task_failed(batch: list, exc: BaseException, what: str = "task failed") -> list[Outcome]:
    text = f"{what}: {describe(exc)}"
    return [Outcome(index, None, text) for index, _ in batch]


class _Scheduler:
    """Runs the batches on a runner and yields their outcomes as they finish.

    At most ``2 * workers`` tasks are in flight.  A worker that lacks the
    sweep's data answers so, and its task goes again with the data in the
    next size (see :mod:`orvane.sweeps.runners`).  When a worker process of
    a pool of our own dies (a crash, the out-of-memory killer), every task
    then in flight fails with it; the pool is started again and the
    combinations of those tasks run again one at a time, so that only one
    that kills its worker on its own is reported as failed.
    """

    def __init__(self, runner: Runner, batches: list[list], want_reports: bool) -> None:
        self.runner = runner
        self.batches = list(batches)
        self.want_reports = want_reports
        self.window = max(2 * runner.workers, 2)
        self.todo = deque(range(len(batches)))
        self.suspects: deque = deque()
        self.alone: set[int] = set()
        self.finished: "queue.Queue[tuple[int, Any]]" = queue.Queue()
        self.live: dict[int, Any] = {}
        self.level: dict[int, int] = {}
        self.in_flight = 0
        self.launched = 0
        self.broken = False

    def launch(self, k: int, level: int) -> None:
        self.in_flight += 1
        self.level[k] = level
        try:
            future = self.runner.submit(self.batches[k], level, self.want_reports)
        except Exception as exc:
            self.finished.put((k, exc))
            return
        self.live[k] = future
        future.add_done_callback(lambda f, k=k: self.finished.put((k, f)))

    def fill(self) -> None:
        if self.broken:
            return
        if self.suspects:
            if self.in_flight == 0:
                k = self.suspects.popleft()
                self.alone.add(k)
                self.launch(k, 0)
            return
        while self.todo and self.in_flight < self.window:
            self.launch(self.todo.popleft(), 1 if self.launched < self.runner.eager else 0)
            self.launched += 1

    def run(self, on_start: Callable[[], None]) -> Iterator[list]:
        try:
            yield from self._loop(on_start)
        finally:
            # Left early (an error or an interrupt): stop what has not started.
            for future in self.live.values():
                future.cancel()

    def _loop(self, on_start: Callable[[], None]) -> Iterator[list]:
        started = False
        while self.todo or self.suspects or self.in_flight:
            self.fill()
            if not started:
                on_start()
                started = True
            if self.in_flight == 0:
                self.runner.restart()
                self.broken = False
                continue
            k, done = self.finished.get()
            self.in_flight -= 1
            self.live.pop(k, None)
            exc: Optional[BaseException] = done if isinstance(done, BaseException) else None
            result: Any = None
            if exc is None:
                try:
                    result = done.result()
                except Exception as error:
                    exc = error
            if exc is None:
                if isinstance(result, str) and result == NEED_DATA:
                    level = self.level[k] + 1
                    if level <= self.runner.top_level:
                        self.launch(k, level)
                        continue
                    exc = RuntimeError("the worker could not receive the sweep's data")
                else:
                    yield result
                    continue
            if isinstance(exc, BrokenExecutor) and self.runner.can_restart:
                self.broken = True
                if k in self.alone:
                    yield _task_failed(self.batches[k], exc, "worker process died")
                else:
                    for item in self.batches[k]:
                        self.batches.append([item])
                        self.suspects.append(len(self.batches) - 1)
            else:
                yield _task_failed(self.batches[k], exc)


def drive(runner: Runner, batches: list[list], want_reports: bool, on_start: Callable[[], None]) -> Iterator[list]:
    """Yield the outcomes of every batch as they finish (in grid order when serial)."""
    if isinstance(runner, SerialRunner):
        on_start()
        for batch in batches:
            yield runner.run(batch, want_reports)
        return
    yield from _Scheduler(runner, batches, want_reports).run(on_start)
