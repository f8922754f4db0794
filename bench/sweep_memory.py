"""Memory a sweep adds on one host, by executor and number of workers.

Usage: python bench/sweep_memory.py [--stocks 1500] [--years 12] [--workers 1,2,4]
                                    [--executors dask,spawn,forkserver,fork] [--combos 8]

Builds a daily OHLC universe (``--stocks`` x ``--years`` of business days,
float64; 1,500 x 12 years is 138 MiB) with U1's kind of weight rows (monthly,
100 stocks), starts the executor's workers, imports orvane in them, and then
runs a sweep over ``--combos`` combinations of backtest options with
``touched_exit=True`` (so all four price tables are read).  While the sweep
runs, the proportional set size (PSS) of this process and of every process
below it (pool workers, Dask nannies and workers; the local Dask scheduler
runs in this process) is sampled every 20 ms; the figure printed is the peak
of its sum above the sum before the sweep.  PSS shares each page among the
processes that map it, so memory shared between workers (copy-on-write pages
of a fork, a shared-memory segment) counts once, and a private copy in each
worker counts once per worker.  Linux only (reads /proc/PID/smaps_rollup).

Executors: ``dask`` (a LocalCluster of worker processes with one thread
each), ``spawn``, ``forkserver`` and ``fork`` (a ProcessPoolExecutor of that
start method, passed to the sweep; its processes start before the
measurement), and ``own`` (the sweep's own pool, ``executor="process"``,
whose start-up is part of the sweep).
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import threading
import time
import warnings
from concurrent.futures import ProcessPoolExecutor
from typing import Any, Callable, Optional

import numpy as np
import pandas as pd

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from bench import universe as U
else:
    from . import universe as U

import orvane

MIB = 1024.0 * 1024.0


def build(n_stocks: int, years: float) -> tuple[orvane.Prices, pd.DataFrame, int]:
    """An OHLC universe with monthly top-100 weight rows, and the bytes of its four price tables."""
    u = U.make_universe(n_stocks, int(round(years * 252)), ohlc=True)
    dates = pd.DatetimeIndex(u.dates)
    frames = {
        name: pd.DataFrame(getattr(u, name), index=dates, columns=u.price_columns, copy=False)
        for name in ("open", "high", "low", "close")
    }
    prices = orvane.Prices(**frames)
    position = pd.DataFrame(u.pos_values, index=pd.DatetimeIndex(u.pos_index), columns=u.pos_columns)
    size = sum(f.to_numpy().nbytes for f in frames.values())
    return prices, position, size


def pss_bytes(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def tree_pids() -> list[int]:
    """This process and every process below it."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # The parent is the second field after the command name, which may hold spaces.
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    out, todo = [], [os.getpid()]
    while todo:
        pid = todo.pop()
        out.append(pid)
        todo.extend(children.get(pid, []))
    return out


def tree_pss() -> int:
    return sum(pss_bytes(pid) for pid in tree_pids())


class PeakSampler:
    """Samples the PSS of the process tree in a thread until stopped; keeps the peak."""

    def __init__(self, interval: float = 0.02) -> None:
        self.interval = interval
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop.is_set():
            self.peak = max(self.peak, tree_pss())
            self._stop.wait(self.interval)

    def __enter__(self) -> "PeakSampler":
        self._thread.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, tree_pss())


def _import_orvane() -> int:
    import orvane  # noqa: F401

    return os.getpid()


def measure(run: Callable[[], pd.DataFrame]) -> tuple[int, pd.DataFrame]:
    time.sleep(0.5)
    base = tree_pss()
    with PeakSampler() as sampler:
        table = run()
    return sampler.peak - base, table


def dask_case(workers: int, sweep: Callable[[Any], pd.DataFrame]) -> tuple[int, pd.DataFrame]:
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(_import_orvane)
        return measure(lambda: sweep(client))


def pool_case(method: str, workers: int, sweep: Callable[[Any], pd.DataFrame]) -> tuple[int, pd.DataFrame]:
    with ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context(method)) as pool:
        # Every worker starts and imports orvane before the measurement.
        pids = set()
        while len(pids) < workers:
            pids |= set(pool.map(_import_orvane_slowly, range(workers)))
        return measure(lambda: sweep(pool))


def _import_orvane_slowly(_: int) -> int:
    time.sleep(0.3)
    return _import_orvane()


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stocks", type=int, default=1500)
    ap.add_argument("--years", type=float, default=12.0)
    ap.add_argument("--workers", default="1,2,4")
    ap.add_argument("--executors", default="dask,spawn,forkserver,fork")
    ap.add_argument("--combos", type=int, default=8)
    args = ap.parse_args(argv)

    # The universe has NaN runs that held stocks meet: each sweep would say so.
    warnings.simplefilter("ignore", orvane.DataWarning)
    prices, position, size = build(args.stocks, args.years)
    stops = [0.05, 0.1, 0.15, 0.2, 0.25, 0.3, 0.35, 0.4, 0.45, 0.5, None][: max(args.combos, 1)]
    grid = {"stop_loss": stops}
    options = {"resample": "M", "touched_exit": True}
    print(f"{args.stocks} stocks x {len(prices.index)} bars, open/high/low/close: {size / MIB:.0f} MiB of prices;"
          f" {len(stops)} combinations, touched_exit=True")
    print(f"orvane at {os.path.dirname(orvane.__file__)}")

    reference = orvane.sweep(position, prices, grid, options=options, executor="serial", progress=False)

    def sweep(executor: Any) -> pd.DataFrame:
        return orvane.sweep(position, prices, grid, options=options, executor=executor, progress=False)

    print(f"{'executor':<12} {'workers':>7} {'added MiB':>10} {'x data':>7} {'x 1 worker':>11}")
    for kind in (k.strip() for k in args.executors.split(",") if k.strip()):
        first: Optional[int] = None
        for workers in (int(w) for w in args.workers.split(",")):
            if kind == "dask":
                added, table = dask_case(workers, sweep)
            elif kind == "own":
                added, table = measure(lambda: orvane.sweep(position, prices, grid, options=options,
                                                            executor="process", max_workers=workers,
                                                            progress=False))
            else:
                added, table = pool_case(kind, workers, sweep)
            pd.testing.assert_frame_equal(reference, table, check_exact=True)
            first = added if first is None else first
            print(f"{kind:<12} {workers:>7} {added / MIB:>10.0f} {added / size:>7.2f} {added / first:>11.2f}",
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
