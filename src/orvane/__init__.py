"""orvane: portfolio back-testing of stock strategies on a native engine.

``orvane.backtest(position, prices, ...)`` runs a back-test of a table of
target weights (or buy signals) on price tables and returns a
:class:`Report` with the equity curve, every trade with its excursions, the
next operations, statistics, plots and a self-contained HTML page.
``orvane.datasets.sample_market()`` makes a synthetic market to try it on.
"""

from . import datasets
from .inputs import DataWarning, InputError, Prices
from .report import Report
from .simulate import backtest
from .sweep import sweep

__version__ = "0.1.0"

__all__ = ["backtest", "sweep", "Report", "Prices", "InputError", "DataWarning", "datasets", "__version__"]
