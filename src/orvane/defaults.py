"""The back-test options' defaults and valid ranges, as plain data.

Stated once here and quoted by the checks' messages, the docstrings and the
command line's help; this module imports nothing, so that ``orvane --help``
needs neither NumPy nor pandas.
"""

from __future__ import annotations

__all__ = ["RANGES", "COSTS"]

RANGES = {
    "fee_ratio": "a number in [0, 1)",
    "tax_ratio": "a number in [0, 1)",
    "slippage": "a number in [0, 1); fee_ratio + slippage below 1",
    "stop_loss": "a number in (0, 1], or None for no stop",
    "take_profit": "a number above 0, or None for no target",
    "trail_stop": "a number above 0, or None for no trailing stop",
    "position_limit": "a number in (0, 1]",
    "excursion_window": "at least 0 (an integer below 2**31)",
    "excursion_window_step": "at least 1 (an integer below 2**31)",
    "periods_per_year": "a number above 0, or None to infer it from the bars",
    "risk_free": "an annual rate above -1",
    "capital": "a positive, finite amount of money, or None for results in fractions of the starting capital",
}

# The cost options and their defaults: a fee on every trade, a tax on every
# sale (a trade that reduces or closes a holding), and no slippage.
COSTS = {"fee_ratio": 0.001425, "tax_ratio": 0.003, "slippage": 0.0}
