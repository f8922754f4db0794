"""orvane: portfolio back-testing of stock strategies on a native engine.

>>> import orvane
>>> market = orvane.datasets.sample_market()
>>> report = orvane.backtest(position, market, resample="M")   # doctest: +SKIP
"""

from . import datasets
from .inputs import InputError, Prices
from .report import Report
from .simulate import backtest
from .sweep import sweep

__version__ = "0.1.0"

__all__ = ["backtest", "sweep", "Report", "Prices", "InputError", "datasets", "__version__"]
