"""The stock-operations report left by each completed run."""

import math

import numpy as np
import pytest
from sim import NO_COSTS, names, run

from orvane.core import portsim


def test_worked_example():
    # Row 3 is executed on bar 1; row 4 becomes known on the last bar and is
    # pending.
    rows = [[0.1, 0.0, 0.0]] * 3 + [[0.5, 0.5, 0.0], [0.6, 0.0, 0.6]]
    price = [[10, 10, 10], [10, 10, 10], [10.4, 9, 10], [10.4, 9, 10]]
    res = run(price, rows, pos_index=[-3, -2, -1, 0, 3], **NO_COSTS)
    ops = res.operations
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    assert ops["actions"] == {0: "hold", 1: "exit", 2: "enter"}
    assert list(ops["actions"]) == [0, 1, 2]
    assert ops["weights"] == {0: 0.5, 1: 0.5}
    assert ops["next_weights"] == {0: 0.6 / 1.2, 2: 0.6 / 1.2}
    assert (ops["weight_time"], ops["next_weight_time"]) == (3, 4)
    assert all(type(k) is int for k in ops["actions"]) and type(ops["weights"][0]) is float


def test_no_rebalance_executed():
    res = run([[10, 10]] * 3, [[0.25, 0.0]], resample=[])
    assert res.operations == {"actions": {}, "weights": {}, "next_weights": {0: 0.25},
                              "weight_time": -1, "next_weight_time": 0}


def test_latest_weights_divided_by_a_signed_sum_above_one():
    res = run([[10, 10]] * 3, [[0.8, 0.8]], **NO_COSTS)
    assert res.operations["weights"] == {0: 0.8 / 1.6, 1: 0.8 / 1.6}
    assert res.operations["next_weights"] == {0: 0.8 / 1.6, 1: 0.8 / 1.6}


def test_long_short_weights_are_normalised_by_their_absolute_sum():
    res = run([[10, 10, 10]] * 3, [[0.8, -0.6, 0.6]], **NO_COSTS)
    # Signed sum 0.8 is not divided; normalize_weight scales by 1 / 2.0.
    assert res.operations["weights"] == {0: 0.8 * 0.5, 1: -0.6 * 0.5, 2: 0.6 * 0.5}


def test_stock_stopped_out_since_the_rebalance_keeps_a_zero_weight():
    price = [[10, 10], [10, 10], [10, 8], [10, 8], [10, 8]]
    res = run(price, [[0.7, 0.7]], stop_loss=0.1, **NO_COSTS)
    ops = res.operations
    assert ops["weights"] == {0: 0.7 / 1.4, 1: 0.0}
    # The next row skips the stopped stock but still counts its weight.
    assert ops["next_weights"] == {0: 0.7 / 1.4}
    assert ops["actions"] == {1: "sl_"}


def test_next_weights_keep_stopped_stocks_when_trading_goes_on():
    price = [[10, 10], [10, 10], [10, 8], [10, 8], [10, 8]]
    res = run(price, [[0.5, 0.5]], stop_loss=0.1, stop_trading_next_period=False, **NO_COSTS)
    assert res.operations["next_weights"] == {0: 0.5, 1: 0.5}


def test_nan_next_weight_stops_the_division():
    res = run([[10, 10, 10]] * 2, [[0.0, 0.0, 0.0], [2.0, np.nan, 0.0]], position_limit=3.0,
              **NO_COSTS)
    nxt = res.operations["next_weights"]
    assert list(nxt) == [0, 1] and nxt[0] == 2.0 and math.isnan(nxt[1])


def test_weights_are_clipped_to_the_position_limit():
    res = run([[10, 10]] * 3, [[0.6, 0.2]], position_limit=0.5, **NO_COSTS)
    assert res.operations["weights"] == {0: 0.5, 1: 0.2}
    assert res.operations["next_weights"] == {0: 0.5, 1: 0.2}


def test_held_zero_entry_counts_as_not_held_for_pending_actions():
    price = [[10, 10], [10, 10], [10, 9], [10, 9]]
    low = [[10, 10], [10, 10], [10, 8], [10, 9]]
    res = run(price, [[0.5, 0.5], [0.5, 0.5]], pos_index=[0, 3], low=low, touched_exit=True,
              stop_loss=0.1, stop_trading_next_period=False, **NO_COSTS)
    # Stock 1 was sold inside bar 2 and sits in the book at 0: "enter", then
    # step 10 leaves it as it is.
    assert res.operations["actions"] == {0: "hold", 1: "enter"}


def signal_on_last_bar(stop_next, last_row_date, next_row=(0.5, 0.5, 0.5)):
    # On the last bar (3) stock 1 closes at its take profit and stock 2 below
    # its stop.
    price = [[10, 10, 10], [10, 10, 10], [10, 10, 10], [10, 12, 8]]
    return run(price, [[0.3, 0.3, 0.3], list(next_row)], pos_index=[0, last_row_date],
               resample=[0, 1, 2], stop_loss=0.1, take_profit=0.1,
               stop_trading_next_period=stop_next, **NO_COSTS).operations


def test_signals_of_the_last_bar_are_tp_and_sl():
    assert signal_on_last_bar(True, 3)["actions"] == {1: "tp", 2: "sl"}
    # Trading on, but the last bar is later than the newest row.
    assert signal_on_last_bar(False, 2)["actions"] == {1: "tp", 2: "sl"}


def test_signals_with_a_new_weight_are_tp_enter_and_sl_enter():
    assert signal_on_last_bar(False, 3)["actions"] == {1: "tp_enter", 2: "sl_enter"}
    # No next weight: nothing is written for the signal.
    assert signal_on_last_bar(False, 3, (0.5, 0.0, 0.5))["actions"] == {2: "sl_enter"}


def test_pending_rebalance_words_are_overwritten_by_signals():
    price = [[10, 10, 10], [10, 10, 10], [10, 10, 10], [10, 12, 8]]
    res = run(price, [[0.3, 0.3, 0.3], [0.0, 0.5, 0.0]], pos_index=[0, 3], stop_loss=0.1,
              take_profit=0.1, stop_trading_next_period=False, **NO_COSTS)
    # Step 8 says exit/hold/exit; the signals then rewrite 1 and leave 2
    # (its next weight is 0) as "exit".
    assert res.operations["actions"] == {0: "exit", 1: "tp_enter", 2: "exit"}
    assert list(res.operations["actions"]) == [0, 1, 2]


def report():
    return portsim.get_trade_stocks(names(1), np.arange(3, dtype=np.int64), False)[1]


def test_each_run_builds_a_new_report_and_a_failed_run_keeps_the_old():
    run([[10]] * 3, [[1.0]])
    first = report()
    run([[10]] * 3, [[0.5]])
    second = report()
    assert second is not first and first["weights"] == {0: 1.0}
    with pytest.raises(IndexError):
        run([[10]] * 3, [[0.5]], pos_index=[])
    assert report() is second
