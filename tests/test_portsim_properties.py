"""Invariants of backtest_ over random small universes."""

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sim import dates, names

import orvane.core.excursion as excursion
from orvane.core import portsim


@st.composite
def universes(draw):
    bars = draw(st.integers(1, 12))
    stocks = draw(st.integers(1, 4))
    rows = draw(st.integers(1, 4))
    price = np.array(draw(st.lists(
        st.lists(st.one_of(st.floats(1, 100), st.just(np.nan)), min_size=stocks,
                 max_size=stocks), min_size=bars, max_size=bars)))
    weights = np.array(draw(st.lists(
        st.lists(st.sampled_from([0.0, 0.25, -0.25, 0.5, 1.0]), min_size=stocks,
                 max_size=stocks), min_size=rows, max_size=rows)))
    pos_index = dates(sorted(draw(st.lists(st.integers(-2, bars), min_size=rows,
                                           max_size=rows))))
    resample = dates(sorted(draw(st.lists(st.integers(-1, bars + 1), max_size=bars))))
    options = {
        "stop_loss": draw(st.sampled_from([1.0, 0.1, 0.3])),
        "take_profit": draw(st.sampled_from([np.inf, 0.1, 0.5])),
        "trail_stop": draw(st.sampled_from([np.inf, 0.05, 0.2])),
        "touched_exit": draw(st.booleans()),
        "retain_cost_when_rebalance": draw(st.booleans()),
        "stop_trading_next_period": draw(st.booleans()),
        "periodically_rebalance": draw(st.booleans()),
        "position_limit": draw(st.sampled_from([1.0, 0.4])),
    }
    spread = np.array(draw(st.lists(st.floats(1.0, 1.2), min_size=bars * stocks,
                                    max_size=bars * stocks))).reshape(bars, stocks)
    return price, weights, pos_index, resample, options, spread


def backtest(price, weights, pos_index, resample, options, spread):
    bars, stocks = price.shape
    return portsim.backtest_(price, price, price * spread, price / spread, price,
                             dates(range(bars)), names(stocks), weights.copy(), pos_index,
                             names(stocks), resample, **options)


SETTINGS = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


@SETTINGS
@given(universes())
def test_lists_and_results_have_consistent_shapes(universe):
    price = universe[0]
    creturn = backtest(*universe)
    assert creturn.shape == (price.shape[0],)
    assert len(excursion.trades) == len(excursion.trade_positions) == len(excursion.excursion)
    ops = portsim.get_stock_operations()
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    assert set(ops["actions"].values()) <= {"enter", "exit", "hold", "tp", "sl", "tp_enter",
                                            "sl_enter", "tp_", "sl_"}


@SETTINGS
@given(universes())
def test_trades_of_a_stock_follow_each_other(universe):
    price = universe[0]
    backtest(*universe)
    by_stock = {}
    for sid, entry, exit_ in excursion.trades:
        by_stock.setdefault(sid, []).append((int(entry), exit_))
    for trades in by_stock.values():
        trades.sort()
        for i, (entry, exit_) in enumerate(trades):
            assert 1 <= entry < price.shape[0]
            if exit_ == -1:
                assert i == len(trades) - 1  # only the last one may be open
            else:
                assert entry <= exit_
                if i + 1 < len(trades):
                    assert exit_ <= trades[i + 1][0]


@SETTINGS
@given(universes())
def test_zero_weights_never_trade(universe):
    price, weights, *rest = universe
    creturn = backtest(price, np.zeros_like(weights), *rest)
    assert creturn.tolist() == [1.0] * price.shape[0]
    assert excursion.trades == []


@SETTINGS
@given(universes())
def test_runs_are_reproducible(universe):
    first = backtest(*universe)
    trades = [list(t) for t in excursion.trades]
    second = backtest(*universe)
    np.testing.assert_array_equal(first, second)
    assert [list(t) for t in excursion.trades] == trades


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(st.integers(0, 20), st.floats(-3, 3), max_size=8),
       st.floats(0.01, 2))
def test_normalized_weights_are_admissible(weights, limit):
    out = portsim.normalize_weight(dict(weights), limit)
    assert out.keys() == weights.keys()
    assert sum(abs(w) for w in out.values()) <= 1 + 1e-12
    assert all(abs(w) <= limit for w in out.values())
