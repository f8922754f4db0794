"""Invariants of weight conversion and rebalance dates."""

import numpy as np
import pandas as pd
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from orvane.inputs import rebalance_dates, weights_from_position

DATES = pd.bdate_range("2024-01-01", periods=8)


@settings(deadline=None)
@given(arrays(bool, st.tuples(st.integers(1, 8), st.integers(1, 6))))
def test_boolean_rows_are_equal_weights_summing_to_one_or_zero(held):
    frame = pd.DataFrame(held, index=DATES[: held.shape[0]])
    w = weights_from_position(frame).to_numpy()
    sums = w.sum(axis=1)
    np.testing.assert_allclose(sums, np.where(held.any(axis=1), 1.0, 0.0))
    for row, h in zip(w, held):
        assert len(set(row[h].tolist())) <= 1 and (row[~h] == 0).all()


def test_nullable_booleans_count_missing_as_not_held():
    frame = pd.DataFrame({"A": [True, pd.NA], "B": [True, True]}, index=DATES[:2], dtype="boolean")
    np.testing.assert_array_equal(weights_from_position(frame).to_numpy(), [[0.5, 0.5], [0.0, 1.0]])


@settings(max_examples=50, deadline=None)
@given(st.lists(st.integers(0, 2000), min_size=1, max_size=60, unique=True), st.sampled_from(["W", "M", "Q", "Y"]))
def test_rebalance_dates_are_the_last_date_of_each_period(offsets, alias):
    dates = pd.DatetimeIndex(sorted(pd.Timestamp("2020-01-01") + pd.Timedelta(days=d) for d in offsets))
    got = rebalance_dates(dates, alias)
    periods = dates.to_period(alias)
    assert len(got) == len(periods.unique())
    expected = pd.Series(dates, index=dates).groupby(periods).max()
    assert list(got) == list(expected)
