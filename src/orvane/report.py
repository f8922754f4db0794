"""The result of a back-test: equity curve, trades, next actions, statistics, plots."""

from __future__ import annotations

import itertools
import math
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

from . import stats as _stats
from . import trades as _trades
from .defaults import COSTS
from .gaps import HeldGaps, scan_holdings
from .inputs import InputError, check_benchmark
from .options import check_periods_per_year, check_risk_free
from .schedule import executed_rows

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .inputs import Prepared

__all__ = ["Report", "RuinWarning", "EXCURSION_FIELDS", "executed_rows"]

EXCURSION_FIELDS = ("mae", "gmfe", "bmfe", "mdd", "profit_period", "return")


class RuinWarning(UserWarning):
    """The portfolio's value fell to 0 or below: returns and ratios after that are undefined."""


def _take_dates(dates: pd.DatetimeIndex, rows: np.ndarray) -> pd.DatetimeIndex:
    """``dates[rows]`` with NaT where ``rows`` is negative."""
    valid = rows >= 0
    picked = dates.take(np.where(valid, rows, 0)) if len(dates) else pd.DatetimeIndex([], tz=dates.tz)
    return picked.where(valid) if len(rows) else picked


@dataclass
class _RawRun:
    """The engine's raw results of one run, kept until the report needs them."""

    prepared: "Prepared"
    trades: np.ndarray
    trade_positions: list
    excursions: list
    # The engine's money ledger of the run (see ``portsim.get_trade_ledger``), row for row with ``trades``.
    ledger: Optional[dict] = None


def trade_rows(trades: Sequence[Sequence[Any]]) -> np.ndarray:
    """The recorder's trade rows [position column, entry bar, exit bar or -1] as an (n, 3) int64 array."""
    if isinstance(trades, np.ndarray):
        return trades.astype(np.int64, copy=False).reshape(-1, 3)
    flat = np.fromiter(itertools.chain.from_iterable(trades), dtype=np.int64, count=3 * len(trades))
    return flat.reshape(-1, 3)


def _trade_columns(capital: Optional[float]) -> list:
    columns = ["stock", "entry_date", "exit_date", "entry_sig_date", "exit_sig_date", "weight", "period",
               "return", "exit_reason", "entry_price", "exit_price", "invested", "pnl", "costs", "mae", "gmfe",
               "bmfe", "mdd", "profit_period", "position_id", "entry_index", "exit_index", "missing_price_bars",
               "note"]
    if capital is not None:
        columns.insert(columns.index("invested"), "shares")
    return columns


def _empty_trades(capital: Optional[float] = None) -> pd.DataFrame:
    frame = pd.DataFrame({c: pd.Series(dtype=np.float64) for c in _trade_columns(capital)})
    for c in ("entry_date", "exit_date", "entry_sig_date", "exit_sig_date"):
        frame[c] = pd.to_datetime(frame[c])
    for c in ("stock", "exit_reason", "note"):
        frame[c] = frame[c].astype(object)
    for c in ("period", "position_id", "entry_index", "exit_index", "missing_price_bars"):
        frame[c] = frame[c].astype(np.int64)
    return frame


@dataclass
class _Book:
    """Money of the whole portfolio per bar, in the units of ``creturn``."""

    # Absolute money traded on each bar (buys and sales, exits included).
    traded: np.ndarray
    # Absolute money value of the holdings at each bar's close.
    held: np.ndarray


class Report:
    """Everything one back-test produced.

    Attributes
    ----------
    creturn : Series
        Portfolio value at each bar's close (starting capital 1.0).
    trades : DataFrame
        One row per trade, or per piece of a holding that
        ``periodically_rebalance`` splits at each rebalance (the pieces of
        one holding share a ``position_id``; :attr:`positions` merges them).
        Columns: ``stock``, ``entry_date``, ``exit_date`` (NaT for a trade
        still open), ``entry_sig_date`` and ``exit_sig_date`` (the bars
        whose close decided the trade; only an exit rule tested inside the
        bar, with ``touched_exit``, is decided on the bar it trades),
        ``weight`` (of the portfolio, at entry), ``period`` (bars held),
        ``return`` (``pnl / invested``: what the portfolio made on the trade,
        fees and tax included, from the price it was bought at to the price
        it was sold at, the stop's level or the open for an exit inside the
        bar; at the last close for a trade still open), ``exit_reason``
        (``rebalance``, ``stop_loss``, ``take_profit``, ``trail_stop``, or
        empty for a trade still open; a piece ended by a split reads
        ``rebalance`` and its holding goes on in the next piece with the same
        ``position_id``), ``entry_price`` and ``exit_price`` (the fills),
        ``shares`` (with ``capital``: the shares held when the trade ended,
        negative for a short), ``invested`` (the money put in: the entry
        trade plus any rebalance that enlarged the holding), ``pnl`` (the
        money made after costs) and ``costs`` (the fee and tax charged to
        it) in fractions of the starting capital, or in currency with
        ``capital``; the excursions ``mae``, ``gmfe``, ``bmfe``, ``mdd``,
        ``profit_period`` (measured on the closes while held, net of the
        entry fee, and never beyond the return: ``mae <= return <= gmfe``);
        ``position_id``; the bar numbers ``entry_index`` and ``exit_index``
        (-1 when open), ``missing_price_bars`` (bars of the trade on which
        the stock had no trade price or close) and ``note`` (why figures of
        the trade may mislead: empty when nothing was missing).
    positions : DataFrame
        One row per position, from the entry of a holding to its exit, its
        pieces merged (see :attr:`positions`).
    paths : DataFrame or None
        Sampled excursion paths when ``excursion_window`` was set: one row
        per trade (aligned with ``trades``), columns (field, bars after
        entry); NaN where the data ended first.  They follow the closes for
        ``excursion_window`` bars after the entry, past the exit too.
    missing_prices : DataFrame
        Runs of bars on which a held stock had no price (``stock``,
        ``first``, ``last``, ``bars``); empty when none.
    params : dict
        The options of the run.
    periods_per_year : float or None
        Bars per year for annualised statistics; None infers it from the
        bar spacing (see :meth:`stats`).
    """

    def __init__(
        self,
        creturn: pd.Series,
        trades: Optional[pd.DataFrame] = None,
        paths: Optional[pd.DataFrame] = None,
        operations: Optional[dict] = None,
        weights: Optional[pd.DataFrame] = None,
        executed: Optional[np.ndarray] = None,
        params: Optional[dict] = None,
        benchmark: Optional[pd.Series] = None,
        name: Optional[str] = None,
        periods_per_year: Optional[float] = None,
        positions: Optional[pd.DataFrame] = None,
        traded: Optional[np.ndarray] = None,
        held: Optional[np.ndarray] = None,
    ) -> None:
        self.creturn = creturn
        self.params = dict(params or {})
        self.benchmark = benchmark
        self.name = name or "orvane back-test"
        self.periods_per_year = check_periods_per_year(periods_per_year)
        self._trades = trades
        self._positions = positions
        self._paths = paths
        self._operations = operations or {}
        self._weights = weights
        self._executed = executed
        self._raw: Optional[_RawRun] = None
        self._gaps: Optional[HeldGaps] = None
        self._book: Optional[_Book] = None
        self._piece_values: Optional[np.ndarray] = None
        if traded is not None:
            self._book = _Book(np.asarray(traded, dtype=np.float64), None if held is None else np.asarray(held))
        elif held is not None:
            raise ValueError("held needs traded")

    def __repr__(self) -> str:
        if len(self.creturn) == 0:
            return f"Report({self.name!r}, empty)"
        return (
            f"Report({self.name!r}, {self.creturn.index[0].date()}..{self.creturn.index[-1].date()}, "
            f"final value {self.creturn.iloc[-1]:.4f}, {len(self.trades)} trades in {len(self.positions)} positions)"
        )

    @classmethod
    def from_run(
        cls,
        prepared: "Prepared",
        creturn: np.ndarray,
        trades: Union[np.ndarray, Sequence[Sequence[Any]]],
        trade_positions: Sequence[float],
        excursions: Sequence[np.ndarray],
        operations: dict,
        params: dict,
        benchmark: Optional[pd.Series] = None,
        name: Optional[str] = None,
        periods_per_year: Optional[float] = None,
        ledger: Optional[dict] = None,
    ) -> "Report":
        """Build a report from the engine's raw results of one run.

        The trade table, paths and executed weight rows are assembled on
        first use, so a run whose report only serves its equity curve pays
        nothing for them.  The sequences are copied, since the engine
        reuses its lists in the next run.  ``ledger`` is the run's
        ``portsim.get_trade_ledger()``; without it (a report assembled from
        the recorder's lists alone) a trade's return is the recorder's, its
        money columns and exit reason are unknown (NaN), each trade is
        a position of its own, and turnover and the invested fraction are
        unknown.
        """
        equity = pd.Series(creturn, index=prepared.dates, name="creturn")
        report = cls(equity, operations=operations, params=params, benchmark=benchmark, name=name,
                     periods_per_year=periods_per_year)
        report._raw = _RawRun(prepared, trade_rows(trades), list(trade_positions), list(excursions), ledger)
        return report

    @property
    def trades(self) -> pd.DataFrame:
        """One row per trade or piece of a split holding (see the class description)."""
        if self._trades is None:
            self._assemble()
        return self._trades

    @property
    def positions(self) -> pd.DataFrame:
        """One row per position: a holding from its entry to its exit, its pieces merged.

        With ``periodically_rebalance`` a holding that continues through a
        rebalance is listed in :attr:`trades` as one piece per holding
        period; here it is one row, as without that option.  Columns:
        ``stock``, ``entry_date`` and ``entry_sig_date`` (of the first
        piece), ``exit_date``, ``exit_sig_date`` and ``exit_reason`` (of the
        last), ``weight`` (at entry), ``period`` (bars held), ``pieces``,
        ``return`` (``pnl / invested``), ``entry_price`` and ``exit_price``
        (first and last fill), ``shares`` (with ``capital``: at the end),
        ``invested`` (the money put in at the entry plus what later
        rebalances added), ``pnl`` and ``costs`` (sums over the pieces),
        ``position_id``, ``entry_index`` and ``exit_index``.  The trade
        statistics of :meth:`stats` count these rows.
        """
        if self._positions is None:
            trades = self.trades
            values = self._piece_values if self._piece_values is not None else np.full(len(trades), np.nan)
            self._positions = _trades.merge_positions(trades, values, len(self.creturn))
        return self._positions

    @property
    def capital(self) -> Optional[float]:
        """The starting capital in currency given to the run, or None (money in fractions of it)."""
        capital = self.params.get("capital")
        return None if capital is None else float(capital)

    @property
    def paths(self) -> Optional[pd.DataFrame]:
        """Sampled excursion paths, or None when no excursion window was set."""
        if self._trades is None:
            self._assemble()
        return self._paths

    def held_gaps(self) -> Optional[HeldGaps]:
        """The bars on which held stocks had no price, found once from the run's trades.

        Raises
        ------
        orvane.InputError
            When a held stock had a zero, negative or infinite price.
        """
        if self._gaps is None and self._raw is not None:
            raw = self._raw
            self._gaps = scan_holdings(raw.prepared, raw.trades, bool(self.params.get("touched_exit", False)))
        return self._gaps

    @property
    def missing_prices(self) -> pd.DataFrame:
        """Runs of bars on which a held stock had no trade price or close (``stock``, ``first``, ``last``, ``bars``).

        On those bars the holding kept its last value; a stock bought on such
        a bar moves from its first price after it, and its excursions are
        unknown.  Empty when nothing was missing.
        """
        gaps = self.held_gaps()
        if gaps is None:
            return pd.DataFrame({"stock": [], "first": pd.to_datetime([]), "last": pd.to_datetime([]),
                                 "bars": np.empty(0, dtype=np.int64)})
        return gaps.runs.copy()

    def _assemble(self) -> None:
        raw = self._raw
        capital = self.capital
        if raw is None:
            self._trades = _empty_trades(capital)
            return
        prepared, rows, excursions = raw.prepared, raw.trades, raw.excursions
        dates = prepared.dates
        n_bars = len(dates)
        sid, entry, exit_ = rows[:, 0], rows[:, 1], rows[:, 2]
        is_open = exit_ == -1
        # Every excursion array of one run has the same length.
        width = len(excursions[0]) if len(excursions) else 6
        exc = np.concatenate(excursions).reshape(-1, width) if len(excursions) else np.empty((0, 6))
        weight = np.fromiter(raw.trade_positions, dtype=np.float64, count=len(raw.trade_positions))
        cols = self._ledger_columns(rows, exc[:, -6:])
        gaps = self.held_gaps()
        assert gaps is not None
        summary = self._excursions(rows, exc[:, -6:], cols, weight)
        scale = 1.0 if capital is None else capital
        table = {
            "stock": prepared.stocks.take(sid) if len(sid) else prepared.stocks[:0],
            "entry_date": _take_dates(dates, entry),
            "exit_date": _take_dates(dates, exit_),
            # A trade entered on the first bar has no bar before it.
            "entry_sig_date": _take_dates(dates, np.where(entry > 0, entry - 1, -1)),
            "exit_sig_date": _take_dates(dates, cols.exit_sig),
            "weight": weight,
            "period": np.where(is_open, n_bars - entry, exit_ - entry),
            "return": summary[:, 5],
            "exit_reason": cols.words if raw.ledger is not None else np.where(is_open, "", None),
            "entry_price": cols.entry_price,
            "exit_price": cols.exit_price,
            "invested": cols.invested * scale,
            "pnl": cols.pnl * scale,
            "costs": cols.costs * scale,
            "mae": summary[:, 0],
            "gmfe": summary[:, 1],
            "bmfe": summary[:, 2],
            "mdd": summary[:, 3],
            "profit_period": summary[:, 4],
            "position_id": cols.position_id,
            "entry_index": entry,
            "exit_index": exit_,
            "missing_price_bars": gaps.per_trade,
            "note": gaps.notes(return_known=raw.ledger is not None),
        }
        if capital is not None:
            with np.errstate(divide="ignore", invalid="ignore"):
                table["shares"] = cols.exit_value * capital / cols.exit_price
        self._trades = pd.DataFrame(table, columns=_trade_columns(capital))
        # Merged on first use of the positions.
        self._piece_values = cols.exit_value * scale
        window = int(self.params.get("excursion_window", 0))
        step = int(self.params.get("excursion_window_step", 1))
        n_blocks = exc.shape[1] // 6 - 1
        if window > 0 and n_blocks > 0:
            offsets = np.arange(n_blocks) * step
            blocks = exc[:, : n_blocks * 6].reshape(len(exc), n_blocks, 6).copy()
            last_bar = np.where(is_open, n_bars - 1, exit_)
            size = np.minimum(np.maximum(last_bar, entry + window), n_bars - 1) - entry + 1
            blocks[offsets[None, :] >= size[:, None]] = np.nan
            columns = pd.MultiIndex.from_product([EXCURSION_FIELDS, offsets], names=["field", "bars"])
            self._paths = pd.DataFrame(blocks.transpose(0, 2, 1).reshape(len(exc), -1), columns=columns)

    def _ledger_columns(self, rows: np.ndarray, summary: np.ndarray) -> _trades.LedgerColumns:
        """The ledger's figures of the run's trades; unknown ones (NaN) without a ledger."""
        raw = self._raw
        assert raw is not None
        touched = bool(self.params.get("touched_exit", False))
        if raw.ledger is not None:
            return _trades.ledger_columns(raw.ledger, rows, touched)
        n = len(rows)
        unknown = np.full(n, np.nan)
        exit_ = rows[:, 2]
        return _trades.LedgerColumns(
            entry_price=unknown, exit_price=unknown, exit_value=unknown, invested=unknown, pnl=unknown,
            costs=unknown, reason=np.where(exit_ < 0, _trades.OPEN, _trades.REBALANCE),
            position_id=np.arange(n, dtype=np.int64), returns=summary[:, 5].copy(),
            exit_sig=np.where(exit_ < 0, -1, exit_ if touched else exit_ - 1),
        )

    def _excursions(self, rows: np.ndarray, summary: np.ndarray, cols: _trades.LedgerColumns,
                    weight: np.ndarray) -> np.ndarray:
        """The recorder's excursion summary of each trade, consistent with the trade's return."""
        raw = self._raw
        assert raw is not None
        p = raw.prepared
        if len(rows) == 0:
            return np.empty((0, 6))
        col = p.pos2price[rows[:, 0]]
        ids = cols.position_id
        order = np.lexsort((rows[:, 1], ids))
        new_position = np.ones(len(ids), dtype=bool)
        new_position[order[1:]] = ids[order[1:]] != ids[order[:-1]]
        start = _trades.first_point(p.price_values[rows[:, 1], col], p.close_values[rows[:, 1], col], weight > 0,
                                    float(self.params.get("fee_ratio", 0.0)), new_position)
        return _trades.clean_excursions(summary, cols.returns, start)

    def _money(self) -> Optional[_Book]:
        """Money traded per bar, from the run's ledger; None when unknown."""
        if self._book is None and self._raw is not None and self._raw.ledger is not None:
            ledger = self._raw.ledger
            self._book = _Book(np.asarray(ledger["traded"], dtype=np.float64),
                               np.asarray(ledger["held"], dtype=np.float64))
        return self._book

    def _held(self) -> Optional[np.ndarray]:
        """Absolute money value of the holdings at each bar's close, as the engine valued them; None when unknown."""
        book = self._money()
        return None if book is None else book.held

    def _executed_rows(self) -> np.ndarray:
        """The indices of the weight rows the engine traded."""
        if self._executed is None and self._raw is not None:
            p = self._raw.prepared
            self._executed = executed_rows(p.price_index, p.pos_index, p.resample)
        return self._executed if self._executed is not None else np.empty(0, dtype=np.int64)

    def _rows(self) -> tuple:
        """The weight rows of the run and the indices of those the engine traded."""
        executed = self._executed_rows()
        if self._weights is None and self._raw is not None:
            p = self._raw.prepared
            self._weights = pd.DataFrame(p.pos_values, index=p.pos_dates, columns=p.stocks)
        return self._weights, executed

    def actions(self) -> pd.DataFrame:
        """The portfolio's next operations, one row per stock concerned.

        Columns: ``stock``; ``action`` (``enter``, ``exit``, ``hold`` for a
        pending rebalance; ``tp``/``sl`` for a take-profit or stop-loss exit
        signalled on the last bar; ``tp_enter``/``sl_enter`` when it
        re-enters at once; ``tp_``/``sl_`` for one that already left since
        the last rebalance; empty when no operation is due); ``weight``
        (after the last executed rebalance); ``next_weight`` (of the newest
        weight row); ``weight_date`` and ``next_weight_date`` (the dates of
        those rows).
        """
        ops = self._operations
        acts: dict = ops.get("actions", {}) or {}
        now: dict = ops.get("weights", {}) or {}
        nxt: dict = ops.get("next_weights", {}) or {}
        columns = ["stock", "action", "weight", "next_weight", "weight_date", "next_weight_date"]
        weights, _ = self._rows()
        if weights is None:
            return pd.DataFrame(columns=columns)
        sids = list(dict.fromkeys(list(acts) + list(now) + list(nxt)))
        stocks = weights.columns
        row_dates = weights.index

        def row_date(i: Any) -> Any:
            if i is None or int(i) < 0 or int(i) >= len(row_dates):
                return pd.NaT
            return row_dates[int(i)]

        frame = pd.DataFrame(
            {
                "stock": [stocks[int(s)] for s in sids],
                "action": [acts.get(s, "") for s in sids],
                "weight": [float(now.get(s, 0.0)) for s in sids],
                "next_weight": [float(nxt.get(s, 0.0)) for s in sids],
            },
            columns=columns[:4],
        )
        frame["weight_date"] = row_date(ops.get("weight_time"))
        frame["next_weight_date"] = row_date(ops.get("next_weight_time"))
        return frame

    def holdings(self) -> pd.DataFrame:
        """Today's book: every stock held at the last close.

        Returns
        -------
        DataFrame
            ``stock``; ``value`` (the holding's signed money value at the last
            close, in the unit of :attr:`creturn`: fractions of the starting
            capital, negative for a short); ``weight`` (``value`` over the
            portfolio's value then, ``creturn.iloc[-1]``); ``price`` (the
            close it was valued at, the last valid one when the last bar has
            none).  Cash is what the weights leave: ``1 - weight.sum()``.

        Raises
        ------
        orvane.InputError
            For a report not made by :func:`orvane.backtest`, which has no book.
        """
        from .orders import holdings

        return holdings(self)

    def orders(
        self,
        capital: float,
        lot_size: Union[int, pd.Series, Mapping] = 1,
        prices: Optional[Union[pd.Series, Mapping]] = None,
    ) -> pd.DataFrame:
        """The orders of the next bar, in shares, for a portfolio worth ``capital`` now.

        The holdings are today's book (:meth:`holdings`) scaled to
        ``capital``; the targets are those of :meth:`actions`: the pending
        rebalance's weight (``next_weight``) for ``enter``, ``hold``,
        ``tp_enter`` and ``sl_enter``, and 0 for ``exit``, ``tp`` and ``sl``.
        Stocks with no operation due get no order.

        Each order takes the holding to its target position in whole lots:
        the target rounded toward zero to a whole number of lots, so that no
        position goes past its target (a long is never larger, a short never
        deeper).  An entry therefore buys (or shorts) whole lots, an exit
        sells (or covers) the whole holding, and a resize trades the
        difference.  The holding is counted in whole shares: its value at
        ``price``, to the nearest share.

        Parameters
        ----------
        capital : float
            The portfolio's value now, in currency (above 0).
        lot_size : int, Series or mapping
            Shares per lot: one number, or one per stock (board lots differ
            by market); every stock with an order needs one.
        prices : Series or mapping, optional
            Prices by stock to count shares at; other stocks use the last
            bar's close, the latest price, at which the book is valued.

        Returns
        -------
        DataFrame
            One row per stock to trade, sales first: ``stock``; ``action``
            (the word of :meth:`actions`); ``side`` (``buy`` or ``sell``; a
            short sale is a ``sell``); ``shares`` (0 when not one lot of a
            stock to enter fits); ``price``; ``value``
            (shares times price); ``weight_now``; ``weight_target``;
            ``weight_after`` (the weight the rounded order leaves, at
            ``capital``); ``cost`` (fee, slippage and tax the order would
            pay by the run's rates, charged as the back-test charges them);
            ``cash_after`` (the cash after this order and the ones above it,
            costs included; the last row's is the cash left after rounding,
            also in ``attrs["cash"]``).

        Raises
        ------
        orvane.InputError
            When ``capital``, ``lot_size`` or ``prices`` cannot be used, or a
            stock with an order has no price on the last bar and none is
            given.
        """
        from .orders import orders

        return orders(self, capital, lot_size=lot_size, prices=prices)

    @property
    def returns(self) -> pd.Series:
        """Return of each bar."""
        return _stats.returns(self.creturn)

    @property
    def drawdown(self) -> pd.Series:
        """Drawdown of the equity curve at each bar (<= 0)."""
        return _stats.drawdown(self.creturn)

    def _trade_bars(self) -> tuple[np.ndarray, np.ndarray]:
        """Entry and exit bar of every trade (exit -1 while open), without assembling the trade table."""
        if self._trades is None and self._raw is not None:
            rows = self._raw.trades
            return rows[:, 1], rows[:, 2]
        return self.trades["entry_index"].to_numpy(), self.trades["exit_index"].to_numpy()

    def _trade_figures(self) -> dict:
        """The trade statistics of :meth:`stats`, over positions.

        Taken from the engine's ledger when there is one, without building
        the trade table (a sweep asks for nothing else), and in fractions of
        the starting capital whatever ``capital`` is, so that a figure never
        depends on the currency unit.
        """
        raw = self._raw
        if raw is not None and raw.ledger is not None:
            return _trades.position_figures(raw.ledger, raw.trades)
        return _stats.trade_stats(self.positions)

    def _active(self) -> pd.Series:
        """The equity curve from the bar before the first trade on (flat lead-in dropped)."""
        entry, _ = self._trade_bars()
        if len(entry) == 0:
            return self.creturn
        first = int(entry.min())
        return self.creturn.iloc[max(first - 1, 0):]

    def exposure(self) -> float:
        """Fraction of the bars since the first trade at whose close something is held."""
        n = len(self.creturn)
        entry, exit_ = self._trade_bars()
        if len(entry) == 0 or n == 0:
            return 0.0
        end = np.where(exit_ < 0, n, exit_)
        count = np.zeros(n + 1, dtype=np.int64)
        np.add.at(count, entry, 1)
        np.add.at(count, end, -1)
        held = np.cumsum(count[:-1]) > 0
        start = int(entry.min())
        return float(held[start:].mean())

    def turnover(self, per_year: bool = True) -> float:
        """One-way turnover: the money traded, in portfolio values, halved.

        On every bar the absolute money traded (buys and sales, exits by
        the exit rules and the caps of ``position_limit`` included) is
        divided by the portfolio's value at that bar's close; half the sum
        over the bars since the first trade is the turnover, per calendar
        year of 365.25 days with ``per_year`` (the default).  Buying the
        whole portfolio once is 0.5, and selling it again another 0.5.
        NaN when the money traded is not known (a report built without the
        engine's ledger); bars at which the portfolio is worth nothing or
        less are left out.
        """
        book = self._money()
        if book is None:
            return 0.0 if len(self.trades) == 0 else float("nan")
        values, traded = self._active_book(book.traded)
        if len(values) < 2:
            return 0.0
        live = values > 0
        total = float(np.sum(traded[live] / values[live])) / 2.0
        if not per_year:
            return total
        years = _stats._years(self._active().index)
        return total / years if years > 0 else float("nan")

    def invested_fraction(self) -> float:
        """Mean share of the portfolio held in stocks at the close, over the bars since the first trade.

        On every bar the absolute value of all holdings (longs and shorts)
        over the portfolio's value; 1.0 for a portfolio always fully
        invested, 0.05 for one that only ever holds 5 % in one stock.
        Compare :meth:`exposure`, which counts a bar as exposed when
        anything at all is held.  Bars at which the portfolio is worth
        nothing or less are left out.
        """
        if self._money() is None:
            return 0.0 if len(self.trades) == 0 else float("nan")
        per_bar = self._held()
        assert per_bar is not None
        values, held = self._active_book(per_bar)
        live = values > 0
        return float(np.mean(held[live] / values[live])) if live.any() else float("nan")

    def _active_book(self, per_bar: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The portfolio values and a per-bar money array over the bars of :meth:`_active`."""
        start = len(self.creturn) - len(self._active())
        return self.creturn.to_numpy(dtype=np.float64)[start:], np.asarray(per_bar, dtype=np.float64)[start:]

    def stats(
        self,
        benchmark: Optional[pd.Series] = None,
        risk_free: float = 0.0,
        periods_per_year: Optional[float] = None,
    ) -> pd.Series:
        """Performance statistics of the run.

        Parameters
        ----------
        benchmark : Series, optional
            Benchmark prices or values; defaults to the one given to
            :func:`orvane.backtest`.  Adds ``benchmark_return``,
            ``excess_return``, ``alpha`` and ``beta``.
        risk_free : float
            Annual risk-free rate for Sharpe, Sortino and alpha.
        periods_per_year : float, optional
            Bars per year for annualisation.  By default the value given to
            :func:`orvane.backtest`, else inferred from the spacing of the
            bars (252 for business days, 365 for every calendar day, 52
            weekly, 12 monthly, 4 quarterly, 1 yearly); irregular bars
            raise :class:`orvane.InputError` asking for it.

        Returns
        -------
        Series
            The curve is measured from the bar before the first trade: cash
            held before the strategy first trades is left out.

            - ``start``, ``end``: the first and last date measured.
            - ``total_return``: last value over first value, minus 1.
            - ``cagr``: that growth compounded over calendar years of
              365.25 days; -1 when the portfolio ends at or below 0.
            - ``volatility``, ``sharpe``, ``sortino``: of the bar returns,
              annualised with ``periods_per_year`` (listed too); Sortino
              divides by the root mean square of the negative excess
              returns.  Bars with no return (after a ruin) are skipped.
            - ``calmar``: CAGR over the size of the maximum drawdown.
            - ``max_drawdown``: the largest fall below a running high, with
              ``max_drawdown_peak`` (the last bar at that high before the
              fall), ``max_drawdown_trough`` and ``max_drawdown_recovery``
              (the first bar back at the high; NaT when not recovered, and
              all three NaT when the curve never fell).
            - ``ruin_date``, only when the portfolio was ruined: the first
              bar at whose close it was worth 0 or less.  Bar returns
              after it are undefined, so the ratios above use the bars up
              to it, ``calmar`` is NaN and a year or month that starts at
              or below 0 has no return.
            - Trade figures, over positions (a holding from entry to exit,
              the pieces of a split holding merged: :attr:`positions`):
              ``trades`` and ``open_trades`` (still held at the end);
              over the closed ones, ``win_rate`` (share with a positive
              return; NaN when none closed), ``profit_factor`` (the sum of
              the winning returns over the sum of the losing ones, each
              position counting once whatever its size), ``avg_win`` and
              ``avg_loss`` (mean return of the winners and of the losers,
              unweighted too), ``profit_factor_pnl`` (the money won over the
              money lost: weighted by size), and ``exits_rebalance``,
              ``exits_stop_loss``, ``exits_take_profit``,
              ``exits_trail_stop`` (how the closed positions ended).
            - ``exposure``: share of the bars at whose close anything at all
              is held; ``avg_invested``: mean share of the portfolio's value
              held in stocks at the close (:meth:`invested_fraction`).
            - ``turnover``: half the money traded on each bar over the
              portfolio's value, summed, per calendar year
              (:meth:`turnover`).
            - With a benchmark: ``benchmark_return``, ``excess_return``
              (difference of total returns), ``alpha`` (per-bar intercept
              times ``periods_per_year``, not compounded) and ``beta``.
            - The cost rates of the run (``fee_ratio``, ``tax_ratio``,
              ``slippage``) and ``costs_paid`` (see :meth:`costs`).
            - ``missing_price_bars`` (held stock-bars without a price) and,
              when there are any, ``missing_prices`` naming them.
            - ``return YYYY``: the return of each calendar year (the last
              one up to the last bar).
        """
        ppy = check_periods_per_year(periods_per_year)
        if ppy is None:
            ppy = self.periods_per_year
        if ppy is None:
            ppy = _stats.infer_periods_per_year(self.creturn.index)
        risk_free = check_risk_free(risk_free)
        if benchmark is not None:
            bench: Optional[pd.Series] = check_benchmark(benchmark, self.creturn.index)
        else:
            bench = self.benchmark
        gaps = self.held_gaps()
        extra: dict = self.costs()
        extra["missing_price_bars"] = gaps.total if gaps is not None else 0
        if gaps is not None and gaps.total:
            extra["missing_prices"] = gaps.summary()
        return _stats.summary(
            self._active(),
            trades=self._trade_figures(),
            exposure=self.exposure(),
            turnover=self.turnover(),
            benchmark=bench,
            risk_free=risk_free,
            periods_per_year=ppy,
            extra=extra,
            invested=self.invested_fraction(),
        )

    def costs(self) -> dict:
        """The run's cost rates and what they cost.

        Returns
        -------
        dict
            ``fee_ratio`` (on every trade), ``tax_ratio`` (on every sale: a
            trade that reduces or closes a holding), ``slippage`` (on every
            trade, charged with the fee) and ``costs_paid``: every fee,
            slippage and tax the run paid, as a fraction of the starting
            capital (NaN where the report does not know them: one made
            from an equity curve alone).
        """
        # A report made from a bare equity curve does not know the rates it was run with.
        rates = {name: float(self.params.get(name, math.nan)) for name in COSTS}
        ledger = self._raw.ledger if self._raw is not None else None
        rates["costs_paid"] = float(np.sum(ledger["costs"])) if ledger is not None else float("nan")
        return rates

    def yearly_returns(self) -> pd.Series:
        """Return of each calendar year."""
        return _stats.yearly_returns(self._active())

    def monthly_returns(self) -> pd.DataFrame:
        """Return of each month as a year x month table."""
        return _stats.monthly_returns(self._active())

    def plot(self) -> "Figure":
        """Equity with drawdown, monthly-returns heatmap and MAE/MFE scatter in one figure."""
        from .plots import report_figure

        return report_figure(self)

    def _repr_html_(self) -> str:
        """A compact summary for notebooks: period, costs, main statistics, a small equity curve, next actions."""
        from .html import render_summary

        return render_summary(self)

    def to_html(self, path: Union[str, "os.PathLike[str]"], max_trades: int = 500) -> str:
        """Write the report as one self-contained HTML page and return its path.

        The page needs no network (nor matplotlib): the charts are embedded
        as SVG data and the style sheet is inline.  At most ``max_trades`` trades are listed (the
        most recent); the CSV of all trades is ``report.trades.to_csv``.
        """
        from .html import write_html

        if isinstance(max_trades, bool) or not isinstance(max_trades, (int, np.integer)) or max_trades < 0:
            raise InputError(f"max_trades must be an integer of at least 0, got {max_trades!r}")
        return write_html(self, path, max_trades=int(max_trades))
