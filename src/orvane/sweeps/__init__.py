"""Parameter sweeps: one strategy back-tested over a grid of parameters, in parallel.

The engine keeps the state of a run in its module, so one back-test runs at
a time per process and parallelism comes from worker processes: a local
process pool by default, or any :class:`concurrent.futures.Executor`, a Dask
cluster included.  The data of a sweep reaches each host once: workers on
the host of the sweep read one shared copy in place, and the tasks carry
only their batch of parameter combinations.

The parts, each in its module:

- :mod:`~orvane.sweeps.grid`: grid expansion, parameter routing, batches;
- :mod:`~orvane.sweeps.worker`: the data a worker holds and the runs of its
  combinations, reusing what was prepared from the tables;
- :mod:`~orvane.sweeps.shared`: the shared-memory copy of the data;
- :mod:`~orvane.sweeps.runners`: getting the data and the batches to each
  kind of executor;
- :mod:`~orvane.sweeps.scheduler`: tasks in flight and recovery from dead
  workers;
- :mod:`~orvane.sweeps.results`: the table, its summary warning and ranking;
- :mod:`~orvane.sweeps.api`: :func:`sweep` itself.
"""

from .api import sweep
from .grid import BACKTEST_OPTIONS, expand_grid

__all__ = ["sweep", "expand_grid", "BACKTEST_OPTIONS"]
