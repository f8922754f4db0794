"""The scalar options of a back-test: each one checked against its valid range.

The ranges are stated once (in :mod:`orvane.defaults`) and quoted by the
messages, the docstrings and the command line's help:

- ``fee_ratio``, ``tax_ratio``, ``slippage``: at least 0 and below 1 (a cost
  of the whole traded value or more leaves nothing to hold), and the fee and
  the slippage together below 1, since both are charged on every trade;
- ``stop_loss``: above 0 and at most 1 (a loss of the whole entry value);
  ``take_profit`` and ``trail_stop``: above 0; None (or ``inf``) switches
  each of them off;
- ``position_limit``: above 0 and at most 1 (weights are fractions of the
  portfolio, whose gross is capped at 1);
- ``excursion_window``: an integer, at least 0; ``excursion_window_step``:
  at least 1 (a window longer than the data is cut to the data);
- truth options: ``True`` or ``False`` (Python or NumPy booleans only, so
  that ``"False"`` cannot pass as true);
- ``periods_per_year``: None (inferred from the bars) or a number above 0;
- ``capital``: None (money in fractions of the starting capital) or a
  positive, finite amount.
"""

from __future__ import annotations

import math
import numbers
from typing import Any, Optional

import numpy as np

from .defaults import RANGES
from .inputs import InputError

__all__ = [
    "RANGES",
    "check_ratio",
    "check_costs",
    "check_stop",
    "check_flag",
    "check_window",
    "check_periods_per_year",
    "check_name",
    "check_risk_free",
    "check_capital",
]


_STOP_LIMITS = {"stop_loss": (0.0, 1.0), "take_profit": (0.0, math.inf), "trail_stop": (0.0, math.inf)}


def _number(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InputError(f"{name} must be {RANGES[name]}, got {value!r}")
    out = float(value)
    if math.isnan(out):
        raise InputError(f"{name} must not be NaN; it must be {RANGES[name]}")
    return out


def check_ratio(value: Any, name: str) -> float:
    """``fee_ratio``, ``tax_ratio`` or ``position_limit`` as a float in its range."""
    out = _number(value, name)
    ok = 0.0 < out <= 1.0 if name == "position_limit" else 0.0 <= out < 1.0
    if not ok:
        raise InputError(f"{name} must be {RANGES[name]}, got {value!r}")
    return out


def check_costs(fee_ratio: Any, slippage: Any) -> tuple:
    """``fee_ratio`` and ``slippage`` as floats, each in [0, 1) and their sum below 1."""
    fee = check_ratio(fee_ratio, "fee_ratio")
    slip = _number(slippage, "slippage")
    if not 0.0 <= slip < 1.0 or not fee + slip < 1.0:
        raise InputError(f"slippage must be {RANGES['slippage']}, got {slippage!r} (fee_ratio {fee!r})")
    return fee, slip


def check_stop(value: Any, name: str) -> float:
    """An exit threshold for the engine; None (or ``inf``) switches it off and becomes ``inf``."""
    if value is None:
        return math.inf
    out = _number(value, name)
    if out == math.inf:
        return out
    low, high = _STOP_LIMITS[name]
    if not low < out <= high:
        hint = " (use None to switch it off)" if out == 0.0 else ""
        raise InputError(f"{name} must be {RANGES[name]}, got {value!r}{hint}")
    return out


def check_flag(value: Any, name: str) -> bool:
    """A truth option: only ``True`` or ``False`` (a string such as ``"False"`` is refused)."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise InputError(f"{name} must be True or False, got {value!r}")


def check_window(value: Any, name: str, minimum: int) -> int:
    """An excursion window or step as a Python int of at least ``minimum``."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise InputError(f"{name} must be {RANGES[name]}, got {value!r}")
    if not minimum <= int(value) < 2**31:
        raise InputError(f"{name} must be {RANGES[name]}, got {value}")
    return int(value)


def check_periods_per_year(value: Any) -> Optional[float]:
    """None, or the number of bars per year used to annualise statistics."""
    if value is None:
        return None
    out = _number(value, "periods_per_year")
    if not 0.0 < out < math.inf:
        raise InputError(f"periods_per_year must be {RANGES['periods_per_year']}, got {value!r}")
    return out


def check_name(value: Any) -> Optional[str]:
    """The title of a report: None or a string."""
    if value is None or isinstance(value, str):
        return value
    raise InputError(f"name must be a string or None, got {type(value).__name__}")


def check_risk_free(value: Any) -> float:
    """An annual risk-free rate above -1 (0.03 = 3 % a year)."""
    out = _number(value, "risk_free")
    if not -1.0 < out < math.inf:
        raise InputError(f"risk_free must be {RANGES['risk_free']}, got {value!r}")
    return out


def check_capital(value: Any) -> Optional[float]:
    """None, or the starting capital in currency as a positive finite float."""
    if value is None:
        return None
    out = _number(value, "capital")
    if not 0.0 < out < math.inf:
        raise InputError(f"capital must be {RANGES['capital']}, got {value!r}")
    return out
