"""orvane.walk_forward: windows, no look-ahead, executors, and the stitched out-of-sample report."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.datasets import momentum_position
from orvane.walkforward import split_windows

# The synthetic market suspends stocks now and then; these tests are not about that.
pytestmark = pytest.mark.filterwarnings("ignore::orvane.DataWarning")

GRID = {"n": [3, 8], "lookback": [20, 60]}
OPTIONS = {"resample": "M"}


def top(prices: orvane.Prices, n: int, lookback: int) -> pd.DataFrame:
    return momentum_position(prices.close, top=n, lookback=lookback, skip=5)


def peeking(prices: orvane.Prices, n: int, lookback: int) -> pd.DataFrame:
    """Ranks stocks by the next bar's return: a strategy with look-ahead."""
    close = prices.close
    tomorrow = close.shift(-1) / close - 1.0
    score = (close / close.shift(lookback) - 1.0) + 100.0 * tomorrow
    return score.rank(axis=1, ascending=False, method="first") <= n


@pytest.fixture(scope="module")
def market() -> orvane.Prices:
    return orvane.datasets.sample_market(n_stocks=30, years=4, seed=5)


def run(strategy, prices, **kwargs) -> orvane.walkforward.WalkForwardResult:
    settings = dict(train=252, test=126, options=OPTIONS, executor="serial", progress=False)
    settings.update(kwargs)
    return orvane.walk_forward(strategy, prices, GRID, **settings)


def test_bar_windows_roll_anchor_and_step() -> None:
    dates = pd.bdate_range("2021-01-04", periods=11)
    bounds = split_windows(dates, train=4, test=3)
    # Tests start at bars 4, 7 and 10; the last one holds the single bar left.
    assert bounds[["train_lo", "test_lo", "test_hi"]].values.tolist() == [[0, 4, 7], [3, 7, 10], [6, 10, 11]]
    anchored = split_windows(dates, train=4, test=3, anchored=True)
    assert anchored["train_lo"].tolist() == [0, 0, 0]
    stepped = split_windows(dates, train=4, test=3, step=4)
    assert stepped[["train_lo", "test_lo", "test_hi"]].values.tolist() == [[0, 4, 7], [4, 8, 11]]
    assert list(bounds.loc[1, ["train_start", "train_end", "test_start", "test_end"]]) == [
        dates[3], dates[6], dates[7], dates[9]
    ]


def test_calendar_windows_on_dates_with_gaps() -> None:
    days = pd.bdate_range("2020-01-01", "2021-12-31")
    # No bars in July 2020 nor in the last quarter of 2020.
    dates = days[~((days.month == 7) & (days.year == 2020)) & ~((days >= "2020-10-01") & (days < "2021-01-01"))]
    bounds = split_windows(dates, train="6M", test="3M")
    # Window k trains on [2020-01-01 + 3k months, +6 months) and tests the 3 months after.
    # k=0 tests from 2020-07-01, whose first bar is 2020-08-03; k=1 would test Q4 2020,
    # which has no bar, and is left out; k=2 trains from 2020-07-01, i.e. from 2020-08-03.
    # k=3 trains from 2020-10-01, whose first bar is 2021-01-01.
    expected = [
        ("2020-01-01", "2020-06-30", "2020-08-03", "2020-09-30"),
        ("2020-08-03", "2020-09-30", "2021-01-01", "2021-03-31"),
        ("2021-01-01", "2021-03-31", "2021-04-01", "2021-06-30"),
        ("2021-01-01", "2021-06-30", "2021-07-01", "2021-09-30"),
        ("2021-04-01", "2021-09-30", "2021-10-01", "2021-12-31"),
    ]
    got = [tuple(str(d.date()) for d in row)
           for row in bounds[["train_start", "train_end", "test_start", "test_end"]].itertuples(index=False)]
    assert got == expected
    # Every test bar belongs to exactly one window, and follows its training window.
    assert (bounds["test_lo"].to_numpy()[1:] >= bounds["test_hi"].to_numpy()[:-1]).all()
    assert (bounds["train_end"] < bounds["test_start"]).all()


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(train=4, test=3, step=2), "test windows would overlap"),
        (dict(train=20, test=3), "leaves no bar to test"),
        (dict(train="6M", test=3), "all be numbers of bars or all calendar lengths"),
        (dict(train="6 months", test="1M"), "is not a calendar length"),
        (dict(train=1, test=3), "at least 2 bars"),
    ],
)
def test_unusable_windows_are_refused(kwargs, message) -> None:
    with pytest.raises(orvane.InputError, match=message):
        split_windows(pd.bdate_range("2021-01-04", periods=11), **kwargs)


def test_the_strategy_sees_prices_up_to_the_end_of_its_window(market) -> None:
    days = market.index
    # Drop a month of bars, so that the calendar has a gap.
    keep = ~((days >= "2015-03-01") & (days < "2015-04-01"))
    gapped = orvane.Prices(market.close[keep], market.open[keep], market.high[keep], market.low[keep])
    seen: list = []

    def recording(prices, n, lookback):
        seen.append(prices.index[-1])
        return top(prices, n, lookback)

    result = run(recording, gapped, train="1Y", test="6M")
    windows = result.windows
    expected = split_windows(gapped.index, "1Y", "6M")
    assert list(windows["test_start"]) == list(expected["test_start"])
    assert list(windows["train_end"]) == list(expected["train_end"])
    # Training calls (4 combinations each) end at the last training bar, test calls at the last test bar.
    assert set(seen) == set(windows["train_end"]) | set(windows["test_end"])
    assert max(seen) == gapped.index[-1] and len(seen) == len(windows) * (4 + 1)


@pytest.mark.parametrize("carry", [False, True])
def test_a_run_on_truncated_prices_repeats_the_windows_it_shares(market, carry) -> None:
    full = run(peeking, market, carry=carry)
    cut = 2
    end = full.windows.loc[cut, "test_end"]
    keep = market.index <= end
    truncated = orvane.Prices(market.close[keep], market.open[keep], market.high[keep], market.low[keep])
    # The peek is real: on the last bar of the truncated prices the strategy decides differently.
    assert not peeking(market, 3, 20).loc[end].equals(peeking(truncated, 3, 20).loc[end])
    part = run(peeking, truncated, carry=carry)
    assert len(part.windows) == cut + 1
    pd.testing.assert_frame_equal(part.windows, full.windows.iloc[: cut + 1], check_exact=True)
    pd.testing.assert_series_equal(part.equity, full.equity.loc[:end], check_exact=True)
    if not carry:
        # The decision taken at the end of the window is the one the truncated prices give.
        pd.testing.assert_frame_equal(part.test_reports[cut].actions(), full.test_reports[cut].actions())


def test_executors_give_the_same_result(market) -> None:
    distributed = pytest.importorskip("distributed")
    serial = run(top, market)
    pooled = run(top, market, executor="process", max_workers=2)
    # Threads of this process are enough to show the Dask path; ":0" keeps the dashboard off busy ports.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        on_dask = run(top, market, executor=client)
    for other in (pooled, on_dask):
        pd.testing.assert_frame_equal(serial.windows, other.windows, check_exact=True)
        pd.testing.assert_series_equal(serial.equity, other.equity, check_exact=True)


def test_chained_test_windows_start_from_cash_and_compound(market) -> None:
    result = run(top, market)
    equity, windows = result.equity, result.windows
    assert len(result.test_reports) == len(windows) == len(result.sweeps) == 6
    for k, report in enumerate(result.test_reports):
        part = report.creturn
        # Each window is a run of its own from the bar before its first test bar ...
        assert part.index[0] == windows.loc[k, "train_end"] and part.index[-1] == windows.loc[k, "test_end"]
        assert report.stats()["sharpe"] == windows.loc[k, "oos_sharpe"]
        # ... started with the value the previous one ended with.
        np.testing.assert_allclose(equity.loc[part.index].to_numpy(), part.to_numpy() * equity.loc[part.index[0]],
                                   rtol=1e-14)
        # The chosen combination is the best of its training sweep.
        sweep = result.sweeps[k]
        best = sweep["sharpe"].idxmax()
        assert (windows.loc[k, "n"], windows.loc[k, "lookback"]) == tuple(sweep.loc[best, ["n", "lookback"]])
        assert windows.loc[k, "is_sharpe"] == sweep.loc[best, "sharpe"]
        assert windows.loc[k, "deflated_sharpe"] == sweep.loc[best, "deflated_sharpe"]
    assert equity.iloc[-1] == pytest.approx(np.prod([r.creturn.iloc[-1] for r in result.test_reports]), rel=1e-13)
    assert result.is_oos_ratio == pytest.approx(windows["is_sharpe"].mean() / windows["oos_sharpe"].mean())


def test_the_stitched_trade_table_agrees_with_the_equity_curve(market, tmp_path) -> None:
    result = run(top, market, options={"resample": "M", "excursion_window": 5})
    report = result.report
    trades = report.trades
    assert len(trades) == sum(len(r.trades) for r in result.test_reports)
    dates = report.creturn.index
    assert (dates[trades["entry_index"].to_numpy()] == trades["entry_date"].to_numpy()).all()
    closed = (trades["exit_index"] >= 0).to_numpy()
    assert (dates[trades["exit_index"].to_numpy()[closed]] == trades["exit_date"].to_numpy()[closed]).all()
    # Only the last window's holdings are still open; the others ended in cash.
    assert (trades.loc[~closed, "entry_date"] >= result.windows["test_start"].iloc[-1]).all()
    assert len(report.paths) == len(trades)
    # Each window's profits and losses, in its starting value, add up to the stitched curve.
    assert trades["pnl"].sum() == pytest.approx(report.creturn.iloc[-1] - 1, rel=1e-12)
    positions = report.positions
    assert positions["position_id"].is_unique and set(positions["position_id"]) == set(trades["position_id"])
    assert positions["pnl"].sum() == pytest.approx(trades["pnl"].sum(), rel=1e-12)
    assert (positions.loc[positions["exit_index"] >= 0, "exit_reason"] != "").all()
    stats = report.stats()
    assert stats["trades"] == len(positions) and stats["open_trades"] == (positions["exit_index"] < 0).sum()
    assert 0 < stats["turnover"] and 0 < stats["exposure"] <= 1 and 0 < stats["avg_invested"] <= 1
    assert report.actions().equals(result.test_reports[-1].actions())
    # Today's book is the last window's, its values in the chain's unit; the orders are the same.
    last = result.test_reports[-1]
    book, own = report.holdings(), last.holdings()
    assert len(book) == (~closed).sum() > 0
    pd.testing.assert_series_equal(book["weight"], own["weight"])
    assert (book["value"] / report.creturn.iloc[-1]).to_numpy() == pytest.approx(book["weight"].to_numpy(), rel=1e-12)
    # A suspended stock has no price on the last bar: its last one is given.
    latest = market.close.ffill().iloc[-1]
    pd.testing.assert_frame_equal(report.orders(1e6, lot_size=10, prices=latest),
                                  last.orders(1e6, lot_size=10, prices=latest))
    report.plot()
    page = report.to_html(str(tmp_path / "wf.html"))
    assert "Walk-forward" in open(page, encoding="utf-8").read()


def test_one_window_reports_what_its_single_run_reports(market) -> None:
    result = run(top, market, train=len(market.index) - 200, test=200)
    alone = result.test_reports[0]
    stitched, single = result.report.stats(), alone.stats()
    pd.testing.assert_series_equal(stitched, single, check_exact=True)


def test_carrying_one_combination_is_the_plain_back_test(market) -> None:
    grid = {"n": [8], "lookback": [60]}
    result = orvane.walk_forward(top, market, grid, train=252, test=126, options=OPTIONS, carry=True,
                                 executor="serial", progress=False)
    first = market.index.get_loc(result.windows["train_end"].iloc[0])
    bars = orvane.Prices(*(getattr(market, f).iloc[first:] for f in ("close", "open", "high", "low")))
    plain = orvane.backtest(top(market, 8, 60).iloc[first:], bars, **OPTIONS)
    pd.testing.assert_series_equal(result.equity, plain.creturn, check_exact=True)
    assert result.test_reports == []
    # Each window's out-of-sample figure is measured on its stretch of the one curve.
    k = 2
    stretch = plain.creturn.loc[result.windows.loc[k, "train_end"]:result.windows.loc[k, "test_end"]]
    assert result.windows.loc[k, "oos_sharpe"] == orvane.Report(stretch).stats()["sharpe"]


def test_carried_windows_may_name_different_stocks(market) -> None:
    def held_only(prices, n, lookback):
        held = top(prices, n, lookback)
        return held.loc[:, held.any()]

    grid = {"n": [8], "lookback": [60]}
    result = orvane.walk_forward(held_only, market, grid, train=252, test=126, options=OPTIONS, carry=True,
                                 executor="serial", progress=False)
    first = market.index.get_loc(result.windows["train_end"].iloc[0])
    bars = orvane.Prices(*(getattr(market, f).iloc[first:] for f in ("close", "open", "high", "low")))
    plain = orvane.backtest(top(market, 8, 60).iloc[first:], bars, **OPTIONS)
    # A stock a window does not name is not held in it; only the order of the trades may differ.
    np.testing.assert_allclose(result.equity.to_numpy(), plain.creturn.to_numpy(), rtol=1e-12)
    assert len(result.report.trades) == len(plain.trades)


def test_carry_needs_contiguous_windows_and_fixed_backtest_options(market) -> None:
    with pytest.raises(orvane.InputError, match="cannot vary the backtest options"):
        orvane.walk_forward(top, market, {"n": [3], "lookback": [20], "stop_loss": [0.1, None]},
                            train=252, test=126, carry=True, executor="serial")
    with pytest.raises(orvane.InputError, match="follow one another"):
        run(top, market, step=200, carry=True)
    with pytest.raises(orvane.InputError, match="is not a statistic"):
        run(top, market, metric="shrape")
    with pytest.raises(orvane.InputError, match="neither strategy parameters nor backtest options"):
        orvane.walk_forward(top, market, {"n": [3], "lookback": [20], "stop": [0.1]}, train=252, test=126,
                            strategy_keys=["n", "lookback"], executor="serial")


def test_gaps_between_test_windows_are_spent_in_cash(market) -> None:
    result = run(top, market, step=200, options={"resample": "M", "stop_loss": None})
    windows = result.windows
    gap = result.equity.loc[windows.loc[0, "test_end"]:windows.loc[1, "train_end"]]
    assert len(gap) > 2 and (gap == gap.iloc[0]).all()


def test_a_grid_of_backtest_options_on_a_weight_table(market) -> None:
    position = top(market, 8, 60)
    result = orvane.walk_forward(position, market, {"stop_loss": [0.05, None]}, train=252, test=252,
                                 options=OPTIONS, executor="serial", progress=False)
    assert set(result.windows["stop_loss"].map(repr)) <= {"0.05", "None"}
    for k, report in enumerate(result.test_reports):
        assert report.params["stop_loss"] == (np.inf if result.windows.loc[k, "stop_loss"] is None else 0.05)
    with pytest.raises(orvane.InputError, match="every grid parameter must be a backtest option"):
        orvane.walk_forward(position, market, {"n": [3]}, train=252, test=252, executor="serial")


def test_anchored_windows_train_from_the_first_bar(market) -> None:
    result = run(top, market, anchored=True, train="1Y", test="1Y")
    assert (result.windows["train_start"] == market.index[0]).all()
    assert len(result.windows) == 3
