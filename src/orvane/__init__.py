"""orvane: portfolio back-testing of stock strategies on a native engine.

``orvane.backtest(position, prices, ...)`` runs a back-test of a table of
target weights (or buy signals) on price tables and returns a
:class:`Report` with the equity curve, every trade with its excursions, the
next operations and orders, statistics, plots and a self-contained HTML
page.  ``orvane.sweep`` and ``orvane.walk_forward`` search parameter grids
(the latter choosing on past windows and trading the next), and
``orvane.deflated_sharpe`` and ``orvane.pbo`` tell how much of the best
result of a search is luck.  ``orvane.datasets.sample_market()`` makes a
synthetic market to try it on.

The names are imported on first use, so that a tool importing a small part
(the command line's ``--help``) does not pay for NumPy and pandas.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from . import datasets
    from .inputs import DataWarning, InputError, Prices
    from .overfit import deflated_sharpe, pbo
    from .report import Report, RuinWarning
    from .simulate import backtest
    from .sweeps import sweep
    from .walkforward import walk_forward

__version__ = "0.1.0"

# Public name -> the module that defines it (a submodule for ``datasets``).
_HOMES = {
    "backtest": ".simulate",
    "sweep": ".sweeps",
    "walk_forward": ".walkforward",
    "deflated_sharpe": ".overfit",
    "pbo": ".overfit",
    "Report": ".report",
    "RuinWarning": ".report",
    "Prices": ".inputs",
    "InputError": ".inputs",
    "DataWarning": ".inputs",
    "datasets": ".datasets",
}

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
    "RuinWarning",
    "datasets",
    "__version__",
]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'orvane' has no attribute {name!r}")
    module = importlib.import_module(home, __name__)
    value = module if name == "datasets" else getattr(module, name)
    globals()[name] = value
    return value


def __dir__() -> list:
    return sorted(set(globals()) | set(__all__))
