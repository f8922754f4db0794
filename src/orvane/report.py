"""The result of a back-test: equity curve, trades, next actions, statistics, plots."""

from __future__ import annotations

import itertools
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional, Sequence, Union

import numpy as np
import pandas as pd

from . import stats as _stats

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .inputs import Prepared

__all__ = ["Report", "EXCURSION_FIELDS"]

EXCURSION_FIELDS = ("mae", "gmfe", "bmfe", "mdd", "profit_period", "return")


def _take_dates(dates: pd.DatetimeIndex, rows: np.ndarray) -> pd.DatetimeIndex:
    """``dates[rows]`` with NaT where ``rows`` is negative."""
    valid = rows >= 0
    picked = dates.take(np.where(valid, rows, 0)) if len(dates) else pd.DatetimeIndex([], tz=dates.tz)
    return picked.where(valid) if len(rows) else picked


def executed_rows(price_ns: np.ndarray, pos_ns: np.ndarray, marks_ns: np.ndarray) -> np.ndarray:
    """Rows of the weight matrix that the engine trades, in order.

    A rebalance is decided at the close of a marked bar (the last bar on or
    before a resample date) with the newest row dated before the next bar,
    when that row differs from the last one traded; a decision on the last
    bar stays pending and is not counted.
    """
    n = len(price_ns)
    if n < 2 or len(pos_ns) == 0 or len(marks_ns) == 0:
        return np.empty(0, dtype=np.int64)
    marked = np.unique(np.clip(np.searchsorted(price_ns, marks_ns, side="right") - 1, 0, n - 1))
    first_active = np.searchsorted(price_ns, pos_ns[0], side="left")
    marked = marked[(marked >= first_active) & (marked < n - 1)]
    rows = np.maximum(np.searchsorted(pos_ns, price_ns[marked + 1], side="left") - 1, 0)
    if len(rows) == 0:
        return rows.astype(np.int64)
    keep = np.ones(len(rows), dtype=bool)
    keep[1:] = rows[1:] != rows[:-1]
    return rows[keep].astype(np.int64)


@dataclass
class _RawRun:
    """The engine's raw results of one run, kept until the report needs them."""

    prepared: "Prepared"
    trades: list
    trade_positions: list
    excursions: list


def _empty_trades() -> pd.DataFrame:
    columns = ["stock", "entry_date", "exit_date", "entry_sig_date", "exit_sig_date", "weight", "period",
               "return", "mae", "gmfe", "bmfe", "mdd", "profit_period", "entry_index", "exit_index"]
    return pd.DataFrame(columns=columns)


class Report:
    """Everything one back-test produced.

    Attributes
    ----------
    creturn : Series
        Portfolio value at each bar's close (starting capital 1.0).
    trades : DataFrame
        One row per trade: ``stock``, ``entry_date``, ``exit_date`` (NaT for
        a trade still open), ``entry_sig_date`` and ``exit_sig_date`` (the
        bars whose close decided the trade), ``weight``, ``period`` (bars
        held), ``return``, ``mae``, ``gmfe``, ``bmfe``, ``mdd``,
        ``profit_period``, and the bar numbers ``entry_index`` and
        ``exit_index`` (-1 when open).
    paths : DataFrame or None
        Sampled excursion paths when ``excursion_window`` was set: one row
        per trade (aligned with ``trades``), columns (field, bars after
        entry); NaN where the data ended first.
    params : dict
        The options of the run.
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
    ) -> None:
        self.creturn = creturn
        self.params = dict(params or {})
        self.benchmark = benchmark
        self.name = name or "orvane back-test"
        self._trades = trades
        self._paths = paths
        self._operations = operations or {}
        self._weights = weights
        self._executed = executed
        self._raw: Optional[_RawRun] = None

    def __repr__(self) -> str:
        if len(self.creturn) == 0:
            return f"Report({self.name!r}, empty)"
        return (
            f"Report({self.name!r}, {self.creturn.index[0].date()}..{self.creturn.index[-1].date()}, "
            f"final value {self.creturn.iloc[-1]:.4f}, {len(self.trades)} trades)"
        )

    @classmethod
    def from_run(
        cls,
        prepared: "Prepared",
        creturn: np.ndarray,
        trades: Sequence[Sequence[Any]],
        trade_positions: Sequence[float],
        excursions: Sequence[np.ndarray],
        operations: dict,
        params: dict,
        benchmark: Optional[pd.Series] = None,
        name: Optional[str] = None,
    ) -> "Report":
        """Build a report from the engine's raw results of one run.

        The trade table, paths and executed weight rows are assembled on
        first use, so a run whose report only serves its equity curve pays
        nothing for them.  The sequences are copied, since the engine
        reuses its lists in the next run.
        """
        equity = pd.Series(creturn, index=prepared.dates, name="creturn")
        report = cls(equity, operations=operations, params=params, benchmark=benchmark, name=name)
        report._raw = _RawRun(prepared, list(trades), list(trade_positions), list(excursions))
        return report

    @property
    def trades(self) -> pd.DataFrame:
        """One row per trade (see the class description)."""
        if self._trades is None:
            self._assemble()
        return self._trades

    @property
    def paths(self) -> Optional[pd.DataFrame]:
        """Sampled excursion paths, or None when no excursion window was set."""
        if self._trades is None:
            self._assemble()
        return self._paths

    def _assemble(self) -> None:
        raw = self._raw
        if raw is None:
            self._trades = _empty_trades()
            return
        prepared, trades, excursions = raw.prepared, raw.trades, raw.excursions
        dates = prepared.dates
        n_bars = len(dates)
        rows = np.fromiter(itertools.chain.from_iterable(trades), dtype=np.int64, count=3 * len(trades)).reshape(-1, 3)
        sid, entry, exit_ = rows[:, 0], rows[:, 1], rows[:, 2]
        is_open = exit_ == -1
        # Every excursion array of one run has the same length.
        width = len(excursions[0]) if len(excursions) else 6
        exc = np.concatenate(excursions).reshape(-1, width) if len(excursions) else np.empty((0, 6))
        summary = exc[:, -6:]
        touched = self.params.get("touched_exit", False)
        exit_sig = np.where(is_open, -1, exit_ if touched else exit_ - 1)
        self._trades = pd.DataFrame(
            {
                "stock": prepared.stocks.take(sid) if len(sid) else prepared.stocks[:0],
                "entry_date": _take_dates(dates, entry),
                "exit_date": _take_dates(dates, exit_),
                # A trade entered on the first bar has no bar before it.
                "entry_sig_date": _take_dates(dates, np.where(entry > 0, entry - 1, -1)),
                "exit_sig_date": _take_dates(dates, exit_sig),
                "weight": np.fromiter(raw.trade_positions, dtype=np.float64, count=len(raw.trade_positions)),
                "period": np.where(is_open, n_bars - entry, exit_ - entry),
                "return": summary[:, 5],
                "mae": summary[:, 0],
                "gmfe": summary[:, 1],
                "bmfe": summary[:, 2],
                "mdd": summary[:, 3],
                "profit_period": summary[:, 4],
                "entry_index": entry,
                "exit_index": exit_,
            }
        )
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

    def _rows(self) -> tuple:
        """The weight rows of the run and the indices of those the engine traded."""
        if self._executed is None and self._raw is not None:
            p = self._raw.prepared
            self._executed = executed_rows(p.price_index, p.pos_index, p.resample)
            self._weights = pd.DataFrame(p.pos_values, index=p.pos_dates, columns=p.stocks)
        executed = self._executed if self._executed is not None else np.empty(0, dtype=np.int64)
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

    @property
    def returns(self) -> pd.Series:
        """Return of each bar."""
        return _stats.returns(self.creturn)

    @property
    def drawdown(self) -> pd.Series:
        """Drawdown of the equity curve at each bar (<= 0)."""
        return _stats.drawdown(self.creturn)

    def _active(self) -> pd.Series:
        """The equity curve from the bar before the first trade on (flat lead-in dropped)."""
        if len(self.trades) == 0:
            return self.creturn
        first = int(self.trades["entry_index"].min())
        return self.creturn.iloc[max(first - 1, 0):]

    def exposure(self) -> float:
        """Fraction of the bars since the first trade at whose close something is held."""
        n = len(self.creturn)
        if len(self.trades) == 0 or n == 0:
            return 0.0
        entry = self.trades["entry_index"].to_numpy()
        exit_ = self.trades["exit_index"].to_numpy()
        end = np.where(exit_ < 0, n, exit_)
        count = np.zeros(n + 1, dtype=np.int64)
        np.add.at(count, entry, 1)
        np.add.at(count, end, -1)
        held = np.cumsum(count[:-1]) > 0
        start = int(entry.min())
        return float(held[start:].mean())

    def turnover(self) -> float:
        """Annualised one-way turnover of the traded target weights.

        Half the sum of the absolute weight changes between consecutive
        executed weight rows (the first one measured from cash), with rows
        whose gross weight exceeds 1 scaled down to 1, per year of the
        equity curve.
        """
        weights, executed = self._rows()
        if weights is None or len(executed) == 0 or len(self.creturn) < 2:
            return 0.0
        w = weights.to_numpy()[executed]
        gross = np.abs(w).sum(axis=1, keepdims=True)
        w = w / np.maximum(gross, 1.0)
        change = np.abs(np.diff(np.vstack([np.zeros((1, w.shape[1])), w]), axis=0)).sum() / 2.0
        years = _stats._years(self._active().index)
        return float(change / years) if years > 0 else float("nan")

    def stats(
        self,
        benchmark: Optional[pd.Series] = None,
        risk_free: float = 0.0,
        periods_per_year: float = _stats.PERIODS_PER_YEAR,
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
        periods_per_year : float
            Bars per year for annualisation.

        Returns
        -------
        Series
            Total return, CAGR, volatility, Sharpe, Sortino, Calmar, maximum
            drawdown with its peak, trough and recovery dates, trade
            figures, exposure, turnover and the return of every year
            (``return YYYY``).  The equity curve is measured from the bar
            before the first trade.
        """
        bench = benchmark if benchmark is not None else self.benchmark
        return _stats.summary(
            self._active(),
            trades=self.trades,
            exposure=self.exposure(),
            turnover=self.turnover(),
            benchmark=bench,
            risk_free=risk_free,
            periods_per_year=periods_per_year,
        )

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

    def to_html(self, path: Union[str, "os.PathLike[str]"], max_trades: int = 500) -> str:
        """Write the report as one self-contained HTML page and return its path.

        The page needs no network: plots are embedded as PNG data and the
        style sheet is inline.  At most ``max_trades`` trades are listed (the
        most recent); the CSV of all trades is ``report.trades.to_csv``.
        """
        from .html import write_html

        return write_html(self, path, max_trades=max_trades)
