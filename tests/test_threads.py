"""backtest_ from several Python threads: a run in progress is never disturbed.

The engine holds the interpreter lock for the whole run except when it runs
Python code: the truth test of stop_trading_next_period on every rebalance.
The objects below sleep there, so another thread gets the lock in the middle
of a run and calls backtest_ itself.
"""

from __future__ import annotations

import sys
import threading
import time
from typing import Any

import numpy as np
import pytest

portsim = pytest.importorskip("orvane.core.portsim")
excursion = pytest.importorskip("orvane.core.excursion")

DAY = 86_400 * 10**9
ALREADY_RUNNING = "backtest_ is already running"
# Waits end as soon as the awaited event happens; this bound only turns a
# hang into a failure, and is far beyond what any load makes them take.
HANG = 300


class Yielding:
    """True, and lets other threads run while the engine asks."""

    def __bool__(self) -> bool:
        time.sleep(0)
        return True


class Rendezvous:
    """Signals that the run is inside Python code, then waits to be let go."""

    def __init__(self) -> None:
        self.inside = threading.Event()
        self.release = threading.Event()

    def __bool__(self) -> bool:
        self.inside.set()
        assert self.release.wait(HANG), "the other thread never let the run go on"
        return True


def inputs(seed: int, truth: Any) -> dict[str, Any]:
    """A run of 40 bars and 4 stocks that rebalances on every bar."""
    rng = np.random.default_rng(seed)
    nbars, nstocks = 40, 4
    price = 10 * np.cumprod(1 + rng.normal(0, 0.03, (nbars, nstocks)), axis=0)
    idx = np.arange(1, nbars + 1, dtype=np.int64) * DAY
    return dict(
        price_values=price, close_values=price * 1.001, high_values=price * 1.02,
        low_values=price * 0.98, open_values=price,
        price_index=idx, price_columns=np.array(list("ABCD"), dtype=object),
        pos_values=rng.uniform(-0.3, 0.3, (nbars, nstocks)), pos_index=idx.copy(),
        pos_columns=np.array(list("ABCD"), dtype=object), resample=idx.copy(),
        stop_loss=0.05, take_profit=0.1, excursion_window=3,
        stop_trading_next_period=truth,
    )


def sequential(seed: int) -> tuple[np.ndarray, list]:
    creturn = portsim.backtest_(**inputs(seed, True))
    return creturn.copy(), [list(map(int, t)) for t in excursion.trades]


def test_second_thread_is_refused_while_a_run_waits_in_python_code():
    expected = sequential(1)[0]
    gate = Rendezvous()
    result: dict[str, Any] = {}

    def outer() -> None:
        result["creturn"] = portsim.backtest_(**inputs(1, gate))

    t = threading.Thread(target=outer)
    t.start()
    assert gate.inside.wait(HANG)
    with pytest.raises(RuntimeError) as info:
        portsim.backtest_(**inputs(2, True))
    assert str(info.value) == ALREADY_RUNNING
    gate.release.set()
    t.join(HANG)
    assert not t.is_alive()
    np.testing.assert_array_equal(result["creturn"], expected)
    # Runs work again once the first one is over.
    np.testing.assert_array_equal(portsim.backtest_(**inputs(1, True)), expected)


def test_two_threads_get_correct_results_or_the_running_error():
    expected = {seed: sequential(seed) for seed in (3, 4)}
    outcomes: dict[int, list[str]] = {3: [], 4: []}
    failures: list[str] = []
    stop = threading.Event()

    def worker(seed: int) -> None:
        # Retry after each refusal until 30 runs went through. How often a
        # thread is refused depends on scheduling; only the results count.
        while outcomes[seed].count("ran") < 30 and not stop.is_set():
            try:
                creturn = portsim.backtest_(**inputs(seed, Yielding()))
            except RuntimeError as exc:
                if str(exc) != ALREADY_RUNNING:
                    failures.append(repr(exc))
                outcomes[seed].append("refused")
                time.sleep(0)
            else:
                if not np.array_equal(creturn, expected[seed][0]):
                    failures.append(f"seed {seed}: wrong creturn")
                outcomes[seed].append("ran")

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in (3, 4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(HANG)
        hung = any(t.is_alive() for t in threads)
        stop.set()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not hung, f"the threads did not finish their runs: {[v.count('ran') for v in outcomes.values()]}"
    assert failures == []
    assert all(v.count("ran") == 30 for v in outcomes.values())
    # The module is left whole: a run now gives the sequential answer and trades.
    for seed in (3, 4):
        creturn, trades = sequential(seed)
        np.testing.assert_array_equal(creturn, expected[seed][0])
        assert trades == expected[seed][1]


def test_nested_call_from_the_run_is_refused_and_the_outer_run_is_unchanged():
    expected_creturn, expected_trades = sequential(5)
    nested: list[str] = []

    class Nesting:
        def __bool__(self) -> bool:
            try:
                portsim.backtest_(**inputs(6, True))
            except RuntimeError as exc:
                nested.append(str(exc))
            return True

    creturn = portsim.backtest_(**inputs(5, Nesting()))
    np.testing.assert_array_equal(creturn, expected_creturn)
    assert [list(map(int, t)) for t in excursion.trades] == expected_trades
    assert nested and set(nested) == {ALREADY_RUNNING}
