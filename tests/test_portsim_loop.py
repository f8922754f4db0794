"""The bar loop: rebalance marks, skipped bars, valuation with NaN and zero
prices, the warning line, when rows are taken up and when they trade."""

import math

import numpy as np
import pytest
from sim import NO_COSTS, run

WARNING = "**WARRN: orvane numpy array has nan!\n"


def rotation(resample, price_index=(10, 20, 30, 40)):
    # Row 0 holds S0, row 1 moves to S1, row 2 back to S0.
    return run([[10, 10]] * 4, [[1, 0], [0, 1], [1, 0]], price_index=list(price_index),
               pos_index=[10, 20, 30], resample=resample, **NO_COSTS)


def test_resample_dates_mark_the_last_bar_on_or_before_them():
    # 5 marks bar 0, 20 and 25 both mark bar 1; bar 2 is unmarked, so row 2
    # waits and is never traded.
    res = rotation([5, 20, 25])
    assert res.trades == [[0, 1, 2], [1, 2, -1]]
    ops = res.operations
    assert (ops["weight_time"], ops["next_weight_time"]) == (1, 2)
    assert ops["actions"] == {}


def test_resample_date_after_the_last_bar_marks_the_last_bar():
    res = rotation([5, 20, 25, 99])
    assert res.trades == [[0, 1, 2], [1, 2, -1]]
    # The decision on the last bar stays pending and is reported.
    assert res.operations["actions"] == {0: "enter", 1: "exit"}


def test_marks_are_set_by_a_cursor_that_never_moves_back():
    # 25 marks bar 1; the later 15 cannot reach bar 0 again, it marks bar 1
    # too, so row 0 is never traded.
    res = rotation([25, 15])
    assert res.trades == [[1, 2, -1]]
    res = rotation([15, 30])
    assert res.trades == [[0, 1, 3], [0, 3, -1]]


def test_empty_resample_never_trades():
    res = rotation([])
    assert res.creturn.tolist() == [1.0] * 4
    assert res.trades == []


def test_bars_before_the_first_position_date_are_skipped():
    res = run([[10]] * 2 + [[20]] * 3, [[1.0]], price_index=[0, 1, 2, 3, 4], pos_index=[2],
              **NO_COSTS)
    assert res.creturn.tolist() == [1.0, 1.0, 1.0, 1.0, 1.0]
    assert res.trades == [[0, 3, -1]]


def test_skipped_bars_are_not_recorded():
    # The skipped bars 0 and 1 move the price; the entry is valued from the
    # trade price of bar 3 on.
    res = run([[5], [6], [10], [10], [20]], [[1.0]], pos_index=[2], **NO_COSTS)
    assert res.creturn.tolist() == [1.0, 1.0, 1.0, 1.0, 2.0]


def test_nan_trade_price_keeps_the_value_and_the_reference():
    res = run([[10], [10], [math.nan], [12]], [[1.0]], **NO_COSTS)
    assert res.creturn.tolist() == [1.0, 1.0, 1.0, 1.2]


def test_nan_close_reports_the_trade_price_value():
    res = run([[10], [10], [11]], [[1.0]], close=[[10], [10], [math.nan]], **NO_COSTS)
    assert res.creturn.tolist() == [1.0, 1.0, 1.1]


def test_close_valuation_multiplies_before_dividing():
    res = run([[10], [10], [10]], [[1.0]], close=[[10], [10], [3]], fee_ratio=0.01, tax_ratio=0)
    held = 1.0 - 0.01
    assert res.creturn[2] == 0.0 + (held * 3) / 10


def test_nan_reference_is_replaced_by_the_bar_trade_price():
    price = [[10, 10], [10, math.nan], [10, 8], [10, 10]]
    res = run(price, [[0.5, 0.5]], **NO_COSTS)
    # Bought on bar 1 with a NaN reference; bar 2 takes 8 as the reference.
    assert res.creturn.tolist() == [1.0, 1.0, 1.0, 0.5 + 0.5 * (10 / 8)]


def test_zero_prices_raise_nothing_and_nan_returns_warn(capsys):
    price = [[10], [10], [0], [5], [5]]
    res = run(price, [[1.0]], close=[[10]] * 5, **NO_COSTS)
    # Bar 2: ratio 0. Bar 3: ratio 5 / 0 = inf, and 0 * inf is NaN.
    assert res.creturn[:2].tolist() == [1.0, 1.0]
    assert all(math.isnan(v) for v in res.creturn[2:])
    assert capsys.readouterr().out == WARNING


def test_warning_goes_to_the_current_sys_stdout(monkeypatch):
    import io
    import sys

    out = io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    price = [[10, 10], [10, 10], [0, 10], [5, 10], [5, 10], [5, 10]]
    run(price, [[0.5, 0.5]], close=[[10, 10]] * 6, **NO_COSTS)
    # cr of stock 0 turns NaN on bar 3 (after the visits of that bar's first
    # holding); bar 3 warns for stock 1, bars 4 and 5 for both.
    assert out.getvalue() == WARNING * 5


def test_warning_is_skipped_when_sys_stdout_is_none(monkeypatch):
    import sys

    monkeypatch.setattr(sys, "stdout", None)
    res = run([[10], [10], [0], [5], [5]], [[1.0]], close=[[10]] * 5, **NO_COSTS)
    assert len(res.creturn) == 5


def test_row_dated_on_the_next_bar_waits_a_bar():
    res = run([[10, 10]] * 4, [[1, 0], [0, 1]], pos_index=[0, 2], **NO_COSTS)
    assert res.trades == [[0, 1, 3], [1, 3, -1]]


def test_only_the_newest_of_two_rows_known_before_a_bar_trades():
    res = run([[10, 10, 10]] * 3, [[1, 0, 0], [0, 1, 0], [0, 0, 1]], price_index=[0, 10, 20],
              pos_index=[0, 12, 15], resample=[0, 10, 20], **NO_COSTS)
    assert res.trades == [[0, 1, 2], [2, 2, -1]]


def test_decision_on_the_last_bar_is_not_executed():
    res = run([[10, 10]] * 4, [[1, 0], [0, 1]], pos_index=[0, 3], **NO_COSTS)
    assert res.trades == [[0, 1, -1]]
    assert res.creturn.tolist() == [1.0] * 4
    assert res.operations["actions"] == {0: "exit", 1: "enter"}
    assert (res.operations["weight_time"], res.operations["next_weight_time"]) == (0, 1)


def test_rebalance_moves_the_reference_to_the_rebalance_bar_price():
    # Held from bar 1 at 10; re-bought on bar 3 at 20 -- bar 4's move is
    # measured from 20.
    price = [[10], [10], [20], [20], [30]]
    res = run(price, [[0.5], [0.5]], pos_index=[0, 2], **NO_COSTS)
    balance = 0.5 + 0.5 * 2.0
    held = 0.5 * balance
    assert res.creturn[4] == (balance - held) + held * 30 / 20


@pytest.mark.parametrize("retain, trades", [
    (True, [[1, 1, 5], [0, 1, -1]]),
    (False, [[0, 1, 3], [1, 1, 3], [0, 3, -1], [1, 3, -1]]),
])
def test_retained_cost_reference_keeps_the_stop_loss_running(retain, trades):
    # Stock 1 falls to 0.95 before the second row and to 0.89 of its entry
    # after it: only a retained reference crosses the 10 % stop.
    s1 = [10, 10, 9.5, 9.5, 8.9, 8.9, 8.9]
    price = [[10, p] for p in s1]
    res = run(price, [[0.5, 0.5], [0.5, 0.5]], pos_index=[0, 2], stop_loss=0.1,
              retain_cost_when_rebalance=retain, **NO_COSTS)
    assert res.trades == trades


def test_retained_cost_reference_is_reset_for_a_side_flip():
    # The flip to a short on bar 3 starts a fresh reference at 8, and the
    # rise to 10 reaches the short's stop (1.25); measured from the old
    # reference the short would stand at 1.0.
    s1 = [10, 10, 8, 8, 8, 10, 10]
    price = [[10, p] for p in s1]
    res = run(price, [[0.5, 0.5], [0.5, -0.5]], pos_index=[0, 2], stop_loss=0.25,
              retain_cost_when_rebalance=True, **NO_COSTS)
    # The flip closes the long and opens a short on bar 3, whatever the
    # splitting mode; the short is signalled at the close of bar 5 and sold
    # on bar 6.
    assert res.trades == [[1, 1, 3], [1, 3, 6], [0, 1, -1]]


def test_one_creturn_per_bar_and_same_object_filled():
    res = run([[10]] * 6, [[0.3]], **NO_COSTS)
    assert res.creturn.shape == (6,) and res.creturn.dtype == np.float64
