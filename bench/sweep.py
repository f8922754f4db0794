"""Throughput of orvane.sweep on the U1 workload: combinations per second by executor.

The sweep varies the three exit thresholds and the number of stocks held over
U1 (2,000 stocks x 4,000 bars, monthly rows from a random signal, 1% NaN prices,
excursion window 20 with step 5): 5 stop-loss x 5 take-profit x 5 trailing-stop
x 8 holding counts = 1,000 combinations.  It runs the same sweep in this process
(serial) and on process pools of 1 and 2 workers, checks that the three tables
are identical, and prints combinations per second.  Timings include starting
the pool and sending it the data, as a user would see them.

Run ``python bench/sweep.py --help`` for the options (quick mode, Dask, JSON).
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import resource
import sys
import time
import warnings
from typing import Any, Optional

import numpy as np
import pandas as pd

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from bench import universe as U
else:
    from . import universe as U

import orvane

FULL_GRID = {
    "holdings": [25, 50, 75, 100, 125, 150, 200, 250],
    "stop_loss": [0.05, 0.1, 0.15, 0.2, None],
    "take_profit": [0.2, 0.3, 0.4, 0.6, None],
    "trail_stop": [0.1, 0.15, 0.2, 0.3, None],
}
QUICK_GRID = {
    "holdings": [25, 50, 100, 150],
    "stop_loss": [0.1, None],
    "take_profit": [0.2, 0.3, None],
    "trail_stop": [0.1, 0.15, 0.2, None],
}


def signal_rows(u: U.Universe) -> np.ndarray:
    """The random signal behind the universe's weight rows (row x position column).

    Replays the generator's signal stream, so the top 100 of each row are
    exactly the stocks of the universe's own weight rows (checked by the caller).
    """
    n_bars, n_stocks = u.shape
    holdings = int(u.meta["holdings"])
    rng = U._children(int(u.meta["seed"]), n_stocks, n_bars)[U._STREAM_SIGNAL]
    rho = U.persistence_for_turnover(n_stocks, holdings, 0.5) if holdings < n_stocks else 0.0
    innov = np.sqrt(1.0 - rho * rho)
    rows = np.empty((len(u.rebalance_bars), n_stocks))
    s = rng.standard_normal(n_stocks)
    for k in range(len(rows)):
        if k:
            s = rho * s + innov * rng.standard_normal(n_stocks)
        rows[k] = s
    return rows[:, u.meta["perm"]]


class TopN:
    """Strategy: hold the ``holdings`` stocks with the highest signal, equally weighted."""

    def __init__(self, signal: np.ndarray, dates: pd.DatetimeIndex, columns: np.ndarray) -> None:
        self.signal = signal
        self.dates = dates
        self.columns = columns

    def __call__(self, prices: Any, holdings: int) -> pd.DataFrame:
        n = self.signal.shape[1]
        top = min(int(holdings), n)
        weights = np.zeros_like(self.signal)
        for k, s in enumerate(self.signal):
            chosen = np.argpartition(-s, top - 1)[:top] if top < n else np.arange(n)
            weights[k, chosen] = 1.0 / top
        return pd.DataFrame(weights, index=self.dates, columns=self.columns)


def build(quick: bool, small_grid: bool = False) -> tuple[pd.DataFrame, TopN, dict, dict, tuple[int, int]]:
    u = U.u1(500, 1000) if quick else U.u1()
    dates = pd.DatetimeIndex(u.dates)
    close = pd.DataFrame(u.close, index=dates, columns=u.price_columns)
    strategy = TopN(signal_rows(u), pd.DatetimeIndex(u.pos_index), u.pos_columns)
    check = strategy(close, int(u.meta["holdings"]))
    if not np.array_equal(check.to_numpy(), u.pos_values):
        raise SystemExit("the replayed signal does not reproduce the universe's weight rows")
    options = {
        "resample": pd.DatetimeIndex(u.resample),
        "excursion_window": 20,
        "excursion_window_step": 5,
    }
    grid = QUICK_GRID if quick or small_grid else FULL_GRID
    return close, strategy, options, grid, u.shape


def shared_cpu_note() -> str:
    """A warning when the kernel shares the CPUs between sessions rather than processes."""
    try:
        with open("/proc/sys/kernel/sched_autogroup_enabled") as f:
            enabled = f.read().strip() == "1"
    except OSError:
        return ""
    if not enabled or os.getloadavg()[0] < 1.0:
        return ""
    return (" (the kernel's autogroup scheduling splits the CPUs between busy sessions, so while"
            " other sessions run, more worker processes do not get this one more CPU time)")


def _proc_cpu(pid: str) -> float:
    """CPU seconds of a process and of its children that it has waited for, from /proc."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    # utime, stime, cutime, cstime are fields 14-17 of the line, 12-15 after the command name.
    return sum(int(x) for x in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def _descendants() -> list[str]:
    children: dict[str, list[str]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    children.setdefault(f.read().rsplit(")", 1)[1].split()[1], []).append(entry)
            except OSError:
                pass
    out, todo = [], [str(os.getpid())]
    while todo:
        for child in children.get(todo.pop(), []):
            out.append(child)
            todo.append(child)
    return out


def cpu_seconds() -> float:
    """CPU time of this process and of every process below it, running or finished.

    A finished process's time is in its parent's count of waited-for children, so
    the pool's workers, Dask's nannies and their workers are all counted.
    """
    if os.path.exists("/proc/self/stat"):
        return _proc_cpu("self") + sum(_proc_cpu(pid) for pid in _descendants())
    total = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


def run_mode(label: str, close: pd.DataFrame, strategy: TopN, grid: dict, options: dict, executor: Any,
             workers: Optional[int]) -> tuple[pd.DataFrame, float]:
    before = cpu_seconds()
    start = time.perf_counter()
    table = orvane.sweep(strategy, close, grid, options=options, executor=executor, max_workers=workers)
    seconds = time.perf_counter() - start
    table.attrs["cpu_seconds"] = cpu_seconds() - before
    failed = table["error"].notna().sum()
    if failed:
        raise SystemExit(f"{label}: {failed} combinations failed, first: {table['error'].dropna().iloc[0]}")
    return table, seconds


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="500 stocks x 1,000 bars, 96 combinations")
    parser.add_argument("--small-grid", action="store_true", help="U1 itself with the 96 combinations of --quick")
    parser.add_argument("--workers", default="1,2", help="process pool sizes to time (default 1,2)")
    parser.add_argument("--no-serial", action="store_true", help="skip the in-process run")
    parser.add_argument("--dask", action="store_true", help="also time a local Dask cluster of worker processes")
    parser.add_argument("--dask-workers", type=int, default=2, help="worker processes of the Dask cluster (default 2)")
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args(argv)

    t0 = time.perf_counter()
    # U1 holds stocks through NaN runs; every run would say so.
    warnings.simplefilter("ignore", orvane.DataWarning)
    close, strategy, options, grid, shape = build(args.quick, args.small_grid)
    n_combos = int(np.prod([len(v) for v in grid.values()]))
    print(f"orvane.sweep benchmark: U1 {shape[1]} stocks x {shape[0]} bars, {n_combos} combinations"
          f" ({' x '.join(f'{len(v)} {k}' for k, v in grid.items())})")
    print(f"machine: {platform.machine()}, {os.cpu_count()} CPUs ({len(os.sched_getaffinity(0))} usable),"
          f" Python {platform.python_version()}, {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC")
    print(f"universe built in {time.perf_counter() - t0:.1f} s")
    print(f"load average at start: {os.getloadavg()[0]:.1f}{shared_cpu_note()}")

    # Warm-up: imports, first-touch of the price pages, the engine's first run.
    orvane.sweep(strategy, close, [{k: v[0] for k, v in grid.items()}], options=options, executor="serial")
    # U1 itself (100 holdings, its three stops) as one plain call, for reference.
    times = []
    for _ in range(3):
        start = time.perf_counter()
        orvane.backtest(strategy(close, 100), close, stop_loss=0.1, take_profit=0.3, trail_stop=0.15, **options).stats()
        times.append(time.perf_counter() - start)
    single = sorted(times)[1]
    print(f"U1 alone (strategy, backtest, stats), median of 3: {single * 1e3:.0f} ms")

    modes: list[tuple[str, Any, Optional[int]]] = []
    if not args.no_serial:
        modes.append(("serial", "serial", None))
    for w in (int(x) for x in args.workers.split(",") if x.strip()):
        modes.append((f"{w} process{'es' if w > 1 else ''}", "process", w))

    rows = []
    reference: Optional[pd.DataFrame] = None
    for label, executor, workers in modes:
        table, seconds = run_mode(label, close, strategy, grid, options, executor, workers)
        load = os.getloadavg()[0]
        cpu = table.attrs.pop("cpu_seconds")
        rows.append({"executor": label, "workers": workers or 1, "seconds": seconds,
                     "combos_per_s": n_combos / seconds, "cpu_seconds": cpu, "load_1min": load})
        # CPU seconds per wall second and the load average show how much of the
        # machine the run got while other work ran.
        print(f"  {label:<12} {seconds:8.1f} s  {n_combos / seconds:8.2f} combinations/s"
              f"  {cpu / seconds:4.2f} CPUs busy  {cpu / n_combos * 1e3:6.1f} ms CPU per combination"
              f"  (load average {load:.1f})", flush=True)
        if reference is None:
            reference = table
        else:
            pd.testing.assert_frame_equal(reference, table, check_exact=True)

    if args.dask:
        from distributed import Client, LocalCluster

        workers = args.dask_workers
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            # The workers import orvane before the timing, as a pool's processes do at start-up.
            client.run(lambda: __import__("orvane") and None)
            table, seconds = run_mode("dask", close, strategy, grid, options, client, None)
        load = os.getloadavg()[0]
        cpu = table.attrs.pop("cpu_seconds")
        label = f"dask {workers}"
        rows.append({"executor": f"dask {workers} workers", "workers": workers, "seconds": seconds,
                     "combos_per_s": n_combos / seconds, "cpu_seconds": cpu, "load_1min": load})
        print(f"  {label:<12} {seconds:8.1f} s  {n_combos / seconds:8.2f} combinations/s"
              f"  {cpu / seconds:4.2f} CPUs busy  {cpu / n_combos * 1e3:6.1f} ms CPU per combination"
              f"  (load average {load:.1f}; cluster start not timed)", flush=True)
        if reference is not None:
            pd.testing.assert_frame_equal(reference, table, check_exact=True)
        pool = next((r for r in rows if r["workers"] == workers and r["executor"].endswith(("process", "processes"))),
                    None)
        if pool is not None:
            print(f"dask / process pool with {workers} workers: {rows[-1]['combos_per_s'] / pool['combos_per_s']:.2f}x"
                  f" the combinations per second, {cpu / pool['cpu_seconds']:.2f}x the CPU time")

    if reference is not None and len(rows) > 1:
        print("all tables identical")
    base = next((r for r in rows if r["executor"] != "serial"), None)
    for r in rows:
        if base is not None and r is not base and r["executor"] != "serial":
            print(f"speed-up of {r['executor']} over {base['executor']}: {r['combos_per_s'] / base['combos_per_s']:.2f}x")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"combinations": n_combos, "shape": list(shape), "single_ms": single * 1e3, "runs": rows}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
