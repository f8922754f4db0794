"""Time added by the pandas layer over backtest_ on a large run.

Usage: python bench/layer_overhead.py [--stocks 2000] [--bars 4000] [--repeat 9]

Builds a random universe (dates x stocks) and a monthly target-weight table,
then times ``backtest_`` alone on the arrays the layer prepares and the whole
``orvane.backtest`` call (checks, array preparation, engine, report), and
prints the layer's added time as a share of the engine's.  The trade table
is assembled on first use; its time is printed separately.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

import orvane
from orvane.core import portsim
from orvane.inputs import prepare


def universe(n_stocks: int, n_bars: int, seed: int = 1) -> tuple:
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2000-01-03", periods=n_bars)
    names = [f"S{i:05d}" for i in range(n_stocks)]
    close = 50.0 * np.exp(np.cumsum(rng.normal(0.0002, 0.02, (n_bars, n_stocks)), axis=0))
    close[rng.random((n_bars, n_stocks)) < 0.01] = np.nan
    prices = pd.DataFrame(close, index=dates, columns=names)
    rows = dates[::21]
    w = np.where(rng.random((len(rows), n_stocks)) < 0.1, rng.random((len(rows), n_stocks)), 0.0)
    position = pd.DataFrame(w / w.sum(axis=1, keepdims=True), index=rows, columns=names)
    return prices, position


def best_of(fns: list, repeat: int) -> list:
    """Fastest time of each function, running them in turn so that load on a
    shared machine falls on all of them alike."""
    times = [[] for _ in fns]
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            t = time.perf_counter()
            fn()
            times[k].append(time.perf_counter() - t)
    return [min(t) for t in times]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stocks", type=int, default=2000)
    ap.add_argument("--bars", type=int, default=4000)
    ap.add_argument("--repeat", type=int, default=9)
    args = ap.parse_args()
    prices, position = universe(args.stocks, args.bars)
    options = dict(stop_loss=0.1, take_profit=np.inf, trail_stop=np.inf)

    prepared = prepare(position, prices)

    def engine() -> None:
        # The engine may write into the weight matrix, so each run gets a fresh copy
        # (the layer makes the same copy, inside its own time).
        a = list(prepared.engine_args())
        a[7] = prepared.pos_values.copy()
        portsim.backtest_(*a, **options)

    def layer() -> None:
        orvane.backtest(position, prices, stop_loss=0.1)

    engine()
    layer()
    t_engine, t_layer = best_of([engine, layer], args.repeat)
    report = orvane.backtest(position, prices, stop_loss=0.1)
    t = time.perf_counter()
    report.trades
    t_trades = time.perf_counter() - t
    print(f"universe: {args.stocks} stocks x {args.bars} bars, {len(position)} weight rows, {len(report.trades)} trades")
    print(f"backtest_ alone:  {t_engine * 1000:8.1f} ms")
    print(f"orvane.backtest:  {t_layer * 1000:8.1f} ms")
    print(f"layer overhead:   {(t_layer - t_engine) / t_engine * 100:8.1f} %")
    print(f"trade table, built on first use: {t_trades * 1000:.1f} ms")


if __name__ == "__main__":
    main()
