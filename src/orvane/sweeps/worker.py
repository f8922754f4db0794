"""What runs in a worker: the sweep's data, held once per process, and the combinations run on it.

A worker keeps the data of the newest sweep it took part in (so a
long-lived worker holds at most one data set) with what it prepared from
it: the strategy's newest position, and the arrays prepared from the
tables for the newest position and table options, which every combination
that changes only backtest options reuses.
"""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import dataclasses
import gc
import io
import os
import pickle
import sys
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Optional, Sequence

import pandas as pd

from ..gaps import price_flags
from ..inputs import InputError, Prepared, prepare
from ..overfit import report_moments
from ..simulate import ENGINE_LOCK, run_backtest
from ..stats import infer_periods_per_year
from . import shared
from .grid import cache_key
from .results import Outcome
from .shared import SharedData

__all__ = ["Payload", "NEED_DATA", "install", "install_here", "forget", "run_batch", "current", "describe"]

# Returned by a worker that has not yet received the data of the sweep.
NEED_DATA = "orvane.sweep: worker needs the data"


@dataclass
class Payload:
    """Everything a worker needs besides its combinations; sent once per worker."""

    token: str
    prices: Any
    engine_prices: Any
    position: Optional[pd.DataFrame]
    strategy: Optional[Callable[..., pd.DataFrame]]
    strategy_keys: frozenset
    options: dict
    stats_options: dict


def _same(a: Any, b: Any) -> bool:
    """Whether two option values are the same value (unhashable values only when they are one object)."""
    if a is b:
        return True
    if type(a) is not type(b):
        return False
    try:
        hash(a)
        hash(b)
    except TypeError:
        return False
    return bool(a == b)


class PreparedTables:
    """``prepare`` for one worker, reusing what it prepared for the same tables and table options.

    The arrays depend only on the position, the prices, ``resample``,
    ``trade_at`` and ``touched_exit``, so a combination that changes any
    other option runs on the arrays of the one before, with a fresh copy of
    the weight rows (the engine writes to them).  From the second run on the
    same arrays, the cells whose prices the held-price check flags are
    indexed once, so that each run finds its own among them instead of
    reading every held cell.
    """

    def __init__(self) -> None:
        self._key: Optional[tuple] = None
        self._prepared: Optional[Prepared] = None
        self._runs = 0
        self._periods: Optional[tuple] = None

    def __call__(
        self, position: pd.DataFrame, prices: Any, resample: Any = None, trade_at: str = "close",
        touched_exit: bool = False,
    ) -> Prepared:
        key = (position, prices, resample, trade_at, touched_exit)
        if self._prepared is None or self._key is None or not all(map(_same, key, self._key)):
            self._prepared = None
            self._prepared = prepare(position, prices, resample=resample, trade_at=trade_at, touched_exit=touched_exit)
            self._key, self._runs = key, 0
        self._runs += 1
        base = self._prepared
        if self._runs == 2:
            base = self._prepared = dataclasses.replace(base, price_flags=price_flags(base, touched_exit))
        return dataclasses.replace(base, pos_values=base.pos_values.copy())

    def periods_per_year(self, dates: pd.DatetimeIndex) -> Optional[float]:
        """The bars per year inferred from the dates of the runs, once per dates; None when they do not tell."""
        known = self._periods
        if known is None or known[0] is not dates:
            try:
                value: Optional[float] = infer_periods_per_year(dates)
            except InputError:
                value = None
            known = self._periods = (dates, value)
        return known[1]


@dataclass
class WorkerState:
    payload: Payload
    cached_key: Any = None
    cached_position: Optional[pd.DataFrame] = field(default=None, repr=False)
    tables: PreparedTables = field(default_factory=PreparedTables, repr=False)
    # The shared-memory mapping the payload's tables point into, if any.
    memory: Any = field(default=None, repr=False)


# Module state of a worker process: the data of the current sweep.
_STATE: Optional[WorkerState] = None
_STATE_LOCK = threading.Lock()


def current() -> Optional[WorkerState]:
    """The data this process holds, if any."""
    return _STATE


def install(data: Any) -> Optional[WorkerState]:
    """Hold a sweep's data: a :class:`Payload`, its pickle, or :class:`SharedData` to map.

    Returns None when shared data cannot be mapped on this host.
    """
    global _STATE
    token = data.token if isinstance(data, (Payload, SharedData)) else None
    with _STATE_LOCK:
        state = _STATE
        if state is not None and token is not None and state.payload.token == token:
            return state
        memory = None
        if isinstance(data, SharedData):
            memory = shared.attach(data)
            if memory is None:
                return None
            payload = shared.load(data, memory)
        elif isinstance(data, (bytes, bytearray)):
            payload = pickle.loads(data)
            if state is not None and state.payload.token == payload.token:
                return state
        else:
            payload = data
        _STATE = new_state = WorkerState(payload, memory=memory)
    _unmap(state)
    return new_state


def forget(token: str) -> None:
    """Let go of a sweep's data, and of the shared memory its tables point into."""
    global _STATE
    with _STATE_LOCK:
        state = _STATE
        if state is None or state.payload.token != token:
            return
        _STATE = None
    _unmap(state)


def _unmap(state: Optional[WorkerState]) -> None:
    if state is None or state.memory is None:
        return
    memory = state.memory
    del state
    try:
        memory.close()
    except BufferError:
        # The engine keeps the price arrays of its last run until its next one (and a strategy
        # may keep a table of its own): the mapping goes with the last of them.
        pass


def describe(exc: BaseException) -> str:
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _position_for(state: WorkerState, params: dict) -> pd.DataFrame:
    payload = state.payload
    if payload.strategy is None:
        assert payload.position is not None
        return payload.position
    key = cache_key(params)
    if key is not None and state.cached_position is not None and key == state.cached_key:
        return state.cached_position
    position = payload.strategy(payload.prices, **params)
    if not isinstance(position, pd.DataFrame):
        raise TypeError(f"the strategy returned {type(position).__name__}, expected a DataFrame of weights")
    # Only the newest position is kept: batches group equal strategy parameters.
    state.cached_key, state.cached_position = key, position
    return position


def _run_one(state: WorkerState, index: int, params: dict, want_report: bool) -> Outcome:
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
            report = run_backtest(position, payload.engine_prices, options, prepare_inputs=state.tables)
        stats_options = payload.stats_options
        if stats_options.get("periods_per_year") is None and report.periods_per_year is None:
            # The statistics would infer it from the same dates for every combination; it is inferred once.
            inferred = state.tables.periods_per_year(report.creturn.index)
            if inferred is not None:
                stats_options = {**stats_options, "periods_per_year": inferred}
        stats = report.stats(**stats_options)
        moments = report_moments(report, stats)
    except Exception as exc:
        return Outcome(index, None, describe(exc), output=captured.getvalue())
    return Outcome(index, stats.to_dict(), None, report if want_report else None, captured.getvalue(), moments)


def run_batch(token: str, data: Any, batch: Sequence[tuple[int, dict]], want_reports: bool) -> Any:
    """Run a batch of combinations in this process.

    ``data`` is the sweep's payload, its pickle, :class:`SharedData`, or
    None when this worker is expected to hold it already; a worker without
    it (or that cannot map the shared data) answers :data:`NEED_DATA` and
    the caller sends the batch again with more.
    """
    state = _STATE
    if state is None or state.payload.token != token:
        if data is None:
            return NEED_DATA
        state = install(data)
        if state is None:
            return NEED_DATA
    with _roomy_allocator(), _collector_paused():
        return [_run_one(state, index, params, want_reports) for index, params in batch]


_COLLECTOR_LOCK = threading.Lock()
_collector_pausers = 0
_collector_was_enabled = False


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """Pause the cyclic garbage collector while a batch runs.

    Each run leaves tens of thousands of fresh trade records (lists) that
    the next run frees; a collection between runs would only walk them
    (about a tenth of a combination's time on U1).  Garbage cycles made
    during the batch are collected when it ends.
    """
    global _collector_pausers, _collector_was_enabled
    with _COLLECTOR_LOCK:
        if _collector_pausers == 0:
            _collector_was_enabled = gc.isenabled()
            gc.disable()
        _collector_pausers += 1
    try:
        yield
    finally:
        with _COLLECTOR_LOCK:
            _collector_pausers -= 1
            if _collector_pausers == 0 and _collector_was_enabled:
                gc.enable()


def _glibc() -> Any:
    if not sys.platform.startswith("linux"):
        return None
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        return libc if hasattr(libc, "mallopt") and hasattr(libc, "malloc_trim") else None
    except OSError:
        return None


_M_TRIM_THRESHOLD = -1
_M_MMAP_THRESHOLD = -3
# Blocks up to this size come from (and go back to) the heap during a batch: a combination's
# largest arrays on a universe of a few thousand stocks, at most this much kept back per worker.
_ROOMY = 16 << 20
_ALLOCATOR_LOCK = threading.Lock()
_allocator_users = 0


@contextlib.contextmanager
def _roomy_allocator() -> Iterator[None]:
    """Let glibc keep freed memory for the next combination while a batch runs, where the environment forbids it.

    Dask's nanny starts workers with ``MALLOC_TRIM_THRESHOLD_`` set low, which
    also fixes at 128 KiB the size above which every block is mapped afresh:
    each combination's arrays then cost a page fault per 4 KiB on every run
    (a quarter more CPU on U1).  For the batch both thresholds are raised to
    16 MiB, and afterwards they are set back to the environment's values and
    the free memory is returned to the system, as those settings intend.
    """
    global _allocator_users
    trim = os.environ.get("MALLOC_TRIM_THRESHOLD_")
    libc = _glibc() if trim is not None else None
    if libc is None:
        yield
        return
    with _ALLOCATOR_LOCK:
        _allocator_users += 1
        if _allocator_users == 1:
            libc.mallopt(_M_TRIM_THRESHOLD, _ROOMY)
            libc.mallopt(_M_MMAP_THRESHOLD, _ROOMY)
    try:
        yield
    finally:
        with _ALLOCATOR_LOCK:
            _allocator_users -= 1
            if _allocator_users == 0:
                libc.mallopt(_M_TRIM_THRESHOLD, _env_int(trim, 128 * 1024))
                libc.mallopt(_M_MMAP_THRESHOLD, _env_int(os.environ.get("MALLOC_MMAP_THRESHOLD_"), 128 * 1024))
                libc.malloc_trim(0)


def _env_int(value: Optional[str], default: int) -> int:
    try:
        return int(value) if value is not None else default
    except ValueError:
        return default


def install_here(data: Any) -> bool:
    """Install the sweep's data in this worker ahead of its tasks; False when shared data cannot be mapped here."""
    return install(data) is not None
