"""Failures of the excursion computation and of the recorder's arguments."""

import numpy as np
import pytest
from conftest import CLOSE, PRICE

import orvane.core.excursion as excursion
from orvane.core import _recorder_probe as probe


def exit_fails(rec, exc, message, sid=0, entry=1, exit=3, **start):
    rec.start(**start)
    probe.record_date(entry)
    probe.record_entry(sid, 1.0, 1)
    probe.record_date(exit)
    with pytest.raises(exc) as info:
        probe.record_exit(sid, 1)
    assert str(info.value) == message
    # The row and the position are written before the computation fails.
    assert len(rec.trades) == 1 and len(rec.positions) == 1 and rec.arrays == []


def test_zero_entry_price(rec):
    price = PRICE.copy()
    price[1, 0] = 0.0
    exit_fails(rec, ZeroDivisionError, "float division", price=price)


def test_zero_previous_close(rec):
    close = CLOSE.copy()
    close[2, 0] = 0.0
    exit_fails(rec, ZeroDivisionError, "float division", close=close)


def test_zero_exit_close(rec):
    close = CLOSE.copy()
    close[3, 0] = 0.0
    exit_fails(rec, ZeroDivisionError, "float division", close=close)


def test_zero_exit_close_without_exit_transaction_is_no_error(rec):
    close = CLOSE.copy()
    close[3, 0] = 0.0
    rec.start(close=close)
    got = rec.trade(0, 1, 3, exit_flag=0)
    assert got[-1] == -1.0 and got[0] == -1.0


def test_zero_window_step_is_found_after_the_path(rec):
    exit_fails(rec, ZeroDivisionError, "integer division or modulo by zero", step=0)
    price = PRICE.copy()
    price[1, 0] = 0.0
    exit_fails(rec, ZeroDivisionError, "float division", price=price, step=0)


def test_entry_beyond_the_last_bar(rec):
    exit_fails(rec, OverflowError, "can't convert negative value to size_t", entry=7, exit=8)


def test_exit_before_entry(rec):
    exit_fails(rec, OverflowError, "can't convert negative value to size_t", entry=3, exit=1,
               window=-1, step=1)


def test_exit_before_entry_with_window_0_analyses_the_entry_bar(rec):
    rec.start()
    got = rec.trade(0, 3, 1)
    assert got[-1] == (1 - 0.0 - 0.0) * ((1 - 0.0) * (9 / 9.5)) - 1


def test_exit_before_entry_with_window_is_summarised_at_the_last_position(rec):
    rec.start(window=2, step=1)
    got = rec.trade(0, 1, 0, exit_flag=0)
    r3 = 1.0 * (11 / 10) * (9 / 11)
    assert got[-1] == r3 - 1


@pytest.mark.parametrize(
    "entry, pos2price, message",
    [(-6, {0: 0}, "Out of bounds on buffer access (axis 0)"),
     (1, {0: 1}, "Out of bounds on buffer access (axis 1)"),
     (1, {0: -2}, "Out of bounds on buffer access (axis 1)")],
)
def test_index_outside_the_matrices(rec, entry, pos2price, message):
    exit_fails(rec, IndexError, message, entry=entry, exit=entry, pos2price=pos2price)


def test_negative_bar_index_counts_from_the_end(rec):
    rec.start()
    assert rec.trade(0, -2, -2).tolist() == rec.trade(0, 3, 3).tolist()


def test_close_shorter_than_price(rec):
    exit_fails(rec, IndexError, "Out of bounds on buffer access (axis 0)", close=CLOSE[:3], exit=3)


@pytest.mark.parametrize("which", ["price", "close"])
def test_matrix_not_set(rec, which):
    exit_fails(rec, TypeError, "'NoneType' object is not subscriptable", **{which: None})


def test_negative_window_with_negative_size(rec):
    exit_fails(rec, ValueError, "negative dimensions are not allowed", window=-5)


@pytest.mark.parametrize("window, step", [(-1, 1), (-1, 3)])
def test_negative_window_too_small_for_the_blocks(rec, window, step):
    exit_fails(rec, IndexError, "Out of bounds on buffer access (axis 0)", window=window, step=step,
               entry=0, exit=4)


def test_negative_window_with_room_for_its_blocks(rec):
    # arsize 6 and a two-bar path: block 0, then the summary over it.
    rec.start(window=-1, step=3)
    got = rec.trade(0, 3, 4, exit_flag=0)
    assert len(got) == 6 and got[-1] == (1 - 0.0) * (9 / 9.5) * (12 / 9) - 1


def test_negative_step_samples_only_the_entry_bar(rec):
    rec.start(window=0, step=-1)
    got = rec.trade(0, 1, 3)
    assert len(got) == 18 and (got[:12] == -1).all()
    rec.start(window=3, step=-2)
    got = rec.trade(0, 1, 3)
    assert len(got) == 6 and got[4] == 1.0


@pytest.mark.parametrize("op", ["entry", "exit"])
@pytest.mark.parametrize("sid, n", [(1, 1), (5, 3), (-4, 3)])
def test_sid_outside_the_columns(rec, op, sid, n):
    rec.start(nstocks=n)
    with pytest.raises(IndexError) as info:
        if op == "entry":
            probe.record_entry(sid, 0.5, 1)
        else:
            probe.record_exit(sid, 1)
    assert str(info.value) == f"index {sid} is out of bounds for axis 0 with size {n}"
    assert rec.trades == []


def test_negative_sid_within_range_wraps(rec):
    rec.start(nstocks=3, pos2price={0: 0, 1: 0, 2: 0})
    probe.record_date(2)
    probe.record_entry(-1, 0.5, 1)
    assert probe.entry().tolist() == [0, 0, 2] and probe.position().tolist() == [0, 0, 0.5]
    probe.record_exit(-3, 0)
    assert rec.trades == [[-3, 0, 2]]


@pytest.mark.parametrize(
    "price, close, exc, message",
    [(PRICE[:, 0], CLOSE, ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
     (PRICE, CLOSE.astype(np.int64), ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
     ([[1.0]], CLOSE, TypeError, "Argument 'price_' has incorrect type (expected numpy.ndarray, got list)"),
     (PRICE, 3, TypeError, "Argument 'close_' has incorrect type (expected numpy.ndarray, got int)")],
)
def test_start_analysis_rejects_other_than_2d_float64(rec, price, close, exc, message):
    rec.start()
    rec.trade(0, 1, 3)
    with pytest.raises(exc) as info:
        rec.start(price=price, close=close)
    assert str(info.value) == message
    # Nothing of the new run started.
    assert len(excursion.trades) == 1


def test_negative_nstocks(rec):
    with pytest.raises(ValueError, match="^negative dimensions are not allowed$"):
        rec.start(nstocks=-1)


def test_end_analysis_stops_at_the_first_failure(rec):
    price = np.array([[10.0, 0.0, 10.0]] * 4)
    rec.start(price=price, close=price, nstocks=3)
    probe.record_date(1)
    for sid in range(3):
        probe.record_entry(sid, 1.0, 1)
    probe.record_date(3)
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        probe.end_analysis({0: 1.0, 1: 1.0, 2: 1.0})
    assert rec.trades == [[0, 1, -1], [1, 1, -1]]
    assert len(rec.positions) == 2 and len(rec.arrays) == 1


def _virtual_memory_kb() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))


def test_entry_far_outside_the_data_reserves_nothing(rec):
    # An entry bar two thousand million bars before the data fails on its
    # index without first reserving a path that long (which the reused path
    # buffers would keep, making the process too large to fork).
    before = _virtual_memory_kb()
    exit_fails(rec, IndexError, "Out of bounds on buffer access (axis 0)", entry=-2**31, exit=4)
    assert _virtual_memory_kb() - before < 1_000_000


@pytest.mark.parametrize("zero_at, fails", [(2, True), (3, True), (4, False)])
def test_zero_close_past_the_last_position_read(rec, zero_at, fails):
    # Entry 0, exit 1, window 4, step 4: the path covers bars 0-4, the
    # result reads positions 0 (the sampled block) and 1 (the summary), yet
    # a zero close on a later bar still fails the trade when a valid close
    # follows it; on the last bar, of a trade without exit transaction, it
    # divides nothing.
    close = CLOSE.copy()
    close[zero_at, 0] = 0.0
    if fails:
        exit_fails(rec, ZeroDivisionError, "float division", entry=0, exit=1, close=close, window=4,
                   step=4)
        return
    rec.start(close=close, window=4, step=4)
    got = rec.trade(0, 0, 1, exit_flag=0)
    # Position 0: 10 / 10 = 1; position 1: 1 * (10 / 10) = 1.
    assert got.tolist() == [0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]
