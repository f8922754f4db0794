"""Fuzzing ioft: any number gives the datetime of Python's own conversion or its error."""

import datetime

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzzing import budget

portsim = pytest.importorskip("orvane.core.portsim")

ANY_DATE = st.one_of(
    st.integers(-(2**70), 2**70),
    st.integers(-(10**19), 10**19),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2**63), 2**63 - 1).map(np.int64),
    st.sampled_from([None, "0", b"0", [0], True, 1j, np.float32(1e9)]),
)


def python_ioft(v):
    return datetime.datetime.fromtimestamp(v / 1e9)


@budget(300)
@given(ANY_DATE)
def test_same_result_or_error_as_the_python_conversion(v):
    try:
        expected = python_ioft(v)
    except Exception as exc:
        with pytest.raises(type(exc)):
            portsim.ioft(v)
        return
    assert portsim.ioft(v) == expected
