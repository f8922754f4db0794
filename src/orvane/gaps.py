"""Prices of held stocks: bars without a price, and prices that cannot be traded.

The engine treats a missing price as no move: a held stock keeps its last
value on a bar without a trade price or close, is bought at a missing price
with an unknown cost reference (its trade return is NaN), and is sold at the
value it had when its prices stopped.  The results are what those rules
give, but they may not be what the user meant, so every bar on which a held
stock had no price is found here and reported.  A stock is held from the
bar of a trade's entry through the bar of its exit (the last bar for a
trade still open).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from .inputs import InputError, _preview

if TYPE_CHECKING:
    from .inputs import Prepared

__all__ = ["HeldGaps", "scan_holdings"]

# Cells read per pass: bounds the temporary arrays to a few MB.
_CHUNK = 1 << 19


@dataclass
class HeldGaps:
    """Held stock-bars without a trade price or close.

    Attributes
    ----------
    per_trade : ndarray of int64
        Number of bars without a price between each trade's entry and exit.
    entry_missing : ndarray of bool
        Trades entered on a bar without a price (their return is unknown).
    runs : DataFrame
        One row per run of consecutive bars on which a held stock had no
        price: ``stock``, ``first``, ``last`` (dates) and ``bars``.
    """

    per_trade: np.ndarray
    entry_missing: np.ndarray
    runs: pd.DataFrame

    @property
    def total(self) -> int:
        """Held stock-bars without a price (a bar shared by two trades of a stock counts once)."""
        return int(self.runs["bars"].sum()) if len(self.runs) else 0

    def summary(self, limit: int = 5) -> str:
        """The runs as one line: the first ``limit`` stocks with their bars."""
        runs = self.runs
        if not len(runs):
            return ""
        stocks = runs["stock"].to_numpy(dtype=object)
        # Runs are grouped by stock, so each stock's runs start where the stock changes.
        starts = np.flatnonzero(np.append(True, stocks[1:] != stocks[:-1]))
        bounds = np.append(starts, len(stocks))
        first, last, bars = runs["first"], runs["last"], runs["bars"].to_numpy()
        parts = []
        for a, b in zip(bounds[:limit], bounds[1:limit + 1]):
            spans = [_span(first.iloc[k], last.iloc[k]) for k in range(a, min(b, a + 3))]
            more = ", ..." if b - a > 3 else ""
            total = int(bars[a:b].sum())
            parts.append(f"{stocks[a]} {', '.join(spans)}{more} ({total} bar{'s' if total > 1 else ''})")
        tail = f"; ... ({len(starts)} stocks in all)" if len(starts) > limit else ""
        return "; ".join(parts) + tail

    def notes(self) -> np.ndarray:
        """A note per trade saying why its figures may be unreliable ("" when nothing is missing)."""
        out = np.full(len(self.per_trade), "", dtype=object)
        for i in np.flatnonzero(self.per_trade):
            n = int(self.per_trade[i])
            text = f"no price on {n} held bar{'s' if n > 1 else ''}, value carried unchanged"
            if self.entry_missing[i]:
                text = "no price at entry, return and excursions unknown; " + text
            out[i] = text
        return out


def _span(first: pd.Timestamp, last: pd.Timestamp) -> str:
    a, b = first.strftime("%Y-%m-%d"), last.strftime("%Y-%m-%d")
    return a if a == b else f"{a}..{b}"


def _flagged(matrix: np.ndarray, held: np.ndarray, first_row: int, nan_too: bool) -> np.ndarray:
    """Sorted keys (column * bars + bar) of the cells of the ``held`` columns, from ``first_row`` on, that
    are not positive and finite (NaN counted only with ``nan_too``).

    Read in slices of whole columns of about :data:`_CHUNK` cells: slices are
    views (a table from pandas is stored column by column), so nothing the
    size of the matrix is allocated.
    """
    n_bars = matrix.shape[0]
    rows = n_bars - first_row
    width = max(_CHUNK // max(rows, 1), 1)
    columns = np.flatnonzero(held)
    found = []
    for c0 in range(int(columns[0]), int(columns[-1]) + 1, width):
        block = matrix[first_row:, c0:c0 + width].T
        flag = ~(block > 0) if nan_too else (block <= 0)
        flag |= block == np.inf
        k, r = np.divmod(np.flatnonzero(flag), rows)
        if len(r):
            found.append((k + c0) * n_bars + (r + first_row))
    keys = np.concatenate(found) if found else np.empty(0, dtype=np.int64)
    return keys[held[keys // n_bars]]


def _sorted_unique(parts: list) -> np.ndarray:
    """The sorted distinct values of sorted arrays (``np.unique`` without its hash table)."""
    keys = parts[0] if len(parts) == 1 else np.sort(np.concatenate(parts))
    if len(keys) < 2:
        return keys
    keep = np.ones(len(keys), dtype=bool)
    keep[1:] = keys[1:] != keys[:-1]
    return keys[keep]


def scan_holdings(prepared: "Prepared", trades: np.ndarray, touched_exit: bool) -> HeldGaps:
    """Find the held bars without a price; refuse prices that are not positive and finite.

    The price columns of the traded stocks are scanned once for cells that
    are missing or unusable (usually few), and each such cell is matched
    against the trades of its column.

    Parameters
    ----------
    prepared : Prepared
        The arrays of the run.
    trades : ndarray of int64, shape (n, 3)
        The trade rows: position column, entry bar, exit bar (-1 when open).
    touched_exit : bool
        Whether high, low and open were read too.

    Raises
    ------
    InputError
        When a held stock had a zero, negative or infinite price on a bar it
        was held, which makes its returns meaningless.
    """
    n_bars = len(prepared.price_index)
    n_trades = len(trades)
    per_trade = np.zeros(n_trades, dtype=np.int64)
    entry_missing = np.zeros(n_trades, dtype=bool)
    if n_trades == 0:
        return HeldGaps(per_trade, entry_missing, _runs(prepared, np.empty(0, dtype=np.int64), n_bars))
    col = prepared.pos2price[trades[:, 0]]
    start = col * n_bars + trades[:, 1]
    end = col * n_bars + np.where(trades[:, 2] < 0, n_bars - 1, trades[:, 2])
    # (matrix, whether a NaN in it leaves the holding without a value)
    read = [(prepared.price_values, True)]
    if prepared.close_values is not prepared.price_values:
        read.append((prepared.close_values, True))
    if touched_exit:
        read += [(m, False) for m in (prepared.high_values, prepared.low_values, prepared.open_values)
                 if m is not None and m is not prepared.price_values]
    held = np.zeros(len(prepared.price_columns), dtype=bool)
    held[col] = True
    first_row = int(trades[:, 1].min())
    keys = _sorted_unique([_flagged(m, held, first_row, nan_too) for m, nan_too in read])
    # Keep the cells inside some trade: trades sorted by first cell, with the furthest last cell so far.
    order = np.argsort(start, kind="stable")
    starts, reach = start[order], np.maximum.accumulate(end[order])
    k = np.searchsorted(starts, keys, side="right") - 1
    held = (k >= 0) & (reach[np.maximum(k, 0)] >= keys)
    keys = keys[held]
    c, r = np.divmod(keys, n_bars)
    missing = np.zeros(len(keys), dtype=bool)
    bad = np.zeros(len(keys), dtype=bool)
    for matrix, values_the_holding in read:
        values = matrix[r, c]
        nan = np.isnan(values)
        if values_the_holding:
            missing |= nan
        bad |= ~nan & ~((values > 0) & (values < np.inf))
    if bad.any():
        raise InputError(_bad_price_message(prepared, keys[bad], n_bars))
    gap = keys[missing]
    first_gap = np.searchsorted(gap, start, side="left")
    per_trade = (np.searchsorted(gap, end, side="right") - first_gap).astype(np.int64)
    if len(gap):
        entry_missing = gap[np.minimum(first_gap, len(gap) - 1)] == start
    return HeldGaps(per_trade, entry_missing, _runs(prepared, gap, n_bars))


def _runs(prepared: "Prepared", keys: np.ndarray, n_bars: int) -> pd.DataFrame:
    """Runs of consecutive missing bars per stock from sorted (price column, bar) keys."""
    if len(keys) == 0:
        return pd.DataFrame({"stock": prepared.stocks[:0], "first": prepared.dates[:0], "last": prepared.dates[:0],
                             "bars": np.empty(0, dtype=np.int64)})
    column, bar = np.divmod(keys, n_bars)
    sid = _stock_of_column(prepared)[column]
    starts = np.ones(len(keys), dtype=bool)
    starts[1:] = (column[1:] != column[:-1]) | (bar[1:] != bar[:-1] + 1)
    first = np.flatnonzero(starts)
    last = np.append(first[1:], len(keys)) - 1
    return pd.DataFrame({
        "stock": prepared.stocks.take(sid[first]),
        "first": prepared.dates.take(bar[first]),
        "last": prepared.dates.take(bar[last]),
        "bars": (last - first + 1).astype(np.int64),
    })


def _stock_of_column(prepared: "Prepared") -> np.ndarray:
    """The position column of each price column (-1 for a price column no position column names)."""
    out = np.full(len(prepared.price_columns), -1, dtype=np.int64)
    out[prepared.pos2price] = np.arange(len(prepared.pos2price))
    return out


def _bad_price_message(prepared: "Prepared", keys: np.ndarray, n_bars: int) -> str:
    column, bar = np.divmod(keys, n_bars)
    sid = _stock_of_column(prepared)[column]
    where = [(str(prepared.stocks[s]), prepared.dates[b].strftime("%Y-%m-%d")) for s, b in zip(sid[:10], bar[:10])]
    more = f", ... ({len(keys)} in all)" if len(keys) > 10 else ""
    return (
        "prices must be positive and finite; held stocks had a zero, negative or infinite price at"
        f" {_preview(where)}{more}"
    )
