"""What the book did with each trade: returns at the fill, money, exit reasons and positions.

The engine's ledger (``portsim.get_trade_ledger``) gives, row for row with
the recorder's trades, the prices each trade was entered and left at, the
money put in, its profit or loss after every fee and tax the book charged,
and why it ended.  The trade table takes its returns from there, so a trade's
return is what the equity curve made over it, whatever the excursion window
and wherever the exit was filled; its excursions come from the recorder and
are kept consistent with that return here.

Pieces and positions.  With ``periodically_rebalance`` (the default) a
holding that continues through a rebalance is split into pieces, one per
holding period: the trade table lists the pieces, and the pieces of one
holding share a ``position_id``.  A position runs from the entry of a
holding to its exit; the position table merges its pieces and the trade
statistics count positions.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np
import pandas as pd


__all__ = [
    "EXIT_WORDS",
    "LedgerColumns",
    "ledger_columns",
    "first_point",
    "clean_excursions",
    "merge_positions",
    "snap",
]

# The ledger's exit_reason codes.
OPEN, REBALANCE, SPLIT, STOP_LOSS, TAKE_PROFIT, TRAIL_STOP = range(6)
EXIT_RULES = (STOP_LOSS, TAKE_PROFIT, TRAIL_STOP)
# A piece ended by a split is shown as ended by the rebalance that split it;
# its holding goes on as the next piece with the same position_id.
EXIT_WORDS = np.array(["", "rebalance", "rebalance", "stop_loss", "take_profit", "trail_stop"], dtype=object)

# Ratios of prices that are equal come out of running products a few units
# in the last place apart; no price moves by less than this.
NOISE = 1e-11


def snap(values: np.ndarray) -> np.ndarray:
    """``values`` with those within :data:`NOISE` of 0 set to 0 (NaN kept; no -0.0)."""
    values = np.asarray(values, dtype=np.float64)
    return np.where(np.abs(values) <= NOISE, 0.0, values) + 0.0


@dataclass
class LedgerColumns:
    """The ledger's figures of each trade, in fractions of the starting capital."""

    entry_price: np.ndarray
    exit_price: np.ndarray
    exit_value: np.ndarray
    invested: np.ndarray
    pnl: np.ndarray
    costs: np.ndarray
    reason: np.ndarray
    position_id: np.ndarray
    returns: np.ndarray
    exit_sig: np.ndarray

    @property
    def words(self) -> np.ndarray:
        return EXIT_WORDS[self.reason]


def ledger_columns(ledger: dict, rows: np.ndarray, touched_exit: bool) -> LedgerColumns:
    """The trade table's figures from the engine's ledger, for the trade rows [column, entry bar, exit bar]."""
    exit_ = rows[:, 2]
    reason = np.asarray(ledger["exit_reason"], dtype=np.int64)
    pnl = np.asarray(ledger["pnl"], dtype=np.float64)
    invested = np.asarray(ledger["invested"], dtype=np.float64)
    # Only an exit rule inside the bar is decided on the bar it trades; every
    # other exit was decided at the close of the bar before.
    on_bar = touched_exit & np.isin(reason, EXIT_RULES)
    exit_sig = np.where(exit_ < 0, -1, np.where(on_bar, exit_, exit_ - 1))
    with np.errstate(divide="ignore", invalid="ignore"):
        returns = snap(pnl / invested)
    return LedgerColumns(
        entry_price=np.asarray(ledger["entry_price"], dtype=np.float64),
        exit_price=np.asarray(ledger["exit_price"], dtype=np.float64),
        exit_value=np.asarray(ledger["exit_value"], dtype=np.float64),
        invested=invested,
        pnl=pnl,
        costs=np.asarray(ledger["costs"], dtype=np.float64),
        reason=reason,
        position_id=np.asarray(ledger["position_id"], dtype=np.int64),
        returns=returns,
        exit_sig=exit_sig,
    )


def first_point(price: np.ndarray, close: np.ndarray, long: np.ndarray, fee: float,
                new_position: np.ndarray) -> np.ndarray:
    """The first point of each trade's excursion path, as the recorder computes it.

    The close of the entry bar over the entry price, short trades mirrored
    (2 - ratio), times ``1 - fee`` for a trade that bought or sold (not for
    a piece a split started).
    """
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = close / price
    ratio = np.where(long, ratio, 2 - ratio)
    return np.where(new_position, (1 - fee) * ratio, ratio)


def clean_excursions(summary: np.ndarray, returns: np.ndarray, start: np.ndarray) -> np.ndarray:
    """The recorder's summary [mae, gmfe, bmfe, mdd, profit_period, return] made consistent with the fill.

    ``start`` is the first point of each path (see :func:`first_point`).
    Float noise is removed where it changes a figure: a lowest point equal
    to the entry level (up to noise) is the entry level, which makes the
    excursion before it 0 rather than the best point before a later copy of
    that level.  Then the trade's return, measured at the fill, bounds the
    excursions: ``mae <= return <= gmfe``; when the fill is below every
    close, it is the lowest point, so ``bmfe`` becomes ``gmfe`` and ``mdd``
    reaches it.  The last column becomes the return.
    """
    out = np.array(summary, dtype=np.float64, copy=True).reshape(-1, 6)
    mae, gmfe, bmfe, mdd = out[:, 0], out[:, 1], out[:, 2], out[:, 3]
    low = np.minimum(1.0, start) - 1.0
    at_entry = np.abs(mae - low) <= NOISE
    mae = np.where(at_entry, low, mae)
    bmfe = np.where(at_entry, np.maximum(1.0, start) - 1.0, bmfe)
    mae, gmfe, bmfe, mdd = snap(mae), snap(gmfe), snap(bmfe), snap(mdd)
    known = ~np.isnan(returns)
    below = known & (returns < mae)
    mae = np.where(below, returns, mae)
    gmfe = np.where(known & (returns > gmfe), returns, gmfe)
    bmfe = np.where(below, gmfe, bmfe)
    with np.errstate(divide="ignore", invalid="ignore"):
        fill_drop = (1.0 + returns) / (1.0 + gmfe) - 1.0
    mdd = np.where(below & (fill_drop < mdd), fill_drop, mdd)
    out[:, 0], out[:, 1], out[:, 2], out[:, 3], out[:, 5] = mae, gmfe, bmfe, mdd, returns
    return out


class _Groups:
    """The pieces of each position side by side: ordered by position id, then by entry bar."""

    def __init__(self, position_id: np.ndarray, entry_index: np.ndarray) -> None:
        self.order = np.lexsort((entry_index, position_id))
        self.ids = position_id[self.order]
        self.first = np.flatnonzero(np.append(True, self.ids[1:] != self.ids[:-1]))
        self.last = np.append(self.first[1:], len(self.ids)) - 1
        self.at_first, self.at_last = self.order[self.first], self.order[self.last]

    def money(self, invested: np.ndarray, pnl: np.ndarray, exit_value: np.ndarray) -> tuple:
        """Money put into each position, its P&L, and its return (P&L over money put in).

        The money put in is the first piece's plus what later rebalances
        added: the growth of a piece's target over the value handed on to it.
        """
        held = np.abs(np.asarray(exit_value, dtype=np.float64)[self.order])
        invested = invested[self.order]
        added = np.maximum(invested - np.append(np.nan, held[:-1]), 0.0)
        added[self.first] = invested[self.first]
        invested_sum = np.add.reduceat(added, self.first)
        pnl_sum = np.add.reduceat(pnl[self.order], self.first)
        with np.errstate(divide="ignore", invalid="ignore"):
            returns = snap(pnl_sum / invested_sum)
        return invested_sum, pnl_sum, returns


def position_figures(ledger: dict, rows: np.ndarray) -> dict:
    """The trade statistics over positions (:func:`orvane.stats.trade_figures`), straight from the
    engine's ledger and trade rows, without building a table: what :func:`merge_positions` gives."""
    from .stats import trade_figures

    if len(rows) == 0:
        return trade_figures(np.empty(0), np.empty(0, dtype=bool), pnl=np.empty(0),
                             reasons=np.empty(0, dtype=object))
    groups = _Groups(np.asarray(ledger["position_id"], dtype=np.int64), rows[:, 1])
    _, pnl, returns = groups.money(np.asarray(ledger["invested"], dtype=np.float64),
                                   np.asarray(ledger["pnl"], dtype=np.float64), ledger["exit_value"])
    reasons = EXIT_WORDS[np.asarray(ledger["exit_reason"], dtype=np.int64)[groups.at_last]]
    return trade_figures(returns, rows[groups.at_last, 2] >= 0, pnl=pnl, reasons=reasons)


def merge_positions(trades: pd.DataFrame, exit_value: np.ndarray, n_bars: int) -> pd.DataFrame:
    """One row per position: the pieces of each ``position_id`` merged, in order of entry.

    The money put into a position is the first piece's plus what later
    rebalances added to it (the growth of a piece's target over the value
    handed on to it); its P&L and costs are the pieces' sums, and its return
    is P&L over money put in, as for a holding never split.
    """
    columns = ["stock", "entry_date", "exit_date", "entry_sig_date", "exit_sig_date", "weight", "period",
               "pieces", "return", "exit_reason", "entry_price", "exit_price", "invested", "pnl", "costs",
               "position_id", "entry_index", "exit_index"]
    if "shares" in trades.columns:
        columns.insert(columns.index("invested"), "shares")
    # A trade table made by hand may lack the ledger's columns: each trade is then its own position.
    missing = [c for c in columns if c not in trades.columns and c != "pieces"]
    if missing:
        trades = trades.copy()
        for c in missing:
            trades[c] = np.arange(len(trades)) if c == "position_id" else np.nan
    if len(trades) == 0:
        empty = trades.reindex(columns=[c for c in columns if c != "pieces"]).iloc[:0].copy()
        empty.insert(columns.index("pieces"), "pieces", np.empty(0, dtype=np.int64))
        return empty.reset_index(drop=True)
    groups = _Groups(trades["position_id"].to_numpy(), trades["entry_index"].to_numpy())
    ids, first, last, order = groups.ids, groups.first, groups.last, groups.order
    at_first, at_last = groups.at_first, groups.at_last
    invested_sum, pnl, returns = groups.money(trades["invested"].to_numpy(dtype=np.float64),
                                              trades["pnl"].to_numpy(dtype=np.float64), exit_value)
    costs = np.add.reduceat(trades["costs"].to_numpy(dtype=np.float64)[order], first)
    entry = trades["entry_index"].to_numpy()[at_first]
    exit_ = trades["exit_index"].to_numpy()[at_last]
    out = {
        "stock": trades["stock"].take(at_first).reset_index(drop=True),
        "entry_date": trades["entry_date"].take(at_first).reset_index(drop=True),
        "exit_date": trades["exit_date"].take(at_last).reset_index(drop=True),
        "entry_sig_date": trades["entry_sig_date"].take(at_first).reset_index(drop=True),
        "exit_sig_date": trades["exit_sig_date"].take(at_last).reset_index(drop=True),
        "weight": trades["weight"].to_numpy()[at_first],
        "period": np.where(exit_ < 0, n_bars - entry, exit_ - entry),
        "pieces": (last - first + 1).astype(np.int64),
        "return": returns,
        "exit_reason": trades["exit_reason"].take(at_last).reset_index(drop=True),
        "entry_price": trades["entry_price"].to_numpy()[at_first],
        "exit_price": trades["exit_price"].to_numpy()[at_last],
        "invested": invested_sum,
        "pnl": pnl,
        "costs": costs,
        "position_id": ids[first],
        "entry_index": entry,
        "exit_index": exit_,
    }
    if "shares" in trades.columns:
        out["shares"] = trades["shares"].to_numpy()[at_last]
    return pd.DataFrame(out, columns=columns)
