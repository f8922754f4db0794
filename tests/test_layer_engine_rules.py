"""The layer's own copies of engine rules, against the engine on random markets.

``orvane.schedule.executed_rows`` works out which weight rows a run trades,
and the report's trade table rebuilds the rows that ``get_trade_stocks``
builds in the engine. Both are checked here on the random cases of
``enginecases``, so that neither can drift from the engine: the schedule
against the rows the step-by-step reference traded (and the last one against
the engine's own report), the trade table against the engine's trade rows
of the same run.
"""

import contextlib
import io

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, assume, given, settings

import enginecases as E
import refengine as R
from orvane.inputs import Prepared
from orvane.report import Report
from orvane.schedule import executed_rows

portsim = pytest.importorskip("orvane.core.portsim")
excursion = pytest.importorskip("orvane.core.excursion")

SLOW = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]


@settings(max_examples=max(300, settings().max_examples), suppress_health_check=SLOW)
@given(E.cases())
def test_executed_rows_are_the_rows_the_engine_trades(case):
    # The layer hands the engine its rebalance dates in date order.
    case.resample = np.sort(case.resample)
    ref = E.run_reference(case)
    assume(ref.error is None)

    got = executed_rows(case.price_index, case.pos_index, case.resample)
    assert got.dtype == np.int64
    assert got.tolist() == ref.executed_rows

    native = E.run_native(portsim, excursion, case)
    assert native.error is None
    assert native.stock_operations["weight_time"] == (got[-1] if len(got) else -1)


def test_executed_rows_skip_a_row_overtaken_before_its_bar():
    # Bars 0..3 with rows dated at bars 0, 1 and 2; bars 0 and 2 are marked.
    # The close of bar 0 takes up row 0 (the newest dated before bar 1),
    # traded on bar 1; the close of bar 2 takes up row 2, traded on bar 3.
    # Row 1 is never the newest row at a marked close, so it never trades.
    p, names = np.full((4, 1), 10.0), np.array(["A"], dtype=object)
    index = (E.BASE + np.arange(4) * E.DAY).astype(np.int64)
    case = E.Case(p, p, p, p, p, index, names, np.array([[0.5], [0.7], [0.9]]), index[:3].copy(),
                  names, index[[0, 2]].copy())
    assert E.run_reference(case).executed_rows == [0, 2]
    assert executed_rows(case.price_index, case.pos_index, case.resample).tolist() == [0, 2]


def _usable(matrix):
    """The matrix with every price that is not positive and finite missing (the layer refuses them)."""
    if matrix is None:
        return None
    out = np.array(matrix, dtype=np.float64, copy=True)
    out[~((out > 0) & (out < np.inf))] = np.nan
    return out


def _prepared(case: E.Case) -> Prepared:
    """The arrays of a case as the layer hands them to the engine and the report reads them."""
    mapped = R.map_columns(case.price_columns, case.pos_columns)
    n_price = case.price_values.shape[1]
    # A column without prices in the matrices is never held by a completed run; any column stands in.
    pos2price = np.array([mapped[i] if 0 <= mapped.get(i, -1) < n_price else 0
                          for i in range(len(case.pos_columns))], dtype=np.int64)
    return Prepared(
        price_values=_usable(case.price_values), close_values=_usable(case.close_values),
        high_values=_usable(case.high_values), low_values=_usable(case.low_values),
        open_values=_usable(case.open_values), price_index=case.price_index,
        price_columns=case.price_columns, pos_values=case.pos_values, pos_index=case.pos_index,
        pos_columns=case.pos_columns, resample=case.resample,
        dates=pd.DatetimeIndex(case.price_index.astype("datetime64[ns]")),
        pos_dates=pd.DatetimeIndex(case.pos_index.astype("datetime64[ns]")),
        stocks=pd.Index(case.pos_columns), pos2price=pos2price,
    )


def _ns(dates: pd.Series) -> np.ndarray:
    """Dates as int64 nanoseconds, NaT as -1."""
    values = dates.to_numpy(dtype="datetime64[ns]")
    return np.where(np.isnat(values), -1, values.view(np.int64))


@settings(max_examples=max(200, settings().max_examples), suppress_health_check=SLOW)
@given(E.cases())
def test_trade_table_agrees_with_the_engine_trade_rows(case):
    assume(len(case.pos_columns) == case.pos_values.shape[1])
    prepared = _prepared(case)
    touched = bool(case.options.get("touched_exit", False))
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            creturn = portsim.backtest_(*prepared.engine_args(), **case.options)
        except Exception:  # a failed run has no trade table
            assume(False)
    rows, operations = portsim.get_trade_stocks(prepared.pos_columns, prepared.price_index, touched)
    report = Report.from_run(prepared, creturn, excursion.trades, excursion.trade_positions,
                             excursion.excursion, operations, dict(case.options),
                             ledger=portsim.get_trade_ledger())
    trades = report.trades

    assert len(trades) == len(rows)
    if not rows:
        return
    stock, entry, exit_, entry_sig, _, weight, period, entry_index, exit_index = map(list, zip(*rows))
    assert trades["stock"].tolist() == stock
    assert trades["entry_index"].tolist() == [int(i) for i in entry_index]
    assert trades["exit_index"].tolist() == [int(i) for i in exit_index]
    assert _ns(trades["entry_date"]).tolist() == [int(d) for d in entry]
    assert _ns(trades["exit_date"]).tolist() == [int(d) for d in exit_]
    assert trades["period"].tolist() == [int(n) for n in period]
    assert all(E.same_float(a, b) for a, b in zip(trades["weight"], weight))
    # The signal of an entry is the close before it; an entry on the first
    # bar has none (the engine's row reads the bar before with a negative
    # index, the last bar).
    first_bar = np.array(entry_index) == 0
    got_sig = _ns(trades["entry_sig_date"])
    assert (got_sig[first_bar] == -1).all()
    assert got_sig[~first_bar].tolist() == [int(d) for d, f in zip(entry_sig, first_bar) if not f]
