"""Which row trades when: period-end labels, resample aliases and explicit rebalance dates.

The rule a user relies on: a rebalance bar is marked for each period (or
date), and at its close the newest row dated before the next bar is taken
up and traded on that next bar.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("orvane.core.portsim")

import orvane  # noqa: E402

STOCKS = ["A", "B", "C"]


def rotation(labels: pd.DatetimeIndex, held: str) -> pd.DataFrame:
    """One stock held at a time, named by letter per row (``held`` = "ABCAB")."""
    return pd.DataFrame([[1.0 if s == h else 0.0 for s in STOCKS] for h in held], index=labels, columns=STOCKS)


def flat_prices(start: str, end: str) -> pd.DataFrame:
    return pd.DataFrame(10.0, index=pd.bdate_range(start, end), columns=STOCKS)


def entries(report: orvane.Report) -> list[tuple[str, str]]:
    t = report.trades
    return [(s, d.strftime("%Y-%m-%d")) for s, d in zip(t["stock"], t["entry_date"])]


def test_month_end_labels_on_weekends_trade_on_the_next_bar_whatever_the_resample_form():
    # df.resample("ME").last() labels: 2024-03-31 is a Sunday, 2024-06-30 too.
    labels = pd.date_range("2024-01-31", periods=5, freq="ME")
    position = rotation(labels, "ABCAB")
    prices = flat_prices("2024-01-01", "2024-06-30")
    # Each row trades on the first business day after its label.
    expected = [("A", "2024-02-01"), ("B", "2024-03-01"), ("C", "2024-04-01"), ("A", "2024-05-01"), ("B", "2024-06-03")]
    for resample in (None, list(labels), "M", "ME", "BM"):
        assert entries(orvane.backtest(position, prices, resample=resample)) == expected, resample


def test_weekly_sunday_labels_trade_on_the_monday_after():
    prices = flat_prices("2024-01-01", "2024-02-16")
    labels = pd.date_range("2024-01-07", periods=5, freq="W-SUN")
    position = rotation(labels, "ABCAB")
    got = entries(orvane.backtest(position, prices, resample="W"))
    # Sunday 01-07 -> Monday 01-08, and so on a week apart.
    assert got == [("A", "2024-01-08"), ("B", "2024-01-15"), ("C", "2024-01-22"), ("A", "2024-01-29"),
                   ("B", "2024-02-05")]


def test_quarter_end_labels_each_trade_in_the_next_quarter():
    prices = flat_prices("2024-01-01", "2025-02-28")
    # Q1 and Q2 end on Sundays, Q3 on a Monday, Q4 on a Tuesday.
    labels = pd.to_datetime(["2024-03-31", "2024-06-30", "2024-09-30", "2024-12-31"])
    position = rotation(labels, "ABCA")
    got = entries(orvane.backtest(position, prices, resample="Q"))
    assert got == [("A", "2024-04-01"), ("B", "2024-07-01"), ("C", "2024-10-01"), ("A", "2025-01-01")]


def test_a_daily_table_rebalanced_monthly_trades_the_row_of_each_last_bar():
    prices = flat_prices("2024-01-01", "2024-04-30")
    held = np.resize(list("ABC"), len(prices))
    position = rotation(prices.index, "".join(held))
    got = entries(orvane.backtest(position, prices, resample="M"))
    last_bars = prices.index.to_series().groupby(prices.index.to_period("M")).max()
    # At the close of each month's last bar its own row is the newest one before the next bar.
    expected = [(held[prices.index.get_loc(d)], prices.index[prices.index.get_loc(d) + 1].strftime("%Y-%m-%d"))
                for d in last_bars.iloc[:-1]]
    assert got == expected


def test_only_the_rows_a_marked_bar_can_take_up_reach_the_engine():
    from orvane.inputs import prepare

    prices = flat_prices("2024-01-01", "2024-12-31")
    position = rotation(prices.index, "".join(np.resize(list("ABC"), len(prices))))
    prepared = prepare(position, prices, resample="M")
    # Twelve month-end rows; the last one is also the newest row.
    assert len(prepared.pos_values) == 12
    assert list(prepared.pos_dates) == list(prices.index.to_series().groupby(prices.index.to_period("M")).max())


@st.composite
def calendars(draw: st.DrawFn) -> tuple[pd.DatetimeIndex, pd.DatetimeIndex, np.ndarray]:
    """Bars on business days with holidays and some weekend sessions, and rows dated on any calendar day."""
    start = pd.Timestamp("2019-01-01") + pd.Timedelta(days=draw(st.integers(0, 1500)))
    days = pd.date_range(start, periods=draw(st.integers(40, 400)), freq="D")
    holiday_rate = draw(st.sampled_from([0.0, 0.05, 0.2]))
    weekend_rate = draw(st.sampled_from([0.0, 0.1]))
    row_rate = draw(st.sampled_from([0.02, 0.1, 0.5]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    weekday = days.day_of_week < 5
    u = rng.random(len(days))
    bars = days[(weekday & (u >= holiday_rate)) | (~weekday & (u < weekend_rate))]
    if len(bars) < 3:
        bars = days[:3]
    # Rows on calendar days, month-end labels among them, some before the first bar.
    span = pd.date_range(days[0] - pd.Timedelta(days=10), days[-1], freq="D")
    month_ends = span[span.is_month_end]
    rows = span[rng.random(len(span)) < row_rate].union(month_ends[rng.random(len(month_ends)) < 0.7])
    if len(rows) == 0:
        rows = span[:1]
    weights = rng.uniform(0.05, 0.3, (len(rows), len(STOCKS)))
    return bars, rows, weights


@settings(max_examples=60, deadline=None)
@given(calendars())
def test_month_alias_equals_the_explicit_list_of_its_marked_bars(case):
    bars, rows, weights = case
    rng = np.random.default_rng(len(bars))
    prices = pd.DataFrame(10 * np.cumprod(1 + rng.normal(0, 0.01, (len(bars), 3)), axis=0), index=bars, columns=STOCKS)
    position = pd.DataFrame(weights, index=rows, columns=STOCKS)
    if rows[0] > bars[-1]:
        return
    options = {"fee_ratio": 0.0, "tax_ratio": 0.0}
    by_alias = orvane.backtest(position, prices, resample="M", **options)
    marked = prices.index.to_series().groupby(prices.index.to_period("M")).max()
    by_dates = orvane.backtest(position, prices, resample=list(marked), **options)
    np.testing.assert_array_equal(by_alias.creturn.to_numpy(), by_dates.creturn.to_numpy())
    pd.testing.assert_frame_equal(by_alias.trades, by_dates.trades, check_exact=True)
    pd.testing.assert_frame_equal(by_alias.actions(), by_dates.actions(), check_exact=True)

    # The same schedule worked out bar by bar: at the close of a marked bar on or after the bar of the
    # first row, the newest row dated before the next bar trades on that next bar if it is a new row.
    first_active = max(int(bars.searchsorted(rows[0], side="right")) - 1, 0)
    marked_days = set(marked)
    expected, last_row = {}, None
    for d in range(first_active, len(bars) - 1):
        if bars[d] not in marked_days:
            continue
        row = int(rows.searchsorted(bars[d + 1], side="left")) - 1
        if row != last_row:
            expected[bars[d + 1]] = row
            last_row = row
    t = by_alias.trades
    assert set(t["entry_date"]) == set(expected)
    for day, row in expected.items():
        got = t[t["entry_date"] == day].set_index("stock")["weight"]
        np.testing.assert_allclose(got[STOCKS].to_numpy(), weights[row], rtol=1e-12)
    # The rows a report names as traded are the same ones.
    report_weights, executed = by_alias._rows()
    assert list(report_weights.index[executed]) == [rows[r] for r in expected.values()]


@pytest.mark.parametrize("kind", ["boolean", "float"])
def test_a_daily_table_rebalanced_monthly_is_not_copied(kind):
    import tracemalloc

    rng = np.random.default_rng(9)
    dates = pd.bdate_range("2010-01-01", periods=1500)
    names = [f"S{i}" for i in range(800)]
    prices = pd.DataFrame(50 * np.cumprod(1 + rng.normal(0, 0.01, (1500, 800)), axis=0), index=dates, columns=names)
    held = pd.DataFrame(rng.random((1500, 800)) < 0.05, index=dates, columns=names)
    position = held if kind == "boolean" else held / 40.0
    matrix = prices.to_numpy().nbytes
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        report = orvane.backtest(position, prices, resample="M")
        len(report.trades)
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    # Before, the whole table was converted to float weights and copied once more: two price matrices.
    assert peak < matrix / 2, f"{peak / matrix:.2f} price matrices"


def test_offset_objects_are_read_as_their_alias():
    labels = pd.date_range("2024-01-31", periods=5, freq="ME")
    position = rotation(labels, "ABCAB")
    prices = flat_prices("2024-01-01", "2024-06-30")
    by_alias = orvane.backtest(position, prices, resample="M")
    by_offset = orvane.backtest(position, prices, resample=pd.offsets.MonthEnd())
    pd.testing.assert_frame_equal(by_alias.trades, by_offset.trades)
    with pytest.raises(orvane.InputError, match="unknown resample alias"):
        orvane.backtest(position, prices, resample=pd.offsets.Hour())
