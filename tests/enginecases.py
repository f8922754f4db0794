"""Random small markets for comparing the native engine with ``refengine``.

A case holds every argument of ``backtest_``. The bulk values come from a
NumPy generator seeded by hypothesis, the structure (sizes, options, which
oddities appear) is drawn directly so that hypothesis can shrink it.
"""

from __future__ import annotations

import contextlib
import io
import math
import struct
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from hypothesis import strategies as st

import refengine as R

DAY = 86_400 * 10**9
BASE = 1_600_000_000 * 10**9
NAME_POOL = ["A", "B", "C", "D", "E", "F", "é", "中"]
MISSING_POOL = ["Z", "a", "b", "Ω"]
LAYOUTS = ["c", "fortran", "strided", "reversed"]
TRUTHY_OBJECTS = [0, 1, None, "", "yes", [], [0], np.bool_(True), np.bool_(False), 0.0]
REPORT_KEYS = ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
LEDGER_KEYS = R.LEDGER_ROWS + ["traded", "held"]


@dataclass
class Case:
    price_values: np.ndarray
    close_values: np.ndarray
    high_values: np.ndarray | None
    low_values: np.ndarray | None
    open_values: np.ndarray | None
    price_index: np.ndarray
    price_columns: np.ndarray
    pos_values: np.ndarray
    pos_index: np.ndarray
    pos_columns: np.ndarray
    resample: np.ndarray
    options: dict[str, Any] = field(default_factory=dict)
    layout: str = "c"
    read_only: bool = False

    def arrays(self) -> list:
        return [self.price_values, self.close_values, self.high_values, self.low_values,
                self.open_values, self.price_index, self.price_columns, self.pos_values,
                self.pos_index, self.pos_columns, self.resample]

    def __repr__(self) -> str:
        names = ["price_values", "close_values", "high_values", "low_values", "open_values",
                 "price_index", "price_columns", "pos_values", "pos_index", "pos_columns",
                 "resample"]
        parts = [f"{n}={_literal(a)}" for n, a in zip(names, self.arrays())]
        options = ", ".join(f"{k}={_value(v)}" for k, v in self.options.items())
        parts.append(f"options=dict({options})")
        parts += [f"layout={self.layout!r}", f"read_only={self.read_only!r}"]
        return "Case(\n  " + ",\n  ".join(parts) + ")"


def _value(v: Any) -> str:
    if isinstance(v, float) and not math.isfinite(v):
        return f"float({str(v)!r})"
    return repr(v)


def _literal(a: np.ndarray | None) -> str:
    """Python source that rebuilds the array (for pasting a failing case into a test)."""
    if a is None:
        return "None"
    text = repr(a.tolist())
    if a.dtype.kind == "f":
        text = text.replace("nan", "math.nan").replace("inf", "math.inf")
    return f"np.array({text}, dtype={a.dtype.name!r})"


def relayout(a: np.ndarray | None, kind: str) -> np.ndarray | None:
    """The same values in another memory layout (the engine must accept any strides)."""
    if a is None:
        return None
    if kind == "c":
        return np.array(a, copy=True, order="C")
    if kind == "fortran":
        return np.array(a, copy=True, order="F")
    if kind == "strided":
        big = np.empty(tuple(2 * n for n in a.shape), dtype=a.dtype)
        view = big[tuple(slice(None, None, 2) for _ in a.shape)]
        view[...] = a
        return view
    flip = tuple(slice(None, None, -1) for _ in a.shape)
    return a[flip].copy()[flip]


def _prices(rng: np.random.Generator, n_bars: int, n_cols: int, vol: float) -> np.ndarray:
    start = rng.uniform(5, 50, size=n_cols)
    steps = rng.normal(0, vol, size=(n_bars, n_cols))
    steps[0] = 0
    return np.round(start * np.exp(np.cumsum(steps, axis=0)), 2)


def _dates(rng: np.random.Generator, price_index: np.ndarray, n: int) -> np.ndarray:
    """Dates on bars, a nanosecond around bars, between bars, before and after the data."""
    out = []
    for _ in range(n):
        kind = rng.integers(0, 6)
        bar = int(price_index[rng.integers(0, len(price_index))])
        if kind <= 1:
            out.append(bar)
        elif kind == 2:
            out.append(bar + int(rng.choice([-1, 1])))
        elif kind == 3:
            out.append(bar + DAY // 2)
        elif kind == 4:
            out.append(int(price_index[0]) - int(rng.integers(1, 4)) * DAY)
        else:
            out.append(int(price_index[-1]) + int(rng.integers(1, 4)) * DAY)
    return np.array(out, dtype=np.int64)


@st.composite
def cases(draw, bars: tuple[int, int] = (1, 40), price_cols: tuple[int, int] = (1, 6),
          pos_cols: tuple[int, int] = (1, 6), rows: tuple[int, int] = (1, 8)) -> Case:
    n_bars = draw(st.integers(*bars))
    n_price = draw(st.integers(*price_cols))
    n_pos = draw(st.integers(*pos_cols))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    if rng.uniform() < 0.1:
        # Wide enough rows that a pairwise sum would round differently from a sequential one.
        n_pos += 8

    if n_price <= len(NAME_POOL):
        price_names = [draw(st.sampled_from(NAME_POOL)) for _ in range(n_price)]
    else:
        price_names = [f"P{i}" for i in rng.permutation(n_price)]
    pos_names = []
    mapped = []
    for _ in range(n_pos):
        if rng.uniform() < min(0.15, 1.5 / n_pos):
            pos_names.append(draw(st.sampled_from(MISSING_POOL)))
            mapped.append(False)
        else:
            pos_names.append(draw(st.sampled_from(price_names)))
            mapped.append(True)
    if rng.uniform() < 0.04:
        # A name whose price column lies beyond the price matrices.
        price_names.append("X")
        pos_names[int(rng.integers(0, n_pos))] = "X"

    vol = draw(st.sampled_from([0.01, 0.05, 0.15]))
    price = _prices(rng, n_bars, n_price, vol)
    close = price.copy() if draw(st.booleans()) else np.round(
        price * np.exp(rng.normal(0, vol / 2, size=price.shape)), 2)
    if draw(st.booleans()):
        open_ = np.round(price * np.exp(rng.normal(0, vol / 2, size=price.shape)), 2)
        top = np.maximum(np.maximum(open_, close), price)
        bottom = np.minimum(np.minimum(open_, close), price)
        high = np.round(top * (1 + np.abs(rng.normal(0, vol, size=price.shape))), 2)
        low = np.round(bottom * (1 - np.abs(rng.normal(0, vol / 2, size=price.shape))), 2)
    else:
        open_, high, low = (np.round(price * np.exp(rng.normal(0, vol, size=price.shape)), 2)
                            for _ in range(3))

    for _ in range(draw(st.integers(0, 3))):
        col = int(rng.integers(0, n_price))
        start = int(rng.integers(0, n_bars))
        stop = start + int(rng.integers(1, 6))
        which = draw(st.sampled_from(["all", "price", "close", "bar"]))
        targets = {"all": [price, close, high, low, open_], "price": [price],
                   "close": [close], "bar": [high, low, open_]}[which]
        for m in targets:
            m[start:stop, col] = math.nan
    if rng.uniform() < 0.04:
        # Odd but legal doubles: a negative stretch or an infinite price.
        col = int(rng.integers(0, n_price))
        start = int(rng.integers(0, n_bars))
        if rng.uniform() < 0.5:
            price[start:, col] *= -1
        else:
            price[start, col] = math.inf
    if rng.uniform() < 0.08:
        m = draw(st.sampled_from(["price", "close"]))
        target = price if m == "price" else close
        target[int(rng.integers(0, n_bars)), int(rng.integers(0, n_price))] = 0.0

    steps = rng.choice([DAY, DAY, 2 * DAY, 3 * DAY, 1], size=n_bars)
    if n_bars > 1 and rng.uniform() < 0.05:
        steps[int(rng.integers(1, n_bars))] = 0

    price_index = (BASE + np.cumsum(steps)).astype(np.int64)

    n_rows = draw(st.integers(*rows))
    pos_index = _dates(rng, price_index, n_rows)
    if rng.uniform() < 0.7:
        pos_index[0] = price_index[0] - int(rng.integers(0, 2)) * DAY
    pos_index = np.sort(pos_index)
    zero_share = draw(st.sampled_from([0.1, 0.3, 0.6]))
    long_only = draw(st.booleans())
    kind = draw(st.sampled_from(["signed", "equal", "large"]))
    weights = np.round(rng.uniform(-1, 1, size=(n_rows, n_pos)), 3)
    if kind == "equal":
        weights = np.sign(weights) / n_pos
    elif kind == "large":
        weights = weights * 3
    if long_only:
        weights = np.abs(weights)
    weights[rng.uniform(size=weights.shape) < zero_share] = 0.0
    for j, ok in enumerate(mapped):
        if not ok and rng.uniform() < 0.9:
            weights[:, j] = 0.0
    if rng.uniform() < 0.05:
        weights[int(rng.integers(0, n_rows)), int(rng.integers(0, n_pos))] = math.nan

    mode = draw(st.sampled_from(["bars", "random", "random", "sparse"]))
    if mode == "bars":
        resample = price_index.copy()
    elif mode == "sparse":
        resample = _dates(rng, price_index, draw(st.integers(0, 2)))
    else:
        resample = _dates(rng, price_index, draw(st.integers(1, 20)))
        if rng.uniform() < 0.8:
            resample = np.sort(resample)

    touched_exit = draw(st.booleans())
    options = dict(
        fee_ratio=draw(st.sampled_from([0.0, 0.001425]) | st.floats(0, 0.02)),
        tax_ratio=draw(st.sampled_from([0.0, 0.003]) | st.floats(0, 0.01)),
        stop_loss=draw(st.sampled_from([1.0, 0.02, 0.05, 0.1]) | st.floats(-0.5, 0.5)),
        take_profit=draw(st.sampled_from([math.inf, 0.02, 0.05, 0.1]) | st.floats(-0.6, 0.6)),
        trail_stop=draw(st.sampled_from([math.inf, 0.02, 0.05]) | st.floats(0, 0.4)),
        touched_exit=touched_exit,
        position_limit=draw(st.sampled_from([1.0, 0.0]) | st.floats(0.05, 1.5)),
        retain_cost_when_rebalance=draw(st.booleans()),
        stop_trading_next_period=draw(st.booleans() | st.sampled_from(TRUTHY_OBJECTS)),
        excursion_window=draw(st.integers(0, 8)),
        excursion_window_step=draw(st.integers(1, 4)),
        periodically_rebalance=draw(st.booleans()),
    )

    if rng.uniform() < 0.03:
        options["excursion_window"] = -int(rng.integers(1, 9))
    if rng.uniform() < 0.03:
        options["excursion_window_step"] = -int(rng.integers(1, 4))
    if not touched_exit and rng.uniform() < 0.25:
        high = low = open_ = None
    short_rows = rng.uniform() < 0.04
    if short_rows and n_rows > 1:
        weights = weights[: int(rng.integers(1, n_rows))]
    elif rng.uniform() < 0.04:
        # Rows beyond the last weight date are never reached.
        weights = np.vstack([weights, rng.uniform(-1, 1, size=(2, n_pos))])
    read_only = not short_rows and rng.uniform() < 0.1

    if rng.uniform() < 0.03:
        # More or fewer names than weight columns.
        pos_names = pos_names[: int(rng.integers(0, n_pos))] if rng.uniform() < 0.5 else (
            pos_names + ["A", "Q"])
    return Case(price, close, high, low, open_, price_index,
                np.array(price_names, dtype=object), weights, pos_index,
                np.array(pos_names, dtype=object), resample, options,
                draw(st.sampled_from(LAYOUTS)), read_only)


def bits(x: float) -> int:
    return struct.unpack("<q", struct.pack("<d", float(x)))[0]


def same_float(a: Any, b: Any) -> bool:
    a, b = float(a), float(b)
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return bits(a) == bits(b)


def same_array(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal shape and dtype, NaN where the other has NaN, bit-identical elsewhere."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype.kind != "f":
        return bool(np.array_equal(a, b))
    if not np.array_equal(a, b, equal_nan=True):
        return False
    nan = np.isnan(a)
    return bool(np.array_equal(a[~nan].view(np.int64), b[~nan].view(np.int64)))


def same_dict(a: dict, b: dict) -> bool:
    return list(a) == list(b) and all(same_float(a[k], b[k]) for k in a)


@dataclass
class Native:
    """What a native run left observable."""

    creturn: np.ndarray | None
    error: BaseException | None
    trades: list
    trade_positions: list
    excursion: list
    stock_operations: dict
    pos_values: np.ndarray
    warnings: int
    flags: tuple
    ledger: dict


def run_native(portsim, excursion, case: Case) -> Native:
    args = [relayout(a, case.layout) for a in case.arrays()]
    pos_values = args[7]
    if case.read_only:
        pos_values.setflags(write=False)
    out = io.StringIO()
    creturn, error = None, None
    with contextlib.redirect_stdout(out):
        try:
            creturn = portsim.backtest_(*args, **case.options)
        except Exception as exc:  # compared with the reference's failure
            error = exc
    lines = out.getvalue().splitlines()
    assert all(line == R.WARNING_LINE for line in lines), lines
    return Native(creturn, error, list(excursion.trades), list(excursion.trade_positions),
                  list(excursion.excursion), portsim.get_stock_operations(), pos_values,
                  len(lines), (portsim.RETAIN_COST_WHEN_REBALANCE, portsim.RESAMPLE),
                  portsim.get_trade_ledger())


def run_reference(case: Case) -> R.Result:
    args = case.arrays()
    if args[7] is not None:
        args[7] = args[7].copy()
        args[7].setflags(write=not case.read_only)
    return R.backtest_(*args, **case.options)


def compare(portsim, excursion, case: Case, between: Any = None, waive: Any = None) -> None:
    """Run both engines on the case and assert that every observable agrees.

    ``between``, if given, is called after the reference run and before the
    native one (to reset objects that count how they are used). ``waive``, if
    given, maps the reference result to a set of report keys not to compare
    (for a recorded, still open disagreement).
    """
    before = portsim.get_stock_operations()
    ledger_before = portsim.get_trade_ledger()
    ref = run_reference(case)
    if between is not None:
        between()
    nat = run_native(portsim, excursion, case)
    waived = waive(ref) if waive is not None else set()

    if ref.error is not None:
        assert nat.error is not None, f"native succeeded, reference raised {ref.error!r}"
        assert type(nat.error) is type(ref.error), (nat.error, ref.error)
        assert str(nat.error) == str(ref.error)
    else:
        assert nat.error is None, f"native raised {nat.error!r}"

    if ref.retain_cost_when_rebalance is not None:
        assert nat.flags == (ref.retain_cost_when_rebalance, ref.resample)
        assert all(type(f) is bool for f in nat.flags)

    assert len(nat.trades) == len(ref.trades)
    for got, want in zip(nat.trades, ref.trades):
        assert got == want
        assert [type(x) for x in got] == [type(x) for x in want], got
    assert len(nat.trade_positions) == len(ref.trade_positions)
    for got, want in zip(nat.trade_positions, ref.trade_positions):
        assert isinstance(got, np.float64) and same_float(got, want), (got, want)
    assert len(nat.excursion) == len(ref.excursion)
    for got, want in zip(nat.excursion, ref.excursion):
        assert same_array(got, want), (got, want)

    if ref.pos_values is not None:
        assert same_array(np.asarray(nat.pos_values), ref.pos_values)
    assert nat.warnings == ref.warnings

    if ref.error is not None:
        # A failed run leaves the ledger of the last completed one.
        compare_ledger(nat.ledger, ledger_before)
        if ref.stock_operations is None:
            # The run failed before its report: the previous report stays.
            assert list(nat.stock_operations) == list(before)
            assert all(nat.stock_operations[k] is before[k] for k in before)
        else:
            compare_report(nat.stock_operations, ref.stock_operations, waived)
        return

    assert isinstance(nat.creturn, np.ndarray) and same_array(nat.creturn, ref.creturn), (
        nat.creturn, ref.creturn)
    assert list(nat.stock_operations) == REPORT_KEYS
    compare_report(nat.stock_operations, ref.stock_operations)
    compare_ledger(nat.ledger, ref.ledger)
    assert len(nat.ledger["pnl"]) == len(nat.trades)
    assert len(nat.ledger["traded"]) == len(case.price_index)

    touched = case.options.get("touched_exit", False)
    rows, ops = portsim.get_trade_stocks(case.pos_columns, case.price_index, touched)
    want_rows = ref.trade_stocks(case.pos_columns, case.price_index, touched)
    assert len(rows) == len(want_rows)
    for got, want in zip(rows, want_rows):
        assert len(got) == 9
        assert got[0] == want[0] and same_float(got[5], want[5])
        assert [int(x) for x in got[1:5] + got[6:]] == [int(x) for x in want[1:5] + want[6:]]
        for g, w in zip(got[1:5], want[1:5]):
            assert type(g) is type(w), (got, want)
    compare_report(ops, ref.stock_operations)


def compare_ledger(got: dict, want: dict) -> None:
    """Same columns in the same order, each bit-identical with the same dtype."""
    assert list(got) == LEDGER_KEYS and list(want) == LEDGER_KEYS
    for key in LEDGER_KEYS:
        assert same_array(got[key], want[key]), (key, got[key], want[key])


def compare_report(got: dict, want: dict, waived: Any = frozenset()) -> None:
    """Same keys in the same order with the same values (a failed report may be partial)."""
    assert list(got) == list(want)
    assert list(got["actions"].items()) == list(want["actions"].items())
    assert same_dict(got["weights"], want["weights"]), (got["weights"], want["weights"])
    if "next_weights" not in waived:
        assert same_dict(got["next_weights"], want["next_weights"]), (
            got["next_weights"], want["next_weights"])
    for key in ("weight_time", "next_weight_time"):
        if key in want:
            assert type(got[key]) is int and got[key] == want[key]
