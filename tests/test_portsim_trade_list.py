"""get_trade_stocks: the trades of the last run with names and dates."""

import numpy as np
import pytest
from sim import NO_COSTS, dates, names, run

import orvane.core.excursion as excursion
from orvane.core import _recorder_probe as probe
from orvane.core import portsim

DATES = dates(range(1000, 1020))  # bar i is dated 1000 + i
COLS = names(6)


def recorded(*trades):
    """Feeds trades (sid, entry, exit or None, weight) to the recorder."""
    price = np.full((20, 6), 10.0)
    probe.start_analysis(price, price, {i: i for i in range(6)}, 6, 0.0, 0.0, 0, 1)
    open_positions = {}
    for sid, entry, exit_, weight in trades:
        probe.record_date(entry)
        probe.record_entry(sid, weight, 1)
        if exit_ is None:
            open_positions[sid] = weight
        else:
            probe.record_date(exit_)
            probe.record_exit(sid, 1)
    probe.record_date(19)
    probe.end_analysis(open_positions)


@pytest.mark.parametrize("touched, decided", [(False, 1006), (True, 1007)])
def test_closed_trade_row(touched, decided):
    recorded((2, 3, 7, 0.25))
    rows, ops = portsim.get_trade_stocks(COLS, DATES, touched)
    assert rows == [["S2", 1003, 1007, 1002, decided, 0.25, 4, 3, 7]]
    row = rows[0]
    assert [type(v) for v in row[1:5]] == [np.int64] * 4


def test_open_trade_row():
    recorded((5, 10, None, -0.5))
    rows, _ = portsim.get_trade_stocks(COLS, DATES, False)
    assert rows == [["S5", 1010, -1, 1009, -1, -0.5, 10, 10, -1]]
    assert type(rows[0][2]) is int and type(rows[0][4]) is int


def test_trade_entered_on_bar_0_looks_back_to_the_last_bar():
    recorded((0, 0, 2, 1.0))
    rows, _ = portsim.get_trade_stocks(pos_columns=COLS, price_index=DATES, touched_exit=0)
    assert rows[0][3] == 1019


def test_rows_follow_the_recorder_order_and_weights():
    recorded((1, 2, 4, 0.1), (3, 1, None, 0.2), (0, 5, 6, 0.3))
    rows, _ = portsim.get_trade_stocks(COLS, DATES, True)
    assert [r[0] for r in rows] == ["S1", "S0", "S3"]
    assert [r[5] for r in rows] == [0.1, 0.3, 0.2]


def test_rows_of_a_back_test_in_both_modes():
    price = [[10, 10], [10, 10], [10, 12], [10, 12], [10, 12]]
    res = run(price, [[0.5, 0.5]], take_profit=0.1, **NO_COSTS)
    rows, _ = portsim.get_trade_stocks(names(2), dates(range(5)), False)
    # Signalled at the close of bar 2, sold on bar 3.
    assert rows == [["S1", 1, 3, 0, 2, 0.5, 2, 1, 3], ["S0", 1, -1, 0, -1, 0.5, 4, 1, -1]]
    run(price, [[0.5, 0.5]], high=[[10, 10], [10, 10], [10, 12], [10, 12], [10, 12]],
        touched_exit=True, take_profit=0.1, **NO_COSTS)
    rows, _ = portsim.get_trade_stocks(names(2), dates(range(5)), True)
    assert rows[0] == ["S1", 1, 2, 0, 2, 0.5, 1, 1, 2]
    assert res.trades[0] == [1, 1, 3]


def test_report_is_the_module_dict_itself():
    run([[10]] * 3, [[1.0]])
    rows, ops = portsim.get_trade_stocks(names(1), dates(range(3)), False)
    ops["weights"][7] = 0.5
    ops["mark"] = True
    assert portsim.get_stock_operations()["mark"] is True
    assert portsim.get_trade_stocks(names(1), dates(range(3)), False)[1] is ops


def test_no_trades():
    run([[10]] * 3, [[0.0]])
    assert portsim.get_trade_stocks(None, None, False)[0] == []


def test_errors():
    recorded((2, 3, 7, 0.25))
    with pytest.raises(TypeError, match=r"Argument 'pos_columns' has incorrect type "
                                        r"\(expected numpy.ndarray, got list\)"):
        portsim.get_trade_stocks(["S0"], DATES, False)
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        portsim.get_trade_stocks(COLS, DATES.astype(float), False)
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        portsim.get_trade_stocks(COLS, None, False)
    with pytest.raises(IndexError):
        portsim.get_trade_stocks(names(2), DATES, False)
    excursion.trade_positions = []
    with pytest.raises(IndexError):
        portsim.get_trade_stocks(COLS, DATES, False)
