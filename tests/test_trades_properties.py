"""The trade table agrees with the equity curve on random single-stock histories, in every mode:
at the close and inside the bar, trading at the close and at the open, long, short and
across flips, with fee and tax, whatever the excursion window."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pytest.importorskip("orvane.core.portsim")

import orvane  # noqa: E402
from sim import random_ohlc  # noqa: E402

RULES = ("stop_loss", "take_profit", "trail_stop")


@st.composite
def histories(draw):
    """One stock's bars, a few weight rows (flips included) and options of every kind."""
    n = draw(st.integers(4, 30))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    vol = draw(st.sampled_from([0.02, 0.06, 0.12]))
    close, opens, high, low = random_ohlc(rng, n, vol)
    dates = pd.bdate_range("2024-01-01", periods=n)
    prices = {f: pd.DataFrame({"A": v}, index=dates) for f, v in
              (("open", opens), ("high", high), ("low", low), ("close", close))}
    bars = sorted(draw(st.sets(st.integers(0, n - 2), min_size=1, max_size=4)))
    weights = [draw(st.sampled_from([1.0, -1.0, 0.5, -0.5]))]
    weights += [draw(st.sampled_from([1.0, -1.0, 0.5, -0.5, 0.0])) for _ in bars[1:]]
    position = pd.DataFrame({"A": weights}, index=dates[bars])
    options = dict(
        fee_ratio=draw(st.sampled_from([0.0, 0.001425])),
        tax_ratio=draw(st.sampled_from([0.0, 0.003])),
        touched_exit=draw(st.booleans()),
        trade_at=draw(st.sampled_from(["close", "open"])),
        retain_cost_when_rebalance=draw(st.booleans()),
        stop_trading_next_period=draw(st.booleans()),
        **{rule: draw(st.sampled_from([None, 0.03, 0.08])) for rule in RULES},
    )
    return position, prices, options, draw(st.sampled_from([1, 3, 40]))


def run(position, prices, **options):
    with warnings.catch_warnings():
        # A short that more than doubles ruins the portfolio; that is a figure too.
        warnings.simplefilter("ignore", orvane.RuinWarning)
        return orvane.backtest(position, prices, **options)


@settings(max_examples=max(200, settings().max_examples), deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(histories())
def test_trades_agree_with_the_equity(history):
    position, prices, options, window = history
    r = run(position, prices, **options)
    t, p = r.trades, r.positions
    equity = r.creturn.to_numpy()
    n = len(equity)
    scale = 1.0 + float(np.abs(t["pnl"]).sum())

    # Every unit of money the portfolio made or lost is some trade's.
    assert t["pnl"].sum() == pytest.approx(equity[-1] - 1, abs=1e-12 * scale)

    # On a bar at whose close nothing is held, the equity is 1 plus what the trades closed so far made.
    entry, exit_ = t["entry_index"].to_numpy(), t["exit_index"].to_numpy()
    end = np.where(exit_ < 0, n, exit_)
    held = np.zeros(n, dtype=bool)
    for a, b in zip(entry, end):
        held[a:b] = True
    pnl = t["pnl"].to_numpy()
    for bar in np.flatnonzero(~held):
        made = pnl[(exit_ >= 0) & (exit_ <= bar)].sum()
        assert equity[bar] - 1 == pytest.approx(made, abs=1e-12 * scale)

    # A position taken from cash and ended in cash made what the equity made over it, and its
    # return is that over the money put in: its weight of the value before it.
    for _, pos in p.iterrows():
        e, x = int(pos["entry_index"]), int(pos["exit_index"])
        last = n - 1 if x < 0 else x
        if e == 0 or held[e - 1] or (x >= 0 and held[x]):
            continue
        assert pos["pnl"] == pytest.approx(equity[last] - equity[e - 1], abs=1e-12 * scale)
        assert pos["invested"] >= abs(pos["weight"]) * equity[e - 1] * (1 - 1e-12)
        assert pos["return"] == pytest.approx(pos["pnl"] / pos["invested"], abs=1e-11)
        if abs(pos["weight"]) == 1.0 and pos["invested"] == pytest.approx(equity[e - 1], rel=1e-12):
            # The whole portfolio, never added to by a rebalance: the equity's own return.
            assert pos["return"] == pytest.approx(equity[last] / equity[e - 1] - 1, abs=1e-11)

    # Excursions never lie beyond the fill.
    ret = t["return"].to_numpy()
    for low, high in (("mae", "return"), ("return", "gmfe"), ("bmfe", "gmfe")):
        assert not (t[low].to_numpy() > t[high].to_numpy()).any()
    assert not (t["mae"] > 0).any() and not (t["gmfe"] < 0).any() and not (t["mdd"] > 0).any()

    # Why each trade ended, and when that was decided.
    closed = exit_ >= 0
    assert (t.loc[~closed, "exit_reason"] == "").all()
    assert t.loc[closed, "exit_reason"].isin(["rebalance", *RULES]).all()
    on_bar = closed & options["touched_exit"] & t["exit_reason"].isin(RULES).to_numpy()
    dates = r.creturn.index
    assert (t.loc[on_bar, "exit_sig_date"] == t.loc[on_bar, "exit_date"]).all()
    before = closed & ~on_bar
    assert (t.loc[before, "exit_sig_date"].to_numpy() == dates[exit_[before] - 1].to_numpy()).all()
    assert np.isfinite(ret).all()


@settings(max_examples=max(100, settings().max_examples), deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(histories())
def test_no_window_and_no_splitting_changes_a_figure(history):
    position, prices, options, window = history
    base = run(position, prices, **options)
    windowed = run(position, prices, **options, excursion_window=window, excursion_window_step=2)
    pd.testing.assert_frame_equal(base.trades, windowed.trades, check_exact=True)
    pd.testing.assert_frame_equal(base.positions, windowed.positions, check_exact=True)

    # Splitting a holding at each rebalance only changes how the trade table lists it.
    whole = run(position, prices, **options, periodically_rebalance=False)
    pd.testing.assert_series_equal(base.creturn, whole.creturn, check_exact=True)
    a = base.positions
    b = whole.positions.sort_values("position_id", ignore_index=True)
    assert len(a) == len(b) == len(whole.trades)
    for column in ("entry_index", "exit_index", "exit_reason", "weight", "entry_price", "exit_price"):
        assert a[column].tolist() == b[column].tolist()
    for column in ("return", "invested", "pnl", "costs"):
        np.testing.assert_allclose(a[column], b[column], rtol=1e-10, atol=1e-13)
    sa, sb = base.stats(), whole.stats()
    for key in ("trades", "open_trades", "win_rate", "profit_factor", "turnover", "exposure"):
        assert sa[key] == pytest.approx(sb[key], rel=1e-9, nan_ok=True) or (
            isinstance(sa[key], float) and math.isinf(sa[key]) and sa[key] == sb[key])
