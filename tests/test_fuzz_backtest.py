"""Fuzzing backtest_ and get_trade_stocks: every input ends in a result or a Python exception.

A scenario starts as a well-formed back-test (ascending dates, named
columns, finite weights) with random shapes, prices (zeros, negatives,
NaN, infinities) and options, in random memory layouts; then up to three
corruptions are applied: None, lists, wrong dtypes or dimensions, empty,
shorter or longer arrays, bad column names, extreme dates, and scalar
options of the wrong type or out of range. Whatever happens, the call must
return or raise one of the expected exception types, leave the inputs the
caller did not hand over for writing untouched, and leave the module able to
run the next back-test exactly as before.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pytest
from hypothesis import assume, event, given
from hypothesis import strategies as st

from fuzzing import BAD_INPUT_ERRORS, MAX_EXCURSION_ARRAY, PRICES, arsize, budget, layouts, relayout

portsim = pytest.importorskip("orvane.core.portsim")
excursion = pytest.importorskip("orvane.core.excursion")

ARRAY_SLOTS = (
    "price_values", "close_values", "high_values", "low_values", "open_values",
    "price_index", "price_columns", "pos_values", "pos_index", "pos_columns", "resample",
)
PRICE_SLOTS = ARRAY_SLOTS[:5]
DATE_SLOTS = ("price_index", "pos_index", "resample")
NAME_SLOTS = ("price_columns", "pos_columns")
FLOAT_OPTIONS = ("fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop", "position_limit")
BOOL_OPTIONS = ("touched_exit", "retain_cost_when_rebalance", "periodically_rebalance",
                "stop_trading_next_period")
INT_OPTIONS = ("excursion_window", "excursion_window_step")
DAY = 86_400 * 10**9


class Boom(Exception):
    """Raised by the truth test of a hostile option object."""


class BadBool:
    def __bool__(self) -> bool:
        raise Boom("no truth value")


class BadFloat:
    def __float__(self) -> float:
        raise Boom("no float value")


class BadIndex:
    def __index__(self) -> int:
        raise Boom("no index value")


class SubArray(np.ndarray):
    pass


class EncodesToInt(str):
    def encode(self, *args: Any, **kwargs: Any) -> Any:
        return 5


class EncodeFails(str):
    def encode(self, *args: Any, **kwargs: Any) -> Any:
        raise Boom("no encoding")


class NotAStr:
    """Not a text, but it has an encode method."""

    def encode(self, *args: Any, **kwargs: Any) -> bytes:
        return b"S0"


@dataclass
class Scenario:
    kwargs: dict[str, Any]
    # Set when no corruption was applied and the data guarantee a positive
    # portfolio value throughout: the run must then succeed.
    must_succeed: bool
    corruptions: list[str] = field(default_factory=list)


@st.composite
def clean_scenarios(draw: st.DrawFn) -> Scenario:
    nbars = draw(st.one_of(st.integers(3, 9), st.integers(1, 9)))
    nprice = draw(st.integers(1, 4))
    npos = draw(st.integers(1, 4))
    price_names = [f"S{i}" for i in range(nprice)]
    pos_names = draw(st.lists(st.sampled_from(price_names), min_size=npos, max_size=npos))

    tame = draw(st.booleans())
    cell = st.one_of(st.floats(0.5, 200.0), st.just(np.nan)) if tame else PRICES
    shape = (nbars, nprice)
    mats = {
        name: np.array(draw(st.lists(cell, min_size=nbars * nprice, max_size=nbars * nprice)),
                       dtype=np.float64).reshape(shape)
        for name in PRICE_SLOTS
    }
    gaps = draw(st.lists(st.integers(1, 3), min_size=nbars, max_size=nbars))
    price_index = np.cumsum(np.array(gaps, dtype=np.int64)) * DAY

    nrows = draw(st.integers(1, 4))
    start = int(price_index[0]) + draw(st.one_of(st.integers(-2, 1), st.integers(-2, 4))) * DAY
    pos_index = start + np.cumsum(np.array(
        draw(st.lists(st.integers(0, 3), min_size=nrows, max_size=nrows)), dtype=np.int64)) * DAY
    long_only = draw(st.booleans())
    if long_only:
        weight = st.one_of(st.floats(0.01, 1.0 / npos), st.floats(0.01, 1.0 / npos), st.just(0.0))
    else:
        weight = st.one_of(st.floats(0.01, 1.5), st.floats(-1.5, -0.01), st.floats(-1.5, 1.5),
                           st.sampled_from([0.0, np.nan]))
    zero = draw(st.integers(0, 4)) == 0
    pos_values = np.array(
        draw(st.lists(weight, min_size=nrows * npos, max_size=nrows * npos)),
        dtype=np.float64).reshape(nrows, npos)
    if zero:
        pos_values[...] = 0.0
    resample_kind = draw(st.sampled_from(["every bar", "every bar", "random"]))
    if resample_kind == "every bar":
        resample = price_index.copy()
    else:
        resample = np.sort(np.array(
            draw(st.lists(st.integers(-2, 30), max_size=6)), dtype=np.int64)) * DAY

    kwargs: dict[str, Any] = dict(mats)
    kwargs.update(
        price_index=price_index,
        price_columns=np.array(price_names, dtype=object),
        pos_values=pos_values,
        pos_index=pos_index,
        pos_columns=np.array(pos_names, dtype=object),
        resample=resample,
        fee_ratio=draw(st.sampled_from([0.0, 0.001425, 0.01])),
        tax_ratio=draw(st.sampled_from([0.0, 0.003])),
        stop_loss=draw(st.sampled_from([1.0, 0.05, 0.2])),
        take_profit=draw(st.sampled_from([np.inf, 0.05, 0.3])),
        trail_stop=draw(st.sampled_from([np.inf, 0.05])),
        touched_exit=draw(st.booleans()),
        position_limit=draw(st.sampled_from([1.0, 0.3])),
        retain_cost_when_rebalance=draw(st.booleans()),
        stop_trading_next_period=draw(st.booleans()),
        excursion_window=draw(st.integers(0, 6)),
        excursion_window_step=draw(st.integers(1, 3)),
        periodically_rebalance=draw(st.booleans()),
    )
    for slot in ARRAY_SLOTS:
        kwargs[slot] = relayout(kwargs[slot], draw(layouts()))
    if kwargs["stop_trading_next_period"] and not kwargs["pos_values"].flags.writeable:
        # A run may write zeros into the weights; hand over a writable matrix.
        kwargs["pos_values"] = kwargs["pos_values"].copy()
    return Scenario(kwargs, must_succeed=tame and long_only)


def _corrupt_array(draw: st.DrawFn, slot: str, a: Any) -> tuple[Any, str]:
    kind = draw(st.sampled_from(
        ["none", "list", "dtype", "ndim", "empty", "shrink", "grow", "subclass", "zero_d"]
        + (["names"] if slot in NAME_SLOTS else [])
        + (["dates"] if slot in DATE_SLOTS else [])))
    if not isinstance(a, np.ndarray) or a.ndim == 0:
        return None, f"{slot}:none"
    if kind == "none":
        return None, f"{slot}:none"
    if kind == "list":
        return a.tolist(), f"{slot}:list"
    if kind == "dtype":
        dtype = draw(st.sampled_from(
            ["float32", "int64", "int32", "uint64", "object", "complex128", "bool", "<U3", "float64"]))
        try:
            # NaN and extremes do not fit most of these types; the cast overflows on purpose.
            with np.errstate(over="ignore", invalid="ignore"):
                return a.astype(dtype), f"{slot}:dtype={dtype}"
        except (TypeError, ValueError, OverflowError):
            return np.zeros(a.shape, dtype=dtype), f"{slot}:dtype={dtype}"
    if kind == "ndim":
        return (a[..., None] if draw(st.booleans()) else a.reshape(-1) if a.ndim > 1 else a[None, :]), f"{slot}:ndim"
    if kind == "empty":
        shape = list(a.shape)
        shape[draw(st.integers(0, a.ndim - 1))] = 0
        return np.zeros(shape, dtype=a.dtype), f"{slot}:empty"
    if kind == "shrink":
        axis = draw(st.integers(0, a.ndim - 1))
        return np.take(a, range(max(0, a.shape[axis] - 1)), axis=axis), f"{slot}:shrink{axis}"
    if kind == "grow":
        axis = draw(st.integers(0, a.ndim - 1))
        extra = np.take(a, [0] * draw(st.integers(1, 3)), axis=axis) if a.shape[axis] else a
        return np.concatenate([a, extra], axis=axis), f"{slot}:grow{axis}"
    if kind == "subclass":
        return np.ascontiguousarray(a).view(SubArray), f"{slot}:subclass"
    if kind == "zero_d":
        return np.array(a.flat[0] if a.size else 0, dtype=a.dtype), f"{slot}:0d"
    if kind == "names":
        bad = draw(st.sampled_from([5, None, b"S0", "\ud800", 1.5, ("S0",), EncodesToInt("S0"),
                                    EncodeFails("S0"), NotAStr(), "", "S0\x00"]))
        out = a.copy()
        if out.size:
            out[draw(st.integers(0, out.size - 1))] = bad
        return out, f"{slot}:name={bad!r}"
    # kind == "dates": extreme or disordered dates
    out = a.copy()
    if out.size:
        choice = draw(st.sampled_from(["min", "max", "reverse", "negative"]))
        if choice == "reverse":
            out = out[::-1].copy()
        elif choice == "negative":
            out = -out
        elif out.dtype.kind in "iu":
            info = np.iinfo(out.dtype)
            out.flat[draw(st.integers(0, out.size - 1))] = info.min if choice == "min" else info.max
        return out, f"{slot}:dates-{choice}"
    return out, f"{slot}:dates-empty"


WILD_FLOATS = [np.nan, np.inf, -np.inf, -1.0, 0.0, 1e308, -0.0, "0.1", None, 10**400,
               np.float32(0.1), True, BadFloat(), 3]
WILD_BOOLS = [0, 1, None, "", "x", np.array([1, 2]), np.array([]), BadBool(), np.bool_(True), [0]]
WILD_INTS = [-1, -7, 0, 2**31, -(2**31) - 1, 1.9, -1.9, "3", None, 10**30, np.int64(3),
             np.float64(2.5), BadIndex(), True, 2**31 - 1, -(2**31)]


@st.composite
def scenarios(draw: st.DrawFn) -> Scenario:
    sc = draw(clean_scenarios())
    kwargs = dict(sc.kwargs)
    for _ in range(draw(st.integers(0, 3))):
        slot = draw(st.sampled_from(ARRAY_SLOTS + FLOAT_OPTIONS + BOOL_OPTIONS + INT_OPTIONS))
        if slot in ARRAY_SLOTS:
            try:
                kwargs[slot], what = _corrupt_array(draw, slot, kwargs[slot])
            except (TypeError, ValueError, OverflowError):
                # A corruption that NumPy cannot make on an already corrupted
                # array (a cast or an assignment out of range): use None.
                kwargs[slot], what = None, f"{slot}:none"
        elif slot in FLOAT_OPTIONS:
            kwargs[slot] = draw(st.sampled_from(WILD_FLOATS))
            what = f"{slot}={kwargs[slot]!r}"
        elif slot in BOOL_OPTIONS:
            kwargs[slot] = draw(st.sampled_from(WILD_BOOLS))
            what = f"{slot}={kwargs[slot]!r}"
        else:
            kwargs[slot] = draw(st.sampled_from(WILD_INTS))
            what = f"{slot}={kwargs[slot]!r}"
        sc.corruptions.append(what)
    window, step = kwargs["excursion_window"], kwargs["excursion_window_step"]
    if type(window) is int and type(step) is int and step and abs(window) < 2**31 and abs(step) < 2**31:
        assume(arsize(window, step) <= MAX_EXCURSION_ARRAY)
    sc.kwargs = kwargs
    if sc.corruptions:
        sc.must_succeed = False
    return sc


def _reference_inputs() -> dict[str, Any]:
    """A small fixed back-test that trades, used to check the module after each call."""
    price = np.array([[10.0, 20.0], [11.0, 19.0], [12.0, 21.0], [11.5, 22.0], [12.5, 20.0]])
    idx = np.arange(1, 6, dtype=np.int64) * DAY
    return dict(
        price_values=price, close_values=price * 1.01, high_values=price * 1.02,
        low_values=price * 0.98, open_values=price,
        price_index=idx, price_columns=np.array(["A", "B"], dtype=object),
        pos_values=np.array([[0.5, 0.5], [0.2, -0.3]]),
        pos_index=np.array([1, 3], dtype=np.int64) * DAY,
        pos_columns=np.array(["A", "B"], dtype=object),
        resample=idx.copy(), excursion_window=2, stop_loss=0.1, take_profit=0.3,
    )


def _run_reference() -> tuple:
    creturn = portsim.backtest_(**_reference_inputs())
    trades = [[int(t[0]), int(t[1]), int(t[2])] for t in excursion.trades]
    positions = [float(p) for p in excursion.trade_positions]
    arrays = [np.array(e) for e in excursion.excursion]
    return creturn.copy(), trades, positions, arrays, portsim.get_stock_operations()


@pytest.fixture(scope="module")
def reference() -> tuple:
    return _run_reference()


def _assert_same_as_reference(reference: tuple) -> None:
    creturn, trades, positions, arrays, ops = _run_reference()
    np.testing.assert_array_equal(creturn, reference[0])
    assert trades == reference[1]
    assert positions == reference[2]
    assert len(arrays) == len(reference[3])
    for got, want in zip(arrays, reference[3]):
        np.testing.assert_array_equal(got, want)
    assert repr(ops) == repr(reference[4])


def _snapshot(kwargs: dict[str, Any]) -> dict[str, Any]:
    return {k: v.copy() for k, v in kwargs.items() if isinstance(v, np.ndarray)}


def _check_inputs_after(kwargs: dict[str, Any], before: dict[str, Any]) -> None:
    for name, old in before.items():
        new = kwargs[name]
        if name == "pos_values" and new.flags.writeable and new.dtype == np.float64 and new.ndim == 2:
            # The run may zero weights of stopped-out stocks, nothing else.
            changed = ~((new == old) | (np.isnan(new) & np.isnan(old)))
            assert (new[changed] == 0).all(), f"{name} changed beyond zeroing"
        else:
            assert new.dtype == old.dtype and new.shape == old.shape, name
            if old.dtype == object:
                assert all(x is y or x == y for x, y in zip(new.ravel(), old.ravel())), name
            else:
                assert old.tobytes() == new.tobytes(), f"{name} was written to"


def _check_success(sc: Scenario, creturn: Any, all_zero: bool) -> None:
    kw = sc.kwargs
    assert isinstance(creturn, np.ndarray) and creturn.dtype == np.float64 and creturn.ndim == 1
    assert creturn.shape == (len(kw["price_index"]),)
    trades, positions, arrays = excursion.trades, excursion.trade_positions, excursion.excursion
    assert len(trades) == len(positions) == len(arrays)
    for arr in arrays:
        size = arsize(int(kw["excursion_window"]), int(kw["excursion_window_step"]))
        assert isinstance(arr, np.ndarray) and arr.dtype == np.float64 and arr.shape == (size,)
    nbars = len(kw["price_index"])
    npos = min(len(kw["pos_columns"]), np.shape(kw["pos_values"])[1])
    for sid, entry, exit_ in trades:
        assert 0 <= sid < npos and 0 <= entry < nbars
        assert exit_ == -1 or entry <= exit_ < nbars
    if all_zero:
        np.testing.assert_array_equal(creturn, 1.0)
        assert len(trades) == 0


@budget(600)
@given(scenarios())
def test_backtest_returns_or_raises(reference, sc: Scenario):
    before = _snapshot(sc.kwargs)
    weights = sc.kwargs["pos_values"]
    limit = sc.kwargs["position_limit"]
    # A negative position limit clips a zero weight away from zero, so only
    # non-negative limits keep an all-zero matrix out of the market.
    all_zero = (isinstance(weights, np.ndarray) and weights.dtype == np.float64
                and weights.size > 0 and not np.any(weights)
                and isinstance(limit, float) and limit >= 0)
    with warnings.catch_warnings():
        # An empty array as a truth option is ambiguous on purpose: NumPy 1
        # warns and answers False, NumPy 2 raises.
        warnings.filterwarnings("ignore", "The truth value of an empty array", DeprecationWarning)
        try:
            creturn = portsim.backtest_(**sc.kwargs)
        except (*BAD_INPUT_ERRORS, Boom, MemoryError) as exc:
            event(f"raised {type(exc).__name__}")
            assert not sc.must_succeed, f"well-formed run failed: {exc!r}"
        else:
            event("returned, with trades" if len(excursion.trades) else "returned")
            _check_success(sc, creturn, all_zero)
            trade_rows, ops = portsim.get_trade_stocks(
                sc.kwargs["pos_columns"], sc.kwargs["price_index"], sc.kwargs["touched_exit"])
            assert len(trade_rows) == len(excursion.trades)
            assert isinstance(ops, dict)
    _check_inputs_after(sc.kwargs, before)
    _assert_same_as_reference(reference)


@budget(150)
@given(clean_scenarios())
def test_all_zero_weights_keep_capital(sc: Scenario):
    kwargs = dict(sc.kwargs)
    kwargs["pos_values"] = np.zeros_like(np.asarray(kwargs["pos_values"]))
    creturn = portsim.backtest_(**kwargs)
    np.testing.assert_array_equal(creturn, np.ones(len(kwargs["price_index"])))
    assert len(excursion.trades) == 0


@budget(150)
@given(st.lists(st.sampled_from(ARRAY_SLOTS), max_size=3, unique=True), clean_scenarios())
def test_none_in_array_slots(slots, sc: Scenario):
    kwargs = dict(sc.kwargs)
    for slot in slots:
        kwargs[slot] = None
    required = [s for s in ARRAY_SLOTS if s in slots and s in ("price_index", "pos_columns", "resample")]
    try:
        creturn = portsim.backtest_(**kwargs)
    except (*BAD_INPUT_ERRORS, MemoryError) as exc:
        if required:
            assert type(exc) is TypeError and str(exc) == f"Argument '{required[0]}' must not be None"
        elif {"price_values", "pos_values", "price_columns"} & set(slots):
            assert type(exc) is TypeError
        elif "pos_index" in slots:
            assert type(exc) is IndexError
        return
    assert not required and not {"price_values", "pos_values", "price_columns", "pos_index"} & set(slots)
    _check_success(Scenario(kwargs, False), creturn, all_zero=False)


class Meddling:
    """A truth value that, on its n-th test inside the run, runs Python code
    that changes state the run depends on."""

    def __init__(self, kwargs: dict[str, Any], action: str, when: int) -> None:
        self.kwargs, self.action, self.when, self.calls = kwargs, action, when, 0

    def __bool__(self) -> bool:
        self.calls += 1
        if self.calls == self.when:
            MEDDLE[self.action](self.kwargs)
        return True


class FailingList(list):
    def append(self, item: Any) -> None:
        raise Boom("append refused")


MEDDLE = {
    "trades None": lambda kw: setattr(excursion, "trades", None),
    "positions tuple": lambda kw: setattr(excursion, "trade_positions", ()),
    "excursion refuses": lambda kw: setattr(excursion, "excursion", FailingList()),
    "trades deleted": lambda kw: delattr(excursion, "trades"),
    "lists cleared": lambda kw: (excursion.trades.clear(), excursion.excursion.clear()),
    "prices to NaN": lambda kw: kw["price_values"].fill(np.nan),
    "prices to zero": lambda kw: kw["close_values"].fill(0.0),
    "weights to zero": lambda kw: kw["pos_values"].fill(0.0),
    "weights huge": lambda kw: kw["pos_values"].fill(1e300),
    "report read": lambda kw: portsim.get_stock_operations().clear(),
    "trade list read": lambda kw: portsim.get_trade_stocks(kw["pos_columns"], kw["price_index"], True),
    "normalise": lambda kw: portsim.normalize_weight({0: 2.0}, 0.5),
    "nested run": lambda kw: portsim.backtest_(**kw),
}


@budget(150)
@given(clean_scenarios(), st.sampled_from(sorted(MEDDLE)), st.integers(1, 4))
def test_python_code_inside_the_run_cannot_break_it(reference, sc: Scenario, action: str, when: int):
    kwargs = dict(sc.kwargs)
    for name in PRICE_SLOTS + ("pos_values",):
        kwargs[name] = np.array(kwargs[name])  # writable copies the meddler may change
    kwargs["stop_trading_next_period"] = Meddling(kwargs, action, when)
    saved = excursion.trades, excursion.trade_positions, excursion.excursion
    try:
        creturn = portsim.backtest_(**kwargs)
    except (*BAD_INPUT_ERRORS, Boom, NameError, RuntimeError) as exc:
        assert not isinstance(exc, SystemError)
        event(f"{action}: raised {type(exc).__name__}")
    else:
        event(f"{action}: returned")
        assert creturn.shape == (len(kwargs["price_index"]),)
    finally:
        excursion.trades, excursion.trade_positions, excursion.excursion = saved
    _assert_same_as_reference(reference)


# Trade lists that get_trade_stocks may meet when the caller rebinds the
# recorder's lists: out-of-range and negative ids, huge numbers, rows too
# short, rows that are not sequences, positions missing.
TRADE_ITEMS = st.one_of(st.integers(-12, 12), st.sampled_from([2**63, -(2**63) - 1, 2**100, 1.5, None, "1"]))
TRADE_ROWS = st.one_of(
    st.lists(TRADE_ITEMS, min_size=3, max_size=3),
    st.lists(TRADE_ITEMS, max_size=4),
    st.sampled_from([None, 3, "abc", (0, 1, -1)]),
)


@budget(300)
@given(rows=st.lists(TRADE_ROWS, max_size=5),
       positions=st.lists(st.floats(allow_nan=True), max_size=6),
       npos=st.integers(0, 5), nbars=st.integers(0, 12),
       pos_layout=layouts(), idx_layout=layouts(),
       touched=st.sampled_from([True, False, 0, None, BadBool(), np.array([1, 2])]))
def test_get_trade_stocks_on_any_trade_list(rows, positions, npos, nbars, pos_layout, idx_layout, touched):
    pos_columns = relayout(np.array([f"P{i}" for i in range(npos)], dtype=object), pos_layout)
    price_index = relayout(np.arange(nbars, dtype=np.int64) * DAY, idx_layout)
    saved = excursion.trades, excursion.trade_positions
    excursion.trades, excursion.trade_positions = rows, positions
    try:
        try:
            out = portsim.get_trade_stocks(pos_columns, price_index, touched)
        except (*BAD_INPUT_ERRORS, Boom, KeyError):
            return
    finally:
        excursion.trades, excursion.trade_positions = saved
    ret, _ = out
    assert len(ret) == len(rows)
    for i, (row, t) in enumerate(zip(ret, rows)):
        assert len(row) == 9
        if not all(type(x) is int for x in t):
            continue  # NumPy indexing rules for None and the like, not ours
        assert row[0] is pos_columns[t[0]]
        assert row[1] == price_index[t[1]]
        assert row[5] == positions[i] or (row[5] != row[5] and positions[i] != positions[i])
        assert row[7] == t[1] and row[8] == t[2]


@budget(100)
@given(pos_columns=st.one_of(st.none(), st.just([1, 2]), st.sampled_from(
           [np.zeros(3), np.zeros((2, 2), dtype=object), np.array(["a"], dtype="<U1")])),
       price_index=st.one_of(st.none(), st.just([1]), st.sampled_from(
           [np.zeros(3), np.zeros((2, 2), dtype=np.int64), np.zeros(3, dtype=np.int32)])))
def test_get_trade_stocks_argument_errors(pos_columns, price_index):
    saved = excursion.trades, excursion.trade_positions
    excursion.trades, excursion.trade_positions = [[0, 1, -1]], [0.5]
    try:
        with pytest.raises((TypeError, ValueError)):
            portsim.get_trade_stocks(pos_columns, price_index, False)
    finally:
        excursion.trades, excursion.trade_positions = saved
