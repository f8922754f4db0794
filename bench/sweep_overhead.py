"""Time a serial sweep over backtest options takes per combination, against the engine alone.

Usage: python bench/sweep_overhead.py [--quick] [--repeat 3]

On U1 (2,000 stocks x 4,000 bars, monthly top-100 weight rows, 1 % NaN prices;
see ``bench/universe.py``) a weight table is swept over 27 combinations of
the three exit thresholds (stop loss, take profit, trailing stop: 3 values
each, None among them), with U1's other options (its month-end rebalance
dates, excursion window 20 with step 5), in this process
(``executor="serial"``).  The reference is ``backtest_``, the engine's entry
point, called once per combination with the same options on the arrays the
layer hands it (a fresh copy of the weight rows each time, made outside the
timing, since a run may write into them).  ``orvane.backtest(...).stats()``
per combination is timed too.  The three are run in turn ``--repeat`` times
and the best of each is kept, so that load on a shared machine falls on all
of them alike; times are CPU time of this process.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings
from typing import Callable, Optional

import numpy as np
import pandas as pd

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from bench import universe as U
else:
    from . import universe as U

import orvane
from orvane.core import portsim
from orvane.inputs import prepare
from orvane.options import check_stop

GRID = {"stop_loss": [0.05, 0.1, None], "take_profit": [0.2, 0.3, None], "trail_stop": [0.1, 0.15, None]}


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="500 stocks x 1,000 bars")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)
    # U1 holds stocks through NaN runs; every run would say so.
    warnings.simplefilter("ignore", orvane.DataWarning)

    u = U.u1(500, 1000) if args.quick else U.u1()
    dates = pd.DatetimeIndex(u.dates)
    close = pd.DataFrame(u.close, index=dates, columns=u.price_columns, copy=False)
    position = pd.DataFrame(u.pos_values, index=pd.DatetimeIndex(u.pos_index), columns=u.pos_columns)
    options = {"resample": pd.DatetimeIndex(u.resample), "excursion_window": 20, "excursion_window_step": 5}
    combos = [
        {"stop_loss": a, "take_profit": b, "trail_stop": c}
        for a in GRID["stop_loss"] for b in GRID["take_profit"] for c in GRID["trail_stop"]
    ]
    n = len(combos)

    prepared = prepare(position, close, resample=options["resample"])
    engine_args = list(prepared.engine_args())

    def engine() -> float:
        spent = 0.0
        for combo in combos:
            args_ = list(engine_args)
            args_[7] = prepared.pos_values.copy()
            start = time.process_time()
            portsim.backtest_(
                *args_, fee_ratio=0.001425, tax_ratio=0.003,
                stop_loss=check_stop(combo["stop_loss"], "stop_loss"),
                take_profit=check_stop(combo["take_profit"], "take_profit"),
                trail_stop=check_stop(combo["trail_stop"], "trail_stop"),
                touched_exit=False, position_limit=1.0, retain_cost_when_rebalance=False,
                stop_trading_next_period=True, excursion_window=20, excursion_window_step=5,
                periodically_rebalance=True,
            )
            spent += time.process_time() - start
        return spent

    def timed(fn: Callable[[], object]) -> Callable[[], float]:
        def run() -> float:
            start = time.process_time()
            fn()
            return time.process_time() - start
        return run

    sweep = timed(lambda: orvane.sweep(position, close, GRID, options=options, executor="serial", progress=False))
    alone = timed(lambda: [orvane.backtest(position, close, **options, **c).stats() for c in combos])

    # Warm-up: imports, first touch of the price pages, the engine's first run.
    orvane.sweep(position, close, [combos[0]], options=options, executor="serial", progress=False)
    best = [float("inf")] * 3
    for _ in range(args.repeat):
        for k, fn in enumerate((engine, sweep, alone)):
            best[k] = min(best[k], fn())
    e, s, a = (b / n * 1e3 for b in best)
    print(f"U1 {u.shape[1]} stocks x {u.shape[0]} bars, {n} combinations of exit thresholds, serial,"
          f" best of {args.repeat}, CPU ms per combination:")
    print(f"  backtest_ (engine alone)          {e:7.1f}")
    print(f"  orvane.sweep                      {s:7.1f}  ({s / e:.2f}x backtest_)")
    print(f"  orvane.backtest(...).stats()      {a:7.1f}  ({a / e:.2f}x backtest_)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
