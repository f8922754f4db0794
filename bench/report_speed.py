"""Time the waits of a report reader: ``Report.to_html`` and ``orvane --help``.

Usage: python bench/report_speed.py [--repeat 7] [--baseline DIR] [--no-u1]

Rows:

- ``to_html`` of an 800-stock, 12-year run rebalanced monthly: the built-in
  synthetic market (``sample_market(n_stocks=800, years=12, seed=1)``), the
  12-1 momentum top 40, a 15 % stop, excursion window 20 step 5;
- ``to_html`` of U1 (``bench/universe.py``: 2,000 stocks x 4,000 bars, its
  monthly top-100 rows, stops and excursion window) run through
  ``orvane.backtest``;
- ``orvane --help``: the console script's entry point in a fresh process.

Each ``to_html`` time is of a fresh report, so that the call assembles the
trade table and the statistics as a reader's first call does (the back-test
itself is not timed), in a process that has made one page already (imports
done); the first page of a fresh process is printed as well.  Each row runs
in processes of its own.

``--baseline DIR`` times another orvane package as well, in alternation
with this one, and prints the ratio (figures on a shared machine are noisy;
the ratio of alternating runs is steadier).  DIR is put first on
``PYTHONPATH``; for an older revision of the Python layer on this build of
the engine::

    mkdir -p /tmp/base && git archive REV src/orvane | tar -x -C /tmp/base
    cp "$(python -c 'import orvane.core, os; print(os.path.dirname(orvane.core.__file__))')"/*.so \\
       /tmp/base/src/orvane/core/
    python bench/report_speed.py --baseline /tmp/base/src
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from typing import Optional

HERE = os.path.dirname(os.path.abspath(__file__))


def _market_report():
    import orvane
    from orvane.datasets import momentum_position, sample_market

    market = sample_market(n_stocks=800, years=12, seed=1)
    position = momentum_position(market.close, top=40)

    def make():
        return orvane.backtest(position, market, resample="M", stop_loss=0.15, excursion_window=20,
                               excursion_window_step=5)

    return make


def _u1_report():
    import pandas as pd

    import orvane

    sys.path.insert(0, HERE)
    import universe as U

    u = U.u1()
    dates = pd.DatetimeIndex(u.dates.astype("datetime64[ns]"))
    close = pd.DataFrame(u.close, index=dates, columns=u.price_columns)
    rows = pd.DatetimeIndex(u.pos_index.astype("datetime64[ns]"))
    position = pd.DataFrame(u.pos_values, index=rows, columns=u.pos_columns)

    def make():
        return orvane.backtest(position.copy(), close, resample=rows, stop_loss=0.1, take_profit=0.3,
                               trail_stop=0.15, excursion_window=20, excursion_window_step=5)

    return make


def child(workload: str, repeat: int) -> None:
    """Run in a fresh process: print the times of the page as JSON."""
    warnings.simplefilter("ignore")
    make = _market_report() if workload == "market" else _u1_report()
    times = []
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "report.html")
        for k in range(repeat + 1):
            report = make()
            start = time.perf_counter()
            report.to_html(path)
            times.append(time.perf_counter() - start)
        size = os.path.getsize(path)
    print(json.dumps({"first": times[0], "times": times[1:], "trades": len(report.trades), "bytes": size}))


def _env(tree: Optional[str]) -> dict:
    env = dict(os.environ, MPLBACKEND="Agg")
    if tree:
        env["PYTHONPATH"] = tree + os.pathsep + env.get("PYTHONPATH", "")
    return env


def page_times(workload: str, tree: Optional[str], repeat: int) -> dict:
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", workload, "--repeat", str(repeat)],
                         capture_output=True, text=True, env=_env(tree), check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def help_time(tree: Optional[str]) -> float:
    code = "import sys; from orvane.cli import main; sys.exit(main())"
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code, "--help"], capture_output=True, env=_env(tree), check=True)
    return time.perf_counter() - start


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--baseline", help="a directory holding another orvane package, timed in alternation")
    ap.add_argument("--no-u1", action="store_true", help="leave out the U1 row")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child, args.repeat)
        return

    trees = [("this", None)] + ([("baseline", args.baseline)] if args.baseline else [])
    rows = []
    workloads = [("market", "to_html, 800 stocks x 12 years, monthly")]
    if not args.no_u1:
        workloads.append(("u1", "to_html, U1 (2,000 x 4,000)"))
    for workload, label in workloads:
        found = {name: [] for name, _ in trees}
        firsts = {name: [] for name, _ in trees}
        info = {}
        # Three processes per tree, in alternation, each timing repeat pages.
        for _ in range(3):
            for name, tree in trees:
                res = page_times(workload, tree, args.repeat)
                found[name] += res["times"]
                firsts[name].append(res["first"])
                info[name] = res
        rows.append((label, {n: (statistics.median(t), min(t), statistics.median(firsts[n])) for n, t in found.items()},
                     info))
    helps = {name: [] for name, _ in trees}
    for _ in range(3 * args.repeat):
        for name, tree in trees:
            helps[name].append(help_time(tree))

    print(f"{'row':<42} {'tree':<9} {'median s':>9} {'best s':>8} {'first s':>8}  notes")
    for label, figures, info in rows:
        for name, (med, best, first) in figures.items():
            note = f"{info[name]['trades']:,} trades, page {info[name]['bytes'] / 1e6:.2f} MB"
            print(f"{label:<42} {name:<9} {med:>9.3f} {best:>8.3f} {first:>8.3f}  {note}")
        if len(figures) > 1:
            print(f"{'':<42} {'ratio':<9} {figures['baseline'][0] / figures['this'][0]:>9.1f}x")
    for name, t in helps.items():
        print(f"{'orvane --help (fresh process)':<42} {name:<9} {statistics.median(t):>9.3f} {min(t):>8.3f}")
    if len(helps) > 1:
        print(f"{'':<42} {'ratio':<9} {statistics.median(helps['baseline']) / statistics.median(helps['this']):>9.1f}x")
    print(f"load average: {' '.join(f'{v:.1f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
