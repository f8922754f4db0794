"""Excursion arrays of single trades, checked by hand and against the model."""

import math

import numpy as np
import pytest
from conftest import CLOSE, PRICE
from excursion_model import excursion_model


def model(sid=0, i_entry=1, i_exit=3, is_long=True, et=True, xt=True, window=0, step=1,
          fee=0.0, tax=0.0, price=PRICE, close=CLOSE, pos2price=None):
    return excursion_model(price, close, pos2price or {0: 0}, sid, i_entry, i_exit, is_long, et,
                           xt, window, step, fee, tax)


def assert_same(got, expected):
    assert got.dtype == np.float64 and got.ndim == 1
    np.testing.assert_array_equal(got, expected, strict=True)


def test_long_trade_exit_at_bar_3(rec):
    rec.start()
    got = rec.trade(0, 1, 3)
    r2 = 1.0 * (11 / 10)
    r3 = r2 * (9 / 11)
    assert got.tolist() == [r3 - 1, r2 - 1, r2 - 1, r3 / r2 - 1, 1.0, (1 - 0.0 - 0.0) * (9.5 / 9 * r3) - 1]
    assert got == pytest.approx([-0.1, 0.1, 0.1, -0.18181818181818, 1, -0.05], abs=1e-12)
    assert_same(got, model())


def test_short_trade_exit_at_bar_3(rec):
    rec.start()
    got = rec.trade(0, 1, 3, weight=-0.5)
    r1 = 2 - 10 / 10
    r2 = 2 - (11 / 10) * (2 - r1)
    r3 = 2 - (9 / 11) * (2 - r2)
    last = 2 - (2 - r3) * 9.5 / 9
    # The adverse extreme is bar 2, before any favourable move, so bmfe is 0.
    assert got.tolist() == [r2 - 1, r3 - 1, 1.0 - 1, r2 / 1.0 - 1, 1.0, last - 1]
    assert got == pytest.approx([-0.1, 0.1, 0, -0.1, 1, 0.05], abs=1e-12)
    assert_same(got, model(is_long=False))


def test_window_stretches_the_range_and_samples_blocks(rec):
    rec.start(window=4, step=2)
    got = rec.trade(0, 1, 2)
    assert len(got) == 18
    assert got == pytest.approx(
        [0, 0, 0, 0, 0, 0, -0.1, 0.1, 0.1, -0.18181818181818, 1, -0.1, 0, 0.1, 0, 0, 1, 0.1], abs=1e-12)
    # Exit costs and rebasing land on position 3, which no block reads.
    assert got[-1] == 1.0 * (11 / 10) - 1
    assert_same(got, model(i_exit=2, window=4, step=2))


def test_fee_and_tax(rec):
    rec.start(fee=0.001425, tax=0.003)
    got = rec.trade(0, 1, 3)
    assert [round(x, 6) for x in got] == [-0.101282, 0.098433, 0.098433, -0.181818, 1, -0.055552]
    r1 = (1 - 0.001425) * (10 / 10)
    assert got[0] == r1 * (11 / 10) * (9 / 11) - 1
    assert_same(got, model(fee=0.001425, tax=0.003))


def test_entry_and_exit_on_the_same_bar(rec):
    rec.start(fee=0.01, tax=0.02)
    got = rec.trade(0, 2, 2)
    r = (1 - 0.01) * (11 / 10.5)
    assert got[-1] == (1 - 0.01 - 0.02) * r - 1
    assert_same(got, model(i_entry=2, i_exit=2, fee=0.01, tax=0.02))


def test_window_1_step_5(rec):
    rec.start(window=1, step=5)
    got = rec.trade(0, 1, 3)
    assert len(got) == 12
    assert got[:6].tolist() == [0, 0, 0, 0, 0, 0]
    assert got[6:].tolist() == model().tolist()
    assert_same(got, model(window=1, step=5))


@pytest.mark.parametrize(
    "window, step, arsize, blocks",
    [(0, 1, 6, 0), (1, 1, 12, 1), (3, 1, 24, 3), (4, 2, 18, 2), (5, 2, 24, 3), (7, 3, 24, 2),
     (10, 3, 30, 4), (2, 7, 12, 1)],
)
def test_arsize_and_unwritten_blocks_stay_minus_one(rec, window, step, arsize, blocks):
    # A trade entered at bar 3 of five has only two analysed bars.
    rec.start(window=window, step=step)
    got = rec.trade(0, 3, 4)
    assert len(got) == arsize
    written = min(blocks, len(range(0, min(2, window), step)))
    assert (got[6 * written : arsize - 6] == -1).all()
    assert (got[: 6 * written] != -1).all()
    assert_same(got, model(i_entry=3, i_exit=4, window=window, step=step))


def test_nan_close_carries_the_value_forward(rec):
    close = np.array([[10.0], [10.0], [np.nan], [12.0], [9.0]])
    price = np.full((5, 1), 10.0)
    rec.start(price=price, close=close, window=4, step=1)
    got = rec.trade(0, 1, 4, exit_flag=0)
    # Bar 2 keeps the entry value; bar 3 compares 12 with the close of bar 1.
    assert got[5] == 0.0 and got[11] == 0.0 and got[17] == 1.0 * (12 / 10) - 1
    assert got[23] == 1.0 * (12 / 10) * (9 / 12) - 1
    assert_same(got, model(i_exit=4, xt=False, window=4, price=price, close=close))


def test_nan_entry_close_gives_nan_extremes(rec):
    close = np.array([[np.nan], [11.0], [12.0]])
    price = np.full((3, 1), 10.0)
    rec.start(price=price, close=close)
    got = rec.trade(0, 0, 2, exit_flag=0)
    # The ratio of 11 to the NaN close is NaN and moves nothing; then 12/11.
    assert math.isnan(got[0]) and math.isnan(got[1]) and math.isnan(got[2])
    assert got[3] == 0 and got[4] == 0 and math.isnan(got[5])


def test_pos2price_maps_to_the_price_column(rec):
    price = np.array([[1.0, 10.0], [1.0, 10.0], [1.0, 10.5], [1.0, 9.5]])
    close = np.array([[1.0, 10.0], [2.0, 10.0], [3.0, 11.0], [4.0, 9.0]])
    rec.start(price=price, close=close, pos2price={0: 1}, nstocks=1)
    assert_same(rec.trade(0, 1, 3), model())


def test_missing_mapping_reads_column_0(rec):
    rec.start(pos2price={}, nstocks=2)
    assert_same(rec.trade(1, 1, 3), model())


def test_strided_matrices_are_read_in_place(rec):
    wide = np.zeros((5, 3, 2))
    close = np.asfortranarray(np.repeat(CLOSE, 3, axis=1))
    rec.start(price=wide[:, :, 1], close=close, pos2price={0: 2})
    # The recorder holds the caller's arrays, not copies.
    wide[:, 2, 1] = PRICE[:, 0]
    assert_same(rec.trade(0, 1, 3), model())


def test_exit_beyond_the_data_is_summarised_at_the_last_bar(rec):
    rec.start(window=2, step=1)
    got = rec.trade(0, 3, 9, exit_flag=0)
    assert_same(got, model(i_entry=3, i_exit=9, xt=False, window=2))
    assert got[-1] == (1 - 0.0) * (9 / 9.5) * (12 / 9) - 1
