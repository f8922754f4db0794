"""Shared pieces of the fuzz tests: run budgets and array layout strategies.

The fuzz tests run in two modes. By default (``make test``, ``make sanitize``,
where they are most telling) each target gets a small budget so that the
whole fuzz suite stays within a minute or two. With ``HYPOTHESIS_PROFILE=fuzz`` (``make fuzz``) every budget
is multiplied by ``ORVANE_FUZZ_FACTOR`` (default 200) for a long run.
"""

from __future__ import annotations

import os
from typing import Callable

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

LONG_RUN = os.environ.get("HYPOTHESIS_PROFILE") == "fuzz"
SANITIZED = bool(os.environ.get("ORVANE_SANITIZED"))
FACTOR = int(os.environ.get("ORVANE_FUZZ_FACTOR", "200"))

# Exceptions that bad input may legitimately end in. Anything else (in
# particular SystemError, which a native function raises when it returns
# without setting an exception or sets one while returning a value) is a
# fault, and a crash kills the test process.
BAD_INPUT_ERRORS = (TypeError, ValueError, IndexError, ArithmeticError, AttributeError)


def arsize(window: int, step: int) -> int:
    """Length of one excursion array; Python's // floors toward minus infinity."""
    return 6 * ((window - 1) // step) + 12


# Excursion arrays longer than this are left out of the fuzz runs: whether
# a request of many gigabytes fails or is granted (and then filled, taking
# the machine's memory) depends on the machine, not on our code.
MAX_EXCURSION_ARRAY = 1_000_000


def budget(examples: int) -> settings:
    """Hypothesis settings for one fuzz target with ``examples`` examples by default."""
    if LONG_RUN:
        examples *= FACTOR
    return settings(
        max_examples=examples,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                               HealthCheck.filter_too_much],
        print_blob=True,
    )


def _reversed_twice(a: np.ndarray) -> np.ndarray:
    # Same values, negative strides on every axis.
    r = a[(slice(None, None, -1),) * a.ndim].copy()
    return r[(slice(None, None, -1),) * a.ndim]


def _strided(a: np.ndarray) -> np.ndarray:
    # Same values, every axis of the view skips every other element.
    big = np.empty(tuple(2 * n + 1 for n in a.shape), dtype=a.dtype)
    view = big[(slice(1, None, 2),) * a.ndim]
    view[...] = a
    return view


def _fortran(a: np.ndarray) -> np.ndarray:
    # Same values, column-major: a transposed view of the transposed copy.
    return np.ascontiguousarray(a.T).T


def _readonly(a: np.ndarray) -> np.ndarray:
    r = a.copy()
    r.flags.writeable = False
    return r


def _zero_row_stride(a: np.ndarray) -> np.ndarray:
    # A broadcast view (stride 0) when all rows are equal; otherwise a copy.
    if a.ndim == 2 and a.shape[0] > 0 and (a == a[:1]).all():
        return np.broadcast_to(a[:1], a.shape)
    return a.copy()


LAYOUTS: dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "contiguous": np.ascontiguousarray,
    "strided": _strided,
    "negative": _reversed_twice,
    "fortran": _fortran,
    "readonly": _readonly,
    "broadcast": _zero_row_stride,
}


def layouts() -> st.SearchStrategy[str]:
    return st.sampled_from(sorted(LAYOUTS))


def relayout(a: np.ndarray, layout: str) -> np.ndarray:
    """``a``'s values in another memory layout (object arrays included)."""
    out = LAYOUTS[layout](a)
    assert out.shape == a.shape
    return out


# Price values that stress the arithmetic: ordinary prices dominate so that
# runs trade, with zeros, negatives, NaN, infinities and extremes mixed in.
PRICES = st.one_of(
    st.floats(0.5, 200.0),
    st.floats(0.5, 200.0),
    st.floats(0.5, 200.0),
    st.sampled_from([0.0, -0.0, -1.0, np.nan, np.inf, -np.inf, 5e-324, 1e308, -1e308]),
)

WEIGHTS = st.one_of(
    st.floats(-1.5, 1.5),
    st.sampled_from([0.0, 0.0, 1.0, -1.0, np.nan, np.inf, -np.inf, 1e-300]),
)
