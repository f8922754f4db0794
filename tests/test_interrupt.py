"""A long back-test notices Ctrl-C: it raises KeyboardInterrupt from inside the
run and leaves the module ready for the next run.

The run goes on in a child process (a signal must reach the process while
the engine holds the interpreter lock); the signal is either a real SIGINT
sent by this process or an interval timer whose handler raises
KeyboardInterrupt.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("orvane.core.portsim")

from fuzzing import SANITIZED  # noqa: E402

pytestmark = pytest.mark.skipif(SANITIZED, reason="child processes do not inherit the sanitizer set-up")

CHILD = textwrap.dedent(
    r"""
    import json, signal, sys, time
    import numpy as np
    from orvane.core import excursion, portsim

    def inputs(nbars, ncols):
        # Prices as a broadcast view: a long run without the memory of one.
        row = np.linspace(10.0, 20.0, ncols)
        price = np.broadcast_to(row, (nbars, ncols))
        idx = np.arange(1, nbars + 1, dtype=np.int64)
        names = np.array([f"S{i}" for i in range(ncols)], dtype=object)
        return dict(price_values=price, close_values=price, high_values=price,
                    low_values=price, open_values=price, price_index=idx,
                    price_columns=names, pos_values=np.full((1, ncols), 0.9 / ncols),
                    pos_index=idx[:1].copy(), pos_columns=names, resample=idx[:1].copy())

    small = inputs(50, 3)
    expected = portsim.backtest_(**small).tolist()
    report = repr(portsim.get_stock_operations())

    # Size the long run to take about ten seconds when nothing stops it.
    start = time.perf_counter()
    portsim.backtest_(**inputs(20_000, 200))
    per_bar = (time.perf_counter() - start) / 20_000
    nbars = int(min(10.0 / max(per_bar, 1e-9), 20_000_000))
    big = inputs(nbars, 200)
    portsim.backtest_(**small)

    if sys.argv[1] == "timer":
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.5)
    else:
        # Python leaves SIGINT alone when it starts with the signal ignored
        # (as for background jobs of a non-interactive shell).
        signal.signal(signal.SIGINT, signal.default_int_handler)
        print("running", flush=True)
    start = time.perf_counter()
    try:
        portsim.backtest_(**big)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    except BaseException as exc:
        outcome = repr(exc)
    elapsed = time.perf_counter() - start
    # A run that was cut short leaves the previous run's report in place.
    same_report = repr(portsim.get_stock_operations()) == report
    again = portsim.backtest_(**small).tolist()
    print(json.dumps(dict(outcome=outcome, same_report=same_report, again_ok=again == expected,
                          trades=len(excursion.trades), elapsed=elapsed, nbars=nbars)), flush=True)
    """
)


@pytest.mark.parametrize("how", ["sigint", "timer"])
def test_long_run_raises_keyboard_interrupt_and_module_stays_usable(how):
    child = subprocess.Popen([sys.executable, "-c", CHILD, how], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        if how == "sigint":
            assert child.stdout.readline().strip() == "running"
            import time

            time.sleep(0.5)
            os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=600)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    result = json.loads(out.strip().splitlines()[-1])
    print(result)
    assert result["outcome"] == "interrupted"
    assert result["same_report"], "the interrupted run completed its report"
    assert result["again_ok"]
