"""Held stocks on bars without a price: the run follows the engine's rule and says so."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("orvane.core.portsim")

import orvane  # noqa: E402
from orvane import DataWarning, InputError  # noqa: E402

DATES = pd.bdate_range("2024-01-01", periods=8)
NAN = np.nan
COSTLESS = {"fee_ratio": 0.0, "tax_ratio": 0.0}


def delisted() -> tuple[pd.DataFrame, pd.DataFrame]:
    """A is delisted after 01-03 while held; the row of 01-05 sells it."""
    prices = pd.DataFrame({"A": [10, 11, 12, NAN, NAN, NAN, NAN, NAN], "B": [20.0] * 8}, index=DATES)
    position = pd.DataFrame({"A": [0.5, 0.0], "B": [0.5, 1.0]}, index=DATES[[0, 4]])
    return prices, position


def test_a_delisted_holding_is_warned_about_and_named():
    prices, position = delisted()
    with pytest.warns(DataWarning, match=r"no price on 3 stock-bars.*A 2024-01-04\.\.2024-01-08 \(3 bars\)"):
        r = orvane.backtest(position, prices, **COSTLESS)
    # The engine's rule stands: A keeps its value of 0.5 * 12 / 11 until it is sold on 01-08.
    np.testing.assert_allclose(r.creturn.to_numpy(), [1.0, 1.0] + [0.5 * 12 / 11 + 0.5] * 6)
    assert r.missing_prices.to_dict("list") == {
        "stock": ["A"], "first": [DATES[3]], "last": [DATES[5]], "bars": [3],
    }
    s = r.stats()
    assert s["missing_price_bars"] == 3 and s["missing_prices"] == "A 2024-01-04..2024-01-08 (3 bars)"
    a = r.trades.set_index("stock").loc["A"]
    assert a["missing_price_bars"] == 3 and a["note"] == "no price on 3 held bars, value carried unchanged"
    assert (r.trades.set_index("stock").loc["B", "note"] == "").all()


def test_a_stock_bought_before_its_first_price_is_measured_from_its_first_price():
    prices = pd.DataFrame({"C": [NAN, NAN, NAN, 5, 5.5, 6, 6, 6]}, index=DATES)
    position = pd.DataFrame({"C": [1.0]}, index=DATES[:1])
    with pytest.warns(DataWarning, match=r"1 trade was entered without a price \(measured from its first price"):
        r = orvane.backtest(position, prices, **COSTLESS)
    t = r.trades
    # The money bought on 01-02 waits for the first price, 5 on 01-04, and is worth 6 / 5 of it at the end.
    assert r.creturn.iloc[-1] == pytest.approx(1.2)
    assert len(t) == 1 and t["return"].iloc[0] == pytest.approx(0.2) and t["entry_price"].iloc[0] == 5
    assert t["note"].iloc[0].startswith("no price at entry, return measured from the first price after it")
    assert t["missing_price_bars"].iloc[0] == 2
    # Every NaN in the trade table has its note.
    nan_rows = t[["return", "mae", "gmfe"]].isna().any(axis=1)
    assert nan_rows.any() and (t.loc[nan_rows, "note"] != "").all()


def test_the_page_lists_the_missing_prices(tmp_path):
    pytest.importorskip("matplotlib")
    prices, position = delisted()
    with pytest.warns(DataWarning):
        r = orvane.backtest(position, prices, **COSTLESS)
    text = open(r.to_html(tmp_path / "r.html"), encoding="utf-8").read()
    assert 'id="missing-prices"' in text and "no price on 3" in text
    assert "2024-01-04" in text and "missing_price_bars" in text


def test_no_warning_and_zero_count_when_every_held_price_is_there():
    prices, position = delisted()
    full = prices.fillna(12.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DataWarning)
        r = orvane.backtest(position, full, **COSTLESS)
    assert r.stats()["missing_price_bars"] == 0 and "missing_prices" not in r.stats()
    assert (r.trades["note"] == "").all() and len(r.missing_prices) == 0


def test_gaps_of_stocks_not_held_are_not_reported():
    prices, position = delisted()
    prices["Z"] = [1.0, NAN, -3.0, NAN, 1.0, 1.0, 1.0, 1.0]
    with pytest.warns(DataWarning) as record:
        r = orvane.backtest(position, prices, **COSTLESS)
    assert "Z" not in str(record[0].message) and set(r.missing_prices["stock"]) == {"A"}


@pytest.mark.parametrize("bad, message", [
    (-5.0, r"positive and finite.*\('B', '2024-01-03'\)"),
    (np.inf, r"positive and finite.*\('B', '2024-01-03'\)"),
    # A zero stops the engine's own division first.
    (0.0, "a trade met a zero price in stocks: 'B'"),
])
def test_a_held_stock_with_a_price_that_is_not_positive_and_finite_is_refused(bad, message):
    prices, position = delisted()
    prices.loc[DATES[2], "B"] = bad
    with pytest.raises(InputError, match=message):
        orvane.backtest(position, prices.fillna(1.0), **COSTLESS)


def test_a_sweep_sums_up_the_missing_prices_once():
    prices, position = delisted()
    with pytest.warns(DataWarning) as record:
        frame = orvane.sweep(position, prices, {"fee_ratio": [0.0, 0.001]}, executor="serial")
    assert len([w for w in record if issubclass(w.category, DataWarning)]) == 1
    assert "2 of 2 combinations" in str(record[0].message)
    assert list(frame["missing_price_bars"]) == [3, 3]


def test_prices_in_either_memory_layout_give_the_same_findings():
    import dataclasses

    from orvane.gaps import scan_holdings

    rng = np.random.default_rng(2)
    dates = pd.bdate_range("2024-01-01", periods=60)
    close = pd.DataFrame(10 + rng.random((60, 6)), index=dates, columns=list("ABCDEF"))
    close[rng.random((60, 6)) < 0.1] = NAN
    position = pd.DataFrame(rng.random((6, 6)), index=dates[::10], columns=close.columns)
    with pytest.warns(DataWarning):
        r = orvane.backtest(position, close, **COSTLESS)
    p = r._raw.prepared
    findings = []
    for layout in (np.ascontiguousarray, np.asfortranarray):
        values = layout(p.price_values)
        findings.append(scan_holdings(dataclasses.replace(p, price_values=values, close_values=values),
                                      r._raw.trades, False))
    by_rows, by_columns = findings
    np.testing.assert_array_equal(by_rows.per_trade, by_columns.per_trade)
    np.testing.assert_array_equal(by_rows.per_trade, r.held_gaps().per_trade)
    pd.testing.assert_frame_equal(by_rows.runs, by_columns.runs)
    # Counted by hand from the table: NaN cells of each stock between its entries and exits.
    t = r.trades
    for row in t.itertuples():
        last = row.exit_index if row.exit_index >= 0 else len(dates) - 1
        assert row.missing_price_bars == int(close[row.stock].iloc[row.entry_index:last + 1].isna().sum())
