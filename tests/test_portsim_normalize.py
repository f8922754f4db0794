"""normalize_weight: scale down to an absolute sum of 1, then clip."""

import math
from decimal import Decimal

import pytest

from orvane.core.portsim import normalize_weight


@pytest.mark.parametrize("weights, limit, expected", [
    ({}, 1, {}),
    ({1: 0.6, 2: -0.4}, 1, {1: 0.6, 2: -0.4}),
    ({1: 1.5, 2: 0.5}, 1, {1: 0.75, 2: 0.25}),
    ({1: 0.8, 2: 0.1}, 0.5, {1: 0.5, 2: 0.1}),
    ({1: -0.8}, 0.5, {1: -0.5}),
    # Scaling first, then clipping; the freed weight goes nowhere.
    ({1: 3.0, 2: 1.0}, 0.5, {1: 0.5, 2: 0.25}),
    ({1: 2, 2: 2}, 1, {1: 0.5, 2: 0.5}),
])
def test_cases(weights, limit, expected):
    out = normalize_weight(weights, limit)
    assert out is weights
    assert weights == expected


def test_scaling_multiplies_by_the_reciprocal():
    weights = {0: 0.7, 1: 0.6, 2: 0.4}
    total = 0.0 + 0.7 + 0.6 + 0.4
    normalize_weight(weights, 1)
    assert weights == {0: 0.7 * (1 / total), 1: 0.6 * (1 / total), 2: 0.4 * (1 / total)}


def test_keys_and_their_order_never_change():
    weights = {5: 0.9, 1: -0.9, 3: 0.0}
    normalize_weight(weights, position_limit=0.45)
    assert list(weights) == [5, 1, 3]
    assert weights == {5: 0.45, 1: -0.45, 3: 0.0}


def test_nan_weight_stops_scaling_and_is_not_clipped():
    weights = {1: math.nan, 2: 3.0}
    normalize_weight(weights=weights, position_limit=2.0)
    assert math.isnan(weights[1]) and weights[2] == 2.0


def test_clipping_assigns_the_limit_object():
    limit = Decimal("0.5")
    weights = {1: 0.8}
    normalize_weight(weights, limit)
    assert weights[1] is limit


def test_any_mapping_with_items():
    class Weights:
        def __init__(self):
            self.data = {0: 1.5, 1: 0.5}

        def items(self):
            return self.data.items()

        def __iter__(self):
            return iter(self.data)

        def __getitem__(self, key):
            return self.data[key]

        def __setitem__(self, key, value):
            self.data[key] = value

    weights = Weights()
    assert normalize_weight(weights, 1) is weights
    assert weights.data == {0: 0.75, 1: 0.25}


def test_errors():
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'items'$"):
        normalize_weight(None, 1)
    with pytest.raises(TypeError):
        normalize_weight({1: "a"}, 1)
    with pytest.raises(TypeError):
        normalize_weight({1: 0.5}, None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'limit'"):
        normalize_weight({}, limit=1)
