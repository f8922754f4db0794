"""orvane: portfolio back-testing of stock strategies on a native engine.

``orvane.backtest(position, prices, ...)`` runs a back-test of a table of
target weights (or buy signals) on price tables and returns a
:class:`Report` with the equity curve, every trade with its excursions, the
next operations, statistics, plots and a self-contained HTML page.
``orvane.sweep`` and ``orvane.walk_forward`` search parameter grids (the
latter choosing on past windows and trading the next), and
``orvane.deflated_sharpe`` and ``orvane.pbo`` tell how much of the best
result of a search is luck.  ``orvane.datasets.sample_market()`` makes a
synthetic market to try it on.
"""

from . import datasets
from .inputs import DataWarning, InputError, Prices
from .overfit import deflated_sharpe, pbo
from .report import Report
from .simulate import backtest
from .sweeps import sweep
from .walkforward import walk_forward

__version__ = "0.1.0"

__all__ = [
    "backtest",
    "sweep",
    "walk_forward",
    "deflated_sharpe",
    "pbo",
    "Report",
    "Prices",
    "InputError",
    "DataWarning",
    "datasets",
    "__version__",
]
