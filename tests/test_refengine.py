"""Hand-computed checks of the plain-Python reference engine itself.

The differential tests trust ``refengine`` as the oracle, so here it is held to
worked examples whose values were computed by hand.
"""

import math

import numpy as np
import pytest

import refengine as R

FEE = 0.001425
TAX = 0.003


class Spy(R.Recorder):
    """A recorder that also logs the notification calls it receives."""

    def __init__(self):
        super().__init__()
        self.calls = []
        self.start_analysis(np.zeros((1, 8)), np.zeros((1, 8)), {}, 8, 0.0, 0.0, 0, 1)

    def record_entry(self, sid, position_sid, has_entry_transaction):
        self.calls.append(("entry", sid, position_sid, has_entry_transaction))

    def record_exit(self, sid, has_exit_transaction):
        self.calls.append(("exit", sid, has_exit_transaction))


def flags(resample=True, retain=False):
    return R.Flags(retain_cost_when_rebalance=retain, resample=resample)


# Position book.


def test_open_long_from_empty_book():
    spy, p = Spy(), {}
    cash = R.set_position(spy, flags(), p, 5, 100.0, 1000.0, FEE, TAX)
    assert cash == 900.0
    assert p == {5: 100 - 100 * FEE}
    assert spy.calls == [("entry", 5, 100.0, 1)]


@pytest.mark.parametrize(
    "held, expected", [(100.0, 1000 + 100 - 0.4425), (-100.0, 1000 - 100 - 0.4425)])
def test_close_charges_fee_and_tax_on_the_absolute_value(held, expected):
    spy, p = Spy(), {2: held}
    cash = R.set_position(spy, flags(), p, 2, 0.0, 1000.0, FEE, TAX)
    assert cash == pytest.approx(expected, abs=1e-12)
    assert p == {2: 0.0}
    assert spy.calls == [("exit", 2, 1)]
    p = {2: held}
    R.set_position(spy, flags(), p, 2, 0.0, 1000.0, FEE, TAX, set_null=True)
    assert p == {}


def test_target_zero_for_absent_id():
    spy, p = Spy(), {}
    assert R.set_position(spy, flags(), p, 3, 0.0, 7.0, FEE, TAX) == 7.0
    assert p == {} and spy.calls == []
    assert R.set_position(spy, flags(), p, 3, 0.0, 7.0, FEE, TAX, check_null=False) == 7.0
    assert p == {3: 0.0}
    p = {}
    R.set_position(spy, flags(), p, 3, 0.0, 7.0, FEE, TAX, check_null=False, set_null=True)
    assert p == {} and spy.calls == []


def test_unchanged_target_splits_the_trade_only_when_resampling():
    spy, p = Spy(), {1: 50.0}
    assert R.set_position(spy, flags(), p, 1, 50.0, 10.0, FEE, TAX, balance=200.0) == 10.0
    assert p == {1: 50.0}
    assert spy.calls == [("exit", 1, 0), ("entry", 1, 0.25, 0)]
    spy2 = Spy()
    R.set_position(spy2, flags(resample=False), p, 1, 80.0, 10.0, FEE, TAX)
    R.set_position(spy2, flags(retain=True), p, 1, 60.0, 10.0, FEE, TAX)
    assert spy2.calls == []


def test_flip_long_to_short_pays_the_fee_only():
    spy, p = Spy(), {0: 100.0}
    cash = R.set_position(spy, flags(resample=False), p, 0, -50.0, 0.0, FEE, TAX)
    assert cash == 150 - 150 * FEE
    assert p == {0: -50.0}
    # A change of side ends the long and starts a short, whatever the splitting mode.
    assert spy.calls == [("exit", 0, 1), ("entry", 0, -50.0, 1)]


def test_reduce_long_and_reduce_short():
    spy, p = Spy(), {0: 100.0, 1: -100.0}
    cash = R.set_position(spy, flags(resample=False), p, 0, 40.0, 0.0, FEE, TAX)
    assert cash == 60 - 60 * (FEE + TAX) and p[0] == 40.0
    cash = R.set_position(spy, flags(resample=False), p, 1, -40.0, 0.0, FEE, TAX)
    assert cash == -60.0 and p[1] == -100 + (60 - 60 * (FEE + TAX))


def test_zero_balance_with_a_target_is_a_division_error():
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        R.set_position(Spy(), flags(), {}, 0, 1.0, 0.0, FEE, TAX, balance=0.0)
    spy, p = Spy(), {0: 1.0}
    with pytest.raises(ZeroDivisionError):
        R.set_position(spy, flags(), p, 0, 2.0, 0.0, FEE, TAX, balance=0.0)
    # The split's exit was told before the division failed; the book is untouched.
    assert spy.calls == [("exit", 0, 0)] and p == {0: 1.0}


# Rebalance.


def test_rebalance_two_halves():
    spy, p = Spy(), {}
    cash = R.rebalance(spy, flags(), p, [0.5, 0.5], 1000.0, FEE, 0.0, 1.0)
    assert cash == 0.0
    assert p == {0: 500 - 500 * FEE, 1: 500 - 500 * FEE}
    assert spy.calls == [("entry", 0, 0.5, 1), ("entry", 1, 0.5, 1)]


def test_rebalance_small_gross_is_not_scaled_up():
    p = {}
    cash = R.rebalance(Spy(), flags(), p, [0.2, 0.2], 1000.0, 0.0, 0.0, 1.0)
    assert p == {0: 200.0, 1: 200.0} and cash == 600.0


def test_rebalance_scales_gross_above_one_then_caps():
    p = {}
    R.rebalance(Spy(), flags(), p, [1.0, 1.0, 2.0], 1000.0, 0.0, 0.0, 0.4)
    assert p == {0: 250.0, 1: 250.0, 2: 400.0}


def test_rebalance_short_half():
    p = {}
    cash = R.rebalance(Spy(), flags(), p, [-0.5, 0.5], 1000.0, FEE, TAX, 1.0)
    assert p[0] == -500.0 and p[1] == 500 - 500 * FEE
    assert cash == (1000 + (500 - 500 * FEE)) - 500


def test_rebalance_nan_weight_uses_raw_weights_as_money():
    p = {}
    R.rebalance(Spy(), flags(), p, [math.nan, 0.3], 1000.0, 0.0, 0.0, 1.0)
    assert math.isnan(p[0]) and p[1] == 0.3


def test_rebalance_leaves_ids_beyond_the_row_and_closes_zero_weights():
    spy, p = Spy(), {0: 100.0, 3: 50.0}
    cash = R.rebalance(spy, flags(), p, [0.0, 0.0, 0.0], 0.0, 0.0, 0.0, 1.0)
    assert p == {3: 50.0} and cash == 100.0
    assert spy.calls == [("exit", 0, 1)]


# Column mapping, marks, weight normalisation.


def test_map_columns():
    assert R.map_columns(["X", "Y", "Z"], ["Z", "X"]) == {0: 2, 1: 0}
    assert R.map_columns(["X", "Y", "X"], ["X", "W", "x"]) == {0: 2}
    assert R.map_columns(["X"], []) == {}


@pytest.mark.parametrize(
    "resample, marks",
    [([5, 20, 25, 99], [1, 1, 1]), ([], [0, 0, 0]), ([25, 5], [0, 1, 0]), ([29, 30], [0, 1, 1])],
)
def test_rebalance_marks(resample, marks):
    assert R.rebalance_marks(np.array([10, 20, 30]), np.array(resample, dtype=np.int64)) == marks


@pytest.mark.parametrize(
    "weights, limit, expected",
    [
        ({}, 1.0, {}),
        ({1: 0.6, 2: -0.4}, 1.0, {1: 0.6, 2: -0.4}),
        ({1: 1.5, 2: 0.5}, 1.0, {1: 0.75, 2: 0.25}),
        ({1: 0.8, 2: 0.1}, 0.5, {1: 0.5, 2: 0.1}),
        ({1: -0.8}, 0.5, {1: -0.5}),
    ],
)
def test_normalize_weight(weights, limit, expected):
    out = R.normalize_weight(weights, limit)
    assert out is weights and out == expected


def test_normalize_weight_nan_blocks_scaling():
    w = R.normalize_weight({0: math.nan, 1: 3.0}, 1.0)
    assert math.isnan(w[0]) and w[1] == 1.0


# Excursion analysis.

CLOSE = [10, 10, 11, 9, 12]
TRADE = [10, 10, 10.5, 9.5, 11.5]


def recorder(fee=0.0, tax=0.0, window=0, step=1, close=CLOSE, trade=TRADE):
    rec = R.Recorder()
    price = np.array(trade, dtype=float).reshape(-1, 1)
    closes = np.array(close, dtype=float).reshape(-1, 1)
    rec.start_analysis(price, closes, {0: 0}, 1, fee, tax, window, step)
    return rec


def trade(rec, entry, exit_, long=True, end=False):
    rec.record_date(entry)
    rec.record_entry(0, 1.0 if long else -1.0, 1)
    rec.record_date(exit_)
    if end:
        rec.end_analysis({0: 1.0})
    else:
        rec.record_exit(0, 1)
    return rec.excursion[-1]


def test_excursion_long():
    got = trade(recorder(), 1, 3)
    assert got.tolist() == pytest.approx([-0.1, 0.1, 0.1, 0.9 / 1.1 - 1, 1, -0.05], abs=1e-15)


def test_excursion_short():
    got = trade(recorder(), 1, 3, long=False)
    assert got.tolist() == pytest.approx([-0.1, 0.1, 0, -0.1, 1, 0.05], abs=1e-15)


def test_excursion_window_stretched_past_the_exit():
    got = trade(recorder(window=4, step=2), 1, 2)
    assert got.tolist() == pytest.approx(
        [0, 0, 0, 0, 0, 0, -0.1, 0.1, 0.1, 0.9 / 1.1 - 1, 1, -0.1, 0, 0.1, 0, 0, 1, 0.1],
        abs=1e-15)


def test_excursion_with_costs():
    got = trade(recorder(fee=FEE, tax=TAX), 1, 3)
    assert got.round(6).tolist() == [-0.101282, 0.098433, 0.098433, -0.181818, 1, -0.055552]


def test_excursion_same_bar():
    got = trade(recorder(fee=FEE, tax=TAX), 2, 2)
    assert got[-1] == (1 - FEE - TAX) * ((1 - FEE) * (11 / 10.5)) - 1


def test_excursion_short_window_long_step():
    got = trade(recorder(window=1, step=5), 1, 3)
    assert len(got) == 12
    assert got[:6].tolist() == [0, 0, 0, 0, 0, 0]


def test_excursion_nan_close_carries_value():
    got = trade(recorder(close=[10, 10, math.nan, 9, 12]), 1, 3)
    assert got[0] == pytest.approx(-0.1) and got[1] == 0.0
    assert got[4] == 0


def test_excursion_open_trade_is_close_based():
    rec = recorder()
    got = trade(rec, 1, 3, end=True)
    assert got[-1] == pytest.approx(-0.1, abs=1e-15)
    assert rec.trades == [[0, 1, -1]]


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(trade=[0, 0, 0, 0, 0]), ZeroDivisionError, "float division"),
        (dict(close=[10, 0, 11, 9, 12]), ZeroDivisionError, "float division"),
        (dict(close=[10, 10, 11, 0, 12]), ZeroDivisionError, "float division"),
        (dict(step=0), ZeroDivisionError, "integer division or modulo by zero"),
    ],
)
def test_excursion_failures(kwargs, exc, message):
    rec = recorder(**kwargs)
    with pytest.raises(exc, match=f"^{message}$"):
        trade(rec, 1, 3)
    assert len(rec.trades) == 1 and len(rec.excursion) == 0


def test_excursion_negative_step_ends_the_path_at_once():
    got = trade(recorder(window=-1, step=-1), 1, 3)
    assert len(got) == 24
    assert got[:6].tolist() == [0, 0, 0, 0, 0, 0]
    assert got[6:18].tolist() == [-1] * 12
    assert got[18:].tolist() == pytest.approx([-0.1, 0.1, 0.1, 0.9 / 1.1 - 1, 1, -0.05])


@pytest.mark.parametrize("window, step, exc", [(-2, 1, ValueError), (-1, 1, IndexError)])
def test_excursion_negative_window(window, step, exc):
    # A negative window gives a negative array size, or one too small for the path.
    with pytest.raises(exc):
        trade(recorder(window=window, step=step), 1, 3)


def test_excursion_entry_beyond_data():
    rec = recorder()
    with pytest.raises(OverflowError, match="can't convert negative value to size_t"):
        trade(rec, 7, 7)


# Report and trade rows.


def test_report_worked_example():
    pos_values = np.array([[0, 0, 0]] * 3 + [[0.5, 0.5, 0.0], [0.6, 0.0, 0.6]], dtype=float)
    ops = R.build_report({}, {0: 0.52, 1: 0.45}, {0: 0.5, 1: 0.5}, pos_values,
                         np.arange(5), 4, 3, True, [], [], 4, 1.0, False)
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    assert ops["actions"] == {0: "hold", 1: "exit", 2: "enter"}
    assert ops["weights"] == {0: 0.5, 1: 0.5}
    assert ops["next_weights"] == {0: 0.5, 2: 0.5}
    assert (ops["weight_time"], ops["next_weight_time"]) == (3, 4)


def test_report_exit_words():
    pos_values = np.array([[0.5, 0.5, 0.5, 0.5]])
    args = ({1: 0.3}, {1: 0.3, 2: 0.3}, pos_values, np.array([5]), 0, 0, False)
    # The words follow the rules, not the signs: a short's stop reached its upper
    # bound (+2), a short's take profit its lower one (-3).
    signals = [(1, R.TAKE_PROFIT), (2, R.STOP_LOSS)]
    exited = [(-3, R.TAKE_PROFIT), (0, R.TRAIL_STOP)]
    ops = R.build_report({}, *args, signals, exited, 5, 1.0, False)
    assert ops["actions"] == {1: "tp_enter", 2: "sl_enter", 3: "tp_", 0: "sl_"}
    assert ops["weights"] == {1: 0.5 / 1, 2: 0}
    ops = R.build_report({}, *args, signals, exited, 6, 1.0, False)
    assert ops["actions"] == {1: "tp", 2: "sl", 3: "tp_", 0: "sl_"}
    ops = R.build_report({}, *args, signals, [(3, R.TAKE_PROFIT), (1, R.STOP_LOSS)], 5, 1.0,
                         True)
    assert ops["actions"] == {1: "sl_", 2: "sl", 3: "tp_"}
    # Skipped columns still count in the sum that divides the others.
    assert ops["next_weights"] == {0: 0.25}


def test_trade_rows():
    pi = np.arange(100, 120, dtype=np.int64)
    cols = np.array(list("abcdef"), dtype=object)
    trades = [[2, np.int64(3), 7], [5, np.int64(10), -1], [1, np.int64(0), 4]]
    rows = R.trade_rows(trades, [0.25, 0.5, 0.1], cols, pi, False)
    assert rows[0] == ["c", 103, 107, 102, 106, 0.25, 4, 3, 7]
    assert rows[1] == ["f", 110, -1, 109, -1, 0.5, 10, 10, -1]
    assert rows[2][3] == 119
    assert R.trade_rows(trades, [0.25, 0.5, 0.1], cols, pi, True)[0][4] == 107


# Whole runs.


def market(prices, close=None, high=None, low=None, open_=None):
    p = np.array(prices, dtype=float)
    p = p.reshape(len(p), -1)

    def pick(a):
        return p if a is None else np.array(a, dtype=float).reshape(p.shape)

    return p, pick(close), pick(high), pick(low), pick(open_)


def run(prices, weights, pos_dates, resample, names=None, **kw):
    bars = {k: kw.pop(k) for k in ("close", "high", "low", "open_") if k in kw}
    p, c, h, lo, o = market(prices, **bars)
    n = p.shape[1]
    names = np.array(names or [f"S{i}" for i in range(n)], dtype=object)
    pi = np.arange(1, len(p) + 1, dtype=np.int64) * 10
    return R.backtest_(p, c, h, lo, o, pi, names, np.array(weights, dtype=float),
                       np.array(pos_dates, dtype=np.int64), names,
                       np.array(resample, dtype=np.int64), **kw)


def test_buy_and_hold_with_fee():
    res = run([10, 10, 11, 12], [[1.0]], [10], [10], tax_ratio=TAX)
    assert res.error is None
    assert res.creturn.tolist() == [1.0, 1 - FEE, (1 - FEE) * 1.1, (1 - FEE) * 1.1 * (12 / 11)]
    assert res.trades == [[0, 1, -1]] and res.trade_positions == [1.0]
    assert res.stock_operations["weights"] == {0: 1.0}


def test_bars_before_the_first_weight_row_are_skipped():
    res = run([10, 20, 10, 10], [[1.0]], [25], [30], fee_ratio=0.0)
    assert res.creturn.tolist() == [1.0, 1.0, 1.0, 1.0]
    assert res.trades == [[0, 3, -1]]
    res = run([10, 20, 10, 10, 12], [[1.0]], [25], [30], fee_ratio=0.0)
    assert res.creturn.tolist() == [1.0, 1.0, 1.0, 1.0, 1.2]
    assert res.trades == [[0, 3, -1]]


def test_close_mode_stop_loss_sells_next_bar():
    prices = [[5, 10], [5, 10], [5, 8], [5, 7], [5, 7]]
    res = run(prices, [[0.0, 1.0]], [10], [10], stop_loss=0.1, fee_ratio=FEE, tax_ratio=TAX)
    held = (1 - FEE) * 0.7
    assert res.creturn[3] == held - held * (FEE + TAX)
    assert res.creturn[4] == res.creturn[3]
    assert res.trades == [[1, 1, 3]]
    assert res.stock_operations["actions"] == {1: "sl_"}
    rows = res.trade_stocks(np.array(["S0", "S1"], dtype=object), np.arange(1, 6) * 10, False)
    assert rows[0][:5] == ["S1", 20, 40, 10, 30]


def test_intrabar_take_profit_at_the_bound():
    flat = [5, 5, 5, 5]

    def col(a):
        return [[f, x] for f, x in zip(flat, a)]

    res = run(col([10, 10, 10.5, 10.5]), [[0.0, 1.0]], [10], [10], take_profit=0.1,
              touched_exit=True, high=col([10, 10, 12, 10.5]), low=col([10, 10, 10, 10.5]),
              open_=col([10, 10, 10.2, 10.5]), fee_ratio=FEE, tax_ratio=TAX)
    held = (1 - FEE) * 1.1
    assert res.creturn[2] == held - held * (FEE + TAX)
    assert res.trades == [[1, 1, 2]]
    assert res.stock_operations["actions"] == {1: "tp_"}


def test_column_zero_take_profit_is_named_by_its_rule():
    # Column 0 carries no sign (+0 == -0); the word comes from the exit's rule.
    res = run([10, 10, 10.5, 10.5], [[1.0]], [10], [10], take_profit=0.1, touched_exit=True,
              high=[10, 10, 12, 10.5], low=[10, 10, 10, 10.5], open_=[10, 10, 10.2, 10.5])
    assert res.stock_operations["actions"] == {0: "tp_"}
    assert res.ledger["exit_reason"].tolist() == [R.TAKE_PROFIT]


def test_nan_price_keeps_value_then_applies_the_whole_move():
    res = run([10, 10, math.nan, 12], [[1.0]], [10], [10], fee_ratio=0.0)
    assert res.creturn.tolist() == [1.0, 1.0, 1.0, 1.2]


def test_nan_in_cr_prints_warnings():
    # A zero reference then a price gives an infinite cr, a zero price after it a NaN cr;
    # from the next bar on every visited holding warns.
    prices = [[10, 0], [10, 0], [10, 5], [10, 0], [10, 1], [10, 1]]
    res = run(prices, [[0.5, 0.5]], [10], [10], fee_ratio=0.0, touched_exit=True)
    assert res.warnings == 4
    # The open trade entered at a zero price cannot be analysed at the end.
    assert isinstance(res.error, ZeroDivisionError) and str(res.error) == "float division"
    assert res.trades == [[0, 1, -1], [1, 1, -1]] and len(res.excursion) == 1


def test_stop_trading_writes_zero_into_the_weight_row():
    p = np.array([[10.0], [10], [8], [7], [7], [7]])
    weights = np.array([[1.0], [1.0]])
    names = np.array(["A"], dtype=object)
    index = np.arange(1, 7, dtype=np.int64) * 10
    res = R.backtest_(p, p, p, p, p, index, names, weights, np.array([10, 40]), names,
                      np.array([10, 40]), stop_loss=0.1, fee_ratio=0.0, tax_ratio=0.0)
    assert res.pos_values.tolist() == [[1.0], [0.0]]
    assert res.trades == [[0, 1, 3]]
    # The reference writes into its own copy; the caller's array is left for the engine.
    assert weights.tolist() == [[1.0], [1.0]]


def test_unmapped_column_with_weight_fails_the_rebalance():
    p = np.full((3, 1), 10.0)
    pi = np.array([1, 2, 3], dtype=np.int64)
    res = R.backtest_(p, p, p, p, p, pi, np.array(["A"], dtype=object), np.array([[0.0, 0.4, 0.6]]),
                      np.array([1]), np.array(["A", "B", "C"], dtype=object), np.array([1]))
    assert isinstance(res.error, ValueError)
    assert str(res.error) == "position column 'B' has no price column"


def test_read_only_weights_cannot_be_zeroed():
    p = np.array([[10.0], [10.0], [8.0], [7.0], [7.0]])
    w = np.array([[1.0], [1.0]])
    w.setflags(write=False)
    pi = np.arange(1, 6, dtype=np.int64)
    names = np.array(["A"], dtype=object)
    res = R.backtest_(p, p, p, p, p, pi, names, w, np.array([1, 4]), names, np.array([1, 4]),
                      stop_loss=0.1)
    assert isinstance(res.error, ValueError)
    assert str(res.error) == "assignment destination is read-only"
    assert res.pos_values.tolist() == [[1.0], [1.0]]


def test_empty_pos_index_fails_on_the_first_bar():
    p = np.full((2, 1), 10.0)
    names = np.array(["A"], dtype=object)
    res = R.backtest_(p, p, p, p, p, np.array([1, 2]), names, np.array([[1.0]]),
                      np.array([], dtype=np.int64), names, np.array([1]))
    assert isinstance(res.error, IndexError)
    assert str(res.error) == "Out of bounds on buffer access (axis 0)"


def test_zero_weight_times_infinite_balance_cannot_hold_an_unpriced_column():
    # Bought at a zero price, the holding turns infinite on the next price; the next
    # rebalance's ratio is infinite, so the zero weight of the unpriced column "Z"
    # becomes a NaN target and the column would be held without prices of its own.
    p = np.array([[0.0], [0.0], [5.0], [5.0], [5.0]])
    nan = np.full_like(p, math.nan)
    index = np.arange(1, 6, dtype=np.int64)
    res = R.backtest_(p, p, nan, nan, nan, index, np.array(["A"], dtype=object),
                      np.array([[0.5, 0.0], [0.5, 0.0]]), np.array([1, 3]),
                      np.array(["A", "Z"], dtype=object), index, fee_ratio=0.0,
                      touched_exit=True, periodically_rebalance=False)
    assert isinstance(res.error, ValueError)
    assert str(res.error) == "position column 'Z' has no price column"
    assert res.trades == [] and res.warnings == 0


def test_buffer_reads_name_the_last_bad_axis():
    a = np.zeros((2, 3))
    assert R.index2(a.shape, -1, -3) == (1, 0)
    for i, j, axis in [(2, 0, 0), (0, 3, 1), (5, 5, 1), (-3, 0, 0)]:
        with pytest.raises(IndexError, match=rf"^Out of bounds on buffer access \(axis {axis}\)$"):
            R.get2(a, i, j)
    with pytest.raises(IndexError, match=r"\(axis 1\)"):
        R.get2(None, 0, 0)
    with pytest.raises(IndexError, match=r"\(axis 0\)"):
        R.get1(None, 0)
