"""The benchmark's synthetic universes and its trade-timing model of the engine."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench import peer as P  # noqa: E402
from bench import universe as U  # noqa: E402


@pytest.fixture(scope="module")
def small() -> U.Universe:
    return U.u2(300, 700, holdings=20)


def test_same_arguments_give_identical_arrays(small: U.Universe) -> None:
    again = U.u2(300, 700, holdings=20)
    for a, b in [(small.close, again.close), (small.high, again.high), (small.pos_values, again.pos_values)]:
        assert np.array_equal(a, b, equal_nan=True)
    other = U.u2(300, 700, holdings=20, seed=1)
    assert not np.array_equal(small.close, other.close, equal_nan=True)


def test_dropping_the_gaps_leaves_every_other_array_unchanged(small: U.Universe) -> None:
    clean = U.u2(300, 700, holdings=20, nan_fraction=0.0)
    assert not np.isnan(clean.close).any()
    valid = ~np.isnan(small.close)
    assert np.array_equal(small.close[valid], clean.close[valid])
    assert np.array_equal(small.pos_values, clean.pos_values)


def test_bars_are_consistent_and_gaps_shared_by_all_prices(small: U.Universe) -> None:
    gaps = np.isnan(small.close)
    for m in (small.open, small.high, small.low):
        assert np.array_equal(np.isnan(m), gaps)
    ok = ~gaps
    assert np.all(small.low[ok] <= np.minimum(small.open[ok], small.close[ok]))
    assert np.all(small.high[ok] >= np.maximum(small.open[ok], small.close[ok]))
    assert np.all(small.low[ok] > 0)


def test_gaps_are_runs_of_one_to_twenty_bars_near_one_percent() -> None:
    starts, lengths, run_cols = U.nan_run_layout(np.random.default_rng(3), 5000, 50, 0.01)
    assert lengths.min() == 1 and lengths.max() == 20
    rows, cols = U.nan_runs(np.random.default_rng(3), 5000, 50, 0.01)
    assert len(rows) == np.minimum(starts + lengths, 5000).sum() - starts.sum()
    mask = np.zeros((5000, 50), dtype=bool)
    mask[rows, cols] = True
    assert 0.009 < mask.mean() < 0.0105
    for k in range(0, len(starts), 50):
        assert mask[starts[k] : starts[k] + lengths[k], run_cols[k]].all()


def test_dates_are_ascending_weekdays() -> None:
    d = U.business_dates(600)
    days = d // (86400 * 10**9)
    assert np.all(np.diff(d) > 0)
    assert np.all((days + 3) % 7 < 5)
    assert np.all(np.diff(days) <= 3)


def test_weight_rows_sit_on_month_ends_and_hold_equal_weights(small: U.Universe) -> None:
    months = small.dates.astype("datetime64[ns]").astype("datetime64[M]")
    for b in small.rebalance_bars:
        assert months[b] != months[b + 1]
    assert np.array_equal(small.pos_index, small.dates[small.rebalance_bars])
    held = small.pos_values != 0
    assert np.all(held.sum(axis=1) == 20)
    assert np.all(small.pos_values[held] == 1.0 / 20)
    assert 0.35 < small.turnover < 0.65


def test_weight_columns_follow_their_names(small: U.Universe) -> None:
    assert sorted(small.pos_columns) == sorted(small.price_columns)
    assert not np.array_equal(small.pos_columns, small.price_columns)
    by_price = np.zeros_like(small.pos_values)
    perm = small.meta["perm"]
    by_price[:, perm] = small.pos_values
    names = list(small.price_columns)
    for j in range(0, 300, 37):
        assert np.array_equal(small.pos_values[:, j], by_price[:, names.index(small.pos_columns[j])])


def test_daily_variant_has_a_row_and_a_rebalance_date_every_bar() -> None:
    u = U.u3(60, 120, holdings=10)
    assert np.array_equal(u.pos_index, u.dates)
    assert np.array_equal(u.resample, u.dates)
    assert np.all((u.pos_values != 0).sum(axis=1) == 10)


@pytest.mark.parametrize(
    "dates, pos_index, resample, expected",
    [
        # A row dated on a bar is noticed at its close and traded on the next bar.
        ([10, 20, 30], [20], [20], [(2, 0)]),
        # Two rows known before the same next bar: only the newer is traded.
        ([10, 20, 30, 40], [15, 25], [20, 30], [(2, 1)]),
        # An unmarked bar leaves a new row waiting for the next marked one.
        ([10, 20, 30, 40, 50], [10, 30], [10, 40], [(1, 0), (4, 1)]),
        # A decision on the last bar is never executed.
        ([10, 20, 30], [30], [30], []),
    ],
)
def test_trade_schedule(dates, pos_index, resample, expected) -> None:
    arr = lambda v: np.array(v, dtype=np.int64)  # noqa: E731
    assert P.trade_schedule(arr(dates), arr(pos_index), arr(resample)) == expected


def _tiny_universe(close: list[list[float]], weights: list[list[float]], weight_bars: list[int]) -> U.Universe:
    close_a = np.array(close, dtype=np.float64)
    dates = np.arange(1, len(close) + 1, dtype=np.int64) * 10
    names = np.array([f"S{i}" for i in range(close_a.shape[1])], dtype=object)
    perm = np.arange(close_a.shape[1])[::-1].copy()
    pos_values = np.array(weights, dtype=np.float64)[:, perm]
    idx = dates[weight_bars]
    return U.Universe(
        dates, names, names[perm], close_a, None, None, None, pos_values, idx, idx.copy(),
        np.array(weight_bars), 0.0, 0.0, {"perm": perm},
    )


def test_reference_values_holdings_at_the_close_after_the_trade_bar() -> None:
    u = _tiny_universe([[10, 20], [10, 20], [11, 20], [12, 10]], [[0.5, 0.5]], [0])
    assert np.allclose(P.reference_creturn(u), [1.0, 1.0, 1.05, 0.85], rtol=0, atol=1e-15)


def test_reference_rebalance_moves_to_new_weights_at_the_trade_bar_price() -> None:
    u = _tiny_universe([[10, 10], [10, 10], [20, 10], [20, 20]], [[1.0, 0.0], [0.0, 1.0]], [0, 1])
    # Bar 1 buys the first stock; bar 2 doubles it and switches all 2.0 into the second,
    # which doubles on bar 3.
    assert np.allclose(P.reference_creturn(u), [1.0, 1.0, 2.0, 4.0], rtol=0, atol=1e-15)


def test_peer_order_rows_carry_each_executed_row_on_its_trade_bar(small: U.Universe) -> None:
    size = P.target_rows(small)
    order_bars = np.flatnonzero(~np.isnan(size).all(axis=1))
    assert np.array_equal(order_bars, small.rebalance_bars[small.rebalance_bars < small.shape[0] - 1] + 1)
    perm = small.meta["perm"]
    assert np.array_equal(size[order_bars[0], perm], small.pos_values[0])
