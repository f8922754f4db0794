"""Where the batches run: in this process, on a process pool, on any Executor, or on a Dask cluster.

Each runner knows how to get the sweep's data to its workers.  The data
goes in three sizes, asked for in turn by a worker that lacks it:

0. nothing (the worker should hold it already);
1. the cheapest form that reaches the worker: the payload itself for a
   worker in this process, else a reference to the host's shared-memory
   copy (:class:`~orvane.sweeps.shared.SharedData`) when there is one,
   else the pickled payload;
2. the pickled payload, for a worker that cannot map the shared copy.
"""

from __future__ import annotations

import contextlib
import gc
import multiprocessing
import os
import pickle
import sys
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor
from typing import Any, Callable, Optional

from .shared import Segment, SharedData, export
from .worker import Payload, describe, forget, install, install_here, run_batch

__all__ = ["Runner", "SerialRunner", "ExecutorRunner", "DaskRunner", "make_runner", "default_workers"]


def default_workers() -> int:
    try:
        return max(len(os.sched_getaffinity(0)), 1)
    except (AttributeError, OSError):
        return max(os.cpu_count() or 1, 1)


def _dask_client(executor: Any) -> Any:
    """The distributed Client behind ``executor`` (a Client or its executor), if any."""
    if "distributed" not in sys.modules:
        return None
    from distributed import Client

    if isinstance(executor, Client):
        return executor
    client = getattr(executor, "_client", None)
    return client if isinstance(client, Client) else None


def _dumps() -> Callable[..., bytes]:
    """cloudpickle when it is installed (it takes lambdas and local functions), else pickle."""
    try:
        import cloudpickle

        return cloudpickle.dumps
    except ImportError:
        return pickle.dumps


def _unsendable(exc: BaseException) -> TypeError:
    return TypeError(f"the sweep's strategy or data cannot be sent to the executor's workers ({describe(exc)})")


class _Data:
    """The payload in the forms a worker may need, each made once, on first need."""

    def __init__(self, payload: Payload, share: bool) -> None:
        self.payload = payload
        self.segment: Optional[Segment] = None
        self.shared: Optional[SharedData] = None
        self._bytes: Optional[bytes] = None
        if share:
            try:
                exported = export(payload, payload.token, _dumps())
            except Exception as exc:
                raise _unsendable(exc) from None
            if exported is not None:
                self.segment, self.shared = exported

    def pickled(self) -> bytes:
        if self._bytes is None:
            try:
                self._bytes = _dumps()(self.payload, protocol=pickle.HIGHEST_PROTOCOL)
            except Exception as exc:
                raise _unsendable(exc) from None
        return self._bytes

    def sized(self, level: int) -> Any:
        if level <= 0:
            return None
        if level == 1 and self.shared is not None:
            return self.shared
        return self.pickled()

    def release(self) -> None:
        self._bytes = None
        if self.segment is not None:
            self.segment.release()
            self.segment = None


class Runner:
    """Runs batches on one kind of executor; the scheduler collects their outcomes."""

    workers = 1
    # Number of first tasks that carry the data with them (see ExecutorRunner).
    eager = 0
    can_restart = False
    # Largest size of data a worker may ask for (see the module's description).
    top_level = 0

    def submit(self, batch: list, level: int, want_reports: bool) -> Any:
        raise NotImplementedError

    def restart(self) -> None:
        raise RuntimeError("this executor cannot be restarted")

    def close(self, cancel: bool) -> None:
        pass


class SerialRunner(Runner):
    def __init__(self, payload: Payload) -> None:
        self.payload = payload

    def run(self, batch: list, want_reports: bool) -> list:
        return run_batch(self.payload.token, self.payload, batch, want_reports)

    def close(self, cancel: bool) -> None:
        forget(self.payload.token)


class ExecutorRunner(Runner):
    """Any Executor: the first wave of tasks carries the data, one task per worker, and the
    later ones go without it; a worker that got none answers and gets the task again with it.
    """

    def __init__(
        self,
        executor: Executor,
        data: Optional[_Data],
        payload: Payload,
        workers: int,
        start: Optional[Callable[[], Executor]] = None,
    ) -> None:
        self.executor = executor
        self.payload = payload
        self.data = data
        self.workers = workers
        self.start = start
        self.owned = start is not None
        self.can_restart = self.owned
        # A pool of our own received the data through its initializer.
        self.eager = 0 if self.owned else workers
        self.top_level = 1 if data is None else 2

    def restart(self) -> None:
        if self.start is None:
            raise RuntimeError("only a pool of the sweep's own can be restarted")
        # A broken pool has already stopped its workers; waiting for its own threads to end
        # means the new pool's workers are not forked while one of them holds a lock.
        self.executor.shutdown(wait=True, cancel_futures=True)
        self.executor = self.start()

    def submit(self, batch: list, level: int, want_reports: bool) -> Any:
        data = self.payload if self.data is None and level > 0 else (self.data.sized(level) if self.data else None)
        return self.executor.submit(run_batch, self.payload.token, data, batch, want_reports)

    def close(self, cancel: bool) -> None:
        try:
            if self.data is None:
                forget(self.payload.token)
            if self.owned:
                self.executor.shutdown(wait=True, cancel_futures=cancel)
        finally:
            if self.data is not None:
                self.data.release()


class DaskRunner(Runner):
    """A Dask cluster: the workers get the data before the first task.

    Workers on this host map its shared copy; the others (on other hosts)
    are sent the pickled payload once each.  A worker that joins later asks
    for it with its first task.
    """

    top_level = 2

    def __init__(self, executor: Any, client: Any, data: _Data, payload: Payload) -> None:
        self.executor = executor
        self.client = client
        self.payload = payload
        self.data = data
        self.workers = max(sum(client.nthreads().values()), 1)
        try:
            installed = client.run(install_here, data.sized(1))
            missing = [worker for worker, ok in installed.items() if not ok]
            if missing:
                client.run(install_here, data.pickled(), workers=missing)
        except BaseException:
            self.close(cancel=True)
            raise

    def submit(self, batch: list, level: int, want_reports: bool) -> Any:
        args = (run_batch, self.payload.token, self.data.sized(level), batch, want_reports)
        if self.executor is self.client:
            return self.client.submit(*args, pure=False)
        return self.executor.submit(*args)

    def close(self, cancel: bool) -> None:
        try:
            # Workers outlive the sweep: they let go of its data.
            with contextlib.suppress(Exception):
                self.client.run(forget, self.payload.token)
        finally:
            self.data.release()


def _process_context() -> Any:
    # Forked workers inherit the payload without pickling it (any strategy
    # callable works, and the price pages are shared copy-on-write).
    if sys.platform.startswith("linux") and "fork" in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("fork")
    return None


def make_runner(executor: Any, payload: Payload, max_workers: Optional[int], n_batches: int) -> Runner:
    if executor is None or (isinstance(executor, str) and executor == "serial"):
        return SerialRunner(payload)
    if isinstance(executor, str) and executor == "process":
        workers = max(min(max_workers or default_workers(), n_batches), 1)
        context = _process_context()
        forks = (context or multiprocessing.get_context()).get_start_method() == "fork"
        # Spawned workers map the one shared copy; forked ones inherit the payload.
        data = None if forks else _Data(payload, share=True)
        initial: Any = payload if data is None else data.sized(1)

        def start() -> Executor:
            pool = ProcessPoolExecutor(
                max_workers=workers, mp_context=context, initializer=install, initargs=(initial,)
            )
            if forks:
                # The pool forks its workers at its first task.  This process's objects are frozen
                # meanwhile, so the workers' collector never writes to them and copies their pages.
                gc.freeze()
                try:
                    pool.submit(int)
                finally:
                    gc.unfreeze()
            return pool

        try:
            return ExecutorRunner(start(), data, payload, workers, start=start)
        except BaseException:
            if data is not None:
                data.release()
            raise
    if isinstance(executor, str):
        raise ValueError(f"executor must be 'process', 'serial', None or an Executor, got {executor!r}")
    client = _dask_client(executor)
    if client is not None:
        return DaskRunner(executor, client, _Data(payload, share=True), payload)
    if isinstance(executor, ThreadPoolExecutor):
        size = getattr(executor, "_max_workers", None)
        return ExecutorRunner(executor, None, payload, size if isinstance(size, int) and size > 0 else 1)
    if isinstance(executor, Executor):
        # The standard pools know their size; for others the machine's is a fair guess.
        size = getattr(executor, "_max_workers", None)
        pool_size = size if isinstance(size, int) and size > 0 else default_workers()
        # Other executors may run on other hosts, where they ask for the pickle instead.
        return ExecutorRunner(executor, _Data(payload, share=True), payload, pool_size)
    raise TypeError(
        "executor must be 'process', 'serial', None, a concurrent.futures.Executor or a distributed.Client,"
        f" got {type(executor).__name__}"
    )
