"""Time of ``orvane.datasets.sample_market`` against NumPy drawing one matrix of the same size.

Usage: python bench/sample_market.py [--stocks 2000] [--years 15] [--repeat 5]

The reference is what any generator of such a market must at least do: draw
one bars x stocks matrix of normal returns and accumulate it along the bars
(``rng.standard_normal((bars, stocks)).cumsum(axis=0)``).  Both are run in
turn ``--repeat`` times so that load on a shared machine falls on both alike;
the best CPU time of each (this process's, page faults included) and their
ratio are printed.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Callable, Optional

import numpy as np

from orvane.datasets import sample_market


def best_of(fns: list[Callable[[], object]], repeat: int) -> list[float]:
    times: list[list[float]] = [[] for _ in fns]
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            start = time.process_time()
            fn()
            times[k].append(time.process_time() - start)
    return [min(t) for t in times]


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stocks", type=int, default=2000)
    ap.add_argument("--years", type=float, default=15.0)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args(argv)
    n_bars = max(int(round(args.years * 252)), 2)

    def draw() -> object:
        return np.random.default_rng(1).standard_normal((n_bars, args.stocks)).cumsum(axis=0)

    def market() -> object:
        return sample_market(n_stocks=args.stocks, years=args.years)

    reference, generated = best_of([draw, market], args.repeat)
    print(f"{args.stocks} stocks x {n_bars} bars, best CPU time of {args.repeat}:")
    print(f"  NumPy draw and accumulate one matrix  {reference:6.3f} s")
    print(f"  sample_market                         {generated:6.3f} s  ({generated / reference:.1f}x the draw)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
