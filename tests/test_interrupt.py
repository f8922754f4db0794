"""A long back-test notices Ctrl-C: it raises KeyboardInterrupt from inside the
run and leaves the module ready for the next run.

The run goes on in a child process (a signal must reach the process while
the engine holds the interpreter lock). The signal is either a real SIGINT
that this process sends, or a repeating interval timer in the child. Nothing
here depends on how fast the machine is:

- the signals start only once the run has begun: the child's hook in the
  run (the truth test of ``stop_trading_next_period``, which the engine calls
  at the first rebalance) arms the timer or tells this process "running";
- a signal that lands while the engine is running that Python hook is
  handled there, not by the engine's own check, so the child's handler
  ignores it and the next signal, a moment later, is the one that counts;
- the run is far longer (tens of seconds of CPU time) than the interval
  between two signals, and the test fails unless the run was cut short:
  an interrupted run leaves the previous run's report in place.
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

CHILD = textwrap.dedent(
    r"""
    import json, signal, sys
    import numpy as np
    from orvane.core import excursion, portsim

    how = sys.argv[1]
    seen = {"in_run": False, "ignored": 0, "armed": False}

    class Hook:
        # The engine tests this for truth at the rebalance, inside the run.
        def __bool__(self):
            if not seen["armed"]:
                seen["armed"] = True
                if how == "timer":
                    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
                else:
                    print("running", flush=True)
            return True

    def interrupt(signum, frame):
        # Only a signal that the engine's check between bars handles counts:
        # then the interpreter's current frame is the one that called the run.
        if not seen["in_run"] or frame is None or frame.f_code.co_name != "<module>":
            seen["ignored"] += 1
            return
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        raise KeyboardInterrupt

    def inputs(nbars, ncols, truth=True):
        # Prices as a broadcast view: a long run without the memory of one.
        row = np.linspace(10.0, 20.0, ncols)
        price = np.broadcast_to(row, (nbars, ncols))
        idx = np.arange(1, nbars + 1, dtype=np.int64)
        names = np.array([f"S{i}" for i in range(ncols)], dtype=object)
        return dict(price_values=price, close_values=price, high_values=price,
                    low_values=price, open_values=price, price_index=idx,
                    price_columns=names, pos_values=np.full((1, ncols), 0.9 / ncols),
                    pos_index=idx[:1].copy(), pos_columns=names, resample=idx[:1].copy(),
                    stop_trading_next_period=truth)

    small = inputs(50, 3)
    expected = portsim.backtest_(**small).tolist()
    report = repr(portsim.get_stock_operations())
    # 2,000 holdings revalued on each of a million bars: tens of seconds
    # unless the interrupt ends it.
    big = inputs(1_000_000, 2000, Hook())

    signal.signal(signal.SIGALRM, interrupt)
    signal.signal(signal.SIGINT, interrupt)
    seen["in_run"] = True
    try:
        portsim.backtest_(**big)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    except BaseException as exc:
        outcome = repr(exc)
    seen["in_run"] = False
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A run that was cut short leaves the previous run's report in place.
    same_report = repr(portsim.get_stock_operations()) == report
    again = portsim.backtest_(**small).tolist()
    print(json.dumps(dict(outcome=outcome, same_report=same_report, again_ok=again == expected,
                          ignored=seen["ignored"])), flush=True)
    """
)


def _finish(child: subprocess.Popen, how: str) -> tuple[str, str]:
    """Wait for the child; for "sigint", send SIGINT every 0.1 s until it ends."""
    if how == "timer":
        return child.communicate(timeout=600)
    assert child.stdout.readline().strip() == "running"
    for _ in range(6000):
        os.kill(child.pid, signal.SIGINT)
        try:
            return child.communicate(timeout=0.1)
        except subprocess.TimeoutExpired:
            continue
    raise AssertionError("the run did not end within 10 minutes of SIGINT every 0.1 s")


@pytest.mark.parametrize("how", ["sigint", "timer"])
def test_long_run_raises_keyboard_interrupt_and_module_stays_usable(how):
    child = subprocess.Popen([sys.executable, "-c", CHILD, how], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        out, err = _finish(child, how)
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
