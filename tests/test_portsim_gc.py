"""The cyclic garbage collector is paused while a run executes and left as
the caller had it afterwards, also when the run fails."""

import gc

import numpy as np
import pytest
from sim import NO_COSTS, run


class Truth:
    """A stop_trading_next_period whose truth test records the collector's state."""

    def __init__(self) -> None:
        self.seen: list[bool] = []

    def __bool__(self) -> bool:
        self.seen.append(gc.isenabled())
        return False


@pytest.fixture
def restore_gc():
    was = gc.isenabled()
    yield
    if was:
        gc.enable()
    else:
        gc.disable()


def test_collector_is_paused_during_the_run_and_enabled_after(restore_gc) -> None:
    gc.enable()
    probe = Truth()
    run([[10, 10]] * 3, [[1, 0]], stop_trading_next_period=probe, **NO_COSTS)
    assert probe.seen and not any(probe.seen)
    assert gc.isenabled()


def test_collector_disabled_by_the_caller_stays_disabled(restore_gc) -> None:
    gc.disable()
    run([[10, 10]] * 3, [[1, 0]], **NO_COSTS)
    assert not gc.isenabled()


def test_collector_state_is_restored_when_the_run_fails(restore_gc) -> None:
    gc.enable()
    with pytest.raises(ZeroDivisionError):
        # A zero entry price fails the excursion analysis of the trade.
        run([[0.0, 10], [0.0, 10], [0.0, 10]], [[1, 0], [0, 1]], **NO_COSTS)
    assert gc.isenabled()
