"""The trade table as users meet it: each trade's return at the fill, exit reasons, flips,
positions, money with a capital, and the same numbers as the equity curve."""

import math

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("orvane.core.portsim")

import orvane  # noqa: E402

D = pd.bdate_range("2024-01-01", periods=12)
FREE = {"fee_ratio": 0.0, "tax_ratio": 0.0}


def ohlc(close, open_=None, high=None, low=None, stock="A"):
    """One stock's bars; the range spans the open and the close unless given."""
    close = np.asarray(close, dtype=float)
    open_ = close if open_ is None else np.asarray(open_, dtype=float)
    high = np.maximum(open_, close) if high is None else np.asarray(high, dtype=float)
    low = np.minimum(open_, close) if low is None else np.asarray(low, dtype=float)
    frame = lambda v: pd.DataFrame({stock: v}, index=D[:len(close)])  # noqa: E731
    return {"open": frame(open_), "high": frame(high), "low": frame(low), "close": frame(close)}


def rows(*pairs, stock="A"):
    """Weight rows (bar, weight) of one stock."""
    return pd.DataFrame({stock: [w for _, w in pairs]}, index=D[[b for b, _ in pairs]])


class TestReturnAtTheFill:
    def test_a_stop_inside_the_bar_is_the_return_the_equity_made(self):
        # Bought at 100 on bar 1; bar 3 opens at 97 and trades down to 88, through the
        # 0.9 stop: sold at 90, -10 %, although the bar closes at 95.
        prices = ohlc([100, 100, 98, 95, 96, 96], open_=[100, 100, 98, 97, 96, 96],
                      high=[100, 100, 98, 98, 96, 96], low=[100, 100, 98, 88, 96, 96])
        r = orvane.backtest(rows((0, 1.0)), prices, stop_loss=0.1, touched_exit=True, **FREE)
        t = r.trades.iloc[0]
        assert r.creturn.iloc[-1] == pytest.approx(0.9)
        assert t["return"] == pytest.approx(-0.1) and t["mae"] == pytest.approx(-0.1)
        assert t["exit_reason"] == "stop_loss" and t["exit_price"] == pytest.approx(90.0)
        # Decided inside bar 3, on bar 3.
        assert t["exit_sig_date"] == t["exit_date"] == D[3]

    def test_a_take_profit_inside_the_bar_gains_its_level(self):
        # The same with a high of 112 and a 0.1 take profit: sold at 110, +10 %; no close
        # ever reached it, so the greatest excursion is the fill.
        prices = ohlc([100, 100, 98, 95, 96, 96], open_=[100, 100, 98, 97, 96, 96],
                      high=[100, 100, 98, 112, 96, 96], low=[100, 100, 98, 88, 96, 96])
        r = orvane.backtest(rows((0, 1.0)), prices, take_profit=0.1, touched_exit=True, **FREE)
        t = r.trades.iloc[0]
        assert r.creturn.iloc[-1] == pytest.approx(1.1)
        assert t["return"] == pytest.approx(0.1) and t["gmfe"] == pytest.approx(0.1)
        assert t["exit_reason"] == "take_profit" and t["mae"] <= t["return"] <= t["gmfe"]

    @pytest.mark.parametrize("window", [0, 3, 6, 11])
    def test_the_excursion_window_never_changes_a_return(self, window):
        # Bought at 100 paying 0.1 %, sold at 108 paying 0.1 % and 0.3 % tax:
        # 0.999 x 1.08 x 0.996 - 1 = 0.07460432.
        prices = pd.DataFrame({"A": [100, 100, 104, 97, 102, 95, 108, 110.0]}, index=D[:8])
        r = orvane.backtest(rows((0, 1.0), (5, 0.0)), prices, fee_ratio=0.001, tax_ratio=0.003,
                            excursion_window=window)
        assert r.trades["return"].iloc[0] == pytest.approx(0.07460432, rel=1e-12)
        assert r.creturn.iloc[-1] - 1 == pytest.approx(0.07460432, rel=1e-12)

    def test_trading_at_the_open_measures_at_the_opens(self):
        # Bought at the open 100 of bar 1, sold at the open 105 of bar 6: +5 %, whatever the closes.
        close = [100, 101, 104, 97, 102, 95, 108, 110]
        opens = [100, 100, 103, 98, 101, 96, 105, 109]
        r = orvane.backtest(rows((0, 1.0), (5, 0.0)), ohlc(close, open_=opens), trade_at="open",
                            excursion_window=7, **FREE)
        t = r.trades.iloc[0]
        assert t["return"] == pytest.approx(0.05) and t["entry_price"] == 100 and t["exit_price"] == 105

    def test_a_price_back_at_the_entry_has_no_excursion_noise(self):
        # 38.91 -> 45.37 -> 38.91: the running product of the price ratios gives
        # 0.9999999999999999 on bar 3; the lowest point is the entry itself, so MAE and the
        # excursion before it are 0, not -1.1e-16 and 16.6 %.
        prices = pd.DataFrame({"A": [38.91, 38.91, 45.37, 38.91, 45.37]}, index=D[:5])
        t = orvane.backtest(rows((0, 1.0)), prices, **FREE).trades.iloc[0]
        assert t["mae"] == 0.0 and t["bmfe"] == 0.0
        assert t["gmfe"] == pytest.approx(45.37 / 38.91 - 1)


class TestPiecesAndPositions:
    def test_a_holding_split_at_a_rebalance_trades_at_the_opens(self):
        # Closes 10..19, opens 0.5 lower; rows of weight 1 dated bars 2 and 5 trade at the
        # opens of bars 3 (12.5) and 6 (15.5). Pieces: 15.5 / 12.5 - 1 = 0.24 and
        # 19 / 15.5 - 1 = 0.225806; the position: 19 / 12.5 - 1 = 0.52.
        close = np.arange(10.0, 20.0)
        r = orvane.backtest(rows((2, 1.0), (5, 1.0)), ohlc(close, open_=close - 0.5), trade_at="open", **FREE)
        t, p = r.trades, r.positions
        np.testing.assert_allclose(t["return"], [0.24, 19 / 15.5 - 1], rtol=1e-12)
        assert list(t["exit_reason"]) == ["rebalance", ""] and t["position_id"].nunique() == 1
        assert len(p) == 1 and p["pieces"].iloc[0] == 2
        assert p["return"].iloc[0] == pytest.approx(0.52, rel=1e-12)
        assert (p["entry_price"].iloc[0], p["exit_price"].iloc[0]) == (12.5, 19.0)

    def test_a_holding_bought_once_is_one_open_trade_in_the_statistics(self):
        # Bought on 1 February after January's rebalance and held to April with a monthly
        # rebalance: three pieces, one position, still open; none closed, so the win rate
        # is undefined.
        dates = pd.bdate_range("2024-01-01", "2024-04-30")
        prices = pd.DataFrame({"A": np.linspace(10, 8, len(dates))}, index=dates)
        position = pd.DataFrame({"A": 1.0}, index=dates)
        r = orvane.backtest(position, prices, resample="M", **FREE)
        s = r.stats()
        assert len(r.trades) == 3 and len(r.positions) == 1
        assert (s["trades"], s["open_trades"]) == (1, 1)
        assert math.isnan(s["win_rate"]) and math.isnan(s["profit_factor"])

    def test_positions_are_the_trades_of_a_run_that_does_not_split(self):
        rng = np.random.default_rng(4)
        close = pd.DataFrame(100 * np.cumprod(1 + rng.normal(0, 0.02, (60, 3)), axis=0),
                             index=pd.bdate_range("2024-01-01", periods=60), columns=list("ABC"))
        position = pd.DataFrame(rng.choice([0.0, 0.2, 0.4, -0.3], (12, 3)), index=close.index[::5],
                                columns=list("ABC"))
        split = orvane.backtest(position, close, stop_loss=0.05)
        whole = orvane.backtest(position, close, stop_loss=0.05, periodically_rebalance=False)
        pd.testing.assert_series_equal(split.creturn, whole.creturn)
        assert len(split.trades) > len(whole.trades) == len(whole.positions) == len(split.positions)
        a, b = split.positions, whole.positions.sort_values("position_id", ignore_index=True)
        for column in ("stock", "entry_date", "exit_date", "exit_reason", "entry_price", "exit_price"):
            assert a[column].tolist() == b[column].tolist()
        for column in ("return", "invested", "pnl", "costs"):
            np.testing.assert_allclose(a[column], b[column], rtol=1e-10, atol=1e-15)


class TestFlips:
    CLOSE = [10, 10, 11, 12, 13, 14, 13, 12, 11, 10]

    @pytest.mark.parametrize("periodic", [True, False])
    @pytest.mark.parametrize("retain", [True, False])
    def test_a_long_that_turns_short_is_two_trades(self, periodic, retain):
        # Long from 10 to 14: +40 %; short from 14 to 10 at the end: 1 - 10 / 14 = +28.57 %.
        prices = pd.DataFrame({"A": self.CLOSE}, index=D[:10])
        r = orvane.backtest(rows((0, 1.0), (4, -1.0)), prices, periodically_rebalance=periodic,
                            retain_cost_when_rebalance=retain, **FREE)
        t = r.trades
        assert list(t["weight"]) == [1.0, -1.0] and list(t["exit_reason"]) == ["rebalance", ""]
        np.testing.assert_allclose(t["return"], [0.4, 1 - 10 / 14], rtol=1e-12)
        assert t["exit_date"].iloc[0] == t["entry_date"].iloc[1] == D[5]
        assert len(r.positions) == 2 and t["position_id"].nunique() == 2

    def test_the_long_leg_pays_its_share_of_the_flip(self):
        # Fee 1 %: bought for 1 at 10, held 0.99, worth 1.386 at 14; the flip sells it
        # paying 1.386 x 1 % = 0.01386: +0.37214, as a sale to cash would.
        prices = pd.DataFrame({"A": self.CLOSE}, index=D[:10])
        r = orvane.backtest(rows((0, 1.0), (4, -1.0)), prices, fee_ratio=0.01, tax_ratio=0.0)
        t = r.trades
        assert t["return"].iloc[0] == pytest.approx(0.37214, rel=1e-12)
        # The short: 1.386 sold paying 0.01386, worth -0.99 at 10: 0.38214 / 1.386.
        assert t["return"].iloc[1] == pytest.approx(0.38214 / 1.386, rel=1e-12)
        assert t["pnl"].sum() == pytest.approx(r.creturn.iloc[-1] - 1, rel=1e-12)


class TestActionWords:
    def test_the_first_column_reads_its_take_profit(self):
        px = [10, 10, 10.5, 12, 12.5, 13, 13, 13]
        prices = pd.DataFrame({"A": px, "B": px}, index=D[:8])
        position = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=D[:1])
        r = orvane.backtest(position, prices, take_profit=0.1, **FREE)
        assert r.actions().set_index("stock")["action"].to_dict() == {"A": "tp_", "B": "tp_"}
        assert list(r.trades["exit_reason"]) == ["take_profit", "take_profit"]

    @pytest.mark.parametrize("path, rule, word, reason", [
        # A short sold at 10: 12.5 is a 25 % loss (beyond the 20 % stop), 7.5 a 25 % gain.
        ([10, 10, 11, 12.5, 13, 13], {"stop_loss": 0.2}, "sl_", "stop_loss"),
        ([10, 10, 9, 8, 7.5, 7.5], {"take_profit": 0.2}, "tp_", "take_profit"),
    ])
    def test_a_short_at_the_close_reads_what_happened(self, path, rule, word, reason):
        prices = pd.DataFrame({"A": path}, index=D[:6])
        r = orvane.backtest(rows((0, -1.0)), prices, **rule, **FREE)
        assert r.actions()["action"].tolist() == [word]
        assert r.trades["exit_reason"].tolist() == [reason]

    def test_a_stock_stopped_inside_the_bar_stays_stopped(self):
        # A opens bar 3 at 8.5, below its 0.9 stop: sold at the open, -15 %. Its price
        # later reaches 11.5, 15 % above the entry: it is still the stop that removed it.
        close = [10, 10, 9.5, 8.5, 9, 10, 11, 11.5]
        prices = {f: pd.DataFrame({"A": close, "B": [10.0] * 8}, index=D[:8]) for f in ("open", "high", "low", "close")}
        position = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=D[:1])
        r = orvane.backtest(position, prices, stop_loss=0.1, take_profit=0.1, touched_exit=True, **FREE)
        a = r.actions().set_index("stock")
        assert a.loc["A", "action"] == "sl_" and a.loc["A", "weight"] == 0.0
        assert r.trades.set_index("stock").loc["A", "return"] == pytest.approx(-0.15)


class TestTurnover:
    def test_bought_once_and_stopped_out_is_one_turnover(self):
        # Buy the portfolio (0.5), sell it at the stop (0.5): 1.0 before annualisation.
        prices = pd.DataFrame({"A": [10, 10, 9.5, 8.5, 8.5, 8.5]}, index=D[:6])
        r = orvane.backtest(rows((0, 1.0)), prices, stop_loss=0.1, **FREE)
        assert r.trades["exit_reason"].tolist() == ["stop_loss"]
        assert r.turnover(per_year=False) == pytest.approx(1.0)
        years = (D[5] - D[0]).days / 365.25
        assert r.turnover() == pytest.approx(1.0 / years)

    def test_stopped_and_bought_again_is_one_and_a_half(self):
        # Bought (0.5), stopped (0.5), bought back by the next row (0.5).
        prices = pd.DataFrame({"A": [10, 10, 9.5, 8.5, 8.5, 8.5, 9, 9]}, index=D[:8])
        r = orvane.backtest(rows((0, 1.0), (4, 1.0)), prices, stop_loss=0.1, stop_trading_next_period=False,
                            **FREE)
        assert len(r.positions) == 2
        assert r.turnover(per_year=False) == pytest.approx(1.5)

    def test_a_position_limit_trades_only_what_it_allows(self):
        # A weight of 1 capped at 0.5: half the portfolio bought, 0.25.
        prices = pd.DataFrame({"A": [10, 10, 11, 12]}, index=D[:4])
        r = orvane.backtest(rows((0, 1.0)), prices, position_limit=0.5, **FREE)
        assert r.turnover(per_year=False) == pytest.approx(0.25)
        # Held 0.5 of 1, then 0.55 of 1.05, 0.6 of 1.1 over the bars from the one before the entry.
        assert r.invested_fraction() == pytest.approx((0 + 0.5 + 0.55 / 1.05 + 0.6 / 1.1) / 4)
        assert r.exposure() == 1.0

    def test_the_invested_fraction_counts_a_holding_resized_inside_one_trade(self):
        prices = pd.DataFrame({"A": [10, 10, 11, 12, 12]}, index=D[:5])
        # 0.5 of 1 held on bar 1, 0.55 of 1.05 on bar 2, then all of 1.05 x 12 / 11 at bars 3 and 4.
        expected = (0 + 0.5 + 0.55 / 1.05 + 1 + 1) / 5
        split = orvane.backtest(rows((0, 0.5), (2, 1.0)), prices, **FREE)
        assert split.invested_fraction() == pytest.approx(expected)
        # Kept as one trade through the second row, the holding is resized inside it; the book is the same.
        kept = orvane.backtest(rows((0, 0.5), (2, 1.0)), prices, retain_cost_when_rebalance=True, **FREE)
        assert len(kept.trades) == 1 and kept.invested_fraction() == pytest.approx(expected)


class TestExitDecisionDates:
    def test_a_rebalance_exit_inside_the_bar_mode_was_decided_the_bar_before(self):
        prices = ohlc([10, 10, 11, 12, 12, 12])
        r = orvane.backtest(rows((0, 1.0), (2, 0.0)), prices, stop_loss=0.5, touched_exit=True, **FREE)
        t = r.trades.iloc[0]
        assert t["exit_reason"] == "rebalance"
        assert t["exit_date"] == D[3] and t["exit_sig_date"] == D[2]


class TestMoney:
    def test_the_trades_in_money_add_up_to_the_capital_made(self):
        # 1e6 bought at 10 paying 0.1 %: 99,900 shares, sold at 12 paying 0.1 % and 0.3 %
        # tax: 99,900 x 12 x 0.996 = 1,194,004.8; costs 1,000 + 4,795.2 = 5,795.2.
        prices = pd.DataFrame({"A": [10, 10, 11, 12, 12.0]}, index=D[:5])
        r = orvane.backtest(rows((0, 1.0), (2, 0.0)), prices, fee_ratio=0.001, tax_ratio=0.003, capital=1e6)
        t = r.trades.iloc[0]
        assert r.capital == 1e6
        assert t["shares"] == pytest.approx(99_900) and t["entry_price"] == 10 and t["exit_price"] == 12
        assert t["pnl"] == pytest.approx(194_004.8) and t["costs"] == pytest.approx(5_795.2)
        assert t["invested"] == pytest.approx(1e6)
        assert r.creturn.iloc[-1] * 1e6 - 1e6 == pytest.approx(t["pnl"], rel=1e-12)

    @pytest.mark.filterwarnings("ignore::orvane.DataWarning")
    def test_capital_scales_money_and_nothing_else(self):
        market = orvane.datasets.sample_market(n_stocks=20, years=2, seed=3)
        position = market.close.rank(axis=1, ascending=False) <= 4
        plain = orvane.backtest(position, market, resample="M", stop_loss=0.1)
        money = orvane.backtest(position, market, resample="M", stop_loss=0.1, capital=250_000)
        pd.testing.assert_series_equal(plain.creturn, money.creturn)
        assert money.trades["pnl"].sum() == pytest.approx(250_000 * (money.creturn.iloc[-1] - 1), rel=1e-10)
        np.testing.assert_allclose(money.trades["pnl"], plain.trades["pnl"] * 250_000, rtol=1e-15)
        assert (money.trades["shares"] > 0).all() and "shares" not in plain.trades.columns
        a, b = plain.stats(), money.stats()
        assert list(a.index) == list(b.index)
        for key in a.index:
            assert a[key] == pytest.approx(b[key], rel=1e-12, nan_ok=True) if isinstance(a[key], float) else a[key] == b[key]

    @pytest.mark.parametrize("bad", [0, -5, float("inf"), float("nan"), "1e6", True])
    def test_a_capital_that_is_no_amount_is_refused(self, bad):
        prices = pd.DataFrame({"A": [10, 10, 11.0]}, index=D[:3])
        with pytest.raises(orvane.InputError, match="capital must"):
            orvane.backtest(rows((0, 1.0)), prices, capital=bad)


class TestRuinAndLostPrices:
    def test_a_short_that_loses_everything_is_called_ruined(self):
        # Sold short for 1 at 10: worth 2 - price / 10, so 0 at 20 (bar 3) and -1.6 at 36.
        prices = pd.DataFrame({"A": [10, 10, 15, 20, 25, 30, 36, 36.0]}, index=D[:8])
        with pytest.warns(orvane.RuinWarning, match="ruined on 2024-01-04"):
            r = orvane.backtest(rows((0, -1.0)), prices, **FREE)
        s = r.stats()
        assert s["ruin_date"] == D[3] and s["total_return"] == pytest.approx(-2.6)
        # Bar returns 0, -0.5, -1 up to the ruin; none after it (-0.5 -> -1 is no +100 %).
        assert r.returns.iloc[3:].isna().all()
        assert s["sharpe"] == pytest.approx(-0.5 / 0.5 * math.sqrt(252))
        assert math.isnan(s["calmar"]) and s["return 2024"] == pytest.approx(-2.6)
        assert r.trades["return"].iloc[0] == pytest.approx(-2.6)

    @pytest.mark.parametrize("tail", [[0.0, 0.0, 0.0], [0.0, 1.0, 2.0], [2.0, 1.0, 0.0]])
    def test_a_held_price_that_reaches_zero_is_refused(self, tail):
        prices = pd.DataFrame({"A": [10, 10, 8, 5, *tail], "B": 10.0}, index=D[:7])
        position = pd.DataFrame({"A": [0.8], "B": [0.2]}, index=D[:1])
        with pytest.raises(orvane.InputError, match="'A'"):
            orvane.backtest(position, prices, **FREE)


def test_the_excursion_plot_draws_closed_trades_only():
    pytest.importorskip("matplotlib")
    from orvane.plots import new_figure, plot_mae_mfe

    prices = pd.DataFrame({"A": [10, 10, 11, 12, 11, 12.0], "B": [5, 5, 5.5, 6, 6, 6.0]}, index=D[:6])
    position = pd.DataFrame({"A": [0.5, 0.0], "B": [0.5, 0.5]}, index=D[[0, 2]])
    r = orvane.backtest(position, prices, **FREE)
    assert len(r.trades) == 3 and r.trades["exit_date"].notna().sum() == 2
    ax = new_figure(4, 3).add_subplot()
    plot_mae_mfe(r, ax)
    assert sum(len(c.get_offsets()) for c in ax.collections) == 2


def test_the_page_shows_exit_reasons_positions_and_definitions(tmp_path):
    pytest.importorskip("matplotlib")
    prices = pd.DataFrame({"A": [10, 10, 9.5, 8.5, 8.5, 8.5, 9, 9], "B": [5, 5, 5, 5.5, 6, 6, 6, 6.0]},
                          index=D[:8])
    position = pd.DataFrame({"A": [0.5, 0.5], "B": [0.5, 0.5]}, index=D[[0, 4]])
    r = orvane.backtest(position, prices, stop_loss=0.1, **FREE)
    s = r.stats()
    assert (s["exits_stop_loss"], s["exits_rebalance"], s["trades"]) == (1, 0, 2)
    text = open(r.to_html(tmp_path / "r.html"), encoding="utf-8").read()
    assert "stop_loss" in text and "exit_reason" in text and "exits_stop_loss" in text
    assert 'id="definitions"' in text and "profit_factor_pnl" in text and "avg_invested" in text
    assert "3 trades and pieces of 2 positions" in text


class TestStopsAsDocumented:
    """The four cases of the README's section on stops."""

    def test_a_trailing_stop_is_a_distance_on_the_cumulative_return(self):
        # Peak 2.0 at 20: the level is 1.9 (a price of 19, 5 % below the peak); 18.8 is
        # below it, and the holding is sold on the next bar at 18.5.
        prices = pd.DataFrame({"A": [10, 10, 15, 20, 18.8, 18.5, 18]}, index=D[:7])
        t = orvane.backtest(rows((0, 1.0)), prices, trail_stop=0.1, **FREE).trades
        assert t["exit_reason"].tolist() == ["trail_stop"]
        assert (t["exit_date"].iloc[0], t["exit_price"].iloc[0]) == (D[5], 18.5)
        assert t["return"].iloc[0] == pytest.approx(0.85)

    @pytest.mark.parametrize("next_period, sold", [(False, [(D[4], 8.6, "rebalance"), (D[5], 8.7, "stop_loss")]),
                                                   (True, [(D[4], 8.6, "stop_loss")])])
    def test_a_signal_on_the_rebalance_bar_belongs_to_the_ending_period(self, next_period, sold):
        prices = pd.DataFrame({"A": [10, 10, 9.5, 8.5, 8.6, 8.7, 8.7]}, index=D[:7])
        r = orvane.backtest(rows((0, 1.0), (3, 1.0)), prices, stop_loss=0.1,
                            stop_trading_next_period=next_period, **FREE)
        t = r.trades
        assert list(zip(t["exit_date"], t["exit_price"], t["exit_reason"])) == sold
        assert len(r.positions) == 1

    @pytest.mark.parametrize("retain, exits", [(False, []), (True, [(D[5], 8.4)])])
    def test_daily_rows_reset_the_stop_unless_the_reference_is_kept(self, retain, exits):
        prices = pd.DataFrame({"A": [10, 10, 9.6, 9.2, 8.8, 8.4, 8.0, 8.0]}, index=D[:8])
        position = pd.DataFrame({"A": 1.0}, index=D[:8])
        t = orvane.backtest(position, prices, stop_loss=0.1, retain_cost_when_rebalance=retain, **FREE).trades
        stopped = t[t["exit_reason"] == "stop_loss"]
        assert list(zip(stopped["exit_date"], stopped["exit_price"])) == exits

    @pytest.mark.parametrize("next_period, rebought", [(True, D[8]), (False, D[5])])
    def test_a_stopped_stock_waits_in_cash(self, next_period, rebought):
        prices = pd.DataFrame({"A": [10, 10, 8.5, 8, 8, 8, 9, 10, 11, 12], "B": 10.0}, index=D[:10])
        position = pd.DataFrame({"A": 0.5, "B": 0.5}, index=D[[0, 4, 7]])
        r = orvane.backtest(position, prices, stop_loss=0.1, stop_trading_next_period=next_period, **FREE)
        a = r.positions[r.positions["stock"] == "A"]
        assert a["exit_reason"].tolist() == ["stop_loss", ""] and a["entry_date"].iloc[1] == rebought
        if next_period:
            # A sold at 8 for 0.4; B's half and A's 0.4 in cash until bar 8: 0.9.
            np.testing.assert_allclose(r.creturn.iloc[3:8], 0.9)


@pytest.mark.filterwarnings("ignore::orvane.DataWarning")
@pytest.mark.parametrize("capital", [None, 1e6])
def test_statistics_count_the_positions_of_the_table(capital):
    # stats() takes its trade figures straight from the engine's ledger (a
    # sweep never builds the table); they are the figures of report.positions.
    from orvane.datasets import momentum_position, sample_market
    from orvane.stats import trade_stats

    market = sample_market(n_stocks=40, years=3, seed=5)
    position = momentum_position(market.close, top=6, lookback=60, skip=5)
    r = orvane.backtest(position, market, resample="M", stop_loss=0.08, take_profit=0.3, capital=capital)
    positions = r.positions
    assert (positions["pieces"] > 1).any() and positions["exit_reason"].isin(["stop_loss", "take_profit"]).any()
    want = trade_stats(positions)
    got = r.stats()[list(want)].to_dict()
    assert got.keys() == want.keys()
    for k in want:
        # A capital changes the units, not the figures (up to rounding of the scaled money).
        assert got[k] == pytest.approx(want[k], rel=0 if capital is None else 1e-12, nan_ok=True), k
