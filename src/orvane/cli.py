"""The ``orvane`` command: ``orvane demo``, ``orvane sample`` and ``orvane run``.

Only the standard library and :mod:`orvane.defaults` are imported up front:
NumPy, pandas and the engine load when a command runs, so that ``--help``
and ``--version`` answer at once.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, Optional, Sequence

from .defaults import COSTS, RANGES

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["main", "read_table", "write_outputs", "OUTPUT_FILES", "write_sample"]

# Every file a run may write into --out.
OUTPUT_FILES = ("report.html", "trades.csv", "equity.png", "stats.csv", "actions.csv", "orders.csv")


def read_table(path: str) -> pd.DataFrame:
    """A CSV or Parquet table; the first column (or the Parquet index) holds the dates.

    Long tables (with ``date`` and ``symbol`` columns) are returned as read,
    with a plain index.
    """
    import pandas as pd

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
    import numpy as np

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


def write_outputs(
    report: Any,
    out: str,
    stem: str = "report",
    stats: Optional["pd.Series"] = None,
    actions: Optional["pd.DataFrame"] = None,
    orders: Optional["pd.DataFrame"] = None,
) -> dict:
    """Write a run's files into the folder ``out`` all at once; returns their paths by kind.

    ``report.html``, ``trades.csv``, ``equity.png``, ``stats.csv`` and
    ``actions.csv``, and ``orders.csv`` when ``orders`` are given.  The
    files are written beside ``out`` and moved in together, so that the
    folder never mixes two runs: an interrupted write leaves the previous
    run's files as they were, and a previous run's file that this run does
    not write (``orders.csv``) is removed.
    """
    from . import plots
    from .outdir import OutputFolder

    stats = report.stats() if stats is None else stats
    actions = report.actions() if actions is None else actions
    html_name = f"{stem}.html"
    with OutputFolder(out, OUTPUT_FILES if stem == "report" else (*OUTPUT_FILES, html_name)) as folder:
        report.to_html(folder.file(html_name))
        report.trades.to_csv(folder.file("trades.csv"), index=False)
        stats.rename_axis("statistic").to_csv(folder.file("stats.csv"), header=["value"])
        actions.to_csv(folder.file("actions.csv"), index=False)
        if orders is not None:
            orders.to_csv(folder.file("orders.csv"), index=False)
        plots.equity_figure(report).savefig(folder.file("equity.png"), dpi=100)
        moved = folder.commit()
    kinds = {html_name: "html", "trades.csv": "trades", "equity.png": "equity", "stats.csv": "stats",
             "actions.csv": "actions", "orders.csv": "orders"}
    return {kinds[name]: path for name, path in moved.items()}


def format_stats(stats: "pd.Series") -> str:
    """The statistics as an aligned two-column text table."""
    from .html import format_value, stat_labels

    labels = stat_labels(stats)
    width = max(len(label) for label in labels)
    return "\n".join(f"{label:<{width}}  {format_value(str(k), v)}" for label, (k, v) in zip(labels, stats.items()))


def _stop(text: Optional[str]) -> Optional[float]:
    if text is None or text.lower() in ("none", "off"):
        return None
    return float(text)


def _lot_size(text: str) -> Any:
    """A whole number of shares, or a table of lots by stock (CSV or Parquet: stock, lot)."""
    try:
        return int(text)
    except ValueError:
        pass
    if not os.path.exists(text):
        raise argparse.ArgumentTypeError(f"{text!r} is neither a whole number of shares nor a file of lots")
    return text


def _add_options(parser: argparse.ArgumentParser) -> None:
    p = parser.add_argument_group("back-test")
    p.add_argument("--resample", default=None,
                   help="W, M, Q, Y (anchors like W-FRI): rebalance on the last bar of each period"
                        " (default: trade every position row)")
    p.add_argument("--trade-at", choices=["close", "open"], default="close",
                   help="the price trades are made at (default: close)")
    costs = parser.add_argument_group("costs (charged on the traded value)")
    costs.add_argument("--fee-ratio", type=float, default=COSTS["fee_ratio"],
                       help=f"fee on every trade, buy or sell, {RANGES['fee_ratio']}"
                            f" (default: {COSTS['fee_ratio']:g} = {COSTS['fee_ratio'] * 100:g} %%)")
    costs.add_argument("--tax-ratio", type=float, default=COSTS["tax_ratio"],
                       help=f"tax on every sale (a trade that reduces or closes a holding), {RANGES['tax_ratio']}"
                            f" (default: {COSTS['tax_ratio']:g} = {COSTS['tax_ratio'] * 100:g} %%)")
    costs.add_argument("--slippage", type=float, default=COSTS["slippage"],
                       help="price moving against each trade, a fraction of the traded value on every buy and"
                            f" sell, charged with the fee, {RANGES['slippage']} (default: {COSTS['slippage']:g})")
    exits = parser.add_argument_group("exits")
    exits.add_argument("--stop-loss", type=_stop, default=None,
                       help="fraction of the entry value lost, in (0, 1], e.g. 0.1; 'none' for off (default: off)")
    exits.add_argument("--take-profit", type=_stop, default=None,
                       help="fraction gained, above 0; 'none' for off (default: off)")
    exits.add_argument("--trail-stop", type=_stop, default=None,
                       help="drop from the best cumulative return, above 0; 'none' for off (default: off)")
    exits.add_argument("--touched-exit", action="store_true",
                       help="test exits inside the bar against high, low and open; needs --open/--high/--low"
                            " (default: at the close)")
    exits.add_argument("--trade-after-exit", dest="stop_trading_next_period", action="store_false",
                       help="allow a stock that hit an exit rule to be bought at the next rebalance"
                            " (default: not bought again until the rebalance after)")
    exits.add_argument("--retain-cost-when-rebalance", action="store_true",
                       help="keep the stop references of holdings that stay on the same side through a rebalance"
                            " (default: measured again from each rebalance)")
    p.add_argument("--position-limit", type=float, default=1.0,
                   help=f"largest absolute weight of one stock, {RANGES['position_limit']} (default: 1)")
    p.add_argument("--excursion-window", type=int, default=0,
                   help="bars after entry sampled per trade, at least 0; cut to the number of bars (default: 0)")
    p.add_argument("--excursion-window-step", type=int, default=1,
                   help="bars between the samples, at least 1 (default: 1)")
    p.add_argument("--no-periodic-split", dest="periodically_rebalance", action="store_false",
                   help="keep continuing holdings as one trade across rebalances"
                        " (default: a new trade at each rebalance)")
    p.add_argument("--periods-per-year", type=float, default=None,
                   help="bars per year for annualised statistics, above 0 (default: inferred from the bar spacing)")


def _add_outputs(p: argparse.ArgumentParser, out_default: Optional[str]) -> None:
    out = p.add_argument_group("outputs")
    where = f"(default: {out_default})" if out_default else "(required)"
    out.add_argument("--out", default=out_default, required=out_default is None,
                     help="folder for report.html, trades.csv, equity.png, stats.csv, actions.csv and, with"
                          f" --capital, orders.csv; replaced all at once, other files left alone {where}")
    out.add_argument("--capital", type=float, default=None,
                     help="the portfolio's value now, in currency: writes orders.csv, the next bar's orders in"
                          " shares (default: no orders)")
    out.add_argument("--lot-size", type=_lot_size, default=1, metavar="SHARES_OR_FILE",
                     help="shares per lot for the orders: a number, or a CSV/Parquet file of stock and lot"
                          " (default: 1)")
    out.add_argument("--order-prices", metavar="FILE",
                     help="a CSV/Parquet file of stock and price to count the orders' shares at, for stocks"
                          " without a price on the last bar or at another price (default: the last close)")


def _options(args: argparse.Namespace) -> dict:
    return {
        "resample": args.resample,
        "trade_at": args.trade_at,
        "fee_ratio": args.fee_ratio,
        "tax_ratio": args.tax_ratio,
        "slippage": args.slippage,
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


_EPILOG = (
    "Exit status: 0 done (also when a reader such as `head` closes the output early: the files are complete"
    " by then), 2 bad input, 1 a file could not be written, 130 interrupted (Ctrl-C; the output folder is"
    " left as it was)."
)


def _version() -> str:
    from . import __version__

    return f"orvane {__version__}"


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``orvane`` command."""
    parser = argparse.ArgumentParser(prog="orvane", description="Portfolio back-testing of stock strategies.",
                                     epilog=_EPILOG)
    parser.add_argument("--version", action="version", version=_version(), help="print the version and exit")
    sub = parser.add_subparsers(dest="command", required=True, metavar="{demo,sample,run}")

    demo = sub.add_parser("demo", help="run a sample momentum strategy on the built-in synthetic market",
                          description="Back-test a monthly 12-1 momentum strategy on the built-in synthetic"
                                      " market, with the default costs.", epilog=_EPILOG)
    demo.add_argument("--stocks", type=int, default=300, help="stocks in the synthetic market (default: 300)")
    demo.add_argument("--years", type=float, default=10.0, help="years of business days (default: 10)")
    demo.add_argument("--seed", type=int, default=42, help="seed of the market (default: 42)")
    demo.add_argument("--top", type=int, default=20, help="stocks held, equally weighted (default: 20)")
    demo.add_argument("--stop-loss", type=_stop, default=0.15,
                      help="fraction of the entry value lost; 'none' for off (default: 0.15)")
    _add_outputs(demo, "out/demo")

    sample = sub.add_parser(
        "sample", help="write the demo's synthetic market and position table as files to try `orvane run` on",
        description="Write the demo's synthetic market (close, open, high, low) and its momentum position"
                    " table as wide tables, dates in the first column.")
    sample.add_argument("--out", default="data", help="output directory (default: data)")
    sample.add_argument("--format", choices=["csv", "parquet", "sqlite"], default="csv",
                        help="file format; sqlite writes the prices as the long table `bars` of prices.db"
                             " (default: csv)")
    sample.add_argument("--stocks", type=int, default=300, help="stocks in the synthetic market (default: 300)")
    sample.add_argument("--years", type=float, default=10.0, help="years of business days (default: 10)")
    sample.add_argument("--seed", type=int, default=42, help="seed of the market (default: 42)")
    sample.add_argument("--top", type=int, default=20, help="stocks the position holds (default: 20)")

    run = sub.add_parser("run", help="back-test a position table on price tables (CSV, Parquet or a database)",
                         description="Back-test a table of target weights on price tables. Costs by default:"
                                     f" a fee of {COSTS['fee_ratio'] * 100:g} % on every trade and a tax of"
                                     f" {COSTS['tax_ratio'] * 100:g} % on every sale (--fee-ratio 0"
                                     " --tax-ratio 0 for none).", epilog=_EPILOG)
    data = run.add_argument_group("data")
    data.add_argument("--prices", help="close prices (wide: dates x stocks) or a long table (default: none;"
                                       " give it or --db)")
    data.add_argument("--db", metavar="PATH_OR_URL",
                      help="a SQLite or DuckDB file (or a database URL) to read the prices from with --prices-sql"
                           " (default: none)")
    data.add_argument("--prices-sql", metavar="QUERY",
                      help="SQL returning a long price table (date, symbol, open, high, low, close)"
                           " (default: none)")
    data.add_argument("--open", help="open prices, a wide table (default: none)")
    data.add_argument("--high", help="high prices, a wide table (default: none)")
    data.add_argument("--low", help="low prices, a wide table (default: none)")
    data.add_argument("--position", required=True, help="target weights or booleans, dates x stocks (required)")
    data.add_argument("--benchmark", help="table whose first data column is a benchmark price series"
                                          " (default: none)")
    data.add_argument("--name", default=None, help="report title (default: Back-test of POSITION)")
    _add_options(run)
    _add_outputs(run, None)
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


def write_sample(out: str, fmt: str = "csv", stocks: int = 300, years: float = 10.0, seed: int = 42,
                 top: int = 20) -> dict:
    """Write the demo's synthetic market and its position table into ``out``.

    Parameters
    ----------
    out : str
        Output directory, created if missing.
    fmt : {"csv", "parquet", "sqlite"}
        File format; Parquet needs pyarrow.  ``"sqlite"`` writes the prices
        as one long table ``bars`` (date, symbol, open, high, low, close) of
        the SQLite file ``prices.db``, and the position table as CSV.
    stocks, years, seed : int, float, int
        Size and seed of :func:`orvane.datasets.sample_market`.
    top : int
        Number of stocks the month-end 12-1 momentum position holds.

    Returns
    -------
    dict
        The path of each table: ``close``, ``open``, ``high``, ``low`` (wide,
        dates in the first column; with ``"sqlite"`` one entry ``prices``)
        and ``position`` (booleans, hold or not).
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
    if fmt == "sqlite":
        import sqlite3

        import pandas as pd

        close = tables["close"]
        keys = pd.MultiIndex.from_product([close.index.strftime("%Y-%m-%d"), close.columns], names=["date", "symbol"])
        fields = {f: tables.pop(f).to_numpy().ravel() for f in ("open", "high", "low", "close")}
        # A suspended stock has no row on the bars without prices.
        long = pd.DataFrame(fields, index=keys).dropna(subset=["close"]).reset_index()
        paths["prices"] = os.path.join(out, "prices.db")
        with sqlite3.connect(paths["prices"]) as con:
            long.to_sql("bars", con, if_exists="replace", index=False)
        con.close()
        fmt = "csv"
    for name, table in tables.items():
        paths[name] = os.path.join(out, f"{name}.{fmt}")
        if fmt == "csv":
            table.to_csv(paths[name], index_label="date")
        else:
            table.to_parquet(paths[name])
    return paths


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


def _by_stock(path: str, what: str) -> "pd.Series":
    """A two-column table of stock and a number (a lot, a price) as a Series by stock."""
    import pandas as pd

    from .inputs import InputError

    if not os.path.exists(path):
        raise FileNotFoundError(f"no such file: {path}")
    suffix = Path(path).suffix.lower()
    table = pd.read_parquet(path) if suffix in (".parquet", ".pq") else pd.read_csv(path)
    if isinstance(table.index, pd.RangeIndex) and table.shape[1] >= 2:
        table = table.set_index(table.columns[0])
    if table.shape[1] != 1:
        raise InputError(f"{path} must hold two columns: the stock and its {what}")
    return table.iloc[:, 0]


def _orders(report: Any, args: argparse.Namespace) -> "pd.DataFrame":
    from .inputs import InputError

    lots = args.lot_size if isinstance(args.lot_size, int) else _by_stock(args.lot_size, "lot")
    prices = _by_stock(args.order_prices, "price") if args.order_prices else None
    try:
        return report.orders(args.capital, lot_size=lots, prices=prices)
    except InputError as exc:
        if "no price on the last bar" in str(exc):
            raise InputError(f"{exc} (here: --order-prices FILE of stock and price)") from None
        raise


def _print_tables(report: Any, stats: "pd.Series", actions: "pd.DataFrame", orders: Optional["pd.DataFrame"],
                  paths: dict) -> None:
    def number(v: float) -> str:
        return f"{v:.4f}" if math.isfinite(v) else str(v)

    print(report.name)
    print(format_stats(stats))
    if len(actions):
        print(f"\nnext actions ({len(actions)} stocks):")
        print(actions.to_string(index=False, float_format=number))
    if orders is not None:
        capital = orders.attrs.get("capital", float("nan"))
        print(f"\norders for a capital of {capital:,.2f} ({len(orders)} stocks, cash left"
              f" {orders.attrs.get('cash', float('nan')):,.2f}):")
        if len(orders):
            print(orders.to_string(index=False, formatters={
                "price": "{:,.4g}".format, "value": "{:,.2f}".format, "cost": "{:,.2f}".format,
                "cash_after": "{:,.2f}".format, "weight_now": "{:.4f}".format, "weight_target": "{:.4f}".format,
                "weight_after": "{:.4f}".format,
            }))
    print()
    for what, path in paths.items():
        print(f"{what:>7}: {path}")
    sys.stdout.flush()


def _say(command: str, kind: str, text: str) -> None:
    try:
        print(f"orvane {command}: {kind}{text}", file=sys.stderr, flush=True)
    except (BrokenPipeError, OSError):
        pass


def _sample(args: argparse.Namespace) -> int:
    try:
        written = write_sample(args.out, args.format, args.stocks, args.years, args.seed, args.top)
    except (ImportError, ValueError, OSError) as exc:
        _say("sample", "error: ", str(exc))
        return 2
    from .datasets import SYNTHETIC_NOTE

    print(SYNTHETIC_NOTE)
    for what, path in written.items():
        print(f"{what:>8}: {path}")
    return 0


def _execute(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    from .inputs import DataWarning, InputError
    from .outdir import check_output_folder

    command = args.command
    if command == "sample":
        return _sample(args)
    if command == "run":
        _check_price_source(parser, args)
    problem = check_output_folder(args.out)
    if problem:
        _say(command, "error: ", problem)
        return 2
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", DataWarning)
            report = _demo(args) if command == "demo" else _run(args)
            stats = report.stats()
            actions = report.actions()
            orders = None
            if args.capital is not None:
                orders = _orders(report, args)
    except (InputError, FileNotFoundError, ValueError, ImportError) as exc:
        _say(command, "error: ", str(exc))
        return 2
    for w in caught:
        if issubclass(w.category, DataWarning):
            _say(command, "warning: ", str(w.message))
        else:
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    try:
        paths = write_outputs(report, args.out, stats=stats, actions=actions, orders=orders)
    except OSError as exc:
        _say(command, "error: ", f"cannot write the outputs into {args.out}: {exc}")
        return 1
    try:
        _print_tables(report, stats, actions, orders, paths)
    except BrokenPipeError:
        # The reader has gone (`orvane run ... | head`): the files are written, so
        # stop printing quietly; the rest of the output goes nowhere.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of the ``orvane`` console script; returns the exit status."""
    given = list(sys.argv[1:] if argv is None else argv)
    command = next((a for a in given if a in ("demo", "sample", "run")), "run")
    try:
        parser = build_parser()
        args = parser.parse_args(argv)
        command = args.command
        return _execute(parser, args)
    except KeyboardInterrupt:
        _say(command, "", "interrupted")
        return 130


if __name__ == "__main__":
    sys.exit(main())
