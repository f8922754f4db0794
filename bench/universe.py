"""Deterministic synthetic stock universes for the benchmarks.

Every random stream is derived from one seed through ``numpy.random.SeedSequence``
children, one per concern (prices, bar shapes, gaps, signal), so switching a
feature off (for example the NaN gaps for the peer comparison) leaves every other
array bit-identical.

Price matrices are float64, one row per bar and one column per price column, and
are generated in place so that the peak memory of a build is about one matrix per
requested price plus a few row blocks.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional

import numpy as np

# Rows handled per block when deriving open/high/low, so temporaries stay small.
_BLOCK_ROWS = 256

_STREAM_PRICES, _STREAM_SHAPES, _STREAM_GAPS, _STREAM_SIGNAL, _STREAM_ORDER = range(5)


@dataclass
class Universe:
    """Inputs of one back-test, laid out the way ``backtest_`` takes them.

    Attributes
    ----------
    dates : numpy.ndarray
        int64 nanoseconds since the epoch, one per bar (business days).
    price_columns, pos_columns : numpy.ndarray
        Object arrays of stock names; ``pos_columns`` is a permutation of
        ``price_columns``.
    close : numpy.ndarray
        float64 close prices, bar x price column (also used as the trade price).
    open, high, low : numpy.ndarray or None
        Consistent bar shapes (low <= min(open, close) <= max(open, close) <= high),
        present when requested.
    pos_values : numpy.ndarray
        float64 target weights, weight row x position column.
    pos_index : numpy.ndarray
        int64 dates of the weight rows.
    resample : numpy.ndarray
        int64 dates on which a rebalance may be decided.
    rebalance_bars : numpy.ndarray
        Bar index of each weight row (the bar it is dated on).
    nan_fraction : float
        Measured fraction of NaN cells in the price matrices.
    turnover : float
        Mean fraction of the holdings replaced from one weight row to the next.
    """

    dates: np.ndarray
    price_columns: np.ndarray
    pos_columns: np.ndarray
    close: np.ndarray
    open: Optional[np.ndarray]
    high: Optional[np.ndarray]
    low: Optional[np.ndarray]
    pos_values: np.ndarray
    pos_index: np.ndarray
    resample: np.ndarray
    rebalance_bars: np.ndarray
    nan_fraction: float
    turnover: float
    meta: dict = field(default_factory=dict)

    @property
    def shape(self) -> tuple[int, int]:
        return self.close.shape

    def price_bytes(self) -> int:
        """Size in bytes of one price matrix."""
        return int(self.close.nbytes)


def business_dates(n_bars: int, start: str = "2000-01-03") -> np.ndarray:
    """Return `n_bars` consecutive weekdays from `start` as int64 nanoseconds."""
    first = np.datetime64(start, "D")
    days = first + np.arange(n_bars * 7 // 5 + 7)
    # 1970-01-01 was a Thursday, so (days since epoch + 3) % 7 is 0 on Mondays.
    weekday = (days.astype(np.int64) + 3) % 7
    bdays = days[weekday < 5][:n_bars]
    return bdays.astype("datetime64[ns]").astype(np.int64)


def month_end_bars(dates: np.ndarray) -> np.ndarray:
    """Indices of the last bar of every month that is complete within `dates`."""
    months = dates.astype("datetime64[ns]").astype("datetime64[M]")
    return np.flatnonzero(months[:-1] != months[1:])


def _children(seed: int, n_stocks: int, n_bars: int) -> list[np.random.Generator]:
    root = np.random.SeedSequence([seed, n_stocks, n_bars])
    return [np.random.default_rng(s) for s in root.spawn(5)]


def random_walk_close(rng: np.random.Generator, n_bars: int, n_stocks: int) -> np.ndarray:
    """Geometric random walks with per-stock volatility, built in one buffer."""
    vol = rng.uniform(0.01, 0.03, n_stocks)
    drift = rng.normal(0.0002, 0.0003, n_stocks)
    start = np.log(rng.uniform(10.0, 200.0, n_stocks))
    close = rng.standard_normal((n_bars, n_stocks))
    close *= vol
    close += drift
    close[0] += start
    np.cumsum(close, axis=0, out=close)
    np.exp(close, out=close)
    return close


def bar_shapes(
    rng: np.random.Generator, close: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Open, high and low consistent with `close`, built in row blocks.

    The open gaps from the previous close; high and low extend beyond the body
    of the bar by a random fraction.
    """
    n_bars, n_stocks = close.shape
    open_ = np.empty_like(close)
    high = np.empty_like(close)
    low = np.empty_like(close)
    for lo in range(0, n_bars, _BLOCK_ROWS):
        hi = min(lo + _BLOCK_ROWS, n_bars)
        rows = hi - lo
        prev = np.empty((rows, n_stocks))
        prev[1:] = close[lo : hi - 1]
        prev[0] = close[lo - 1] if lo > 0 else close[0]
        np.multiply(prev, np.exp(rng.normal(0.0, 0.005, (rows, n_stocks))), out=open_[lo:hi])
        body_hi = np.maximum(open_[lo:hi], close[lo:hi])
        body_lo = np.minimum(open_[lo:hi], close[lo:hi])
        np.multiply(body_hi, np.exp(np.abs(rng.normal(0.0, 0.008, (rows, n_stocks)))), out=high[lo:hi])
        np.multiply(body_lo, np.exp(-np.abs(rng.normal(0.0, 0.008, (rows, n_stocks)))), out=low[lo:hi])
    return open_, high, low


def nan_run_layout(
    rng: np.random.Generator, n_bars: int, n_stocks: int, fraction: float, max_run: int = 20
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Start bar, length (1..`max_run`) and column of NaN runs covering about `fraction`."""
    mean_run = (1 + max_run) / 2
    count = int(round(fraction * n_bars * n_stocks / mean_run))
    lengths = rng.integers(1, max_run + 1, count)
    cols = rng.integers(0, n_stocks, count)
    starts = rng.integers(0, n_bars, count)
    return starts, lengths, cols


def nan_runs(
    rng: np.random.Generator, n_bars: int, n_stocks: int, fraction: float, max_run: int = 20
) -> tuple[np.ndarray, np.ndarray]:
    """Row and column indices of the cells of the runs of `nan_run_layout`."""
    starts, lengths, cols = nan_run_layout(rng, n_bars, n_stocks, fraction, max_run)
    offsets = np.arange(lengths.sum()) - np.repeat(np.cumsum(lengths) - lengths, lengths)
    rows = np.repeat(starts, lengths) + offsets
    cols = np.repeat(cols, lengths)
    keep = rows < n_bars
    return rows[keep], cols[keep]


def _holdings_turnover(rng: np.random.Generator, n: int, top: int, rho: float, steps: int) -> float:
    innov = np.sqrt(1.0 - rho * rho)
    s = rng.standard_normal(n)
    prev = np.zeros(n, dtype=bool)
    prev[np.argpartition(-s, top)[:top]] = True
    changed = 0
    for _ in range(steps):
        s = rho * s + innov * rng.standard_normal(n)
        cur = np.zeros(n, dtype=bool)
        cur[np.argpartition(-s, top)[:top]] = True
        changed += int(np.count_nonzero(cur & ~prev))
        prev = cur
    return changed / (steps * top)


def persistence_for_turnover(n: int, top: int, target: float) -> float:
    """AR(1) persistence of the signal whose top-`top` set turns over `target` per row.

    Found by bisection on a short fixed-seed simulation, so it is deterministic.
    """
    lo, hi = 0.0, 0.999
    for _ in range(12):
        mid = (lo + hi) / 2
        got = _holdings_turnover(np.random.default_rng(12345), n, top, mid, 120)
        if got > target:
            lo = mid
        else:
            hi = mid
    return (lo + hi) / 2


def top_n_weights(
    rng: np.random.Generator, n_rows: int, n_stocks: int, top: int, turnover: float
) -> tuple[np.ndarray, float]:
    """Equal-weight rows holding the `top` stocks of a persistent random signal.

    Returns the weights (row x price column) and the measured mean turnover.
    """
    top = min(top, n_stocks)
    rho = persistence_for_turnover(n_stocks, top, turnover) if top < n_stocks else 0.0
    innov = np.sqrt(1.0 - rho * rho)
    weights = np.zeros((n_rows, n_stocks))
    s = rng.standard_normal(n_stocks)
    changed = 0
    prev: Optional[np.ndarray] = None
    for k in range(n_rows):
        if k:
            s = rho * s + innov * rng.standard_normal(n_stocks)
        chosen = np.argpartition(-s, top - 1)[:top] if top < n_stocks else np.arange(n_stocks)
        weights[k, chosen] = 1.0 / top
        if prev is not None:
            changed += int(np.count_nonzero((weights[k] != 0) & (prev == 0)))
        prev = weights[k]
    measured = changed / ((n_rows - 1) * top) if n_rows > 1 else 0.0
    return weights, measured


def make_universe(
    n_stocks: int,
    n_bars: int,
    *,
    seed: int = 20261208,
    holdings: int = 100,
    every_bar: bool = False,
    turnover: float = 0.5,
    nan_fraction: float = 0.01,
    ohlc: bool = False,
) -> Universe:
    """Build a synthetic universe and its weight rows.

    Parameters
    ----------
    n_stocks, n_bars : int
        Size of the price matrices.
    seed : int
        Root seed; the same arguments always give the same arrays.
    holdings : int
        Stocks held at equal weight in every weight row.
    every_bar : bool
        False: one weight row and one rebalance date per month (the last bar of
        each complete month). True: a weight row and a rebalance date on every bar.
    turnover : float
        Wanted fraction of the holdings replaced from one row to the next.
    nan_fraction : float
        Fraction of price cells set to NaN, in runs of 1 to 20 bars (0 for none).
    ohlc : bool
        Also build open, high and low.
    """
    rng_prices, rng_shapes, rng_gaps, rng_signal, rng_order = _children(seed, n_stocks, n_bars)
    dates = business_dates(n_bars)
    close = random_walk_close(rng_prices, n_bars, n_stocks)
    open_ = high = low = None
    if ohlc:
        open_, high, low = bar_shapes(rng_shapes, close)

    measured_nan = 0.0
    if nan_fraction > 0:
        rows, cols = nan_runs(rng_gaps, n_bars, n_stocks, nan_fraction)
        for m in (close, open_, high, low):
            if m is not None:
                m[rows, cols] = np.nan
        measured_nan = float(np.count_nonzero(np.isnan(close)) / close.size)

    names = np.array([f"S{i:05d}" for i in range(n_stocks)], dtype=object)
    perm = rng_order.permutation(n_stocks)
    price_columns = names
    pos_columns = names[perm]

    rebalance_bars = np.arange(n_bars) if every_bar else month_end_bars(dates)
    weights, measured_turnover = top_n_weights(
        rng_signal, len(rebalance_bars), n_stocks, holdings, turnover
    )
    # Column j of the weight matrix belongs to stock perm[j].
    pos_values = np.ascontiguousarray(weights[:, perm])
    pos_index = dates[rebalance_bars].copy()
    resample = pos_index.copy()

    return Universe(
        dates=dates,
        price_columns=price_columns,
        pos_columns=pos_columns,
        close=close,
        open=open_,
        high=high,
        low=low,
        pos_values=pos_values,
        pos_index=pos_index,
        resample=resample,
        rebalance_bars=rebalance_bars,
        nan_fraction=measured_nan,
        turnover=measured_turnover,
        meta={"seed": seed, "holdings": holdings, "every_bar": every_bar, "perm": perm},
    )


def u1(n_stocks: int = 2000, n_bars: int = 4000, **kw) -> Universe:
    """U1: monthly equal-weight top-100 rows, 1% NaN prices in runs."""
    return make_universe(n_stocks, n_bars, **kw)


def u2(n_stocks: int = 2000, n_bars: int = 4000, **kw) -> Universe:
    """U2: U1 with consistent open/high/low for the intrabar exit test."""
    return make_universe(n_stocks, n_bars, ohlc=True, **kw)


def u3(n_stocks: int = 500, n_bars: int = 2500, **kw) -> Universe:
    """U3: a new 50-stock row on every bar, rebalancing allowed on every bar."""
    kw.setdefault("holdings", 50)
    return make_universe(n_stocks, n_bars, every_bar=True, **kw)


U4_STOCKS = (500, 1000, 2000, 4000)
U4_BARS = (1000, 2000, 4000)
