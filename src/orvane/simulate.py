"""The one-call back-test: pandas tables in, :class:`orvane.Report` out."""

from __future__ import annotations

import inspect
import os
import threading
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Optional, Sequence, Union

import numpy as np
import pandas as pd

from .inputs import DataWarning, InputError, Prepared, check_benchmark, prepare
from .options import (
    check_costs,
    check_capital,
    check_flag,
    check_name,
    check_periods_per_year,
    check_ratio,
    check_stop,
    check_window,
)
from .gaps import HeldGaps
from .report import Report, RuinWarning, trade_rows

__all__ = ["backtest", "ENGINE_LOCK"]

# The engine keeps a run's results in its modules until the next run, so a
# run and the reading of its results must not interleave with another
# thread's run.  Re-entrant, so that a sweep can hold it around a whole
# combination (its output capture and strategy call included).
ENGINE_LOCK = threading.RLock()

# A process forked while another thread holds the lock would start with it
# held by a thread it does not have, and wait for it for ever at its first
# run (a process-pool sweep started while a thread runs a back-test).  A fork
# therefore waits for the run in progress and takes the lock across itself.
if hasattr(os, "register_at_fork"):
    os.register_at_fork(
        before=ENGINE_LOCK.acquire, after_in_parent=ENGINE_LOCK.release, after_in_child=ENGINE_LOCK.release
    )


@dataclass(frozen=True)
class EngineRun:
    """Everything one engine run produced, copied out of the engine's modules."""

    creturn: np.ndarray
    trades: np.ndarray
    trade_positions: list
    excursions: list
    operations: dict
    ledger: dict


def _run_engine(prepared: Prepared, options: dict) -> EngineRun:
    """Run the engine and read every result it leaves in module state, all under :data:`ENGINE_LOCK`.

    This is the only place that reads the engine's module-level results.
    """
    from .core import excursion, portsim

    with ENGINE_LOCK:
        creturn = portsim.backtest_(*prepared.engine_args(), **options)
        return EngineRun(
            creturn=np.array(creturn, dtype=np.float64, copy=True),
            trades=trade_rows(excursion.trades),
            trade_positions=list(excursion.trade_positions),
            excursions=list(excursion.excursion),
            operations=portsim.get_stock_operations(),
            ledger=portsim.get_trade_ledger(),
        )


def _zero_price_message(prepared: Prepared) -> str:
    """Name the stocks whose prices hold zeros, which the trade recorder cannot divide by.

    Only scanned after a failure, so a normal run does not pay for the pass.
    """
    arrays = [prepared.price_values, prepared.close_values]
    bad = np.zeros(len(prepared.price_columns), dtype=bool)
    for values in arrays:
        bad |= (values == 0).any(axis=0)
    names = [str(n) for n in prepared.price_columns[bad]]
    where = f": {', '.join(repr(n) for n in names[:10])}" if names else ""
    return f"prices must not be zero; a trade met a zero price in stocks{where}"


def backtest(
    position: pd.DataFrame,
    prices: Any,
    resample: Union[None, str, Sequence, pd.DatetimeIndex] = None,
    trade_at: str = "close",
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: Optional[float] = None,
    take_profit: Optional[float] = None,
    trail_stop: Optional[float] = None,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: bool = True,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    periodically_rebalance: bool = True,
    benchmark: Optional[pd.Series] = None,
    name: Optional[str] = None,
    periods_per_year: Optional[float] = None,
    slippage: float = 0.0,
    capital: Optional[float] = None,
) -> Report:
    """Back-test a table of target weights on price tables.

    A weight row dated ``t`` is taken up at the close of the last bar before
    the first bar after ``t``, and traded at the trade price of that next
    bar: weights computed from data up to the close of ``t`` trade on the
    next bar.

    Safe to call from several threads: runs take turns on the engine, and
    each call gets its own results.

    Parameters
    ----------
    position : DataFrame
        Target weights indexed by date (a DatetimeIndex or YYYYMMDD
        integers), one column per stock.  Floats are signed fractions of the
        portfolio (negative = short, NaN = 0); booleans mean "hold, equally
        weighted among the True columns of the row".
    prices : DataFrame, mapping, or Prices
        A wide table of prices (trade price and close), a mapping or
        (field, symbol) DataFrame of ``open``/``high``/``low``/``close``
        tables, or an :class:`orvane.Prices`.  Prices of held stocks must be
        positive; a missing price (NaN) is no move.
    resample : None, str or dates
        When to rebalance.  None: on every position row.  An offset alias
        (``"W"``, ``"M"``, ``"Q"``, ``"Y"``, anchors like ``"W-FRI"``): on the
        last bar of each calendar period.  Dates: on the last bar on or
        before each date (dates before the first bar are ignored).  At the
        close of such a bar the newest row dated before the next bar is
        traded on the next bar, so a row labelled with a period end that is
        not a trading day (``df.resample("ME").last()``) trades on the first
        bar after it.
    trade_at : {"close", "open"}
        Price at which trades are made.
    fee_ratio, tax_ratio : float
        Fee charged on every trade (default 0.1425 %); tax charged on every
        sale, a trade that reduces or closes a holding (default 0.3 %; a short
        pays it on the buy that covers it); each in [0, 1).  Pass 0 for a run
        without costs.  A change of side (long to short or back) is one trade
        charged the fee only, on the whole amount, shared between the closing
        and the opening trade in proportion to their sizes.
    stop_loss : float or None
        Exit once a holding has lost this fraction of its entry value, in
        (0, 1] (for a short: once its price has risen by this fraction).
    take_profit, trail_stop : float or None
        Exit once a holding has gained this fraction, or fallen this far
        from its best cumulative return since entry; each above 0.  The
        thresholds are distances on the cumulative return of a holding since
        entry (0.1 = 10 %), not fractions of a peak: ``trail_stop=0.1``
        after the price doubled exits at 1.9 times the entry price, 5 %
        below the peak.  None switches a rule off.  At the close, a signal
        is executed at the next bar's trade price; a signal raised on the
        bar a rebalance trades is tested against the reference of the
        period that ends there and executed on the next bar, after the
        rebalance bought the stock back or resized it.
    touched_exit : bool
        Test exits inside the bar against high, low and open (needs those
        prices) instead of at the close: a holding that touches a level is
        sold on that bar at the level's price, or at the open when the bar
        opens beyond it.
    position_limit : float
        Largest absolute weight of one stock, in (0, 1].
    retain_cost_when_rebalance : bool
        Keep the stop references of holdings that stay on the same side
        through a rebalance.  Without it every rebalance resets them: with
        a weight row on every bar (no ``resample``) a 10 % stop only fires
        on a 10 % fall within one bar.
    stop_trading_next_period : bool
        A stock that left through an exit rule is not bought again at the
        next rebalance; its weight stays in cash (it is not spread over the
        other stocks) until the row after that.
    excursion_window, excursion_window_step : int
        Bars after entry sampled for each trade's excursion path (0 = none;
        a window longer than the data is cut to the number of bars), and
        the step between samples (at least 1).
    periodically_rebalance : bool
        Split continuing holdings into a new trade at each rebalance.
    benchmark : Series, optional
        Benchmark prices or values for alpha, beta and excess return,
        indexed by dates in the time zone of the prices.
    name : str, optional
        Title of the report.
    periods_per_year : float, optional
        Bars per year for the annualised statistics of the report; inferred
        from the bar spacing when None (see :meth:`Report.stats`).
    slippage : float
        Cost of the price moving against each trade, as a fraction of the
        traded value on every buy and sell (0.0005 = 5 basis points a side),
        in [0, 1); charged with the fee (the engine's fee rate is
        ``fee_ratio + slippage``), which must stay below 1.
    capital : float, optional
        Starting capital in currency.  The trade tables then give
        ``invested``, ``pnl`` and ``costs`` in currency and add ``shares``;
        without it money is in fractions of the starting capital.  The
        equity curve stays unitless: ``creturn * capital`` is the account.

    Returns
    -------
    Report

    Warns
    -----
    orvane.DataWarning
        When a held stock had no price on some bars (its value was carried
        unchanged); ``Report.missing_prices`` lists them.
    orvane.RuinWarning
        When the portfolio's value fell to 0 or below (a short that rose
        too far): bar returns end there, and ``Report.stats()`` gives the
        ``ruin_date``.

    Raises
    ------
    orvane.InputError
        When a table or option cannot be used (before the run), or when a
        held stock had a zero, negative or infinite price (after it: a
        holding cannot be valued at such a price).  Each option's valid
        range is given above and in the message.
    """
    report = run_backtest(position, prices, dict(
        resample=resample, trade_at=trade_at, fee_ratio=fee_ratio, tax_ratio=tax_ratio, stop_loss=stop_loss,
        take_profit=take_profit, trail_stop=trail_stop, touched_exit=touched_exit, position_limit=position_limit,
        retain_cost_when_rebalance=retain_cost_when_rebalance, stop_trading_next_period=stop_trading_next_period,
        excursion_window=excursion_window, excursion_window_step=excursion_window_step,
        periodically_rebalance=periodically_rebalance, benchmark=benchmark, name=name,
        periods_per_year=periods_per_year, slippage=slippage, capital=capital,
    ))
    gaps = report.held_gaps()
    if gaps is not None and gaps.total:
        warnings.warn(missing_price_warning(gaps), DataWarning, stacklevel=2)
    ruined = np.flatnonzero(report.creturn.to_numpy() <= 0)
    if len(ruined):
        warnings.warn(ruin_warning(report.creturn, int(ruined[0])), RuinWarning, stacklevel=2)
    return report


def ruin_warning(creturn: pd.Series, bar: int) -> str:
    """The text of the warning about a portfolio worth 0 or less."""
    return (
        f"the portfolio was ruined on {creturn.index[bar].strftime('%Y-%m-%d')}: its value fell to"
        f" {creturn.iloc[bar]:.4g} of the starting capital ({creturn.iloc[-1]:.4g} at the end); bar returns"
        " end there and the ratios of Report.stats() use the bars up to it (see its ruin_date)"
    )


def _check_books(prepared: Prepared, run: "EngineRun") -> None:
    """Fail when the trades' profits and losses do not add up to the equity curve.

    A held stock whose price reaches 0 leaves the book unable to value it
    (its value turns NaN, or the trade is lost); nothing else should.
    """
    creturn, pnl, traded = run.creturn, run.ledger["pnl"], run.ledger["traded"]
    if len(creturn) == 0:
        return
    scale = 1.0 + float(np.abs(pnl).sum()) + float(traded.sum())
    if np.isfinite(creturn).all() and abs(float(pnl.sum()) - (creturn[-1] - 1.0)) <= 1e-9 * scale:
        return
    bad = np.zeros(len(prepared.price_columns), dtype=bool)
    for values in (prepared.price_values, prepared.close_values):
        bad |= (values <= 0).any(axis=0)
    names = [str(n) for n in prepared.price_columns[bad]]
    if names:
        raise InputError(
            f"prices of held stocks must be positive; a held stock's price reached 0 or below in stocks"
            f" {', '.join(repr(n) for n in names[:10])}: a holding cannot be valued at such a price (give the"
            " stock a small positive last price, or sell it before its price fails)"
        )
    raise RuntimeError("the trades of the run do not add up to its equity curve; please report this with the inputs")


def missing_price_warning(gaps: HeldGaps) -> str:
    """The text of the warning about held stocks without prices."""
    unknown = int(gaps.entry_missing.sum())
    entry_text = (
        f"; {unknown} trade{'s were' if unknown > 1 else ' was'} entered without a price (measured from"
        f" {'their' if unknown > 1 else 'its'} first price, excursions unknown)" if unknown else ""
    )
    return (
        f"held stocks had no price on {gaps.total} stock-bars, where their value was carried unchanged"
        f"{entry_text}: {gaps.summary(3)} (see Report.missing_prices)"
    )


def run_backtest(
    position: pd.DataFrame, prices: Any, options: dict, prepare_inputs: Callable[..., Prepared] = prepare
) -> Report:
    """:func:`backtest` without its warning: ``options`` are its keyword options (missing ones take their defaults).

    ``prepare_inputs`` builds the engine's arrays with the signature of
    :func:`orvane.inputs.prepare`; a sweep passes one that reuses them
    between runs on the same tables.
    """
    unknown = sorted(set(options) - set(_DEFAULTS))
    if unknown:
        raise TypeError(f"unknown backtest options {unknown}")
    given = {**_DEFAULTS, **options}
    fee_ratio, slippage = check_costs(given["fee_ratio"], given["slippage"])
    engine_options = {
        "fee_ratio": fee_ratio,
        "tax_ratio": check_ratio(given["tax_ratio"], "tax_ratio"),
        "stop_loss": check_stop(given["stop_loss"], "stop_loss"),
        "take_profit": check_stop(given["take_profit"], "take_profit"),
        "trail_stop": check_stop(given["trail_stop"], "trail_stop"),
        "touched_exit": check_flag(given["touched_exit"], "touched_exit"),
        "position_limit": check_ratio(given["position_limit"], "position_limit"),
        "retain_cost_when_rebalance": check_flag(given["retain_cost_when_rebalance"], "retain_cost_when_rebalance"),
        "stop_trading_next_period": check_flag(given["stop_trading_next_period"], "stop_trading_next_period"),
        "excursion_window": check_window(given["excursion_window"], "excursion_window", 0),
        "excursion_window_step": check_window(given["excursion_window_step"], "excursion_window_step", 1),
        "periodically_rebalance": check_flag(given["periodically_rebalance"], "periodically_rebalance"),
    }
    name = check_name(given["name"])
    periods_per_year = check_periods_per_year(given["periods_per_year"])
    capital = check_capital(given["capital"])
    benchmark = given["benchmark"]
    if benchmark is not None and not isinstance(benchmark, pd.Series):
        raise InputError(f"benchmark must be a pandas Series, got {type(benchmark).__name__}")
    resample, trade_at = given["resample"], given["trade_at"]
    prepared = prepare_inputs(position, prices, resample=resample, trade_at=trade_at,
                              touched_exit=engine_options["touched_exit"])
    if benchmark is not None:
        benchmark = check_benchmark(benchmark, prepared.dates)
    # Sampled offsets beyond the last bar would all be empty.
    engine_options["excursion_window"] = min(engine_options["excursion_window"], len(prepared.dates))

    try:
        # Slippage is charged through the engine's fee, on buys and sells alike.
        run = _run_engine(prepared, dict(engine_options, fee_ratio=fee_ratio + slippage))
    except ZeroDivisionError as exc:
        raise InputError(_zero_price_message(prepared)) from exc
    params = dict(engine_options, slippage=slippage, resample=resample, trade_at=trade_at, capital=capital)
    if prepared.meta.get("note"):
        params["data_note"] = prepared.meta["note"]
    report = Report.from_run(
        prepared, run.creturn, run.trades, run.trade_positions, run.excursions, run.operations, params,
        benchmark=benchmark, name=name, periods_per_year=periods_per_year, ledger=run.ledger,
    )
    # Found now, so that a held stock with an unusable price fails the call, not a later look at the trades.
    report.held_gaps()
    _check_books(prepared, run)
    return report


_DEFAULTS = {
    name: p.default for name, p in inspect.signature(backtest).parameters.items() if name not in ("position", "prices")
}
