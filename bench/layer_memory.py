"""Peak memory that ``orvane.backtest`` adds on a daily table rebalanced monthly.

Usage: python bench/layer_memory.py [--stocks 5000] [--bars 5000] [--hold 100] [--resample M]

Builds a daily universe (business days x stocks, float64 closes) and two
daily position tables holding the top ``--hold`` stocks of a random signal:
one boolean, one of float weights.  Each is back-tested with
``resample="M"`` and the peak memory of the call above its start is printed,
in MiB and as a share of one price matrix, measured two ways (see
``bench/run.py``, ``measure_memory``): tracemalloc's peak (every Python
object and NumPy buffer) and the process's resident high-water mark.  The
inputs are built before the measurement and are not counted.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

import numpy as np
import pandas as pd

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from bench.run import measure_memory
else:
    from .run import measure_memory

import orvane

MIB = 1024.0 * 1024.0


def universe(n_stocks: int, n_bars: int, hold: int, seed: int = 3) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Daily closes and a daily boolean table of the ``hold`` best stocks of a random signal."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2000-01-03", periods=n_bars)
    names = [f"S{i:05d}" for i in range(n_stocks)]
    close = np.empty((n_bars, n_stocks))
    close[0] = 50.0
    for d in range(1, n_bars):
        close[d] = close[d - 1] * (1.0 + rng.normal(0.0002, 0.02, n_stocks))
    held = np.zeros((n_bars, n_stocks), dtype=bool)
    signal = rng.normal(size=n_stocks)
    for d in range(n_bars):
        signal = 0.99 * signal + 0.1 * rng.normal(size=n_stocks)
        held[d, np.argpartition(-signal, hold)[:hold]] = True
    return pd.DataFrame(close, index=dates, columns=names), pd.DataFrame(held, index=dates, columns=names)


def main(argv: Any = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stocks", type=int, default=5000)
    ap.add_argument("--bars", type=int, default=5000)
    ap.add_argument("--hold", type=int, default=100)
    ap.add_argument("--resample", default="M")
    args = ap.parse_args(argv)
    prices, held = universe(args.stocks, args.bars, args.hold)
    weights = held.astype(np.float64) / args.hold
    matrix = prices.to_numpy().nbytes
    print(f"{args.stocks} stocks x {args.bars} bars, resample={args.resample!r}: "
          f"one price matrix {matrix / MIB:.1f} MiB, boolean position {held.to_numpy().nbytes / MIB:.1f} MiB")
    print(f"{'position':<10} {'py MiB':>8} {'rss MiB':>8} {'py / matrix':>12} {'rss / matrix':>13}")
    for label, position in (("boolean", held), ("float", weights)):
        def call(_: Any, position: pd.DataFrame = position) -> None:
            report = orvane.backtest(position, prices, resample=args.resample)
            len(report.trades)

        py, rss = measure_memory(call, lambda: None, lambda: None)
        rss_text = f"{rss / MIB:8.1f}" if rss is not None else f"{'-':>8}"
        rss_share = f"{rss / matrix:13.2f}" if rss is not None else f"{'-':>13}"
        print(f"{label:<10} {py / MIB:8.1f} {rss_text} {py / matrix:12.2f} {rss_share}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
