"""Stop-loss, take-profit and trailing-stop exits in close and intrabar mode."""

import numpy as np
import pytest
from sim import NO_COSTS, run

F, X = 0.001, 0.003


def pair(s1, **arrays):
    """Stock 0 stays at 10; stock 1 follows `s1`; both bought on bar 1."""
    price = [[10, p] for p in s1]
    extra = {k: [[10, v] for v in vals] for k, vals in arrays.items()}
    return price, extra


def test_close_mode_stop_loss_sells_on_the_next_bar_at_its_trade_price():
    price, _ = pair([10, 10, 8.5, 8, 8])
    res = run(price, [[0.5, 0.5]], stop_loss=0.1, fee_ratio=F, tax_ratio=X)
    held = 0.5 - 0.5 * F
    cash = 0.0
    held1 = held * (8.5 / 10)  # bar 2: closes at 0.85, signalled
    held1 = held1 * (8 / 8.5)  # bar 3: moved to the trade price, then sold
    cash = cash + (held1 - abs(held1) * (F + X))
    assert res.creturn[3] == cash + held
    assert res.creturn[4] == cash + held
    assert res.trades == [[1, 1, 3], [0, 1, -1]]
    assert res.operations["actions"] == {1: "sl_"}


def test_close_mode_bounds_upper_inclusive_lower_strict():
    # 15 / 10 reaches take profit 0.5 exactly; 5 / 10 sits exactly on the stop.
    price, _ = pair([10, 10, 15, 15, 15])
    assert run(price, [[0.5, 0.5]], take_profit=0.5, **NO_COSTS).trades[0] == [1, 1, 3]
    price, _ = pair([10, 10, 5, 5, 5])
    res = run(price, [[0.5, 0.5]], stop_loss=0.5, **NO_COSTS)
    assert res.trades == [[0, 1, -1], [1, 1, -1]]


def test_close_mode_tests_the_close_not_the_trade_price():
    price, extra = pair([10, 10, 10, 10], close=[10, 10, 8, 10])
    res = run(price, [[0.5, 0.5]], close=extra["close"], stop_loss=0.1, **NO_COSTS)
    assert res.trades == [[1, 1, 3], [0, 1, -1]]


def test_nan_close_signals_nothing():
    price, extra = pair([10, 10, 5, 5], close=[10, 10, np.nan, 5])
    res = run(price, [[0.5, 0.5]], close=extra["close"], stop_loss=0.1, **NO_COSTS)
    assert res.trades == [[0, 1, -1], [1, 1, -1]]


def test_long_trailing_stop_follows_the_peak():
    # Peak 1.5, trail 0.2: the bound is 1.3, and 1.25 is below it.
    price, _ = pair([10, 10, 15, 12.5, 12.5, 12.5])
    res = run(price, [[0.5, 0.5]], stop_loss=0.5, trail_stop=0.2, **NO_COSTS)
    assert res.trades[0] == [1, 1, 4]
    # Without the trail the 50 % stop (bound 0.5) does not fire.
    res = run(price, [[0.5, 0.5]], stop_loss=0.5, **NO_COSTS)
    assert res.trades == [[0, 1, -1], [1, 1, -1]]


def test_short_trailing_stop_uses_the_running_maximum_too():
    # Short: upper bound = min(maxcr + trail, 1 + stop) = 1.2; the close
    # at 1.3 of the trade price reaches it and signals +sid.
    price, extra = pair([10, 10, 10, 10, 10], close=[10, 10, 13, 10, 10])
    res = run(price, [[0.5, -0.5]], close=extra["close"], stop_loss=0.5, trail_stop=0.2,
              stop_trading_next_period=False, **NO_COSTS)
    assert res.trades[0] == [1, 1, 3]
    # A trailing stop, though the short's upper bound carries the + sign.
    assert res.operations["actions"] == {1: "sl_"}
    res = run(price, [[0.5, -0.5]], close=extra["close"], stop_loss=0.5, **NO_COSTS)
    assert res.trades == [[0, 1, -1], [1, 1, -1]]


def test_intrabar_take_profit_sells_at_the_bound():
    price, extra = pair([10, 10, 11, 11], high=[10, 10, 12.5, 11], low=[10, 10, 10.5, 11],
                        open=[10, 10, 10.5, 11])
    res = run(price, [[0.5, 0.5]], high=extra["high"], low=extra["low"], open_=extra["open"],
              touched_exit=True, take_profit=0.2, fee_ratio=F, tax_ratio=X)
    held = 0.5 - 0.5 * F
    r = 11 / 10
    entry_pos = (held * r) / (1.0 * r)
    value = entry_pos * 1.2
    cash = 0.0 + (value - abs(value) * (F + X))
    assert res.creturn[2] == cash + held and res.creturn[3] == cash + held
    assert res.trades == [[1, 1, 2], [0, 1, -1]]
    assert res.operations["actions"] == {1: "tp_"}


def test_intrabar_low_touch_is_inclusive():
    price, extra = pair([10, 10, 9.5, 9.5], low=[10, 10, 9, 9.5])
    res = run(price, [[0.5, 0.5]], low=extra["low"], touched_exit=True, stop_loss=0.1, **NO_COSTS)
    assert res.trades[0] == [1, 1, 2]
    value = ((0.5 * (9.5 / 10)) / (9.5 / 10)) * (1 - 0.1)
    assert res.creturn[2] == (0.0 + value) + 0.5


def test_intrabar_open_beyond_the_bound_sells_at_the_open():
    price, extra = pair([10, 10, 9, 9], open=[10, 10, 8, 9], low=[10, 10, 7.5, 9],
                        high=[10, 10, 9.5, 9])
    res = run(price, [[0.5, 0.5]], open_=extra["open"], low=extra["low"], high=extra["high"],
              touched_exit=True, stop_loss=0.1, stop_trading_next_period=False, **NO_COSTS)
    r = 9 / 10
    held = 0.5 * r
    open_r = ((1.0 * r) / r) * (8 / 10)
    value = held * (open_r / r)
    assert res.creturn[2] == (0.0 + value) + 0.5
    assert res.operations["actions"] == {1: "sl_"}


@pytest.mark.parametrize("weight", [0.5, -0.5])
def test_bar_touching_both_bounds_exits_at_the_upper_one(weight):
    price, extra = pair([10, 10, 10, 10], high=[10, 10, 13, 10], low=[10, 10, 7, 10])
    res = run(price, [[0.5, weight]], high=extra["high"], low=extra["low"], touched_exit=True,
              stop_loss=0.2, take_profit=0.2, **NO_COSTS)
    value = weight * 1.2
    cash = 1.0 - 0.5 - weight
    assert res.creturn[2] == (cash + value) + 0.5
    # The upper bound is the long's take profit and the short's stop loss.
    assert res.operations["actions"] == {1: "tp_" if weight > 0 else "sl_"}


@pytest.mark.parametrize("touched_exit", [False, True])
def test_take_profit_of_column_0_is_named_take_profit(touched_exit):
    # Both stocks 10, 10, 10.5, 12, 12.5, 13, 13, 13: the take profit of 0.1
    # fires for both; column 0 has no sign to tell its side of the exit.
    price = [[p, p] for p in [10, 10, 10.5, 12, 12.5, 13, 13, 13]]
    res = run(price, [[0.5, 0.5]], take_profit=0.1, touched_exit=touched_exit, **NO_COSTS)
    assert res.operations["actions"] == {0: "tp_", 1: "tp_"}


@pytest.mark.parametrize("touched_exit", [False, True])
def test_short_exits_are_named_by_their_rule_in_both_modes(touched_exit):
    # A short at 10: the rise to 12.5 (+25 %) is its stop loss, the fall to 8
    # its take profit.
    for path, word in [([10, 10, 12.5, 12.5, 12.5], "sl_"), ([10, 10, 8, 8, 8], "tp_")]:
        price, _ = pair(path)
        res = run(price, [[0.5, -0.5]], stop_loss=0.2, take_profit=0.15,
                  touched_exit=touched_exit, **NO_COSTS)
        assert res.operations["actions"] == {1: word}


@pytest.mark.parametrize("stop_next", [True, False])
def test_holding_sold_inside_a_bar_is_not_tested_again(stop_next):
    # Bar 2: the low touches the 10 % stop and the stock is sold at 0.9. Its
    # zero entry stays in the book, but bar 3's rise to 11 (10 % above the
    # entry) neither trades nor renames the exit.
    price, extra = pair([10, 10, 8.5, 11, 11], low=[10, 10, 8.5, 11, 11],
                        high=[10, 10, 9.5, 12, 11], open=[10, 10, 9.5, 11, 11])
    res = run(price, [[0.5, 0.5]], low=extra["low"], high=extra["high"], open_=extra["open"],
              touched_exit=True, stop_loss=0.1, stop_trading_next_period=stop_next, **NO_COSTS)
    assert res.trades == [[1, 1, 2], [0, 1, -1]]
    assert res.creturn[2] == res.creturn[3] == res.creturn[4] == (0.0 + 0.5 * 0.9) + 0.5
    assert res.operations["actions"] == {1: "sl_"}
    # Stopped out: no longer held at the last rebalance's weight, as in close mode.
    assert res.operations["weights"] == {0: 0.5, 1: 0.0}
    close_mode = run(price, [[0.5, 0.5]], stop_loss=0.1, stop_trading_next_period=stop_next,
                     **NO_COSTS)
    assert close_mode.operations["weights"] == {0: 0.5, 1: 0.0}


def test_zero_entry_is_removed_by_the_next_rebalance():
    price, extra = pair([10, 10, 9.5, 9.5, 9.5, 9.5], low=[10, 10, 8.5, 9.5, 9.5, 9.5])
    res = run(price, [[0.5, 0.5], [0.5, 0.0]], pos_index=[0, 3], low=extra["low"],
              touched_exit=True, stop_loss=0.1, **NO_COSTS)
    ops = res.operations
    # The pending exit of the zero entry is not "exit": the entry is gone.
    assert ops["weights"] == {0: 0.5} and ops["actions"] == {}


@pytest.mark.parametrize("stop_next, held_after", [(False, True), (True, False)])
def test_signal_left_to_a_rebalance_that_sets_the_stock(stop_next, held_after):
    # Stock 1 is signalled at the close of bar 2; the row dated 2 gives it
    # a weight and trades on bar 3, where the stock is back above its stop.
    price, _ = pair([10, 10, 8, 9.5, 9.5])
    res = run(price, [[0.5, 0.5], [0.5, 0.5]], pos_index=[0, 2], stop_loss=0.1,
              stop_trading_next_period=stop_next, **NO_COSTS)
    assert [1, 1, 3] in res.trades
    assert ([1, 3, -1] in res.trades) == held_after


def test_repeated_signal_of_a_sold_stock_is_dropped():
    # Bar 2 signals stock 1, bar 3 sells it and would signal it again; the
    # repeat is dropped, so the last bar leaves no pending signal.
    price, _ = pair([10, 10, 8, 8])
    res = run(price, [[0.5, 0.5]], stop_loss=0.1, stop_trading_next_period=False, **NO_COSTS)
    assert res.operations["actions"] == {1: "sl_"}


def test_default_thresholds_never_exit_a_long_on_positive_prices():
    price, _ = pair([10, 10, 0.01, 1000, 1])
    res = run(price, [[0.5, 0.5]], **NO_COSTS)
    assert res.trades == [[0, 1, -1], [1, 1, -1]]
