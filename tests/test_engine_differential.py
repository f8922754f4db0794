"""The native engine against the plain-Python reference, bit for bit.

Random small markets (NaN runs, zero prices, consistent or inconsistent bars,
weight rows and rebalance dates on, around, before and after the bars, every
option) are run through ``orvane.core.portsim.backtest_`` and through
``refengine``; creturn, the recorder's lists, the report, the trade rows, the
caller's weight matrix, the warning count and any failure must agree.
"""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import enginecases as E
import refengine as R

portsim = pytest.importorskip("orvane.core.portsim")
excursion = pytest.importorskip("orvane.core.excursion")


@settings(max_examples=max(300, settings().max_examples),
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(E.cases())
def test_native_engine_matches_reference(case):
    E.compare(portsim, excursion, case)


@settings(max_examples=max(10, settings().max_examples // 50),
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(E.cases(bars=(150, 300), price_cols=(20, 60), pos_cols=(20, 60), rows=(10, 40)))
def test_native_engine_matches_reference_on_larger_markets(case):
    """Enough columns, bars and rebalances for the engine's bookkeeping shortcuts to matter."""
    E.compare(portsim, excursion, case)


@settings(max_examples=max(100, settings().max_examples // 3),
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(E.cases(), st.integers(0, 40), st.integers(0, 14), st.sampled_from([0, 1, "", None]))
def test_trade_rows_with_other_names_and_dates_match_reference(case, n_dates, n_names, touched):
    """Rows built with shorter or longer name and date arrays than the run used."""
    ref = E.run_reference(case)
    E.run_native(portsim, excursion, case)
    price_index = (E.BASE + np.arange(n_dates) * E.DAY).astype(np.int64)
    pos_columns = np.array([f"N{i}" for i in range(n_names)], dtype=object)
    try:
        want = ref.trade_stocks(pos_columns, price_index, touched)
    except IndexError as exc:
        with pytest.raises(IndexError) as got:
            portsim.get_trade_stocks(pos_columns, price_index, touched)
        assert str(got.value) == str(exc)
        return
    rows, _ = portsim.get_trade_stocks(pos_columns, price_index, touched)
    assert len(rows) == len(want)
    for got, w in zip(rows, want):
        assert got[0] == w[0] and E.same_float(got[5], w[5])
        assert [int(x) for x in got[1:5] + got[6:]] == [int(x) for x in w[1:5] + w[6:]]


@settings(max_examples=max(300, settings().max_examples))
@given(
    st.dictionaries(
        st.integers(0, 50),
        st.floats(-3, 3) | st.just(math.nan) | st.just(0.0) | st.sampled_from([0.5, -0.25, 1.0]),
        max_size=8,
    ),
    st.floats(0, 2) | st.just(1.0),
)
def test_normalize_weight_matches_reference(weights, limit):
    want = R.normalize_weight(dict(weights), limit)
    given_dict = dict(weights)
    got = portsim.normalize_weight(given_dict, limit)
    assert got is given_dict
    assert E.same_dict(got, want)


def flat_market(n_bars, n_cols, price=10.0):
    p = np.full((n_bars, n_cols), price)
    names = np.array([f"S{i}" for i in range(n_cols)], dtype=object)
    index = (E.BASE + np.arange(n_bars) * E.DAY).astype(np.int64)
    return p, names, index


def test_row_dated_on_the_next_bar_waits_a_bar():
    p, names, index = flat_market(5, 2)
    p[:, 1] = [10, 11, 12, 13, 14]
    case = E.Case(p, p, p, p, p, index, names, np.array([[0.5, 0.5], [0.0, 1.0]]),
                  np.array([index[0], index[2]]), names, index.copy(),
                  dict(fee_ratio=0.001425, tax_ratio=0.003))
    E.compare(portsim, excursion, case)


def test_decision_on_the_last_bar_is_reported_not_traded():
    p, names, index = flat_market(4, 3)
    weights = np.array([[0.5, 0.5, 0.0], [0.6, 0.0, 0.6]])
    case = E.Case(p, p, p, p, p, index, names, weights, np.array([index[0], index[3]]), names,
                  index.copy())
    E.compare(portsim, excursion, case)
    ops = portsim.get_stock_operations()
    assert ops["actions"] == {0: "hold", 1: "exit", 2: "enter"}


def test_unmapped_column_with_weight_fails_like_the_reference():
    p, names, index = flat_market(4, 1)
    pos_names = np.array(["S0", "X"], dtype=object)
    case = E.Case(p, p, p, p, p, index, names, np.array([[0.5, 0.5]]), index[:1].copy(),
                  pos_names, index.copy())
    E.compare(portsim, excursion, case)


@pytest.mark.parametrize("touched_exit", [False, True])
def test_stop_trading_zeroes_a_read_only_row_fails_like_the_reference(touched_exit):
    p, names, index = flat_market(6, 1)
    p[:, 0] = [10, 10, 8, 7, 7, 7]
    case = E.Case(p, p, p, p, p, index, names, np.array([[1.0], [1.0]]),
                  index[[0, 3]].copy(), names, index[[0, 3]].copy(),
                  dict(stop_loss=0.1, touched_exit=touched_exit), read_only=True)
    E.compare(portsim, excursion, case)


def test_nan_weight_on_a_zero_balance_fails_like_the_reference():
    # The only holding falls to a zero price, so the next rebalance has a zero balance;
    # a NaN weight makes the gross NaN, the ratio 1 and the target NaN.
    p = np.array([[10.0, 5], [10, 5], [0, 5], [0, 5], [0, 5]])
    names = np.array(["A", "B"], dtype=object)
    index = (E.BASE + np.arange(5) * E.DAY).astype(np.int64)
    case = E.Case(p, p, p, p, p, index, names, np.array([[1.0, 0.0], [0.0, math.nan]]),
                  index[[0, 2]].copy(), names, index.copy(), dict(fee_ratio=0.0, tax_ratio=0.0))
    assert isinstance(E.run_reference(case).error, ZeroDivisionError)
    E.compare(portsim, excursion, case)


def test_unpriced_column_reached_through_a_nan_target_fails_like_the_reference():
    p = np.array([[0.0], [0.0], [5.0], [5.0], [5.0]])
    nan = np.full_like(p, math.nan)
    index = (E.BASE + np.arange(5) * E.DAY).astype(np.int64)
    case = E.Case(p, p, nan, nan, nan, index, np.array(["A"], dtype=object),
                  np.array([[0.5, 0.0], [0.5, 0.0]]), index[[0, 2]].copy(),
                  np.array(["A", "Z"], dtype=object), index.copy(),
                  dict(fee_ratio=0.0, touched_exit=True, periodically_rebalance=False))
    assert isinstance(E.run_reference(case).error, ValueError)
    E.compare(portsim, excursion, case)


@pytest.mark.parametrize("touched_exit", [False, True])
@pytest.mark.parametrize("missing", range(11))
def test_none_arrays_fail_or_run_like_the_reference(missing, touched_exit):
    p = np.array([[10.0], [11.0], [12.0], [13.0]])
    names = np.array(["A"], dtype=object)
    index = (E.BASE + np.arange(4) * E.DAY).astype(np.int64)
    args = [p, p, p, p, p, index, names, np.array([[1.0]]), index[:1].copy(), names,
            index.copy()]
    args[missing] = None
    E.compare(portsim, excursion, E.Case(*args, dict(touched_exit=touched_exit)))


@pytest.mark.parametrize(
    "price_names, pos_names",
    [(["A"], [5]), ([5], ["A"]), (["\ud800"], ["A"]), (["A"], ["\udc00"]), (["A"], [b"A"]),
     ([np.str_("A")], ["A"]), (["A", "B", "A"], ["A", "a", "B"])],
)
def test_column_names_map_or_fail_like_the_reference(price_names, pos_names):
    p = np.array([[10.0, 20.0, 30.0], [11, 19, 31], [12, 18, 33], [13, 17, 29]])
    p = p[:, : len(price_names)]
    index = (E.BASE + np.arange(4) * E.DAY).astype(np.int64)
    weights = np.full((1, len(pos_names)), 1.0 / len(pos_names))
    weights[0, 1:2] = 0.0
    case = E.Case(p, p, p, p, p, index, np.array(price_names, dtype=object), weights,
                  index[:1].copy(), np.array(pos_names, dtype=object), index.copy())
    E.compare(portsim, excursion, case)


class Truth:
    """A truth value that counts its tests and can fail on one of them."""

    def __init__(self, value, fail_at=None):
        self.value, self.fail_at, self.calls = value, fail_at, 0

    def __bool__(self):
        self.calls += 1
        if self.calls == self.fail_at:
            raise RuntimeError(f"truth test {self.calls} failed")
        return self.value


@settings(max_examples=max(150, settings().max_examples // 2),
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(E.cases(), st.booleans(), st.none() | st.integers(1, 6))
def test_stop_trading_is_tested_for_truth_where_used(case, value, fail_at):
    truth = Truth(value, fail_at)
    case.options["stop_trading_next_period"] = truth
    counts = []

    def between():
        counts.append(truth.calls)
        truth.calls = 0

    E.compare(portsim, excursion, case, between)
    assert truth.calls == counts[0]


def test_partial_next_weights_after_a_failing_truth_test():
    p = np.array([[10.0], [10.0]])
    index = np.array([1, 2], dtype=np.int64)
    case = E.Case(p, p, p, p, p, index, np.array(["A"], dtype=object), np.array([[0.5, 0.5]]),
                  index[:1].copy(), np.array(["A", "A"], dtype=object), index[:1].copy(),
                  dict(stop_trading_next_period=Truth(False, fail_at=3)))
    truth = case.options["stop_trading_next_period"]

    def between():
        truth.calls = 0

    E.compare(portsim, excursion, case, between)


def test_nested_run_from_a_truth_test_leaves_the_outer_run_undisturbed():
    p, names, index = flat_market(6, 2)
    p[:, 1] = [10, 10, 8, 7, 7, 7]
    seen = []

    class Reentrant:
        def __bool__(self):
            try:
                portsim.backtest_(p, p, p, p, p, index, names, np.array([[1.0, 0.0]]),
                                  index[:1].copy(), names, index.copy())
            except RuntimeError as exc:
                seen.append(str(exc))
            return True

    case = E.Case(p, p, p, p, p, index, names, np.array([[0.5, 0.5], [0.5, 0.5]]),
                  index[[0, 3]].copy(), names, index.copy(),
                  dict(stop_loss=0.1, stop_trading_next_period=Reentrant()))
    E.compare(portsim, excursion, case)
    assert seen and set(seen) == {"backtest_ is already running"}
