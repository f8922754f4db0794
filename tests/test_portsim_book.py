"""Trading through the position book and rebalancing, seen from whole runs:
fees, taxes, shorts, flips, splits, gross weights and the position limit."""

import math

import numpy as np
import pytest
from sim import NO_COSTS, run

F, X = 0.001, 0.003


def test_buy_and_hold_pays_fee_on_entry_and_fee_plus_tax_on_exit():
    res = run([[10], [10], [11], [12]], [[1.0], [0.0]], pos_index=[0, 2],
              fee_ratio=F, tax_ratio=X)
    held = 0.0 + (1.0 - 1.0 * F)  # the buyer pays the cost out of the holding
    cash = 1.0 - 1.0
    held2 = held * (11 / 10)
    held3 = held2 * (12 / 11)
    final = cash + (held3 - abs(held3) * (F + X))
    assert res.creturn.tolist() == [1.0, cash + held * 10 / 10, cash + held2 * 11 / 11, final]
    assert res.trades == [[0, 1, 3]]
    assert res.positions == [1.0]
    assert len(res.arrays) == 1


def test_defaults_are_the_documented_fee_and_tax():
    res = run([[10], [10], [10]], [[1.0], [0.0]], pos_index=[0, 1])
    held = 1.0 - 1.0 * 0.001425
    assert res.creturn[2] == 0.0 + (held - held * (0.001425 + 0.003))


def test_short_then_flip_to_long():
    res = run([[10], [10], [8], [8], [10]], [[-0.5], [0.5]], pos_index=[0, 2],
              fee_ratio=F, tax_ratio=X)
    # Opening a short charges the fee only; the proceeds go to cash.
    cash = 1.0 + (0.5 - 0.5 * F)
    held = -0.5
    c1 = cash + (held * 10) / 10
    held = held * (8 / 10)
    c2 = cash + (held * 8) / 8
    # The flip is one trade on the whole amount, charged the fee only.
    balance = cash + held
    target = 0.5 * balance
    amount = target - held
    cash = cash - amount
    held = held + (amount - amount * F)
    c3 = cash + (held * 8) / 8
    held = held * (10 / 8)
    c4 = cash + (held * 10) / 10
    assert res.creturn.tolist() == [1.0, c1, c2, c3, c4]
    # With periodic rebalancing the continuing holding is split in two trades.
    assert res.trades == [[0, 1, 3], [0, 3, -1]]
    assert res.positions == [-0.5, target / balance]


def test_reducing_a_short_pays_tax():
    res = run([[10], [10], [10]], [[-0.5], [-0.2]], pos_index=[0, 1], fee_ratio=F, tax_ratio=X)
    cash = 1.0 + (0.5 - 0.5 * F)
    balance = cash - 0.5
    target = -0.2 * balance
    amount = target - (-0.5)
    cost = abs(amount) * (F + X)
    cash = cash - amount
    held = -0.5 + (amount - cost)
    assert res.creturn[2] == cash + (held * 10) / 10


@pytest.mark.parametrize("periodic", [True, False])
def test_periodic_rebalance_splits_continuing_holdings(periodic):
    price = [[10, 20]] * 4
    res = run(price, [[0.5, 0.5], [0.5, 0.5]], pos_index=[0, 2], fee_ratio=F, tax_ratio=0.0,
              periodically_rebalance=periodic)
    held = 0.5 - 0.5 * F
    # The second row asks for exactly the holdings there are: no trade, no cost.
    assert res.creturn.tolist() == [1.0, 0.0 + held + held, 0.0 + held + held, 0.0 + held + held]
    if periodic:
        assert res.trades == [[0, 1, 3], [1, 1, 3], [0, 3, -1], [1, 3, -1]]
        assert res.positions == [0.5, 0.5, held / (held + held), held / (held + held)]
    else:
        assert res.trades == [[0, 1, -1], [1, 1, -1]]
        assert res.positions == [0.5, 0.5]


def test_retained_cost_reference_does_not_split_trades():
    res = run([[10, 20]] * 4, [[0.5, 0.5], [0.5, 0.5]], pos_index=[0, 2], **NO_COSTS,
              retain_cost_when_rebalance=True)
    assert res.trades == [[0, 1, -1], [1, 1, -1]]


def test_gross_weight_above_one_is_scaled_and_capped():
    price = [[10, 10, 10], [10, 10, 10], [10, 10, 20]]
    res = run(price, [[1, 1, 2]], position_limit=0.4, **NO_COSTS)
    cash = ((1.0 - 0.25) - 0.25) - 0.4
    assert res.positions == [0.25, 0.25, 0.4]
    assert res.creturn.tolist() == [1.0, ((cash + 0.25) + 0.25) + 0.4,
                                    ((cash + 0.25) + 0.25) + (0.4 * 2.0 * 20) / 20]


def test_gross_weight_below_one_keeps_the_rest_in_cash():
    res = run([[10, 10]] * 2 + [[20, 10]], [[0.2, 0.2]], **NO_COSTS)
    assert res.positions == [0.2, 0.2]
    assert res.creturn[2] == ((1.0 - 0.2 - 0.2) + 0.2 * 2.0) + 0.2


def test_position_limit_is_a_share_of_the_balance_before_the_pass():
    price = [[10, 10]] * 2 + [[20, 10]] * 2
    res = run(price, [[1.0, 0.0], [0.5, 0.5]], pos_index=[0, 2], position_limit=0.3, **NO_COSTS)
    # First row: 1.0 capped to 0.3 of balance 1. Second: balance 1.3, each
    # half is 0.65, capped to 0.3 * 1.3.
    cap = 0.3 * 1.3
    assert res.positions[0] == 0.3
    assert res.positions[-2:] == [cap / 1.3, cap / 1.3]


def test_nan_weight_makes_money_targets_of_raw_weights():
    price = [[10, 10]] * 2 + [[10, 20]] * 2
    res = run(price, [[0.0, 1.0], [math.nan, 0.5]], pos_index=[0, 2], **NO_COSTS)
    # The NaN row: S is NaN so the ratio is 1; stock 1 gets 0.5 of money
    # while the balance is 2.
    assert res.trades == [[1, 1, 3], [0, 3, -1], [1, 3, -1]]
    assert res.positions[0] == 1.0 and math.isnan(res.positions[1])
    assert res.positions[2] == 0.5 / 2.0
    assert math.isnan(res.creturn[3])


def test_zero_weight_for_a_stock_not_held_changes_nothing():
    res = run([[10, 10]] * 3, [[0.0, 0.0], [0.0, 0.0]], fee_ratio=F)
    assert res.creturn.tolist() == [1.0, 1.0, 1.0]
    assert res.trades == []
