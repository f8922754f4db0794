"""The one-call back-test: pandas tables in, :class:`orvane.Report` out."""

from __future__ import annotations

import math
from typing import Any, Optional, Sequence, Union

import numpy as np
import pandas as pd

from .inputs import InputError, prepare
from .report import Report

__all__ = ["backtest"]


def _stop(value: Optional[float], name: str) -> float:
    """A stop threshold for the engine: None switches the stop off."""
    if value is None:
        return math.inf
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise InputError(f"{name} must be a number or None, got {value!r}") from None
    if math.isnan(value):
        raise InputError(f"{name} must not be NaN (use None to switch it off)")
    return value


def _ratio(value: Any, name: str) -> float:
    try:
        out = float(value)
    except (TypeError, ValueError):
        raise InputError(f"{name} must be a number, got {value!r}") from None
    if not math.isfinite(out):
        raise InputError(f"{name} must be finite, got {value!r}")
    return out


def _window(value: Any, name: str, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise InputError(f"{name} must be an integer, got {value!r}")
    if not minimum <= int(value) < 2**31:
        raise InputError(f"{name} must be at least {minimum} (and below 2**31), got {value}")
    return int(value)


def _zero_price_message(prepared: Any) -> str:
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
) -> Report:
    """Back-test a table of target weights on price tables.

    A weight row dated ``t`` is noticed at the close of the last bar before
    ``t``'s next bar and traded at the trade price of the following bar, so
    weights computed from data up to the close of ``t`` trade on the next
    bar.

    Parameters
    ----------
    position : DataFrame
        Target weights indexed by date, one column per stock.  Floats are
        signed fractions of the portfolio (negative = short, NaN = 0);
        booleans mean "hold, equally weighted among the True columns of the
        row".
    prices : DataFrame, mapping, or Prices
        A wide table of prices (trade price and close), a mapping or
        (field, symbol) DataFrame of ``open``/``high``/``low``/``close``
        tables, or an :class:`orvane.Prices`.
    resample : None, str or dates
        None trades every position row; an offset alias (``"W"``, ``"M"``,
        ``"Q"``, ``"Y"``, anchors like ``"W-FRI"``) rebalances on the last
        bar of each period with the newest row then known; explicit dates
        rebalance on (the last bar on or before) each date.
    trade_at : {"close", "open"}
        Price at which trades are made.
    fee_ratio, tax_ratio : float
        Fee charged on every trade; tax charged on every sale.
    stop_loss, take_profit, trail_stop : float or None
        Exit thresholds as distances on the cumulative return of a holding
        since entry (0.1 = 10 %); None switches the rule off.
    touched_exit : bool
        Test exits inside the bar against high, low and open (needs those
        prices) instead of at the close.
    position_limit : float
        Largest absolute weight of one stock.
    retain_cost_when_rebalance : bool
        Keep the stop references of holdings that stay on the same side
        through a rebalance.
    stop_trading_next_period : bool
        A stock that left through an exit rule is not bought again at the
        next rebalance.
    excursion_window, excursion_window_step : int
        Bars after entry sampled for each trade's excursion path (0 = none).
    periodically_rebalance : bool
        Split continuing holdings into a new trade at each rebalance.
    benchmark : Series, optional
        Benchmark prices or values for alpha, beta and excess return.
    name : str, optional
        Title of the report.

    Returns
    -------
    Report

    Raises
    ------
    orvane.InputError
        When a table or option cannot be used, before anything runs.
    """
    options = {
        "fee_ratio": _ratio(fee_ratio, "fee_ratio"),
        "tax_ratio": _ratio(tax_ratio, "tax_ratio"),
        "stop_loss": _stop(stop_loss, "stop_loss"),
        "take_profit": _stop(take_profit, "take_profit"),
        "trail_stop": _stop(trail_stop, "trail_stop"),
        "touched_exit": bool(touched_exit),
        "position_limit": _ratio(position_limit, "position_limit"),
        "retain_cost_when_rebalance": bool(retain_cost_when_rebalance),
        "stop_trading_next_period": bool(stop_trading_next_period),
        "excursion_window": _window(excursion_window, "excursion_window", 0),
        "excursion_window_step": _window(excursion_window_step, "excursion_window_step", 1),
        "periodically_rebalance": bool(periodically_rebalance),
    }
    if benchmark is not None and not isinstance(benchmark, pd.Series):
        raise InputError(f"benchmark must be a pandas Series, got {type(benchmark).__name__}")
    prepared = prepare(position, prices, resample=resample, trade_at=trade_at, touched_exit=options["touched_exit"])

    from .core import excursion, portsim

    try:
        creturn = portsim.backtest_(*prepared.engine_args(), **options)
    except ZeroDivisionError as exc:
        raise InputError(_zero_price_message(prepared)) from exc
    operations = portsim.get_stock_operations()
    params = dict(options, resample=resample, trade_at=trade_at)
    if prepared.meta.get("note"):
        params["data_note"] = prepared.meta["note"]
    return Report.from_run(
        prepared, np.asarray(creturn), excursion.trades, excursion.trade_positions, excursion.excursion,
        operations, params,
        benchmark=benchmark, name=name,
    )
