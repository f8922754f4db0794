"""The result of a back-test: equity curve, trades, next actions, statistics, plots."""

from __future__ import annotations

import itertools
import operator
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional, Sequence, Union

import numpy as np
import pandas as pd

from . import stats as _stats
from .gaps import HeldGaps, scan_holdings
from .inputs import InputError, check_benchmark
from .options import check_periods_per_year, check_risk_free
from .schedule import executed_rows

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .inputs import Prepared

__all__ = ["Report", "EXCURSION_FIELDS", "executed_rows"]

EXCURSION_FIELDS = ("mae", "gmfe", "bmfe", "mdd", "profit_period", "return")


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


def trade_rows(trades: Sequence[Sequence[Any]]) -> np.ndarray:
    """The recorder's trade rows [position column, entry bar, exit bar or -1] as an (n, 3) int64 array."""
    if isinstance(trades, np.ndarray):
        return trades.astype(np.int64, copy=False).reshape(-1, 3)
    flat = np.fromiter(itertools.chain.from_iterable(trades), dtype=np.int64, count=3 * len(trades))
    return flat.reshape(-1, 3)


def _empty_trades() -> pd.DataFrame:
    columns = ["stock", "entry_date", "exit_date", "entry_sig_date", "exit_sig_date", "weight", "period",
               "return", "mae", "gmfe", "bmfe", "mdd", "profit_period", "entry_index", "exit_index",
               "missing_price_bars", "note"]
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
        ``profit_period``, the bar numbers ``entry_index`` and
        ``exit_index`` (-1 when open), ``missing_price_bars`` (bars of the
        trade on which the stock had no trade price or close) and ``note``
        (why figures of the trade may mislead: empty when nothing was
        missing; a trade entered on a bar without a price has NaN return
        and excursions).
    paths : DataFrame or None
        Sampled excursion paths when ``excursion_window`` was set: one row
        per trade (aligned with ``trades``), columns (field, bars after
        entry); NaN where the data ended first.
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
    ) -> None:
        self.creturn = creturn
        self.params = dict(params or {})
        self.benchmark = benchmark
        self.name = name or "orvane back-test"
        self.periods_per_year = check_periods_per_year(periods_per_year)
        self._trades = trades
        self._paths = paths
        self._operations = operations or {}
        self._weights = weights
        self._executed = executed
        self._raw: Optional[_RawRun] = None
        self._gaps: Optional[HeldGaps] = None

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
        trades: Union[np.ndarray, Sequence[Sequence[Any]]],
        trade_positions: Sequence[float],
        excursions: Sequence[np.ndarray],
        operations: dict,
        params: dict,
        benchmark: Optional[pd.Series] = None,
        name: Optional[str] = None,
        periods_per_year: Optional[float] = None,
    ) -> "Report":
        """Build a report from the engine's raw results of one run.

        The trade table, paths and executed weight rows are assembled on
        first use, so a run whose report only serves its equity curve pays
        nothing for them.  The sequences are copied, since the engine
        reuses its lists in the next run.
        """
        equity = pd.Series(creturn, index=prepared.dates, name="creturn")
        report = cls(equity, operations=operations, params=params, benchmark=benchmark, name=name,
                     periods_per_year=periods_per_year)
        report._raw = _RawRun(prepared, trade_rows(trades), list(trade_positions), list(excursions))
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
        a bar has an unknown trade return.  Empty when nothing was missing.
        """
        gaps = self.held_gaps()
        if gaps is None:
            return pd.DataFrame({"stock": [], "first": pd.to_datetime([]), "last": pd.to_datetime([]),
                                 "bars": np.empty(0, dtype=np.int64)})
        return gaps.runs.copy()

    def _assemble(self) -> None:
        raw = self._raw
        if raw is None:
            self._trades = _empty_trades()
            return
        prepared, rows, excursions = raw.prepared, raw.trades, raw.excursions
        dates = prepared.dates
        n_bars = len(dates)
        sid, entry, exit_ = rows[:, 0], rows[:, 1], rows[:, 2]
        is_open = exit_ == -1
        # Every excursion array of one run has the same length.
        width = len(excursions[0]) if len(excursions) else 6
        exc = np.concatenate(excursions).reshape(-1, width) if len(excursions) else np.empty((0, 6))
        summary = exc[:, -6:]
        touched = self.params.get("touched_exit", False)
        exit_sig = np.where(is_open, -1, exit_ if touched else exit_ - 1)
        gaps = self.held_gaps()
        assert gaps is not None
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
                "missing_price_bars": gaps.per_trade,
                "note": gaps.notes(),
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
        """The trade statistics of :meth:`stats`, from the engine's records when the table is not built."""
        raw = self._raw
        if self._trades is not None or raw is None:
            return _stats.trade_stats(self.trades)
        # The trade's return is the last value of its excursion record.
        returns = np.fromiter(map(operator.itemgetter(-1), raw.excursions), dtype=np.float64, count=len(raw.excursions))
        return _stats.trade_figures(returns, raw.trades[:, 2] != -1)

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

    def turnover(self) -> float:
        """Annualised one-way turnover of the traded target weights.

        Half the sum of the absolute weight changes between consecutive
        executed weight rows (the first one measured from cash), with rows
        whose gross weight exceeds 1 scaled down to 1, per year of the
        equity curve.
        """
        executed = self._executed_rows()
        if self._weights is not None:
            values: Optional[np.ndarray] = self._weights.to_numpy()
        else:
            values = self._raw.prepared.pos_values if self._raw is not None else None
        if values is None or len(executed) == 0 or len(self.creturn) < 2:
            return 0.0
        w = values[executed]
        gross = np.abs(w).sum(axis=1)
        # Rows of gross weight up to 1 are divided by 1, which leaves them as they are.
        over = gross > 1.0
        if over.any():
            w[over] /= gross[over, None]
        # Row to row changes, the first from cash; one C-ordered array, summed in one pass.
        steps = np.empty(w.shape)
        steps[0] = w[0]
        np.subtract(w[1:], w[:-1], out=steps[1:])
        change = np.abs(steps, out=steps).sum() / 2.0
        years = _stats._years(self._active().index)
        return float(change / years) if years > 0 else float("nan")

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
            ``start``, ``end``, ``total_return``; ``cagr`` (compounded over
            calendar years of 365.25 days); ``volatility``, ``sharpe`` and
            ``sortino`` (over bars, annualised with ``periods_per_year``,
            which is listed too); ``calmar`` (CAGR over the maximum
            drawdown); ``max_drawdown`` with its peak, trough and recovery
            dates; trade figures (``trades``, ``open_trades``, ``win_rate``,
            ``profit_factor``, ``avg_win``, ``avg_loss`` of the trades' own
            returns); ``exposure``; ``turnover`` (per calendar year);
            ``alpha`` (per-bar intercept times ``periods_per_year``, not
            compounded) and ``beta`` with a benchmark; ``missing_price_bars``
            (held stock-bars without a price) and, when there are any,
            ``missing_prices`` naming them; and the return of every year
            (``return YYYY``).  The equity curve is measured from the bar
            before the first trade.
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
        extra: dict = {"missing_price_bars": gaps.total if gaps is not None else 0}
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

        if isinstance(max_trades, bool) or not isinstance(max_trades, (int, np.integer)) or max_trades < 0:
            raise InputError(f"max_trades must be an integer of at least 0, got {max_trades!r}")
        return write_html(self, path, max_trades=int(max_trades))
