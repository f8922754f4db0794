"""orvane.backtest and orvane.sweep from several threads: every caller gets its own run's results."""

from __future__ import annotations

import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("orvane.core.portsim")

import orvane  # noqa: E402
from orvane.datasets import momentum_position  # noqa: E402
from orvane.sweeps import expand_grid  # noqa: E402

# The synthetic market suspends and delists stocks that these strategies hold.
pytestmark = pytest.mark.filterwarnings("ignore::orvane.DataWarning")


@pytest.fixture(scope="module")
def market() -> orvane.Prices:
    return orvane.datasets.sample_market(n_stocks=50, years=2, seed=23)


@pytest.fixture(scope="module")
def calls(market: orvane.Prices) -> list[tuple[pd.DataFrame, dict]]:
    """Four strategies of different shapes: trade counts, rebalance rules and exits all differ."""
    close = market.close
    weekly_ten = momentum_position(close[close.columns[:10]], top=3, lookback=40, skip=2)
    monthly_all = momentum_position(close, top=12, lookback=60, skip=5)
    rng = np.random.default_rng(3)
    rows = close.index[20::15]
    shorts = pd.DataFrame(rng.uniform(-0.1, 0.1, (len(rows), 20)), index=rows, columns=close.columns[10:30])
    daily = momentum_position(close, top=5, lookback=20, skip=1).iloc[30:]
    return [
        (weekly_ten, {"resample": "W", "stop_loss": 0.05, "excursion_window": 5}),
        (monthly_all, {"resample": "M", "take_profit": 0.2, "touched_exit": True}),
        (shorts, {"trail_stop": 0.08, "retain_cost_when_rebalance": True}),
        (daily, {"periodically_rebalance": False, "excursion_window": 3, "excursion_window_step": 2}),
    ]


def fingerprint(report: orvane.Report) -> tuple:
    return report.creturn, report.trades, report.actions(), report.paths, report.missing_prices


def assert_same(got: tuple, expected: tuple) -> None:
    pd.testing.assert_series_equal(got[0], expected[0], check_exact=True)
    pd.testing.assert_frame_equal(got[1], expected[1], check_exact=True)
    pd.testing.assert_frame_equal(got[2], expected[2], check_exact=True)
    if expected[3] is None:
        assert got[3] is None
    else:
        pd.testing.assert_frame_equal(got[3], expected[3], check_exact=True)
    pd.testing.assert_frame_equal(got[4], expected[4], check_exact=True)


def test_threads_each_get_the_report_of_their_own_call(market, calls) -> None:
    alone = [fingerprint(orvane.backtest(position, market, **options)) for position, options in calls]
    assert len({len(a[1]) for a in alone}) == len(calls), "the strategies should differ in their trades"
    n_threads, n_calls = 4, 12
    results: dict[int, list] = {k: [] for k in range(n_threads)}
    failures: list[str] = []
    start = threading.Barrier(n_threads)

    def worker(k: int) -> None:
        start.wait()
        for i in range(n_calls):
            which = (k + i) % len(calls)
            position, options = calls[which]
            try:
                report = orvane.backtest(position, market, **options)
                # Reading the trades later, while other threads run, must still give this run's.
                results[k].append((which, fingerprint(report)))
            except Exception as exc:  # a failure of any kind is what this test looks for
                failures.append(f"thread {k} call {i}: {exc!r}")

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(n_threads)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(600)
    finally:
        sys.setswitchinterval(old)
    assert failures == []
    assert sum(len(r) for r in results.values()) == n_threads * n_calls
    for k, done in results.items():
        for which, got in done:
            assert_same(got, alone[which])


def test_sweep_on_a_thread_pool_equals_the_serial_sweep(market, calls) -> None:
    position, options = calls[1]
    grid = {"stop_loss": [0.05, 0.1, None], "take_profit": [0.2, None], "fee_ratio": [0.0, 0.001425]}
    serial = orvane.sweep(position, market, grid, options={"resample": "M"}, executor="serial")
    with ThreadPoolExecutor(4) as pool:
        threaded = orvane.sweep(position, market, grid, options={"resample": "M"}, executor=pool, batch_size=1)
    pd.testing.assert_frame_equal(serial, threaded, check_exact=True)
    for i, params in enumerate(expand_grid(grid)):
        alone = orvane.backtest(position, market, resample="M", **params).stats()
        assert threaded.loc[i, "total_return"] == alone["total_return"]


def test_backtest_called_from_inside_a_sweep_thread_does_not_deadlock(market, calls) -> None:
    position, options = calls[2]

    def strategy(prices: orvane.Prices, scale: float) -> pd.DataFrame:
        # A strategy that runs a back-test of its own to choose its weights.
        probe = orvane.backtest(position, prices, **options)
        return position * scale * (1.0 if probe.creturn.iloc[-1] > 0 else 0.0)

    with ThreadPoolExecutor(2) as pool:
        frame = orvane.sweep(strategy, market, {"scale": [0.5, 1.0]}, executor=pool)
    assert frame["error"].isna().all()
    expected = orvane.backtest(position * 0.5, market).stats()["total_return"]
    assert frame.loc[0, "total_return"] == expected


FORK_DURING_A_RUN = """
import os, signal, threading
import orvane
from orvane.simulate import ENGINE_LOCK

market = orvane.datasets.sample_market(n_stocks=10, years=1, seed=5)
position = orvane.datasets.momentum_position(market.close, top=3, lookback=20, skip=1)
expected = orvane.backtest(position, market).creturn
held, forked = threading.Event(), threading.Event()

def a_run_in_progress():
    # Another thread's back-test holds the engine; it ends after a second at most.
    with ENGINE_LOCK:
        held.set()
        forked.wait(1.0)

thread = threading.Thread(target=a_run_in_progress)
thread.start()
held.wait()
pid = os.fork()
if pid == 0:
    # A child that inherited the lock held would wait here for ever; the alarm ends it instead.
    signal.alarm(30)
    same = orvane.backtest(position, market).creturn.equals(expected)
    os._exit(0 if same else 3)
forked.set()
thread.join()
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs os.fork")
def test_a_process_forked_while_another_thread_runs_can_run_the_engine() -> None:
    import subprocess

    done = subprocess.run([sys.executable, "-c", FORK_DURING_A_RUN], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    # 0: the child ran and got the parent's result; -14 (SIGALRM) would be a child stuck on the lock.
    assert done.stdout.split()[-1] == "0", done.stdout + done.stderr
