"""Walk-forward testing: choose parameters on one stretch of history, trade them on the next.

The bars are cut into consecutive windows.  On each training window a sweep
over the parameter grid picks the best combination by a statistic; that
combination then trades the test window that follows.  The test windows,
stitched together, form an out-of-sample equity curve: no bar of it was seen
when its parameters were chosen.

The strategy callable never sees a price after the window it is evaluated on:
for training it gets the prices up to the last training bar, for testing up
to the last test bar (both from the first bar, so long look-backs work in
every window).
"""

from __future__ import annotations

import inspect
import math
import re
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Mapping, Optional, Union

import numpy as np
import pandas as pd

from .gaps import HeldGaps
from .inputs import InputError, Prices
from .report import Report
from .simulate import backtest
from .sweeps import expand_grid, sweep

__all__ = ["walk_forward", "WalkForwardResult", "split_windows"]

Span = Union[int, str, pd.DateOffset, pd.Timedelta]

# Statistics that depend on the equity curve alone; only these can be
# measured on one test window of a run that carries holdings across windows.
CURVE_STATISTICS = ("total_return", "cagr", "volatility", "sharpe", "sortino", "calmar", "max_drawdown")

_UNITS = {"D": "days", "W": "weeks", "M": "months", "Y": "years"}
_SPAN_TEXT = re.compile(r"^\s*(\d+)\s*([DWMY])\s*$", re.IGNORECASE)


def _backtest_options() -> frozenset:
    return frozenset(n for n in inspect.signature(backtest).parameters if n not in ("position", "prices"))


def _span(value: Any, name: str) -> tuple[str, Any]:
    """A window length as ("bars", int) or ("calendar", offset)."""
    if isinstance(value, bool):
        raise InputError(f"{name} must be a number of bars or a calendar length such as '3Y', got {value!r}")
    if isinstance(value, (int, np.integer)):
        return "bars", int(value)
    if isinstance(value, str):
        match = _SPAN_TEXT.match(value)
        if not match:
            raise InputError(
                f"{name}={value!r} is not a calendar length: use a count and a unit D, W, M or Y"
                " (for example '3Y', '6M', '13W') or a number of bars"
            )
        count = int(match.group(1))
        if count < 1:
            raise InputError(f"{name}={value!r} must be at least one {_UNITS[match.group(2).upper()][:-1]}")
        return "calendar", pd.DateOffset(**{_UNITS[match.group(2).upper()]: count})
    if isinstance(value, (pd.DateOffset, pd.Timedelta)):
        return "calendar", value
    raise InputError(
        f"{name} must be a number of bars, a calendar length such as '3Y' or a pandas DateOffset,"
        f" got {type(value).__name__}"
    )


def split_windows(
    dates: pd.DatetimeIndex,
    train: Span,
    test: Span,
    step: Optional[Span] = None,
    anchored: bool = False,
) -> pd.DataFrame:
    """The training and test windows of a walk-forward over ``dates``.

    Parameters
    ----------
    dates : DatetimeIndex
        The bars, in ascending order.
    train, test : int or str or DateOffset
        Lengths of the training and test windows: a number of bars, or a
        calendar length (``"3Y"``, ``"6M"``, ``"13W"``, ``"30D"``, a
        ``pd.DateOffset``); both of one kind.
    step : int or str or DateOffset, optional
        How far each window moves on; by default ``test``, so that the test
        windows follow one another.  A larger step leaves bars between test
        windows untested.
    anchored : bool
        Every training window starts at the first bar (expanding windows)
        instead of rolling along with a fixed length.

    Returns
    -------
    DataFrame
        One row per window: the bar numbers ``train_lo``, ``test_lo`` and
        ``test_hi`` (the training window is bars ``train_lo`` to
        ``test_lo - 1``, the test window ``test_lo`` to ``test_hi - 1``) and
        the dates ``train_start``, ``train_end``, ``test_start``,
        ``test_end`` of their first and last bars.  Calendar windows take
        the bars dated in ``[start, start + length)``; a window whose test
        span holds no bar (a gap in the calendar) is left out, and the last
        test window ends at the last bar.
    """
    dates = pd.DatetimeIndex(dates)
    n = len(dates)
    kind_train, train_v = _span(train, "train")
    kind_test, test_v = _span(test, "test")
    kind_step, step_v = (kind_test, test_v) if step is None else _span(step, "step")
    if not kind_train == kind_test == kind_step:
        raise InputError("train, test and step must all be numbers of bars or all calendar lengths")
    rows: list[tuple[int, int, int]] = []
    if kind_train == "bars":
        if train_v < 2:
            raise InputError(f"train must be at least 2 bars, got {train_v}")
        if test_v < 1:
            raise InputError(f"test must be at least 1 bar, got {test_v}")
        if step_v < test_v:
            raise InputError(f"step ({step_v} bars) must be at least test ({test_v} bars): test windows would overlap")
        if train_v >= n:
            raise InputError(f"train={train_v} bars leaves no bar to test: the prices have {n} bars")
        for p in range(train_v, n, step_v):
            rows.append((0 if anchored else p - train_v, p, min(p + test_v, n)))
    else:
        if n == 0:
            raise InputError("the prices have no bars")
        origin = dates[0]
        for name, value in (("train", train_v), ("test", test_v), ("step", step_v)):
            if not origin + value > origin:
                raise InputError(f"{name} must be a positive length, got {value!r}")
        if origin + step_v < origin + test_v:
            raise InputError(f"step ({step_v}) must be at least test ({test_v}): test windows would overlap")
        k = 0
        while True:
            start = origin + step_v * k
            test_start = start + train_v
            p = int(dates.searchsorted(test_start, side="left"))
            if p >= n:
                break
            hi = int(dates.searchsorted(test_start + test_v, side="left"))
            lo = 0 if anchored else int(dates.searchsorted(start, side="left"))
            k += 1
            if hi > p:
                rows.append((lo, p, hi))
        if not rows:
            raise InputError(
                f"train={train!r} leaves no bar to test: the prices span {dates[0].date()} to {dates[-1].date()}"
            )
    for lo, p, hi in rows:
        if p - lo < 2:
            raise InputError(
                f"the training window before {dates[p].date()} holds {p - lo} bar(s); it needs at least 2"
                " (a gap in the dates?): use longer windows"
            )
    frame = pd.DataFrame(rows, columns=["train_lo", "test_lo", "test_hi"])
    frame["train_start"] = dates[frame["train_lo"].to_numpy()]
    frame["train_end"] = dates[frame["test_lo"].to_numpy() - 1]
    frame["test_start"] = dates[frame["test_lo"].to_numpy()]
    frame["test_end"] = dates[frame["test_hi"].to_numpy() - 1]
    return frame


def _as_prices(prices: Any) -> Prices:
    if isinstance(prices, Prices):
        return prices
    if isinstance(prices, pd.DataFrame):
        return Prices.from_frame(prices) if prices.columns.nlevels == 2 else Prices(close=prices)
    if isinstance(prices, Mapping):
        return Prices.from_mapping(prices)
    raise InputError(
        "prices must be a DataFrame, a mapping of field name to DataFrame or an orvane.Prices,"
        f" got {type(prices).__name__}"
    )


def _fields(px: Prices) -> dict:
    return {f: getattr(px, f) for f in ("open", "high", "low") if getattr(px, f) is not None}


def _up_to(prices: Any, end: pd.Timestamp) -> Any:
    """The prices dated up to ``end``, in the form the caller gave them."""
    if isinstance(prices, Prices):
        keep = prices.index <= end
        return Prices(prices.close.loc[keep], **{f: t.loc[keep] for f, t in _fields(prices).items()},
                      meta=prices.meta)
    if isinstance(prices, pd.DataFrame):
        return prices.loc[prices.index <= end]
    return {k: v.loc[v.index <= end] for k, v in prices.items()}


def _bars(px: Prices, lo: int, hi: int) -> Prices:
    """The prices of bars ``lo`` to ``hi - 1``."""
    return Prices(px.close.iloc[lo:hi], **{f: t.iloc[lo:hi] for f, t in _fields(px).items()}, meta=px.meta)


def _rows_between(
    position: Any, start: pd.Timestamp, end: Optional[pd.Timestamp] = None, before: Optional[pd.Timestamp] = None
) -> pd.DataFrame:
    """The weight rows dated from ``start`` up to ``end`` inclusive or ``before`` exclusive."""
    if not isinstance(position, pd.DataFrame):
        raise TypeError(f"the strategy returned {type(position).__name__}, expected a DataFrame of weights")
    if not isinstance(position.index, pd.DatetimeIndex):
        raise InputError(
            f"the strategy returned weights indexed by {type(position.index).__name__}; they must be indexed by dates"
        )
    try:
        keep = position.index >= start
        if end is not None:
            keep &= position.index <= end
        if before is not None:
            keep &= position.index < before
    except TypeError:
        raise InputError(
            "the strategy's weights and the prices have different time zones; bring both to the same one"
        ) from None
    return position.loc[keep]


class _Windowed:
    """A strategy whose weights are cut to the rows of one window (picklable for any executor)."""

    def __init__(self, strategy: Any, start: pd.Timestamp, end: pd.Timestamp) -> None:
        self.strategy = strategy
        self.start = start
        self.end = end

    @property
    def __signature__(self) -> Optional[inspect.Signature]:
        # The sweep checks the grid names against the user's strategy, not this wrapper.
        if isinstance(self.strategy, pd.DataFrame):
            return inspect.Signature([inspect.Parameter("prices", inspect.Parameter.POSITIONAL_OR_KEYWORD)])
        try:
            return inspect.signature(self.strategy)
        except (TypeError, ValueError):
            return None

    def __call__(self, prices: Any, **params: Any) -> pd.DataFrame:
        position = self.strategy if isinstance(self.strategy, pd.DataFrame) else self.strategy(prices, **params)
        return _rows_between(position, self.start, self.end)


def _equal_weights(frame: pd.DataFrame) -> pd.DataFrame:
    """Boolean holdings as the equal weights they stand for (NA = not held)."""
    held = frame.fillna(False).to_numpy(dtype=bool)
    counts = held.sum(axis=1, keepdims=True)
    with np.errstate(invalid="ignore", divide="ignore"):
        w = np.where(held, 1.0 / np.maximum(counts, 1), 0.0)
    return pd.DataFrame(w, index=frame.index, columns=frame.columns)


def _concat_rows(parts: list[pd.DataFrame]) -> pd.DataFrame:
    """Weight rows of consecutive windows as one table (columns united, absent stocks not held)."""
    all_bool = all(all(pd.api.types.is_bool_dtype(t) for t in p.dtypes) for p in parts)
    if all_bool:
        joined = pd.concat(parts, axis=0, sort=False)
        held = joined.to_numpy(dtype=object, copy=True)
        held[joined.isna().to_numpy()] = False
        return pd.DataFrame(held.astype(bool), index=joined.index, columns=joined.columns)
    floats = [
        _equal_weights(p) if len(p.columns) and all(pd.api.types.is_bool_dtype(t) for t in p.dtypes) else p
        for p in parts
    ]
    return pd.concat(floats, axis=0, sort=False).astype(np.float64).fillna(0.0)


class _ChainedReport(Report):
    """The report of test windows run one after another, each from cash.

    Its next operations are those of the last window.
    """

    def __init__(self, *args: Any, parts: list[Report], **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._parts = parts

    def actions(self) -> pd.DataFrame:
        return self._parts[-1].actions()

    def _scale(self) -> float:
        """The chained value per unit of the last window's own value."""
        last = self._parts[-1].creturn
        return float(self.creturn.iloc[-1] / last.iloc[-1])

    def holdings(self) -> pd.DataFrame:
        book = self._parts[-1].holdings()
        book["value"] = book["value"] * self._scale()
        return book

    def orders(self, capital: float, lot_size: Any = 1, prices: Any = None) -> pd.DataFrame:
        return self._parts[-1].orders(capital, lot_size=lot_size, prices=prices)

    def costs(self) -> dict:
        """The rates of the runs, and the costs of every window in the chained unit."""
        rates = self._parts[-1].costs()
        paid = 0.0
        for part in self._parts:
            # Each window starts from the value the chain had at its first bar.
            first = part.creturn.index[0]
            paid += part.costs()["costs_paid"] * float(self.creturn.loc[first] / part.creturn.iloc[0])
        rates["costs_paid"] = paid
        return rates

    def held_gaps(self) -> Optional[HeldGaps]:
        """The held stock-bars without a price of every window, in window order."""
        if self._gaps is None:
            gaps = [g for g in (p.held_gaps() for p in self._parts) if g is not None]
            if gaps:
                runs = pd.concat([g.runs for g in gaps], ignore_index=True)
                # Runs stay grouped by stock, each stock's in date order.
                runs = runs.sort_values(["stock", "first"], kind="stable", ignore_index=True)
                self._gaps = HeldGaps(
                    per_trade=np.concatenate([g.per_trade for g in gaps]),
                    entry_missing=np.concatenate([g.entry_missing for g in gaps]),
                    runs=runs,
                    total=sum(g.total for g in gaps),
                )
        return self._gaps


def _chain(parts: list[Report], spans: list[tuple[int, int]], dates: pd.DatetimeIndex, params: dict,
           benchmark: Optional[pd.Series], name: str) -> Report:
    """One report of separate runs over ``dates[lo:hi]`` each, every run starting with the value the last ended with.

    Bars between two runs hold cash.  A holding still open at the end of a
    run is closed there at its last value: the next run starts from cash.
    """
    base = spans[0][0]
    end = spans[-1][1]
    values = np.empty(end - base)
    traded = np.zeros(end - base)
    held: Optional[np.ndarray] = np.zeros(end - base)
    value = 1.0
    done = base
    trades, positions, paths, weights = [], [], [], []
    columns: list = []
    ids = 0
    for k, (report, (lo, hi)) in enumerate(zip(parts, spans)):
        values[done - base:lo - base] = value
        values[lo - base:hi - base] = report.creturn.to_numpy() * value
        start_value = value
        value = float(values[hi - 1 - base])
        done = hi
        offset = lo - base
        last = k == len(parts) - 1
        t = _chained_trades(report.trades, offset, start_value, ids, last, hi - 1 - base, dates[hi - 1])
        pos = _chained_trades(report.positions, offset, start_value, ids, last, hi - 1 - base, dates[hi - 1])
        if len(t):
            ids = int(t["position_id"].max()) + 1
        trades.append(t)
        positions.append(pos)
        book = report._money()
        if book is None:
            traded[:] = np.nan
            held = None
        else:
            traded[lo - base:hi - base] = book.traded * start_value
            part_held = report._held()
            if held is not None and part_held is not None:
                held[lo - base:hi - base] = part_held * start_value
            else:
                held = None
            if not last and report._raw is not None and report._raw.ledger is not None:
                # The holdings still open are sold at the end of the window: the next one starts from cash.
                open_value = report._raw.ledger["exit_value"][report._raw.trades[:, 2] < 0]
                traded[hi - 1 - base] += float(np.abs(open_value).sum()) * start_value
        paths.append(report.paths)
        w, executed = report._rows()
        if w is not None and len(executed):
            rows = w.iloc[executed]
            columns.extend(c for c in rows.columns if c not in set(columns))
            weights.append(rows)
            if k < len(parts) - 1:
                # The run ends in cash: the next one is measured from nothing held.
                weights.append(pd.DataFrame(0.0, index=[dates[hi - 1]], columns=rows.columns))
    creturn = pd.Series(values, index=dates[base:end], name="creturn")
    non_empty = [t for t in trades if len(t)]
    trade_table = pd.concat(non_empty, ignore_index=True) if non_empty else parts[-1].trades.iloc[:0].copy()
    non_empty = [p for p in positions if len(p)]
    position_table = pd.concat(non_empty, ignore_index=True) if non_empty else parts[-1].positions.iloc[:0].copy()
    path_table = None
    if all(p is not None for p in paths):
        path_table = pd.concat(paths, ignore_index=True)
    weight_table = executed_all = None
    if weights:
        weight_table = pd.concat([w.reindex(columns=columns, fill_value=0.0) for w in weights], axis=0)
        weight_table = weight_table.astype(np.float64).fillna(0.0)
        executed_all = np.arange(len(weight_table), dtype=np.int64)
    return _ChainedReport(
        creturn, trades=trade_table, paths=path_table, weights=weight_table, executed=executed_all,
        params=params, benchmark=benchmark, name=name, parts=parts, positions=position_table,
        traded=traded, held=held,
    )


def _chained_trades(table: pd.DataFrame, offset: int, start_value: float, ids: int, last: bool, close_bar: int,
                    close_date: pd.Timestamp) -> pd.DataFrame:
    """A window's trade or position table placed on the chained curve.

    Bars are shifted by ``offset``, money scaled by the window's starting
    value and position ids by ``ids``; a holding still open at the end of a
    window that is not the last is closed there (by the rebalance to cash
    that starts the next window from nothing).
    """
    t = table.copy()
    if not len(t):
        return t
    still_open = t["exit_index"].to_numpy() < 0
    t["entry_index"] = t["entry_index"] + offset
    t["exit_index"] = np.where(still_open & ~last, close_bar, np.where(still_open, -1, t["exit_index"] + offset))
    for money in ("invested", "pnl", "costs", "shares"):
        if money in t.columns:
            t[money] = t[money] * start_value
    if "position_id" in t.columns:
        t["position_id"] = t["position_id"] + ids
    if not last and still_open.any():
        t.loc[still_open, "exit_date"] = close_date
        if "exit_sig_date" in t.columns:
            t.loc[still_open, "exit_sig_date"] = close_date
        if "exit_reason" in t.columns:
            t.loc[still_open, "exit_reason"] = "rebalance"
        if "period" in t.columns:
            t.loc[still_open, "period"] = t.loc[still_open, "exit_index"] - t.loc[still_open, "entry_index"]
    return t


@dataclass
class WalkForwardResult:
    """The outcome of :func:`walk_forward`.

    Attributes
    ----------
    windows : DataFrame
        One row per window: ``train_start``, ``train_end``, ``test_start``,
        ``test_end`` (first and last bar of each), the chosen parameters
        (one column per grid name), ``is_<metric>`` (the chosen
        combination's figure on its training window), ``oos_<metric>`` (its
        figure on the test window), ``deflated_sharpe`` (the deflated Sharpe
        ratio of the choice among the window's trials) and ``n_trials``.
    equity : Series
        The stitched out-of-sample equity curve, from the bar before the
        first test window (value 1.0) to the last test bar.
    report : Report
        The report of that curve: ``stats()``, ``plot()``, ``to_html()``,
        ``trades``, ``actions()`` (the next operations of the last window).
    is_oos_ratio : float
        Mean in-sample figure over mean out-of-sample figure of the metric
        across windows: about 1 when the choices hold up on unseen data,
        well above 1 when the training figures overstate them (negative
        when the out-of-sample mean has the other sign).
    metric : str
        The statistic that chose the parameters.
    carry : bool
        Whether holdings were carried across test windows.
    sweeps : list of DataFrame
        The sweep table of every training window.
    test_reports : list of Report
        The report of every test window run on its own (``carry=False``);
        empty with ``carry=True``.
    """

    windows: pd.DataFrame
    equity: pd.Series
    report: Report
    is_oos_ratio: float
    metric: str
    carry: bool
    sweeps: list = field(default_factory=list, repr=False)
    test_reports: list = field(default_factory=list, repr=False)

    def stats(self, **kwargs: Any) -> pd.Series:
        """``report.stats(**kwargs)``: the statistics of the out-of-sample curve."""
        return self.report.stats(**kwargs)

    def __repr__(self) -> str:
        return (
            f"WalkForwardResult({len(self.windows)} windows, {self.equity.index[0].date()}.."
            f"{self.equity.index[-1].date()}, metric={self.metric!r}, is_oos_ratio={self.is_oos_ratio:.3f},"
            f" carry={self.carry})"
        )


def _choose(table: pd.DataFrame, metric: str, ascending: bool, window: str) -> int:
    if metric not in table.columns:
        if table["error"].notna().all():
            raise InputError(f"every combination failed on the training window {window}: {table['error'].iloc[0]}")
        stats = [c for c in table.columns if c not in ("error", "report")]
        raise InputError(f"metric={metric!r} is not a statistic of the sweep: {stats}")
    values = pd.to_numeric(table[metric], errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
    ok = np.flatnonzero(table["error"].isna().to_numpy() & np.isfinite(values))
    if len(ok) == 0:
        errors = table["error"].dropna()
        why = f" (first error: {errors.iloc[0]})" if len(errors) else f" (no combination has a finite {metric})"
        raise InputError(f"no combination can be chosen on the training window {window}{why}; use longer windows")
    key = values[ok] if ascending else -values[ok]
    # A stable sort keeps the first of equal figures in grid order.
    return int(ok[np.argsort(key, kind="stable")[0]])


def _figure(stats: pd.Series, metric: str) -> float:
    value = stats.get(metric, math.nan)
    try:
        return float(value)
    except (TypeError, ValueError):
        return math.nan


def walk_forward(
    strategy: Union[pd.DataFrame, Callable[..., pd.DataFrame]],
    prices: Any,
    grid: Union[Mapping[str, Any], Iterable[Mapping[str, Any]]],
    *,
    train: Span,
    test: Span,
    step: Optional[Span] = None,
    anchored: bool = False,
    metric: str = "sharpe",
    ascending: bool = False,
    options: Optional[Mapping[str, Any]] = None,
    carry: bool = False,
    strategy_keys: Optional[Iterable[str]] = None,
    stats_options: Optional[Mapping[str, Any]] = None,
    executor: Any = "process",
    max_workers: Optional[int] = None,
    progress: bool = True,
    name: Optional[str] = None,
) -> WalkForwardResult:
    """Walk-forward test: choose the parameters on each training window, trade them on the next.

    For every window, :func:`orvane.sweep` runs the grid on the training
    bars and the combination with the best ``metric`` is run on the test
    bars that follow.  The test windows make the out-of-sample equity curve.

    Parameters
    ----------
    strategy : callable or DataFrame
        ``strategy(prices, **params) -> weights``, as for
        :func:`orvane.sweep`; it receives the prices from the first bar up to
        the last bar of the window being evaluated, never later ones, and
        must be deterministic.  A DataFrame of weights is cut to each window
        (the grid then varies backtest options).
    prices : DataFrame, mapping or Prices
        The prices, as for :func:`orvane.backtest`.
    grid : mapping or iterable of mappings
        The combinations to choose from (see :func:`orvane.sweeps.expand_grid`).
    train, test : int or str or DateOffset
        Window lengths: numbers of bars, or calendar lengths such as
        ``"3Y"``, ``"6M"``, ``"13W"``, ``"30D"`` (both of one kind).  The
        last test window ends at the last bar.
    step : int or str or DateOffset, optional
        How far each window moves on (default ``test``).  A larger step
        leaves bars between the test windows, which the out-of-sample curve
        spends in cash (only with ``carry=False``).
    anchored : bool
        Training windows all start at the first bar and grow (expanding
        windows); by default they roll with a fixed length.
    metric : str
        The statistic of ``Report.stats()`` that chooses a combination
        (``"sharpe"``, ``"cagr"``, ``"calmar"``, ...).  Ties go to the first
        in grid order.
    ascending : bool
        Choose the smallest value instead of the largest (for
        ``"volatility"``, say).
    options : mapping, optional
        Backtest options shared by every run (``resample``, ``fee_ratio``, ...).
    carry : bool
        False (default): every test window starts from cash and is run on
        its own; its holdings at the end are valued at the last close (no
        sale costs are charged there), and the next window starts with that
        value in cash.  True: one back-test
        runs over all test windows, the weights of each window coming from
        its own chosen parameters, so holdings carry over from one window
        to the next and only the changes are traded.  With ``carry=True``
        the grid may only vary strategy parameters (the backtest options are
        those of the one run), and the per-window out-of-sample figure is
        measured on the window's stretch of the one equity curve (only for
        the curve statistics: total return, CAGR, volatility, Sharpe,
        Sortino, Calmar, drawdown; NaN for others).
    strategy_keys : iterable of str, optional
        The grid names passed to the strategy, as for :func:`orvane.sweep`.
    stats_options : mapping, optional
        Keyword arguments of ``Report.stats`` (``risk_free``,
        ``periods_per_year``) for choosing and measuring.
    executor, max_workers, progress
        Where the training sweeps run, as for :func:`orvane.sweep`
        (``"process"``, ``"serial"``, an Executor or a Dask Client).
    name : str, optional
        Title of the out-of-sample report.

    Returns
    -------
    WalkForwardResult

    Raises
    ------
    orvane.InputError
        For unusable prices or windows (too short, overlapping, no bar left
        to test), a grid that ``carry=True`` cannot run, an unknown metric,
        or a training window on which no combination gives a figure.

    Examples
    --------
    >>> def top(prices, n, lookback):                                             # doctest: +SKIP
    ...     momentum = prices.close / prices.close.shift(lookback) - 1
    ...     return momentum.rank(axis=1, ascending=False) <= n
    >>> result = orvane.walk_forward(top, market, {"n": [10, 20], "lookback": [60, 120]},
    ...                              train="3Y", test="1Y", options={"resample": "M"})  # doctest: +SKIP
    >>> result.windows                                                            # doctest: +SKIP
    >>> result.report.stats()["sharpe"], result.is_oos_ratio                      # doctest: +SKIP
    """
    is_callable = not isinstance(strategy, pd.DataFrame)
    if is_callable and not callable(strategy):
        raise TypeError(
            f"strategy must be a DataFrame of weights or a callable strategy(prices, **params), got {type(strategy).__name__}"
        )
    if not isinstance(metric, str):
        raise InputError(f"metric must be the name of a statistic, got {metric!r}")
    px = _as_prices(prices)
    dates = px.index
    spans = split_windows(dates, train, test, step, anchored)
    combos = expand_grid(grid)
    if not combos:
        raise InputError("the grid has no combination to choose from")
    names = list(dict.fromkeys(n for c in combos for n in c))
    known = _backtest_options()
    options = dict(options or {})
    unknown = [n for n in options if n not in known]
    if unknown:
        raise InputError(f"unknown backtest options {unknown}; expected some of {sorted(known)}")
    if strategy_keys is not None:
        to_strategy = frozenset([strategy_keys] if isinstance(strategy_keys, str) else strategy_keys)
    else:
        to_strategy = frozenset(n for n in names if n not in known)
    if not is_callable and to_strategy:
        raise InputError(
            f"with a fixed table of weights every grid parameter must be a backtest option; unknown: {sorted(to_strategy)}"
        )
    to_backtest = [n for n in names if n not in to_strategy]
    strangers = [n for n in to_backtest if n not in known]
    if strangers:
        raise InputError(f"grid parameters {strangers} are neither strategy parameters nor backtest options")
    if carry and to_backtest:
        raise InputError(
            f"carry=True runs one back-test over all test windows, so the grid cannot vary the backtest options"
            f" {to_backtest}; put them in options= or use carry=False"
        )
    contiguous = bool((spans["test_lo"].to_numpy()[1:] == spans["test_hi"].to_numpy()[:-1]).all())
    if carry and not contiguous:
        raise InputError("carry=True needs test windows that follow one another: leave step at its default (test)")
    stats_options = dict(stats_options or {})

    rows: list[dict] = []
    sweeps: list[pd.DataFrame] = []
    test_reports: list[Report] = []
    test_rows: list[pd.DataFrame] = []
    n = len(spans)
    for k, w in enumerate(spans.itertuples(index=False)):
        lo, p, hi = int(w.train_lo), int(w.test_lo), int(w.test_hi)
        label = f"{dates[lo].date()}..{dates[p - 1].date()}"
        wrapped = _Windowed(strategy, dates[max(lo - 1, 0)], dates[p - 1])
        table = sweep(
            wrapped, _up_to(prices, dates[p - 1]), combos, options=options, strategy_keys=sorted(to_strategy),
            executor=executor, max_workers=max_workers, stats_options=stats_options, progress=progress,
        )
        sweeps.append(table)
        best = _choose(table, metric, ascending, label)
        chosen = combos[best]
        strategy_params = {a: v for a, v in chosen.items() if a in to_strategy}
        run_options = {**options, **{a: v for a, v in chosen.items() if a not in to_strategy}}
        anchor, last = dates[p - 1], dates[hi - 1]
        source = strategy(_up_to(prices, last), **strategy_params) if is_callable else strategy
        if carry:
            # Each window owns the rows that trade inside it: up to the next window's first decision.
            if k == n - 1:
                test_rows.append(_rows_between(source, anchor, end=last))
            else:
                test_rows.append(_rows_between(source, anchor, before=dates[int(spans["test_lo"].iloc[k + 1]) - 1]))
            oos = math.nan
        else:
            report = backtest(_rows_between(source, anchor, end=last), _bars(px, p - 1, hi), **run_options)
            test_reports.append(report)
            oos = _figure(report.stats(**stats_options), metric)
        trials = int(table["error"].isna().sum())
        rows.append({
            "train_start": dates[lo], "train_end": dates[p - 1], "test_start": dates[p], "test_end": last,
            **{a: chosen.get(a) for a in names},
            f"is_{metric}": _figure(table.loc[best], metric),
            f"oos_{metric}": oos,
            "deflated_sharpe": float(table.loc[best, "deflated_sharpe"]) if "deflated_sharpe" in table else math.nan,
            "n_trials": trials,
        })

    first = int(spans["test_lo"].iloc[0]) - 1
    end = int(spans["test_hi"].iloc[-1])
    title = name or f"Walk-forward: {n} test windows, best {metric} (out of sample)"
    meta_note = px.meta.get("note")
    if carry:
        joined = _concat_rows(test_rows)
        report = backtest(joined, _bars(px, first, end), **{**options, "name": title})
        for k, w in enumerate(spans.itertuples(index=False)):
            if metric in CURVE_STATISTICS:
                segment = report.creturn.iloc[int(w.test_lo) - 1 - first:int(w.test_hi) - first]
                rows[k][f"oos_{metric}"] = _figure(Report(segment).stats(**stats_options), metric)
    else:
        params = {
            "walk_forward": f"{n} windows, train={train!r}, test={test!r}, step={step!r}, anchored={anchored}",
            "metric": metric,
            "carry": False,
            **{a: v for a, v in options.items() if a not in ("benchmark", "name")},
        }
        if meta_note:
            params["data_note"] = meta_note
        report = _chain(
            test_reports, [(int(w.test_lo) - 1, int(w.test_hi)) for w in spans.itertuples(index=False)], dates,
            params, options.get("benchmark"), title,
        )
    windows = pd.DataFrame(rows)
    for a in names:
        values = [row[a] for row in rows]
        if any(v is None for v in values):
            # None switches a backtest option off, where NaN is refused: keep it as it was chosen.
            windows[a] = pd.Series(values, index=windows.index, dtype=object)
    windows.index.name = "window"
    ins = windows[f"is_{metric}"].to_numpy(dtype=np.float64)
    outs = windows[f"oos_{metric}"].to_numpy(dtype=np.float64)
    both = np.isfinite(ins) & np.isfinite(outs)
    mean_out = float(outs[both].mean()) if both.any() else math.nan
    ratio = float(ins[both].mean()) / mean_out if both.any() and mean_out != 0 else math.nan
    return WalkForwardResult(
        windows=windows, equity=report.creturn, report=report, is_oos_ratio=ratio, metric=metric, carry=carry,
        sweeps=sweeps, test_reports=test_reports,
    )
