"""Small back-test scenarios built from plain lists, run through backtest_."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

import orvane.core.excursion as excursion
from orvane.core import portsim

NO_COSTS = {"fee_ratio": 0.0, "tax_ratio": 0.0}


def random_ohlc(rng: np.random.Generator, n: int, vol: float) -> tuple[np.ndarray, ...]:
    """A random walk of n bars as (close, open, high, low), in cents, with open/high/low consistent."""
    close = np.round(100 * np.exp(np.cumsum(rng.normal(0, vol, n))), 2)
    opens = np.round(close * np.exp(rng.normal(0, vol / 2, n)), 2)
    high = np.round(np.maximum(opens, close) * (1 + np.abs(rng.normal(0, vol, n))), 2)
    low = np.round(np.minimum(opens, close) * (1 - np.abs(rng.normal(0, vol / 2, n))), 2)
    return close, opens, high, low


def names(n: int, prefix: str = "S") -> np.ndarray:
    return np.array([f"{prefix}{i}" for i in range(n)], dtype=object)


def dates(values: Sequence[int]) -> np.ndarray:
    return np.array(values, dtype=np.int64)


@dataclass
class Result:
    creturn: np.ndarray
    trades: list
    positions: list
    arrays: list
    operations: dict


def run(
    price: Sequence[Sequence[float]],
    weights: Sequence[Sequence[float]],
    *,
    pos_index: Sequence[int] | None = None,
    price_index: Sequence[int] | None = None,
    resample: Sequence[int] | None = None,
    close: Sequence[Sequence[float]] | None = None,
    high: Sequence[Sequence[float]] | None = None,
    low: Sequence[Sequence[float]] | None = None,
    open_: Sequence[Sequence[float]] | None = None,
    price_columns: Any = None,
    pos_columns: Any = None,
    pos_values: np.ndarray | None = None,
    **options: Any,
) -> Result:
    """Runs a back-test; bars are dated 0, 1, 2, ... and, unless given, the
    rows of `weights` are dated on bars 0, 1, ... and every bar may rebalance."""
    p = np.array(price, dtype=np.float64)
    w = np.array(weights, dtype=np.float64) if pos_values is None else pos_values
    bars = p.shape[0]
    c = p if close is None else np.array(close, dtype=np.float64)
    h = p if high is None else np.array(high, dtype=np.float64)
    lo = p if low is None else np.array(low, dtype=np.float64)
    o = p if open_ is None else np.array(open_, dtype=np.float64)
    creturn = portsim.backtest_(
        p, c, h, lo, o,
        dates(range(bars) if price_index is None else price_index),
        names(p.shape[1]) if price_columns is None else price_columns,
        w,
        dates(range(w.shape[0]) if pos_index is None else pos_index),
        names(w.shape[1]) if pos_columns is None else pos_columns,
        dates(range(bars) if resample is None else resample),
        **options,
    )
    return Result(creturn, [list(t) for t in excursion.trades], list(excursion.trade_positions),
                  list(excursion.excursion), portsim.get_stock_operations())
