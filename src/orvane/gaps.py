"""Prices of held stocks: bars without a price, and prices that cannot be traded.

The engine treats a missing price as no move: a held stock keeps its last
value on a bar without a trade price or close, is bought at a missing price
for the money put in and moves from its first price after that (its
excursions are unknown), and is sold at the value it had when its prices
stopped.  The results are what those rules
give, but they may not be what the user meant, so every bar on which a held
stock had no price is found here and reported.  A stock is held from the
bar of a trade's entry through the bar of its exit (the last bar for a
trade still open).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional

import numpy as np
import pandas as pd

from .inputs import InputError, _preview

if TYPE_CHECKING:
    from .inputs import Prepared

__all__ = ["HeldGaps", "PriceFlags", "price_flags", "scan_holdings"]

# Cells read per pass: bounds the temporary arrays to a few MB.
_CHUNK = 1 << 19
# An index of flagged cells is kept only while it is at most this share of one price matrix.
_MAX_FLAGGED_SHARE = 1 / 8


class HeldGaps:
    """Held stock-bars without a trade price or close.

    Attributes
    ----------
    per_trade : ndarray of int64
        Number of bars without a price between each trade's entry and exit.
    entry_missing : ndarray of bool
        Trades entered on a bar without a price (their excursions are unknown).
    runs : DataFrame
        One row per run of consecutive bars on which a held stock had no
        price: ``stock``, ``first``, ``last`` (dates) and ``bars``, grouped
        by stock.
    total : int
        Held stock-bars without a price (a bar shared by two trades of a
        stock counts once).
    """

    def __init__(
        self,
        per_trade: np.ndarray,
        entry_missing: np.ndarray,
        runs: "Optional[pd.DataFrame]" = None,
        total: int = 0,
        *,
        spans: "Optional[_Spans]" = None,
    ) -> None:
        if runs is None and spans is None:
            raise TypeError("HeldGaps needs its runs")
        self.per_trade = per_trade
        self.entry_missing = entry_missing
        self.total = total
        self._runs = runs
        self._spans = spans

    def __repr__(self) -> str:
        return f"HeldGaps(total={self.total}, trades={len(self.per_trade)})"

    @property
    def runs(self) -> pd.DataFrame:
        if self._runs is None:
            assert self._spans is not None
            self._runs = self._spans.frame()
        return self._runs

    def summary(self, limit: int = 5) -> str:
        """The runs as one line: the first ``limit`` stocks with their bars."""
        if self._runs is None:
            assert self._spans is not None
            return self._spans.summary(limit)
        runs = self.runs
        if not len(runs):
            return ""
        bars = runs["bars"].to_numpy()
        # Each stock's runs start where the stock changes; only the first few names are looked up.
        stock = runs["stock"]
        changes = stock.ne(stock.shift()).to_numpy()
        return _summary(
            np.flatnonzero(changes), len(runs), bars, limit,
            lambda k: stock.iloc[k], lambda k: runs["first"].iloc[k], lambda k: runs["last"].iloc[k],
        )

    def notes(self, return_known: bool = True) -> np.ndarray:
        """A note per trade saying why its figures may be unreliable ("" when nothing is missing).

        ``return_known``: whether the trade's return comes from the book,
        which measures a trade bought without a price from its first price.
        """
        out = np.full(len(self.per_trade), "", dtype=object)
        head = ("no price at entry, return measured from the first price after it, excursions unknown; "
                if return_known else "no price at entry, return and excursions unknown; ")
        for i in np.flatnonzero(self.per_trade):
            n = int(self.per_trade[i])
            text = f"no price on {n} held bar{'s' if n > 1 else ''}, value carried unchanged"
            if self.entry_missing[i]:
                text = head + text
            out[i] = text
        return out


def _summary(
    starts: np.ndarray, n_runs: int, bars: np.ndarray, limit: int,
    stock: Callable[[int], Any], first: Callable[[int], pd.Timestamp], last: Callable[[int], pd.Timestamp],
) -> str:
    """The line of :meth:`HeldGaps.summary` from where each stock's runs start and accessors of a run."""
    bounds = np.append(starts, n_runs)
    parts = []
    for a, b in zip(bounds[:limit], bounds[1:limit + 1]):
        spans = [_span(first(k), last(k)) for k in range(a, min(b, a + 3))]
        more = ", ..." if b - a > 3 else ""
        total = int(bars[a:b].sum())
        parts.append(f"{stock(a)} {', '.join(spans)}{more} ({total} bar{'s' if total > 1 else ''})")
    tail = f"; ... ({len(starts)} stocks in all)" if len(starts) > limit else ""
    return "; ".join(parts) + tail


@dataclass(frozen=True)
class _Spans:
    """Runs of missing bars as arrays (position column, first and last bar), made into a table on demand."""

    stocks: pd.Index
    dates: pd.DatetimeIndex
    sid: np.ndarray
    first: np.ndarray
    last: np.ndarray

    def frame(self) -> pd.DataFrame:
        return pd.DataFrame({
            "stock": self.stocks.take(self.sid),
            "first": self.dates.take(self.first),
            "last": self.dates.take(self.last),
            "bars": (self.last - self.first + 1).astype(np.int64),
        })

    def summary(self, limit: int) -> str:
        n = len(self.sid)
        if not n:
            return ""
        # Position columns name their stocks one to one, so a stock's runs start where the column changes.
        starts = np.flatnonzero(np.append(True, self.sid[1:] != self.sid[:-1]))
        return _summary(
            starts, n, self.last - self.first + 1, limit,
            lambda k: self.stocks[self.sid[k]], lambda k: self.dates[self.first[k]],
            lambda k: self.dates[self.last[k]],
        )


def _span(first: pd.Timestamp, last: pd.Timestamp) -> str:
    a, b = first.strftime("%Y-%m-%d"), last.strftime("%Y-%m-%d")
    return a if a == b else f"{a}..{b}"


class _Cells:
    """Reads cells of a (bars x columns) matrix by key ``column * bars + bar``.

    A table from pandas is stored column by column, so keys in order read
    memory in order; other layouts are read by row and column.
    """

    def __init__(self, matrix: np.ndarray) -> None:
        self.n_bars = matrix.shape[0]
        by_column = matrix.T
        self.flat = by_column.reshape(-1) if by_column.flags.c_contiguous else None
        self.matrix = matrix

    def __getitem__(self, keys: np.ndarray) -> np.ndarray:
        if self.flat is not None:
            return self.flat.take(keys)
        column, bar = np.divmod(keys, self.n_bars)
        return self.matrix[bar, column]


def _held_intervals(first: np.ndarray, last: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The held cells as sorted, disjoint key intervals [lo, hi]: trades of a stock that meet are merged.

    ``first`` and ``last`` are the trades' first and last keys, ordered by ``first``.
    """
    reach = np.maximum.accumulate(last)
    begins = np.flatnonzero(np.append(True, first[1:] > reach[:-1] + 1))
    return first[begins], reach[np.append(begins[1:], len(first)) - 1]


def _held_keys(lo: np.ndarray, hi: np.ndarray) -> Iterator[np.ndarray]:
    """The keys of every cell of the intervals, in order, in chunks of about :data:`_CHUNK`."""
    base = np.concatenate([[0], np.cumsum(hi - lo + 1)])
    i, n = 0, len(lo)
    while i < n:
        j = max(int(np.searchsorted(base, base[i] + _CHUNK, side="right")) - 1, i + 1)
        # The k-th cell of the chunk, in interval q, is lo[q] + (k - offset of q in the chunk).
        offset = base[i:j] - base[i]
        yield np.arange(int(base[j] - base[i]), dtype=np.int64) + np.repeat(lo[i:j] - offset, hi[i:j] - lo[i:j] + 1)
        i = j


def _read(prepared: "Prepared", touched_exit: bool) -> list[tuple[_Cells, bool]]:
    """The price matrices of a run, each with whether a NaN in it leaves a holding without a value."""
    read = [(_Cells(prepared.price_values), True)]
    if prepared.close_values is not prepared.price_values:
        read.append((_Cells(prepared.close_values), True))
    if touched_exit:
        read += [(_Cells(m), False) for m in (prepared.high_values, prepared.low_values, prepared.open_values)
                 if m is not None and m is not prepared.price_values]
    return read


def _flagged(values: np.ndarray, nan_too: bool) -> np.ndarray:
    """Cells that are missing (where that matters), zero, negative or infinite."""
    flag = ~(values > 0) if nan_too else (values <= 0)
    flag |= values == np.inf
    return flag


@dataclass(frozen=True)
class PriceFlags:
    """The sorted keys (``column * bars + bar``) of every cell :func:`scan_holdings` would flag.

    Built once for runs on the same arrays (a parameter sweep), so that each
    run picks its held cells out of it instead of reading every held cell.
    """

    touched_exit: bool
    keys: np.ndarray

    def within(self, lo: np.ndarray, hi: np.ndarray) -> np.ndarray:
        """The keys inside the sorted, disjoint intervals [lo, hi], in order."""
        first = np.searchsorted(self.keys, lo, side="left")
        counts = np.searchsorted(self.keys, hi, side="right") - first
        total = int(counts.sum())
        if total == 0:
            return np.empty(0, dtype=np.int64)
        # The k-th key taken from interval q is keys[first[q] + k].
        starts = np.cumsum(counts) - counts
        return self.keys[np.arange(total, dtype=np.int64) + np.repeat(first - starts, counts)]


def price_flags(prepared: "Prepared", touched_exit: bool) -> "Optional[PriceFlags]":
    """Index the cells of a run's price matrices that :func:`scan_holdings` flags.

    Returns None when they are too many for the index to be small (more than
    an eighth of the cells): runs then read their held cells as usual.
    """
    read = _read(prepared, touched_exit)
    n_bars, n_columns = prepared.price_values.shape
    limit = int(n_bars * n_columns * _MAX_FLAGGED_SHARE)
    # A few columns at a time, so that the temporary flags stay small.
    step = max(_CHUNK // max(n_bars, 1), 1)
    found, count = [], 0
    for lo in range(0, n_columns, step):
        # Keys run down each column: the flags are laid out column by column.
        flag = np.zeros((min(lo + step, n_columns) - lo, n_bars), dtype=bool)
        for cells, nan_too in read:
            flag |= _flagged(cells.matrix[:, lo:lo + step].T, nan_too)
        keys = np.flatnonzero(flag)
        keys += lo * n_bars
        count += len(keys)
        if count > limit:
            return None
        found.append(keys)
    return PriceFlags(touched_exit, np.concatenate(found) if found else np.empty(0, dtype=np.int64))


def scan_holdings(prepared: "Prepared", trades: np.ndarray, touched_exit: bool) -> HeldGaps:
    """Find the held bars without a price; refuse prices that are not positive and finite.

    Each held cell is read once (the trades of a stock are merged where they
    meet), in the order of memory; the few cells that are missing or
    unusable are then matched with their trades.  When ``prepared`` carries
    an index of the flagged cells (:func:`price_flags`), the held ones are
    taken from it instead.

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
        return HeldGaps(per_trade, entry_missing, spans=_runs(prepared, np.empty(0, dtype=np.int64), n_bars))
    col = prepared.pos2price[trades[:, 0]]
    start = col * n_bars + trades[:, 1]
    end = col * n_bars + np.where(trades[:, 2] < 0, n_bars - 1, trades[:, 2])
    read = _read(prepared, touched_exit)
    # In key order the held intervals merge in one pass, and the searches below run on ascending keys.
    order = np.argsort(start, kind="stable")
    start, end = start[order], end[order]
    intervals = _held_intervals(start, end)
    index = prepared.price_flags
    if isinstance(index, PriceFlags) and index.touched_exit == touched_exit:
        keys = index.within(*intervals)
    else:
        found = []
        for keys in _held_keys(*intervals):
            # Most cells are fine: one pass flags the few that are missing, zero, negative or infinite.
            flag = np.zeros(len(keys), dtype=bool)
            for cells, nan_too in read:
                flag |= _flagged(cells[keys], nan_too)
            found.append(keys[flag])
        keys = np.concatenate(found) if found else np.empty(0, dtype=np.int64)
    missing = np.zeros(len(keys), dtype=bool)
    bad = np.zeros(len(keys), dtype=bool)
    for cells, values_the_holding in read:
        values = cells[keys]
        nan = np.isnan(values)
        if values_the_holding:
            missing |= nan
        bad |= ~nan & ~((values > 0) & (values < np.inf))
    if bad.any():
        raise InputError(_bad_price_message(prepared, keys[bad], n_bars))
    gap = keys[missing]
    first_gap = np.searchsorted(gap, start, side="left")
    per_trade[order] = np.searchsorted(gap, end, side="right") - first_gap
    if len(gap):
        entry_missing[order] = gap[np.minimum(first_gap, len(gap) - 1)] == start
    return HeldGaps(per_trade, entry_missing, total=len(gap), spans=_runs(prepared, gap, n_bars))


def _runs(prepared: "Prepared", keys: np.ndarray, n_bars: int) -> _Spans:
    """Runs of consecutive missing bars per stock from sorted (price column, bar) keys."""
    if len(keys) == 0:
        empty = np.empty(0, dtype=np.int64)
        return _Spans(prepared.stocks, prepared.dates, empty, empty, empty)
    column, bar = np.divmod(keys, n_bars)
    sid = _stock_of_column(prepared)[column]
    starts = np.ones(len(keys), dtype=bool)
    starts[1:] = (column[1:] != column[:-1]) | (bar[1:] != bar[:-1] + 1)
    first = np.flatnonzero(starts)
    last = np.append(first[1:], len(keys)) - 1
    return _Spans(prepared.stocks, prepared.dates, sid[first], bar[first], bar[last])


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
