"""Prices of held stocks: bars without a price, and prices that cannot be traded.

The engine treats a missing price as no move: a held stock keeps its last
value on a bar without a trade price or close, is bought at a missing price
with an unknown cost reference (its trade return is NaN), and is sold at the
value it had when its prices stopped.  The results are what those rules
give, but they may not be what the user meant, so every bar on which a held
stock had no price is found here and reported.  Only the bars a stock was
held on are read (entry bar through exit bar, or the last bar for a trade
still open), so the work follows the holdings, not the universe.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Iterator

import numpy as np
import pandas as pd

from .inputs import InputError, _preview

if TYPE_CHECKING:
    from .inputs import Prepared

__all__ = ["HeldGaps", "scan_holdings"]

# Held stock-bars read per pass: bounds the temporary arrays to a few tens of MB.
_CHUNK = 1 << 21


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
        if not len(self.runs):
            return ""
        parts = []
        by_stock = self.runs.groupby("stock", sort=False)
        for stock, group in list(by_stock)[:limit]:
            spans = [_span(r.first, r.last) for r in group.itertuples()][:3]
            more = ", ..." if len(group) > 3 else ""
            bars = int(group["bars"].sum())
            parts.append(f"{stock} {', '.join(spans)}{more} ({bars} bar{'s' if bars > 1 else ''})")
        n_stocks = by_stock.ngroups
        tail = f"; ... ({n_stocks} stocks in all)" if n_stocks > limit else ""
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


def _held_bars(entry: np.ndarray, end: np.ndarray) -> Iterator[tuple[int, int, np.ndarray, np.ndarray, np.ndarray]]:
    """Held stock-bars in chunks of trades i..j-1: (i, j, trade of each cell, bar of each cell, bars since entry)."""
    lengths = end - entry + 1
    base = np.concatenate([[0], np.cumsum(lengths)])
    i, n = 0, len(entry)
    while i < n:
        j = max(int(np.searchsorted(base, base[i] + _CHUNK, side="right")) - 1, i + 1)
        span = lengths[i:j]
        trade = np.repeat(np.arange(i, j), span)
        offset = np.arange(base[j] - base[i]) - np.repeat(base[i:j] - base[i], span)
        yield i, j, trade, entry[trade] + offset, offset
        i = j


def scan_holdings(prepared: "Prepared", trades: np.ndarray, touched_exit: bool) -> HeldGaps:
    """Find the held bars without a price; refuse prices that are not positive and finite.

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
    sid, entry, exit_ = trades[:, 0], trades[:, 1], trades[:, 2]
    end = np.where(exit_ < 0, n_bars - 1, exit_)
    col = prepared.pos2price[sid]
    per_trade = np.zeros(len(trades), dtype=np.int64)
    entry_missing = np.zeros(len(trades), dtype=bool)
    missing_keys = []
    bad_keys = []
    # (matrix, whether a NaN in it leaves the holding without a value)
    read = [(prepared.price_values, True)]
    if prepared.close_values is not prepared.price_values:
        read.append((prepared.close_values, True))
    if touched_exit:
        read += [(m, False) for m in (prepared.high_values, prepared.low_values, prepared.open_values)
                 if m is not None and m is not prepared.price_values]
    for i, j, trade, bar, offset in _held_bars(entry, end):
        cells = col[trade]
        missing = np.zeros(len(trade), dtype=bool)
        bad = np.zeros(len(trade), dtype=bool)
        for matrix, values_the_holding in read:
            values = matrix[bar, cells]
            nan = np.isnan(values)
            if values_the_holding:
                missing |= nan
            bad |= ~nan & ~((values > 0) & (values < np.inf))
        hit = trade[missing]
        per_trade[i:j] = np.bincount(hit - i, minlength=j - i)
        entry_missing[hit[offset[missing] == 0]] = True
        missing_keys.append(sid[hit] * n_bars + bar[missing])
        if bad.any():
            bad_keys.append(sid[trade[bad]] * n_bars + bar[bad])
    if bad_keys:
        raise InputError(_bad_price_message(prepared, np.unique(np.concatenate(bad_keys)), n_bars))
    keys = np.unique(np.concatenate(missing_keys)) if missing_keys else np.empty(0, dtype=np.int64)
    return HeldGaps(per_trade, entry_missing, _runs(prepared, keys, n_bars))


def _runs(prepared: "Prepared", keys: np.ndarray, n_bars: int) -> pd.DataFrame:
    """Runs of consecutive missing bars per stock from sorted (stock, bar) keys."""
    if len(keys) == 0:
        return pd.DataFrame({"stock": prepared.stocks[:0], "first": prepared.dates[:0], "last": prepared.dates[:0],
                             "bars": np.empty(0, dtype=np.int64)})
    sid, bar = np.divmod(keys, n_bars)
    starts = np.ones(len(keys), dtype=bool)
    starts[1:] = (sid[1:] != sid[:-1]) | (bar[1:] != bar[:-1] + 1)
    first = np.flatnonzero(starts)
    last = np.append(first[1:], len(keys)) - 1
    return pd.DataFrame({
        "stock": prepared.stocks.take(sid[first]),
        "first": prepared.dates.take(bar[first]),
        "last": prepared.dates.take(bar[last]),
        "bars": (last - first + 1).astype(np.int64),
    })


def _bad_price_message(prepared: "Prepared", keys: np.ndarray, n_bars: int) -> str:
    sid, bar = np.divmod(keys, n_bars)
    where = [(str(prepared.stocks[s]), prepared.dates[b].strftime("%Y-%m-%d")) for s, b in zip(sid[:10], bar[:10])]
    more = f", ... ({len(keys)} in all)" if len(keys) > 10 else ""
    return (
        "prices must be positive and finite; held stocks had a zero, negative or infinite price at"
        f" {_preview(where)}{more}"
    )
