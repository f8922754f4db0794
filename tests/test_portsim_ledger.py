"""The trade ledger of a run (portsim.get_trade_ledger) and the exits it books:
prices, money invested, profit and loss after costs, exit reasons, position
ids and the money traded per bar, by hand and as invariants of random runs."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from sim import NO_COSTS, names, random_ohlc, run

import enginecases as E
import orvane.core.excursion as excursion
from orvane.core import portsim

OPEN, REBALANCE, SPLIT, STOP_LOSS, TAKE_PROFIT, TRAIL_STOP = range(6)
KEYS = ["entry_price", "exit_price", "exit_value", "invested", "pnl", "costs", "exit_reason",
        "position_id", "traded", "held"]


def ledger():
    return portsim.get_trade_ledger()


def bars(prices, opens):
    """One stock: trade price = close, with the bar's range spanning open and close."""
    price = [[p] for p in prices]
    return price, dict(open_=[[o] for o in opens],
                       high=[[max(o, p)] for o, p in zip(opens, prices)],
                       low=[[min(o, p)] for o, p in zip(opens, prices)])


def approx(x):
    return pytest.approx(x, rel=1e-12, abs=1e-12)


# Intrabar exits on a bar that opens beyond a bound.


@pytest.mark.parametrize(
    "weight, rule, prices, opens, value, exit_price, reason",
    [
        # Bought at 100 on bar 1; bar 3 opens at 80, below the 0.9 stop: the
        # holding of 1 is worth 1 x 80 / 100 (the old value was 0.82 x 0.8 / (82 / 95) = 0.76).
        (1.0, dict(stop_loss=0.1), [100, 100, 95, 82, 82], [100, 100, 95, 80, 82], 0.80, 80,
         STOP_LOSS),
        # Bar 3 opens at 130, above the 1.2 take profit: 1 x 130 / 100 (old 1.365).
        (1.0, dict(take_profit=0.2), [100, 100, 105, 125, 125], [100, 100, 105, 130, 125],
         1.30, 130, TAKE_PROFIT),
        # Reference four bars back: the open of bar 5 is measured from the entry at 100.
        (1.0, dict(stop_loss=0.1), [100, 100, 97, 95, 93, 82], [100, 100, 97, 95, 93, 80],
         0.80, 80, STOP_LOSS),
        # A short sold at 100: bar 4 opens at 115, above its 1.1 stop; it is bought back
        # for 1.15, so the portfolio holds 2 - 1.15.
        (-1.0, dict(stop_loss=0.1), [100, 100, 103, 105, 118, 118],
         [100, 100, 103, 105, 115, 118], 2 - 1.15, 115, STOP_LOSS),
        # The short's take profit at 0.8: bar 4 opens at 75, bought back for 0.75.
        (-1.0, dict(take_profit=0.2), [100, 100, 96, 90, 70, 70], [100, 100, 96, 90, 75, 70],
         2 - 0.75, 75, TAKE_PROFIT),
    ],
)
def test_gap_open_sells_at_the_open(weight, rule, prices, opens, value, exit_price, reason):
    price, extra = bars(prices, opens)
    res = run(price, [[weight]], pos_index=[0], touched_exit=True, **extra, **rule, **NO_COSTS)
    assert res.creturn[-1] == approx(value)
    book = ledger()
    assert book["exit_price"].tolist() == [exit_price]
    assert book["exit_reason"].tolist() == [reason]
    assert book["entry_price"].tolist() == [100]
    assert book["pnl"][0] == approx(value - 1)


# Flips.


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("retain", [False, True])
@pytest.mark.parametrize("fee", [0.0, 0.001])
def test_flip_closes_the_long_and_opens_a_short(periodic, retain, fee):
    closes = [10, 10, 11, 12, 13, 14, 13, 12, 11, 10]
    res = run([[c] for c in closes], [[1.0], [-1.0]], pos_index=[0, 4], fee_ratio=fee,
              tax_ratio=0.003, periodically_rebalance=periodic,
              retain_cost_when_rebalance=retain)
    assert res.trades == [[0, 1, 5], [0, 5, -1]]
    assert res.positions == [1.0, -1.0]
    book = ledger()
    # The long: 1 - fee bought at 10, worth h = (1 - fee) x 1.4 at 14. The flip sells
    # 2h for the fee only, shared half and half between the legs (|h| = |t| = h).
    h = (1 - fee) * 1.4
    assert book["pnl"] / book["invested"] == pytest.approx(
        [(1 - fee) ** 2 * 1.4 - 1, (1 - fee) - 10 / 14], rel=1e-12)
    assert book["invested"] == pytest.approx([1, h], rel=1e-12)
    assert book["costs"] == pytest.approx([fee + h * fee, h * fee], rel=1e-12, abs=0)
    assert book["entry_price"].tolist() == [10, 14]
    assert book["exit_price"].tolist() == [14, 10]
    assert book["exit_reason"].tolist() == [REBALANCE, OPEN]
    assert book["position_id"].tolist() == [0, 1]
    assert book["pnl"].sum() == pytest.approx(res.creturn[-1] - 1, rel=1e-12)
    # With no fee: a long of +40 % and a short of 1 - 10 / 14 = +28.57 %.
    if fee == 0.0:
        assert book["pnl"] / book["invested"] == approx([0.4, 1 - 10 / 14])


# Splits, resizes and the money traded.


@pytest.mark.parametrize("periodic", [True, False])
def test_split_hands_the_holding_on_at_its_value(periodic):
    res = run([[10], [10], [12], [12], [15]], [[1.0], [1.0]], pos_index=[0, 2],
              periodically_rebalance=periodic, **NO_COSTS)
    book = ledger()
    if periodic:
        # Bought for 1 at 10, worth 1.2 at 12 when the second row splits it; the
        # piece from 12 is worth 1.5 at 15.
        assert res.trades == [[0, 1, 3], [0, 3, -1]]
        assert book["pnl"] == approx([0.2, 0.3])
        assert book["invested"] == approx([1.0, 1.2])
        assert book["entry_price"].tolist() == [10, 12]
        assert book["exit_price"].tolist() == [12, 15]
        assert book["exit_reason"].tolist() == [SPLIT, OPEN]
        assert book["position_id"].tolist() == [0, 0]
    else:
        assert book["pnl"] == approx([0.5])
        assert book["position_id"].tolist() == [0]
    assert book["traded"] == approx([0, 1, 0, 0, 0])


def test_enlargement_adds_to_the_money_invested():
    # 0.5 bought at 10; at 12 it is worth 0.6 of a portfolio of 1.1, and the row
    # of weight 1 buys 0.5 more. Worth 1.1 x 15 / 12 = 1.375 at the end.
    run([[10], [10], [12], [12], [15]], [[0.5], [1.0]], pos_index=[0, 2],
        periodically_rebalance=False, **NO_COSTS)
    book = ledger()
    assert book["invested"] == approx([1.0])
    assert book["pnl"] == approx([0.375])
    assert book["traded"] == approx([0, 0.5, 0, 0.5, 0])
    # Held at each close: nothing, 0.5 at 10, 0.6 at 12, all of 1.1 after the row, 1.1 x 15 / 12.
    assert book["held"] == approx([0, 0.5, 0.6, 1.1, 1.375])


def test_a_short_is_held_at_its_absolute_value():
    # Short 0.5 at 10: at 12 it is worth -0.6 (the portfolio 1.5 - 0.6 = 0.9), at 8 -0.4.
    res = run([[10], [10], [12], [8]], [[-0.5]], pos_index=[0], **NO_COSTS)
    book = ledger()
    assert book["held"] == approx([0, 0.5, 0.6, 0.4])
    assert res.creturn == approx([1.0, 1.0, 0.9, 1.1])


def test_reduction_keeps_the_money_invested_and_pays_fee_and_tax():
    f, x = 0.001, 0.003
    res = run([[10], [10], [12], [12], [15]], [[1.0], [0.5]], pos_index=[0, 2],
              periodically_rebalance=False, fee_ratio=f, tax_ratio=x)
    book = ledger()
    held = (1 - f) * 1.2
    sold = held - 0.5 * held  # the target is half of the portfolio (all in the stock)
    assert book["invested"] == approx([1.0])
    assert book["costs"] == approx([f + sold * (f + x)])
    assert book["traded"] == approx([0, 1, 0, sold, 0])
    assert book["pnl"][0] == approx(res.creturn[-1] - 1)


# Exit prices and reasons of the exit rules.


def test_intrabar_stop_fills_at_the_bound():
    # Entry at 100; bar 3's low of 88 crosses the 0.9 stop: filled at 90, not at
    # the close of 95.
    price = [[100], [100], [96], [95], [95]]
    res = run(price, [[1.0]], pos_index=[0], touched_exit=True, stop_loss=0.1,
              low=[[100], [100], [96], [88], [95]], **NO_COSTS)
    book = ledger()
    assert book["exit_price"] == approx([90])
    assert book["exit_reason"].tolist() == [STOP_LOSS]
    assert book["pnl"] == approx([-0.1])
    assert res.creturn[-1] == approx(0.9)


def test_intrabar_trailing_stop_is_named_and_filled():
    # Peak cr 1.2 at 120 with a trail of 0.1: the bound is 1.1 (above the 0.5 stop);
    # bar 3's low of 105 crosses it, filled at 100 x 1.1 = 110.
    price = [[100], [100], [120], [115], [115]]
    run(price, [[1.0]], pos_index=[0], touched_exit=True, stop_loss=0.5, trail_stop=0.1,
        low=[[100], [100], [118], [105], [115]], **NO_COSTS)
    book = ledger()
    assert book["exit_price"] == approx([110])
    assert book["exit_reason"].tolist() == [TRAIL_STOP]


@pytest.mark.parametrize("weight, reason", [(1.0, TAKE_PROFIT), (-1.0, STOP_LOSS)])
def test_bar_touching_both_bounds_books_the_upper_one(weight, reason):
    price = [[10], [10], [10], [10]]
    run(price, [[weight]], pos_index=[0], touched_exit=True, stop_loss=0.2, take_profit=0.2,
        high=[[10], [10], [13], [10]], low=[[10], [10], [7], [10]], **NO_COSTS)
    book = ledger()
    assert book["exit_reason"].tolist() == [reason]
    assert book["exit_price"] == approx([12])


@pytest.mark.parametrize(
    "weight, path, closes, rule, reason",
    [(1.0, [100, 100, 85, 80, 80], None, dict(stop_loss=0.1), STOP_LOSS),
     (1.0, [100, 100, 115, 118, 118], None, dict(take_profit=0.1), TAKE_PROFIT),
     # The short's trailing bound is maxcr + 0.1 = 1.14 (below the 1.5 stop); the
     # close of bar 2 stands at 1.04 x 115 / 104 = 1.15.
     (-1.0, [100, 100, 104, 106, 106], [100, 100, 115, 106, 106],
      dict(stop_loss=0.5, trail_stop=0.1), TRAIL_STOP),
     (-1.0, [100, 100, 85, 80, 80], None, dict(take_profit=0.1), TAKE_PROFIT)],
)
def test_close_mode_exit_is_sold_at_the_next_trade_price(weight, path, closes, rule, reason):
    close = None if closes is None else [[c] for c in closes]
    res = run([[p] for p in path], [[weight]], pos_index=[0], close=close, **rule, **NO_COSTS)
    assert res.trades == [[0, 1, 3]]
    book = ledger()
    assert book["exit_price"].tolist() == [path[3]]
    assert book["exit_reason"].tolist() == [reason]
    assert book["pnl"] == approx([weight * (path[3] / 100 - 1)])


# Missing prices.


def test_sale_at_a_missing_price_is_booked_at_the_last_valid_one():
    run([[10], [10], [12], [np.nan], [np.nan]], [[1.0], [0.0]], pos_index=[0, 2], **NO_COSTS)
    book = ledger()
    assert book["exit_price"].tolist() == [12]
    assert book["pnl"] == approx([0.2])


def test_entry_at_a_missing_price_takes_the_first_valid_one():
    # The book holds the value bought until a price comes, and moves it from there.
    res = run([[10], [np.nan], [11], [12]], [[1.0]], pos_index=[0], **NO_COSTS)
    assert res.creturn[-1] == approx(12 / 11)
    book = ledger()
    assert book["entry_price"].tolist() == [11]
    assert book["exit_price"].tolist() == [12]
    # No valid price after the entry at all: the trade never moved.
    run([[10], [np.nan], [np.nan]], [[1.0]], pos_index=[0], **NO_COSTS)
    book = ledger()
    assert book["entry_price"].tolist() == book["exit_price"].tolist() == [10]
    assert book["pnl"].tolist() == [0.0]


def test_exit_value_is_the_holding_sold_or_still_held():
    # A long of 0.5 and a short of -0.5 at 10 and 20, then 11 and 19: the long
    # is worth 0.55 and the short -0.475 at the last close, with 1 in cash.
    res = run([[10, 20], [10, 20], [11, 19]], [[0.5, -0.5]], pos_index=[0], **NO_COSTS)
    book = ledger()
    assert book["exit_reason"].tolist() == [OPEN, OPEN]
    assert book["exit_value"].tolist() == approx([0.55, -0.475])
    assert 1.0 + book["exit_value"].sum() == approx(res.creturn[-1])
    # Sold at 11 by the next row: the value before costs, whatever the costs.
    run([[10], [10], [11], [11]], [[1.0], [0.0]], pos_index=[0, 1], fee_ratio=0.01, tax_ratio=0.003)
    book = ledger()
    assert book["exit_reason"].tolist() == [REBALANCE]
    assert book["exit_value"].tolist() == approx([0.99 * 1.1])


# The ledger as an object.


def test_ledger_is_new_arrays_of_the_last_completed_run():
    run([[10, 20], [10, 20], [11, 19]], [[0.5, -0.5]], pos_index=[0], **NO_COSTS)
    first = ledger()
    assert list(first) == KEYS
    assert [first[k].dtype for k in KEYS] == [np.float64] * 6 + [np.int8, np.int64, np.float64, np.float64]
    assert len(first["pnl"]) == len(excursion.trades) == 2 and len(first["traded"]) == len(first["held"]) == 3
    first["pnl"][:] = 99.0
    assert ledger()["pnl"].tolist() != [99.0, 99.0]
    kept = ledger()
    # A run that fails (a weight for a column without prices) keeps the last ledger.
    with pytest.raises(ValueError, match="has no price column"):
        portsim.backtest_(np.ones((3, 1)), np.ones((3, 1)), None, None, None,
                          np.arange(3, dtype=np.int64), names(1), np.array([[0.5, 0.5]]),
                          np.zeros(1, dtype=np.int64), names(2), np.arange(3, dtype=np.int64))
    after = ledger()
    assert all(E.same_array(after[k], kept[k]) for k in KEYS)


# Invariants of random runs.


def sane(case):
    """The case with every price positive and finite (NaN kept) and finite weights:
    markets in which each trade the book makes reaches the recorder."""
    def fix(a):
        if a is None:
            return None
        a = np.abs(a)
        return np.where(np.isnan(a) | ((a > 0) & np.isfinite(a)), a, 7.5)

    case.price_values = fix(case.price_values)
    case.close_values = fix(case.close_values)
    case.high_values, case.low_values, case.open_values = (
        fix(case.high_values), fix(case.low_values), fix(case.open_values))
    case.pos_values = np.nan_to_num(case.pos_values, nan=0.0)
    return case


@settings(max_examples=max(300, settings().max_examples), deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.filter_too_much])
@given(E.cases())
def test_pnl_adds_up_to_the_portfolio_and_rows_match_the_trades(case):
    case = sane(case)
    nat = E.run_native(portsim, excursion, case)
    assume(nat.error is None)
    book = nat.ledger
    fee, tax = case.options["fee_ratio"], case.options["tax_ratio"]
    gross = 1.0 + book["traded"].sum() + np.abs(book["pnl"]).sum()
    assert book["pnl"].sum() == pytest.approx(nat.creturn[-1] - 1, abs=1e-12 * gross)

    assert len(book["pnl"]) == len(nat.trades)
    for t, reason, pid in zip(nat.trades, book["exit_reason"], book["position_id"]):
        assert (t[2] == -1) == (reason == OPEN)

    assert np.all(book["invested"] > 0) and np.all(book["costs"] >= 0)
    # Every cost is the fee, or the fee and the tax, of money traded.
    total_cost = book["costs"].sum()
    assert fee * book["traded"].sum() * (1 - 1e-9) - 1e-15 <= total_cost
    assert total_cost <= (fee + tax) * book["traded"].sum() * (1 + 1e-9) + 1e-15
    # Ids count from 0 in order of first entry; a split piece goes on under its id
    # in the same column.
    ids = book["position_id"]
    firsts = list(dict.fromkeys(ids.tolist()))
    assert sorted(firsts) == list(range(len(firsts)))
    for i, reason in enumerate(book["exit_reason"]):
        if reason == SPLIT:
            later = [j for j in range(i + 1, len(ids)) if ids[j] == ids[i]]
            assert later and nat.trades[later[0]][0] == nat.trades[i][0]
            assert nat.trades[later[0]][1] == nat.trades[i][2]


@st.composite
def one_stock(draw):
    """One stock, weight +1 or -1 from bar 0, exit rules of every kind."""
    n = draw(st.integers(3, 25))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    vol = draw(st.sampled_from([0.02, 0.06, 0.12]))
    close, opens, high, low = random_ohlc(rng, n, vol)
    at_open = draw(st.booleans())
    options = dict(
        fee_ratio=draw(st.sampled_from([0.0, 0.001425])),
        tax_ratio=draw(st.sampled_from([0.0, 0.003])),
        stop_loss=draw(st.sampled_from([1.0, 0.03, 0.08])),
        take_profit=draw(st.sampled_from([math.inf, 0.03, 0.08])),
        trail_stop=draw(st.sampled_from([math.inf, 0.02, 0.05])),
        touched_exit=draw(st.booleans()),
    )
    weight = draw(st.sampled_from([1.0, -1.0]))
    return close, opens, high, low, at_open, weight, options


@settings(max_examples=max(300, settings().max_examples), deadline=None)
@given(one_stock())
def test_one_trade_returns_what_the_equity_made(market):
    close, opens, high, low, at_open, weight, options = market
    price = opens if at_open else close
    col = lambda a: [[v] for v in a]  # noqa: E731
    res = run(col(price), [[weight]], pos_index=[0], close=col(close), open_=col(opens),
              high=col(high), low=col(low), **options)
    book = ledger()
    assert len(res.trades) == 1
    _, entry_bar, exit_bar = res.trades[0]
    end = len(price) - 1 if exit_bar == -1 else exit_bar
    assert book["invested"][0] == approx(res.creturn[entry_bar - 1])
    assert book["pnl"][0] / book["invested"][0] == pytest.approx(
        res.creturn[end] / res.creturn[entry_bar - 1] - 1, rel=1e-9, abs=1e-12)

    reason = book["exit_reason"][0]
    assert (exit_bar == -1) == (reason == OPEN)
    if reason == OPEN:
        return
    entry = book["entry_price"][0]
    assert entry == price[entry_bar]
    if options["touched_exit"]:
        # The fill: at the bound or beyond it (a gap open), never inside.
        moved, last = book["exit_price"][0] / entry, exit_bar
    else:
        # The close of the bar before the sale crossed the bound.
        moved, last = close[exit_bar - 1] / entry, exit_bar - 1
    peak = max(price[entry_bar:last + 1]) / entry
    stop, take, trail = options["stop_loss"], options["take_profit"], options["trail_stop"]
    eps = 1e-9
    if weight > 0:
        expected = {TAKE_PROFIT: moved >= 1 + take - eps,
                    STOP_LOSS: moved <= 1 - stop + eps,
                    TRAIL_STOP: moved <= peak - trail + eps and peak - trail > 1 - stop - eps}
    else:
        expected = {TAKE_PROFIT: moved <= 1 - take + eps,
                    STOP_LOSS: moved >= 1 + stop - eps,
                    TRAIL_STOP: moved >= peak + trail - eps and peak + trail < 1 + stop + eps}
    assert expected[reason], (reason, moved, peak)
