"""Benchmark of the orvane engine on synthetic whole-market universes.

Workloads
---------
U1   2,000 stocks x 4,000 bars, close mode, monthly equal-weight top-100 rows,
     1% NaN prices in runs, default fee and tax, stop loss 0.1, take profit 0.3,
     trailing stop 0.15, excursion window 20 with step 5.
U2   U1 in intrabar mode (touched_exit) with consistent open/high/low.
U3   500 stocks x 2,500 bars, a new 50-stock row and a rebalance on every bar.
U4   U1's strategy over 500..4,000 stocks and 1,000..4,000 bars.
GTS  get_trade_stocks after U1, time per trade row.
PEER vectorbt on U1's weights without stops, fees or NaNs; time ratio and a
     bar-by-bar equality check of the portfolio value.

Each workload is timed as the median of several runs after a warm-up run. The
memory columns come from two extra, untimed runs (see ``measure_memory``).

Run ``python bench/run.py --help`` for the options (subset, quick mode, JSON).
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import math
import os
import platform
import statistics
import sys
import time
import tracemalloc
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

import numpy as np

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from bench import peer as peer_mod
    from bench import universe as U
else:
    from . import peer as peer_mod
    from . import universe as U

EQUALITY_RTOL = 1e-9
MB = 1024.0 * 1024.0


@dataclass
class Result:
    name: str
    shape: tuple[int, int]
    times_s: list[float]
    cpu_s: list[float] = field(default_factory=list)
    holding_bars: int = 0
    trades: int = 0
    py_peak_bytes: Optional[int] = None
    rss_peak_bytes: Optional[int] = None
    extra: dict = field(default_factory=dict)

    @property
    def median_ms(self) -> float:
        return statistics.median(self.times_s) * 1e3

    @property
    def cpu_ms(self) -> float:
        return statistics.median(self.cpu_s) * 1e3 if self.cpu_s else math.nan

    @property
    def ns_per_holding_bar(self) -> float:
        if not self.holding_bars:
            return math.nan
        return statistics.median(self.times_s) * 1e9 / self.holding_bars

    @property
    def cpu_ns_per_holding_bar(self) -> float:
        if not self.holding_bars or not self.cpu_s:
            return math.nan
        return statistics.median(self.cpu_s) * 1e9 / self.holding_bars

    def as_dict(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "shape": list(self.shape),
            "median_ms": self.median_ms,
            "times_ms": [t * 1e3 for t in self.times_s],
            "cpu_ms": self.cpu_ms,
            "ns_per_holding_bar": self.ns_per_holding_bar,
            "cpu_ns_per_holding_bar": self.cpu_ns_per_holding_bar,
            "holding_bars": self.holding_bars,
            "trades": self.trades,
            "py_peak_bytes": self.py_peak_bytes,
            "rss_peak_bytes": self.rss_peak_bytes,
            **self.extra,
        }




def _engine():
    from orvane.core import excursion, portsim

    return portsim, excursion


def backtest_args(u: U.Universe, mode: str) -> tuple[tuple, dict]:
    """Positional and keyword arguments of ``backtest_`` for a workload mode.

    `mode` is "close" (U1, U3, U4), "intrabar" (U2) or "peer" (the comparable
    job of the peer: no stops, no fees, no excursion analysis).
    The weight matrix is copied because a run may write zeros into it; the copy
    is made here, outside the timed call.
    """
    intrabar = mode == "intrabar"
    args = (
        u.close,
        u.close,
        u.high if intrabar else None,
        u.low if intrabar else None,
        u.open if intrabar else None,
        u.dates,
        u.price_columns,
        u.pos_values.copy(),
        u.pos_index,
        u.pos_columns,
        u.resample,
    )
    if mode == "peer":
        kw = dict(fee_ratio=0.0, tax_ratio=0.0)
    else:
        kw = dict(
            stop_loss=0.1,
            take_profit=0.3,
            trail_stop=0.15,
            touched_exit=intrabar,
            excursion_window=20,
            excursion_window_step=5,
        )
    return args, kw


def holding_bars(trades: list, n_bars: int) -> int:
    """Sum over bars of the holdings, from the recorder's trade rows.

    A trade entered on bar e is revalued on every bar after e up to its exit
    bar (or the last bar when still open).
    """
    total = 0
    for sid, entry, exit_ in trades:
        total += (exit_ if exit_ != -1 else n_bars - 1) - entry
    return total


def _clear_recorder(excursion) -> None:
    """Drop the last run's trade lists so that their memory does not mask the next run's."""
    for name in ("trades", "trade_positions", "excursion"):
        lst = getattr(excursion, name, None)
        if isinstance(lst, list):
            del lst[:]




def time_runs(
    call: Callable[[Any], Any], prepare: Callable[[], Any], repeats: int, warmup: int = 1
) -> tuple[list[float], list[float]]:
    """Wall-clock and CPU seconds per run of `call(prepare())`, after `warmup` untimed runs.

    Each timed run ends with a collection of the youngest generation of the
    garbage collector, so that cost is charged to the run that caused it.

    The CPU time of the process (all its threads, so a multi-threaded peer is
    charged in full) is kept beside the wall-clock time: on a shared machine
    it leaves out the time the process waited for a core.
    """
    wall, cpu = [], []
    for i in range(warmup + repeats):
        arg = prepare()
        gc.collect()
        c0 = time.process_time()
        t0 = time.perf_counter()
        call(arg)
        # Collecting the young objects the run left is part of its cost, also
        # when the run postponed it by pausing the collector.
        gc.collect(0)
        t1 = time.perf_counter()
        c1 = time.process_time()
        if i >= warmup:
            wall.append(t1 - t0)
            cpu.append(c1 - c0)
        del arg
    return wall, cpu


def _status_kb(key: str) -> Optional[int]:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def _malloc_trim() -> None:
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def measure_memory(call: Callable[[], Any], prepare: Callable[[], Any], before: Callable[[], None]) -> tuple[Optional[int], Optional[int]]:
    """Peak memory added by one run, two ways (two separate untimed runs).

    Python side: tracemalloc's peak above the traced memory at the start. It
    sees every Python object and every NumPy buffer (NumPy reports its data
    allocations to tracemalloc), but not C++ allocations of the engine.

    Whole process: the kernel's resident high-water mark (VmHWM) after it was
    reset to the current resident size (writing 5 to /proc/self/clear_refs),
    minus the resident size at the start. It sees native allocations too, but
    only pages actually touched, and only growth beyond memory the allocator
    already held (so the allocator's free lists are trimmed first).

    The caller's inputs are already resident and are not counted; a copy of a
    price matrix made by the run would show in both figures.
    """
    arg = prepare()
    before()
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    call(arg)
    py_peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    del arg

    arg = prepare()
    before()
    gc.collect()
    _malloc_trim()
    rss_peak = None
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        rss0 = _status_kb("VmRSS")
        call(arg)
        hwm = _status_kb("VmHWM")
        if rss0 is not None and hwm is not None:
            rss_peak = max(0, hwm - rss0) * 1024
    except OSError:
        call(arg)
    return py_peak, rss_peak




class Bench:
    def __init__(self, opts: argparse.Namespace):
        self.opts = opts
        self.results: list[Result] = []
        self.notes: list[str] = []
        self.failed = False
        self.portsim, self.excursion = _engine()

    def run_backtest(self, u: U.Universe, mode: str):
        def prepare():
            return backtest_args(u, mode)

        def call(a):
            args, kw = a
            return self.portsim.backtest_(*args, **kw)

        return prepare, call

    def workload(self, name: str, u: U.Universe, mode: str, repeats: int, memory: bool = True) -> Result:
        prepare, call = self.run_backtest(u, mode)
        times, cpu = time_runs(call, prepare, repeats)
        trades = list(self.excursion.trades)
        res = Result(name, u.shape, times, cpu, holding_bars(trades, u.shape[0]), len(trades))
        if memory and not self.opts.no_memory:
            res.py_peak_bytes, res.rss_peak_bytes = measure_memory(
                call, prepare, lambda: _clear_recorder(self.excursion)
            )
        self.results.append(res)
        print_row(res, u.price_bytes())
        return res

    def get_trade_stocks(self, u: U.Universe, repeats: int) -> None:
        prepare, call = self.run_backtest(u, "close")
        call(prepare())
        n = len(self.excursion.trades)
        times, cpu = time_runs(
            lambda _: self.portsim.get_trade_stocks(u.pos_columns, u.dates, False), lambda: None, repeats
        )
        res = Result("GTS get_trade_stocks", u.shape, times, cpu, trades=n)
        res.extra["ns_per_row"] = statistics.median(times) * 1e9 / max(n, 1)
        res.extra["cpu_ns_per_row"] = statistics.median(cpu) * 1e9 / max(n, 1)
        self.results.append(res)
        print(
            f"{res.name:<24} {fmt_shape(u.shape):>11} {res.median_ms:>10.2f} {res.cpu_ms:>8.2f} "
            f"{res.extra['ns_per_row']:>11.1f} {res.extra['cpu_ns_per_row']:>10.1f}  ns per trade row, {n} rows"
        )


def fmt_shape(shape: tuple[int, int]) -> str:
    return f"{shape[1]}x{shape[0]}"


def fmt_mb(v: Optional[int]) -> str:
    return "-" if v is None else f"{v / MB:.1f}"


def print_header(title: str) -> None:
    print()
    print(title)
    print(
        f"{'workload':<24} {'stocks x bars':>11} {'median ms':>10} {'cpu ms':>8} {'ns/hold-bar':>11} "
        f"{'cpu ns/h-b':>10} {'hold-bars':>10} {'trades':>9} {'py MB':>7} {'rss MB':>7}"
    )


def print_row(r: Result, matrix_bytes: int) -> None:
    print(
        f"{r.name:<24} {fmt_shape(r.shape):>11} {r.median_ms:>10.2f} {r.cpu_ms:>8.2f} {r.ns_per_holding_bar:>11.2f} "
        f"{r.cpu_ns_per_holding_bar:>10.2f} {r.holding_bars:>10} {r.trades:>9} {fmt_mb(r.py_peak_bytes):>7} {fmt_mb(r.rss_peak_bytes):>7}"
        f"   (one price matrix {matrix_bytes / MB:.0f} MB; runs {', '.join(f'{t * 1e3:.1f}' for t in r.times_s)} ms)",
        flush=True,
    )


def sizes(opts: argparse.Namespace) -> dict[str, Any]:
    if opts.quick:
        return dict(u1=(500, 1000), u3=(200, 500), u4_stocks=(250, 500), u4_bars=(500, 1000), repeats=3)
    return dict(u1=(2000, 4000), u3=(500, 2500), u4_stocks=U.U4_STOCKS, u4_bars=U.U4_BARS, repeats=opts.repeats)


def run_u4(b: Bench, cfg: dict[str, Any]) -> None:
    wall: dict[tuple[int, int], float] = {}
    cpu: dict[tuple[int, int], float] = {}
    for n_bars in cfg["u4_bars"]:
        for n_stocks in cfg["u4_stocks"]:
            u = U.u1(n_stocks, n_bars)
            r = b.workload(f"U4 {n_stocks}x{n_bars}", u, "close", max(3, cfg["repeats"] - 2), memory=False)
            wall[(n_stocks, n_bars)] = r.median_ms
            cpu[(n_stocks, n_bars)] = r.cpu_ms
            del u
    stocks, bars = list(cfg["u4_stocks"]), list(cfg["u4_bars"])
    for title, grid in (("median wall ms", wall), ("median CPU ms", cpu)):
        print()
        print(f"U4 scaling, {title} (rows: bars, columns: stocks)")
        print(f"{'bars':>8} " + " ".join(f"{s:>9}" for s in stocks))
        for t in bars:
            print(f"{t:>8} " + " ".join(f"{grid[(s, t)]:>9.1f}" for s in stocks))
    print("growth exponent k in CPU time ~ size^k, per doubling step (1 = linear, 0 = flat):")
    for t in bars:
        ks = [math.log(cpu[(s2, t)] / cpu[(s1, t)]) / math.log(s2 / s1) for s1, s2 in zip(stocks, stocks[1:])]
        print(f"  stocks, at {t} bars: " + ", ".join(f"{k:.2f}" for k in ks))
    for s in stocks:
        ks = [math.log(cpu[(s, t2)] / cpu[(s, t1)]) / math.log(t2 / t1) for t1, t2 in zip(bars, bars[1:])]
        print(f"  bars, at {s} stocks: " + ", ".join(f"{k:.2f}" for k in ks))
    b.notes.append("U4 grid CPU ms: " + json.dumps({f"{s}x{t}": round(v, 2) for (s, t), v in cpu.items()}))


def run_peer(b: Bench, cfg: dict[str, Any], opts: argparse.Namespace) -> None:
    n_stocks, n_bars = cfg["u1"]
    print()
    why = peer_mod.peer_available()
    if why is not None:
        print(f"PEER skipped: vectorbt does not import ({why})")
        b.notes.append("peer unavailable")
        return
    u = U.u1(n_stocks, n_bars, nan_fraction=0.0)
    size = peer_mod.target_rows(u)

    mine = b.workload("PEER job in orvane", u, "peer", cfg["repeats"], memory=False)
    args, kw = backtest_args(u, "peer")
    creturn = np.asarray(b.portsim.backtest_(*args, **kw))

    best: Optional[Result] = None
    for engine in [e.strip() for e in opts.peer_engines.split(",") if e.strip()]:
        if not peer_mod.engine_available(engine):
            print(f"PEER vectorbt engine {engine!r} not installed, skipped")
            continue
        t0 = time.perf_counter()
        value = peer_mod.peer_value(u.close, size, u.dates, engine)
        first = time.perf_counter() - t0
        times, cpu = time_runs(
            lambda a: peer_mod.peer_value(*a), lambda: (u.close, size, u.dates, engine), opts.peer_repeats, warmup=0
        )
        peer = Result(f"PEER vectorbt {engine}", u.shape, times, cpu, holding_bars=mine.holding_bars)
        peer.extra["first_call_s"] = first
        b.results.append(peer)
        print_row(peer, u.price_bytes())
        print(f"  (its first call, compilation included, took {first:.1f} s and is not counted)")
        check_equal(b, u, peer, creturn, value)
        if best is None or peer.median_ms < best.median_ms:
            best = peer
    if best is None:
        return
    ratio = best.median_ms / mine.median_ms
    cpu_ratio = best.cpu_ms / mine.cpu_ms
    best.extra.update(ratio=ratio, cpu_ratio=cpu_ratio)
    print(
        f"peer/orvane time ratio on the same job (fastest peer, {best.name}): "
        f"{ratio:.1f}x wall, {cpu_ratio:.1f}x CPU"
    )
    for r in b.results:
        if r.name.startswith(("U1 ", "U2 ")):
            print(
                f"peer/orvane time ratio against {r.name.strip()}: "
                f"{best.median_ms / r.median_ms:.1f}x wall, {best.cpu_ms / r.cpu_ms:.1f}x CPU"
            )


def check_equal(b: Bench, u: U.Universe, peer: Result, creturn: np.ndarray, value: np.ndarray) -> None:
    """Bar-by-bar comparison of orvane's creturn with the peer's portfolio value."""
    ok = creturn.shape == value.shape
    rel = np.abs(creturn / value - 1.0) if ok else np.array([np.inf])
    worst = int(np.argmax(rel))
    ok = ok and bool(np.all(rel <= EQUALITY_RTOL))
    print(
        f"  equality check creturn vs peer value, {len(rel)} bars, rtol {EQUALITY_RTOL:g}: "
        f"{'PASS' if ok else 'FAIL'} (max relative difference {rel.max():.3g} at bar {worst})"
    )
    peer.extra.update(equal=ok, max_rel=float(rel.max()))
    if not ok:
        b.failed = True
        ref = peer_mod.reference_creturn(u)
        e_ref = float(np.max(np.abs(creturn / ref - 1.0)))
        p_ref = float(np.max(np.abs(value / ref - 1.0)))
        suspect = {
            (True, False): "the engine",
            (False, True): "the peer mapping",
            (True, True): "both",
        }.get((e_ref > EQUALITY_RTOL, p_ref > EQUALITY_RTOL), "neither: tolerance too tight")
        print(f"  step-by-step reference: engine differs by {e_ref:.3g}, peer by {p_ref:.3g}; suspect: {suspect}")


def machine_info() -> dict[str, str]:
    cpu = platform.processor() or ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "cpu": cpu,
        "cores": str(os.cpu_count()),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "platform": platform.platform(),
    }


def main(argv: Optional[list[str]] = None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument(
        "--only",
        default="U1,U2,U3,U4,GTS,PEER",
        help="comma-separated subset of U1,U2,U3,U4,GTS,PEER (default: all)",
    )
    p.add_argument("--quick", action="store_true", help="small universes and few runs (smoke test)")
    p.add_argument("--repeats", type=int, default=7, help="timed runs per workload (default 7)")
    p.add_argument("--peer-repeats", type=int, default=3, help="timed runs of the peer (default 3)")
    p.add_argument(
        "--peer-engines",
        default="rust,numba",
        help="vectorbt engines to time, the fastest is compared (default rust,numba)",
    )
    p.add_argument("--no-memory", action="store_true", help="skip the two memory runs per workload")
    p.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    opts = p.parse_args(argv)
    want = {w.strip().upper() for w in opts.only.split(",") if w.strip()}
    cfg = sizes(opts)

    info = machine_info()
    print("orvane benchmark  " + "  ".join(f"{k}: {v}" for k, v in info.items()))
    try:
        b = Bench(opts)
    except ImportError as exc:
        print(f"the engine does not import: {exc}")
        return 2

    print_header("Workloads (median of runs after one warm-up; memory = peak added by one run)")
    u1 = None
    if want & {"U1", "U2", "GTS"}:
        t0 = time.perf_counter()
        u1 = U.u2(*cfg["u1"]) if "U2" in want else U.u1(*cfg["u1"])
        b.notes.append(
            f"U1 universe built in {time.perf_counter() - t0:.1f} s; NaN fraction {u1.nan_fraction:.4f}; "
            f"turnover per row {u1.turnover:.3f}; {len(u1.pos_index)} weight rows"
        )
    if "U1" in want:
        b.workload("U1 close mode", u1, "close", cfg["repeats"])
    if "U2" in want:
        b.workload("U2 intrabar", u1, "intrabar", cfg["repeats"])
    if "GTS" in want:
        b.get_trade_stocks(u1, cfg["repeats"])
    u1 = None
    if "U3" in want:
        u3 = U.u3(*cfg["u3"])
        b.notes.append(f"U3 turnover per row {u3.turnover:.3f}")
        b.workload("U3 daily turnover", u3, "close", cfg["repeats"])
        del u3
    if "U4" in want:
        run_u4(b, cfg)
    if "PEER" in want:
        run_peer(b, cfg, opts)

    print()
    for n in b.notes:
        print("note: " + n)
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump(
                {"machine": info, "quick": opts.quick, "results": [r.as_dict() for r in b.results], "notes": b.notes},
                f,
                indent=1,
                default=lambda o: o.item() if hasattr(o, "item") else str(o),
            )
    return 1 if b.failed else 0


if __name__ == "__main__":
    sys.exit(main())
