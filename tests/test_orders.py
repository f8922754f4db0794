"""Today's book and the next bar's orders in shares, against hand-computed values."""

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import InputError

pytest.importorskip("orvane.core.portsim")

DATES = pd.bdate_range("2024-01-01", periods=4)


@pytest.fixture(scope="module")
def book():
    """A long-short book with a rebalance pending after the last bar, no costs.

    The first row is traded at the close of bar 1: cash 1 - 0.5 + 0.25 - 0.25 = 0.5,
    A 0.5 long at 10, B 0.25 short at 20, C 0.25 long at 50.  On bars 2 and 3 A is at
    12 (0.5 * 1.2 = 0.6) and B at 16 (-0.25 * 0.8 = -0.2): the portfolio is worth
    0.5 + 0.6 - 0.2 + 0.25 = 1.15.  The row dated on the last bar is pending.
    """
    px = pd.DataFrame({"A": [10, 10, 12, 12.0], "B": [20, 20, 16, 16.0], "C": [50.0] * 4, "E": [30.0] * 4},
                      index=DATES)
    w = pd.DataFrame({"A": [0.5, 0.25], "B": [-0.25, -0.3], "C": [0.25, 0.0], "E": [0.0, 0.2]}, index=DATES[[0, 3]])
    return orvane.backtest(w, px, fee_ratio=0.0, tax_ratio=0.0), px, w


def test_holdings_are_the_book_at_the_last_close(book):
    report = book[0]
    h = report.holdings()
    assert h["stock"].tolist() == ["A", "B", "C"]
    np.testing.assert_allclose(h["value"], [0.6, -0.2, 0.25], rtol=1e-12)
    np.testing.assert_allclose(h["weight"], [0.6 / 1.15, -0.2 / 1.15, 0.25 / 1.15], rtol=1e-12)
    assert h["price"].tolist() == [12.0, 16.0, 50.0]
    # The weights and the cash they leave make up the portfolio.
    assert h["value"].sum() + 0.5 == pytest.approx(report.creturn.iloc[-1], rel=1e-12)


def test_orders_take_each_position_to_whole_lots_never_past_the_target(book):
    report = book[0]
    # At a capital of 1,150,000 the book holds A 600,000 / 12 = 50,000 shares,
    # B -200,000 / 16 = -12,500, C 250,000 / 50 = 5,000, and 500,000 in cash.
    o = report.orders(1_150_000, lot_size=100)
    assert o["stock"].tolist() == ["A", "B", "C", "E"]
    assert o["action"].tolist() == ["hold", "hold", "exit", "enter"]
    assert o["side"].tolist() == ["sell", "sell", "sell", "buy"]
    # Each target position is rounded toward zero to whole lots, and the order is the difference:
    # A: 0.25 * 1,150,000 / 12 = 23,958.3 shares -> 23,900; sell 50,000 - 23,900 = 26,100.
    # B: -0.3 * 1,150,000 / 16 = -21,562.5 -> -21,500 (-21,600 would be past the target); sell 9,000.
    # C: exit, the whole 5,000.
    # E: 0.2 * 1,150,000 / 30 = 7,666.7 -> 7,600 (7,700 would overshoot).
    assert o["shares"].tolist() == [26_100, 9_000, 5_000, 7_600]
    assert o["shares"].dtype == np.int64
    assert o["price"].tolist() == [12.0, 16.0, 50.0, 30.0]
    assert o["value"].tolist() == [313_200.0, 144_000.0, 250_000.0, 228_000.0]
    np.testing.assert_allclose(o["weight_target"], [0.25, -0.3, 0.0, 0.2])
    np.testing.assert_allclose(o["weight_now"], [0.6 / 1.15, -0.2 / 1.15, 0.25 / 1.15, 0.0], rtol=1e-12)
    # After: A 23,900 * 12, B -21,500 * 16, E 7,600 * 30, over 1,150,000.
    np.testing.assert_allclose(o["weight_after"], [286_800 / 1.15e6, -344_000 / 1.15e6, 0.0, 228_000 / 1.15e6])
    assert (o["cost"] == 0).all()
    # Cash 500,000, + 313,200 + 144,000 + 250,000 from the sales, - 228,000 for E.
    np.testing.assert_allclose(o["cash_after"], [813_200, 957_200, 1_207_200, 979_200], rtol=1e-12)
    assert o.attrs["cash"] == pytest.approx(979_200, rel=1e-12)


def test_each_stock_its_own_lot(book):
    report = book[0]
    lots = pd.Series({"A": 1000, "B": 1000, "C": 100, "E": 50})
    o = report.orders(1_150_000, lot_size=lots).set_index("stock")
    # A: 23,958.3 -> 23,000, sell 27,000.  B holds -12,500 (12.5 lots): -21,562.5 -> -21,000, so
    # the order is 8,500, the difference, and the position after is whole lots.  E: 7,666.7 -> 7,650.
    assert o.loc[["A", "B", "C", "E"], "shares"].tolist() == [27_000, 8_500, 5_000, 7_650]
    assert o.loc["B", "weight_after"] == pytest.approx(-21_000 * 16 / 1.15e6)
    with pytest.raises(InputError, match="lot_size has no lot for stocks 'E'"):
        report.orders(1_150_000, lot_size=lots.drop("E"))
    with pytest.raises(InputError, match="lot_size of 'A' must be a whole number"):
        report.orders(1_150_000, lot_size=lots.astype(float).replace(1000.0, 99.5))


def test_a_lot_larger_than_the_target_leaves_an_entry_at_zero_shares(book):
    o = book[0].orders(1_150_000, lot_size=10_000).set_index("stock")
    # E wants 7,666.7 shares, less than one lot: listed with no shares, not dropped.
    assert o.loc["E", "shares"] == 0 and o.loc["E", "side"] == "buy" and o.loc["E", "weight_after"] == 0.0
    # A's target of 23,958.3 shares is 2 lots of 10,000: sell 30,000 of the 50,000 it holds.
    assert o.loc["A", "shares"] == 30_000


def test_a_stock_without_a_price_today_is_refused_unless_priced():
    px = pd.DataFrame({"A": [10.0] * 4, "D": [40, 40, 40, np.nan]}, index=DATES)
    w = pd.DataFrame({"A": [1.0, 0.5], "D": [0.0, 0.5]}, index=DATES[[0, 3]])
    report = orvane.backtest(w, px, fee_ratio=0.0, tax_ratio=0.0)
    with pytest.raises(InputError, match=r"no price on the last bar \(2024-01-04\) for stocks 'D'.*prices="):
        report.orders(1_000_000)
    o = report.orders(1_000_000, prices={"D": 41.0}).set_index("stock")
    # 0.5 * 1,000,000 / 41 = 12,195.1 shares of D at the given price; A sells 50,000 of 100,000.
    assert o.loc["D", "shares"] == 12_195 and o.loc["D", "price"] == 41.0
    assert o.loc["A", "shares"] == 50_000 and o.loc["A", "price"] == 10.0
    with pytest.raises(InputError, match="the price of 'D' in prices must be a finite number above 0"):
        report.orders(1_000_000, prices={"D": 0.0})


def test_an_exit_by_stop_sells_the_whole_holding():
    # Close-mode stop at 10 %: A closes 15 % down on the last bar, so it is sold at the next one.
    px = pd.DataFrame({"A": [10, 10, 10, 8.5], "B": [20.0] * 4}, index=DATES)
    w = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=DATES[[0]])
    report = orvane.backtest(w, px, fee_ratio=0.0, tax_ratio=0.0, stop_loss=0.1)
    # Book: A 0.5 * 0.85 = 0.425, B 0.5, portfolio 0.925; at 925,000 A is 425,000 / 8.5 = 50,000 shares.
    o = report.orders(925_000, lot_size=1000)
    assert o[["stock", "action", "side", "shares"]].values.tolist() == [["A", "sl", "sell", 50_000]]
    assert o["value"].iloc[0] == 425_000.0 and o["weight_target"].iloc[0] == 0.0
    # B has no operation due, so no order: the only cash movement is A's sale.
    assert o["cash_after"].iloc[0] == pytest.approx(425_000.0, rel=1e-12)


def test_a_change_of_side_closes_the_holding_and_opens_whole_lots():
    px = pd.DataFrame({"A": [10.0] * 4}, index=DATES)
    w = pd.DataFrame({"A": [0.5, -0.33]}, index=DATES[[0, 3]])
    report = orvane.backtest(w, px, fee_ratio=0.0, tax_ratio=0.0)
    o = report.orders(1_000_000, lot_size=1000)
    # Holding 50,000; target -33,000 shares: sell the 50,000 and short 33 lots = 83,000.
    assert o[["action", "side", "shares"]].values.tolist() == [["hold", "sell", 83_000]]
    assert o["weight_after"].iloc[0] == pytest.approx(-0.33)


def test_order_costs_follow_the_run_rates():
    px = pd.DataFrame({"A": [10.0] * 4, "B": [20.0] * 4}, index=DATES)
    w = pd.DataFrame({"A": [1.0, 0.0], "B": [0.0, 0.5]}, index=DATES[[0, 3]])
    report = orvane.backtest(w, px, fee_ratio=0.001, tax_ratio=0.003, slippage=0.0005)
    # Bought at a fee of 0.0015 (fee plus slippage): A is worth 0.9985 of a 0.9985 portfolio.
    o = report.orders(100_000).set_index("stock")
    # A exit: 10,000 shares, 100,000, pays 0.0015 + 0.003; B entry: 2,500 shares, 50,000, pays 0.0015.
    assert o.loc["A", "shares"] == 10_000 and o.loc["B", "shares"] == 2_500
    assert o.loc["A", "cost"] == pytest.approx(100_000 * 0.0045)
    assert o.loc["B", "cost"] == pytest.approx(50_000 * 0.0015)
    assert o.loc["B", "cash_after"] == pytest.approx(0 + 100_000 - 450 - 50_000 - 75)


@pytest.mark.parametrize("capital", [0, -1.0, float("inf"), float("nan"), True, "1e6"])
def test_capital_must_be_a_positive_amount(book, capital):
    with pytest.raises(InputError, match="capital must be"):
        book[0].orders(capital)


def test_a_report_without_a_ledger_has_no_book():
    report = orvane.Report(pd.Series([1.0, 1.1], index=DATES[:2]))
    with pytest.raises(InputError, match="no trade ledger"):
        report.holdings()
    with pytest.raises(InputError, match="no trade ledger"):
        report.orders(1e6)
