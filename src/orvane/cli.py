"""The ``orvane`` command: ``orvane demo`` and ``orvane run``."""

from __future__ import annotations

import argparse
import math
import os
import sys
import warnings
from pathlib import Path
from typing import Any, Optional, Sequence

import numpy as np
import pandas as pd

from .options import RANGES

__all__ = ["main", "read_table", "write_outputs"]


def read_table(path: str) -> pd.DataFrame:
    """A CSV or Parquet table; the first column (or the Parquet index) holds the dates.

    Long tables (with ``date`` and ``symbol`` columns) are returned as read,
    with a plain index.
    """
    from .inputs import InputError, to_dates

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
    if _is_long(frame):
        return frame
    if not isinstance(frame.index, pd.DatetimeIndex):
        if len(frame.columns) == 0:
            raise InputError(f"{path}: the table has no columns")
        first = frame.columns[0]
        try:
            dates = to_dates(frame[first], f"{path}: the first column {first!r}")
        except InputError as exc:
            raise InputError(f"{path}: the first column {first!r} does not hold dates ({exc})") from None
        frame = frame.drop(columns=[first])
        frame.index = pd.DatetimeIndex(dates, name=None)
    return _booleans_with_gaps(frame)


def _is_long(frame: pd.DataFrame) -> bool:
    """A long table: one row per date and symbol."""
    return {"date", "symbol"} <= {str(c).lower() for c in frame.columns}


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
    from .inputs import InputError, Prices

    if args.db:
        return Prices.from_sql(args.prices_sql, args.db)
    main = read_table(args.prices)
    if _is_long(main):
        given = [f"--{f}" for f in ("open", "high", "low") if getattr(args, f)]
        if given:
            raise InputError(
                f"{args.prices} is a long table, which holds every price field itself; {', '.join(given)}"
                " cannot be used with it (put those fields in its columns)"
            )
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
    p.add_argument("--resample", default=None,
                   help="W, M, Q, Y (anchors like W-FRI): rebalance on the last bar of each period"
                        " (default: trade every position row)")
    p.add_argument("--trade-at", choices=["close", "open"], default="close")
    p.add_argument("--fee-ratio", type=float, default=0.001425, help=f"{RANGES['fee_ratio']} (default: 0.001425)")
    p.add_argument("--tax-ratio", type=float, default=0.003, help=f"{RANGES['tax_ratio']} (default: 0.003)")
    p.add_argument("--stop-loss", type=_stop, default=None,
                   help="fraction of the entry value lost, in (0, 1], e.g. 0.1; 'none' for off (default: off)")
    p.add_argument("--take-profit", type=_stop, default=None, help="fraction gained, above 0; 'none' for off (default: off)")
    p.add_argument("--trail-stop", type=_stop, default=None,
                   help="drop from the best cumulative return, above 0; 'none' for off (default: off)")
    p.add_argument("--touched-exit", action="store_true", help="intrabar exits (needs --open/--high/--low)")
    p.add_argument("--position-limit", type=float, default=1.0,
                   help=f"largest absolute weight of one stock, {RANGES['position_limit']} (default: 1)")
    p.add_argument("--retain-cost-when-rebalance", action="store_true")
    p.add_argument("--trade-after-exit", dest="stop_trading_next_period", action="store_false",
                   help="allow a stock that hit an exit rule to be bought at the next rebalance")
    p.add_argument("--excursion-window", type=int, default=0,
                   help="bars after entry sampled per trade, at least 0; cut to the number of bars (default: 0)")
    p.add_argument("--excursion-window-step", type=int, default=1, help="at least 1 (default: 1)")
    p.add_argument("--no-periodic-split", dest="periodically_rebalance", action="store_false",
                   help="keep continuing holdings as one trade across rebalances")
    p.add_argument("--periods-per-year", type=float, default=None,
                   help="bars per year for annualised statistics, above 0 (default: inferred from the bar spacing)")


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
        "periods_per_year": args.periods_per_year,
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

    run = sub.add_parser("run", help="back-test a position table on price tables (CSV, Parquet or a database)")
    run.add_argument("--prices", help="close prices (wide: dates x stocks) or a long table")
    run.add_argument("--db", metavar="PATH_OR_URL",
                     help="a SQLite or DuckDB file (or a database URL) to read the prices from with --prices-sql")
    run.add_argument("--prices-sql", metavar="QUERY",
                     help="SQL returning a long price table (date, symbol, open, high, low, close)")
    run.add_argument("--open")
    run.add_argument("--high")
    run.add_argument("--low")
    run.add_argument("--position", required=True, help="target weights or booleans (dates x stocks)")
    run.add_argument("--benchmark", help="table whose first data column is a benchmark price series")
    run.add_argument("--name", default=None, help="report title")
    run.add_argument("--out", required=True, help="output directory")
    _add_options(run)
    return parser


def _check_price_source(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Exactly one source of prices: files (--prices) or a database (--db with --prices-sql)."""
    if args.db or args.prices_sql:
        if args.prices:
            parser.error("give the prices either as files (--prices) or from a database (--db, --prices-sql), not both")
        if not (args.db and args.prices_sql):
            parser.error("--db and --prices-sql go together: the database and the query that returns the prices")
        if args.open or args.high or args.low:
            parser.error("--open/--high/--low read files; with --db, return those columns from --prices-sql")
    elif not args.prices:
        parser.error("the prices are needed: --prices FILE, or --db PATH_OR_URL with --prices-sql QUERY")


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


def _run(args: argparse.Namespace) -> Any:
    from . import backtest
    from .inputs import InputError

    prices = _prices_from_files(args)
    position = read_table(args.position)
    if _is_long(position):
        raise InputError(f"{args.position} is a long table; the position must be a wide table (dates x stocks)")
    benchmark = None
    if args.benchmark:
        bench = read_table(args.benchmark)
        if _is_long(bench) or len(bench.columns) == 0:
            raise InputError(f"{args.benchmark} must be a table of dates and a benchmark price column")
        benchmark = bench.iloc[:, 0]
    return backtest(position, prices, benchmark=benchmark, name=args.name or f"Back-test of {Path(args.position).name}",
                    **_options(args))


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of the ``orvane`` console script; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "run":
        _check_price_source(parser, args)
    from .inputs import InputError

    from .inputs import DataWarning

    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", DataWarning)
            report = _demo(args) if args.command == "demo" else _run(args)
            stats = report.stats()
            paths = write_outputs(report, args.out)
    except (InputError, FileNotFoundError, ValueError, ImportError) as exc:
        print(f"orvane {args.command}: error: {exc}", file=sys.stderr)
        return 2
    for w in caught:
        if issubclass(w.category, DataWarning):
            print(f"orvane {args.command}: warning: {w.message}", file=sys.stderr)
        else:
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
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
