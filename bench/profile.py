"""Run one benchmark workload in a loop, for a profiler to sample.

Usage::

    perf record -g -o perf.data -- .venv/bin/python bench/profile.py U1 30
    valgrind --tool=callgrind .venv/bin/python bench/profile.py U2 1

The universe is built before the loop; with ``--quick`` a small one is used.
With ``--young-gc`` the automatic garbage collector is off and the youngest
generation is collected after each run, as ``run.py`` times a run: the
instruction count of N runs then does not depend on when the collector
happens to run, and (count of 3 runs - count of 1 run) / 2 is that of one
run.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from bench import run as R
    from bench import universe as U
else:
    from . import run as R
    from . import universe as U

MODES = {"U1": ("close", U.u1), "U2": ("intrabar", U.u2), "U3": ("close", U.u3), "PEER": ("peer", U.u1)}


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("workload", choices=sorted(MODES))
    p.add_argument("runs", type=int, nargs="?", default=20)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--young-gc", action="store_true",
                   help="collector off, youngest generation collected after each run")
    opts = p.parse_args(argv)
    mode, build = MODES[opts.workload]
    kw = {"nan_fraction": 0.0} if mode == "peer" else {}
    u = build(200, 500, **kw) if opts.quick else build(**kw)
    from orvane.core import portsim

    was_enabled = gc.isenabled()
    if opts.young_gc:
        gc.collect()
        gc.disable()
    t0 = time.perf_counter()
    try:
        for _ in range(opts.runs):
            args, kwargs = R.backtest_args(u, mode)
            portsim.backtest_(*args, **kwargs)
            if opts.young_gc:
                gc.collect(0)
    finally:
        if was_enabled:
            gc.enable()
    print(f"{opts.workload}: {opts.runs} runs, {(time.perf_counter() - t0) / opts.runs * 1e3:.1f} ms per run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
