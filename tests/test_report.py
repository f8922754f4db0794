"""Report built from hand-made engine results: trade rows, paths, actions, exposure, turnover."""

import numpy as np
import pandas as pd
import pytest

from orvane.inputs import prepare
from orvane.report import Report, executed_rows

DATES = pd.bdate_range("2024-01-01", periods=10)


def prepared(resample=None, rows=None):
    px = pd.DataFrame(np.linspace(10, 20, 30).reshape(10, 3), index=DATES, columns=["A", "B", "C"])
    if rows is None:
        rows = pd.DataFrame([[0.5, 0.5, 0.0], [0.0, 0.5, 0.5]], index=DATES[[1, 5]], columns=["A", "B", "C"])
    return prepare(rows, px, resample=resample)


def summary_block(ret):
    return np.array([-0.1, 0.2, 0.05, -0.15, 3.0, ret])


# The book of the three trades below: A bought for 0.5 at 10 and sold by a
# rebalance at 12 (0.6, +0.1); B bought for 0.25 at 20 and stopped at 18
# (0.225, -0.025); C sold short for 0.5 at 30, worth -0.45 at 27 at the end
# (+0.05).
LEDGER = {
    "entry_price": np.array([10.0, 20.0, 30.0]),
    "exit_price": np.array([12.0, 18.0, 27.0]),
    "exit_value": np.array([0.6, 0.225, -0.45]),
    "invested": np.array([0.5, 0.25, 0.5]),
    "pnl": np.array([0.1, -0.025, 0.05]),
    "costs": np.zeros(3),
    "exit_reason": np.array([1, 3, 0], dtype=np.int8),
    "position_id": np.array([1, 0, 2]),
    "traded": np.array([0.25, 0, 0.5, 0, 0.225, 0, 0.6, 0.5, 0, 0]),
    # B alone on bars 0-1, A and B on bars 2-3, A alone on bars 4-5, C from bar 7 (its moves left out).
    "held": np.array([0.25, 0.25, 0.75, 0.75, 0.5, 0.5, 0, 0.5, 0.5, 0.45]),
}


def make_report(touched_exit=False, window=0, step=1, ops=None, ledger=LEDGER, capital=None):
    p = prepared()
    trades = [[0, np.int64(2), 6], [1, np.int64(0), 4], [2, np.int64(7), -1]]
    n_blocks = 0 if window == 0 else (window - 1) // step + 1
    exc = []
    for k, r in enumerate([0.2, -0.1, 0.1]):
        blocks = [np.full(6, float(10 * k + b)) for b in range(n_blocks)]
        exc.append(np.concatenate(blocks + [summary_block(r)]))
    params = {"touched_exit": touched_exit, "excursion_window": window, "excursion_window_step": step,
              "capital": capital}
    return Report.from_run(p, np.linspace(1.0, 1.09, 10), trades, [0.5, 0.25, -0.5], exc, ops or {}, params,
                           ledger=ledger)


def test_trade_rows_carry_names_dates_and_the_book():
    t = make_report().trades
    assert list(t["stock"]) == ["A", "B", "C"]
    assert t["entry_date"].iloc[0] == DATES[2] and t["exit_date"].iloc[0] == DATES[6]
    assert t["entry_sig_date"].iloc[0] == DATES[1] and t["exit_sig_date"].iloc[0] == DATES[5]
    assert list(t["period"]) == [4, 4, 3]
    np.testing.assert_array_equal(t["weight"], [0.5, 0.25, -0.5])
    # pnl / invested: 0.1 / 0.5, -0.025 / 0.25, 0.05 / 0.5.
    np.testing.assert_allclose(t["return"], [0.2, -0.1, 0.1], rtol=1e-15)
    assert list(t["exit_reason"]) == ["rebalance", "stop_loss", ""]
    assert list(t["position_id"]) == [1, 0, 2] and "shares" not in t.columns
    assert (t["mae"] == -0.1).all() and (t["profit_period"] == 3.0).all()


def test_capital_turns_money_into_currency_and_adds_shares():
    t = make_report(capital=1e6).trades
    np.testing.assert_allclose(t["pnl"], [1e5, -2.5e4, 5e4])
    np.testing.assert_allclose(t["invested"], [5e5, 2.5e5, 5e5])
    # 0.6 of 1e6 at 12, 0.225 of it at 18, -0.45 of it at 27.
    np.testing.assert_allclose(t["shares"], [5e4, 12500, -16666.666666666668])
    np.testing.assert_array_equal(t["exit_price"], [12.0, 18.0, 27.0])


def test_without_a_ledger_money_and_reasons_are_unknown():
    r = make_report(ledger=None)
    t = r.trades
    np.testing.assert_array_equal(t["return"], [0.2, -0.1, 0.1])
    assert t["pnl"].isna().all() and t["exit_reason"].isna().tolist() == [True, True, False]
    assert len(r.positions) == 3 and np.isnan(r.turnover()) and np.isnan(r.invested_fraction())


def test_open_trade_has_no_exit_and_first_bar_entry_has_no_signal_date():
    t = make_report().trades
    assert pd.isna(t["exit_date"].iloc[2]) and pd.isna(t["exit_sig_date"].iloc[2])
    assert t["exit_index"].iloc[2] == -1
    assert pd.isna(t["entry_sig_date"].iloc[1])


def test_only_an_exit_rule_inside_the_bar_is_decided_on_the_exit_bar():
    t = make_report(touched_exit=True).trades
    # A's rebalance was decided at the close before its exit; B's stop inside its exit bar.
    assert t["exit_sig_date"].iloc[0] == DATES[5] and t["exit_sig_date"].iloc[1] == DATES[4]


def test_paths_are_sampled_blocks_cut_where_the_data_ends():
    r = make_report(window=5, step=2)
    assert list(r.paths.columns.get_level_values("bars").unique()) == [0, 2, 4]
    assert r.paths[("return", 2)].iloc[0] == 1.0
    assert r.paths[("mae", 4)].iloc[1] == 12.0
    # Trade 2 entered on bar 7 of 10: only offsets 0 and 2 exist.
    assert r.paths[("gmfe", 2)].iloc[2] == 21.0 and np.isnan(r.paths[("gmfe", 4)].iloc[2])
    assert make_report().paths is None


def test_no_trades_gives_empty_typed_frame():
    r = Report.from_run(prepared(), np.ones(10), [], [], [], {}, {"touched_exit": False})
    assert len(r.trades) == 0 and "return" in r.trades.columns
    assert r.exposure() == 0.0
    assert r.stats()["trades"] == 0


def test_actions_map_columns_and_row_dates():
    ops = {
        "actions": {2: "enter", 0: "exit"},
        "weights": {0: 0.5, 1: 0.5},
        "next_weights": {1: 0.5, 2: 0.5},
        "weight_time": 0,
        "next_weight_time": 1,
    }
    a = make_report(ops=ops).actions()
    assert list(a["stock"]) == ["C", "A", "B"]
    assert list(a["action"]) == ["enter", "exit", ""]
    np.testing.assert_array_equal(a["weight"], [0.0, 0.5, 0.5])
    np.testing.assert_array_equal(a["next_weight"], [0.5, 0.0, 0.5])
    assert (a["weight_date"] == DATES[1]).all() and (a["next_weight_date"] == DATES[5]).all()


def test_actions_before_any_rebalance_have_no_weight_date():
    ops = {"actions": {}, "weights": {}, "next_weights": {0: 1.0}, "weight_time": -1, "next_weight_time": 0}
    a = make_report(ops=ops).actions()
    assert pd.isna(a["weight_date"].iloc[0]) and a["next_weight_date"].iloc[0] == DATES[1]


def test_exposure_counts_bars_held_at_close_since_first_entry():
    # Held: bars 0-3 (B), 2-5 (A), 7-9 (C, open): bar 6 is the only empty bar of 10.
    assert make_report().exposure() == pytest.approx(0.9)


def test_executed_rows_follow_the_notice_and_mark_rules():
    ns = np.arange(10, dtype=np.int64) * 10
    # Row 0 is noticed at the close of bar 1 (10 < 20); rows 1 and 2 are both
    # dated before bar 3, so only row 2 trades.
    rows = executed_rows(ns, np.array([10, 25, 27]), np.array([10, 25, 27]))
    np.testing.assert_array_equal(rows, [0, 2])
    # A decision on the last bar stays pending.
    np.testing.assert_array_equal(executed_rows(ns, np.array([95]), np.array([95])), [])


def test_turnover_is_half_the_money_traded_over_the_value_per_year():
    r = make_report()
    # Traded 0.25, 0.5, 0.225, 0.6 and 0.5 on bars 0, 2, 4, 6, 7 of values 1 + 0.01 k.
    values = np.linspace(1.0, 1.09, 10)
    total = (0.25 / values[0] + 0.5 / values[2] + 0.225 / values[4] + 0.6 / values[6] + 0.5 / values[7]) / 2
    assert r.turnover(per_year=False) == pytest.approx(total)
    years = (DATES[-1] - DATES[0]).days / 365.25
    assert r.turnover() == pytest.approx(total / years)
