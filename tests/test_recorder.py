"""The trade recorder's lists, per-column arrays and run lifecycle."""

import math

import numpy as np
import pytest
from conftest import CLOSE, PRICE
from excursion_model import excursion_model

import orvane.core.excursion as excursion
from orvane.core import _recorder_probe as probe

PRICE3 = np.repeat(PRICE, 3, axis=1)
CLOSE3 = np.repeat(CLOSE, 3, axis=1)


def test_run_without_entries_leaves_empty_lists(rec):
    rec.start()
    probe.record_date(0)
    probe.record_date(1)
    assert probe.end_analysis({}) is None
    assert rec.trades == [] and rec.positions == [] and rec.arrays == []


def test_closed_trade_row_and_value_types(rec):
    price = np.tile(PRICE, (2, 3))
    rec.start(price=price, close=np.tile(CLOSE, (2, 3)), nstocks=3)
    probe.record_date(3)
    probe.record_entry(2, 0.25, 1)
    probe.record_date(7)
    probe.record_exit(2, 1)
    assert rec.trades == [[2, 3, 7]]
    row = rec.trades[0]
    assert type(row) is list
    assert type(row[0]) is int and type(row[1]) is np.int64 and type(row[2]) is int
    assert type(rec.positions[0]) is np.float64 and rec.positions[0] == 0.25
    assert len(rec.arrays) == 1 and rec.arrays[0].dtype == np.float64


def test_trades_keep_exit_order_then_open_trades_by_sid(rec):
    rec.start(price=PRICE3, close=CLOSE3, nstocks=3)
    probe.record_date(0)
    for sid, weight in [(2, 0.2), (0, -0.3), (1, 0.1)]:
        probe.record_entry(sid, weight, 1)
    probe.record_date(2)
    probe.record_exit(1, 1)
    probe.record_date(4)
    probe.end_analysis({2: 0.5, 0: -0.1})
    assert rec.trades == [[1, 0, 2], [0, 0, -1], [2, 0, -1]]
    assert rec.positions == [0.1, -0.3, 0.2]
    # The open short trade is analysed up to the last bar, close-based.
    expected = excursion_model(PRICE3, CLOSE3, {0: 0}, 0, 0, 4, False, True, False, 0, 1, 0.0, 0.0)
    np.testing.assert_array_equal(rec.arrays[1], expected)
    assert rec.arrays[1][-1] == 2 - (12 / 9) * (2 - (2 - (9 / 11) * (2 - (2 - 1.1 * (2 - 1.0))))) - 1


def test_end_analysis_skips_zero_holdings_and_closes_nan_ones(rec):
    rec.start(price=PRICE3, close=CLOSE3, nstocks=3)
    probe.record_date(1)
    for sid in range(3):
        probe.record_entry(sid, 0.5, 1)
    probe.record_date(4)
    probe.end_analysis({0: 0.0, 1: float("nan"), 2: -0.0})
    assert rec.trades == [[1, 1, -1]]


def test_open_trade_uses_no_exit_transaction(rec):
    rec.start(fee=0.01, tax=0.02)
    probe.record_date(1)
    probe.record_entry(0, 1.0, 1)
    probe.record_date(3)
    probe.end_analysis({0: 1.0})
    assert rec.arrays[0][-1] == (1 - 0.01) * (10 / 10) * (11 / 10) * (9 / 11) - 1


def test_split_ends_one_trade_and_starts_the_next_on_the_same_bar(rec):
    rec.start(fee=0.01, tax=0.02)
    probe.record_date(0)
    probe.record_entry(0, 1.0, 1)
    probe.record_date(2)
    probe.record_exit(0, 0)
    probe.record_entry(0, 0.5, 0)
    probe.record_date(4)
    probe.record_exit(0, 1)
    assert rec.trades == [[0, 0, 2], [0, 2, 4]]
    assert rec.positions == [1.0, 0.5]
    first = excursion_model(PRICE, CLOSE, {0: 0}, 0, 0, 2, True, True, False, 0, 1, 0.01, 0.02)
    second = excursion_model(PRICE, CLOSE, {0: 0}, 0, 2, 4, True, False, True, 0, 1, 0.01, 0.02)
    np.testing.assert_array_equal(rec.arrays[0], first)
    np.testing.assert_array_equal(rec.arrays[1], second)


def test_exit_without_entry_is_a_short_trade_from_bar_0(rec):
    rec.start(fee=0.01)
    probe.record_date(3)
    probe.record_exit(0, 0)
    assert rec.trades == [[0, 0, 3]] and rec.positions == [0.0]
    expected = excursion_model(PRICE, CLOSE, {0: 0}, 0, 0, 3, False, False, False, 0, 1, 0.01, 0.0)
    np.testing.assert_array_equal(rec.arrays[0], expected)


@pytest.mark.parametrize("weight, is_long", [(0.1, True), (-0.1, False), (0.0, False), (math.nan, False)])
def test_sign_of_the_weight_selects_the_side(rec, weight, is_long):
    rec.start()
    got = rec.trade(0, 1, 3, weight=weight)
    expected = excursion_model(PRICE, CLOSE, {0: 0}, 0, 1, 3, is_long, True, True, 0, 1, 0.0, 0.0)
    np.testing.assert_array_equal(got, expected)


def test_second_entry_overwrites_the_first(rec):
    rec.start()
    probe.record_date(0)
    probe.record_entry(0, 1.0, 0)
    probe.record_date(1)
    probe.record_entry(0, -2.0, 1)
    assert probe.entry().tolist() == [1] and probe.position().tolist() == [-2.0]


def test_lists_held_by_the_caller_are_emptied_by_the_next_run(rec):
    rec.start()
    rec.trade(0, 1, 3)
    held = (excursion.trades, excursion.trade_positions, excursion.excursion)
    assert all(len(x) == 1 for x in held)
    rec.start()
    assert held == ([], [], [])
    rec.trade(0, 1, 2)
    assert held[0] == [[0, 1, 2]] and held[0] is excursion.trades


def test_a_list_rebound_by_the_caller_is_the_one_used(rec):
    rec.start()
    rec.trade(0, 1, 3)
    old = excursion.trades
    mine = ["stale"]
    excursion.trades = mine
    rec.start()
    assert mine == [] and old == [[0, 1, 3]]
    rec.trade(0, 1, 2)
    assert mine == [[0, 1, 2]] and old == [[0, 1, 3]]


def test_list_like_objects_are_used_through_their_methods(rec):
    calls = []

    class Log(list):
        def append(self, item):
            calls.append(("append", item))
            super().append(item)

        def clear(self):
            calls.append(("clear",))
            super().clear()

    excursion.trade_positions = Log([1])
    rec.start()
    rec.trade(0, 1, 3, weight=0.5)
    assert calls == [("clear",), ("append", 0.5)]


def test_deleted_list_name(rec):
    del excursion.excursion
    with pytest.raises(NameError, match="^name 'excursion' is not defined$"):
        rec.start()


def test_run_arrays_are_replaced_by_each_start(rec):
    rec.start(nstocks=2, pos2price={0: 0, 1: 0})
    before = probe.entry()
    probe.record_date(4)
    probe.record_entry(1, 0.5, 1)
    assert before.tolist() == [0, 4]
    rec.start(nstocks=3)
    after_entry, after_position = probe.entry(), probe.position()
    assert after_entry is not before
    assert after_entry.dtype == np.int64 and after_position.dtype == np.float64
    assert after_entry.tolist() == [0, 0, 0] and after_position.tolist() == [0.0, 0.0, 0.0]
    assert before.tolist() == [0, 4]


def test_date_carries_over_until_the_first_record_date(rec):
    rec.start()
    probe.record_date(4)
    rec.start()
    probe.record_entry(0, 1.0, 1)
    assert probe.entry().tolist() == [4]


def test_initial_state_at_import():
    import subprocess
    import sys

    code = """
import numpy as np
from orvane.core import _recorder_probe as probe, excursion
assert excursion.org_np is np
assert excursion.trades == [] and excursion.trade_positions == [] and excursion.excursion == []
assert probe.entry().dtype == np.int64 and probe.entry().shape == (0,)
assert probe.position().dtype == np.float64 and probe.position().shape == (0,)
try:
    probe.record_entry(0, 1.0, 1)
except IndexError as e:
    assert str(e) == "index 0 is out of bounds for axis 0 with size 0", e
else:
    raise AssertionError("no IndexError")
assert probe.end_analysis({}) is None
print("ok")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "ok\n"


def test_excursion_arrays_are_independent_and_outlive_the_next_run(rec):
    # 100 trades of 30-value arrays fill several of the blocks the arrays are
    # cut from; every array must still be a separate, writeable float64 array.
    price, close = np.tile(PRICE, (8, 4)), np.tile(CLOSE, (8, 4))
    rec.start(price=price, close=close, nstocks=4, window=20, step=5)
    for t in range(100):
        rec.trade(t % 4, t % 15, t % 15 + 3 + t % 7, weight=0.25)
    arrays = list(excursion.excursion)
    kept = [a.copy() for a in arrays]
    for a in arrays:
        assert a.dtype == np.float64 and a.shape == (30,)
        assert a.flags.c_contiguous and a.flags.writeable
    for a, b in zip(arrays, arrays[1:]):
        assert not np.shares_memory(a, b)
    arrays[0][:] = 7.0
    arrays[1].flags.writeable = False
    arrays[1].flags.writeable = True
    for a, k in zip(arrays[1:], kept[1:]):
        np.testing.assert_array_equal(a, k)

    rec.start(price=price, close=close, nstocks=4, window=20, step=5)
    for t in range(100):
        rec.trade(t % 4, 0, 4)
    assert all((a == 7.0).all() for a in arrays[:1])
    for a, k in zip(arrays[1:], kept[1:]):
        np.testing.assert_array_equal(a, k)
    for new in excursion.excursion:
        assert not any(np.shares_memory(new, old) for old in arrays[:3] + arrays[-3:])
    expected = excursion_model(price, close, {0: 0}, 0, 0, 4, True, True, True, 20, 5, 0.0, 0.0)
    np.testing.assert_array_equal(excursion.excursion[0], expected)


def test_row_items_keep_their_exact_values(rec):
    # Equal values may be shared between rows, but every value, down to the
    # sign of a zero and the payload of a NaN, is the one recorded.
    weights = [0.0, -0.0, math.nan, -math.nan, 0.01, 0.01] + [1 / (k + 3) for k in range(150)]
    n = len(weights)
    price, close = np.tile(PRICE, (40, 1)), np.tile(CLOSE, (40, 1))
    rec.start(price=price, close=close, nstocks=n, pos2price={sid: 0 for sid in range(n)})
    for sid, w in enumerate(weights):
        probe.record_date(sid % 50)
        probe.record_entry(sid, w, 1)
    probe.record_date(60)
    for sid in range(0, n, 2):
        probe.record_exit(sid, 1)
    probe.end_analysis({sid: 1.0 for sid in range(1, n, 2)})
    order = list(range(0, n, 2)) + list(range(1, n, 2))
    assert [r[0] for r in rec.trades] == order
    assert [r[1] for r in rec.trades] == [sid % 50 for sid in order]
    assert [r[2] for r in rec.trades] == [60] * len(range(0, n, 2)) + [-1] * len(range(1, n, 2))
    for row, w, sid in zip(rec.trades, rec.positions, order):
        assert type(row[0]) is int and type(row[1]) is np.int64 and type(row[2]) is int
        assert type(w) is np.float64
        assert np.array(w).tobytes() == np.array(weights[sid]).tobytes()
