"""Parameter sweeps: one strategy back-tested over a grid of parameters, in parallel.

The engine keeps the state of a run in its module, so one back-test runs at a
time per process and parallelism comes from worker processes: a local process
pool by default, or any :class:`concurrent.futures.Executor`, a Dask cluster
included.  The price data travels to each worker once per sweep; the tasks
carry only their batch of parameter combinations.
"""

from __future__ import annotations

import contextlib
import inspect
import io
import itertools
import math
import multiprocessing
import os
import pickle
import queue
import sys
import threading
import uuid
import warnings
from collections import deque
from concurrent.futures import BrokenExecutor, Executor, ProcessPoolExecutor, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

from .inputs import DataWarning, as_prices
from .overfit import deflated_column, report_moments
from .report import Report
from .simulate import ENGINE_LOCK, backtest, run_backtest

__all__ = ["sweep", "expand_grid", "BACKTEST_OPTIONS"]

# Keyword options of orvane.backtest that a grid or ``options`` may set.
BACKTEST_OPTIONS = tuple(
    name for name in inspect.signature(backtest).parameters if name not in ("position", "prices")
)

# Columns the sweep adds itself; parameters may not use these names.
_RESERVED = ("error", "report")

# Returned by a worker that has not yet received the data of the sweep.
_NEED_DATA = "orvane.sweep: worker needs the data"

_BATCHES_PER_WORKER = 16
_MAX_BATCH = 64


def _check_grid_value(name: str, values: Any) -> list:
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        return [values]
    if isinstance(values, (set, frozenset)):
        raise TypeError(f"grid values of {name!r} are a set, which has no defined order; use a list")
    if isinstance(values, Mapping):
        raise TypeError(f"grid values of {name!r} are a mapping; use a list of values")
    return list(values)


def expand_grid(grid: Union[Mapping[str, Any], Iterable[Mapping[str, Any]]]) -> list[dict]:
    """The parameter combinations of a grid, in the order a sweep runs and reports them.

    Parameters
    ----------
    grid : mapping or iterable of mappings
        A mapping of parameter name to a list of values gives the Cartesian
        product of the lists, the last name varying fastest (like nested
        loops written in the mapping's order).  A single value that is not a
        list (a number, a string) counts as a one-value list.  An iterable of
        mappings gives exactly those combinations, in its order.

    Returns
    -------
    list of dict
    """
    if isinstance(grid, Mapping):
        names = list(grid)
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"grid parameter names must be strings, got {name!r}")
        lists = [_check_grid_value(name, grid[name]) for name in names]
        return [dict(zip(names, values)) for values in itertools.product(*lists)]
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError(
            f"grid must be a mapping of names to value lists or an iterable of dicts, got {type(grid).__name__}"
        )
    combos = []
    for i, combo in enumerate(grid):
        if not isinstance(combo, Mapping):
            raise TypeError(f"grid entry {i} must be a mapping of parameter names to values, got {type(combo).__name__}")
        for name in combo:
            if not isinstance(name, str):
                raise TypeError(f"grid entry {i} has a parameter name that is not a string: {name!r}")
        combos.append(dict(combo))
    return combos


@dataclass
class _Payload:
    """Everything a worker needs besides its combinations; sent once per worker."""

    token: str
    prices: Any
    engine_prices: Any
    position: Optional[pd.DataFrame]
    strategy: Optional[Callable[..., pd.DataFrame]]
    strategy_keys: frozenset
    options: dict
    stats_options: dict


@dataclass
class _Outcome:
    """The result of one combination as it travels back from a worker."""

    index: int
    stats: Optional[dict]
    error: Optional[str]
    report: Any = None
    output: str = ""
    # Moments of the bar returns, for the deflated Sharpe ratio of the search.
    moments: Optional[tuple] = None


@dataclass
class _WorkerState:
    payload: _Payload
    cached_key: Any = None
    cached_position: Optional[pd.DataFrame] = field(default=None, repr=False)


# Module state of a worker process: the data of the current sweep (only the
# newest one is kept, so a long-lived worker holds at most one data set).
_STATE: Optional[_WorkerState] = None
_STATE_LOCK = threading.Lock()


def _install(payload: _Payload) -> _WorkerState:
    global _STATE
    with _STATE_LOCK:
        if _STATE is None or _STATE.payload.token != payload.token:
            _STATE = _WorkerState(payload)
        return _STATE


def _forget(token: str) -> None:
    global _STATE
    with _STATE_LOCK:
        if _STATE is not None and _STATE.payload.token == token:
            _STATE = None


def _cache_key(params: Mapping[str, Any]) -> Any:
    """A hashable key of strategy parameters, or None when a value is unhashable.

    Types are part of the key: 1, 1.0 and True are equal but may build different positions.
    """
    key = tuple((name, type(value), value) for name, value in sorted(params.items()))
    try:
        hash(key)
    except TypeError:
        return None
    return key


def _describe(exc: BaseException) -> str:
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _position_for(state: _WorkerState, params: dict) -> pd.DataFrame:
    payload = state.payload
    if payload.strategy is None:
        assert payload.position is not None
        return payload.position
    key = _cache_key(params)
    if key is not None and state.cached_position is not None and key == state.cached_key:
        return state.cached_position
    position = payload.strategy(payload.prices, **params)
    if not isinstance(position, pd.DataFrame):
        raise TypeError(f"the strategy returned {type(position).__name__}, expected a DataFrame of weights")
    # Only the newest position is kept: batches group equal strategy parameters.
    state.cached_key, state.cached_position = key, position
    return position


def _run_one(state: _WorkerState, index: int, params: dict, want_report: bool) -> _Outcome:
    payload = state.payload
    options = dict(payload.options)
    strategy_params = {}
    for name, value in params.items():
        if name in payload.strategy_keys:
            strategy_params[name] = value
        else:
            options[name] = value
    captured = io.StringIO()
    try:
        # Output is captured so that the caller prints each line once, not once per combination;
        # standard output is process-wide, so the capture takes the engine's turn for the whole combination.
        with ENGINE_LOCK, contextlib.redirect_stdout(captured):
            position = _position_for(state, strategy_params)
            # Held stocks without prices are summed up once for the whole sweep, not warned per combination.
            report = run_backtest(position, payload.engine_prices, options)
        stats = report.stats(**payload.stats_options)
        moments = report_moments(report, stats)
    except Exception as exc:
        return _Outcome(index, None, _describe(exc), output=captured.getvalue())
    return _Outcome(index, stats.to_dict(), None, report if want_report else None, captured.getvalue(), moments)


def _run_batch(token: str, data: Any, batch: Sequence[tuple[int, dict]], want_reports: bool) -> Any:
    """Run a batch of combinations in this process.

    ``data`` is the sweep's payload, its pickled bytes, or None when this
    worker is expected to hold it already; a worker without it answers
    :data:`_NEED_DATA` and the caller sends the batch again with the data.
    """
    state = _STATE
    if state is None or state.payload.token != token:
        if data is None:
            return _NEED_DATA
        payload = pickle.loads(data) if isinstance(data, (bytes, bytearray)) else data
        state = _install(payload)
    return [_run_one(state, index, params, want_reports) for index, params in batch]


def _default_workers() -> int:
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


def _dumps(payload: _Payload) -> bytes:
    """Pickle the payload once for executors that ship bytes; cloudpickle takes lambdas too."""
    try:
        import cloudpickle

        dumps: Callable[..., bytes] = cloudpickle.dumps
    except ImportError:
        dumps = pickle.dumps
    try:
        return dumps(payload, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception as exc:
        raise TypeError(
            f"the sweep's strategy or data cannot be sent to the executor's workers ({_describe(exc)})"
        ) from None


class _Runner:
    """Runs batches on one kind of executor and yields their outcomes as they finish."""

    workers = 1
    # Number of first tasks that carry the data with them (see _ExecutorRunner).
    eager = 0
    can_restart = False

    def submit(self, batch: list, with_data: bool, want_reports: bool) -> Any:
        raise NotImplementedError

    def restart(self) -> None:
        raise RuntimeError("this executor cannot be restarted")

    def close(self, cancel: bool) -> None:
        pass


class _SerialRunner(_Runner):
    def __init__(self, payload: _Payload) -> None:
        self.payload = payload

    def run(self, batch: list, want_reports: bool) -> list:
        return _run_batch(self.payload.token, self.payload, batch, want_reports)

    def close(self, cancel: bool) -> None:
        _forget(self.payload.token)


class _ExecutorRunner(_Runner):
    """Any Executor: the first wave of tasks carries the data, one task per worker, and the
    later ones go without it; a worker that got none answers and gets the task again with it.
    """

    def __init__(
        self,
        executor: Executor,
        payload: _Payload,
        workers: int,
        in_process: bool,
        start: Optional[Callable[[], Executor]] = None,
    ) -> None:
        self.executor = executor
        self.payload = payload
        self.workers = workers
        self.start = start
        self.owned = start is not None
        self.can_restart = self.owned
        # A pool of our own received the data through its initializer.
        self.eager = 0 if self.owned else workers
        self.in_process = in_process
        # Pickled up front, so that data a worker cannot receive fails the call before anything runs.
        self._bytes: Optional[bytes] = None if in_process or self.owned else _dumps(payload)

    def restart(self) -> None:
        if self.start is None:
            raise RuntimeError("only a pool of the sweep's own can be restarted")
        self.executor.shutdown(wait=False, cancel_futures=True)
        self.executor = self.start()

    def data(self) -> Any:
        if self._bytes is None:
            return self.payload
        return self._bytes

    def submit(self, batch: list, with_data: bool, want_reports: bool) -> Any:
        data = self.data() if with_data else None
        return self.executor.submit(_run_batch, self.payload.token, data, batch, want_reports)

    def close(self, cancel: bool) -> None:
        if self.in_process:
            _forget(self.payload.token)
        if self.owned:
            self.executor.shutdown(wait=True, cancel_futures=cancel)


class _DaskRunner(_Runner):
    """A Dask cluster: the payload is broadcast to every worker once and passed by reference."""

    def __init__(self, executor: Any, client: Any, payload: _Payload) -> None:
        self.executor = executor
        self.client = client
        self.payload = payload
        self.workers = max(sum(client.nthreads().values()), 1)
        self.data_future = client.scatter(payload, broadcast=True, hash=False)

    def submit(self, batch: list, with_data: bool, want_reports: bool) -> Any:
        args = (_run_batch, self.payload.token, self.data_future, batch, want_reports)
        if self.executor is self.client:
            return self.client.submit(*args, pure=False)
        return self.executor.submit(*args)

    def close(self, cancel: bool) -> None:
        self.client.cancel([self.data_future])
        self.data_future = None
        # Workers outlive the sweep: drop their reference to its data.
        with contextlib.suppress(Exception):
            self.client.run(_forget, self.payload.token)


def _process_context() -> Any:
    # Forked workers inherit the payload without pickling it (any strategy
    # callable works, and the price pages are shared copy-on-write).
    if sys.platform.startswith("linux") and "fork" in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("fork")
    return None


def _make_runner(executor: Any, payload: _Payload, max_workers: Optional[int], n_batches: int) -> _Runner:
    if executor is None or (isinstance(executor, str) and executor == "serial"):
        return _SerialRunner(payload)
    if isinstance(executor, str) and executor == "process":
        workers = max(min(max_workers or _default_workers(), n_batches), 1)

        def start() -> Executor:
            return ProcessPoolExecutor(
                max_workers=workers, mp_context=_process_context(), initializer=_install, initargs=(payload,)
            )

        return _ExecutorRunner(start(), payload, workers, in_process=False, start=start)
    if isinstance(executor, str):
        raise ValueError(f"executor must be 'process', 'serial', None or an Executor, got {executor!r}")
    client = _dask_client(executor)
    if client is not None:
        return _DaskRunner(executor, client, payload)
    if isinstance(executor, Executor):
        # The standard pools know their size; for others the machine's is a fair guess.
        size = getattr(executor, "_max_workers", None)
        pool_size = size if isinstance(size, int) and size > 0 else _default_workers()
        return _ExecutorRunner(executor, payload, pool_size, in_process=isinstance(executor, ThreadPoolExecutor))
    raise TypeError(
        "executor must be 'process', 'serial', None, a concurrent.futures.Executor or a distributed.Client,"
        f" got {type(executor).__name__}"
    )


def _task_failed(batch: list, exc: BaseException, what: str = "task failed") -> list[_Outcome]:
    text = f"{what}: {_describe(exc)}"
    return [_Outcome(index, None, text) for index, _ in batch]


class _Scheduler:
    """Runs the batches on a runner and yields their outcomes as they finish.

    At most ``2 * workers`` tasks are in flight.  When a worker process of a
    pool of our own dies (a crash, the out-of-memory killer), every task then
    in flight fails with it; the pool is started again and the combinations of
    those tasks run again one at a time, so that only one that kills its worker
    on its own is reported as failed.
    """

    def __init__(self, runner: _Runner, batches: list[list], want_reports: bool) -> None:
        self.runner = runner
        self.batches = list(batches)
        self.want_reports = want_reports
        self.window = max(2 * runner.workers, 2)
        self.todo = deque(range(len(batches)))
        self.suspects: deque = deque()
        self.alone: set[int] = set()
        self.finished: "queue.Queue[tuple[int, Any]]" = queue.Queue()
        self.live: dict[int, Any] = {}
        self.in_flight = 0
        self.launched = 0
        self.broken = False

    def launch(self, k: int, with_data: bool) -> None:
        self.in_flight += 1
        try:
            future = self.runner.submit(self.batches[k], with_data, self.want_reports)
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
                self.launch(k, False)
            return
        while self.todo and self.in_flight < self.window:
            self.launch(self.todo.popleft(), self.launched < self.runner.eager)
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
                if isinstance(result, str) and result == _NEED_DATA:
                    self.launch(k, True)
                    continue
                yield result
            elif isinstance(exc, BrokenExecutor) and self.runner.can_restart:
                self.broken = True
                if k in self.alone:
                    yield _task_failed(self.batches[k], exc, "worker process died")
                else:
                    for item in self.batches[k]:
                        self.batches.append([item])
                        self.suspects.append(len(self.batches) - 1)
            else:
                yield _task_failed(self.batches[k], exc)


def _drive(runner: _Runner, batches: list[list], want_reports: bool, on_start: Callable[[], None]) -> Iterator[list]:
    """Yield the outcomes of every batch as they finish (in grid order when serial)."""
    if isinstance(runner, _SerialRunner):
        on_start()
        for batch in batches:
            yield runner.run(batch, want_reports)
        return
    yield from _Scheduler(runner, batches, want_reports).run(on_start)


def _route(
    names: Iterable[str], strategy_is_callable: bool, strategy: Any, strategy_keys: Optional[Iterable[str]]
) -> frozenset:
    """The names that go to the strategy callable; every other name is a backtest option."""
    names = list(dict.fromkeys(names))
    for name in names:
        if name in _RESERVED:
            raise ValueError(f"{name!r} cannot be a parameter name: the sweep uses it as a column")
        if name in ("position", "prices"):
            raise ValueError(f"{name!r} cannot be swept: it is the data of the sweep")
    if strategy_keys is not None:
        if isinstance(strategy_keys, str):
            strategy_keys = [strategy_keys]
        to_strategy = frozenset(strategy_keys)
        if not strategy_is_callable and to_strategy:
            raise ValueError("strategy_keys needs a strategy callable")
    else:
        to_strategy = frozenset(n for n in names if n not in BACKTEST_OPTIONS)
    if not strategy_is_callable:
        unknown = [n for n in names if n not in BACKTEST_OPTIONS]
        if unknown:
            raise ValueError(
                f"unknown backtest options in the grid: {unknown}; with a fixed position table every "
                f"parameter must be one of {list(BACKTEST_OPTIONS)} (pass a strategy callable for others)"
            )
        return frozenset()
    try:
        signature = inspect.signature(strategy)
    except (TypeError, ValueError):
        return to_strategy
    params = signature.parameters
    if any(p.kind is inspect.Parameter.VAR_KEYWORD for p in params.values()):
        return to_strategy
    accepted = {n for n, p in params.items() if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
    refused = sorted(n for n in to_strategy if n not in accepted)
    if refused:
        raise ValueError(
            f"the strategy does not accept the parameters {refused} (they are not backtest options either)"
        )
    return to_strategy


def _batches(
    combos: list[dict], strategy_keys: frozenset, batch_size: Optional[int], workers: int
) -> list[list[tuple[int, dict]]]:
    """Cut the combinations into batches, those with equal strategy parameters side by side."""
    n = len(combos)
    if batch_size is None:
        batch_size = min(max(math.ceil(n / (workers * _BATCHES_PER_WORKER)), 1), _MAX_BATCH)
    elif isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"batch_size must be a positive integer, got {batch_size!r}")
    order = list(range(n))
    if strategy_keys:
        groups: dict[Any, int] = {}
        rank = []
        for i, combo in enumerate(combos):
            key = _cache_key({k: v for k, v in combo.items() if k in strategy_keys})
            rank.append(groups.setdefault(key, len(groups)) if key is not None else len(groups) + i)
        order.sort(key=lambda i: rank[i])
    return [[(i, combos[i]) for i in order[lo:lo + batch_size]] for lo in range(0, n, batch_size)]


def _show_progress(progress: bool) -> bool:
    if not progress:
        return False
    try:
        return bool(sys.stderr.isatty())
    except (AttributeError, ValueError):
        return False


def _frame(names: list[str], combos: list[dict], outcomes: list[_Outcome]) -> pd.DataFrame:
    index = pd.RangeIndex(len(combos))
    columns = {}
    for name in names:
        values = [combo.get(name, np.nan) for combo in combos]
        # None stays None (it switches a stop off, where NaN is refused), so the row can be run again.
        dtype = object if any(v is None for v in values) else None
        columns[name] = pd.Series(values, index=index, dtype=dtype, name=name)
    params = pd.DataFrame(columns, index=index)
    stat_names = list(dict.fromkeys(name for o in outcomes if o.stats for name in o.stats))
    # A parameter named like a statistic keeps its name; the statistic gets a suffix.
    rename = {s: f"{s}_stat" if s in names else s for s in stat_names}
    records = [{rename[k]: v for k, v in (o.stats or {}).items()} for o in outcomes]
    # pandas 2 cannot build a frame from no records and no columns.
    stats = (
        pd.DataFrame.from_records(records, columns=[rename[s] for s in stat_names], index=index)
        if stat_names
        else pd.DataFrame(index=index)
    )
    error = pd.Series([o.error for o in outcomes], index=index, dtype=object, name="error")
    return pd.concat([params, stats, error], axis=1)


def _warn_missing_prices(frame: pd.DataFrame) -> None:
    """One warning for the whole sweep when some combinations held stocks on bars without a price."""
    if "missing_price_bars" not in frame.columns:
        return
    hit = pd.to_numeric(frame["missing_price_bars"], errors="coerce").fillna(0).to_numpy() > 0
    if hit.any():
        warnings.warn(
            f"{int(hit.sum())} of {len(frame)} combinations held stocks on bars without a price, where their value"
            " was carried unchanged; see the columns missing_price_bars and missing_prices",
            DataWarning,
            stacklevel=3,
        )


def _best(frame: pd.DataFrame, sort_by: str, ascending: bool, keep: int) -> list[int]:
    """Rows of the ``keep`` best combinations by ``sort_by``, in grid order."""
    if frame["error"].notna().all():
        return []
    if sort_by not in frame.columns:
        stats = [c for c in frame.columns if c != "error"]
        raise ValueError(f"sort_by={sort_by!r} is not a column of the sweep's results: {stats}")
    column = frame[sort_by]
    if not (pd.api.types.is_numeric_dtype(column) or column.isna().all()):
        raise ValueError(f"sort_by={sort_by!r} is not a numeric statistic")
    values = column.to_numpy(dtype=np.float64, na_value=np.nan)
    ok = np.flatnonzero(frame["error"].isna().to_numpy() & ~np.isnan(values))
    key = values[ok] if ascending else -values[ok]
    # A stable sort keeps equal scores in grid order.
    chosen = ok[np.argsort(key, kind="stable")][:keep]
    return sorted(int(i) for i in chosen)


def sweep(
    strategy: Union[pd.DataFrame, Callable[..., pd.DataFrame]],
    prices: Any,
    grid: Union[Mapping[str, Any], Iterable[Mapping[str, Any]]],
    *,
    options: Optional[Mapping[str, Any]] = None,
    strategy_keys: Optional[Iterable[str]] = None,
    executor: Any = "process",
    max_workers: Optional[int] = None,
    batch_size: Optional[int] = None,
    keep: int = 0,
    sort_by: str = "sharpe",
    ascending: bool = False,
    stats_options: Optional[Mapping[str, Any]] = None,
    progress: bool = True,
) -> pd.DataFrame:
    """Back-test one strategy over every combination of a parameter grid.

    Each combination runs exactly as ``orvane.backtest`` would run it alone,
    so its statistics are the same whatever the executor, the batch size or
    the order in which workers finish.

    Parameters
    ----------
    strategy : DataFrame or callable
        A DataFrame of target weights (as for :func:`orvane.backtest`) is
        back-tested as it is, and every grid parameter must be a backtest
        option.  A callable ``strategy(prices, **params) -> DataFrame`` builds
        the weights from the prices; it receives the grid parameters that
        are not backtest options (signal look-backs, holding counts, ...)
        and must be deterministic.  It travels to the workers with the
        data, so use a module-level function (or a picklable callable
        object holding extra data) when the executor pickles.
    prices : DataFrame, mapping or Prices
        The prices, as for :func:`orvane.backtest`.  Sent to each worker
        once per sweep.
    grid : mapping or iterable of mappings
        A mapping of names to value lists (the Cartesian product, last name
        fastest) or an iterable of parameter dicts; see :func:`expand_grid`.
    options : mapping, optional
        Backtest options shared by every combination (``resample``,
        ``fee_ratio``, ...); grid values override them.
    strategy_keys : iterable of str, optional
        The grid names passed to the strategy callable.  By default those
        that are not backtest options; name them to send a parameter that
        shares a backtest option's name (such as ``resample``) to the
        strategy instead.
    executor : "process", "serial", None, Executor or distributed.Client
        ``"process"`` (default) runs on a new process pool with
        ``max_workers`` processes (default: the CPUs this process may use),
        which receive the data once at start-up.  ``"serial"`` or None runs
        in this process, in grid order.  Any other
        :class:`concurrent.futures.Executor` runs the batches as its tasks:
        each worker gets the data with its first task and keeps it for the
        rest of the sweep.  A ``distributed.Client`` (or its
        ``get_executor()``) runs on the Dask cluster, with the data
        broadcast to every worker once.  Executors passed in are not shut
        down.  Workers should be processes with one thread each: back-tests
        in one process run one at a time.
    max_workers : int, optional
        Size of the process pool for ``executor="process"``.
    batch_size : int, optional
        Combinations per task; by default about 16 tasks per worker, at most
        64 combinations each.
    keep : int
        Keep the full :class:`orvane.Report` of the best ``keep``
        combinations by ``sort_by`` in a ``report`` column (None in the
        other rows).  These combinations run a second time to build their
        reports, with identical results.
    sort_by : str
        The statistic (a column of ``Report.stats()``) that ranks
        combinations for ``keep``; rows with an error or a NaN value are not
        ranked, ties keep grid order.
    ascending : bool
        Rank the smallest values first (for example for ``max_drawdown`` as
        a loss, or ``volatility``); by default the largest first.
    stats_options : mapping, optional
        Keyword arguments of ``Report.stats`` (``benchmark``, ``risk_free``,
        ``periods_per_year``).
    progress : bool
        Show a progress bar (combinations done, rate, time left) on
        standard error; it appears only when standard error is a terminal.

    Returns
    -------
    DataFrame
        One row per combination in grid order (index 0..n-1): the
        parameters, the statistics of ``Report.stats()``,
        ``deflated_sharpe`` (the probability that the combination's Sharpe
        ratio is not the luck of a search over this many combinations; see
        :func:`orvane.deflated_sharpe`), and ``error`` (None, or the error
        text of a combination that failed, whose statistics are then
        missing); plus ``report`` when ``keep`` > 0.
        What the strategy and the engine print (such as the engine's NaN
        price warning) is written to standard output once per distinct line.

    Warns
    -----
    orvane.DataWarning
        Once, when some combinations held stocks on bars without a price
        (their rows count those bars in ``missing_price_bars``).

    Raises
    ------
    orvane.InputError
        When the prices cannot be used.
    ValueError, TypeError
        For a malformed grid, unknown parameters or options, or a bad
        executor, before anything runs.

    Examples
    --------
    >>> grid = {"stop_loss": [0.05, 0.1, None], "take_profit": [0.2, None]}
    >>> table = orvane.sweep(position, prices, grid, options={"resample": "M"})  # doctest: +SKIP
    >>> def top(prices, n, lookback):                                          # doctest: +SKIP
    ...     momentum = prices.pct_change(lookback)
    ...     return momentum.rank(axis=1, ascending=False) <= n
    >>> orvane.sweep(top, close, {"n": [10, 20], "lookback": [60, 120], "stop_loss": [0.1, None]},
    ...              options={"resample": "M"}, keep=3)                       # doctest: +SKIP
    """
    combos = expand_grid(grid)
    is_callable = not isinstance(strategy, pd.DataFrame)
    if is_callable and not callable(strategy):
        raise TypeError(
            f"strategy must be a DataFrame of weights or a callable strategy(prices, **params), got {type(strategy).__name__}"
        )
    options = dict(options or {})
    unknown = [n for n in options if n not in BACKTEST_OPTIONS]
    if unknown:
        raise ValueError(f"unknown backtest options {unknown}; expected some of {list(BACKTEST_OPTIONS)}")
    # A mapping names its parameters even when one of its lists is empty.
    names = list(dict.fromkeys([*(grid if isinstance(grid, Mapping) else []), *(n for c in combos for n in c)]))
    to_strategy = _route(names, is_callable, strategy, strategy_keys)
    stats_options = dict(stats_options or {})
    allowed_stats = [n for n in inspect.signature(Report.stats).parameters if n != "self"]
    bad_stats = [n for n in stats_options if n not in allowed_stats]
    if bad_stats:
        raise ValueError(f"unknown stats_options {bad_stats}; expected some of {allowed_stats}")
    if isinstance(keep, bool) or not isinstance(keep, int) or keep < 0:
        raise ValueError(f"keep must be a non-negative integer, got {keep!r}")
    if max_workers is not None and (isinstance(max_workers, bool) or not isinstance(max_workers, int) or max_workers < 1):
        raise ValueError(f"max_workers must be a positive integer, got {max_workers!r}")

    payload = _Payload(
        token=uuid.uuid4().hex,
        prices=prices,
        engine_prices=as_prices(prices),
        position=None if is_callable else strategy,
        strategy=strategy if is_callable else None,
        strategy_keys=to_strategy,
        options=options,
        stats_options=stats_options,
    )
    if not combos:
        return _frame(names, combos, [])

    show = _show_progress(progress)
    serial = executor is None or (isinstance(executor, str) and executor == "serial")
    estimate = 1 if serial else (max_workers or _default_workers())
    batches = _batches(combos, to_strategy, batch_size, estimate)
    runner = _make_runner(executor, payload, max_workers, len(batches))
    outcomes: list[Optional[_Outcome]] = [None] * len(combos)
    printed: set[str] = set()
    bar: Any = None

    def start_bar() -> None:
        nonlocal bar
        # The bar starts after the pool's processes exist, so none inherits its thread.
        from tqdm import tqdm

        bar = tqdm(total=len(combos), unit="combo", desc="sweep", disable=not show, file=sys.stderr, smoothing=0.05)

    columns = set(names)

    def collect(results: list[_Outcome]) -> None:
        for outcome in results:
            outcomes[outcome.index] = outcome
            if keep and outcome.stats is not None and sort_by not in columns:
                # Checked on the first result so that a misspelt name does not cost the whole sweep.
                if sort_by not in outcome.stats:
                    raise ValueError(f"sort_by={sort_by!r} is not a statistic of Report.stats(): {list(outcome.stats)}")
                columns.add(sort_by)
            for line in outcome.output.splitlines():
                if line not in printed:
                    printed.add(line)
                    print(line)

    cancelled = True
    try:
        for results in _drive(runner, batches, False, start_bar):
            collect(results)
            if bar is not None:
                bar.update(len(results))
        done = [o if o is not None else _Outcome(i, None, "not run") for i, o in enumerate(outcomes)]
        frame = _frame(names, combos, done)
        if any(o.stats for o in done):
            frame.insert(frame.columns.get_loc("error"), "deflated_sharpe", deflated_column([o.moments for o in done]))
        _warn_missing_prices(frame)
        # Every worker that ran a task has the data now; one that has not asks for it.
        runner.eager = 0
        if keep:
            chosen = _best(frame, sort_by, ascending, keep)
            reports: list[Any] = [None] * len(combos)
            for results in _drive(runner, [[(i, combos[i])] for i in chosen], True, lambda: None):
                for outcome in results:
                    reports[outcome.index] = outcome.report
            frame["report"] = pd.Series(reports, index=frame.index, dtype=object)
        cancelled = False
    finally:
        if bar is not None:
            bar.close()
        runner.close(cancel=cancelled)
    return frame
