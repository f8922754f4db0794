from __future__ import annotations

import os
from typing import Any

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

import orvane.core.excursion as excursion
try:
    from orvane.core import _recorder_probe as probe
except ImportError as exc:
    raise ImportError(
        "the tests need orvane's test-only extension modules, which an ordinary install leaves out:"
        " run them with `make test` (it builds with the CMake option ORVANE_TEST_MODULES=ON)"
    ) from exc

# "ci" (the default) keeps the suite quick and its outcome fixed: the same
# examples on every run (derandomized, no example database), and no check
# of how long an example takes, which depends on the machine's load.
# HYPOTHESIS_PROFILE=long searches much harder and "fuzz" (make fuzz) runs
# the fuzz targets at length; both draw new examples each time.
settings.register_profile("ci", derandomize=True, database=None, deadline=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", deadline=None, max_examples=5000,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("fuzz", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# One stock: close 10, 10, 11, 9, 12 and trade price 10, 10, 10.5, 9.5, 11.5.
CLOSE = np.array([[10.0], [10.0], [11.0], [9.0], [12.0]])
PRICE = np.array([[10.0], [10.0], [10.5], [9.5], [11.5]])


class Recorder:
    """Drives the recorder through the bound entry points like the engine."""

    def start(
        self,
        price: Any = PRICE,
        close: Any = CLOSE,
        pos2price: dict[int, int] | None = None,
        nstocks: int = 1,
        fee: float = 0.0,
        tax: float = 0.0,
        window: int = 0,
        step: int = 1,
    ) -> None:
        if pos2price is None:
            pos2price = {i: i for i in range(nstocks)}
        probe.start_analysis(price, close, pos2price, nstocks, fee, tax, window, step)

    def trade(self, sid: int, entry: int, exit: int, weight: float = 1.0, entry_flag: int = 1,
              exit_flag: int = 1) -> np.ndarray:
        probe.record_date(entry)
        probe.record_entry(sid, weight, entry_flag)
        probe.record_date(exit)
        probe.record_exit(sid, exit_flag)
        return excursion.excursion[-1]

    @property
    def trades(self) -> list:
        return excursion.trades

    @property
    def positions(self) -> list:
        return excursion.trade_positions

    @property
    def arrays(self) -> list:
        return excursion.excursion


@pytest.fixture
def rec() -> Recorder:
    return Recorder()


@pytest.fixture(autouse=True)
def _fresh_lists():
    """Tests may rebind the module lists; put fresh lists back afterwards."""
    yield
    for name in ("trades", "trade_positions", "excursion"):
        setattr(excursion, name, [])
    probe.bind(excursion)
