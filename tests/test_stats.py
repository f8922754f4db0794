"""Statistics against values computed by hand on a tiny equity curve."""

import math

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import stats

DATES = pd.to_datetime(["2023-12-28", "2023-12-29", "2024-01-02", "2024-01-03", "2024-01-04"])
# Bar returns +10 %, -10 %, +20 %, -10 %.
EQUITY = pd.Series([1.0, 1.1, 0.99, 1.188, 1.0692], index=DATES)
ROOT = math.sqrt(252.0)


def test_returns_and_total_return():
    np.testing.assert_allclose(stats.returns(EQUITY).to_numpy(), [0.1, -0.1, 0.2, -0.1])
    assert stats.total_return(EQUITY) == pytest.approx(0.0692)


def test_volatility_sharpe_sortino():
    r = stats.returns(EQUITY)
    # mean 0.025; deviations .075 -.125 .175 -.125 -> sum of squares .0675 / 3 -> sd .15
    assert stats.volatility(r) == pytest.approx(0.15 * ROOT)
    assert stats.sharpe(r) == pytest.approx(0.025 / 0.15 * ROOT)
    # downside deviation sqrt((0 + .01 + 0 + .01) / 4)
    assert stats.sortino(r) == pytest.approx(0.025 / math.sqrt(0.005) * ROOT)


def test_risk_free_rate_is_taken_per_bar():
    r = stats.returns(EQUITY)
    rf = (1.05) ** (1 / 252) - 1
    assert stats.sharpe(r, risk_free=0.05) == pytest.approx((0.025 - rf) / 0.15 * ROOT)


def test_cagr_over_calendar_span():
    assert stats.cagr(EQUITY) == pytest.approx(1.0692 ** (365.25 / 7) - 1)


def test_max_drawdown_with_dates():
    dd = stats.max_drawdown(EQUITY)
    assert dd["max_drawdown"] == pytest.approx(-0.1)
    assert dd["peak"] == pd.Timestamp("2023-12-29")
    assert dd["trough"] == pd.Timestamp("2024-01-02")
    assert dd["recovery"] == pd.Timestamp("2024-01-03")


def test_drawdown_without_recovery():
    eq = pd.Series([1.0, 2.0, 1.0, 1.5], index=DATES[:4])
    dd = stats.max_drawdown(eq)
    assert dd["max_drawdown"] == pytest.approx(-0.5)
    assert dd["peak"] == DATES[1] and dd["trough"] == DATES[2] and dd["recovery"] is pd.NaT


def test_yearly_and_monthly_returns():
    yearly = stats.yearly_returns(EQUITY)
    assert list(yearly.index) == [2023, 2024]
    np.testing.assert_allclose(yearly.to_numpy(), [0.1, 1.0692 / 1.1 - 1])
    monthly = stats.monthly_returns(EQUITY)
    assert monthly.loc[2023, 12] == pytest.approx(0.1)
    assert monthly.loc[2024, 1] == pytest.approx(-0.028)
    assert monthly.loc[2024, 2] != monthly.loc[2024, 2]


def test_trade_figures_use_closed_trades():
    trades = pd.DataFrame(
        {
            "return": [0.1, -0.05, 0.2, 0.3],
            "exit_date": pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04", None]),
        }
    )
    got = stats.trade_stats(trades)
    assert got["trades"] == 4 and got["open_trades"] == 1
    assert got["win_rate"] == pytest.approx(2 / 3)
    assert got["profit_factor"] == pytest.approx(0.3 / 0.05)
    assert got["avg_win"] == pytest.approx(0.15)
    assert got["avg_loss"] == pytest.approx(-0.05)


def test_trade_figures_without_losses_or_trades():
    only_wins = pd.DataFrame({"return": [0.1], "exit_date": [pd.Timestamp("2024-01-02")]})
    assert stats.trade_stats(only_wins)["profit_factor"] == math.inf
    none = stats.trade_stats(pd.DataFrame({"return": [], "exit_date": pd.to_datetime([])}))
    assert none["trades"] == 0 and math.isnan(none["win_rate"])


def test_benchmark_alpha_beta_excess():
    # The strategy's bar returns are exactly twice the benchmark's.
    bench = pd.Series([100.0, 105.0, 99.75, 109.725, 104.23875], index=DATES)
    got = stats.benchmark_stats(EQUITY, bench)
    assert got["beta"] == pytest.approx(2.0)
    assert got["alpha"] == pytest.approx(0.0, abs=1e-12)
    assert got["benchmark_return"] == pytest.approx(0.0423875)
    assert got["excess_return"] == pytest.approx(0.0692 - 0.0423875)


def test_benchmark_is_aligned_by_carrying_values_forward():
    bench = pd.Series([100.0, 110.0], index=pd.to_datetime(["2023-12-01", "2024-01-03"]))
    got = stats.benchmark_stats(EQUITY, bench)
    assert got["benchmark_return"] == pytest.approx(0.1)


def test_summary_collects_everything():
    out = stats.summary(EQUITY, exposure=0.5, turnover=2.0, benchmark=EQUITY * 3)
    assert out["total_return"] == pytest.approx(0.0692)
    assert out["calmar"] == pytest.approx(stats.cagr(EQUITY) / 0.1)
    assert out["exposure"] == 0.5 and out["turnover"] == 2.0
    assert out["beta"] == pytest.approx(1.0) and out["excess_return"] == pytest.approx(0.0)
    assert out["return 2023"] == pytest.approx(0.1)
    assert out["max_drawdown_trough"] == pd.Timestamp("2024-01-02")


def test_a_first_period_with_only_the_first_value_is_left_out():
    eq = pd.Series([1.0, 1.1, 1.21], index=pd.to_datetime(["2023-12-29", "2024-01-02", "2024-02-01"]))
    assert list(stats.yearly_returns(eq).index) == [2024]
    assert stats.yearly_returns(eq).iloc[0] == pytest.approx(0.21)
    monthly = stats.monthly_returns(eq)
    assert list(monthly.index) == [2024]
    np.testing.assert_allclose(monthly.loc[2024, [1, 2]].to_numpy(), [0.1, 0.1])


class TestBarsPerYear:
    """Annualisation follows the bars: inferred from their spacing, stated, and overridable."""

    @pytest.mark.parametrize("dates, expected", [
        (pd.bdate_range("2020-01-01", periods=300), 252.0),
        # A market open every day, weekends included.
        (pd.date_range("2020-01-01", periods=300, freq="D"), 365.0),
        (pd.date_range("2015-01-02", periods=200, freq="W-FRI"), 52.0),
        (pd.date_range("2015-01-31", periods=60, freq="BME"), 12.0),
        (pd.date_range("2015-03-31", periods=20, freq="QE"), 4.0),
        (pd.date_range("2000-12-31", periods=12, freq="YE"), 1.0),
    ])
    def test_inferred_from_the_spacing(self, dates, expected):
        assert stats.infer_periods_per_year(dates) == expected

    def test_weekly_bars_with_holidays_are_still_weekly(self):
        fridays = pd.date_range("2015-01-02", periods=200, freq="W-FRI")
        # Some weeks end on a Thursday (a Friday holiday).
        shifted = fridays.where(np.arange(200) % 9 != 4, fridays - pd.Timedelta(days=1))
        assert stats.infer_periods_per_year(pd.DatetimeIndex(shifted)) == 52.0

    @pytest.mark.parametrize("dates", [
        pd.date_range("2024-01-02 09:00", periods=200, freq="h"),
        pd.DatetimeIndex(pd.Timestamp("2020-01-01") + pd.to_timedelta(np.cumsum(np.resize([1, 13, 60, 3], 40)), "D")),
    ])
    def test_irregular_or_intraday_bars_ask_for_the_value(self, dates):
        with pytest.raises(orvane.InputError, match="pass periods_per_year"):
            stats.infer_periods_per_year(dates)

    def test_weekly_run_is_annualised_with_52_and_says_so(self):
        dates = pd.date_range("2014-01-03", periods=520, freq="W-FRI")
        rng = np.random.default_rng(8)
        close = pd.DataFrame(100 * np.cumprod(1 + rng.normal(0.002, 0.03, (520, 3)), axis=0), index=dates,
                             columns=["A", "B", "C"])
        r = orvane.backtest(close.notna(), close, fee_ratio=0.0, tax_ratio=0.0)
        s = r.stats()
        # The first trade is on bar 1, so the curve is measured from bar 0; 52 bars a year.
        rets = r.creturn.pct_change().dropna()
        assert s["periods_per_year"] == 52.0
        assert s["volatility"] == pytest.approx(rets.std(ddof=1) * math.sqrt(52))
        assert s["sharpe"] == pytest.approx(rets.mean() / rets.std(ddof=1) * math.sqrt(52))
        # The daily assumption would have overstated both by sqrt(252 / 52) = 2.2 times.
        assert r.stats(periods_per_year=252)["volatility"] / s["volatility"] == pytest.approx(math.sqrt(252 / 52))

    def test_a_given_value_wins_and_an_irregular_run_needs_one(self):
        dates = pd.DatetimeIndex(pd.Timestamp("2020-01-01") + pd.to_timedelta(np.cumsum(np.resize([1, 13, 60], 30)), "D"))
        close = pd.DataFrame({"A": np.linspace(10, 13, 30)}, index=dates)
        r = orvane.backtest(close.iloc[:1] * 0 + 1.0, close)
        with pytest.raises(orvane.InputError, match="pass periods_per_year"):
            r.stats()
        assert r.stats(periods_per_year=20)["periods_per_year"] == 20.0
        given = orvane.backtest(close.iloc[:1] * 0 + 1.0, close, periods_per_year=20)
        assert given.stats()["periods_per_year"] == 20.0
        with pytest.raises(orvane.InputError, match="risk_free must be an annual rate above -1"):
            given.stats(risk_free=-2)


class TestDrawdownDates:
    def test_a_curve_that_never_falls_has_no_drawdown_dates(self):
        dd = stats.max_drawdown(pd.Series([1.0, 1.1, 1.2, 1.2], index=DATES[:4]))
        assert dd["max_drawdown"] == 0.0
        assert dd["peak"] is pd.NaT and dd["trough"] is pd.NaT and dd["recovery"] is pd.NaT

    def test_the_peak_is_the_last_bar_at_the_high(self):
        # At 1.1 from the second to the fourth bar (cash), then down 10 % and back.
        dates = pd.bdate_range("2024-01-01", periods=6)
        dd = stats.max_drawdown(pd.Series([1.0, 1.1, 1.1, 1.1, 0.99, 1.1], index=dates))
        assert dd["max_drawdown"] == pytest.approx(-0.1)
        assert (dd["peak"], dd["trough"], dd["recovery"]) == (dates[3], dates[4], dates[5])

    def test_a_value_back_at_the_peak_up_to_rounding_is_a_recovery(self):
        # 13.46 -> 13.81 -> 11.47 -> 13.81 held by the engine: the value is back at
        # 1.0260029717682018, 2 units in the last place below the peak 1.026002971768202.
        dates = pd.bdate_range("2024-01-01", periods=4)
        dd = stats.max_drawdown(pd.Series([1.0, 1.026002971768202, 0.8521545319465082, 1.0260029717682018],
                                          index=dates))
        assert dd["recovery"] == dates[3]


class TestRuin:
    # Worth 1, 0.5, 0 (ruined), then -0.5 and -1.
    EQUITY = pd.Series([1.0, 0.5, 0.0, -0.5, -1.0], index=pd.bdate_range("2024-01-01", periods=5))

    def test_bars_after_a_ruin_have_no_return(self):
        r = stats.returns(self.EQUITY)
        # -0.5 -> -1.0 is no gain of 100 %.
        assert r.iloc[:2].tolist() == [-0.5, -1.0] and r.iloc[2:].isna().all()
        assert stats.ruin(self.EQUITY) == self.EQUITY.index[2]
        assert stats.ruin(EQUITY) is None

    def test_the_summary_names_the_ruin_and_keeps_ratios_before_it(self):
        out = stats.summary(self.EQUITY, periods_per_year=252)
        assert out["ruin_date"] == self.EQUITY.index[2]
        # Returns -0.5 and -1.0: mean -0.75, sample sd 0.353553.
        assert out["volatility"] == pytest.approx(math.sqrt(0.125) * ROOT)
        assert out["sharpe"] == pytest.approx(-0.75 / math.sqrt(0.125) * ROOT)
        assert math.isnan(out["calmar"]) and out["cagr"] == -1.0
        # Lost twice the starting capital: -1 / 1 - 1.
        assert out["total_return"] == -2.0 and out["return 2024"] == -2.0
        assert "ruin_date" not in stats.summary(EQUITY)

    def test_a_year_that_starts_ruined_has_no_return(self):
        eq = pd.Series([1.0, -0.5, -0.25], index=pd.to_datetime(["2023-06-01", "2023-12-29", "2024-03-01"]))
        yearly = stats.yearly_returns(eq)
        assert yearly.loc[2023] == -1.5 and math.isnan(yearly.loc[2024])


def test_sortino_skips_bars_without_a_return_as_sharpe_does():
    rets = pd.Series([0.1, np.nan, -0.05, 0.02, -0.01], index=DATES)
    # Without the NaN: mean 0.015; downside sqrt((0.05**2 + 0.01**2) / 4) = sqrt(0.00065).
    assert stats.sortino(rets) == pytest.approx(0.015 / math.sqrt(0.00065) * ROOT)
    assert stats.sharpe(rets) == pytest.approx(stats.sharpe(rets.dropna(), periods_per_year=252))


def test_trade_figures_weighted_by_money_and_exit_reasons():
    trades = pd.DataFrame({
        "return": [0.5, -0.1, 0.2, 0.3],
        "pnl": [0.05, -0.2, 0.1, 0.3],
        "exit_reason": ["take_profit", "stop_loss", "rebalance", ""],
        "exit_date": pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04", None]),
    })
    got = stats.trade_stats(trades)
    # By trade: (0.5 + 0.2) / 0.1 = 7; by money: (0.05 + 0.1) / 0.2 = 0.75.
    assert got["profit_factor"] == pytest.approx(7.0) and got["profit_factor_pnl"] == pytest.approx(0.75)
    assert (got["exits_take_profit"], got["exits_stop_loss"], got["exits_rebalance"], got["exits_trail_stop"]) == (
        1, 1, 1, 0)
