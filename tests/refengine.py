"""Slow, plain-Python reference of the back-test engine and its trade recorder.

Every step is written out with Python floats (IEEE doubles) in the same order
of operations as the native engine, so a run of this module and a run of
``orvane.core.portsim.backtest_`` on the same inputs must agree bit for bit.
Sums are accumulated one element at a time in index order.

The argument-binding layer (argument types, dtypes and dimension checks) is
not modelled: callers pass well-formed NumPy arrays. Everything that can fail
while a run is in progress is reproduced with the same exception type and
message, and the state left behind by a failed run (the recorder's lists,
the zeros written into the caller's weight matrix) is kept in the result.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

WARNING_LINE = "**WARRN: orvane numpy array has nan!"


def fdiv(a: float, b: float) -> float:
    """IEEE division: a zero divisor gives an infinity or NaN instead of raising."""
    if b == 0.0:
        with np.errstate(all="ignore"):
            return float(np.float64(a) / np.float64(b))
    return a / b


def _out_of_bounds(axis: int) -> IndexError:
    return IndexError(f"Out of bounds on buffer access (axis {axis})")


def _wrap(i: int, n: int, axis: int) -> int:
    """Negative indices count from the end; anything else outside the axis fails."""
    if i < 0:
        i += n
    if i < 0 or i >= n:
        raise _out_of_bounds(axis)
    return i


def get1(a: Any, i: int) -> Any:
    """Bounds-checked read of a 1-D array or list; None reads as an empty buffer."""
    if a is None:
        raise _out_of_bounds(0)
    return a[_wrap(i, len(a), 0)]


def index2(shape: tuple[int, int], i: int, j: int) -> tuple[int, int]:
    """Check both axes of an element access; when both are out of range, axis 1 is named."""
    bad = -1
    if i < 0:
        i += shape[0]
    if i < 0 or i >= shape[0]:
        bad = 0
    if j < 0:
        j += shape[1]
    if j < 0 or j >= shape[1]:
        bad = 1
    if bad >= 0:
        raise _out_of_bounds(bad)
    return i, j


def get2(a: np.ndarray | None, i: int, j: int) -> float:
    """Bounds-checked read of a 2-D float array as a Python float; None is empty."""
    shape = (0, 0) if a is None else a.shape
    i, j = index2(shape, i, j)
    return float(a[i, j])


def row(a: np.ndarray | None, i: int) -> list[float]:
    """Bounds-checked read of one row of a 2-D float array."""
    if a is None:
        raise TypeError("'NoneType' object is not subscriptable")
    i = _wrap(i, a.shape[0], 0)
    return [float(x) for x in a[i]]


def set1(a: list, i: int, value: Any) -> None:
    """Bounds-checked write into a 1-D list."""
    a[_wrap(i, len(a), 0)] = value


class Recorder:
    """The per-run trade recorder: trade rows, weights and excursion arrays."""

    def __init__(self) -> None:
        self.price: np.ndarray | None = np.zeros((0, 0))
        self.close: np.ndarray | None = np.zeros((0, 0))
        self.pos2price: dict[int, int] = {}
        self.window = 0
        self.window_step = 0
        self.fee_ratio = 0.0
        self.tax_ratio = 0.0
        self.date = 0
        self.entry = np.zeros(0, dtype=int)
        self.position = np.zeros(0, dtype=float)
        self.entry_transaction = np.zeros(0, dtype=int)
        self.trades: list[list] = []
        self.trade_positions: list = []
        self.excursion: list[np.ndarray] = []

    def start_analysis(self, price, close, pos2price, nstocks, fee_ratio, tax_ratio,
                       window, window_step) -> None:
        self.price = price
        self.close = close
        self.pos2price = dict(pos2price)
        self.window = window
        self.window_step = window_step
        self.trades.clear()
        self.trade_positions.clear()
        self.excursion.clear()
        self.entry = np.zeros(nstocks, dtype=int)
        self.position = np.zeros(nstocks, dtype=float)
        self.entry_transaction = np.zeros(nstocks, dtype=int)
        self.fee_ratio = fee_ratio
        self.tax_ratio = tax_ratio

    def record_date(self, d: int) -> None:
        self.date = d

    def record_entry(self, sid: int, position_sid: float, has_entry_transaction: int) -> None:
        self.entry[sid] = self.date
        self.position[sid] = position_sid
        self.entry_transaction[sid] = has_entry_transaction

    def record_exit(self, sid: int, has_exit_transaction: int) -> None:
        self.trades.append([sid, self.entry[sid], self.date])
        self.trade_positions.append(self.position[sid])
        self.excursion.append(self.excursion_analysis(
            sid, int(self.entry[sid]), self.date, self.position[sid] > 0,
            int(self.entry_transaction[sid]), has_exit_transaction))

    def end_analysis(self, pos: dict[int, float]) -> None:
        for sid in sorted(pos):
            if pos[sid] != 0:
                self.trades.append([sid, self.entry[sid], -1])
                self.trade_positions.append(self.position[sid])
                self.excursion.append(self.excursion_analysis(
                    sid, int(self.entry[sid]), self.date, self.position[sid] > 0,
                    int(self.entry_transaction[sid]), 0))

    def _price(self, m: np.ndarray | None, i: int, j: int) -> float:
        if m is None:
            raise TypeError("'NoneType' object is not subscriptable")
        return float(m[i][j])

    def excursion_analysis(self, sid: int, i_entry: int, i_exit: int, is_long: Any,
                           i_entry_transaction: int, i_exit_transaction: int) -> np.ndarray:
        if sid not in self.pos2price:
            self.pos2price[sid] = 0
        pid = self.pos2price[sid]
        window, window_step = self.window, self.window_step
        fee_ratio, tax_ratio = self.fee_ratio, self.tax_ratio

        i_exit_max = i_exit
        if i_entry + window > i_exit_max:
            i_exit_max = i_entry + window
        plength = self.price.shape[0] if self.price is not None else 0
        if i_exit_max >= plength:
            i_exit_max = plength - 1
        if i_exit_max - i_entry < 0:
            raise OverflowError("can't convert negative value to size_t")

        long = bool(is_long)
        entry_price = self._price(self.price, i_entry, pid)
        entry_close = self._price(self.close, i_entry, pid)
        if entry_price == 0:
            raise ZeroDivisionError("float division")
        if long:
            price_ratio = entry_close / entry_price
        else:
            price_ratio = 2 - entry_close / entry_price
        if i_entry_transaction:
            price_ratio = (1 - fee_ratio) * price_ratio

        returns = [price_ratio]
        cummax = [1.0 if 1 > price_ratio else price_ratio]
        cummin = [1.0 if price_ratio > 1 else price_ratio]
        cummin_i = [0]
        mdd = [price_ratio - 1 if price_ratio - 1 < 0 else 0.0]
        profit_period = [1.0 if price_ratio > 1 else 0.0]

        pv = self._price(self.close, i_entry, pid)
        for ith in range(i_entry + 1, i_exit_max + 1):
            k = ith - i_entry
            p = self._price(self.close, ith, pid)
            if not math.isnan(p):
                if pv == 0:
                    raise ZeroDivisionError("float division")
                v = p / pv
                if not math.isnan(v):
                    if long:
                        price_ratio = price_ratio * v
                    else:
                        price_ratio = 2 - v * (2 - price_ratio)
                pv = p
            cmax = cummax[k - 1]
            cmin = cummin[k - 1]
            if price_ratio > cmax:
                cummax.append(price_ratio)
                cmax = price_ratio
            else:
                cummax.append(cmax)
            if cmin > price_ratio:
                cummin.append(price_ratio)
                cummin_i.append(k)
            else:
                cummin.append(cmin)
                cummin_i.append(cummin_i[k - 1])
            if cmax == 0:
                raise ZeroDivisionError("float division")
            newmdd = price_ratio / cmax - 1
            mdd.append(newmdd if mdd[k - 1] > newmdd else mdd[k - 1])
            profit_period.append(profit_period[k - 1] + (1.0 if 1 < price_ratio else 0.0))
            returns.append(price_ratio)
        size = len(returns)

        if i_exit_transaction:
            if i_entry != i_exit_max:
                q = self._price(self.price, i_exit_max, pid)
                c = self._price(self.close, i_exit_max, pid)
                if c == 0:
                    raise ZeroDivisionError("float division")
                if math.isnan(q / c):
                    pass  # a missing exit price or close is no move
                elif long:
                    returns[size - 1] = q / c * returns[size - 1]
                else:
                    returns[size - 1] = 2 - ((2 - returns[size - 1]) * q) / c
            returns[size - 1] = (1 - fee_ratio - tax_ratio) * returns[size - 1]

        if window_step == 0:
            raise ZeroDivisionError("integer division or modulo by zero")
        arsize = 6 * ((window - 1) // window_step) + 12
        ret = np.full(arsize, -1.0)

        def block(w: int) -> list[float]:
            return [cummin[w] - 1, cummax[w] - 1, cummax[cummin_i[w]] - 1, mdd[w],
                    profit_period[w], returns[w] - 1]

        # The horizon test compares as unsigned: a negative window is larger than any size,
        # and a position gone negative (a negative step) ends the path.
        limit = size if window < 0 else min(size, window)
        w, at = 0, 0
        while 0 <= w < limit:
            for value in block(w):
                if at >= arsize:
                    raise _out_of_bounds(0)
                ret[at] = value
                at += 1
            w += window_step

        span = i_exit - i_entry
        w = size - 1 if span < 0 else min(size - 1, span)
        summary = block(w)
        for off in range(6):
            ret[arsize - 6 + off] = summary[off]
        return ret


@dataclass
class Flags:
    """The two module flags that every trade of a run reads."""

    retain_cost_when_rebalance: bool = False
    resample: bool = False


# Why a trade ended, as the ledger's "exit_reason" codes it.
OPEN, REBALANCE, SPLIT, STOP_LOSS, TAKE_PROFIT, TRAIL_STOP = range(6)
LEDGER_ROWS = ["entry_price", "exit_price", "exit_value", "invested", "pnl", "costs", "exit_reason",
               "position_id"]


@dataclass
class Fill:
    """How a trade that ends a holding is filled: why, and at which price
    (None: the bar's trade price)."""

    reason: int
    price: float | None = None


class _Piece:
    """The open trade (or piece of a split holding) of one position column."""

    def __init__(self) -> None:
        self.entry_price = math.nan
        self.invested = 0.0
        self.flow = 0.0
        self.costs = 0.0
        self.id = 0
        self.pending = False


class Ledger:
    """The money account of a run's trades, row for row beside the recorder's."""

    def __init__(self, price_values: np.ndarray, pos2price: dict[int, int], nbars: int) -> None:
        self.price = price_values
        self.pos2price = pos2price
        self.d = 0
        self.pieces: dict[int, _Piece] = {}
        self.pending: list[int] = []
        self.next_id = 0
        self.rows: dict[str, list] = {k: [] for k in LEDGER_ROWS}
        self.traded = [0.0] * nbars
        self.held = [0.0] * nbars

    def piece(self, sid: int) -> _Piece:
        return self.pieces.setdefault(sid, _Piece())

    def _column(self, sid: int) -> int | None:
        """The price column, or None where no price can be read (never an error)."""
        c = self.pos2price.get(sid, -1)
        if c < 0 or c >= self.price.shape[1] or self.d < 0 or self.d >= self.price.shape[0]:
            return None
        return c

    def raw_price(self, sid: int) -> float:
        c = self._column(sid)
        return math.nan if c is None else float(self.price[self.d, c])

    def trade_price(self, sid: int) -> float:
        """The bar's trade price; a missing one reads as the last valid one before it."""
        c = self._column(sid)
        if c is None:
            return math.nan
        for b in range(self.d, -1, -1):
            p = float(self.price[b, c])
            if not math.isnan(p):
                return p
        return math.nan

    def add_traded(self, money: float) -> None:
        self.traded[self.d] += money

    def _start(self, pc: _Piece, sid: int) -> None:
        pc.entry_price = self.raw_price(sid)
        pc.pending = math.isnan(pc.entry_price)
        if pc.pending:
            self.pending.append(sid)

    def _emit(self, pc: _Piece, sid: int, exit_price: float, exit_value: float, pnl: float,
              costs: float, reason: int) -> None:
        if pc.pending:
            p = self.raw_price(sid)
            pc.entry_price = exit_price if math.isnan(p) else p
            pc.pending = False
        for key, value in zip(LEDGER_ROWS, [pc.entry_price, exit_price, exit_value, pc.invested,
                                            pnl, costs, reason, pc.id]):
            self.rows[key].append(value)

    def settle(self) -> None:
        """After a bar's valuation pass, pending entries take a valid trade price."""
        keep = []
        for sid in self.pending:
            pc = self.piece(sid)
            if not pc.pending:
                continue
            p = self.raw_price(sid)
            if math.isnan(p):
                keep.append(sid)
            else:
                pc.entry_price = p
                pc.pending = False
        self.pending = keep

    def enter(self, sid: int, target: float, flow: float, cost: float) -> None:
        pc = self.piece(sid)
        pc.id = self.next_id
        self.next_id += 1
        pc.invested = abs(target)
        pc.flow = flow
        pc.costs = cost
        self._start(pc, sid)

    def close(self, sid: int, value: float, flow: float, cost: float, fill: Fill) -> None:
        pc = self.piece(sid)
        exit_price = self.trade_price(sid) if fill.price is None else fill.price
        self._emit(pc, sid, exit_price, value, pc.flow + flow, pc.costs + cost, fill.reason)
        pc.flow = 0.0
        pc.costs = 0.0

    def flip(self, sid: int, held: float, target: float, flow: float, cost: float) -> None:
        pc = self.piece(sid)
        share = fdiv(abs(held), abs(held) + abs(target))
        closing_cost = cost * share
        closing_flow = held - closing_cost
        self._emit(pc, sid, self.trade_price(sid), held, pc.flow + closing_flow,
                   pc.costs + closing_cost, REBALANCE)
        pc.id = self.next_id
        self.next_id += 1
        pc.invested = abs(target)
        pc.flow = flow - closing_flow
        pc.costs = cost - closing_cost
        self._start(pc, sid)

    def split(self, sid: int, held: float, target: float, flow: float, cost: float) -> None:
        pc = self.piece(sid)
        self._emit(pc, sid, self.trade_price(sid), held, pc.flow + held, pc.costs, SPLIT)
        pc.invested = abs(target)
        pc.flow = flow - held
        pc.costs = cost
        self._start(pc, sid)

    def resize(self, sid: int, flow: float, cost: float, enlarged: float) -> None:
        pc = self.piece(sid)
        pc.flow = pc.flow + flow
        pc.costs = pc.costs + cost
        pc.invested = pc.invested + enlarged

    def close_open(self, sid: int, value: float, exit_price: float) -> None:
        pc = self.piece(sid)
        self._emit(pc, sid, exit_price, value, pc.flow + value, pc.costs, OPEN)

    def result(self) -> dict[str, np.ndarray]:
        dtypes = {"exit_reason": np.int8, "position_id": np.int64}
        out = {k: np.array(v, dtype=dtypes.get(k, np.float64)) for k, v in self.rows.items()}
        out["traded"] = np.array(self.traded, dtype=np.float64)
        out["held"] = np.array(self.held, dtype=np.float64)
        return out


def set_position(rec: Recorder, flags: Flags, p: dict[int, float], sid: int, position: float,
                 cash: float, fee_ratio: float, tax_ratio: float, check_null: bool = True,
                 set_null: bool = False, balance: float = 1.0, ledger: Ledger | None = None,
                 fill: Fill | None = None) -> float:
    """Move one holding to a target money value; return the new cash.

    With a ``ledger`` the trade is booked in it; ``fill`` says how a trade that
    ends the holding is filled (the bar's trade price by default).
    """
    exist = (sid in p) if check_null else True
    before = p[sid] if sid in p else 0.0
    prev_has_position = before != 0
    next_has_position = position != 0
    side_change = (before > 0 and position < 0) or (before < 0 and position > 0)

    # A zero balance with a non-zero target raises Python's own float division error.
    change = None
    if not prev_has_position and next_has_position:
        rec.record_entry(sid, position / balance, 1)
        change = "entry"
    elif prev_has_position and not next_has_position:
        rec.record_exit(sid, 1)
        change = "exit"
    elif side_change:
        rec.record_exit(sid, 1)
        rec.record_entry(sid, position / balance, 1)
        change = "flip"
    elif prev_has_position and next_has_position and not flags.retain_cost_when_rebalance \
            and flags.resample:
        rec.record_exit(sid, 0)
        rec.record_entry(sid, position / balance, 0)
        change = "split"
    elif prev_has_position and next_has_position:
        change = "resize"

    if position == 0:
        if not exist:
            return cash
        v = p.setdefault(sid, 0.0)
        if set_null:
            del p[sid]
        else:
            p[sid] = 0.0
        cost = abs(v) * (fee_ratio + tax_ratio)
        flow = v - cost
        if ledger is not None:
            ledger.add_traded(abs(v))
            if change == "exit":
                ledger.close(sid, v, flow, cost, fill if fill is not None else Fill(REBALANCE))
        return cash + flow

    # Reading an absent key inserts it with 0, whether or not it was looked up.
    p.setdefault(sid, 0.0)
    amount = position - p[sid]
    buy = amount > 0
    is_entry = (amount > 0 and position >= 0) or (amount < 0 and position <= 0)
    if is_entry:
        cost = abs(amount) * fee_ratio
    else:
        cost = abs(amount) * (fee_ratio + tax_ratio)
    if buy:
        flow = -amount
        cash = cash - amount
        p[sid] = p[sid] + (amount - cost)
    else:
        flow = -amount - cost
        cash = cash + flow
        p[sid] = p[sid] + amount
    if set_null and p[sid] == 0:
        del p[sid]
    if ledger is not None:
        ledger.add_traded(abs(amount))
        if change == "entry":
            ledger.enter(sid, position, flow, cost)
        elif change == "flip":
            ledger.flip(sid, before, position, flow, cost)
        elif change == "split":
            ledger.split(sid, before, position, flow, cost)
        elif change == "resize":
            ledger.resize(sid, flow, cost, abs(amount) if is_entry else 0.0)
    return cash


def rebalance(rec: Recorder, flags: Flags, p: dict[int, float], newp: list[float], cash: float,
              fee_ratio: float, tax_ratio: float, position_limit: float,
              ledger: Ledger | None = None) -> float:
    """Trade every stock id of a weight row to its money target; return the new cash."""
    balance = cash
    for sid in sorted(p):
        balance = balance + p[sid]
    s = 0.0
    for v in newp:
        s = s + abs(v)
    divisor = 1.0 if 1 > s else s
    ratio = balance / divisor
    if math.isnan(ratio):
        ratio = 1.0
    for sid, v in enumerate(newp):
        v2 = v * ratio
        cap = position_limit * balance
        if abs(v2) > cap:
            sign = 1 if v2 > 0 else -1
            v2 = cap * sign
        cash = set_position(rec, flags, p, sid, v2, cash, fee_ratio, tax_ratio,
                            True, True, balance, ledger, Fill(REBALANCE))
    return cash


def map_columns(price_columns, pos_columns) -> dict[int, int]:
    """Position-column index to price-column index, matched by UTF-8 name."""
    v: dict[bytes, int] = {}
    for i, name in enumerate(price_columns):
        v[name.encode("utf-8")] = i
    ret: dict[int, int] = {}
    for i, name in enumerate(pos_columns):
        nn = name.encode("utf-8")
        if nn in v:
            ret[i] = v[nn]
    return ret


def rebalance_marks(price_index, resample) -> list[int]:
    """Mark, for each resample date, the last bar dated on or before it."""
    nbars = len(price_index)
    date_rebalance = [0] * nbars
    ptr = 0
    for t in resample:
        t = int(t)
        while ptr + 1 < nbars and int(get1(price_index, ptr + 1)) <= t:
            ptr += 1
        set1(date_rebalance, ptr, 1)
    return date_rebalance


def normalize_weight(weights, position_limit):
    """Scale a weight dict down to gross 1 when above it, then clip each weight."""
    weight_sum = 0.0
    for sid, _w in weights.items():
        weight_sum += abs(weights[sid])
    for sid in weights:
        if weight_sum > 1:
            weights[sid] = weights[sid] * (1 / weight_sum)
    for sid in weights:
        if weights[sid] > position_limit:
            weights[sid] = position_limit
        elif weights[sid] < -position_limit:
            weights[sid] = -position_limit
    return weights


@dataclass
class Result:
    """Everything a run of the engine leaves observable."""

    creturn: np.ndarray | None = None
    trades: list = field(default_factory=list)
    trade_positions: list = field(default_factory=list)
    excursion: list = field(default_factory=list)
    stock_operations: dict | None = None
    pos_values: np.ndarray | None = None
    warnings: int = 0
    error: BaseException | None = None
    retain_cost_when_rebalance: bool | None = None
    resample: bool | None = None
    ledger: dict | None = None
    # The weight row each executed rebalance traded, in order.
    executed_rows: list = field(default_factory=list)

    def trade_stocks(self, pos_columns, price_index, touched_exit) -> list[list]:
        """The rows that ``get_trade_stocks`` builds from this run's trades."""
        return trade_rows(self.trades, self.trade_positions, pos_columns, price_index,
                          touched_exit)


def trade_rows(trades, trade_positions, pos_columns, price_index, touched_exit) -> list[list]:
    ret = []
    for i, t in enumerate(trades):
        closed = t[2] != -1
        ret.append([
            pos_columns[t[0]],
            price_index[t[1]],
            price_index[t[2]] if closed else -1,
            price_index[t[1] - 1],
            (price_index[t[2]] if touched_exit else price_index[t[2] - 1]) if closed else -1,
            trade_positions[i],
            t[2] - t[1] if closed else len(price_index) - t[1],
            t[1],
            t[2],
        ])
    return ret


class _Run:
    def __init__(self, price_values, close_values, high_values, low_values, open_values,
                 price_index, price_columns, pos_values, pos_index, pos_columns, resample,
                 fee_ratio, tax_ratio, stop_loss, take_profit, trail_stop, touched_exit,
                 position_limit, retain_cost_when_rebalance, stop_trading_next_period,
                 excursion_window, excursion_window_step, periodically_rebalance,
                 result: Result):
        self.price_values = price_values
        self.close_values = close_values
        self.high_values = high_values
        self.low_values = low_values
        self.open_values = open_values
        self.price_index = price_index
        self.price_columns = price_columns
        self.pos_values = pos_values
        self.pos_index = pos_index
        self.pos_columns = pos_columns
        self.resample = resample
        self.fee_ratio = float(fee_ratio)
        self.tax_ratio = float(tax_ratio)
        self.stop_loss = float(stop_loss)
        self.take_profit = float(take_profit)
        self.trail_stop = float(trail_stop)
        self.touched_exit = bool(touched_exit)
        self.position_limit = float(position_limit)
        self.retain = bool(retain_cost_when_rebalance)
        self.stop_trading = stop_trading_next_period
        self.window = int(excursion_window)
        self.window_step = int(excursion_window_step)
        self.periodically = bool(periodically_rebalance)
        self.res = result
        self.rec = Recorder()
        self.flags = Flags()

    def stop(self) -> bool:
        return bool(self.stop_trading)

    def run(self) -> None:
        for name in ("price_index", "pos_columns", "resample"):
            if getattr(self, name) is None:
                raise TypeError(f"Argument '{name}' must not be None")

        self.flags.retain_cost_when_rebalance = self.retain
        self.flags.resample = self.periodically
        self.res.retain_cost_when_rebalance = self.retain
        self.res.resample = self.periodically

        self.pos2price = map_columns(self.price_columns, self.pos_columns)

        self.cash = 1.0
        self.pos: dict[int, float] = {}
        self.latest_rebalanced_pos: dict[int, float] = {}
        self.pos_id = 0
        self.current_position_id = -1
        self.should_rebalance = False
        self.balance = 1.0
        nbars = len(self.price_index)
        self.creturn = np.empty(nbars, dtype=np.float64)
        self.cr = [1.0] * len(row(self.pos_values, 0))
        self.maxcr = [1.0] * len(self.cr)
        self.previous_price = [1.0] * len(row(self.price_values, 0))
        # Exit marks: (column signed by the bound it reached, the rule behind the bound).
        self.exit_stocks: list[tuple[int, int]] = []
        self.exit_stocks_temp: list[tuple[int, int]] = []
        self.exited_stocks: list[tuple[int, int]] = []
        self.stop_loss_abs = abs(self.stop_loss)
        self.take_profit_abs = abs(self.take_profit)
        self.trail_stop_abs = abs(self.trail_stop)

        self.date_rebalance = rebalance_marks(self.price_index, self.resample)
        self.ledger = Ledger(self.price_values, self.pos2price, nbars)

        rec = self.rec
        rec.trades = self.res.trades
        rec.trade_positions = self.res.trade_positions
        rec.excursion = self.res.excursion
        rec.start_analysis(self.price_values, self.close_values, self.pos2price,
                           len(self.pos_columns), self.fee_ratio, self.tax_ratio,
                           self.window, self.window_step)

        self.date = None
        for d in range(nbars):
            self.date = int(get1(self.price_index, d))
            if self.date < int(get1(self.pos_index, 0)):
                self.creturn[d] = 1.0
                continue
            rec.record_date(d)
            self.ledger.d = d
            self.exit_stocks_temp = []
            for sid in sorted(self.pos):
                self.value_holding(d, sid)
            self.ledger.settle()
            self.exit_step()
            if self.should_rebalance:
                self.rebalance_step(d)
            self.close_valuation(d)
            self.next_bar_decision(d)

        rec.end_analysis(self.pos)
        self.close_open_trades()
        self.report()
        self.res.creturn = self.creturn
        self.res.ledger = self.ledger.result()

    def close_open_trades(self) -> None:
        """The trades still open at the end, valued at the last close."""
        d = self.ledger.d
        for sid in sorted(self.pos):
            v = self.pos[sid]
            if v == 0:
                continue
            sidprice = self.price_column(sid)
            trade_price = get2(self.price_values, d, sidprice)
            close_price = get2(self.close_values, d, sidprice)
            if math.isnan(trade_price) or math.isnan(close_price):
                self.ledger.close_open(sid, v, self.ledger.trade_price(sid))
            else:
                self.ledger.close_open(sid, fdiv(v * close_price, trade_price), close_price)

    def price_column(self, sid: int) -> int:
        # A holding is never valued with another column's prices. A zero weight can
        # still become a NaN target (0 times an infinite ratio), so the guard of the
        # rebalance step alone does not keep unpriced columns out of the book.
        if sid not in self.pos2price:
            raise ValueError(f"position column '{str(get1(self.pos_columns, sid))}' has no price column")
        return self.pos2price[sid]

    def value_holding(self, d: int, sid: int) -> None:
        sidprice = self.price_column(sid)
        pp = self.previous_price
        if math.isnan(get1(pp, sidprice)):
            set1(pp, sidprice, get2(self.price_values, d, sidprice))
        r = fdiv(get2(self.price_values, d, sidprice), get1(pp, sidprice))
        if math.isnan(r):
            r = 1.0
        self.pos[sid] = self.pos[sid] * r
        if any(math.isnan(x) for x in self.cr):
            self.res.warnings += 1
        set1(self.cr, sid, get1(self.cr, sid) * r)
        if get1(self.cr, sid) > get1(self.maxcr, sid):
            set1(self.maxcr, sid, get1(self.cr, sid))
        self.exit_tests(d, sid, sidprice, r)
        price = get2(self.price_values, d, sidprice)
        if not math.isnan(price):
            set1(pp, sidprice, price)

    def exit_tests(self, d: int, sid: int, sidprice: int, r: float) -> None:
        cr = get1(self.cr, sid)
        maxcr = get1(self.maxcr, sid)
        entry_pos = fdiv(self.pos[sid], cr)
        if entry_pos > 0:
            max_r = 1 + self.take_profit_abs
            trail = maxcr - self.trail_stop_abs
            floor = 1 - self.stop_loss_abs
            trailing = trail > floor
            min_r = trail if trailing else floor
            upper, lower = TAKE_PROFIT, (TRAIL_STOP if trailing else STOP_LOSS)
        else:
            trail = maxcr + self.trail_stop_abs
            ceiling = 1 + self.stop_loss_abs
            trailing = trail < ceiling
            max_r = trail if trailing else ceiling
            min_r = 1 - self.take_profit_abs
            upper, lower = (TRAIL_STOP if trailing else STOP_LOSS), TAKE_PROFIT

        if self.touched_exit:
            p = get1(self.previous_price, sidprice)
            at_reference = fdiv(cr, r)
            high_r = at_reference * fdiv(get2(self.high_values, d, sidprice), p)
            low_r = at_reference * fdiv(get2(self.low_values, d, sidprice), p)
            open_price = get2(self.open_values, d, sidprice)
            open_r = at_reference * fdiv(open_price, p)
            touch_low = low_r <= min_r
            touch_high = high_r >= max_r
            touch_open = open_r >= max_r or open_r <= min_r
            if not (touch_low or touch_high or touch_open) or self.pos[sid] == 0:
                return  # no touch, or sold inside an earlier bar: it never exits again
            if touch_open:
                self.pos[sid] = entry_pos * open_r
                fill = Fill(upper if open_r >= max_r else lower, open_price)
            elif touch_high:
                self.pos[sid] = entry_pos * max_r
                fill = Fill(upper, fdiv(p * max_r, at_reference))
            else:
                self.pos[sid] = entry_pos * min_r
                fill = Fill(lower, fdiv(p * min_r, at_reference))
            if (touch_low and self.pos[sid] > 0) or (touch_high and self.pos[sid] < 0):
                self.exited_stocks.append((-sid, fill.reason))
            else:
                self.exited_stocks.append((sid, fill.reason))
            self.cash = set_position(self.rec, self.flags, self.pos, sid, 0.0, self.cash,
                                     self.fee_ratio, self.tax_ratio, False, False,
                                     ledger=self.ledger, fill=fill)
        else:
            close = get2(self.close_values, d, sidprice)
            price = get2(self.price_values, d, sidprice)
            cr_at_close = fdiv(cr * close, price)
            if self.pos[sid] != 0:  # a holding sold inside an earlier bar never exits again
                if cr_at_close >= max_r:
                    self.exit_stocks_temp.append((sid, upper))
                elif cr_at_close < min_r:
                    self.exit_stocks_temp.append((-sid, lower))

    def exit_step(self) -> None:
        for s, rule in self.exit_stocks:
            abssid = abs(s)
            will_be_set_by_rebalance = (
                self.should_rebalance and not self.stop()
                and get2(self.pos_values, self.pos_id, abssid) != 0)
            if abssid not in self.pos or self.pos[abssid] == 0 or will_be_set_by_rebalance:
                continue
            self.cash = set_position(self.rec, self.flags, self.pos, abssid, 0.0, self.cash,
                                     self.fee_ratio, self.tax_ratio, False, True,
                                     ledger=self.ledger, fill=Fill(rule))
            self.exited_stocks.append((s, rule))
            set1(self.cr, abssid, 1.0)
            set1(self.maxcr, abssid, 1.0)
            for i, (e, _rule) in enumerate(self.exit_stocks_temp):
                if e == s or e == -s:
                    del self.exit_stocks_temp[i]
                    break
        self.exit_stocks = list(self.exit_stocks_temp)

    def rebalance_step(self, d: int) -> None:
        weights = row(self.pos_values, self.pos_id)
        for sid, w in enumerate(weights):
            if w != 0 and sid not in self.pos2price:
                raise ValueError(
                    f"position column '{str(get1(self.pos_columns, sid))}' has no price column")

        if self.retain:
            for sid, pv in enumerate(weights):
                if pv != 0 and (sid not in self.pos or self.pos[sid] * pv <= 0):
                    set1(self.cr, sid, 1.0)
                    set1(self.maxcr, sid, 1.0)
        else:
            self.cr = [1.0] * len(self.cr)
            self.maxcr = [1.0] * len(self.maxcr)

        if self.stop():
            for s, _rule in self.exited_stocks:
                if not self.pos_values.flags.writeable:
                    raise ValueError("assignment destination is read-only")
                i, j = index2(self.pos_values.shape, self.pos_id, abs(s))
                self.pos_values[i, j] = 0

        newp = row(self.pos_values, self.pos_id)
        self.cash = rebalance(self.rec, self.flags, self.pos, newp, self.cash, self.fee_ratio,
                              self.tax_ratio, self.position_limit, self.ledger)
        self.latest_rebalanced_pos = dict(self.pos)
        self.exited_stocks = []
        self.previous_price = row(self.price_values, d)
        self.current_position_id = self.pos_id
        self.res.executed_rows.append(self.pos_id)

    def close_valuation(self, d: int) -> None:
        balance = self.cash
        held = 0.0
        for sid in sorted(self.pos):
            v = self.pos[sid]
            sidprice = self.price_column(sid)
            trade_price = get2(self.price_values, d, sidprice)
            close_price = get2(self.close_values, d, sidprice)
            if math.isnan(trade_price) or math.isnan(close_price):
                at_close = v
            else:
                at_close = fdiv(v * close_price, trade_price)
            balance = balance + at_close
            held = held + abs(at_close)
        self.ledger.held[d] = held
        self.balance = balance
        self.creturn[d] = balance

    def next_bar_decision(self, d: int) -> None:
        nbars = len(self.price_index)
        if d < nbars - 1:
            next_bar: float | int = int(get1(self.price_index, d + 1))
        else:
            next_bar = math.inf
        npos = len(self.pos_index)
        while self.pos_id < npos - 1 and int(get1(self.pos_index, self.pos_id + 1)) < next_bar:
            self.pos_id += 1
        self.should_rebalance = (self.current_position_id != self.pos_id
                                 and get1(self.date_rebalance, d) != 0)

    def report(self) -> None:
        self.res.stock_operations = {}
        build_report(self.res.stock_operations, self.pos, self.latest_rebalanced_pos,
                     self.pos_values, self.pos_index, self.pos_id, self.current_position_id,
                     self.should_rebalance, self.exit_stocks, self.exited_stocks, self.date,
                     self.position_limit, self.stop_trading)


def build_report(ops: dict, pos: dict[int, float], latest_rebalanced_pos: dict[int, float],
                 pos_values: np.ndarray, pos_index, pos_id: int, current_position_id: int,
                 should_rebalance: bool, exit_stocks: list[tuple[int, int]],
                 exited_stocks: list[tuple[int, int]], date: int, position_limit: float,
                 stop_trading_next_period: Any) -> dict:
    """Fill ``ops`` with the stock-operations report of the end of a run.

    The exit lists hold (signed column, rule) marks; the action word names the
    rule ("tp" forms for a take profit, "sl" forms for a stop or trailing stop).
    """
    ops.clear()
    ops.update({"actions": {}, "weights": {}, "next_weights": {}})
    actions, weights, next_weights = ops["actions"], ops["weights"], ops["next_weights"]

    def stop() -> bool:
        # Tested for truth at every use, as the steps below state it.
        return bool(stop_trading_next_period)

    latest_weight_sum: float = 0
    for sid in sorted(latest_rebalanced_pos):
        weight = get2(pos_values, current_position_id, sid)
        weights[sid] = weight if sid in pos and pos[sid] != 0 else 0
        latest_weight_sum += weight
    for sid in weights:
        weights[sid] = weights[sid] / (latest_weight_sum if latest_weight_sum > 1 else 1)

    total_next_weight_sum: float = 0
    newest = row(pos_values, pos_id)
    for sid, weight in enumerate(newest):
        total_next_weight_sum += abs(weight)
        if stop() and (any(abs(e) == sid for e, _ in exited_stocks)
                     or any(abs(e) == sid for e, _ in exit_stocks)):
            continue
        if weight != 0:
            next_weights[sid] = weight
    ops["weight_time"] = current_position_id
    ops["next_weight_time"] = pos_id
    for sid in next_weights:
        next_weights[sid] = next_weights[sid] / (
            total_next_weight_sum if total_next_weight_sum > 1 else 1)

    normalize_weight(weights, position_limit)
    normalize_weight(next_weights, position_limit)

    if should_rebalance:
        for sid, val1 in enumerate(newest):
            if sid not in pos or pos[sid] == 0:
                if val1 != 0:
                    actions[sid] = "enter"
            else:
                if val1 == 0:
                    actions[sid] = "exit"
                if val1 != 0:
                    actions[sid] = "hold"

    for s, rule in exit_stocks:
        k = abs(s)
        tp = rule == TAKE_PROFIT
        if stop():
            actions[k] = "tp" if tp else "sl"
        elif date > int(get1(pos_index, pos_id)):
            actions[k] = "tp" if tp else "sl"
        elif k in next_weights and next_weights[k] != 0:
            actions[k] = "tp_enter" if tp else "sl_enter"

    for s, rule in exited_stocks:
        k = abs(s)
        if stop() or k not in actions:
            actions[k] = "tp_" if rule == TAKE_PROFIT else "sl_"
    return ops


def backtest_(price_values, close_values, high_values, low_values, open_values, price_index,
              price_columns, pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425,
              tax_ratio=0.003, stop_loss=1.0, take_profit=math.inf, trail_stop=math.inf,
              touched_exit=False, position_limit=1.0, retain_cost_when_rebalance=False,
              stop_trading_next_period=True, excursion_window=0, excursion_window_step=1,
              periodically_rebalance=True) -> Result:
    """Run the reference back-test.

    Same parameters as ``orvane.core.portsim.backtest_``. The caller's arrays
    are not changed: the run works on a copy of ``pos_values`` (keeping its
    writeable flag) and returns it as ``Result.pos_values``. A failure does
    not raise; it is stored in ``Result.error`` beside the partial state.
    """
    work = None
    if pos_values is not None:
        work = np.array(pos_values, dtype=np.float64, copy=True)
        work.setflags(write=pos_values.flags.writeable)
    res = Result(pos_values=work)
    run = _Run(price_values, close_values, high_values, low_values, open_values, price_index,
               price_columns, work, pos_index, pos_columns, resample, fee_ratio, tax_ratio,
               stop_loss, take_profit, trail_stop, touched_exit, position_limit,
               retain_cost_when_rebalance, stop_trading_next_period, excursion_window,
               excursion_window_step, periodically_rebalance, res)
    try:
        run.run()
    except Exception as exc:  # the run's failure is part of its observable result
        res.error = exc
        res.creturn = None
    return res
