"""``orvane.sweep``: one strategy back-tested over a grid of parameters, in parallel."""

from __future__ import annotations

import inspect
import sys
import uuid
from typing import Any, Callable, Iterable, Mapping, Optional, Union

import pandas as pd

from ..inputs import as_prices
from ..overfit import deflated_column
from ..report import Report
from .grid import BACKTEST_OPTIONS, batches, expand_grid, route
from .results import Outcome, best, frame, warn_missing_prices
from .runners import default_workers, make_runner
from .scheduler import drive
from .worker import Payload

__all__ = ["sweep"]


def _show_progress(progress: bool) -> bool:
    if not progress:
        return False
    try:
        return bool(sys.stderr.isatty())
    except (AttributeError, ValueError):
        return False



def sweep(
    strategy: Union[pd.DataFrame, Callable[..., pd.DataFrame]],
    prices: Any,
    grid: Union[Mapping[str, Any], Iterable[Mapping[str, Any]]],
    *,
    options: Optional[Mapping[str, Any]] = None,
    strategy_keys: Optional[Iterable[str]] = None,
    executor: Any = "process",
    max_workers: Optional[int] = None,
    batch_size: Optional[int] = None,
    keep: int = 0,
    sort_by: str = "sharpe",
    ascending: bool = False,
    stats_options: Optional[Mapping[str, Any]] = None,
    progress: bool = True,
) -> pd.DataFrame:
    """Back-test one strategy over every combination of a parameter grid.

    Each combination runs exactly as ``orvane.backtest`` would run it alone,
    so its statistics are the same whatever the executor, the batch size or
    the order in which workers finish.

    Parameters
    ----------
    strategy : DataFrame or callable
        A DataFrame of target weights (as for :func:`orvane.backtest`) is
        back-tested as it is, and every grid parameter must be a backtest
        option.  A callable ``strategy(prices, **params) -> DataFrame`` builds
        the weights from the prices; it receives the grid parameters that
        are not backtest options (signal look-backs, holding counts, ...)
        and must be deterministic.  It travels to the workers with the
        data, so use a module-level function (or a picklable callable
        object holding extra data) when the executor pickles.
    prices : DataFrame, mapping or Prices
        The prices, as for :func:`orvane.backtest`.  Worker processes on
        this host read one shared copy of them (and of the weights and the
        strategy's own arrays), read-only: a strategy must not modify the
        prices it is given.  Workers on other hosts are sent a copy once
        per sweep.
    grid : mapping or iterable of mappings
        A mapping of names to value lists (the Cartesian product, last name
        fastest) or an iterable of parameter dicts; see :func:`expand_grid`.
    options : mapping, optional
        Backtest options shared by every combination (``resample``,
        ``fee_ratio``, ...); grid values override them.
    strategy_keys : iterable of str, optional
        The grid names passed to the strategy callable.  By default those
        that are not backtest options; name them to send a parameter that
        shares a backtest option's name (such as ``resample``) to the
        strategy instead.
    executor : "process", "serial", None, Executor or distributed.Client
        ``"process"`` (default) runs on a new process pool with
        ``max_workers`` processes (default: the CPUs this process may use),
        which get the data once at start-up (forked on Linux, where they
        inherit it; elsewhere they map the shared copy).  ``"serial"`` or
        None runs in this process, in grid order.  Any other
        :class:`concurrent.futures.Executor` runs the batches as its tasks:
        each worker gets the data with its first task and keeps it for the
        rest of the sweep.  A ``distributed.Client`` (or its
        ``get_executor()``) runs on the Dask cluster, whose workers get the
        data before the first task.  The shared copy lives in a
        shared-memory segment for the length of the sweep.  Executors
        passed in are not shut down.  Workers should be processes with one
        thread each: back-tests in one process run one at a time.
    max_workers : int, optional
        Size of the process pool for ``executor="process"``.
    batch_size : int, optional
        Combinations per task; by default about 16 tasks per worker, at most
        64 combinations each.
    keep : int
        Keep the full :class:`orvane.Report` of the best ``keep``
        combinations by ``sort_by`` in a ``report`` column (None in the
        other rows).  These combinations run a second time to build their
        reports, with identical results.
    sort_by : str
        The statistic (a column of ``Report.stats()``) that ranks
        combinations for ``keep``; rows with an error or a NaN value are not
        ranked, ties keep grid order.
    ascending : bool
        Rank the smallest values first (for example for ``max_drawdown`` as
        a loss, or ``volatility``); by default the largest first.
    stats_options : mapping, optional
        Keyword arguments of ``Report.stats`` (``benchmark``, ``risk_free``,
        ``periods_per_year``).
    progress : bool
        Show a progress bar (combinations done, rate, time left) on
        standard error; it appears only when standard error is a terminal.

    Returns
    -------
    DataFrame
        One row per combination in grid order (index 0..n-1): the
        parameters, the statistics of ``Report.stats()``,
        ``deflated_sharpe`` (the probability that the combination's Sharpe
        ratio is not the luck of a search over this many combinations; see
        :func:`orvane.deflated_sharpe`), and ``error`` (None, or the error
        text of a combination that failed, whose statistics are then
        missing); plus ``report`` when ``keep`` > 0.
        What the strategy prints is written to standard output once per
        distinct line, not once per combination.

    Warns
    -----
    orvane.DataWarning
        Once, when some combinations held stocks on bars without a price
        (their rows count those bars in ``missing_price_bars``).

    Raises
    ------
    orvane.InputError
        When the prices cannot be used.
    ValueError, TypeError
        For a malformed grid, unknown parameters or options, or a bad
        executor, before anything runs.

    Examples
    --------
    >>> grid = {"stop_loss": [0.05, 0.1, None], "take_profit": [0.2, None]}
    >>> table = orvane.sweep(position, prices, grid, options={"resample": "M"})  # doctest: +SKIP
    >>> def top(prices, n, lookback):                                          # doctest: +SKIP
    ...     momentum = prices.pct_change(lookback)
    ...     return momentum.rank(axis=1, ascending=False) <= n
    >>> orvane.sweep(top, close, {"n": [10, 20], "lookback": [60, 120], "stop_loss": [0.1, None]},
    ...              options={"resample": "M"}, keep=3)                       # doctest: +SKIP
    """
    combos = expand_grid(grid)
    is_callable = not isinstance(strategy, pd.DataFrame)
    if is_callable and not callable(strategy):
        raise TypeError(
            f"strategy must be a DataFrame of weights or a callable strategy(prices, **params), got {type(strategy).__name__}"
        )
    options = dict(options or {})
    unknown = [n for n in options if n not in BACKTEST_OPTIONS]
    if unknown:
        raise ValueError(f"unknown backtest options {unknown}; expected some of {list(BACKTEST_OPTIONS)}")
    # A mapping names its parameters even when one of its lists is empty.
    names = list(dict.fromkeys([*(grid if isinstance(grid, Mapping) else []), *(n for c in combos for n in c)]))
    to_strategy = route(names, is_callable, strategy, strategy_keys)
    stats_options = dict(stats_options or {})
    allowed_stats = [n for n in inspect.signature(Report.stats).parameters if n != "self"]
    bad_stats = [n for n in stats_options if n not in allowed_stats]
    if bad_stats:
        raise ValueError(f"unknown stats_options {bad_stats}; expected some of {allowed_stats}")
    if isinstance(keep, bool) or not isinstance(keep, int) or keep < 0:
        raise ValueError(f"keep must be a non-negative integer, got {keep!r}")
    if max_workers is not None and (isinstance(max_workers, bool) or not isinstance(max_workers, int) or max_workers < 1):
        raise ValueError(f"max_workers must be a positive integer, got {max_workers!r}")

    payload = Payload(
        token=uuid.uuid4().hex,
        prices=prices,
        engine_prices=as_prices(prices),
        position=None if is_callable else strategy,
        strategy=strategy if is_callable else None,
        strategy_keys=to_strategy,
        options=options,
        stats_options=stats_options,
    )
    if not combos:
        return frame(names, combos, [])

    show = _show_progress(progress)
    serial = executor is None or (isinstance(executor, str) and executor == "serial")
    estimate = 1 if serial else (max_workers or default_workers())
    cut = batches(combos, to_strategy, batch_size, estimate)
    outcomes: list[Optional[Outcome]] = [None] * len(combos)
    printed: set[str] = set()
    bar: Any = None

    def start_bar() -> None:
        nonlocal bar
        # The bar starts after the pool's processes exist, so none inherits its thread.
        from tqdm import tqdm

        bar = tqdm(total=len(combos), unit="combo", desc="sweep", disable=not show, file=sys.stderr, smoothing=0.05)

    columns = set(names)

    def collect(results: list[Outcome]) -> None:
        for outcome in results:
            outcomes[outcome.index] = outcome
            if keep and outcome.stats is not None and sort_by not in columns:
                # Checked on the first result so that a misspelt name does not cost the whole sweep.
                if sort_by not in outcome.stats:
                    raise ValueError(f"sort_by={sort_by!r} is not a statistic of Report.stats(): {list(outcome.stats)}")
                columns.add(sort_by)
            for line in outcome.output.splitlines():
                if line not in printed:
                    printed.add(line)
                    print(line)

    runner = make_runner(executor, payload, max_workers, len(cut))
    cancelled = True
    try:
        for results in drive(runner, cut, False, start_bar):
            collect(results)
            if bar is not None:
                bar.update(len(results))
        done = [o if o is not None else Outcome(i, None, "not run") for i, o in enumerate(outcomes)]
        table = frame(names, combos, done)
        if any(o.stats for o in done):
            table.insert(table.columns.get_loc("error"), "deflated_sharpe", deflated_column([o.moments for o in done]))
        warn_missing_prices(table)
        # Every worker that ran a task has the data now; one that has not asks for it.
        runner.eager = 0
        if keep:
            chosen = best(table, sort_by, ascending, keep)
            reports: list[Any] = [None] * len(combos)
            for results in drive(runner, [[(i, combos[i])] for i in chosen], True, lambda: None):
                for outcome in results:
                    reports[outcome.index] = outcome.report
            table["report"] = pd.Series(reports, index=table.index, dtype=object)
        cancelled = False
    finally:
        if bar is not None:
            bar.close()
        runner.close(cancel=cancelled)
    return table
