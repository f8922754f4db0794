"""The rebalance schedule: which bars may rebalance and which weight row each one trades.

A rebalance date marks the last bar dated on or before it.  At the close of
a marked bar the newest weight row dated strictly before the next bar is
taken up (on the last bar: the newest row of all), and it is traded at the
next bar when it is not the row traded last.  Bars dated before the first
weight row (after that row is dated at the bar before it, when it falls
between two bars) take no decision.

The engine applies these rules itself; the layer uses them to find the rows
a run can ever take up, so that only those reach the engine, and to tell
which rows a run traded.  Dates are ``int64`` nanoseconds, ascending.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = [
    "period_key",
    "period_end_bars",
    "marked_bars",
    "first_active_bar",
    "rows_taken",
    "rows_needed",
    "executed_rows",
]

_PERIODS = {
    "ME": "M", "M": "M", "BM": "M", "BME": "M", "MS": "M", "BMS": "M",
    "QE": "Q", "Q": "Q", "BQ": "Q", "BQE": "Q", "QS": "Q", "BQS": "Q",
    "YE": "Y", "Y": "Y", "A": "Y", "AS": "Y", "YS": "Y", "BA": "Y", "BY": "Y", "BYE": "Y", "BYS": "Y",
    "W": "W", "D": "D", "B": "D",
}


def period_key(alias: str) -> str:
    """The pandas period of a resample alias, across pandas' renamings (M/ME, A/Y/YE, ...).

    Raises
    ------
    ValueError
        For an alias that names no calendar period.
    """
    head, _, anchor = alias.strip().partition("-")
    key = _PERIODS.get(head.upper())
    if key is None:
        raise ValueError(
            f"unknown resample alias {alias!r}; use W, M, Q, Y (with an anchor like W-FRI) or a list of dates"
        )
    return f"{key}-{anchor.upper()}" if anchor else key


def period_end_bars(dates: pd.DatetimeIndex, alias: str) -> np.ndarray:
    """Indices of the last bar of each calendar period of ``dates`` (the last bar is always one)."""
    key = period_key(alias)
    naive = dates.tz_localize(None) if dates.tz is not None else dates
    try:
        codes = np.asarray(naive.to_period(key).asi8)
    except (ValueError, TypeError) as exc:
        raise ValueError(f"cannot resample by {alias!r}: {exc}") from None
    last = np.ones(len(codes), dtype=bool)
    last[:-1] = codes[1:] != codes[:-1]
    return np.flatnonzero(last)


def marked_bars(price_ns: np.ndarray, marks_ns: np.ndarray) -> np.ndarray:
    """The bars marked by rebalance dates, ascending and unique; a date before the first bar marks it."""
    n = len(price_ns)
    if n == 0 or len(marks_ns) == 0:
        return np.empty(0, dtype=np.int64)
    bars = np.searchsorted(price_ns, marks_ns, side="right") - 1
    return np.unique(np.clip(bars, 0, n - 1)).astype(np.int64)


def first_active_bar(price_ns: np.ndarray, first_row_ns: int) -> int:
    """The first bar that takes decisions: the last bar on or before the first row (the first bar when none)."""
    return max(int(np.searchsorted(price_ns, first_row_ns, side="right")) - 1, 0)


def rows_taken(price_ns: np.ndarray, pos_ns: np.ndarray, bars: np.ndarray) -> np.ndarray:
    """For each bar, the newest row dated strictly before the next bar (on the last bar, the last row); -1 for none."""
    n = len(price_ns)
    bars = np.asarray(bars, dtype=np.int64)
    nxt = price_ns[np.minimum(bars + 1, n - 1)]
    rows = np.searchsorted(pos_ns, nxt, side="left") - 1
    return np.where(bars == n - 1, len(pos_ns) - 1, rows).astype(np.int64)


def rows_needed(price_ns: np.ndarray, pos_ns: np.ndarray, marked: np.ndarray) -> np.ndarray:
    """The rows a run can ever take up on its marked bars, plus the newest row (reported as the next one).

    A run given only these rows, with their dates, decides and trades
    exactly as with every row: each decision takes the newest row dated
    before the next bar, and that row is among them.
    """
    if len(pos_ns) == 0 or len(price_ns) == 0:
        return np.empty(0, dtype=np.int64)
    active = marked[marked >= first_active_bar(price_ns, int(pos_ns[0]))]
    taken = rows_taken(price_ns, pos_ns, active)
    return np.unique(np.append(taken[taken >= 0], len(pos_ns) - 1)).astype(np.int64)


def executed_rows(price_ns: np.ndarray, pos_ns: np.ndarray, marks_ns: np.ndarray) -> np.ndarray:
    """Rows of the weight matrix that a run trades, in order.

    A decision on the last bar stays pending and is not counted.  ``pos_ns``
    are the dates as the engine gets them (the first row dated at the bar
    before it when it falls between two bars).
    """
    n = len(price_ns)
    if n < 2 or len(pos_ns) == 0 or len(marks_ns) == 0:
        return np.empty(0, dtype=np.int64)
    marked = marked_bars(price_ns, marks_ns)
    first_active = np.searchsorted(price_ns, pos_ns[0], side="left")
    marked = marked[(marked >= first_active) & (marked < n - 1)]
    rows = np.maximum(rows_taken(price_ns, pos_ns, marked), 0)
    if len(rows) == 0:
        return rows
    keep = np.ones(len(rows), dtype=bool)
    keep[1:] = rows[1:] != rows[:-1]
    return rows[keep]
