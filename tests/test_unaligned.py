"""Arrays whose elements are not aligned to their type, read and written in place.

NumPy allows an element at any byte: a buffer read at an odd offset, a field
of a packed record, a stride that is not a multiple of the item size. Arrays
that Dask workers unpickle land that way. Every such layout must give the
run of the same values aligned, bit for bit, and the zeros a run writes back
into the caller's weights must land in the caller's (unaligned) memory. Under
the sanitizer build, any access through a misaligned typed pointer stops the
suite.
"""

from __future__ import annotations

import numpy as np
import pytest

import orvane.core.excursion as excursion
from orvane.core import portsim

ARGS = ["price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
        "price_columns", "pos_values", "pos_index", "pos_columns", "resample"]
DAY = 86_400 * 10**9


def at_offset(a: np.ndarray, offset: int) -> np.ndarray:
    """A copy of ``a`` that starts ``offset`` bytes into an aligned buffer."""
    if a.dtype == object:
        return in_record(a, offset, pad=0)
    buf = bytearray(a.nbytes + 16)
    out = np.frombuffer(buf, dtype=a.dtype, count=a.size, offset=offset).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def in_record(a: np.ndarray, offset: int, pad: int) -> np.ndarray:
    """A copy of ``a`` as a field of packed records: the field sits ``offset``
    bytes into each record and the stride is ``offset + itemsize + pad`` bytes."""
    fields = [("lead", "V%d" % offset)] if offset else []
    fields.append(("x", a.dtype))
    if pad:
        fields.append(("tail", "V%d" % pad))
    records = np.zeros(a.shape, dtype=np.dtype(fields, align=False))
    out = records["x"]
    out[...] = a
    return out


LAYOUTS = [pytest.param(lambda a, k=k: at_offset(a, k), id=f"offset{k}") for k in range(1, 8)] + [
    pytest.param(lambda a: in_record(a, 1, 4), id="stride13"),
    pytest.param(lambda a: in_record(a, 3, 2), id="stride13-offset3"),
    pytest.param(lambda a: in_record(a, 0, 1), id="stride9"),
]


def market(touched_exit: bool) -> tuple[list, dict]:
    rng = np.random.default_rng(7)
    bars, n = 70, 5
    close = 20 * np.exp(np.cumsum(rng.normal(0, 0.03, (bars, n)), axis=0))
    open_ = close * np.exp(rng.normal(0, 0.01, (bars, n)))
    high = np.maximum(open_, close) * (1 + rng.uniform(0, 0.03, (bars, n)))
    low = np.minimum(open_, close) * (1 - rng.uniform(0, 0.03, (bars, n)))
    close[30:33, 2] = np.nan  # a suspension
    weights = rng.choice([0.0, 0.25, -0.2, 0.4], size=(7, n))
    weights[0] = [0.3, 0.3, 0.2, -0.2, 0.0]
    price_index = np.arange(bars, dtype=np.int64) * DAY
    pos_index = np.arange(7, dtype=np.int64) * 10 * DAY
    arrays = [open_ if touched_exit else close, close, high, low, open_, price_index,
              np.array(["A", "B", "C", "D", "E"], dtype=object), weights, pos_index,
              np.array(["A", "B", "C", "D", "E"], dtype=object), pos_index + 5 * DAY]
    options = dict(fee_ratio=0.001425, tax_ratio=0.003, stop_loss=0.06, take_profit=0.12,
                   trail_stop=0.08, touched_exit=touched_exit, stop_trading_next_period=True,
                   excursion_window=12, excursion_window_step=3)
    return arrays, options


def run(arrays: list, options: dict) -> dict:
    creturn = portsim.backtest_(*arrays, **options)
    return {
        "creturn": creturn.tobytes(),
        "trades": [[int(x) for x in t] for t in excursion.trades],
        "positions": np.array(excursion.trade_positions).tobytes(),
        "excursion": [e.tobytes() for e in excursion.excursion],
        "operations": repr(portsim.get_stock_operations()),
        "weights": np.array(arrays[7], dtype=np.float64).tobytes(),
    }


@pytest.mark.parametrize("touched_exit", [False, True], ids=["close", "intrabar"])
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("name", ARGS)
def test_unaligned_argument_gives_the_aligned_run(name: str, layout, touched_exit: bool) -> None:
    arrays, options = market(touched_exit)
    want = run([a.copy() for a in arrays], options)
    # The scenario exercises what is at stake: exits that write zeros back
    # into the weights, and sampled excursion paths.
    assert want["weights"] != arrays[7].tobytes()
    assert len(want["trades"]) > 10 and len(want["excursion"][0]) > 6

    given = [a.copy() for a in arrays]
    k = ARGS.index(name)
    given[k] = layout(arrays[k])
    assert given[k].ctypes.data % given[k].dtype.itemsize or given[k].strides[-1] % given[k].dtype.itemsize
    got = run(given, options)
    assert got == want


def test_excursion_reads_unaligned_matrices_after_the_call() -> None:
    # The recorder keeps the price and close matrices of the last run; a
    # misaligned pair read through it gives the aligned figures.
    arrays, options = market(False)
    want = run([a.copy() for a in arrays], options)
    given = [a.copy() for a in arrays]
    given[0] = at_offset(arrays[0], 3)
    given[1] = in_record(arrays[1], 5, 2)
    assert run(given, options) == want
    rows, ops = portsim.get_trade_stocks(given[9], given[5], False)
    assert len(rows) == len(want["trades"]) and ops == portsim.get_stock_operations()
