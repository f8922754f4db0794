"""How a sweep's data reaches its workers, and what a worker keeps between combinations.

Worker processes on the sweep's host read one shared, read-only copy of the
data; workers that cannot map it get the pickle; the shared copy is gone
when the sweep ends, fails, or its process dies.  Combinations that change
only backtest options reuse what was prepared from the tables, and still
equal their single runs.
"""

from __future__ import annotations

import gc
import hashlib
import multiprocessing
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from typing import Any, Callable

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.datasets import momentum_position
from orvane.sweeps import expand_grid, runners, shared

pytestmark = pytest.mark.filterwarnings("ignore::orvane.DataWarning")

OPTIONS = {"resample": "M", "excursion_window": 10, "excursion_window_step": 5}
GRID = {"top": [4, 8], "stop_loss": [0.1, None]}
LINUX_SHM = sys.platform.startswith("linux") and os.path.isdir("/dev/shm")


@pytest.fixture(scope="module")
def market() -> orvane.Prices:
    return orvane.datasets.sample_market(n_stocks=40, years=3, seed=7)


def digest(prices: orvane.Prices) -> str:
    h = hashlib.sha256()
    for field in ("open", "high", "low", "close"):
        frame = getattr(prices, field)
        h.update(np.ascontiguousarray(frame.to_numpy()).tobytes())
        h.update(repr(list(frame.columns)).encode())
        h.update(frame.index.asi8.tobytes())
    return h.hexdigest()


def our_segments() -> set[str]:
    return {name for name in os.listdir("/dev/shm") if name.startswith(f"{shared.SEGMENT_PREFIX}{os.getpid()}-")}


class CheckedStrategy:
    """Momentum that first checks that its prices are the original ones and, in a worker, read-only."""

    def __init__(self, expected: str, parent: int) -> None:
        self.expected = expected
        self.parent = parent

    def __call__(self, prices: orvane.Prices, top: int) -> pd.DataFrame:
        if digest(prices) != self.expected:
            raise AssertionError("the worker's prices differ from the sweep's")
        if os.getpid() == self.parent:
            # Run in the caller's process (serially), the strategy gets the caller's own tables.
            return momentum_position(prices.close, top=top, lookback=60, skip=5)
        for field in ("open", "high", "low", "close"):
            values = getattr(prices, field).to_numpy()
            if values.flags.writeable:
                raise AssertionError(f"the worker's {field} prices are writable")
            try:
                values[0, 0] = 1.0
            except ValueError:
                pass
            else:
                raise AssertionError(f"the worker could write into its {field} prices")
        if LINUX_SHM:
            live = [n for n in os.listdir("/dev/shm") if n.startswith(f"{shared.SEGMENT_PREFIX}{self.parent}-")]
            if not live:
                raise AssertionError("no shared segment while the sweep runs")
        return momentum_position(prices.close, top=top, lookback=60, skip=5)


def crash_on(prices: orvane.Prices, top: int) -> pd.DataFrame:
    if top == 8:
        os._exit(3)
    return momentum_position(prices.close, top=top, lookback=60, skip=5)


def spawn_pool(monkeypatch: pytest.MonkeyPatch) -> Any:
    """The sweep's own pool with spawned workers, as on macOS and Windows."""
    monkeypatch.setattr(runners, "_process_context", lambda: multiprocessing.get_context("spawn"))
    return "process"


@pytest.mark.parametrize("kind", ["own spawn", "spawn", "forkserver", "fork"])
def test_every_start_method_reads_the_original_data_read_only(market, monkeypatch, kind) -> None:
    if kind != "own spawn" and kind.split()[-1] not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {kind} start method here")
    strategy = CheckedStrategy(digest(market), os.getpid())
    serial = orvane.sweep(strategy, market, GRID, options=OPTIONS, executor="serial")
    assert serial["error"].isna().all()
    if kind == "own spawn":
        table = orvane.sweep(strategy, market, GRID, options=OPTIONS, executor=spawn_pool(monkeypatch), max_workers=2)
    else:
        with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context(kind)) as pool:
            table = orvane.sweep(strategy, market, GRID, options=OPTIONS, executor=pool, batch_size=1)
    pd.testing.assert_frame_equal(serial, table, check_exact=True)
    if LINUX_SHM:
        assert our_segments() == set()


@pytest.mark.skipif(not LINUX_SHM, reason="reads /dev/shm")
def test_the_segment_goes_when_a_sweep_fails_or_its_worker_dies(market, monkeypatch) -> None:
    strategy = CheckedStrategy(digest(market), os.getpid())
    # The ranking statistic is checked on the first result, inside the sweep.
    with pytest.raises(ValueError, match="is not a statistic"):
        orvane.sweep(strategy, market, GRID, options=OPTIONS, executor=spawn_pool(monkeypatch), max_workers=2,
                     keep=1, sort_by="sharp")
    assert our_segments() == set()
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        table = orvane.sweep(crash_on, market, GRID, options=OPTIONS, executor=pool, batch_size=1)
    assert table.loc[table["top"] == 8, "error"].str.startswith("task failed: BrokenProcessPool").all()
    assert our_segments() == set()


@pytest.mark.skipif(not LINUX_SHM, reason="reads /dev/shm")
def test_the_segment_goes_when_the_sweeping_process_is_killed(tmp_path) -> None:
    script = textwrap.dedent(
        """
        import os, pickle, signal
        import numpy as np
        from orvane.sweeps import shared

        exported = shared.export({"prices": np.arange(1 << 16, dtype=np.float64)}, "t", pickle.dumps)
        assert exported is not None
        print(exported[0].name, flush=True)
        os.kill(os.getpid(), signal.SIGKILL)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    name = done.stdout.strip()
    assert name.startswith(shared.SEGMENT_PREFIX), done.stderr
    # The resource tracker unlinks it once it sees its process gone; it takes a moment.
    deadline = time.monotonic() + 60
    while os.path.exists(f"/dev/shm/{name}") and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not os.path.exists(f"/dev/shm/{name}")


class FarExecutor(Executor):
    """Runs each task in a thread, from a pickled copy of its arguments, on a 'host' without the segment."""

    def __init__(self) -> None:
        self.received: list[str] = []

    def submit(self, fn: Callable, /, *args: Any, **kwargs: Any) -> Future:
        future: Future = Future()
        fn, args = pickle.loads(pickle.dumps((fn, args)))
        self.received.append(type(args[1]).__name__)

        def run() -> None:
            try:
                future.set_result(fn(*args, **kwargs))
            except BaseException as exc:
                future.set_exception(exc)

        threading.Thread(target=run).start()
        return future


def test_a_worker_that_cannot_map_the_segment_is_sent_the_pickle(market, monkeypatch) -> None:
    serial = orvane.sweep(momentum_position_strategy, market, GRID, options=OPTIONS, executor="serial")
    monkeypatch.setattr(shared, "attach", lambda data: None)
    far = FarExecutor()
    table = orvane.sweep(momentum_position_strategy, market, GRID, options=OPTIONS, executor=far, batch_size=1)
    pd.testing.assert_frame_equal(serial, table, check_exact=True)
    # The shared copy was offered first; the worker asked again and got the pickle.
    assert "SharedData" in far.received and "bytes" in far.received


def test_without_shared_memory_the_workers_get_the_pickle(market, monkeypatch) -> None:
    # Where no segment can be had (shared memory too small, say), the data is pickled as before.
    serial = orvane.sweep(momentum_position_strategy, market, GRID, options=OPTIONS, executor="serial")
    monkeypatch.setattr(shared.Segment, "create", classmethod(lambda cls, size: None))
    table = orvane.sweep(momentum_position_strategy, market, GRID, options=OPTIONS, executor=spawn_pool(monkeypatch),
                         max_workers=2)
    pd.testing.assert_frame_equal(serial, table, check_exact=True)


def momentum_position_strategy(prices: orvane.Prices, top: int) -> pd.DataFrame:
    return momentum_position(prices.close, top=top, lookback=60, skip=5)


def test_dask_workers_map_the_shared_copy_or_get_the_pickle_and_let_go(market) -> None:
    distributed = pytest.importorskip("distributed")
    serial = orvane.sweep(momentum_position_strategy, market, GRID, options=OPTIONS, executor="serial")
    try:
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        )
    except Exception as exc:
        if os.environ.get("ORVANE_SANITIZED"):
            pytest.skip(f"Dask worker processes did not start under the preloaded sanitizers: {exc!r}")
        raise
    with cluster, distributed.Client(cluster) as client:
        local = orvane.sweep(momentum_position_strategy, market, GRID, options=OPTIONS, executor=client)
        # The engine holds its last run's prices until its next run; after that nothing maps the segment.
        mapped = client.run(_mapped_segments_after_another_run)
        # Workers on another host cannot map the segment: here, workers told so.
        client.run(_no_shared_memory)
        remote = orvane.sweep(momentum_position_strategy, market, GRID, options=OPTIONS, executor=client)
    pd.testing.assert_frame_equal(serial, local, check_exact=True)
    pd.testing.assert_frame_equal(serial, remote, check_exact=True)
    if LINUX_SHM:
        assert all(n == 0 for n in mapped.values())


def _mapped_segments_after_another_run() -> int:
    dates = pd.bdate_range("2020-01-01", periods=5)
    close = pd.DataFrame({"A": [1.0, 2.0, 3.0, 4.0, 5.0]}, index=dates)
    orvane.backtest(pd.DataFrame({"A": [1.0]}, index=dates[:1]), close)
    gc.collect()
    if not os.path.exists("/proc/self/maps"):
        return 0
    with open("/proc/self/maps") as f:
        return sum(shared.SEGMENT_PREFIX in line for line in f)


def _no_shared_memory() -> None:
    shared.attach = lambda data: None


def test_option_only_combinations_reuse_the_tables_and_equal_single_runs(market) -> None:
    position = momentum_position(market.close, top=8, lookback=60, skip=5)
    grid = {"resample": ["M", "W"], "touched_exit": [False, True], "stop_loss": [0.05, None], "fee_ratio": [0.0, 0.002]}
    table = orvane.sweep(position, market, grid, options={"excursion_window": 10}, executor="serial")
    stats_columns = [c for c in table.columns if c not in grid and c not in ("error", "deflated_sharpe")]
    for i, params in enumerate(expand_grid(grid)):
        expected = orvane.backtest(position, market, excursion_window=10, **params).stats()
        got = table.loc[i, stats_columns].dropna()
        # A statistic named like a grid parameter (the cost rates) is listed with a suffix.
        got.index = [c[: -len("_stat")] if c.endswith("_stat") else c for c in got.index]
        pd.testing.assert_series_equal(got.astype(object), expected[got.index].astype(object), check_names=False,
                                       check_exact=True)


def test_a_bad_price_fails_every_combination_as_it_fails_alone(market) -> None:
    position = momentum_position(market.close, top=8, lookback=60, skip=5)
    trades = orvane.backtest(position, market, resample="M").trades
    # A negative close strictly inside a closed trade: the engine carries on, the check of held prices refuses it.
    trade = trades[(trades["exit_index"] - trades["entry_index"] >= 4) & market.close.notna().all().reindex(
        trades["stock"]).to_numpy()].iloc[0]
    close = market.close.copy()
    close.iloc[int(trade["entry_index"]) + 2, close.columns.get_loc(trade["stock"])] = -1.0
    prices = orvane.Prices(close, market.open, market.high, market.low)
    with pytest.raises(orvane.InputError, match="zero, negative or infinite") as alone:
        orvane.backtest(position, prices, resample="M")
    table = orvane.sweep(position, prices, {"fee_ratio": [0.0, 0.001, 0.002]}, options={"resample": "M"},
                         executor="serial")
    assert (table["error"] == f"InputError: {alone.value}").all()


def test_the_one_line_summary_of_missing_prices_reads_the_same_from_the_table(market) -> None:
    position = momentum_position(market.close, top=8, lookback=60, skip=5)
    report = orvane.backtest(position, market, resample="M")
    gaps = report.held_gaps()
    assert gaps is not None and gaps.total > 0
    from orvane.gaps import HeldGaps

    rebuilt = HeldGaps(gaps.per_trade, gaps.entry_missing, runs=report.missing_prices, total=gaps.total)
    for limit in (1, 3, 5, 100):
        assert gaps.summary(limit) == rebuilt.summary(limit)


def test_the_collector_is_paused_only_during_the_sweep(market) -> None:
    position = momentum_position(market.close, top=8, lookback=60, skip=5)
    assert gc.isenabled()
    orvane.sweep(position, market, {"stop_loss": [0.1, None]}, executor="serial")
    assert gc.isenabled()
    gc.disable()
    try:
        orvane.sweep(position, market, {"stop_loss": [0.1, None]}, executor="serial")
        assert not gc.isenabled()
    finally:
        gc.enable()

