"""Today's book and the next bar's orders in shares, from a back-test's results.

The book is the engine's: each holding still open at the end, valued at the
last close.  The targets are those of :meth:`orvane.Report.actions`: the
pending rebalance's weights for ``enter`` and ``hold`` (and for a stock
that an exit rule sells and the pending row buys back, ``tp_enter`` and
``sl_enter``), nothing for ``exit``, ``tp`` and ``sl``.  Each order takes
a holding to its target position in whole lots, at a price per stock.
"""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any, Mapping, Optional, Union

import numpy as np
import pandas as pd

from .defaults import COSTS
from .inputs import InputError

if TYPE_CHECKING:
    from .report import Report

__all__ = ["holdings", "orders", "ORDER_COLUMNS", "TARGET_IS_NEXT_WEIGHT", "TARGET_IS_ZERO"]

ORDER_COLUMNS = [
    "stock", "action", "side", "shares", "price", "value", "weight_now", "weight_target", "weight_after",
    "cost", "cash_after",
]
# Action words whose target is the pending row's weight, and those that leave the stock.
TARGET_IS_NEXT_WEIGHT = frozenset({"enter", "hold", "tp_enter", "sl_enter"})
TARGET_IS_ZERO = frozenset({"exit", "tp", "sl", "tp_", "sl_"})
# Words whose order is shown even when it rounds to no shares: a stock meant
# to be bought that one lot does not fit must not vanish from the list.
_SHOWN_WHEN_EMPTY = frozenset({"enter", "tp_enter", "sl_enter"})
# Quotients this close to a whole number are that number: 0.05 * 1e6 / 50
# must be 1,000 shares, not 999.
_SNAP = 1e-9


def holdings(report: "Report") -> pd.DataFrame:
    """The book at the last close: ``stock``, ``value``, ``weight`` and ``price`` per held stock.

    ``value`` is the holding's signed money value in the unit of the equity
    curve (fractions of the starting capital), ``weight`` its share of the
    portfolio's value then, and ``price`` the close it was valued at (the
    last valid one when the last bar has none).
    """
    raw = report._raw
    columns = ["stock", "value", "weight", "price"]
    if raw is None or raw.ledger is None:
        raise InputError("this report has no trade ledger (it was not made by orvane.backtest), so no book to read")
    ledger = raw.ledger
    still_open = np.asarray(ledger["exit_reason"]) == 0
    sid = raw.trades[still_open, 0]
    value = np.asarray(ledger["exit_value"], dtype=np.float64)[still_open]
    price = np.asarray(ledger["exit_price"], dtype=np.float64)[still_open]
    held = value != 0
    sid, value, price = sid[held], value[held], price[held]
    total = float(report.creturn.iloc[-1]) if len(report.creturn) else float("nan")
    order = np.argsort(sid, kind="stable")
    frame = pd.DataFrame(
        {
            "stock": raw.prepared.stocks.take(sid[order]) if len(sid) else raw.prepared.stocks[:0],
            "value": value[order],
            "weight": value[order] / total,
            "price": price[order],
        },
        columns=columns,
    )
    return frame


def _positive(value: Any, what: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InputError(f"{what} must be a number above 0, got {value!r}")
    out = float(value)
    if not 0.0 < out < math.inf:
        raise InputError(f"{what} must be a finite number above 0, got {value!r}")
    return out


def _lot(value: Any, stock: Any) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InputError(f"lot_size of {stock!r} must be a whole number of shares of at least 1, got {value!r}")
    out = float(value)
    if not (math.isfinite(out) and out >= 1 and out == int(out)):
        raise InputError(f"lot_size of {stock!r} must be a whole number of shares of at least 1, got {value!r}")
    return int(out)


def _lots(stocks: list, lot_size: Union[int, pd.Series, Mapping]) -> list:
    """One lot per stock, from one number or a table of lots by stock."""
    if isinstance(lot_size, (pd.Series, Mapping)):
        table = lot_size if isinstance(lot_size, pd.Series) else pd.Series(dict(lot_size), dtype=object)
        if not table.index.is_unique:
            raise InputError("lot_size names some stocks twice")
        missing = [s for s in stocks if s not in table.index]
        if missing:
            raise InputError(f"lot_size has no lot for stocks {', '.join(repr(s) for s in missing[:10])}"
                             + (f" and {len(missing) - 10} more" if len(missing) > 10 else ""))
        return [_lot(table[s], s) for s in stocks]
    if isinstance(lot_size, (bool, np.bool_)) or not isinstance(lot_size, numbers.Integral) or int(lot_size) < 1:
        raise InputError(f"lot_size must be a whole number of shares of at least 1 or a Series of them by stock,"
                         f" got {lot_size!r}")
    return [int(lot_size)] * len(stocks)


def _prices(report: "Report", stocks: list, prices: Optional[Union[pd.Series, Mapping]]) -> np.ndarray:
    """The price of each stock: the one given, else the last bar's close; refused where there is none."""
    raw = report._raw
    prepared = raw.prepared
    given = None
    if prices is not None:
        if not isinstance(prices, (pd.Series, Mapping)):
            raise InputError(f"prices must be a Series or mapping of prices by stock, got {type(prices).__name__}")
        given = prices if isinstance(prices, pd.Series) else pd.Series(dict(prices), dtype=object)
        if not given.index.is_unique:
            raise InputError("prices names some stocks twice")
    column = dict(zip(prepared.stocks, prepared.pos2price))
    last = prepared.close_values[-1] if len(prepared.close_values) else np.empty(0)
    out = np.empty(len(stocks))
    unpriced = []
    for k, stock in enumerate(stocks):
        if given is not None and stock in given.index:
            out[k] = _positive(given[stock], f"the price of {stock!r} in prices")
            continue
        value = float(last[column[stock]]) if len(last) else float("nan")
        if not (math.isfinite(value) and value > 0):
            unpriced.append(stock)
        out[k] = value
    if unpriced:
        day = report.creturn.index[-1].date() if len(report.creturn) else "the last bar"
        raise InputError(
            f"no price on the last bar ({day}) for stocks {', '.join(repr(s) for s in unpriced[:10])}"
            + (f" and {len(unpriced) - 10} more" if len(unpriced) > 10 else "")
            + ", which have orders: pass their prices, orders(capital, prices={stock: price})"
        )
    return out


def _whole(q: float) -> float:
    """``q`` itself, or the whole number it differs from only by rounding."""
    r = round(q)
    return float(r) if abs(q - r) <= _SNAP * max(1.0, abs(q)) else q


def _target_position(target: float, lot: int) -> float:
    """The target in shares, rounded toward zero to whole lots: the largest position not past the target."""
    lots = math.floor(_whole(abs(target) / lot))
    return math.copysign(lots * lot, target) if lots else 0.0


def _cost(held_value: float, amount: float, fee: float, tax: float) -> float:
    """The fee and tax of one trade by the book's rule: fee on every trade, tax on what reduces or closes a holding."""
    after = held_value + amount
    if after == 0.0:
        return abs(held_value) * (fee + tax)
    entry = (amount > 0 and after >= 0) or (amount < 0 and after <= 0)
    return abs(amount) * (fee if entry else fee + tax)


def orders(
    report: "Report",
    capital: float,
    lot_size: Union[int, pd.Series, Mapping] = 1,
    prices: Optional[Union[pd.Series, Mapping]] = None,
) -> pd.DataFrame:
    """The orders of the next bar for a portfolio worth ``capital`` now (see :meth:`orvane.Report.orders`)."""
    capital = _positive(capital, "capital")
    if report._raw is None:
        raise InputError("this report has no trade ledger (it was not made by orvane.backtest), so no book to read")
    book = holdings(report)
    weight_now = dict(zip(book["stock"], book["weight"]))
    acts = report.actions()
    stocks, words, targets = [], [], []
    for stock, word, next_weight in zip(acts["stock"], acts["action"], acts["next_weight"]):
        if word in TARGET_IS_NEXT_WEIGHT:
            target = float(next_weight)
        elif word in TARGET_IS_ZERO:
            target = 0.0
        else:
            continue
        if not math.isfinite(target):
            raise InputError(f"the target weight of {stock!r} is {target}; the newest weight row must be finite")
        if target == weight_now.get(stock, 0.0):
            continue
        stocks.append(stock)
        words.append(word)
        targets.append(target)
    lots = _lots(stocks, lot_size)
    price = _prices(report, stocks, prices)
    params = report.params
    fee = float(params.get("fee_ratio", COSTS["fee_ratio"])) + float(params.get("slippage", COSTS["slippage"]))
    tax = float(params.get("tax_ratio", COSTS["tax_ratio"]))

    rows = []
    for stock, word, target, lot, p in zip(stocks, words, targets, lots, price):
        now = weight_now.get(stock, 0.0)
        held = float(round(now * capital / p))
        shares = _target_position(target * capital / p, lot) - held
        if shares == 0 and word not in _SHOWN_WHEN_EMPTY:
            continue
        amount = shares * p
        rows.append({
            "stock": stock,
            "action": word,
            "side": "buy" if shares > 0 or (shares == 0 and target > now) else "sell",
            "shares": int(abs(shares)),
            "price": p,
            "value": abs(amount),
            "weight_now": now,
            "weight_target": target,
            "weight_after": (held + shares) * p / capital,
            "cost": _cost(held * p, amount, fee, tax),
            "flow": -amount,
        })
    # Sales first: the cash they raise is there for the purchases.
    rows.sort(key=lambda r: r["side"] == "buy")
    total = float(report.creturn.iloc[-1])
    cash = capital * ((total - float(book["value"].sum())) / total)
    for row in rows:
        cash += row.pop("flow") - row["cost"]
        row["cash_after"] = cash
    frame = pd.DataFrame(rows, columns=ORDER_COLUMNS)
    frame["shares"] = frame["shares"].astype(np.int64)
    frame.attrs.update(capital=capital, cash=float(cash))
    return frame
