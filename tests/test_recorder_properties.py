"""Properties of random recorder runs, checked against the plain-Python model."""

import math

import numpy as np
from excursion_model import excursion_model
from hypothesis import given, settings
from hypothesis import strategies as st

import orvane.core.excursion as excursion
from orvane.core import _recorder_probe as probe

prices = st.floats(min_value=0.5, max_value=200.0, allow_nan=False)
closes = st.one_of(prices, st.just(math.nan))


@st.composite
def runs(draw):
    nbars = draw(st.integers(1, 12))
    nstocks = draw(st.integers(1, 4))

    def matrix(values):
        rows = st.lists(values, min_size=nstocks, max_size=nstocks)
        return np.array(draw(st.lists(rows, min_size=nbars, max_size=nbars)))

    bars = []
    for _ in range(nbars):
        events = []
        for _ in range(draw(st.integers(0, 3))):
            sid = draw(st.integers(0, nstocks - 1))
            weight = draw(st.sampled_from([-0.5, 0.0, 0.25, 1.0])) if draw(st.booleans()) else None
            events.append((sid, weight, draw(st.integers(0, 1))))
        bars.append(events)
    return dict(price=matrix(prices), close=matrix(closes), nstocks=nstocks, bars=bars,
                window=draw(st.integers(0, 6)), step=draw(st.integers(1, 4)),
                fee=draw(st.sampled_from([0.0, 0.001425])), tax=draw(st.sampled_from([0.0, 0.003])))


@settings(max_examples=150, deadline=None)
@given(runs())
def test_random_runs_match_the_model(run):
    price, close, nstocks = run["price"], run["close"], run["nstocks"]
    window, step, fee, tax = run["window"], run["step"], run["fee"], run["tax"]
    columns = {s: s for s in range(nstocks)}
    probe.start_analysis(price, close, columns, nstocks, fee, tax, window, step)

    def model(sid, i_exit, exit_flag):
        return excursion_model(price, close, columns, sid, entry[sid], i_exit, weight[sid] > 0,
                               bool(flag[sid]), bool(exit_flag), window, step, fee, tax)

    # What the recorder should see: zeros until a column's first entry.
    entry, weight, flag = [0] * nstocks, [0.0] * nstocks, [0] * nstocks
    held: dict[int, float] = {}
    expected = []
    for bar, events in enumerate(run["bars"]):
        probe.record_date(bar)
        for sid, w, f in events:
            if w is not None:
                probe.record_entry(sid, w, f)
                entry[sid], weight[sid], flag[sid] = bar, w, f
                held[sid] = w
            else:
                probe.record_exit(sid, f)
                expected.append(([sid, entry[sid], bar], weight[sid], model(sid, bar, f)))
                held[sid] = 0.0
    last = len(price) - 1
    probe.end_analysis(held)
    expected += [([sid, entry[sid], -1], weight[sid], model(sid, last, 0))
                 for sid in sorted(held) if held[sid] != 0]

    trades, positions, arrays = excursion.trades, excursion.trade_positions, excursion.excursion
    assert len(trades) == len(positions) == len(arrays) == len(expected)
    arsize = 6 * ((window - 1) // step) + 12
    for row, pos, ret, (erow, epos, eret) in zip(trades, positions, arrays, expected):
        assert row == erow and pos == epos
        assert len(ret) == arsize
        np.testing.assert_array_equal(ret, eret)
        mae, gmfe, bmfe, mdd, profit = ret[-6:-1]
        if not math.isnan(gmfe):
            assert mae <= 0 <= bmfe <= gmfe
        assert mdd <= 0
        assert 0 <= profit <= len(price)
