"""orvane.backtest against the engine called directly on the same arrays, and end to end."""

import numpy as np
import pandas as pd
import pytest

portsim = pytest.importorskip("orvane.core.portsim")

# The synthetic market lists, delists and suspends stocks, and the strategies
# here hold some of them through their gaps: each run says so with a
# DataWarning, which the tests of missing prices check; here it is expected.
pytestmark = pytest.mark.filterwarnings("ignore::orvane.DataWarning")

import orvane  # noqa: E402
from orvane.core import excursion  # noqa: E402
from orvane.datasets import sample_market  # noqa: E402
from orvane.inputs import InputError  # noqa: E402


@pytest.fixture(scope="module")
def market():
    return sample_market(n_stocks=40, years=3, n_sectors=4, seed=11)


@pytest.fixture(scope="module")
def weights(market):
    rng = np.random.default_rng(5)
    dates = market.index[60::21]
    w = rng.random((len(dates), 30))
    w[w < 0.6] = np.nan
    w[:, :3] *= -1.0
    return pd.DataFrame(w / 6.0, index=dates, columns=market.columns[5:35])


def direct(market, position, trade_at="close", **options):
    """backtest_ on arrays built here, independently of the layer."""
    close = market.close.to_numpy(dtype=float)
    trade = close if trade_at == "close" else market.open.to_numpy(dtype=float)
    pos = np.nan_to_num(position.to_numpy(dtype=float), nan=0.0).copy()
    args = (
        trade, close, market.high.to_numpy(dtype=float), market.low.to_numpy(dtype=float),
        market.open.to_numpy(dtype=float), market.index.as_unit("ns").asi8.copy(),
        np.array(list(market.columns), dtype=object), pos, position.index.as_unit("ns").asi8.copy(),
        np.array(list(position.columns), dtype=object), position.index.as_unit("ns").asi8.copy(),
    )
    creturn = portsim.backtest_(*args, **options)
    rows, ops = portsim.get_trade_stocks(args[9], args[5], options.get("touched_exit", False))
    return creturn, rows, [e.copy() for e in excursion.excursion], ops, portsim.get_trade_ledger()


def assert_same_trades(report, rows, exc, book, touched):
    t = report.trades
    assert len(t) == len(rows)
    assert list(t["stock"]) == [r[0] for r in rows]
    ns = lambda s: s.dt.as_unit("ns").astype("int64").where(s.notna(), -1).tolist()  # noqa: E731
    dates = report.creturn.index.as_unit("ns").asi8
    assert ns(t["entry_date"]) == [int(r[1]) for r in rows]
    assert ns(t["exit_date"]) == [int(r[2]) for r in rows]
    # Inside the bar only the exit rules decide on the exit bar; a rebalance was decided the bar before.
    by_rule = t["exit_reason"].isin(["stop_loss", "take_profit", "trail_stop"]).to_numpy()
    assert ns(t["exit_sig_date"]) == [
        int(r[4]) if r[8] < 0 or not touched or rule else int(dates[r[8] - 1]) for r, rule in zip(rows, by_rule)
    ]
    assert ns(t["entry_sig_date"]) == [int(r[3]) if r[7] > 0 else -1 for r in rows]
    np.testing.assert_array_equal(t["weight"], [r[5] for r in rows])
    np.testing.assert_array_equal(t["period"], [r[6] for r in rows])
    np.testing.assert_array_equal(t["entry_index"], [r[7] for r in rows])
    np.testing.assert_array_equal(t["exit_index"], [r[8] for r in rows])
    # The return is the book's; the excursions are the recorder's wherever they already bound it.
    np.testing.assert_allclose(t["return"], book["pnl"] / book["invested"], rtol=0, atol=1e-11)
    np.testing.assert_array_equal(t["pnl"], book["pnl"])
    mae, gmfe = np.array([e[-6] for e in exc]), np.array([e[-5] for e in exc])
    ret = t["return"].to_numpy()
    # (A trade bought without a price has no excursions: NaN.)
    assert not (t["mae"] > ret).any() and not (ret > t["gmfe"]).any()
    inside = (mae <= ret) & (ret <= gmfe)
    assert inside.any()
    np.testing.assert_allclose(t["mae"][inside], mae[inside], rtol=0, atol=1e-11)
    np.testing.assert_allclose(t["gmfe"][inside], gmfe[inside], rtol=0, atol=1e-11)
    np.testing.assert_array_equal(t["profit_period"], [e[-2] for e in exc])


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"stop_loss": 0.05, "take_profit": 0.1},
        {"trail_stop": 0.04, "touched_exit": True, "fee_ratio": 0.0, "tax_ratio": 0.0},
        {"stop_loss": 0.03, "stop_trading_next_period": False, "retain_cost_when_rebalance": True},
        {"position_limit": 0.1, "periodically_rebalance": False, "trade_at": "open"},
    ],
)
def test_layer_matches_engine_on_same_arrays(market, weights, options):
    engine_opts = {k: v for k, v in options.items() if k != "trade_at"}
    for stop in ("stop_loss", "take_profit", "trail_stop"):
        engine_opts.setdefault(stop, np.inf)
    creturn, rows, exc, ops, book = direct(market, weights, options.get("trade_at", "close"), **engine_opts)
    report = orvane.backtest(weights, market, **options)
    np.testing.assert_array_equal(report.creturn.to_numpy(), creturn)
    assert list(report.creturn.index) == list(market.index)
    assert len(rows) > 20
    assert_same_trades(report, rows, exc, book, options.get("touched_exit", False))
    acts = report.actions().set_index("stock")
    assert {s: a for s, a in acts["action"].items() if a} == {weights.columns[k]: v for k, v in ops["actions"].items()}
    assert {s: w for s, w in acts["next_weight"].items() if w} == {
        weights.columns[k]: v for k, v in ops["next_weights"].items() if v
    }


def test_boolean_position_equals_equal_float_weights(market):
    held = market.close.rank(axis=1, ascending=False) <= 5
    held = held.iloc[100::21]
    floats = held.astype(float).div(held.sum(axis=1).replace(0, 1), axis=0)
    a = orvane.backtest(held, market)
    b = orvane.backtest(floats, market)
    np.testing.assert_array_equal(a.creturn.to_numpy(), b.creturn.to_numpy())
    pd.testing.assert_frame_equal(a.trades, b.trades)
    assert (a.trades["weight"].round(12) == 0.2).all()


def test_hand_computed_timing_and_value():
    dates = pd.bdate_range("2024-01-01", periods=5)
    px = pd.DataFrame({"A": [10.0, 11.0, 12.0, 12.0, 9.0], "B": [5.0] * 5}, index=dates)
    pos = pd.DataFrame({"A": [1.0, 0.0], "B": [0.0, 0.0]}, index=dates[[0, 2]])
    r = orvane.backtest(pos, px, fee_ratio=0.0, tax_ratio=0.0)
    # Row of day 0 trades at day 1's price 11; row of day 2 sells at day 3's 12.
    np.testing.assert_allclose(r.creturn.to_numpy(), [1.0, 1.0, 12 / 11, 12 / 11, 12 / 11])
    t = r.trades
    assert len(t) == 1 and t["entry_date"].iloc[0] == dates[1] and t["exit_date"].iloc[0] == dates[3]
    assert t["entry_sig_date"].iloc[0] == dates[0] and t["exit_sig_date"].iloc[0] == dates[2]
    assert t["return"].iloc[0] == pytest.approx(12 / 11 - 1)
    assert r.stats()["total_return"] == pytest.approx(12 / 11 - 1)


def test_first_row_dated_between_bars_trades_on_the_next_bar():
    dates = pd.to_datetime(["2024-01-05", "2024-01-08", "2024-01-09"])
    px = pd.DataFrame({"A": [10.0, 20.0, 40.0]}, index=dates)
    pos = pd.DataFrame({"A": [1.0]}, index=pd.to_datetime(["2024-01-06"]))
    r = orvane.backtest(pos, px, fee_ratio=0.0, tax_ratio=0.0)
    np.testing.assert_allclose(r.creturn.to_numpy(), [1.0, 1.0, 2.0])
    assert r.trades["entry_date"].iloc[0] == dates[1]


def test_pending_rebalance_is_reported_as_next_actions():
    dates = pd.bdate_range("2024-01-01", periods=4)
    px = pd.DataFrame({"A": [10.0, 10, 10, 10], "B": [5.0, 5, 5, 5]}, index=dates)
    pos = pd.DataFrame({"A": [1.0, 0.0], "B": [0.0, 1.0]}, index=[dates[0], dates[3]])
    a = orvane.backtest(pos, px).actions()
    assert dict(zip(a["stock"], a["action"])) == {"A": "exit", "B": "enter"}
    assert (a["next_weight_date"] == dates[3]).all() and (a["weight_date"] == dates[0]).all()
    assert dict(zip(a["stock"], a["next_weight"])) == {"A": 0.0, "B": 1.0}


def test_monthly_resample_rebalances_each_month_with_the_newest_row(market, weights):
    daily = weights.reindex(market.index, method="ffill").dropna(how="all")
    r = orvane.backtest(daily, market, resample="M")
    months = market.index[market.index >= daily.index[0]].to_period("M")
    entry_months = set(r.trades["entry_date"].dt.to_period("M"))
    assert entry_months <= set(months)
    # Entries happen on the first bar of a month (the bar after a month's last bar).
    first_bars = set(pd.Series(market.index, index=market.index).groupby(market.index.to_period("M")).first())
    assert set(r.trades["entry_date"]) <= first_bars


def test_caller_tables_are_untouched_when_the_engine_zeroes_exited_stocks(market, weights):
    before = weights.copy()
    r = orvane.backtest(weights, market, stop_loss=0.02, stop_trading_next_period=True)
    assert (r.actions()["action"].str.startswith("sl")).any() or (r.trades["return"] < -0.02).any()
    pd.testing.assert_frame_equal(weights, before)


def test_time_zone_aware_tables_give_the_same_run(market, weights):
    naive = orvane.backtest(weights, market)
    tz = orvane.Prices(*(getattr(market, f).tz_localize("Asia/Taipei") for f in ("close", "open", "high", "low")))
    aware = orvane.backtest(weights.tz_localize("Asia/Taipei"), tz)
    np.testing.assert_array_equal(naive.creturn.to_numpy(), aware.creturn.to_numpy())
    assert str(aware.trades["entry_date"].dt.tz) == "Asia/Taipei"


def test_excursion_paths_are_sampled(market, weights):
    r = orvane.backtest(weights, market, excursion_window=10, excursion_window_step=5)
    assert list(r.paths.columns.get_level_values("bars").unique()) == [0, 5]
    assert len(r.paths) == len(r.trades)
    np.testing.assert_array_equal(r.paths[("profit_period", 0)].dropna().unique() <= 1, True)


def test_input_errors_raise_before_the_engine_runs(market, weights):
    marker = orvane.backtest(weights, market).creturn.to_numpy()
    with pytest.raises(InputError, match="missing from prices: 'ZZZ'"):
        orvane.backtest(weights.assign(ZZZ=0.1), market)
    with pytest.raises(InputError, match="stop_loss must not be NaN"):
        orvane.backtest(weights, market, stop_loss=float("nan"))
    with pytest.raises(InputError, match="excursion_window_step must be at least 1"):
        orvane.backtest(weights, market, excursion_window_step=0)
    with pytest.raises(InputError, match="benchmark must be a pandas Series"):
        orvane.backtest(weights, market, benchmark=[1, 2])
    # The recorder still holds the last successful run.
    assert len(excursion.trades) > 0
    np.testing.assert_array_equal(orvane.backtest(weights, market).creturn.to_numpy(), marker)


def test_stats_and_benchmark_on_a_real_run(market, weights):
    r = orvane.backtest(weights, market, benchmark=market.close.iloc[:, 0].ffill())
    s = r.stats()
    assert s["trades"] == len(r.positions) == r.trades["position_id"].nunique()
    assert 0 < s["exposure"] <= 1 and s["turnover"] > 0
    assert np.isfinite(s["beta"]) and np.isfinite(s["alpha"])
    assert s["start"] <= r.trades["entry_date"].min()


def test_zero_price_of_a_traded_stock_is_named():
    dates = pd.bdate_range("2024-01-01", periods=4)
    px = pd.DataFrame({"A": [10.0, 0.0, 10.0, 10.0], "B": [5.0] * 4}, index=dates)
    pos = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=dates[:1])
    with pytest.raises(InputError, match="zero price in stocks: 'A'"):
        orvane.backtest(pos, px)


def test_stops_default_off_even_for_shorts():
    dates = pd.bdate_range("2024-01-01", periods=5)
    px = pd.DataFrame({"A": [10.0, 10.0, 15.0, 25.0, 30.0]}, index=dates)
    pos = pd.DataFrame({"A": [-0.5]}, index=dates[:1])
    with pytest.warns(orvane.RuinWarning, match="ruined on 2024-01-05"):
        off = orvane.backtest(pos, px, fee_ratio=0.0, tax_ratio=0.0)
    assert len(off.trades) == 1 and pd.isna(off.trades["exit_date"].iloc[0])
    # The engine's own stop of 1.0 closes a short once its price has doubled; at 30 the
    # short of half the portfolio, sold at 10, has lost it all: 1.5 - 0.5 x 3 = 0.
    with pytest.warns(orvane.RuinWarning, match="ruined on 2024-01-05"):
        stopped = orvane.backtest(pos, px, fee_ratio=0.0, tax_ratio=0.0, stop_loss=1.0)
    assert stopped.trades["exit_reason"].iloc[0] == "stop_loss"
    assert stopped.trades["exit_date"].iloc[0] == dates[4]


def test_rows_above_a_gross_of_one_trade_as_the_same_rows_scaled_down(market):
    # Rows of gross weight 2 trade as the same rows halved: [1, 1, 0] -> [.5, .5, 0], [0, 1, 1] -> [0, .5, .5].
    stocks = list(market.columns[:3])
    dates = market.index[[300, 400]]
    doubled = pd.DataFrame([[1.0, 1.0, 0.0], [0.0, 1.0, 1.0]], index=dates, columns=stocks)
    full = orvane.backtest(doubled, market)
    half = orvane.backtest(doubled / 2, market)
    pd.testing.assert_series_equal(full.creturn, half.creturn)
    # The same trades: the same money traded. Buying the portfolio from cash is
    # 1/2, then selling one stock and buying another about 1/2 more (as far as
    # the prices moved in 100 bars).
    assert full.turnover(per_year=False) == half.turnover(per_year=False) == pytest.approx(1.0, rel=0.25)
