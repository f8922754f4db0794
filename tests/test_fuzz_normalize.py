"""Fuzzing normalize_weight with arbitrary mappings, values and limits.

Results are compared with a plain-Python version of the normalisation: the
absolute sum, a proportional scale-down when it exceeds 1, then clipping to
the position limit, all in the mapping's key order.
"""

from __future__ import annotations

import collections
import fractions
import math
from typing import Any

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzzing import BAD_INPUT_ERRORS, budget
from refengine import normalize_weight as normalize_reference

portsim = pytest.importorskip("orvane.core.portsim")


def same_value(a: Any, b: Any) -> bool:
    if isinstance(a, (float, np.floating)) and isinstance(b, (float, np.floating)):
        return a == b or (math.isnan(a) and math.isnan(b))
    return bool(a == b)


NUMBERS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-2, 2),
    st.integers(-3, 3),
    st.sampled_from([0, -0.0, 1e308, -1e308, 5e-324, True, False]),
    st.floats(-2, 2).map(np.float64),
    st.floats(-2, 2, width=32).map(np.float32),
    st.integers(-3, 3).map(np.int64),
    st.fractions(max_denominator=7),
)
ODD_VALUES = st.sampled_from([None, "0.5", complex(0.3, 0.4), 10**400, [0.1], object()])
KEYS = st.one_of(st.integers(-5, 5000), st.text(max_size=3), st.tuples(st.integers(0, 3)))
LIMITS = st.one_of(st.floats(allow_nan=True), st.integers(-1, 2),
                   st.sampled_from([0.5, 1, None, "1", fractions.Fraction(1, 2), np.float32(0.25)]))
MAPPINGS = st.sampled_from([dict, collections.OrderedDict, collections.UserDict])


@budget(400)
@given(MAPPINGS, st.dictionaries(KEYS, NUMBERS, max_size=8), LIMITS)
def test_matches_reference_on_numbers(mapping, items, limit):
    weights = mapping(items)
    expected_in = mapping(items)
    with np.errstate(over="ignore", invalid="ignore"):
        # NumPy scalars among the extremes overflow in the arithmetic on purpose.
        try:
            expected = normalize_reference(expected_in, limit)
        except TypeError:
            with pytest.raises(TypeError):
                portsim.normalize_weight(weights, limit)
            return
        try:
            out = portsim.normalize_weight(weights, limit)
        except TypeError:
            # The engine negates the limit once up front, so a limit without a
            # negation fails even when no weight gets compared with it.
            with pytest.raises(TypeError):
                -limit
            return
    assert out is weights
    assert list(out.keys()) == list(expected.keys())
    for k in expected:
        assert same_value(out[k], expected[k]), (k, out[k], expected[k])


@budget(200)
@given(st.dictionaries(KEYS, st.one_of(NUMBERS, ODD_VALUES), max_size=6), LIMITS)
def test_odd_values_return_or_raise(items, limit):
    weights = dict(items)
    try:
        with np.errstate(over="ignore", invalid="ignore"):
            out = portsim.normalize_weight(weights, limit)
    except BAD_INPUT_ERRORS:
        return
    assert out is weights and list(out) == list(items)


class Meddler:
    """A weight whose arithmetic changes the mapping it lives in."""

    def __init__(self, weights: dict, action: str, value: float) -> None:
        self.weights, self.action, self.value = weights, action, value

    def _meddle(self) -> None:
        if self.action == "insert":
            self.weights[object()] = 0.25
        elif self.action == "delete" and self.weights:
            del self.weights[next(iter(self.weights))]
        elif self.action == "clear":
            self.weights.clear()

    def __abs__(self) -> float:
        self._meddle()
        return abs(self.value)

    def __mul__(self, other: Any) -> float:
        self._meddle()
        return self.value * other

    def __gt__(self, other: Any) -> bool:
        self._meddle()
        return self.value > other

    def __lt__(self, other: Any) -> bool:
        self._meddle()
        return self.value < other


@budget(200)
@given(st.lists(st.floats(-2, 2), min_size=1, max_size=6),
       st.lists(st.sampled_from(["insert", "delete", "clear", "none"]), min_size=1, max_size=6),
       st.floats(0, 2))
def test_mapping_changed_during_normalisation(values, actions, limit):
    weights: dict = {}
    for i, v in enumerate(values):
        weights[i] = Meddler(weights, actions[i % len(actions)], v)
    try:
        out = portsim.normalize_weight(weights, limit)
    except (RuntimeError, KeyError, *BAD_INPUT_ERRORS):
        return
    assert out is weights


@budget(100)
@given(st.one_of(st.none(), st.integers(), st.lists(st.floats()), st.text(), st.just(object())),
       LIMITS)
def test_non_mappings_raise(weights, limit):
    with pytest.raises((AttributeError, TypeError)):
        portsim.normalize_weight(weights, limit)
