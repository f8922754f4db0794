"""Fuzzing the trade recorder through its native entry points.

Random runs drive start_analysis, record_date, record_entry, record_exit and
end_analysis (through the test-only probe, which calls them exactly as the
engine does) with matrices of any shape, dtype and layout, column maps and
ids out of range, bars before, inside and beyond the data, and windows and
steps of any sign. Every call returns or raises; while no call has failed
since the run started, the three lists stay parallel and every excursion
array has the length its window and step give.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
from hypothesis import assume, event, given
from hypothesis import strategies as st

from fuzzing import BAD_INPUT_ERRORS, MAX_EXCURSION_ARRAY, PRICES, arsize, budget, layouts, relayout

excursion = pytest.importorskip("orvane.core.excursion")
probe = pytest.importorskip("orvane.core._recorder_probe")


@st.composite
def matrices(draw: st.DrawFn) -> Any:
    kind = draw(st.sampled_from(["good"] * 12 + ["none", "list", "1d", "3d", "int", "f32", "empty"]))
    rows, cols = draw(st.integers(0, 7)), draw(st.integers(0, 3))
    if kind == "good" and draw(st.integers(0, 3)):
        rows, cols = max(rows, 1), max(cols, 1)
    a = np.array(draw(st.lists(PRICES, min_size=rows * cols, max_size=rows * cols)),
                 dtype=np.float64).reshape(rows, cols)
    if kind == "good":
        return relayout(a, draw(layouts()))
    if kind == "none":
        return None
    if kind == "list":
        return a.tolist()
    if kind == "1d":
        return a.reshape(-1)
    if kind == "3d":
        return a[None]
    if kind == "empty":
        return np.zeros((0, 0))
    if not a.size:
        return a.astype(np.int64)
    # Extremes do not fit the narrower types; the cast overflows on purpose.
    with np.errstate(over="ignore", invalid="ignore"):
        return np.nan_to_num(a).astype(np.int64 if kind == "int" else np.float32)


SMALL_INT = st.integers(-9, 9)
WINDOWS = st.one_of(st.integers(0, 8), st.integers(-4, 8), st.sampled_from([2**31 - 1, -(2**31)]))
STEPS = st.one_of(st.integers(1, 4), st.integers(-3, 4), st.sampled_from([2**31 - 1, -(2**31)]))
HUGE = st.sampled_from([2**31 - 1, -(2**31)])


def operations(nstocks: int, nbars: int) -> st.SearchStrategy:
    # Mostly ids and bars in range, so that trades get recorded and analysed,
    # with the odd one outside or at the extremes.
    sid = st.one_of(st.integers(0, max(0, nstocks - 1)), st.integers(0, max(0, nstocks - 1)),
                    st.integers(0, max(0, nstocks - 1)), SMALL_INT)
    bar = st.one_of(st.integers(0, max(0, nbars - 1)), st.integers(0, max(0, nbars - 1)),
                    st.integers(-3, nbars + 3), HUGE)
    weight = st.one_of(st.floats(-1, 1), st.floats(allow_nan=True))
    return st.one_of(
        st.tuples(st.just("date"), bar),
        st.tuples(st.just("entry"), sid, weight, st.integers(-1, 2)),
        st.tuples(st.just("exit"), sid, st.integers(-1, 2)),
        st.tuples(st.just("end"), st.dictionaries(sid, weight, max_size=4)),
    )


@budget(400)
@given(price=matrices(), close=st.one_of(st.none(), matrices()),
       pos2price=st.one_of(st.none(), st.dictionaries(SMALL_INT, st.integers(-4, 4), max_size=4)),
       nstocks=st.one_of(st.integers(1, 5), st.integers(-1, 5)),
       fee=st.sampled_from([0.0, 0.001425, np.nan, -1.0, 1.0]),
       tax=st.sampled_from([0.0, 0.003, np.inf]),
       window=WINDOWS, step=STEPS, data=st.data())
def test_recorder_runs_return_or_raise(price, close, pos2price, nstocks, fee, tax, window, step, data):
    nbars = len(price) if isinstance(price, np.ndarray) and price.ndim else 0
    if pos2price is None:
        ncols = price.shape[1] if isinstance(price, np.ndarray) and price.ndim == 2 else 1
        pos2price = {sid: sid % max(ncols, 1) for sid in range(max(nstocks, 0))}
    if close is None and isinstance(price, np.ndarray) and price.ndim == 2:
        # Usually the close matrix matches the trade prices in shape.
        moves = data.draw(st.lists(PRICES, min_size=price.size, max_size=price.size))
        close = relayout(np.array(moves, dtype=np.float64).reshape(price.shape), data.draw(layouts()))
    ops = data.draw(st.lists(operations(nstocks, nbars), max_size=12))
    assume(step == 0 or arsize(window, step) <= MAX_EXCURSION_ARRAY)
    try:
        probe.start_analysis(price, close, pos2price, nstocks, fee, tax, window, step)
    except (*BAD_INPUT_ERRORS, MemoryError):
        return
    assert excursion.trades == [] and excursion.trade_positions == [] and excursion.excursion == []
    parallel = True
    for op in ops:
        n_before = len(excursion.trades)
        try:
            if op[0] == "date":
                probe.record_date(op[1])
            elif op[0] == "entry":
                probe.record_entry(op[1], op[2], op[3])
            elif op[0] == "exit":
                probe.record_exit(op[1], op[2])
            else:
                assert probe.end_analysis(op[1]) is None
        except (*BAD_INPUT_ERRORS, MemoryError) as exc:
            event(f"{op[0]} raised {type(exc).__name__}")
            parallel = False
            continue
        event(f"{op[0]} ok")
        if parallel:
            assert len(excursion.trades) == len(excursion.trade_positions) == len(excursion.excursion)
        if op[0] == "exit":
            assert len(excursion.trades) == n_before + 1
            sid, _, exit_bar = excursion.trades[-1]
            assert sid == op[1]
        for arr in excursion.excursion[n_before:]:
            assert arr.dtype == np.float64 and arr.shape == (arsize(window, step),)
    entry, position = probe.entry(), probe.position()
    assert entry.dtype == np.int64 and position.dtype == np.float64
    assert len(entry) == len(position) == nstocks


@budget(100)
@given(price=matrices(), close=matrices(), layout=layouts())
def test_matrices_are_held_until_the_next_run(price, close, layout):
    """The recorder keeps the run's matrices alive, and releases them at the next run."""
    import sys

    try:
        probe.start_analysis(price, close, {0: 0}, 1, 0.0, 0.0, 0, 1)
    except (*BAD_INPUT_ERRORS, MemoryError):
        return
    counts = [sys.getrefcount(m) for m in (price, close)]
    probe.start_analysis(None, None, {}, 0, 0.0, 0.0, 0, 1)
    after = [sys.getrefcount(m) for m in (price, close)]
    for m, c, a in zip((price, close), counts, after):
        if m is not None and not (price is close):
            assert a == c - 1
