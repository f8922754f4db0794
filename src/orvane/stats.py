"""Performance statistics of an equity curve and of a trade list.

All functions take plain pandas objects so they can be used on any equity
curve, not only on a :class:`orvane.Report`.  Returns are simple returns per
bar.  Two clocks are used, and tools that differ in them give different
figures for the same curve:

- calendar time for growth: CAGR and turnover are per year of 365.25 days
  between the first and the last date;
- bars for dispersion: volatility, Sharpe, Sortino and alpha annualise
  per-bar figures with ``periods_per_year`` bars a year.  When it is not
  given it is inferred from the spacing of the dates
  (:func:`infer_periods_per_year`: 252 for business-day bars, 365 for bars
  on every calendar day, 52 weekly, 12 monthly, 4 quarterly, 1 yearly).
"""

from __future__ import annotations

import math
from typing import Mapping, Optional, Union

import numpy as np
import pandas as pd

from .inputs import InputError

__all__ = [
    "infer_periods_per_year",
    "returns",
    "drawdown",
    "max_drawdown",
    "ruin",
    "cagr",
    "sharpe",
    "sortino",
    "volatility",
    "yearly_returns",
    "monthly_returns",
    "trade_stats",
    "trade_figures",
    "benchmark_stats",
    "summary",
]

PERIODS_PER_YEAR = 252

# Bar spacing in days that each kind of bars shows (weekends, holidays and
# month lengths included), with the bars a year it stands for.
_SPACINGS = (
    ("daily", 0.75, 4.5, 252.0),
    ("weekly", 4.5, 11.0, 52.0),
    ("monthly", 20.0, 40.0, 12.0),
    ("quarterly", 75.0, 105.0, 4.0),
    ("yearly", 330.0, 400.0, 1.0),
)
# Share of the spacings that must agree on one kind of bars.
_AGREEMENT = 0.75
# Share of weekend bars above which daily bars count every calendar day.
_WEEKEND_SHARE = 0.1


def infer_periods_per_year(index: pd.DatetimeIndex) -> float:
    """Bars per year from the spacing of the dates.

    Each spacing between consecutive dates is classed as daily (up to 4.5
    days, so weekends and holidays fit), weekly (4.5 to 11 days), monthly
    (20 to 40), quarterly (75 to 105) or yearly (330 to 400).  The kind of
    at least three quarters of the spacings decides: 52, 12, 4 or 1; daily
    bars count 252 a year, or 365 when more than a tenth of them fall on a
    weekend (markets that trade every day).  Fewer than two dates give NaN.

    Raises
    ------
    orvane.InputError
        When no kind of bars covers three quarters of the spacings (intraday
        bars, irregular dates): pass ``periods_per_year`` instead.
    """
    if len(index) < 2:
        return float("nan")
    days = np.asarray((index[1:] - index[:-1]).total_seconds(), dtype=np.float64) / 86_400.0
    for kind, low, high, per_year in _SPACINGS:
        share = float(((days >= low) & (days < high)).mean())
        if share >= _AGREEMENT:
            if kind == "daily" and float((index.day_of_week >= 5).mean()) > _WEEKEND_SHARE:
                return 365.0
            return per_year
    median = float(np.median(days))
    raise InputError(
        f"cannot tell the bars per year from the dates (median spacing {median:.3g} days, no regular daily,"
        " weekly, monthly, quarterly or yearly pattern); pass periods_per_year"
    )


# Relative tolerance for a value to count as back at an earlier one: equal
# prices reached along different paths differ by a few units in the last place.
_SAME = 1e-12


def returns(equity: pd.Series) -> pd.Series:
    """Simple return of each bar after the first.

    A bar that starts at a value of 0 or less (a ruined portfolio) has no
    return: NaN.
    """
    rets = equity.pct_change(fill_method=None)
    return rets.where(equity.shift(1) > 0).iloc[1:]


def ruin(equity: pd.Series) -> Optional[pd.Timestamp]:
    """The first date at which the value is 0 or less, or None when it never is."""
    down = np.flatnonzero(equity.to_numpy(dtype=np.float64) <= 0)
    return equity.index[down[0]] if len(down) else None


def drawdown(equity: pd.Series) -> pd.Series:
    """Drop of the equity below its running maximum, as a fraction (<= 0)."""
    return equity / equity.cummax() - 1.0


def max_drawdown(equity: pd.Series) -> dict:
    """Largest drawdown with the dates of its peak, trough and recovery.

    ``peak`` is the last bar at the high before the trough (a flat stretch
    at the high ends there); ``recovery`` is the first date after the
    trough at which the equity is back at the peak value (equal up to a
    relative 1e-12, as prices returning to a level give), or NaT when it
    never recovers.  A curve that never falls has a drawdown of 0 and no
    dates.
    """
    dd = drawdown(equity)
    none = {"max_drawdown": float("nan"), "peak": pd.NaT, "trough": pd.NaT, "recovery": pd.NaT}
    if len(dd) == 0 or not np.isfinite(dd.to_numpy()).any():
        return none
    trough_pos = int(np.nanargmin(dd.to_numpy()))
    values = equity.to_numpy(dtype=np.float64)
    peak_value = float(np.nanmax(values[: trough_pos + 1]))
    at_peak = values[: trough_pos + 1] >= peak_value - _SAME * abs(peak_value)
    if at_peak[trough_pos]:
        return {**none, "max_drawdown": 0.0}
    peak_pos = int(np.flatnonzero(at_peak)[-1])
    after = np.nonzero(values[trough_pos + 1:] >= peak_value - _SAME * abs(peak_value))[0]
    recovery = equity.index[trough_pos + 1 + after[0]] if len(after) else pd.NaT
    return {
        "max_drawdown": float(dd.iloc[trough_pos]),
        "peak": equity.index[peak_pos],
        "trough": equity.index[trough_pos],
        "recovery": recovery,
    }


def _years(index: pd.DatetimeIndex) -> float:
    return (index[-1] - index[0]).total_seconds() / (365.25 * 86400.0)


def _periods(series: pd.Series, periods_per_year: Optional[float]) -> float:
    """``periods_per_year``, or the value inferred from the series' dates when None."""
    if periods_per_year is not None:
        return float(periods_per_year)
    if not isinstance(series.index, pd.DatetimeIndex):
        raise InputError("periods_per_year is needed for a series that is not indexed by dates")
    return infer_periods_per_year(series.index)


def total_return(equity: pd.Series) -> float:
    """Last value over first value, minus one."""
    return float(equity.iloc[-1] / equity.iloc[0] - 1.0)


def cagr(equity: pd.Series) -> float:
    """Compound annual growth rate over the calendar span of the curve.

    The growth from the first to the last value, compounded over the years
    between the first and the last date (365.25 days each), whatever the
    bars: ``(last / first) ** (1 / years) - 1``; -1 when the curve ends at or
    below zero.
    """
    years = _years(equity.index)
    if years <= 0:
        return float("nan")
    growth = float(equity.iloc[-1] / equity.iloc[0])
    if growth <= 0:
        return -1.0
    return growth ** (1.0 / years) - 1.0


def volatility(rets: pd.Series, periods_per_year: Optional[float] = None) -> float:
    """Annualised volatility: the sample standard deviation (ddof=1) of the bar returns times ``sqrt(periods_per_year)``.

    ``periods_per_year`` is inferred from the dates when None (see
    :func:`infer_periods_per_year`).
    """
    return float(rets.std(ddof=1) * math.sqrt(_periods(rets, periods_per_year)))


def _per_period(risk_free: float, periods_per_year: float) -> float:
    return (1.0 + risk_free) ** (1.0 / periods_per_year) - 1.0


def sharpe(rets: pd.Series, risk_free: float = 0.0, periods_per_year: Optional[float] = None) -> float:
    """Annualised Sharpe ratio over bars.

    The mean bar return in excess of the risk-free rate per bar, over the
    sample standard deviation (ddof=1) of those excess returns, times
    ``sqrt(periods_per_year)``.  ``risk_free`` is an annual rate, taken per
    bar as ``(1 + risk_free) ** (1 / periods_per_year) - 1``;
    ``periods_per_year`` is inferred from the dates when None.
    """
    ppy = _periods(rets, periods_per_year)
    excess = rets - _per_period(risk_free, ppy)
    sd = excess.std(ddof=1)
    if not sd > 0:
        return float("nan")
    return float(excess.mean() / sd * math.sqrt(ppy))


def sortino(rets: pd.Series, risk_free: float = 0.0, periods_per_year: Optional[float] = None) -> float:
    """Annualised Sortino ratio over bars: mean excess return over the downside deviation.

    The downside deviation is the root mean square of the negative excess
    returns, counting the non-negative ones as zero; the ratio is annualised
    with ``sqrt(periods_per_year)`` like :func:`sharpe`.  Bars without a
    return (NaN) are skipped, as :func:`sharpe` skips them.
    """
    ppy = _periods(rets, periods_per_year)
    excess = (rets - _per_period(risk_free, ppy)).dropna()
    downside = math.sqrt(float((np.minimum(excess.to_numpy(), 0.0) ** 2).mean())) if len(excess) else 0.0
    if not downside > 0:
        return float("nan")
    return float(excess.mean() / downside * math.sqrt(ppy))


def yearly_returns(equity: pd.Series) -> pd.Series:
    """Return of each calendar year; the first year is measured from the first value.

    A first year holding nothing but the first value is left out; a year
    that starts at a value of 0 or less (after a ruin) has no return (NaN).
    """
    if len(equity) == 0:
        return pd.Series(dtype=float)
    years = equity.index.year
    ends = equity.groupby(years).last()
    starts = ends.shift(1)
    starts.iloc[0] = equity.iloc[0]
    out = (ends / starts - 1.0).where(starts > 0)
    out.index.name = "year"
    return _drop_lone_start(out, years)


def _drop_lone_start(rets: pd.Series, period_of_bar: np.ndarray) -> pd.Series:
    """Leave out a first period holding only the curve's first value: it has no return."""
    if len(rets) > 1 and (np.asarray(period_of_bar) == np.asarray(period_of_bar)[0]).sum() == 1:
        return rets.iloc[1:]
    return rets


def monthly_returns(equity: pd.Series) -> pd.DataFrame:
    """Return of each calendar month as a year x month table (NaN where there is no data).

    A month that starts at a value of 0 or less (after a ruin) has no return.
    """
    if len(equity) == 0:
        return pd.DataFrame(columns=range(1, 13), dtype=float)
    keys = [equity.index.year, equity.index.month]
    ends = equity.groupby(keys).last()
    starts = ends.shift(1)
    starts.iloc[0] = equity.iloc[0]
    rets = _drop_lone_start((ends / starts - 1.0).where(starts > 0), keys[0] * 12 + keys[1])
    table = rets.unstack().reindex(columns=range(1, 13))
    table.index.name = "year"
    table.columns.name = "month"
    return table


EXIT_REASONS = ("rebalance", "stop_loss", "take_profit", "trail_stop")


def trade_stats(trades: pd.DataFrame) -> dict:
    """Win rate, profit factors, average win and loss and exit reasons of closed trades.

    ``trades`` is a table of trades or positions with ``return`` and
    ``exit_date`` (NaT while open), and optionally ``pnl`` and
    ``exit_reason``.  Trades still open at the end are counted in
    ``trades`` and ``open_trades`` but left out of the other figures.

    - ``win_rate``: share of closed trades with a positive return; NaN when
      none closed.
    - ``profit_factor``: the sum of the positive returns over the sum of the
      negative ones, every trade counting once whatever its size (inf
      without losses, NaN without either); ``avg_win``, ``avg_loss``: mean
      positive and negative return.
    - ``profit_factor_pnl`` (with ``pnl``): the money won over the money
      lost, so that large trades weigh more.
    - ``exits_<reason>`` (with ``exit_reason``): how many closed trades
      ended by each of ``rebalance``, ``stop_loss``, ``take_profit`` and
      ``trail_stop``.
    """
    def column(name: str, dtype: type) -> Optional[np.ndarray]:
        return trades[name].to_numpy(dtype=dtype) if name in trades.columns else None

    return trade_figures(
        trades["return"].to_numpy(dtype=float),
        trades["exit_date"].notna().to_numpy(),
        pnl=column("pnl", float),
        reasons=column("exit_reason", object),
    )


def trade_figures(
    trade_returns: np.ndarray,
    closed: np.ndarray,
    pnl: Optional[np.ndarray] = None,
    reasons: Optional[np.ndarray] = None,
) -> dict:
    """:func:`trade_stats` from arrays in trade order: each trade's return, whether it is closed,
    and optionally its money P&L and its exit reason."""
    n = len(trade_returns)
    closed = np.asarray(closed, dtype=bool)
    r = np.asarray(trade_returns, dtype=float)[closed]
    r = r[np.isfinite(r)]
    wins, losses = r[r > 0], r[r < 0]
    out = {
        "trades": n,
        "open_trades": n - int(np.count_nonzero(closed)),
        "win_rate": float(len(wins) / len(r)) if len(r) else float("nan"),
        "profit_factor": _factor(float(wins.sum()), float(-losses.sum())),
    }
    if pnl is not None:
        money = np.asarray(pnl, dtype=float)[closed]
        money = money[np.isfinite(money)]
        out["profit_factor_pnl"] = _factor(float(money[money > 0].sum()), float(-money[money < 0].sum()))
    out["avg_win"] = float(wins.mean()) if len(wins) else float("nan")
    out["avg_loss"] = float(losses.mean()) if len(losses) else float("nan")
    if reasons is not None:
        ended = np.asarray(reasons, dtype=object)[closed]
        for reason in EXIT_REASONS:
            out[f"exits_{reason}"] = int(np.sum(ended == reason))
    return out


def _factor(gain: float, loss: float) -> float:
    """Gains over losses: inf without losses, NaN without either."""
    return gain / loss if loss > 0 else (float("inf") if gain > 0 else float("nan"))


def benchmark_stats(
    equity: pd.Series,
    benchmark: pd.Series,
    risk_free: float = 0.0,
    periods_per_year: Optional[float] = None,
) -> dict:
    """Alpha, beta and excess return against a benchmark price or value series.

    The benchmark is aligned to the dates of ``equity`` (carrying its last
    value forward).  ``beta`` is the regression slope of the bar returns on
    the benchmark's; ``alpha`` is the intercept per bar times
    ``periods_per_year`` (Jensen's alpha over ``risk_free``, annualised by
    simple multiplication, not compounded); ``excess_return`` is the
    difference of the total returns over the same span.
    """
    if not isinstance(benchmark, pd.Series):
        raise InputError(f"benchmark must be a pandas Series, got {type(benchmark).__name__}")
    ppy = _periods(equity, periods_per_year)
    bench = benchmark.sort_index().reindex(equity.index, method="ffill")
    if bench.isna().all():
        raise InputError("benchmark has no value on or before the dates of the equity curve")
    first = bench.first_valid_index()
    eq = equity.loc[first:]
    bench = bench.loc[first:]
    rf = _per_period(risk_free, ppy)
    r = returns(eq) - rf
    rb = returns(bench) - rf
    ok = r.notna() & rb.notna()
    r, rb = r[ok].to_numpy(), rb[ok].to_numpy()
    if len(r) > 1 and np.var(rb, ddof=1) > 0:
        beta = float(np.cov(r, rb, ddof=1)[0, 1] / np.var(rb, ddof=1))
        alpha = float((r.mean() - beta * rb.mean()) * ppy)
    else:
        beta = alpha = float("nan")
    return {
        "benchmark_return": total_return(bench),
        "excess_return": total_return(eq) - total_return(bench),
        "alpha": alpha,
        "beta": beta,
    }


def summary(
    equity: pd.Series,
    trades: Union[pd.DataFrame, Mapping, None] = None,
    exposure: Optional[float] = None,
    turnover: Optional[float] = None,
    benchmark: Optional[pd.Series] = None,
    risk_free: float = 0.0,
    periods_per_year: Optional[float] = None,
    extra: Optional[dict] = None,
    invested: Optional[float] = None,
) -> pd.Series:
    """All statistics of a run in one Series (yearly returns as ``return YYYY``).

    ``periods_per_year`` (inferred from the dates of ``equity`` when None)
    is part of the result, so the annualisation behind volatility, Sharpe,
    Sortino and alpha is always stated next to them.  A curve that reaches
    0 or less gets ``ruin_date``; its bar returns end there (see
    :func:`returns`) and ``calmar`` is NaN.  ``invested`` is listed as
    ``avg_invested``.  ``extra`` entries come before the yearly returns.
    ``trades`` is the trade table or its figures from :func:`trade_figures`.
    """
    ppy = _periods(equity, periods_per_year)
    rets = returns(equity)
    mdd = max_drawdown(equity)
    growth = cagr(equity)
    ruined = ruin(equity)
    calmar = growth / abs(mdd["max_drawdown"]) if mdd["max_drawdown"] < 0 and ruined is None else float("nan")
    out: dict = {
        "start": equity.index[0],
        "end": equity.index[-1],
        "total_return": total_return(equity),
        "cagr": growth,
        "volatility": volatility(rets, ppy),
        "sharpe": sharpe(rets, risk_free, ppy),
        "sortino": sortino(rets, risk_free, ppy),
        "calmar": calmar,
        "max_drawdown": mdd["max_drawdown"],
        "max_drawdown_peak": mdd["peak"],
        "max_drawdown_trough": mdd["trough"],
        "max_drawdown_recovery": mdd["recovery"],
    }
    if ruined is not None:
        out["ruin_date"] = ruined
    out["periods_per_year"] = ppy
    if trades is not None:
        out.update(trade_stats(trades) if isinstance(trades, pd.DataFrame) else trades)
    if exposure is not None:
        out["exposure"] = exposure
    if invested is not None:
        out["avg_invested"] = invested
    if turnover is not None:
        out["turnover"] = turnover
    if benchmark is not None:
        out.update(benchmark_stats(equity, benchmark, risk_free, ppy))
    out.update(extra or {})
    for year, value in yearly_returns(equity).items():
        out[f"return {year}"] = value
    return pd.Series(out, dtype=object, name="value")
