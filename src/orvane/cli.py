"""The ``orvane`` command: ``orvane demo``, ``orvane sample`` and ``orvane run``."""

from __future__ import annotations

import argparse
import math
import os
import sys
from pathlib import Path
from typing import Any, Optional, Sequence

import numpy as np
import pandas as pd

__all__ = ["main", "read_table", "write_outputs", "write_sample"]


def read_table(path: str) -> pd.DataFrame:
    """A CSV or Parquet table; the first column (or the Parquet index) holds the dates.

    Long tables (with ``date`` and ``symbol`` columns) are returned as read,
    with a plain index.
    """
    p = Path(path)
    if not p.exists():
        raise FileNotFoundError(f"no such file: {path}")
    suffix = p.suffix.lower()
    if suffix in (".parquet", ".pq"):
        try:
            frame = pd.read_parquet(p)
        except ImportError:
            raise ImportError("reading Parquet needs pyarrow: pip install 'orvane[parquet]'") from None
    elif suffix in (".csv", ".txt", ".gz"):
        frame = pd.read_csv(p)
    else:
        raise ValueError(f"{path}: unknown table format {suffix!r} (use .csv or .parquet)")
    lower = {str(c).lower() for c in frame.columns}
    if {"date", "symbol"} <= lower:
        return frame
    if not isinstance(frame.index, pd.DatetimeIndex):
        first = frame.columns[0]
        try:
            dates = pd.to_datetime(frame[first])
        except (ValueError, TypeError):
            raise ValueError(f"{path}: the first column {first!r} does not hold dates") from None
        frame = frame.drop(columns=[first])
        frame.index = pd.DatetimeIndex(dates, name=None)
    return _booleans_with_gaps(frame)


def _booleans_with_gaps(frame: pd.DataFrame) -> pd.DataFrame:
    """Columns of True/False with empty cells, which CSV readers leave as objects, as nullable booleans."""
    for col in frame.columns:
        values = frame[col]
        if values.dtype == object:
            present = values.dropna()
            if len(present) and all(isinstance(v, (bool, np.bool_)) for v in present):
                frame[col] = values.astype("boolean")
    return frame


def _prices_from_files(args: argparse.Namespace) -> Any:
    from .inputs import Prices

    main = read_table(args.prices)
    if "symbol" in {str(c).lower() for c in main.columns}:
        return Prices.from_long(main)
    extra = {}
    for field in ("open", "high", "low"):
        path = getattr(args, field)
        if path:
            extra[field] = read_table(path)
    return Prices(main, **extra)


def write_outputs(report: Any, out: str, stem: str = "report") -> dict:
    """Write the HTML report, the trades CSV and the equity PNG into ``out``."""
    from .plots import equity_figure

    os.makedirs(out, exist_ok=True)
    paths = {
        "html": os.path.join(out, f"{stem}.html"),
        "trades": os.path.join(out, "trades.csv"),
        "equity": os.path.join(out, "equity.png"),
    }
    report.to_html(paths["html"])
    report.trades.to_csv(paths["trades"], index=False)
    equity_figure(report).savefig(paths["equity"], dpi=100)
    return paths


def format_stats(stats: pd.Series) -> str:
    """The statistics as an aligned two-column text table."""
    from .html import format_value

    width = max(len(str(k)) for k in stats.index)
    return "\n".join(f"{str(k):<{width}}  {format_value(str(k), v)}" for k, v in stats.items())


def _stop(text: Optional[str]) -> Optional[float]:
    if text is None or text.lower() in ("none", "off"):
        return None
    return float(text)


def _add_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--resample", default=None, help="W, M, Q, Y (default: trade every position row)")
    p.add_argument("--trade-at", choices=["close", "open"], default="close")
    p.add_argument("--fee-ratio", type=float, default=0.001425)
    p.add_argument("--tax-ratio", type=float, default=0.003)
    p.add_argument("--stop-loss", type=_stop, default=None, help="e.g. 0.1 (default: off)")
    p.add_argument("--take-profit", type=_stop, default=None)
    p.add_argument("--trail-stop", type=_stop, default=None)
    p.add_argument("--touched-exit", action="store_true", help="intrabar exits (needs --open/--high/--low)")
    p.add_argument("--position-limit", type=float, default=1.0)
    p.add_argument("--retain-cost-when-rebalance", action="store_true")
    p.add_argument("--trade-after-exit", dest="stop_trading_next_period", action="store_false",
                   help="allow a stock that hit an exit rule to be bought at the next rebalance")
    p.add_argument("--excursion-window", type=int, default=0)
    p.add_argument("--excursion-window-step", type=int, default=1)
    p.add_argument("--no-periodic-split", dest="periodically_rebalance", action="store_false",
                   help="keep continuing holdings as one trade across rebalances")


def _options(args: argparse.Namespace) -> dict:
    return {
        "resample": args.resample,
        "trade_at": args.trade_at,
        "fee_ratio": args.fee_ratio,
        "tax_ratio": args.tax_ratio,
        "stop_loss": args.stop_loss,
        "take_profit": args.take_profit,
        "trail_stop": args.trail_stop,
        "touched_exit": args.touched_exit,
        "position_limit": args.position_limit,
        "retain_cost_when_rebalance": args.retain_cost_when_rebalance,
        "stop_trading_next_period": args.stop_trading_next_period,
        "excursion_window": args.excursion_window,
        "excursion_window_step": args.excursion_window_step,
        "periodically_rebalance": args.periodically_rebalance,
    }


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``orvane`` command."""
    parser = argparse.ArgumentParser(prog="orvane", description="Portfolio back-testing of stock strategies.")
    sub = parser.add_subparsers(dest="command", required=True)

    demo = sub.add_parser("demo", help="run a sample momentum strategy on the built-in synthetic market")
    demo.add_argument("--out", default="out/demo", help="output directory (default: out/demo)")
    demo.add_argument("--stocks", type=int, default=300)
    demo.add_argument("--years", type=float, default=10.0)
    demo.add_argument("--seed", type=int, default=42)
    demo.add_argument("--top", type=int, default=20)
    demo.add_argument("--stop-loss", type=_stop, default=0.15)

    sample = sub.add_parser(
        "sample", help="write the demo's synthetic market and position table as files to try `orvane run` on"
    )
    sample.add_argument("--out", default="data", help="output directory (default: data)")
    sample.add_argument("--format", choices=["csv", "parquet"], default="csv")
    sample.add_argument("--stocks", type=int, default=300)
    sample.add_argument("--years", type=float, default=10.0)
    sample.add_argument("--seed", type=int, default=42)
    sample.add_argument("--top", type=int, default=20)

    run = sub.add_parser("run", help="back-test a position table on price tables (CSV or Parquet)")
    run.add_argument("--prices", required=True, help="close prices (wide: dates x stocks) or a long table")
    run.add_argument("--open")
    run.add_argument("--high")
    run.add_argument("--low")
    run.add_argument("--position", required=True, help="target weights or booleans (dates x stocks)")
    run.add_argument("--benchmark", help="table whose first data column is a benchmark price series")
    run.add_argument("--name", default=None, help="report title")
    run.add_argument("--out", required=True, help="output directory")
    _add_options(run)
    return parser


def _demo(args: argparse.Namespace) -> Any:
    from . import backtest
    from .datasets import momentum_position, sample_market

    market = sample_market(n_stocks=args.stocks, years=args.years, seed=args.seed)
    position = momentum_position(market.close, top=args.top)
    stop = "" if args.stop_loss is None else f", stop-loss {args.stop_loss:g}"
    return backtest(
        position,
        market,
        resample="M",
        stop_loss=args.stop_loss,
        excursion_window=20,
        excursion_window_step=5,
        name=f"Demo: 12-1 momentum, top {args.top}, monthly{stop} (synthetic market)",
    )


def write_sample(out: str, fmt: str = "csv", stocks: int = 300, years: float = 10.0, seed: int = 42,
                 top: int = 20) -> dict:
    """Write the demo's synthetic market and its position table into ``out``.

    Parameters
    ----------
    out : str
        Output directory, created if missing.
    fmt : {"csv", "parquet"}
        File format; Parquet needs pyarrow.
    stocks, years, seed : int, float, int
        Size and seed of :func:`orvane.datasets.sample_market`.
    top : int
        Number of stocks the month-end 12-1 momentum position holds.

    Returns
    -------
    dict
        The path of each table: ``close``, ``open``, ``high``, ``low`` (wide,
        dates in the first column) and ``position`` (booleans, hold or not).
    """
    from .datasets import momentum_position, sample_market

    if fmt == "parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise ImportError("writing Parquet needs pyarrow: pip install 'orvane[parquet]'") from None
    market = sample_market(n_stocks=stocks, years=years, seed=seed)
    tables = {"close": market.close, "open": market.open, "high": market.high, "low": market.low,
              "position": momentum_position(market.close, top=top)}
    os.makedirs(out, exist_ok=True)
    paths = {}
    for name, table in tables.items():
        paths[name] = os.path.join(out, f"{name}.{fmt}")
        if fmt == "csv":
            table.to_csv(paths[name], index_label="date")
        else:
            table.to_parquet(paths[name])
    return paths


def _run(args: argparse.Namespace) -> Any:
    from . import backtest

    prices = _prices_from_files(args)
    position = read_table(args.position)
    benchmark = None
    if args.benchmark:
        bench = read_table(args.benchmark)
        benchmark = bench.iloc[:, 0].astype(float)
    return backtest(position, prices, benchmark=benchmark, name=args.name or f"Back-test of {Path(args.position).name}",
                    **_options(args))


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of the ``orvane`` console script; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    from .inputs import InputError

    if args.command == "sample":
        try:
            written = write_sample(args.out, args.format, args.stocks, args.years, args.seed, args.top)
        except (ImportError, ValueError, OSError) as exc:
            print(f"orvane sample: error: {exc}", file=sys.stderr)
            return 2
        from .datasets import SYNTHETIC_NOTE

        print(SYNTHETIC_NOTE)
        for what, path in written.items():
            print(f"{what:>8}: {path}")
        return 0
    try:
        report = _demo(args) if args.command == "demo" else _run(args)
        paths = write_outputs(report, args.out)
    except (InputError, FileNotFoundError, ValueError, ImportError) as exc:
        print(f"orvane {args.command}: error: {exc}", file=sys.stderr)
        return 2
    stats = report.stats()
    print(report.name)
    print(format_stats(stats))
    actions = report.actions()
    if len(actions):
        print(f"\nnext actions ({len(actions)} stocks):")
        print(actions.to_string(index=False, float_format=lambda v: f"{v:.4f}" if math.isfinite(v) else str(v)))
    print()
    for what, path in paths.items():
        print(f"{what:>7}: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
