"""A long run can be interrupted between bars and leaves the module usable."""

import json
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(r"""
    import json, signal, time
    import numpy as np
    from orvane.core import portsim

    def inputs(bars, cols=100):
        price = np.broadcast_to(np.linspace(10.0, 20.0, cols), (bars, cols))
        dates = np.arange(bars, dtype=np.int64)
        names = np.array([f"S{i}" for i in range(cols)], dtype=object)
        return (price, price, price, price, price, dates, names, np.full((1, cols), 0.01),
                dates[:1].copy(), names, dates[:1].copy())

    small = inputs(5)
    expected = portsim.backtest_(*small).tolist()
    report = portsim.get_stock_operations()
    start = time.perf_counter()
    portsim.backtest_(*inputs(20_000))
    per_bar = (time.perf_counter() - start) / 20_000
    # Long enough that only the interrupt can end it in time.
    big = inputs(int(min(20.0 / per_bar, 50_000_000)))
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        portsim.backtest_(*big)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    print(json.dumps({"outcome": outcome, "report_kept": portsim.get_stock_operations() == report,
                      "usable": portsim.backtest_(*small).tolist() == expected}))
""")


def test_keyboard_interrupt_ends_a_long_run():
    proc = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                          timeout=300, check=False)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result == {"outcome": "interrupted", "report_kept": True, "usable": True}
