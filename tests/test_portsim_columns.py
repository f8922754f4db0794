"""Position columns find their prices by name."""

import numpy as np
import pytest
from sim import NO_COSTS, run

from orvane.core import portsim


def cols(*labels):
    return np.array(labels, dtype=object)


def test_position_columns_use_the_price_column_of_their_name():
    # Price columns X, Y, Z; position columns Z, X.
    price = [[10, 50, 20], [10, 50, 20], [10, 60, 30], [15, 60, 30]]
    res = run(price, [[0.5, 0.5]], price_columns=cols("X", "Y", "Z"), pos_columns=cols("Z", "X"),
              **NO_COSTS)
    assert res.creturn.tolist() == [1.0, 1.0, 0.5 * 30 / 20 + 0.5, 0.5 * 30 / 20 + 0.5 * 1.5]
    # The recorder reads the same mapping: Z gained 50 %, X 50 %.
    assert [a[-1] for a in res.arrays] == [30 / 20 - 1, 15 / 10 - 1]


def test_repeated_price_name_maps_to_its_last_column():
    price = [[10, 50, 20], [10, 50, 20], [10, 50, 40]]
    res = run(price, [[1.0]], price_columns=cols("X", "Y", "X"), pos_columns=cols("X"),
              **NO_COSTS)
    assert res.creturn.tolist() == [1.0, 1.0, 2.0]


def test_names_are_matched_exactly():
    price = [[10, 20]] * 3
    for label in ("x", " X", "X "):
        with pytest.raises(ValueError, match="has no price column"):
            run(price, [[1.0]], price_columns=cols("X", "Y"), pos_columns=cols(label))


def test_non_ascii_names_match_by_their_utf8_bytes():
    price = [[10, 20], [10, 20], [10, 40]]
    res = run(price, [[1.0]], price_columns=cols("台積電", "é"), pos_columns=cols("é"),
              **NO_COSTS)
    assert res.creturn.tolist() == [1.0, 1.0, 2.0]


def test_text_subclass_names_are_encoded_too():
    class Name(str):
        pass

    price = [[10, 20], [10, 20], [10, 40]]
    res = run(price, [[1.0]], price_columns=cols(Name("A"), "B"), pos_columns=cols(Name("B")),
              **NO_COSTS)
    assert res.creturn[-1] == 2.0


def test_several_position_columns_may_share_a_price_column():
    price = [[10], [10], [20]]
    res = run(price, [[0.5, 0.5]], price_columns=cols("A"), pos_columns=cols("A", "A"),
              **NO_COSTS)
    # Both move with column 0 -- the reference price is per price column, so
    # the second holding visited on a bar sees the reference already moved.
    assert res.creturn.tolist() == [1.0, 1.0, 0.5 * 2.0 + 0.5 * 1.0]


def test_no_position_columns():
    p = np.full((3, 1), 10.0)
    i = np.arange(3, dtype=np.int64)
    res = portsim.backtest_(p, p, p, p, p, i, cols("A"), np.zeros((1, 0)), i[:1], cols(), i)
    assert res.tolist() == [1.0, 1.0, 1.0]
