"""Inputs a run cannot use, and the guarded behaviours: a held stock without
prices, missing arrays, nested runs, a read-only weight matrix."""

import math

import numpy as np
import pytest
from sim import NO_COSTS, dates, names, run

import orvane.core.excursion as excursion
from orvane.core import portsim

PRICE = [[10, 20], [10, 20], [11, 22], [12, 24]]


@pytest.mark.parametrize("weights", [[[0.5, 0.5]], [[0.5, math.nan]]])
def test_weight_for_a_column_without_prices_is_refused(weights):
    with pytest.raises(ValueError, match=r"^position column 'Z' has no price column$"):
        run(PRICE, weights, price_columns=names(2), pos_columns=np.array(["S0", "Z"], dtype=object))
    # Raised at the start of the rebalance step, before any trade of it.
    assert excursion.trades == [] and excursion.trade_positions == []


def test_lowest_column_without_prices_is_named():
    cols = np.array(["Y", "S1", "Z"], dtype=object)
    with pytest.raises(ValueError, match=r"^position column 'Y' has no price column$"):
        run(PRICE, [[0.1, 0.1, 0.1]], price_columns=names(2), pos_columns=cols)


def test_column_without_prices_is_fine_while_its_weight_is_zero():
    cols = np.array(["Z", "S1"], dtype=object)
    res = run(PRICE, [[0.0, 1.0]], price_columns=names(2), pos_columns=cols, **NO_COSTS)
    assert res.creturn.tolist() == [1.0, 1.0, 1.1, 1.2]


P = np.ones((3, 1))
I = np.arange(3, dtype=np.int64)
C = names(1)


def args(**replace):
    a = dict(price_values=P, close_values=P, high_values=P, low_values=P, open_values=P,
             price_index=I, price_columns=C, pos_values=P, pos_index=I, pos_columns=C,
             resample=I)
    a.update(replace)
    return a


@pytest.mark.parametrize("name", ["price_index", "pos_columns", "resample"])
def test_arrays_the_run_needs_must_not_be_none(name):
    run([[10]] * 2, [[1.0]], periodically_rebalance=False)
    with pytest.raises(TypeError) as info:
        portsim.backtest_(**args(**{name: None}))
    assert str(info.value) == f"Argument '{name}' must not be None"
    assert portsim.RESAMPLE is False  # raised before the flags are set


def test_none_check_comes_after_the_buffer_checks():
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        portsim.backtest_(**args(price_index=None, resample=I.astype(np.int32)))


@pytest.mark.parametrize("name", ["price_values", "pos_values"])
def test_missing_matrix_fails_at_set_up(name):
    with pytest.raises(TypeError, match=r"^'NoneType' object is not subscriptable$"):
        portsim.backtest_(**args(**{name: None}))


@pytest.mark.parametrize("replace", [
    {"pos_index": None},
    {"pos_index": I[:0]},
    {"pos_values": np.ones((0, 1))},
    {"price_values": np.ones((0, 1))},
    {"price_index": I[:0]},  # resample dates but no bar to mark
])
def test_empty_inputs_raise_index_error(replace):
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        portsim.backtest_(**args(**replace))


def test_no_bars_and_no_resample_dates_is_an_empty_run():
    res = portsim.backtest_(**args(price_index=I[:0], resample=I[:0]))
    assert res.shape == (0,)


def test_price_column_beyond_the_price_matrix_raises():
    # Three price names for a two-column matrix: S2 maps past its end, which
    # the close valuation of the entry bar reads.
    res_args = args(price_values=np.ones((3, 2)), close_values=np.ones((3, 2)),
                    price_columns=names(3), pos_values=np.array([[0.0, 1.0]]),
                    pos_columns=np.array(["S0", "S2"], dtype=object))
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 1\)$"):
        portsim.backtest_(**res_args)


def test_more_weight_columns_than_names_raises():
    res_args = args(pos_values=np.array([[0.0, 1.0]]))
    with pytest.raises(IndexError):
        portsim.backtest_(**res_args)


class Nested:
    """A truth value that starts a back-test of its own while being tested."""

    def __init__(self, value, catch=True):
        self.value = value
        self.catch = catch
        self.errors = []

    def __bool__(self):
        try:
            portsim.backtest_(**args(), periodically_rebalance=False)
        except RuntimeError as e:
            if not self.catch:
                raise
            self.errors.append(str(e))
        return self.value


def test_nested_run_is_refused_and_the_outer_run_goes_on():
    price = [[10, 10], [10, 10], [12, 9], [12, 8], [13, 8]]
    weights = [[0.5, 0.5], [0.5, 0.0]]
    expected = run(price, weights, pos_index=[0, 2], stop_trading_next_period=True)
    nested = Nested(True)
    got = run(price, weights, pos_index=[0, 2], stop_trading_next_period=nested)
    assert nested.errors and set(nested.errors) == {"backtest_ is already running"}
    np.testing.assert_array_equal(got.creturn, expected.creturn)
    assert got.trades == expected.trades and got.operations == expected.operations
    assert portsim.RESAMPLE is True


def test_nested_run_error_propagates_and_releases_the_guard():
    with pytest.raises(RuntimeError, match="^backtest_ is already running$"):
        run([[10]] * 3, [[1.0]], stop_trading_next_period=Nested(True, catch=False))
    assert run([[10]] * 3, [[1.0]], **NO_COSTS).creturn.tolist() == [1.0, 1.0, 1.0]


def test_failed_run_releases_the_guard():
    with pytest.raises(ValueError):
        run(PRICE, [[1.0, 1.0]], price_columns=names(2), pos_columns=names(2, "Q"))
    assert run([[10]] * 2, [[1.0]]).creturn.shape == (2,)


def stopped_out_run(weights: np.ndarray, **options):
    # Stock 0 hits its 10 % stop on bar 2 and is sold on bar 3; the row
    # executed on bar 4 must not buy it back.
    price = [[10, 10], [10, 10], [8, 10], [8, 10], [8, 10], [8, 10]]
    return run(price, None, pos_values=weights, pos_index=[0, 3], stop_loss=0.1,
               **NO_COSTS, **options)


def test_stop_trading_next_period_writes_zeros_into_the_weights():
    weights = np.array([[0.5, 0.5], [0.5, 0.5]])
    res = stopped_out_run(weights)
    assert weights.tolist() == [[0.5, 0.5], [0.0, 0.5]]
    assert [0, 1, 3] in res.trades and not any(t[0] == 0 and t[1] == 4 for t in res.trades)


def test_read_only_weights_are_not_written():
    weights = np.array([[0.5, 0.5], [0.5, 0.5]])
    weights.flags.writeable = False
    with pytest.raises(ValueError, match="^assignment destination is read-only$"):
        stopped_out_run(weights)
    assert weights.tolist() == [[0.5, 0.5], [0.5, 0.5]]


def test_read_only_weights_are_fine_when_nothing_is_written():
    weights = np.array([[0.5, 0.5], [0.5, 0.5]])
    weights.flags.writeable = False
    res = stopped_out_run(weights, stop_trading_next_period=False)
    assert [0, 4, -1] in res.trades


def test_failing_recorder_ends_the_run():
    # A zero entry price makes the excursion analysis of the closed trade fail.
    with pytest.raises(ZeroDivisionError):
        run([[10], [0], [5], [5]], [[1.0], [0.0]], pos_index=[0, 2], close=[[10]] * 4)


def test_column_name_that_is_not_text_raises():
    with pytest.raises(AttributeError, match="encode"):
        run(PRICE, [[0.5, 0.5]], price_columns=np.array(["S0", 1], dtype=object))
    with pytest.raises(UnicodeEncodeError):
        run(PRICE, [[0.5, 0.5]], pos_columns=np.array(["S0", "\ud800"], dtype=object))
    with pytest.raises(TypeError, match="not iterable"):
        portsim.backtest_(**args(price_columns=None))


def test_price_matrix_shorter_than_the_bars_raises_when_read():
    p = np.full((3, 1), 10.0)
    i = np.arange(4, dtype=np.int64)
    # Nothing held: the missing fourth row is never read.
    assert portsim.backtest_(p, p, p, p, p, i, C, np.zeros((1, 1)), i[:1], C, i).shape == (4,)
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        portsim.backtest_(p, p, p, p, p, i, C, np.ones((1, 1)), i[:1], C, i)
    assert [list(t) for t in excursion.trades] == []
